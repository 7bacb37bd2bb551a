// The training entry points of `tovrel_tensors`: log Z of each chunk of a batch, the loss of target
// sequences (log Z minus the log weight of the paths that emit the target) and the edge
// posteriors, differentiable through torch's autograd. The chunks run on torch's intra-op threads
// with the interpreter lock released, each on one thread, so results are the same bits for any
// number of threads and any batch. The gradient is computed with the values (it costs little
// more than the forward pass alone) and kept for the backward pass, which only scales it.
#include <ATen/Parallel.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/autograd/functions/basic_ops.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crf_loss.h"
#include "tensor_access.h"
#include "tensor_args.h"
#include "tensors_docs.h"

// The bases of each target: like the lengths of a batch, but never None.
struct __attribute__((visibility("hidden"))) CountsArg {
    py::object object;
};
namespace pybind11::detail {
template <>
struct type_caster<CountsArg> : any_object_caster<CountsArg> {
    static constexpr auto name =
        const_name("torch.Tensor | collections.abc.Sequence[typing.SupportsIndex]");
};
}  // namespace pybind11::detail

namespace {

using tensor_access::as_tensor;
using tensor_access::message;
using tensor_access::ScoreMatrix;
using tensor_access::type_name;

// A checked batch and what to compute of it.
struct Batch {
    const char* function = "";
    at::ScalarType type = at::kFloat;  // of the scores, and of the gradient returned
    int64_t blocks = 0, width = 0;     // of the padded batch
    std::vector<ScoreMatrix> chunks;
    std::vector<std::vector<int>> targets;  // the states of each target; none for log Z
    bool zero_infinity = false;
    bool with_grad = false;
};

Batch checked_scores(const py::object& scores_arg, const py::object& lengths_arg,
                     const char* function) {
    const at::Tensor scores = as_tensor(scores_arg, function, "scores");
    if (scores.dim() != 3) {
        throw py::value_error(message(function,
                                      "scores must be 3-D (chunks, blocks, 5 * 4**k), "
                                      "not " +
                                          std::to_string(scores.dim()) + "-D."));
    }
    Batch batch;
    batch.function = function;
    batch.type = scores.scalar_type();
    batch.blocks = scores.size(1);
    batch.width = scores.size(2);
    batch.with_grad = scores.requires_grad() && at::GradMode::is_enabled();
    at::NoGradGuard no_grad;  // the views read by the core are no part of the graph
    batch.chunks = tensor_access::checked_batch(scores_arg, lengths_arg, function);
    return batch;
}

// Target lengths: a 1-D integer tensor or a sequence of ints, one per chunk.
std::vector<int64_t> read_target_lengths(py::handle arg, size_t count, const char* function) {
    std::vector<int64_t> values;
    if (THPVariable_Check(arg.ptr())) {
        const at::Tensor tensor = THPVariable_Unpack(arg.ptr());
        tensor_access::check_cpu_strided(tensor, function, "target_lengths");
        if (tensor.dim() != 1 || !at::isIntegralType(tensor.scalar_type(), false)) {
            throw py::value_error(
                message(function, "target_lengths must be a 1-D integer tensor."));
        }
        const at::Tensor as_long = tensor.to(at::kLong).contiguous();
        values.assign(as_long.data_ptr<int64_t>(), as_long.data_ptr<int64_t>() + as_long.numel());
    } else if (py::isinstance<py::sequence>(arg) && !py::isinstance<py::str>(arg)) {
        for (py::handle item : py::reinterpret_borrow<py::sequence>(arg)) {
            if (!PyIndex_Check(item.ptr()) || py::isinstance<py::bool_>(item)) {
                throw py::type_error(message(
                    function, "target_lengths must hold integers, not " + type_name(item) + "."));
            }
            values.push_back(tensor_access::index_value(item, function, "target_lengths"));
        }
    } else {
        throw py::type_error(message(function,
                                     "target_lengths must be a 1-D integer tensor or a sequence "
                                     "of ints, not " +
                                         type_name(arg) + "."));
    }
    if (values.size() != count) {
        throw py::value_error(message(function, std::to_string(values.size()) +
                                                    " target lengths for " + std::to_string(count) +
                                                    " chunks."));
    }
    return values;
}

// The states of each target, from targets padded (chunks, longest) or concatenated.
void read_targets(Batch& batch, const py::object& targets_arg, const py::object& lengths_arg,
                  std::vector<int64_t>& lengths) {
    const char* function = batch.function;
    const at::Tensor targets = as_tensor(targets_arg, function, "targets");
    tensor_access::check_cpu_strided(targets, function, "targets");
    if (!at::isIntegralType(targets.scalar_type(), false)) {
        throw py::type_error(message(function,
                                     "targets must be an integer tensor of base codes, "
                                     "not " +
                                         tensor_access::dtype_name(targets) + "."));
    }
    const size_t count = batch.chunks.size();
    lengths = read_target_lengths(lengths_arg, count, function);
    const bool padded = targets.dim() == 2;
    if (!padded && targets.dim() != 1) {
        throw py::value_error(message(function,
                                      "targets must be 2-D (chunks, bases) or 1-D "
                                      "(concatenated), not " +
                                          std::to_string(targets.dim()) + "-D."));
    }
    if (padded && size_t(targets.size(0)) != count) {
        throw py::value_error(message(function, std::to_string(targets.size(0)) + " targets for " +
                                                    std::to_string(count) + " chunks."));
    }
    const at::Tensor codes = targets.to(at::kLong).contiguous();
    const int64_t* values = codes.data_ptr<int64_t>();
    const int64_t room = padded ? targets.size(1) : targets.numel();
    const int num_states = count ? batch.chunks[0].num_states : 1;
    const int k = int(std::lround(std::log2(num_states) / 2));
    int64_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        const std::string which =
            "target_lengths[" + std::to_string(i) + "] is " + std::to_string(lengths[i]) + ", ";
        if (lengths[i] < k) {
            throw py::value_error(message(function, which + "fewer than the k = " +
                                                        std::to_string(k) + " bases of a state."));
        }
        const int64_t first = padded ? int64_t(i) * room : start;
        if ((padded ? lengths[i] : first + lengths[i]) > room) {
            throw py::value_error(message(
                function,
                which + (padded ? "more than the " + std::to_string(room) + " columns of targets."
                                : "beyond the " + std::to_string(room) + " concatenated bases.")));
        }
        for (int64_t j = first; j < first + lengths[i]; ++j) {
            if (values[j] < 0 || values[j] > 3) {
                throw py::value_error(message(function,
                                              "targets must hold base codes 0 to 3, "
                                              "found " +
                                                  std::to_string(values[j]) + " in target " +
                                                  std::to_string(i) + "."));
            }
        }
        batch.targets.push_back(
            crf_loss::target_states(values + first, int(lengths[i]), num_states));
        start += lengths[i];
    }
    if (!padded && start != room) {
        throw py::value_error(message(function, "target_lengths add up to " +
                                                    std::to_string(start) + ", not the " +
                                                    std::to_string(room) + " bases of targets."));
    }
}

