// The Python module `tovrel_tensors`: the same computations as `tovrel`, for callers who want
// tensors rather than lists. Guides and posteriors come back as float32 tensors of shape
// (num_blocks + 1, num_states), moves as a uint8 tensor; `decode` goes from a score tensor to a
// read in one call and `decode_batch` decodes many chunks on torch's intra-op threads. The
// interpreter lock is released for all numeric work. The docstrings are in tensors_docs.h.
#include <ATen/Parallel.h>
#include <torch/csrc/autograd/python_variable.h>

#include <optional>
#include <string>
#include <vector>

#include "beam_search.h"
#include "bus_error.h"
#include "chunk_decoding.h"
#include "stable_guides.h"
#include "tensor_access.h"
#include "tensor_args.h"
#include "tensors_docs.h"

// The training functions, in loss_py.cpp.
void register_training(py::module_& m);

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

namespace {

using chunk_decoding::CheckedRead;
using chunk_decoding::DecodeOptions;
using chunk_decoding::first_unnormalised_row;
using chunk_decoding::first_unusable_block;
using chunk_decoding::first_unusable_guide;
using chunk_decoding::InvalidValues;
using chunk_decoding::Read;
using tensor_access::as_tensor;
using tensor_access::checked_batch;
using tensor_access::checked_chunk;
using tensor_access::checked_score_matrix;
using tensor_access::described;
using tensor_access::float_values;
using tensor_access::message;
using tensor_access::readable_in_place;
using tensor_access::ScoreMatrix;

// The parameters of a search, refused as the Decoder and the command refuse them; the message
// names `function` unless it is null.
DecodeOptions checked_options(size_t beam_size, float beam_cut, float temperature, float q_shift,
                              float q_scale, const char* function) {
    const DecodeOptions options{.beam_size = beam_size,
                                .beam_cut = beam_cut,
                                .temperature = temperature,
                                .q_shift = q_shift,
                                .q_scale = q_scale};
    try {
        chunk_decoding::check_options(options);
    } catch (const std::invalid_argument& error) {
        throw py::value_error(function ? message(function, error.what()) : error.what());
    }
    return options;
}

at::Tensor guide_tensor(int num_blocks, int num_states) {
    return at::empty({int64_t(num_blocks) + 1, num_states}, at::kFloat);
}

at::Tensor moves_tensor(const std::vector<uint8_t>& moves) {
    at::Tensor tensor = at::empty({int64_t(moves.size())}, at::kByte);
    std::copy(moves.begin(), moves.end(), tensor.data_ptr<uint8_t>());
    return tensor;
}

// torch's intra-op threads, for the decoding layer.
void aten_parallel(int64_t begin, int64_t end, int64_t grain,
                   const std::function<void(int64_t, int64_t)>& body) {
    at::parallel_for(begin, end, grain, body);
}

py::tuple read_tuple(const Read& read) {
    return py::make_tuple(read.sequence, read.quality, moves_tensor(read.moves));
}

// A whole decode of one checked score matrix; runs without the interpreter lock.
CheckedRead decode_matrix(const ScoreMatrix& matrix, const DecodeOptions& options, bool check) {
    const at::Tensor scores = matrix.as_float32();
    return chunk_decoding::decode_scores(scores.data_ptr<float>(), matrix.num_blocks,
                                         matrix.num_states, options, check, aten_parallel);
}

// Guides as tovrel computes them, with -inf where a masked transition gives tovrel NaN; with
// `normalised`, each row shifted down by its largest entry, as decoding computes them.
at::Tensor guides(TensorArg scores_arg, bool normalised, const char* function,
                  void (*recursion)(const float*, float*, float*, int, int)) {
    const ScoreMatrix matrix =
        checked_score_matrix(as_tensor(scores_arg.object, function, "scores"), function, false);
    at::Tensor result = guide_tensor(matrix.num_blocks, matrix.num_states);
    py::gil_scoped_release release;
    std::vector<float> row_shifts(normalised ? size_t(matrix.num_blocks) + 1 : 0);
    recursion(matrix.scores.data_ptr<float>(), result.data_ptr<float>(),
              normalised ? row_shifts.data() : nullptr, matrix.num_blocks, matrix.num_states);
    return result;
}

at::Tensor backward_scores(TensorArg scores, bool normalised) {
    return guides(scores, normalised, "backward_scores", compute_stable_back_guides);
}

at::Tensor forward_scores(TensorArg scores, bool normalised) {
    return guides(scores, normalised, "forward_scores", compute_stable_fwd_guides);
}

// The posteriors that decoding searches over.
at::Tensor posts(TensorArg scores_arg) {
    const ScoreMatrix matrix =
        checked_score_matrix(as_tensor(scores_arg.object, "posts", "scores"), "posts", false);
    at::Tensor posts = guide_tensor(matrix.num_blocks, matrix.num_states);
    py::gil_scoped_release release;
    std::vector<float> back_guides(size_t(posts.numel()));
    chunk_decoding::decoding_guides_and_posts(matrix.scores.data_ptr<float>(), back_guides.data(),
                                              posts.data_ptr<float>(), matrix.num_blocks,
                                              matrix.num_states, aten_parallel);
    return posts;
}

py::tuple search_guided(TensorArg scores_arg, TensorArg back_guides_arg, TensorArg posts_arg,
                        size_t beam_size, float beam_cut, float q_shift, float q_scale,
                        float temperature) {
    const char* const function = "beam_search";
    const at::Tensor scores_t = as_tensor(scores_arg.object, function, "scores");
    const at::Tensor back_guides_t = as_tensor(back_guides_arg.object, function, "back_guides");
    const at::Tensor posts_t = as_tensor(posts_arg.object, function, "posts");
    const DecodeOptions options =
        checked_options(beam_size, beam_cut, temperature, q_shift, q_scale, function);
    const chunk_rule::ChunkSize size = checked_chunk(
        scores_t, &back_guides_t, &posts_t, {.int8_scores = true, .decoding = true}, function);
    const ScoreMatrix matrix = tensor_access::score_matrix(scores_t, size, function);
    const int64_t guide_count = int64_t(size.num_blocks + 1) * size.num_states;
    at::Tensor back_guides = readable_in_place(back_guides_t, guide_count, function, "back_guides");
    at::Tensor posts = readable_in_place(posts_t, guide_count, function, "posts");
    Read read;
    if (scores_t.scalar_type() == at::kChar) {
        // 8-bit scores and guides are read as plain values; posteriors code (q + 128) / 255.
        py::gil_scoped_release release;
        read = chunk_decoding::search(matrix.scores.data_ptr<int8_t>(),
                                      back_guides.data_ptr<int8_t>(), posts.data_ptr<int8_t>(),
                                      size.num_blocks, size.num_states, options);
    } else {
        const at::Tensor scores = matrix.as_float32();
        back_guides = back_guides.to(at::kFloat);
        posts = posts.to(at::kFloat);
        py::gil_scoped_release release;
        read = chunk_decoding::search(scores.data_ptr<float>(), back_guides.data_ptr<float>(),
                                      posts.data_ptr<float>(), size.num_blocks, size.num_states,
                                      options);
    }
    return read_tuple(read);
}

py::tuple decode(TensorArg scores_arg, size_t beam_size, float beam_cut, float q_shift,
                 float q_scale, float temperature) {
    const DecodeOptions options =
        checked_options(beam_size, beam_cut, temperature, q_shift, q_scale, "decode");
    const ScoreMatrix matrix =
        checked_score_matrix(as_tensor(scores_arg.object, "decode", "scores"), "decode", true);
    Read read;
    {
        py::gil_scoped_release release;
        read = decode_matrix(matrix, options, false).read;
    }
    return read_tuple(read);
}

// The chunks of a batch, checked, and each decoded (with `check`: or found invalid) on torch's
// intra-op threads with the interpreter lock released.
std::vector<CheckedRead> decode_chunks(const py::object& scores_arg, const py::object& lengths_arg,
                                       const DecodeOptions& options, bool check,
                                       const char* function) {
    const std::vector<ScoreMatrix> matrices = checked_batch(scores_arg, lengths_arg, function);
    std::vector<CheckedRead> reads(matrices.size());
    py::gil_scoped_release release;
    at::parallel_for(0, int64_t(matrices.size()), 1, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; ++i) {
            reads[size_t(i)] = decode_matrix(matrices[size_t(i)], options, check);
        }
    });
    return reads;
}

