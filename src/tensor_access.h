// The one intake from a tensor to what the core reads, for both binding modules: the checks every
// score, guide and posterior tensor passes before its memory is read (device, layout, shape,
// element type, size), and the checked views that let the core read it in place.
#pragma once

#include <ATen/ATen.h>
#include <torch/csrc/utils/pybind.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include "beam_search.h"
#include "chunk_rule.h"

namespace tensor_access {

// Refuses a tensor whose memory cannot be read in place on the CPU: another device, the
// storage-less `meta` device, or a sparse or other non-strided layout.
inline void check_cpu_strided(const at::Tensor& tensor, const char* function, const char* name) {
    if (!tensor.device().is_cpu()) {
        throw std::invalid_argument(std::string(function) + ": " + name +
                                    " must be a CPU tensor, got one on device '" +
                                    tensor.device().str() + "'.");
    }
    if (tensor.layout() != at::kStrided || !tensor.has_storage()) {
        throw std::invalid_argument(std::string(function) + ": " + name +
                                    " must be a dense tensor with storage.");
    }
}

// Reads the problem size off a score tensor: num_blocks rows of 5 * num_states. Refuses widths that
// are not 5 * 4^k and sizes beyond the 32-bit indexing of the recursions.
inline void read_score_shape(const at::Tensor& scores_t, int& num_blocks, int& num_states) {
    const int64_t rows = scores_t.size(0);
    num_states = get_num_states(size_t(scores_t.size(1)));
    check_crf_size(rows, num_states);
    num_blocks = int(rows);
}

// A tensor whose first `needed` elements, in row-major order, can be read in place through its data
// pointer: on the CPU, dense, holding at least that many elements, and contiguous. Of a
// non-contiguous view only the leading rows that hold those elements are copied, so that a large
// expanded view is not materialised.
inline at::Tensor readable_in_place(const at::Tensor& tensor, int64_t needed, const char* function,
                                    const char* name) {
    check_cpu_strided(tensor, function, name);
    if (tensor.numel() < needed) {
        throw std::invalid_argument(std::string(function) + ": " + name + " holds " +
                                    std::to_string(tensor.numel()) + " elements, fewer than the " +
                                    std::to_string(needed) + " it must hold for these scores.");
    }
    if (tensor.is_contiguous() || tensor.dim() == 0 || tensor.numel() == 0) {
        return tensor.contiguous();
    }
    const int64_t row = tensor.numel() / tensor.size(0);
    const int64_t rows = std::min(tensor.size(0), (needed + row - 1) / row);
    return tensor.narrow(0, 0, rows).contiguous();
}

// The score tensor of a scoring function, checked and readable in place as 32-bit floats.
inline at::Tensor readable_float32_scores(const at::Tensor& scores_t, const char* function,
                                          int& num_blocks, int& num_states) {
    read_score_shape(scores_t, num_blocks, num_states);
    const at::Tensor scores = readable_in_place(
        scores_t, int64_t(num_blocks) * num_states * (num_bases + 1), function, "scores");
    scores.data_ptr<float>();  // the accessor refuses any element type but 32-bit float
    return scores;
}

// "FUNCTION: TEXT", the form of every refusal.
inline std::string message(const char* function, const std::string& text) {
    return std::string(function) + ": " + text;
}

// torch's own name of a tensor's element type, e.g. torch.int64.
inline std::string dtype_name(const at::Tensor& tensor) {
    return pybind11::str(pybind11::cast(tensor).attr("dtype"));
}

inline chunk_rule::ElementType element_type(at::ScalarType type) {
    using chunk_rule::ElementType;
    switch (type) {
        case at::kFloat:
            return ElementType::float32;
        case at::kHalf:
            return ElementType::float16;
        case at::kBFloat16:
            return ElementType::bfloat16;
        case at::kDouble:
            return ElementType::float64;
        case at::kChar:
            return ElementType::int8;
        default:
            return ElementType::other;
    }
}

// What the chunk rule reads of a tensor.
inline chunk_rule::TensorInfo tensor_info(const at::Tensor& tensor) {
    return {tensor.sizes().vec(), element_type(tensor.scalar_type()), dtype_name(tensor)};
}

// The refusal of scores, guides and posteriors of different kinds, by both modules.
constexpr const char* mismatched_types_message =
    "beam_search_decode: mismatched tensor types provided for posts, scores and guides";

// The Python error of a chunk that breaks the rule, named after `function`. A width that is not
// 5 * 4^k and mixed kinds raise the decoder's own RuntimeErrors, as the tovrel module does.
[[noreturn]] inline void raise_chunk_error(const chunk_rule::ChunkError& error,
                                           const char* function) {
    using chunk_rule::Problem;
    switch (error.problem) {
        case Problem::width:
            throw std::runtime_error(
                "Unexpected number of transition states in beam search decode.");
        case Problem::mixed_kinds:
            throw std::runtime_error(mismatched_types_message);
        case Problem::element_type:
            throw pybind11::type_error(message(function, std::string(error.what()) + "."));
        default:
            throw pybind11::value_error(message(function, std::string(error.what()) + "."));
    }
}

// Checks a chunk's tensors, all of which must be readable on the CPU, against the chunk rule.
inline chunk_rule::ChunkSize checked_chunk(const at::Tensor& scores, const at::Tensor* back_guides,
                                           const at::Tensor* posts, chunk_rule::Accepts accepts,
                                           const char* function, int64_t rows = -1) {
    check_cpu_strided(scores, function, "scores");
    std::optional<chunk_rule::TensorInfo> guides_info, posts_info;
    if (back_guides) {
        check_cpu_strided(*back_guides, function, "back_guides");
        guides_info = tensor_info(*back_guides);
    }
    if (posts) {
        check_cpu_strided(*posts, function, "posts");
        posts_info = tensor_info(*posts);
    }
    try {
        return chunk_rule::check_chunk(tensor_info(scores), guides_info ? &*guides_info : nullptr,
                                       posts_info ? &*posts_info : nullptr, accepts, rows);
    } catch (const chunk_rule::ChunkError& error) {
        raise_chunk_error(error, function);
    }
}

// A checked score matrix, readable in place: num_blocks rows of 5 * num_states, float32 or another
// floating type that as_float32 widens.
struct ScoreMatrix {
    at::Tensor scores;
    int num_blocks = 0;
    int num_states = 0;

