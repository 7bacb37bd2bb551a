// The Python module `tovrel`: CRF scoring of score tensors, returned as flat lists of floats.
#include <ATen/ATen.h>
#include <torch/csrc/utils/pybind.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "beam_search.h"

namespace py = pybind11;

namespace {

// Refuses a tensor whose memory cannot be read in place on the CPU: another device, the
// storage-less `meta` device, or a sparse or other non-strided layout.
void check_cpu_strided(const at::Tensor& tensor, const char* function, const char* name) {
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

// Refuses a tensor that holds fewer elements than will be read from it.
void check_element_count(const at::Tensor& tensor, int64_t needed, const char* function,
                         const char* name) {
    if (tensor.numel() < needed) {
        throw std::invalid_argument(std::string(function) + ": " + name + " holds " +
                                    std::to_string(tensor.numel()) + " elements, fewer than the " +
                                    std::to_string(needed) + " it must hold for these scores.");
    }
}

// Reads the problem size off a score tensor: num_blocks rows of 5 * num_states. Refuses widths that
// are not 5 * 4^k and sizes beyond the 32-bit indexing of the recursions.
void read_score_shape(const at::Tensor& scores_t, int& num_blocks, int& num_states) {
    const int64_t rows = scores_t.size(0);
    num_states = get_num_states(size_t(scores_t.size(1)));
    check_crf_size(rows, num_states);
    num_blocks = int(rows);
}

// A contiguous float view of a score tensor for the scoring functions, after every check.
at::Tensor float_scores(const at::Tensor& scores_t, const char* function, int& num_blocks,
                        int& num_states) {
    read_score_shape(scores_t, num_blocks, num_states);
    check_cpu_strided(scores_t, function, "scores");
    scores_t.data_ptr<float>();  // refuses any element type but 32-bit float
    check_element_count(scores_t, int64_t(num_blocks) * num_states * (num_bases + 1), function,
                        "scores");
    return scores_t.contiguous();
}

}  // namespace

std::vector<float> backward_scores(at::Tensor scores_t, float fixed_stay_score) {
    int num_blocks = 0;
    int num_states = 0;
    const at::Tensor scores_c = float_scores(scores_t, "backward_scores", num_blocks, num_states);
    const float* scores = scores_c.data_ptr<float>();
    std::vector<float> back_guides(size_t(num_blocks + 1) * size_t(num_states), 0.0f);
    compute_back_guides(scores, back_guides, num_blocks, num_states, fixed_stay_score);
    return back_guides;
}

std::vector<float> forward_scores(at::Tensor scores_t, float fixed_stay_score) {
    int num_blocks = 0;
    int num_states = 0;
    const at::Tensor scores_c = float_scores(scores_t, "forward_scores", num_blocks, num_states);
    const float* scores = scores_c.data_ptr<float>();
    std::vector<float> forward_guides(size_t(num_blocks + 1) * size_t(num_states), 0.0f);
    compute_fwd_guides(scores, forward_guides, num_blocks, num_states, fixed_stay_score);
    return forward_guides;
}

std::vector<float> posts(at::Tensor scores_t, float fixed_stay_score) {
    int num_blocks = 0;
    int num_states = 0;
    const at::Tensor scores_c = float_scores(scores_t, "posts", num_blocks, num_states);
    const float* scores = scores_c.data_ptr<float>();
    const size_t size = size_t(num_blocks + 1) * size_t(num_states);
    std::vector<float> back_guides(size, 0.0f);
    std::vector<float> forward_guides(size, 0.0f);
    std::vector<float> posts(size, 0.0f);
    compute_back_guides(scores, back_guides, num_blocks, num_states, fixed_stay_score);
    compute_fwd_guides(scores, forward_guides, num_blocks, num_states, fixed_stay_score);
    compute_posts(scores, forward_guides, back_guides, posts, num_blocks, num_states);
    return posts;
}

static void pybind11_init_tovrel(py::module_& m) {
    m.def("backward_scores", &backward_scores, "", py::arg("scores"), py::arg("stay_score") = 2.0);
    m.def("forward_scores", &forward_scores, "", py::arg("scores"), py::arg("stay_score") = 2.0);
    m.def("posts", &posts, "", py::arg("scores"), py::arg("stay_score") = 2.0);
}

// Single-phase initialisation: refuse any interpreter but the one built for, create the module
// without a docstring or per-module state, register the functions, and turn any error into
// ImportError.
PYBIND11_PLUGIN_IMPL(tovrel) {
    PYBIND11_CHECK_PYTHON_VERSION
    try {
        py::detail::ensure_internals();
        static PyModuleDef module_def;
        auto m = py::module_::create_extension_module("tovrel", nullptr, &module_def);
        pybind11_init_tovrel(m);
        return m.release().ptr();
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}
