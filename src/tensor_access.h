// The one intake from Python arguments to what the core reads, for both binding modules: tensors
// and batches taken from Python objects, the checks every score, guide and posterior tensor passes
// before its memory is read (device, layout, and the chunk rule: shape, element type, size), and
// the checked views that let the core read it in place.
#pragma once

#include <ATen/ATen.h>
#include <torch/csrc/autograd/python_variable.h>
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

namespace py = pybind11;

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

// The name of a Python object's type, for refusals that never print the object itself.
inline std::string type_name(py::handle object) {
    return py::str(py::type::handle_of(object).attr("__name__"));
}

inline at::Tensor as_tensor(py::handle object, const char* function, const char* name) {
    if (!THPVariable_Check(object.ptr())) {
        throw py::type_error(message(function, std::string(name) + " must be a torch.Tensor, not " +
                                                   type_name(object) + "."));
    }
    return THPVariable_Unpack(object.ptr());
}

// An integer given by its __index__, refused with ValueError beyond 64 bits (never pybind11's
// internal cast error).
inline int64_t index_value(py::handle item, const char* function, const std::string& what) {
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr()));
    if (!index) {
        throw py::error_already_set();
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) {
        throw py::value_error(message(
            function, what + " holds " + std::string(py::str(index)) + ", beyond 64 bits."));
    }
    return int64_t(value);
}

// The block counts of a padded batch: a 1-D integer tensor or a sequence of ints.
inline std::vector<int64_t> read_lengths(py::handle lengths, size_t count, const char* function) {
    std::vector<int64_t> values;
    if (THPVariable_Check(lengths.ptr())) {
        const at::Tensor tensor = THPVariable_Unpack(lengths.ptr());
        if (tensor.dim() != 1 || !at::isIntegralType(tensor.scalar_type(), false)) {
            throw py::value_error(message(function, "lengths must be a 1-D integer tensor."));
        }
        check_cpu_strided(tensor, function, "lengths");
        const at::Tensor as_long = tensor.to(at::kLong).contiguous();
        values.assign(as_long.data_ptr<int64_t>(), as_long.data_ptr<int64_t>() + as_long.numel());
    } else if (py::isinstance<py::sequence>(lengths) && !py::isinstance<py::str>(lengths)) {
        for (py::handle item : py::reinterpret_borrow<py::sequence>(lengths)) {
            if (!PyIndex_Check(item.ptr()) || py::isinstance<py::bool_>(item)) {
                throw py::type_error(
                    message(function, "lengths must hold integers, not " + type_name(item) + "."));
            }
            values.push_back(index_value(item, function, "lengths"));
        }
    } else {
        throw py::type_error(message(function,
                                     "lengths must be a 1-D integer tensor or a "
                                     "sequence of ints, not " +
                                         type_name(lengths) + "."));
    }
    if (values.size() != count) {
        throw py::value_error(message(function, std::to_string(values.size()) + " lengths for " +
                                                    std::to_string(count) + " chunks."));
    }
    return values;
}

