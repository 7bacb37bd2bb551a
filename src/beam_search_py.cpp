// The Python module `tovrel`: CRF scoring of score tensors, returned as flat lists of floats, and
// beam-search decoding into a base sequence, a quality string and per-block moves.
#include <cstring>
#include <string>
#include <vector>

#include "beam_search.h"
#include "tensor_io.h"

namespace py = pybind11;
using tensor_io::float_scores;

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

py::tuple beam_search_decode(at::Tensor scores_t, at::Tensor back_guides_t, at::Tensor posts_t,
                             size_t beam_width, float beam_cut, float fixed_stay_score,
                             float q_shift, float q_scale, float temperature) {
    std::string sequence;
    std::string qstring;
    std::vector<uint8_t> moves;
    tensor_io::decode(scores_t, back_guides_t, posts_t, beam_width, beam_cut, fixed_stay_score,
                      q_shift, q_scale, temperature, sequence, qstring, moves);
    return py::make_tuple(sequence, qstring, moves);
}

static void pybind11_init_tovrel(py::module_& m) {
    m.def("beam_search", &beam_search_decode, "", py::arg("scores"), py::arg("back_guides"),
          py::arg("posts"), py::arg("beam_size") = 5, py::arg("beam_cut") = 100.0,
          py::arg("fixed_stay_score") = 2.0, py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0,
          py::arg("temperature") = 1.0);
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