// decode_batch, and with `check` decode_batch_checked: an InvalidValues in place of each chunk
// whose values cannot be decoded.
py::list decode_batch_entry(const BatchArg& scores, const LengthsArg& lengths,
                            const DecodeOptions& options, bool check, const char* function) {
    py::list result;
    for (const CheckedRead& read :
         decode_chunks(scores.object, lengths.object, options, check, function)) {
        if (read.invalid) {
            result.append(py::cast(*read.invalid));
        } else {
            result.append(read_tuple(read.read));
        }
    }
    return result;
}

py::list decode_batch(BatchArg scores, LengthsArg lengths, size_t beam_size, float beam_cut,
                      float q_shift, float q_scale, float temperature) {
    return decode_batch_entry(
        scores, lengths,
        checked_options(beam_size, beam_cut, temperature, q_shift, q_scale, "decode_batch"), false,
        "decode_batch");
}

py::list decode_batch_checked(BatchArg scores, LengthsArg lengths, size_t beam_size, float beam_cut,
                              float q_shift, float q_scale, float temperature) {
    return decode_batch_entry(
        scores, lengths,
        checked_options(beam_size, beam_cut, temperature, q_shift, q_scale, "decode_batch_checked"),
        true, "decode_batch_checked");
}

std::optional<InvalidValues> check_values(TensorArg scores_arg, OptionalTensorArg back_guides_arg,
                                          OptionalTensorArg posts_arg) {
    const char* const function = "check_values";
    const at::Tensor scores_t = as_tensor(scores_arg.object, function, "scores");
    const auto [num_blocks, num_states] = checked_chunk(
        scores_t, nullptr, nullptr, {.int8_scores = true, .decoding = false}, function);
    const int64_t boundaries = int64_t(num_blocks) + 1;
    const auto scores = float_values(scores_t, int64_t(num_blocks) * num_states * (num_bases + 1),
                                     function, "scores");
    std::optional<at::Tensor> guides, posts;
    if (!back_guides_arg.object.is_none()) {
        guides = float_values(as_tensor(back_guides_arg.object, function, "back_guides"),
                              boundaries * num_states, function, "back_guides");
    }
    if (!posts_arg.object.is_none()) {
        posts = float_values(as_tensor(posts_arg.object, function, "posts"),
                             boundaries * num_states, function, "posts");
    }
    std::optional<InvalidValues> problem;
    {
        py::gil_scoped_release release;
        if (scores) {
            problem = first_unusable_block(scores->data_ptr<float>(), num_blocks, num_states);
        }
        if (!problem && guides) {
            problem = first_unusable_guide(guides->data_ptr<float>(), boundaries, num_states);
        }
        if (!problem && posts) {
            problem = first_unnormalised_row(posts->data_ptr<float>(), boundaries, num_states, "");
            if (problem && scores) {
                problem->problem += chunk_decoding::unnormalised_cause(
                    scores->data_ptr<float>(), num_blocks, num_states, aten_parallel);
            }
        }
    }
    return problem;
}

