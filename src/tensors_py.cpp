// The Python module `tovrel_tensors`: the same computations as `tovrel`, for callers who want
// tensors rather than lists. Guides and posteriors come back as float32 tensors of shape
// (num_blocks + 1, num_states), moves as a uint8 tensor; `decode` goes from a score tensor to a
// read in one call and `decode_batch` decodes many chunks on torch's intra-op threads. The
// interpreter lock is released for all numeric work.
#include <ATen/Parallel.h>
#include <fcntl.h>
#include <immintrin.h>
#include <signal.h>
#include <torch/csrc/autograd/python_variable.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "beam_search.h"
#include "tensor_access.h"

namespace py = pybind11;

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

// Any Python object in a tensor's place. The functions check it themselves, so that a wrong
// argument is named in one line instead of in a message that prints its whole value; the
// signature line still shows the type expected.
struct __attribute__((visibility("hidden"))) TensorArg {
    py::object object;
};
struct __attribute__((visibility("hidden"))) BatchArg {
    py::object object;
};
struct __attribute__((visibility("hidden"))) LengthsArg {
    py::object object;
};
struct __attribute__((visibility("hidden"))) OptionalTensorArg {
    py::object object;
};

namespace pybind11::detail {
template <typename Arg>
struct any_object_caster {
    bool load(handle source, bool) {
        value.object = reinterpret_borrow<object>(source);
        return true;
    }
    static handle cast(const Arg& arg, return_value_policy, handle) { return arg.object.inc_ref(); }
    operator Arg*() { return &value; }
    operator Arg&() { return value; }
    operator Arg&&() && { return std::move(value); }
    template <typename T_>
    using cast_op_type = movable_cast_op_type<T_>;
    Arg value;
};
template <>
struct type_caster<TensorArg> : any_object_caster<TensorArg> {
    static constexpr auto name = const_name("torch.Tensor");
};
template <>
struct type_caster<BatchArg> : any_object_caster<BatchArg> {
    static constexpr auto name = const_name("torch.Tensor | list[torch.Tensor]");
};
template <>
struct type_caster<OptionalTensorArg> : any_object_caster<OptionalTensorArg> {
    static constexpr auto name = const_name("torch.Tensor | None");
};
template <>
struct type_caster<LengthsArg> : any_object_caster<LengthsArg> {
    static constexpr auto name =
        const_name("torch.Tensor | collections.abc.Sequence[typing.SupportsIndex] | None");
};
}  // namespace pybind11::detail

