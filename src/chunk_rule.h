// What makes a chunk decodable before any of its values is read: the shape and element type of its
// scores, the width 5 * 4^k and the limits on k and on the size, and stored guides and posteriors
// that come together, of the scores' kind, holding a value for every state at every boundary. The
// tensor module checks its tensors with it and exports it, so that the command refuses a chunk in
// the same words before it loads it. No Python and no torch.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace chunk_rule {

// The element types the decoders read; every other one is `other`.
enum class ElementType { float32, float16, bfloat16, float64, int8, other };

// The floating types in the order they are listed to the user, float32 (read in place) first.
constexpr ElementType float_types[] = {ElementType::float32, ElementType::float16,
                                       ElementType::bfloat16, ElementType::float64};

// "float32", "float16", "bfloat16", "float64", "int8"; "other" for the rest.
const char* type_name(ElementType type);
// The type named so; `other` for an unknown name.
ElementType type_named(const std::string& name);

// What the rule reads of a tensor: its shape and element type, with the name the caller's library
// gives that type (e.g. torch.int64), for the messages.
struct TensorInfo {
    std::vector<int64_t> shape;
    ElementType type = ElementType::other;
    std::string type_name;

    int64_t numel() const;
};

// How a chunk breaks the rule. The modules raise the decoders' own errors for a width and for
// mixed kinds, type errors for element types, and value errors for the rest.
enum class Problem { shape, element_type, width, k_limit, size, mixed_kinds, guides };

struct ChunkError : std::invalid_argument {
    Problem problem;
    ChunkError(Problem problem, const std::string& text)
        : std::invalid_argument(text), problem(problem) {}
};

// What a caller accepts: 8-bit scores (with 8-bit guides and posteriors), and whether the chunk is
// to be decoded (then within max_decoder_states) or only scored (guides and posteriors exist for
// any k).
struct Accepts {
    bool int8_scores = true;
    bool decoding = true;
};

struct ChunkSize {
    int num_blocks = 0;
    int num_states = 0;
};

// Checks a chunk and returns its size, or throws a ChunkError whose text, without a label or a
// final full stop, says what is wrong with the first rule broken:
// - the scores are 2-D (blocks, 5 * 4^k), of a floating type (or int8 if accepted);
// - a decoded chunk has at most max_decoder_states states;
// - its arrays (of the first `rows` blocks, all if negative) hold fewer than 2^31 entries;
// - guides and posteriors, if stored, come together, both float or both int8 as the scores are,
//   and each holds at least (blocks + 1) * states values.
ChunkSize check_chunk(const TensorInfo& scores, const TensorInfo* back_guides,
                      const TensorInfo* posts, Accepts accepts, int64_t rows = -1);

// Empty while num_states is within the decoders' limit (max_decoder_states), else the refusal,
// e.g. "16384 states; at most 4096 (k <= 6) can be decoded".
std::string states_beyond_limit(int num_states);

// "float32, float16, bfloat16 or float64", and with `and_int8` "..., float64 or int8".
std::string accepted_type_names(bool and_int8);

}  // namespace chunk_rule