// One chunk: its value, and its gradient into `grad` if not null.
template <typename Real>
double chunk_value(const Batch& batch, size_t i, const Real* scores, Real* grad,
                   std::optional<crf_loss::BadScores>& bad) {
    const ScoreMatrix& chunk = batch.chunks[i];
    bad = crf_loss::first_bad_block(scores, chunk.num_blocks, chunk.num_states);
    if (bad) {
        return 0;
    }
    return batch.targets.empty()
               ? crf_loss::log_partition(scores, chunk.num_blocks, chunk.num_states, grad)
               : crf_loss::target_loss(scores, chunk.num_blocks, chunk.num_states, batch.targets[i],
                                       grad);
}

// The value of every chunk (float64) and, with `grad`, the gradient of each (float32, or float64
// for float64 scores; 0 on padding), computed on the intra-op threads.
std::pair<at::Tensor, at::Tensor> compute(const Batch& batch, bool grad) {
    const int64_t count = int64_t(batch.chunks.size());
    const bool double_scores = batch.type == at::kDouble;
    at::Tensor gradient;
    if (grad) {
        // The core writes every row of a chunk's blocks; only the padding is cleared here.
        gradient =
            at::empty({count, batch.blocks, batch.width}, double_scores ? at::kDouble : at::kFloat);
        for (int64_t i = 0; i < count; ++i) {
            const int64_t used = batch.chunks[size_t(i)].num_blocks;
            gradient[i].narrow(0, used, batch.blocks - used).zero_();
        }
    }
    std::vector<double> values(size_t(count), 0);
    std::vector<std::optional<crf_loss::BadScores>> bad(static_cast<size_t>(count));
    {
        py::gil_scoped_release release;
        at::parallel_for(0, count, 1, [&](int64_t begin, int64_t end) {
            for (int64_t i = begin; i < end; ++i) {
                const ScoreMatrix& chunk = batch.chunks[size_t(i)];
                const int64_t offset = i * batch.blocks * batch.width;
                if (double_scores) {
                    values[size_t(i)] = chunk_value<double>(
                        batch, size_t(i), chunk.scores.data_ptr<double>(),
                        grad ? gradient.data_ptr<double>() + offset : nullptr, bad[size_t(i)]);
                } else {
                    const at::Tensor scores = chunk.as_float32();
                    values[size_t(i)] = chunk_value<float>(
                        batch, size_t(i), scores.data_ptr<float>(),
                        grad ? gradient.data_ptr<float>() + offset : nullptr, bad[size_t(i)]);
                }
            }
        });
    }
    for (int64_t i = 0; i < count; ++i) {
        const std::string where = "chunk " + std::to_string(i) + ": ";
        if (const auto& problem = bad[size_t(i)]) {
            throw py::value_error(
                message(batch.function, where + "scores " + problem->problem + " at block " +
                                            std::to_string(problem->block) + "."));
        }
        if (std::isnan(values[size_t(i)]) ||
            (batch.targets.empty() && std::isinf(values[size_t(i)]) && values[size_t(i)] > 0)) {
            throw py::value_error(
                message(batch.function, where + "scores too large for single precision."));
        }
        if (batch.zero_infinity && std::isinf(values[size_t(i)])) {
            values[size_t(i)] = 0;
        }
    }
    at::Tensor result = at::empty({count}, at::kDouble);
    std::copy(values.begin(), values.end(), result.data_ptr<double>());
    return {result.to(double_scores ? at::kDouble : at::kFloat), gradient};
}