namespace {

using tensor_access::check_cpu_strided;
using tensor_access::readable_in_place;

std::string message(const char* function, const std::string& text) {
    return std::string(function) + ": " + text;
}

std::string type_name(py::handle object) {
    return py::str(py::type::handle_of(object).attr("__name__"));
}

std::string dtype_name(const at::Tensor& tensor) {
    return py::str(py::cast(tensor).attr("dtype"));  // torch's own name, e.g. torch.int64
}

at::Tensor as_tensor(py::handle object, const char* function, const char* name) {
    if (!THPVariable_Check(object.ptr())) {
        throw py::type_error(message(function, std::string(name) + " must be a torch.Tensor, not " +
                                                   type_name(object) + "."));
    }
    return THPVariable_Unpack(object.ptr());
}

// The floating element types the functions accept, float32 first: the others are converted to it.
constexpr struct {
    at::ScalarType type;
    const char* name;
} float_types[] = {{at::kFloat, "float32"},
                   {at::kHalf, "float16"},
                   {at::kBFloat16, "bfloat16"},
                   {at::kDouble, "float64"}};

bool is_float_type(at::ScalarType type) {
    return std::any_of(std::begin(float_types), std::end(float_types),
                       [type](const auto& known) { return known.type == type; });
}

// "float32, float16, bfloat16 or float64"; with `and_int8`, "float32, ..., float64 or int8".
std::string float_type_names(bool and_int8 = false) {
    std::string names;
    for (const auto& known : float_types) {
        const bool last = !and_int8 && &known == std::end(float_types) - 1;
        names += names.empty() ? "" : last ? " or " : ", ";
        names += known.name;
    }
    return and_int8 ? names + " or int8" : names;
}

// The refusal of a tensor of another element type.
py::type_error wrong_type(const char* function, const std::string& what, const at::Tensor& tensor,
                          bool and_int8 = false) {
    return py::type_error(message(function, what + " must be " + float_type_names(and_int8) +
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
void check_2d_scores(const at::Tensor& scores, const char* function) {
    check_cpu_strided(scores, function, "scores");
    if (scores.dim() != 2) {
        throw py::value_error(message(function, "scores must be 2-D (blocks, 5 * 4**k), not " +
                                                    std::to_string(scores.dim()) + "-D."));
    }
}

// Checks a score tensor once: a 2-D CPU tensor of 5 * 4^k columns, of a floating element type.
// Only the first `rows` rows (all if negative) are read. Unless `widen_later`, they are converted
// to float32 here; a batch widens each chunk on the thread that decodes it instead, so that only
// the chunks in flight are held twice.
ScoreMatrix checked_score_matrix(const at::Tensor& tensor, const char* function, int64_t rows = -1,
                                 bool widen_later = false) {
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

void check_beam_size(size_t beam_size, const char* function) {
    if (beam_size < 1 || beam_size > max_decoder_beam_width) {
        throw py::value_error(message(function, "beam_size must be between 1 and " +
                                                    std::to_string(max_decoder_beam_width) +
                                                    ", not " + std::to_string(beam_size) + "."));
    }
}

void check_decodable_states(int num_states, const char* function) {
    if (size_t(num_states) > max_decoder_states) {
        throw py::value_error(message(function, std::to_string(num_states) + " states; at most " +
                                                    std::to_string(max_decoder_states) +
                                                    " (k <= 6) can be decoded."));
    }
}

void check_decodable(const ScoreMatrix& matrix, size_t beam_size, const char* function) {
    check_beam_size(beam_size, function);
    check_decodable_states(matrix.num_states, function);
}

// Why a chunk's values cannot be decoded: `what` ("scores", "back_guides" or "posts") holds a
// problem at `row` (a block of the scores, a boundary of the guides and posteriors).
struct InvalidValues {
    std::string what;
    int64_t row;
    std::string problem;
};

// Rows of posteriors whose sum is further than this from 1 cannot be trusted. Honest rows stay
// closer: rounding the log of the total weight moves a row's sum by about that log times 2^-24
// (2e-3 for a 10,000-block chunk of scores of spread 2).
constexpr double posterior_row_tolerance = 1e-2;

// The first block whose scores hold NaN or +inf, or are all -inf (no path crosses it).
std::optional<InvalidValues> first_unusable_block(const float* scores, int num_blocks,
                                                  int num_states) {
    const size_t width = size_t(num_states) * (num_bases + 1);
    const float infinity = std::numeric_limits<float>::infinity();
    for (int block = 0; block < num_blocks; ++block) {
        const float* row = scores + size_t(block) * width;
        bool all_negative_infinity = true;
        for (size_t i = 0; i < width; ++i) {
            if (std::isnan(row[i])) {
                return InvalidValues{"scores", block, "hold NaN"};
            }
            if (row[i] == infinity) {
                return InvalidValues{"scores", block, "hold +inf"};
            }
            all_negative_infinity = all_negative_infinity && row[i] == -infinity;
        }
        if (all_negative_infinity) {
            return InvalidValues{"scores", block, "are all -inf, so no path crosses the block"};
        }
    }
    return std::nullopt;
}

// The sum of a row of posteriors, eight lanes at a time (SSE2, which every x86-64 processor has),
// so that it runs at the speed of the loads; single precision is ample against
// posterior_row_tolerance.
float row_sum(const float* values, int count) {
    __m128 low = _mm_setzero_ps();
    __m128 high = _mm_setzero_ps();
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        low = _mm_add_ps(low, _mm_loadu_ps(values + i));
        high = _mm_add_ps(high, _mm_loadu_ps(values + i + 4));
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, _mm_add_ps(low, high));
    float sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    for (; i < count; ++i) {
        sum += values[i];
    }
    return sum;
}

bool normalised(const float* values, int count) {
    return std::fabs(row_sum(values, count) - 1.0f) <= float(posterior_row_tolerance);
}

// Why row `row` of posteriors, at `values`, cannot be trusted.
InvalidValues unnormalised(const float* values, int64_t row, int num_states, const char* cause) {
    const float total = row_sum(values, num_states);
    char text[160];
    if (std::isnan(total)) {
        std::snprintf(text, sizeof text, "sum to NaN, not 1%s", cause);
    } else {
        std::snprintf(text, sizeof text, "sum to %.6g, not 1%s", double(total), cause);
    }
    return InvalidValues{"posts", row, text};
}

// The first of `rows` rows of posteriors whose sum is not within posterior_row_tolerance of 1.
std::optional<InvalidValues> first_unnormalised_row(const float* posts, int64_t rows,
                                                    int num_states, const char* cause) {
    for (int64_t row = 0; row < rows; ++row) {
        if (!normalised(posts + row * num_states, num_states)) {
            return unnormalised(posts + row * num_states, row, num_states, cause);
        }
    }
    return std::nullopt;
}

// The first boundary whose guides hold NaN or +inf.
std::optional<InvalidValues> first_unusable_guide(const float* guides, int64_t rows,
                                                  int num_states) {
    for (int64_t i = 0; i < rows * num_states; ++i) {
        if (std::isnan(guides[i]) || guides[i] == std::numeric_limits<float>::infinity()) {
            return InvalidValues{"back_guides", i / num_states,
                                 std::isnan(guides[i]) ? "hold NaN" : "hold +inf"};
        }
    }
    return std::nullopt;
}

at::Tensor guide_tensor(int num_blocks, int num_states) {
    return at::empty({int64_t(num_blocks) + 1, num_states}, at::kFloat);
}

at::Tensor moves_tensor(const std::vector<uint8_t>& moves) {
    at::Tensor tensor = at::empty({int64_t(moves.size())}, at::kByte);
    std::copy(moves.begin(), moves.end(), tensor.data_ptr<uint8_t>());
    return tensor;
}

// Backward guides and posteriors. The backward and forward recursions run at once when torch
// has an intra-op thread to spare (not inside a parallel region: then one after the other). With
// `check`, each row of posteriors is summed while it is still in cache; returns the first row that
// does not sum to 1, or -1.
int64_t compute_guides_and_posts(const float* scores, float* back_guides, float* posts,
                                 int num_blocks, int num_states, bool check = false) {
    std::vector<float> fwd_guides(size_t(num_blocks + 1) * size_t(num_states));
    at::parallel_for(0, 2, 1, [&](int64_t begin, int64_t end) {
        for (int64_t which = begin; which < end; ++which) {
            if (which == 0) {
                compute_back_guides(scores, back_guides, num_blocks, num_states);
            } else {
                compute_fwd_guides(scores, fwd_guides.data(), num_blocks, num_states);
            }
        }
    });
    // Rows are normalised independently, so they split between the threads with the same bits.
    const size_t row = size_t(num_states);
    const int64_t rows = int64_t(num_blocks) + 1;
    const int64_t rows_in_cache = 16;
    std::atomic<int64_t> first_unnormalised{rows};
    at::parallel_for(0, rows, 256, [&](int64_t begin, int64_t end) {
        for (int64_t first = begin; first < end; first += rows_in_cache) {
            const int64_t stop = std::min(end, first + rows_in_cache);
            compute_posts(fwd_guides.data() + size_t(first) * row,
                          back_guides + size_t(first) * row, posts + size_t(first) * row,
                          int(stop - first - 1), num_states);
            for (int64_t r = first; check && r < stop; ++r) {
                if (!normalised(posts + size_t(r) * row, num_states)) {
                    int64_t known = first_unnormalised.load();
                    while (r < known && !first_unnormalised.compare_exchange_weak(known, r)) {
                    }
                    break;
                }
            }
        }
    });
    return first_unnormalised.load() < rows ? first_unnormalised.load() : -1;
}

struct SearchOptions {
    size_t beam_size;
    float beam_cut, q_shift, q_scale, temperature;
};

struct Read {
    std::string sequence, qstring;
    std::vector<uint8_t> moves;
};

py::tuple read_tuple(const Read& read) {
    return py::make_tuple(read.sequence, read.qstring, moves_tensor(read.moves));
}

// The guided search and the strings, from float or 8-bit scores and guides and float or 8-bit
// posteriors (8-bit ones are converted as they are read).
template <typename T, typename P>
Read search(const T* scores, const T* back_guides, const P* posts, int num_blocks, int num_states,
            const SearchOptions& options) {
    Read read;
    std::vector<int> states;
    std::vector<float> qual_data(size_t(num_blocks) * num_bases);
    beam_search(scores, back_guides, posts, size_t(num_states), size_t(num_blocks),
                options.beam_size, options.beam_cut, 2.0f, states, read.moves, qual_data,
                options.temperature);
    std::tie(read.sequence, read.qstring) =
        generate_sequence(read.moves, states, qual_data, options.q_shift, options.q_scale);
    return read;
}

// A read, or why the chunk's values cannot be decoded.
struct CheckedRead {
    Read read;
    std::optional<InvalidValues> invalid;
};

// A whole decode of one checked score matrix; runs without the interpreter lock. With `check`, a
// chunk whose posteriors do not sum to 1 is not searched: it holds NaN, +inf or a block of -inf
// scores (each of which makes the posteriors NaN), or scores too large for single precision.
CheckedRead decode_matrix(const ScoreMatrix& matrix, const SearchOptions& options, bool check) {
    const size_t guide_size = size_t(matrix.num_blocks + 1) * size_t(matrix.num_states);
    std::vector<float> back_guides(guide_size), posts(guide_size);
    const at::Tensor scores_t = matrix.as_float32();
    const float* scores = scores_t.data_ptr<float>();
    compute_guides_and_posts(scores, back_guides.data(), posts.data(), matrix.num_blocks,
                             matrix.num_states);
    if (check) {
        if (auto problem = first_unnormalised_row(
                posts.data(), int64_t(matrix.num_blocks) + 1, matrix.num_states,
                ": the scores are too large for single precision")) {
            return {{},
                    first_unusable_block(scores, matrix.num_blocks, matrix.num_states)
                        .value_or(*problem)};
        }
    }
    return {search(scores, back_guides.data(), posts.data(), matrix.num_blocks, matrix.num_states,
                   options),
            std::nullopt};
}

at::Tensor guides(TensorArg scores_arg, const char* function,
                  void (*recursion)(const float*, float*, int, int)) {
    const ScoreMatrix matrix =
        checked_score_matrix(as_tensor(scores_arg.object, function, "scores"), function);
    at::Tensor result = guide_tensor(matrix.num_blocks, matrix.num_states);
    py::gil_scoped_release release;
    recursion(matrix.scores.data_ptr<float>(), result.data_ptr<float>(), matrix.num_blocks,
              matrix.num_states);
    return result;
}

at::Tensor backward_scores(TensorArg scores) {
    return guides(scores, "backward_scores", compute_back_guides);
}

at::Tensor forward_scores(TensorArg scores) {
    return guides(scores, "forward_scores", compute_fwd_guides);
}

at::Tensor posts(TensorArg scores_arg) {
    const ScoreMatrix matrix =
        checked_score_matrix(as_tensor(scores_arg.object, "posts", "scores"), "posts");
    at::Tensor posts = guide_tensor(matrix.num_blocks, matrix.num_states);
    py::gil_scoped_release release;
    std::vector<float> back_guides(size_t(posts.numel()));
    compute_guides_and_posts(matrix.scores.data_ptr<float>(), back_guides.data(),
                             posts.data_ptr<float>(), matrix.num_blocks, matrix.num_states);
    return posts;
}

py::tuple search_guided(TensorArg scores_arg, TensorArg back_guides_arg, TensorArg posts_arg,
                        size_t beam_size, float beam_cut, float q_shift, float q_scale,
                        float temperature) {
    const char* const function = "beam_search";
    const at::Tensor scores_t = as_tensor(scores_arg.object, function, "scores");
    const at::Tensor back_guides_t = as_tensor(back_guides_arg.object, function, "back_guides");
    const at::Tensor posts_t = as_tensor(posts_arg.object, function, "posts");
    const bool eight_bit = scores_t.scalar_type() == at::kChar;
    for (const at::Tensor* tensor : {&back_guides_t, &posts_t}) {
        if ((tensor->scalar_type() == at::kChar) != eight_bit) {
            throw std::runtime_error(tensor_access::mismatched_types_message);
        }
    }
    const SearchOptions options{beam_size, beam_cut, q_shift, q_scale, temperature};

    if (!eight_bit) {
        const ScoreMatrix matrix = checked_score_matrix(scores_t, function);
        check_decodable(matrix, beam_size, function);
        const int64_t guide_count = int64_t(matrix.num_blocks + 1) * matrix.num_states;
        for (const at::Tensor* tensor : {&back_guides_t, &posts_t}) {
            if (!is_float_type(tensor->scalar_type())) {
                throw wrong_type(function, "guides and posteriors, like the scores,", *tensor);
            }
        }
        const at::Tensor back_guides =
            readable_in_place(back_guides_t, guide_count, function, "back_guides").to(at::kFloat);
        const at::Tensor posts =
            readable_in_place(posts_t, guide_count, function, "posts").to(at::kFloat);
        Read read;
        {
            py::gil_scoped_release release;
            read = search(matrix.scores.data_ptr<float>(), back_guides.data_ptr<float>(),
                          posts.data_ptr<float>(), matrix.num_blocks, matrix.num_states, options);
        }
        return read_tuple(read);
    }

    // 8-bit scores and guides are read as plain values; posteriors code (q + 128) / 255.
    check_2d_scores(scores_t, function);
    int num_blocks = 0;
    int num_states = 0;
    tensor_access::read_score_shape(scores_t, num_blocks, num_states);
    check_decodable(ScoreMatrix{scores_t, num_blocks, num_states}, beam_size, function);
    const int64_t guide_count = int64_t(num_blocks + 1) * num_states;
    const at::Tensor scores = readable_in_place(
        scores_t, int64_t(num_blocks) * num_states * (num_bases + 1), function, "scores");
    const at::Tensor back_guides =
        readable_in_place(back_guides_t, guide_count, function, "back_guides");
    const at::Tensor posts = readable_in_place(posts_t, guide_count, function, "posts");
    Read read;
    {
        py::gil_scoped_release release;
        read = search(scores.data_ptr<int8_t>(), back_guides.data_ptr<int8_t>(),
                      posts.data_ptr<int8_t>(), num_blocks, num_states, options);
    }
    return read_tuple(read);
}

py::tuple decode(TensorArg scores_arg, size_t beam_size, float beam_cut, float q_shift,
                 float q_scale, float temperature) {
    const ScoreMatrix matrix =
        checked_score_matrix(as_tensor(scores_arg.object, "decode", "scores"), "decode");
    check_decodable(matrix, beam_size, "decode");
    Read read;
    {
        py::gil_scoped_release release;
        read =
            decode_matrix(matrix, {beam_size, beam_cut, q_shift, q_scale, temperature}, false).read;
    }
    return read_tuple(read);
}

// The block counts of a padded batch: a 1-D integer tensor or a sequence of ints.
std::vector<int64_t> read_lengths(py::handle lengths, size_t count, const char* function) {
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
            values.push_back(py::cast<int64_t>(
                py::reinterpret_borrow<py::int_>(py::handle(PyNumber_Index(item.ptr())))));
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

// The chunks of a batch, checked, and each decoded (with `check`: or found invalid) on torch's
// intra-op threads with the interpreter lock released.
std::vector<CheckedRead> decode_chunks(const py::object& scores_arg, const py::object& lengths_arg,
                                       const SearchOptions& options, bool check,
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

    check_beam_size(options.beam_size, function);
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
        matrices.push_back(checked_score_matrix(chunks[i], where.c_str(), lengths[i], true));
        check_decodable(matrices.back(), options.beam_size, where.c_str());
    }

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
                            const SearchOptions& options, bool check, const char* function) {
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
    return decode_batch_entry(scores, lengths, {beam_size, beam_cut, q_shift, q_scale, temperature},
                              false, "decode_batch");
}

py::list decode_batch_checked(BatchArg scores, LengthsArg lengths, size_t beam_size, float beam_cut,
                              float q_shift, float q_scale, float temperature) {
    return decode_batch_entry(scores, lengths, {beam_size, beam_cut, q_shift, q_scale, temperature},
                              true, "decode_batch_checked");
}

// A tensor's first `count` values as float32, widened if need be; nullopt for 8-bit values, which
// cannot hold NaN or infinities.
std::optional<at::Tensor> float_values(const at::Tensor& tensor, int64_t count,
                                       const char* function, const char* name) {
    if (tensor.scalar_type() == at::kChar) {
        return std::nullopt;
    }
    if (!is_float_type(tensor.scalar_type())) {
        throw wrong_type(function, name, tensor, true);
    }
    const at::Tensor readable = readable_in_place(tensor, count, function, name);
    return readable.scalar_type() == at::kFloat ? readable : readable.to(at::kFloat);
}

std::optional<InvalidValues> check_values(TensorArg scores_arg, OptionalTensorArg back_guides_arg,
                                          OptionalTensorArg posts_arg) {
    const char* const function = "check_values";
    const at::Tensor scores_t = as_tensor(scores_arg.object, function, "scores");
    check_2d_scores(scores_t, function);
    int num_blocks = 0;
    int num_states = 0;
    tensor_access::read_score_shape(scores_t, num_blocks, num_states);
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
        }
    }
    return problem;
}

int decodable_states(int64_t width) {
    if (width < 0) {
        throw py::value_error("num_states: a width cannot be negative.");
    }
    const int states = get_num_states(size_t(width));
    check_decodable_states(states, "num_states");
    return states;
}

// Reports a bus error, which reading a memory-mapped file that has been truncated raises, as one
// line naming the file (from /proc/self/maps) and exits with status 1. Everything here is
// async-signal-safe: static buffers, open, read, write and _exit.
namespace bus_error {

char prefix[512];
size_t prefix_length = 0;
std::atomic_flag reporting = ATOMIC_FLAG_INIT;

void write_text(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text += written;
        length -= size_t(written);
    }
}

void write_text(const char* text) { write_text(text, std::strlen(text)); }

const char* parse_hex(const char* text, uintptr_t& value) {
    value = 0;
    for (;; ++text) {
        const char c = *text;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return text;
        }
        value = value * 16 + uintptr_t(digit);
    }
}

// The file of a line of /proc/self/maps ("start-end perms offset dev inode path") if its range
// holds `address`.
const char* file_at(const char* line, uintptr_t address) {
    uintptr_t start = 0, end = 0;
    line = parse_hex(line, start);
    if (*line != '-') {
        return nullptr;
    }
    line = parse_hex(line + 1, end);
    if (address < start || address >= end) {
        return nullptr;
    }
    for (int field = 0; field < 4; ++field) {  // perms, offset, dev, inode
        while (*line == ' ') {
            ++line;
        }
        while (*line != ' ' && *line != '\0') {
            ++line;
        }
    }
    while (*line == ' ') {
        ++line;
    }
    return *line == '/' ? line : nullptr;
}

bool write_mapped_file(uintptr_t address) {
    static char buffer[4096];
    static char line[8192];
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t length = 0;
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (buffer[i] != '\n') {
                if (length < sizeof line - 1) {
                    line[length++] = buffer[i];
                }
                continue;
            }
            line[length] = '\0';
            length = 0;
            if (const char* file = file_at(line, address)) {
                close(fd);
                const char* deleted = std::strstr(file, " (deleted)");
                write_text(file, deleted ? size_t(deleted - file) : std::strlen(file));
                return true;
            }
        }
    }
    close(fd);
    return false;
}

