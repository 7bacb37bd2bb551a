// Reading score, guide and posterior tensors for the binding units: the checks every tensor passes
// before its memory is read, and the decoding of three tensors with the interpreter lock released.
#pragma once

#include <ATen/ATen.h>
#include <torch/csrc/utils/pybind.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "beam_search.h"

namespace tensor_io {

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
inline at::Tensor float_scores(const at::Tensor& scores_t, const char* function, int& num_blocks,
                               int& num_states) {
    read_score_shape(scores_t, num_blocks, num_states);
    const at::Tensor scores = readable_in_place(
        scores_t, int64_t(num_blocks) * num_states * (num_bases + 1), function, "scores");
    scores.data_ptr<float>();  // the accessor refuses any element type but 32-bit float
    return scores;
}

// The work of beam_search: sizes and element types are checked and the tensors made readable
// while the caller holds the interpreter lock; the 8-bit posterior conversion, the search and the
// string assembly run with it released. Returns with the lock held again.
inline void decode(const at::Tensor& scores_t, const at::Tensor& back_guides_t,
                   const at::Tensor& posts_t, size_t beam_width, float beam_cut,
                   float fixed_stay_score, float q_shift, float q_scale, float temperature,
                   std::string& sequence, std::string& qstring, std::vector<uint8_t>& moves) {
    int num_blocks = 0;
    int num_states = 0;
    read_score_shape(scores_t, num_blocks, num_states);

    std::vector<int> states(size_t(num_blocks), 0);
    moves.assign(size_t(num_blocks), 0);
    std::vector<float> qual_data(size_t(num_blocks) * num_bases, 0.0f);

    const std::string type_str(scores_t.dtype().name());
    const std::string post_type_str(posts_t.dtype().name());
    const std::string guides_type_str(back_guides_t.dtype().name());
    if (type_str != post_type_str || type_str != guides_type_str) {
        throw std::runtime_error(
            "beam_search_decode: mismatched tensor types provided for posts, scores and guides");
    }

    // Everything the search will read is checked while the lock is held.
    const int64_t guide_count = int64_t(num_blocks + 1) * num_states;
    const char* const function = "beam_search";
    const at::Tensor scores_c = readable_in_place(
        scores_t, int64_t(num_blocks) * num_states * (num_bases + 1), function, "scores");
    const at::Tensor back_guides_c =
        readable_in_place(back_guides_t, guide_count, function, "back_guides");
    const at::Tensor posts_c = readable_in_place(posts_t, guide_count, function, "posts");

    pybind11::gil_scoped_release release;
    if (type_str == "float") {
        beam_search<float>(scores_c.data_ptr<float>(), back_guides_c.data_ptr<float>(),
                           posts_c.data_ptr<float>(), size_t(num_states), size_t(num_blocks),
                           beam_width, beam_cut, fixed_stay_score, states, moves, qual_data,
                           temperature);
    } else if (type_str == "signed char") {
        // 8-bit posteriors code probabilities 0 .. 1 as -128 .. 127.
        const at::Tensor fposts = posts_c.to(at::kFloat).add(128.0).div(255.0);
        beam_search<signed char>(scores_c.data_ptr<int8_t>(), back_guides_c.data_ptr<int8_t>(),
                                 fposts.data_ptr<float>(), size_t(num_states), size_t(num_blocks),
                                 beam_width, beam_cut, fixed_stay_score, states, moves, qual_data,
                                 temperature);
    } else {
        throw std::runtime_error("beam_search_decode: unsupported tensor type " + type_str);
    }
    std::tie(sequence, qstring) = generate_sequence(moves, states, qual_data, q_shift, q_scale);
}

}  // namespace tensor_io