// log Z or the loss of each chunk, differentiable with respect to the scores.
struct ChunkValues : torch::autograd::Function<ChunkValues> {
    static at::Tensor forward(torch::autograd::AutogradContext* context, const at::Tensor& scores,
                              const std::shared_ptr<Batch>& batch) {
        (void)scores;  // read through the batch's checked views
        auto [values, gradient] = compute(*batch, batch->with_grad);
        if (batch->with_grad) {
            context->save_for_backward({gradient});
            context->saved_data["type"] = int64_t(batch->type);
        }
        return values;
    }

    static torch::autograd::variable_list backward(torch::autograd::AutogradContext* context,
                                                   torch::autograd::variable_list outputs) {
        const at::Tensor gradient = context->get_saved_variables()[0];
        const auto type = at::ScalarType(context->saved_data["type"].toInt());
        const at::Tensor scale = outputs[0].to(gradient.scalar_type()).reshape({-1, 1, 1});
        at::Tensor result = (gradient * scale).to(type);
        if (at::GradMode::is_enabled()) {
            // The saved gradient is a constant of this graph: a second derivative through it
            // would be silently wrong, so differentiating the result raises instead.
            result = torch::autograd::DelayedError(
                         "crf_log_z, crf_loss: no second derivatives (their gradient is computed "
                         "with the values and saved, not differentiated again)",
                         1)
                         .apply({result})[0];
        }
        return {result, at::Tensor()};
    }
};

at::Tensor apply(Batch batch, const py::object& scores_arg) {
    const at::Tensor scores = THPVariable_Unpack(scores_arg.ptr());
    return ChunkValues::apply(scores, std::make_shared<Batch>(std::move(batch)));
}

at::Tensor crf_log_z(TensorArg scores, LengthsArg lengths) {
    return apply(checked_scores(scores.object, lengths.object, "crf_log_z"), scores.object);
}

at::Tensor crf_loss_entry(TensorArg scores, TensorArg targets, CountsArg target_lengths,
                          LengthsArg lengths, const std::string& reduction, bool zero_infinity) {
    const char* function = "crf_loss";
    if (reduction != "none" && reduction != "sum" && reduction != "mean") {
        throw py::value_error(message(
            function, "reduction must be 'none', 'sum' or 'mean', not '" + reduction + "'."));
    }
    Batch batch = checked_scores(scores.object, lengths.object, function);
    batch.zero_infinity = zero_infinity;
    std::vector<int64_t> counts;
    read_targets(batch, targets.object, target_lengths.object, counts);
    const at::Tensor losses = apply(std::move(batch), scores.object);
    if (reduction == "none") {
        return losses;
    }
    if (reduction == "sum") {
        return losses.sum();
    }
    at::Tensor bases = at::empty({int64_t(counts.size())}, at::kLong);
    std::copy(counts.begin(), counts.end(), bases.data_ptr<int64_t>());
    return (losses / bases.to(losses.scalar_type())).mean();
}

at::Tensor crf_edge_posteriors(TensorArg scores, LengthsArg lengths) {
    Batch batch = checked_scores(scores.object, lengths.object, "crf_edge_posteriors");
    at::NoGradGuard no_grad;
    return compute(batch, true).second.to(batch.type);
}

}  // namespace

// The training functions, registered into the tensor module.
void register_training(py::module_& m) {
    namespace docs = tensors_docs;
    using docs::doc;
    m.def("crf_log_z", &crf_log_z, py::arg("scores"), py::arg("lengths") = LengthsArg{py::none()},
          doc(docs::crf_log_z, docs::training_parameters, docs::crf_log_z_returns,
              docs::training_notes)
              .c_str());
    m.def("crf_loss", &crf_loss_entry, py::arg("scores"), py::arg("targets"),
          py::arg("target_lengths"), py::arg("lengths") = LengthsArg{py::none()}, py::kw_only(),
          py::arg("reduction") = "mean", py::arg("zero_infinity") = false,
          doc(docs::crf_loss, docs::training_parameters, docs::crf_loss_parameters,
              docs::crf_loss_returns, docs::training_notes, docs::crf_loss_example)
              .c_str());
    m.def("crf_edge_posteriors", &crf_edge_posteriors, py::arg("scores"),
          py::arg("lengths") = LengthsArg{py::none()},
          doc(docs::crf_edge_posteriors, docs::training_parameters,
              docs::crf_edge_posteriors_returns, docs::training_notes)
              .c_str());
}