void report(int, siginfo_t* info, void*) {
    if (reporting.test_and_set()) {
        for (;;) {
            pause();  // another thread is reporting and will end the process
        }
    }
    write_text(prefix, prefix_length);
    if (!write_mapped_file(uintptr_t(info->si_addr))) {
        write_text("an input");
    }
    write_text(" changed or was removed during the run\n");
    _exit(1);
}

}  // namespace bus_error

void exit_on_bus_error(const std::string& prefix) {
    bus_error::prefix_length = std::min(prefix.size(), sizeof bus_error::prefix);
    std::memcpy(bus_error::prefix, prefix.data(), bus_error::prefix_length);
    struct sigaction action {};
    action.sa_sigaction = bus_error::report;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "sigaction");
    }
}

constexpr const char* scores_doc = R"(

scores: a 2-D CPU tensor (blocks, 5 * 4**k) of CRF transition scores, float32 (float16 and
bfloat16 are widened exactly, float64 is rounded to the nearest float32). Non-contiguous views
are copied.

Raises TypeError for a non-tensor or another element type, ValueError for another number of
dimensions, another device or a problem too large for 32-bit indexing, and RuntimeError
"Unexpected number of transition states in beam search decode." for a width that is not
5 * 4**k.)";

constexpr const char* options_doc = R"(

