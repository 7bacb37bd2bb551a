// Reading score, guide and posterior tensors for the binding units: the checks every tensor passes
// before its memory is read, and the views that let the core read it in place.
#pragma once

#include <ATen/ATen.h>
#include <torch/csrc/utils/pybind.h>

#include <algorithm>
#include <cstdint>
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

// The refusal of scores, guides and posteriors of different kinds, by both modules.
constexpr const char* mismatched_types_message =
    "beam_search_decode: mismatched tensor types provided for posts, scores and guides";

}  // namespace tensor_access