// The chunks of a batch, each checked and readable in place but not yet widened: a 3-D tensor
// (chunks, blocks, 5 * 4^k) or a list or tuple of 2-D tensors, of which chunk i reads its first
// lengths[i] blocks if lengths is not None.
inline std::vector<ScoreMatrix> checked_batch(const pybind11::object& scores_arg,
                                              const pybind11::object& lengths_arg,
                                              const char* function) {
    std::vector<at::Tensor> chunks;
    if (THPVariable_Check(scores_arg.ptr())) {
        const at::Tensor batch = THPVariable_Unpack(scores_arg.ptr());
        if (batch.dim() != 3) {
            throw py::value_error(message(function,
                                          "a score tensor must be 3-D (chunks, blocks, "
                                          "5 * 4**k), not " +
                                              std::to_string(batch.dim()) +
                                              "-D; pass one chunk to decode."));
        }
        check_cpu_strided(batch, function, "scores");
        chunks = batch.unbind(0);
    } else if (py::isinstance<py::list>(scores_arg) || py::isinstance<py::tuple>(scores_arg)) {
        size_t index = 0;
        for (py::handle item : py::reinterpret_borrow<py::sequence>(scores_arg)) {
            if (!THPVariable_Check(item.ptr())) {
                throw py::type_error(message(function, "scores[" + std::to_string(index) +
                                                           "] must be a torch.Tensor, not " +
                                                           type_name(item) + "."));
            }
            chunks.push_back(THPVariable_Unpack(item.ptr()));
            ++index;
        }
    } else {
        throw py::type_error(message(function,
                                     "scores must be a 3-D torch.Tensor or a list of "
                                     "2-D tensors, not " +
                                         type_name(scores_arg) + "."));
    }

    const bool padded = !lengths_arg.is_none();
    std::vector<int64_t> lengths(chunks.size(), -1);  // -1: every block
    if (padded) {
        lengths = read_lengths(lengths_arg, chunks.size(), function);
    }
    std::vector<ScoreMatrix> matrices;
    matrices.reserve(chunks.size());
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (padded && chunks[i].dim() == 2 && (lengths[i] < 0 || lengths[i] > chunks[i].size(0))) {
            throw py::value_error(message(
                function, "lengths[" + std::to_string(i) + "] is " + std::to_string(lengths[i]) +
                              ", outside 0 .. " + std::to_string(chunks[i].size(0)) + " blocks."));
        }
        const std::string where = std::string(function) + ": chunk " + std::to_string(i);
        matrices.push_back(checked_score_matrix(chunks[i], where.c_str(), true, lengths[i], true));
    }

    return matrices;
}

// A tensor's first `count` values as float32, widened if need be; nullopt for 8-bit values, which
// cannot hold NaN or infinities.
inline std::optional<at::Tensor> float_values(const at::Tensor& tensor, int64_t count,
                                              const char* function, const char* name) {
    if (tensor.scalar_type() == at::kChar) {
        return std::nullopt;
    }
    if (tensor_access::element_type(tensor.scalar_type()) == chunk_rule::ElementType::other) {
        throw py::type_error(message(
            function, std::string(name) + " must be " + chunk_rule::accepted_type_names(true) +
                          ", not " + tensor_access::dtype_name(tensor) + "."));
    }
    const at::Tensor readable = readable_in_place(tensor, count, function, name);
    return readable.scalar_type() == at::kFloat ? readable : readable.to(at::kFloat);
}

// One entry of a shape: an int (anything with __index__, bool aside), TypeError otherwise, and
// ValueError beyond 64 bits, in place of pybind11's own cast error.
inline int64_t shape_entry(py::handle size, const char* name) {
    if (PyBool_Check(size.ptr()) || !PyIndex_Check(size.ptr())) {
        throw py::type_error(std::string(name) + ".shape must hold ints, not " + type_name(size));
    }
    const py::int_ value = py::reinterpret_steal<py::int_>(PyNumber_Index(size.ptr()));
    if (!value) {
        throw py::error_already_set();
    }
    int overflow = 0;
    const long long entry = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) {
        throw py::value_error(std::string(name) + ".shape holds " + std::string(py::str(value)) +
                              ", beyond 64 bits");
    }
    return entry;
}

// What the chunk rule reads of anything with a shape and a torch dtype: a tensor, or a description
// of one that has not been loaded.
inline chunk_rule::TensorInfo described(py::handle object, const char* name) {
    if (!py::hasattr(object, "shape") || !py::hasattr(object, "dtype")) {
        throw py::type_error(message(
            "check_chunk",
            std::string(name) + " must have a shape and a dtype, not " + type_name(object) + "."));
    }
    chunk_rule::TensorInfo info;
    for (py::handle size : object.attr("shape")) {
        info.shape.push_back(shape_entry(size, name));
    }
    info.type_name = py::str(object.attr("dtype"));
    const std::string prefix = "torch.";
    info.type = chunk_rule::type_named(info.type_name.rfind(prefix, 0) == 0
                                           ? info.type_name.substr(prefix.size())
                                           : info.type_name);
    return info;
}

}  // namespace tensor_access