void check_options(int64_t beam_size, float beam_cut, float temperature, float q_shift,
                   float q_scale) {
    try {
        chunk_decoding::check_beam_size(beam_size);
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
    checked_options(size_t(beam_size), beam_cut, temperature, q_shift, q_scale, nullptr);
}

int decodable_states(int64_t width) {
    if (width < 0) {
        throw py::value_error("num_states: a width cannot be negative.");
    }
    const int states = get_num_states(size_t(width));
    const std::string beyond = chunk_rule::states_beyond_limit(states);
    if (!beyond.empty()) {
        throw py::value_error(message("num_states", beyond + "."));
    }
    return states;
}

int check_chunk(py::handle scores, py::handle back_guides, py::handle posts) {
    const chunk_rule::TensorInfo scores_info = described(scores, "scores");
    std::optional<chunk_rule::TensorInfo> guides_info, posts_info;
    if (!back_guides.is_none()) {
        guides_info = described(back_guides, "back_guides");
    }
    if (!posts.is_none()) {
        posts_info = described(posts, "posts");
    }
    try {
        return chunk_rule::check_chunk(scores_info, guides_info ? &*guides_info : nullptr,
                                       posts_info ? &*posts_info : nullptr, {})
            .num_states;
    } catch (const chunk_rule::ChunkError& error) {
        if (error.problem == chunk_rule::Problem::element_type) {
            throw py::type_error(error.what());
        }
        throw py::value_error(error.what());
    }
}

namespace docs = tensors_docs;
using docs::doc;

// The guides and posteriors of one chunk.
void register_scoring(py::module_& m) {
    m.def("backward_scores", &backward_scores, py::arg("scores"), py::kw_only(),
          py::arg("normalised") = false,
          doc(docs::backward_scores, docs::scores_parameter, docs::normalised_parameter,
              docs::guides_returns, docs::scores_raises)
              .c_str());
    m.def("forward_scores", &forward_scores, py::arg("scores"), py::kw_only(),
          py::arg("normalised") = false,
          doc(docs::forward_scores, docs::scores_parameter, docs::normalised_parameter,
              docs::guides_returns, docs::scores_raises)
              .c_str());
    m.def(
        "posts", &posts, py::arg("scores"),
        doc(docs::posts, docs::scores_parameter, docs::scores_raises, docs::posts_returns).c_str());
}

// The decoding of one chunk.
void register_decoding(py::module_& m) {
    m.def("beam_search", &search_guided, py::arg("scores"), py::arg("back_guides"),
          py::arg("posts"), py::arg("beam_size") = 5, py::arg("beam_cut") = 100.0,
          py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0, py::arg("temperature") = 1.0,
          doc(docs::beam_search, docs::options_parameters, docs::read_returns,
              docs::beam_search_raises)
              .c_str());
    m.def("decode", &decode, py::arg("scores"), py::arg("beam_size") = 5,
          py::arg("beam_cut") = 100.0, py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0,
          py::arg("temperature") = 1.0,
          doc(docs::decode, docs::scores_parameter, docs::options_parameters, docs::read_returns,
              docs::scores_raises, docs::options_raise, docs::decode_example)
              .c_str());
}

// What the decoders accept and refuse, for callers that check before they decode.
void register_limits_and_checks(py::module_& m) {
    py::class_<InvalidValues>(m, "InvalidValues", docs::invalid_values)
        .def_readonly("what", &InvalidValues::what, docs::invalid_what)
        .def_readonly("row", &InvalidValues::row, docs::invalid_row)
        .def_readonly("problem", &InvalidValues::problem, docs::invalid_problem)
        .def("__repr__", [](const InvalidValues& invalid) {
            return "InvalidValues(" + invalid.what + ", row " + std::to_string(invalid.row) + ": " +
                   invalid.problem + ")";
        });
    py::list float_type_list;
    for (const chunk_rule::ElementType type : chunk_rule::float_types) {
        float_type_list.append(chunk_rule::type_name(type));
    }
    m.attr("FLOAT_TYPES") = py::tuple(float_type_list);
    m.attr("MAX_BEAM_SIZE") = max_decoder_beam_width;
    m.attr("MAX_STATES") = max_decoder_states;
    m.attr("POSTERIOR_ROW_TOLERANCE") = chunk_decoding::posterior_row_tolerance;
    m.attr("EXACT_BLOCKS") = chunk_decoding::exact_blocks;
    m.def("check_options", &check_options, py::kw_only(), py::arg("beam_size") = 5,
          py::arg("beam_cut") = 100.0, py::arg("temperature") = 1.0, py::arg("q_shift") = 0.0,
          py::arg("q_scale") = 1.0, docs::check_options);
    m.def("num_states", &decodable_states, py::arg("width"), docs::num_states);
    m.def("check_chunk", &check_chunk, py::arg("scores"), py::arg("back_guides") = py::none(),
          py::arg("posts") = py::none(), docs::check_chunk);
    m.def("check_values", &check_values, py::arg("scores"),
          py::arg("back_guides") = OptionalTensorArg{py::none()},
          py::arg("posts") = OptionalTensorArg{py::none()}, docs::check_values);
    m.def("_exit_on_bus_error", &bus_error::exit_on_bus_error, py::arg("prefix"),
          docs::exit_on_bus_error);
}

// Many chunks at once, on the intra-op threads.
void register_batches(py::module_& m) {
    m.def("decode_batch_checked", &decode_batch_checked, py::arg("scores"),
          py::arg("lengths") = LengthsArg{py::none()}, py::kw_only(), py::arg("beam_size") = 5,
          py::arg("beam_cut") = 100.0, py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0,
          py::arg("temperature") = 1.0,
          doc(docs::decode_batch_checked, docs::batch_parameters, docs::options_parameters,
              docs::decode_batch_checked_returns, docs::batch_raises)
              .c_str());
    m.def("decode_batch", &decode_batch, py::arg("scores"),
          py::arg("lengths") = LengthsArg{py::none()}, py::kw_only(), py::arg("beam_size") = 5,
          py::arg("beam_cut") = 100.0, py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0,
          py::arg("temperature") = 1.0,
          doc(docs::decode_batch, docs::batch_parameters, docs::options_parameters,
              docs::decode_batch_returns, docs::batch_raises, docs::decode_batch_example)
              .c_str());
}

}  // namespace

PYBIND11_MODULE(tovrel_tensors, m) {
    m.doc() = tensors_docs::module;
    m.attr("__version__") = TOVREL_VERSION;
    register_scoring(m);
    register_decoding(m);
    register_limits_and_checks(m);
    register_batches(m);
    register_training(m);
}
