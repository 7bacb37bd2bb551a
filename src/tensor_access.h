// The one intake from a tensor to what the core reads, for both binding modules: the checks every
// score, guide and posterior tensor passes before its memory is read (device, layout, shape,
// element type, size), and the checked views that let the core read it in place.
#pragma once

#include <ATen/ATen.h>
#include <torch/csrc/utils/pybind.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>

#include "beam_search.h"

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
    return pybind11::str(
        pybind11::cast(tensor).attr("dtype"));  // torch's own name, e.g. torch.int64
}

// The floating element types the functions accept, float32 first: the others are converted to it.
inline constexpr struct {
    at::ScalarType type;
    const char* name;
} float_types[] = {{at::kFloat, "float32"},
                   {at::kHalf, "float16"},
                   {at::kBFloat16, "bfloat16"},
                   {at::kDouble, "float64"}};

inline bool is_float_type(at::ScalarType type) {
    return std::any_of(std::begin(float_types), std::end(float_types),
                       [type](const auto& known) { return known.type == type; });
}

// "float32, float16, bfloat16 or float64"; with `and_int8`, "float32, ..., float64 or int8".
inline std::string float_type_names(bool and_int8 = false) {
    std::string names;
    for (const auto& known : float_types) {
        const bool last = !and_int8 && &known == std::end(float_types) - 1;
        names += names.empty() ? "" : last ? " or " : ", ";
        names += known.name;
    }
    return and_int8 ? names + " or int8" : names;
}

// The refusal of a tensor of another element type.
inline pybind11::type_error wrong_type(const char* function, const std::string& what,
                                       const at::Tensor& tensor, bool and_int8 = false) {
    return pybind11::type_error(message(function, what + " must be " + float_type_names(and_int8) +
                                                      ", not " + dtype_name(tensor) + "."));
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

// Scores are one chunk: a 2-D CPU tensor (blocks, 5 * 4^k).
inline void check_2d_scores(const at::Tensor& scores, const char* function) {
    check_cpu_strided(scores, function, "scores");
    if (scores.dim() != 2) {
        throw pybind11::value_error(message(
            function,
            "scores must be 2-D (blocks, 5 * 4**k), not " + std::to_string(scores.dim()) + "-D."));
    }
}

// Checks a score tensor once: a 2-D CPU tensor of 5 * 4^k columns, of a floating element type.
// Only the first `rows` rows (all if negative) are read. Unless `widen_later`, they are converted
// to float32 here; a batch widens each chunk on the thread that decodes it instead, so that only
// the chunks in flight are held twice.
inline ScoreMatrix checked_score_matrix(const at::Tensor& tensor, const char* function,
                                        int64_t rows = -1, bool widen_later = false) {
    check_2d_scores(tensor, function);
    if (!is_float_type(tensor.scalar_type())) {
        throw wrong_type(function, "scores", tensor);
    }
    ScoreMatrix matrix;
    matrix.num_states = get_num_states(size_t(tensor.size(1)));
    const int64_t used = rows < 0 ? tensor.size(0) : rows;
    check_crf_size(used, matrix.num_states);
    matrix.num_blocks = int(used);
    const at::Tensor readable = readable_in_place(
        tensor.narrow(0, 0, used), used * matrix.num_states * (num_bases + 1), function, "scores");
    matrix.scores = readable;
    if (!widen_later) {
        matrix.scores = matrix.as_float32();
    }
    return matrix;
}

// The refusal of scores, guides and posteriors of different kinds, by both modules.
constexpr const char* mismatched_types_message =
    "beam_search_decode: mismatched tensor types provided for posts, scores and guides";

}  // namespace tensor_access