    // float16 and bfloat16 widen exactly; float64 rounds to the nearest float32.
    at::Tensor as_float32() const {
        return scores.scalar_type() == at::kFloat ? scores : scores.to(at::kFloat);
    }
};

// The first num_blocks rows of a checked score tensor, readable in place, not yet widened.
inline ScoreMatrix score_matrix(const at::Tensor& tensor, chunk_rule::ChunkSize size,
                                const char* function) {
    const int64_t values = int64_t(size.num_blocks) * size.num_states * (num_bases + 1);
    return {readable_in_place(tensor.narrow(0, 0, size.num_blocks), values, function, "scores"),
            size.num_blocks, size.num_states};
}

// Checks a floating score tensor once, by the chunk rule. Only the first `rows` rows (all if
// negative) are read. Unless `widen_later`, they are converted to float32 here; a batch widens
// each chunk on the thread that decodes it instead, so that only the chunks in flight are held
// twice.
inline ScoreMatrix checked_score_matrix(const at::Tensor& tensor, const char* function,
                                        bool decoding, int64_t rows = -1,
                                        bool widen_later = false) {
    const chunk_rule::Accepts accepts{.int8_scores = false, .decoding = decoding};
    ScoreMatrix matrix = score_matrix(
        tensor, checked_chunk(tensor, nullptr, nullptr, accepts, function, rows), function);
    if (!widen_later) {
        matrix.scores = matrix.as_float32();
    }
    return matrix;
}

}  // namespace tensor_access