beam_size: paths kept from block to block, 1 to 256. beam_cut: candidates more than
log(beam_cut) * temperature below the best guided score are dropped (0 or less: no cut).
q_shift, q_scale: each base's Phred value becomes phred * q_scale + q_shift, clamped to 1 .. 90.
temperature: softening of the log-add of merged paths, and scale of the cut.
Returns (sequence over "ACGT", FASTQ quality string of the same length, moves: a uint8 tensor with
one entry per block, 1 where a base was emitted, 0 where the path stayed).)";

std::string doc(const char* summary, const char* details) { return std::string(summary) + details; }

}  // namespace

PYBIND11_MODULE(tovrel_tensors, m) {
    m.doc() = "CRF guides, posteriors and beam-search decoding of k-mer scores, as tensors.";
    m.attr("__version__") = TOVREL_VERSION;
    m.def("backward_scores", &backward_scores, py::arg("scores"),
          doc("Backward guides: the natural-log weight of all paths from each state at each block "
              "boundary to the end, a float32 tensor (blocks + 1, 4**k); the last row is 0.",
              scores_doc)
              .c_str());
    m.def("forward_scores", &forward_scores, py::arg("scores"),
          doc("Forward guides: the natural-log weight of all paths from the start to each state "
              "at each block boundary, a float32 tensor (blocks + 1, 4**k); the first row is 0.",
              scores_doc)
              .c_str());
    m.def("posts", &posts, py::arg("scores"),
          doc("Posterior probability of every state at every block boundary, a float32 tensor "
              "(blocks + 1, 4**k) whose rows sum to 1. With two or more intra-op threads the "
              "backward and forward recursions run at once.",
              scores_doc)
              .c_str());
    m.def("beam_search", &search_guided, py::arg("scores"), py::arg("back_guides"),
          py::arg("posts"), py::arg("beam_size") = 5, py::arg("beam_cut") = 100.0,
          py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0, py::arg("temperature") = 1.0,
          doc("Guided beam search of scores with their backward guides and posteriors (each "
              "holding at least (blocks + 1) * 4**k values, k <= 6), as tovrel.beam_search.\n\n"
              "All three floating (float32; float16, bfloat16 and float64 are converted) or all "
              "three int8: 8-bit scores and guides are plain values, 8-bit posteriors code "
              "(q + 128) / 255 and are converted as they are read. Mixed element types raise "
              "RuntimeError.",
              options_doc)
              .c_str());
    m.def("decode", &decode, py::arg("scores"), py::arg("beam_size") = 5,
          py::arg("beam_cut") = 100.0, py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0,
          py::arg("temperature") = 1.0,
          doc("Guides, posteriors and guided beam search of one chunk in one call (k <= 6). With "
              "two or more intra-op threads the backward and forward recursions run at once.",
              (std::string(scores_doc) + options_doc).c_str())
              .c_str());
    py::class_<InvalidValues>(m, "InvalidValues",
                              "Why a chunk's values cannot be decoded: what ('scores', "
                              "'back_guides' or 'posts') holds a problem at row (a block of the "
                              "scores, a boundary of the guides and posteriors).")
        .def_readonly("what", &InvalidValues::what)
        .def_readonly("row", &InvalidValues::row)
        .def_readonly("problem", &InvalidValues::problem)
        .def("__repr__", [](const InvalidValues& invalid) {
            return "InvalidValues(" + invalid.what + ", row " + std::to_string(invalid.row) + ": " +
                   invalid.problem + ")";
        });
    py::list float_type_list;
    for (const auto& known : float_types) {
        float_type_list.append(known.name);
    }
    m.attr("FLOAT_TYPES") = py::tuple(float_type_list);
    m.attr("MAX_BEAM_SIZE") = max_decoder_beam_width;
    m.attr("MAX_STATES") = max_decoder_states;
    m.attr("POSTERIOR_ROW_TOLERANCE") = posterior_row_tolerance;
    m.def("num_states", &decodable_states, py::arg("width"),
          "The number of states of score rows of `width` columns (5 * 4**k), as the decoders read "
          "it: RuntimeError \"Unexpected number of transition states in beam search decode.\" for "
          "a width that is not 5 * 4**k, ValueError above MAX_STATES states.");
    m.def("check_values", &check_values, py::arg("scores"),
          py::arg("back_guides") = OptionalTensorArg{py::none()},
          py::arg("posts") = OptionalTensorArg{py::none()},
          "The first value of a chunk that can only decode to garbage, as an InvalidValues, or "
          "None: float scores holding NaN or +inf or a block of all -inf; float guides holding "
          "NaN or +inf; float posteriors whose rows do not sum to 1 within "
          "POSTERIOR_ROW_TOLERANCE. 8-bit values hold neither NaN nor infinities, and 8-bit "
          "posteriors, being quantised, are not summed.");
    m.def("_exit_on_bus_error", &exit_on_bus_error, py::arg("prefix"),
          "For tovrel-decode: a bus error (reading a mapped file that was truncated) prints "
          "prefix + 'FILE changed or was removed during the run' and exits with status 1.");
    m.def("decode_batch_checked", &decode_batch_checked, py::arg("scores"),
          py::arg("lengths") = LengthsArg{py::none()}, py::kw_only(), py::arg("beam_size") = 5,
          py::arg("beam_cut") = 100.0, py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0,
          py::arg("temperature") = 1.0,
          doc("decode_batch that checks every chunk's posteriors as part of its decoding: a chunk "
              "whose posterior rows do not sum to 1 within POSTERIOR_ROW_TOLERANCE (NaN, +inf or "
              "a block of all -inf scores, or scores too large for single precision) gives an "
              "InvalidValues naming the first bad block of scores, or else the first bad row of "
              "posteriors, in place of its read.",
              options_doc)
              .c_str());
    m.def("decode_batch", &decode_batch, py::arg("scores"),
          py::arg("lengths") = LengthsArg{py::none()}, py::kw_only(), py::arg("beam_size") = 5,
          py::arg("beam_cut") = 100.0, py::arg("q_shift") = 0.0, py::arg("q_scale") = 1.0,
          py::arg("temperature") = 1.0,
          doc("decode of many chunks, in parallel on torch's intra-op threads "
              "(torch.get_num_threads()); returns a list with one (sequence, quality, moves) per "
              "chunk, each identical to decode of that chunk.\n\n"
              "scores: a 3-D tensor (chunks, blocks, 5 * 4**k) or a list of 2-D tensors of any "
              "lengths, element types as for decode. lengths: optional, the blocks used of each "
              "chunk of a padded batch (a 1-D integer tensor or a sequence of ints); a count "
              "outside 0 .. blocks or the wrong number of counts raises ValueError.",
              options_doc)
              .c_str());
}
