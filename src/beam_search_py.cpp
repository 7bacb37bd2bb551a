// The Python module `tovrel`: CRF scoring of score tensors, returned as flat lists of floats, and
// beam-search decoding into a base sequence, a quality string and per-block moves.
#include <cstring>
#include <string>
#include <vector>

#include "beam_search.h"
#include "tensor_access.h"

namespace py = pybind11;
using tensor_access::readable_float32_scores;
using tensor_access::readable_in_place;

// One of the two guide recursions over a score tensor, as a list.
std::vector<float> guides(const at::Tensor& scores_t, const char* function,
                          void (*recursion)(const float*, std::vector<float>&, int, int, float),
                          float fixed_stay_score) {
    int num_blocks = 0;
    int num_states = 0;
    const at::Tensor scores_c = readable_float32_scores(scores_t, function, num_blocks, num_states);
    std::vector<float> guides(size_t(num_blocks + 1) * size_t(num_states), 0.0f);
    recursion(scores_c.data_ptr<float>(), guides, num_blocks, num_states, fixed_stay_score);
    return guides;
}

std::vector<float> backward_scores(at::Tensor scores_t, float fixed_stay_score) {
    return guides(scores_t, "backward_scores", compute_back_guides, fixed_stay_score);
}

std::vector<float> forward_scores(at::Tensor scores_t, float fixed_stay_score) {
    return guides(scores_t, "forward_scores", compute_fwd_guides, fixed_stay_score);
}

std::vector<float> posts(at::Tensor scores_t, float fixed_stay_score) {
    int num_blocks = 0;
    int num_states = 0;
    const at::Tensor scores_c = readable_float32_scores(scores_t, "posts", num_blocks, num_states);
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

// Sizes and element types are checked and the tensors made readable while the caller holds the
// interpreter lock; the 8-bit posterior conversion (of the whole tensor, before the search), the
// search and the string assembly run with it released.
py::tuple beam_search_decode(at::Tensor scores_t, at::Tensor back_guides_t, at::Tensor posts_t,
                             size_t beam_width, float beam_cut, float fixed_stay_score,
                             float q_shift, float q_scale, float temperature) {
    int num_blocks = 0;
    int num_states = 0;
    tensor_access::read_score_shape(scores_t, num_blocks, num_states);

    std::string sequence;
    std::string qstring;
    std::vector<int> states(size_t(num_blocks), 0);
    std::vector<uint8_t> moves(size_t(num_blocks), 0);
    std::vector<float> qual_data(size_t(num_blocks) * num_bases, 0.0f);

    const std::string type_str(scores_t.dtype().name());
    const std::string post_type_str(posts_t.dtype().name());
    const std::string guides_type_str(back_guides_t.dtype().name());
    if (type_str != post_type_str || type_str != guides_type_str) {
        throw std::runtime_error(tensor_access::mismatched_types_message);
    }

    // Everything the search will read is checked while the lock is held.
    const int64_t guide_count = int64_t(num_blocks + 1) * num_states;
    const char* const function = "beam_search";
    const at::Tensor scores_c = readable_in_place(
        scores_t, int64_t(num_blocks) * num_states * (num_bases + 1), function, "scores");
    const at::Tensor back_guides_c =
        readable_in_place(back_guides_t, guide_count, function, "back_guides");
    const at::Tensor posts_c = readable_in_place(posts_t, guide_count, function, "posts");
    {
        py::gil_scoped_release release;
        if (type_str == "float") {
            beam_search<float>(scores_c.data_ptr<float>(), back_guides_c.data_ptr<float>(),
                               posts_c.data_ptr<float>(), size_t(num_states), size_t(num_blocks),
                               beam_width, beam_cut, fixed_stay_score, states, moves, qual_data,
                               temperature);
        } else if (type_str == "signed char") {
            // 8-bit posteriors code probabilities 0 .. 1 as -128 .. 127.
            const at::Tensor fposts = posts_c.to(at::kFloat).add(128.0).div(255.0);
            beam_search<signed char>(scores_c.data_ptr<int8_t>(), back_guides_c.data_ptr<int8_t>(),
                                     fposts.data_ptr<float>(), size_t(num_states),
                                     size_t(num_blocks), beam_width, beam_cut, fixed_stay_score,
                                     states, moves, qual_data, temperature);
        } else {
            throw std::runtime_error("beam_search_decode: unsupported tensor type " + type_str);
        }
        std::tie(sequence, qstring) = generate_sequence(moves, states, qual_data, q_shift, q_scale);
    }
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
