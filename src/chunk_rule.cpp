#include "chunk_rule.h"

#include <iterator>

#include "beam_search.h"

namespace chunk_rule {

namespace {

constexpr struct {
    ElementType type;
    const char* name;
} type_names[] = {{ElementType::float32, "float32"},
                  {ElementType::float16, "float16"},
                  {ElementType::bfloat16, "bfloat16"},
                  {ElementType::float64, "float64"},
                  {ElementType::int8, "int8"}};

bool is_float(ElementType type) { return type != ElementType::int8 && type != ElementType::other; }

// As Python prints a shape: (3, 4, 5), (100,), ().
std::string shape_text(const std::vector<int64_t>& shape) {
    std::string text = "(";
    for (size_t i = 0; i < shape.size(); ++i) {
        text += (i ? ", " : "") + std::to_string(shape[i]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
}

void check_stored(const char* what, const TensorInfo& stored, const TensorInfo& scores,
                  int64_t needed) {
    const bool int8_scores = scores.type == ElementType::int8;
    if ((stored.type == ElementType::int8) != int8_scores) {
        throw ChunkError(Problem::mixed_kinds, std::string(what) + " are " + stored.type_name +
                                                   " and scores " + scores.type_name +
                                                   ": all must be floating or all int8");
    }
    if (!int8_scores && !is_float(stored.type)) {
        throw ChunkError(Problem::element_type, std::string(what) + " must be " +
                                                    accepted_type_names(false) +
                                                    " as the scores, not " + stored.type_name);
    }
    if (stored.numel() < needed) {
        throw ChunkError(Problem::guides,
                         std::string(what) + " holds " + std::to_string(stored.numel()) +
                             " elements, fewer than the " + std::to_string(needed) +
                             " it must hold for these scores");
    }
}

}  // namespace

const char* type_name(ElementType type) {
    for (const auto& known : type_names) {
        if (known.type == type) {
            return known.name;
        }
    }
    return "other";
}

ElementType type_named(const std::string& name) {
    for (const auto& known : type_names) {
        if (name == known.name) {
            return known.type;
        }
    }
    return ElementType::other;
}

int64_t TensorInfo::numel() const {
    int64_t count = 1;
    for (const int64_t size : shape) {
        count = size == 0 || count <= INT64_MAX / size ? count * size : INT64_MAX;
    }
    return count;
}

std::string accepted_type_names(bool and_int8) {
    std::string names;
    for (const ElementType type : float_types) {
        const bool last = !and_int8 && type == std::end(float_types)[-1];
        names += names.empty() ? "" : last ? " or " : ", ";
        names += type_name(type);
    }
    return and_int8 ? names + " or int8" : names;
}

std::string states_beyond_limit(int num_states) {
    if (size_t(num_states) <= max_decoder_states) {
        return "";
    }
    int max_k = 0;
    for (size_t states = max_decoder_states; states > 1; states /= 4) {
        ++max_k;
    }
    return std::to_string(num_states) + " states; at most " + std::to_string(max_decoder_states) +
           " (k <= " + std::to_string(max_k) + ") can be decoded";
}

ChunkSize check_chunk(const TensorInfo& scores, const TensorInfo* back_guides,
                      const TensorInfo* posts, Accepts accepts, int64_t rows) {
    for (const TensorInfo* tensor : {&scores, back_guides, posts}) {
        for (const int64_t size : tensor ? tensor->shape : std::vector<int64_t>{}) {
            if (size < 0) {
                throw ChunkError(Problem::shape,
                                 "a shape cannot hold the negative size " + std::to_string(size));
            }
        }
    }
    if (scores.shape.size() != 2) {
        throw ChunkError(Problem::shape, "scores must be 2-D (blocks, 5 * 4**k), not of shape " +
                                             shape_text(scores.shape));
    }
    const bool int8_accepted = accepts.int8_scores && scores.type == ElementType::int8;
    if (!is_float(scores.type) && !int8_accepted) {
        throw ChunkError(Problem::element_type, "scores must be " +
                                                    accepted_type_names(accepts.int8_scores) +
                                                    ", not " + scores.type_name);
    }
    const int64_t width = scores.shape[1];
    ChunkSize size;
    try {
        size.num_states = get_num_states(size_t(width));
    } catch (const std::runtime_error&) {
        throw ChunkError(Problem::width,
                         std::to_string(width) + " scores per block is not 5 * 4**k");
    }
    const std::string beyond = states_beyond_limit(size.num_states);
    if (accepts.decoding && !beyond.empty()) {
        throw ChunkError(Problem::k_limit, beyond);
    }
    const int64_t used = rows < 0 ? scores.shape[0] : rows;
    try {
        check_crf_size(used, size.num_states);
    } catch (const std::length_error&) {
        throw ChunkError(Problem::size, std::to_string(used) + " blocks of " +
                                            std::to_string(size.num_states) +
                                            " states are too large: their arrays need 2^31 "
                                            "entries or more; cut the chunk into shorter ones");
    }
    size.num_blocks = int(used);
    if ((back_guides == nullptr) != (posts == nullptr)) {
        throw ChunkError(Problem::guides, "back_guides and posts must come together");
    }
    if (back_guides) {
        const int64_t needed = (used + 1) * size.num_states;
        check_stored("back_guides", *back_guides, scores, needed);
        check_stored("posts", *posts, scores, needed);
    }
    return size;
}

}  // namespace chunk_rule
