// The Python module `tovrel_tensors`: the same computations as `tovrel`, for callers who want
// tensors rather than lists. Guides and posteriors come back as float32 tensors of shape
// (num_blocks + 1, num_states), moves as a uint8 tensor, and `decode` goes from a score tensor to a
// read in one call. The interpreter lock is released for all numeric work.
#include <string>
#include <vector>

#include "beam_search.h"
#include "tensor_io.h"

namespace py = pybind11;

namespace {

at::Tensor guide_tensor(int num_blocks, int num_states) {
    return at::empty({int64_t(num_blocks) + 1, num_states}, at::kFloat);
}

at::Tensor moves_tensor(const std::vector<uint8_t>& moves) {
    at::Tensor tensor = at::empty({int64_t(moves.size())}, at::kByte);
    std::copy(moves.begin(), moves.end(), tensor.data_ptr<uint8_t>());
    return tensor;
}

// The guides of one recursion (backward or forward), computed into a new tensor.
at::Tensor guides(const at::Tensor& scores_t, const char* function,
                  void (*recursion)(const float*, float*, int, int)) {
    int num_blocks = 0;
    int num_states = 0;
    const at::Tensor scores = tensor_io::float_scores(scores_t, function, num_blocks, num_states);
    at::Tensor result = guide_tensor(num_blocks, num_states);
    py::gil_scoped_release release;
    recursion(scores.data_ptr<float>(), result.data_ptr<float>(), num_blocks, num_states);
    return result;
}

at::Tensor backward_scores(const at::Tensor& scores_t) {
    return guides(scores_t, "backward_scores", compute_back_guides);
}

at::Tensor forward_scores(const at::Tensor& scores_t) {
    return guides(scores_t, "forward_scores", compute_fwd_guides);
}

// Backward guides and posteriors of a score tensor, computed together (the posteriors need both
// guides).
std::tuple<at::Tensor, at::Tensor> guides_and_posts(const at::Tensor& scores, int num_blocks,
                                                    int num_states) {
    at::Tensor back_guides = guide_tensor(num_blocks, num_states);
    at::Tensor posts = guide_tensor(num_blocks, num_states);
    py::gil_scoped_release release;
    std::vector<float> fwd_guides(size_t(num_blocks + 1) * size_t(num_states));
    compute_back_guides(scores.data_ptr<float>(), back_guides.data_ptr<float>(), num_blocks,
                        num_states);
    compute_fwd_guides(scores.data_ptr<float>(), fwd_guides.data(), num_blocks, num_states);
    compute_posts(fwd_guides.data(), back_guides.data_ptr<float>(), posts.data_ptr<float>(),
                  num_blocks, num_states);
    return {back_guides, posts};
}

at::Tensor posts(const at::Tensor& scores_t) {
    int num_blocks = 0;
    int num_states = 0;
    const at::Tensor scores = tensor_io::float_scores(scores_t, "posts", num_blocks, num_states);
    return std::get<1>(guides_and_posts(scores, num_blocks, num_states));
}

py::tuple search_guided(const at::Tensor& scores_t, const at::Tensor& back_guides_t,
                        const at::Tensor& posts_t, size_t beam_size, float beam_cut, float q_shift,
                        float q_scale, float temperature) {
    std::string sequence;
    std::string qstring;
    std::vector<uint8_t> moves;
    tensor_io::decode(scores_t, back_guides_t, posts_t, beam_size, beam_cut, 0.0f, q_shift, q_scale,
                      temperature, sequence, qstring, moves);
    return py::make_tuple(sequence, qstring, moves_tensor(moves));
}

py::tuple decode(const at::Tensor& scores_t, size_t beam_size, float beam_cut, float q_shift,
                 float q_scale, float temperature) {
    int num_blocks = 0;
    int num_states = 0;
    const at::Tensor scores = tensor_io::float_scores(scores_t, "decode", num_blocks, num_states);
    const auto [back_guides, posts] = guides_and_posts(scores, num_blocks, num_states);
    return search_guided(scores, back_guides, posts, beam_size, beam_cut, q_shift, q_scale,
                         temperature);
}

}  // namespace

PYBIND11_MODULE(tovrel_tensors, m) {
    m.doc() = "CRF guides, posteriors and beam-search decoding of k-mer scores, as tensors.";
    m.def("backward_scores", &backward_scores, py::arg("scores"),
          "Backward guides, a float32 tensor of shape (num_blocks + 1, num_states).");
    m.def("forward_scores", &forward_scores, py::arg("scores"),
          "Forward guides, a float32 tensor of shape (num_blocks + 1, num_states).");
    m.def("posts", &posts, py::arg("scores"),
          "Posterior probabilities, a float32 tensor of shape (num_blocks + 1, num_states).");
    m.def("beam_search", &search_guided, py::arg("scores"), py::arg("back_guides"),
          py::arg("posts"), py::arg("beam_size") = 5, py::arg("beam_cut") = 100.0,
          py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0, py::arg("temperature") = 1.0,
          "tovrel.beam_search, with the moves as a uint8 tensor.");
    m.def("decode", &decode, py::arg("scores"), py::arg("beam_size") = 5,
          py::arg("beam_cut") = 100.0, py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0,
          py::arg("temperature") = 1.0,
          "Guides, posteriors and beam search of a float32 score tensor in one call: "
          "(sequence, quality, moves as a uint8 tensor).");
}
