// The training entry points of `tovrel_tensors`: log Z of each chunk of a batch, the loss of target
// sequences (log Z minus the log weight of the paths that emit the target) and the edge
// posteriors, differentiable through torch's autograd. The chunks run on torch's intra-op threads
// with the interpreter lock released, each on one thread, so results are the same bits for any
// number of threads and any batch. The forward pass keeps the forward guides; the backward pass
// computes the gradient from them.
#include <ATen/Parallel.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/autograd/functions/basic_ops.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "beam_search.h"
#include "crf_loss.h"
#include "crf_target.h"
#include "loss_memory.h"
#include "loss_targets.h"
#include "tensor_access.h"
#include "tensor_args.h"
#include "tensors_docs.h"

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
    // Checked here for the whole batch, so that a bad type or width is named as the loss sees it,
    // not as the decoder's check of one chunk does.
    const at::ScalarType type = scores.scalar_type();
    if (type != at::kFloat && type != at::kHalf && type != at::kBFloat16 && type != at::kDouble) {
        throw py::type_error(
            message(function, "scores must be " + chunk_rule::accepted_type_names(false) +
                                  ", not " + tensor_access::dtype_name(scores) + "."));
    }
    const int64_t columns = scores.size(2), states = columns / 5;
    if (columns % 5 != 0 || size_t(states) > max_decoder_states ||
        !is_kmer_state_count(size_t(states))) {
        throw py::value_error(message(function, "scores must have 5 * 4**k columns, 4**k at most " +
                                                    std::to_string(max_decoder_states) +
                                                    " states, not " + std::to_string(columns) +
                                                    "."));
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

// Runs `each(i, scores)` for every chunk on the intra-op threads, with the chunk's scores in
// float32 (widened on the thread that reads them) or, for float64 scores, in float64. Called
// without the interpreter lock. Between chunks the calling thread takes the lock to run the
// signal handlers, so that Ctrl-C stops a long batch after the chunks under way: their error
// (KeyboardInterrupt) is raised when they end, and no chunk starts after it.
template <typename Each>
void for_each_chunk(const Batch& batch, const Each& each) {
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> stopped{false};
    std::optional<py::error_already_set> interrupt;
    at::parallel_for(0, int64_t(batch.chunks.size()), 1, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end && !stopped.load(); ++i) {
            if (std::this_thread::get_id() == caller) {
                py::gil_scoped_acquire acquire;
                if (PyErr_CheckSignals() != 0) {
                    interrupt.emplace();
                    stopped.store(true);
                    break;
                }
            }
            const ScoreMatrix& chunk = batch.chunks[size_t(i)];
            if (batch.type == at::kDouble) {
                each(size_t(i), chunk.scores.data_ptr<double>());
            } else {
                const at::Tensor scores = chunk.as_float32();
                each(size_t(i), scores.data_ptr<float>());
            }
        }
    });
    if (interrupt) {
        throw std::move(*interrupt);
    }
}

// The most values of the numerator's forward rows kept whole for a chunk: as many as its guides
// hold (in double, twice their memory for float scores).
size_t max_target_rows(const ScoreMatrix& chunk) {
    return size_t(chunk.num_blocks + 1) * size_t(chunk.num_states);
}

// A tensor of the element type the core computes in for these scores.
at::Tensor core_tensor(const Batch& batch, at::IntArrayRef sizes) {
    return loss_memory::empty(sizes, batch.type == at::kDouble ? at::kDouble : at::kFloat);
}

// What the forward pass leaves for the backward pass besides the guides: the checked batch and
// which chunks have a finite value (the others get a gradient of 0).
struct Saved : torch::CustomClassHolder {
    std::shared_ptr<Batch> batch;
    std::vector<char> finite;
    std::vector<crf_loss::TargetRows> target_rows;  // the numerator's forward rows, per chunk
    at::Tensor target_values;                       // where those rows are, for every chunk
};

// The numerator's forward rows of every chunk, all of a chunk's if they take at most twice its
// guides' memory, else some: one allocation for the batch.
void keep_target_rows(const Batch& batch, std::vector<crf_loss::TargetRows>& target_rows,
                      at::Tensor& target_values) {
    std::vector<size_t> starts(batch.targets.size() + 1, 0);
    for (size_t i = 0; i < batch.targets.size(); ++i) {
        const ScoreMatrix& chunk = batch.chunks[i];
        starts[i + 1] = starts[i] + crf_loss::kept_values(chunk.num_blocks, batch.targets[i].size(),
                                                          max_target_rows(chunk));
    }
    target_values = loss_memory::empty({int64_t(starts.back())}, at::kDouble);
    target_rows.assign(batch.targets.size(), {});
    for (size_t i = 0; i < batch.targets.size(); ++i) {
        target_rows[i].values = target_values.data_ptr<double>() + starts[i];
    }
}

// The value of every chunk, and with `guides` the forward guides and row shifts of every chunk
// ((chunks, blocks + 1, states) and (chunks, blocks + 1)) and the numerator's forward rows for the
// gradient (all of a chunk's if they take at most twice its guides' memory, else some).
at::Tensor chunk_values(const Batch& batch, std::vector<char>& finite, at::Tensor* guides,
                        at::Tensor* shifts, std::vector<crf_loss::TargetRows>* target_rows,
                        at::Tensor* target_values) {
    const size_t count = batch.chunks.size();
    const int64_t states = batch.width / 5, rows = batch.blocks + 1;
    if (guides) {
        *guides = core_tensor(batch, {int64_t(count), rows, states});
        *shifts = core_tensor(batch, {int64_t(count), rows});
        keep_target_rows(batch, *target_rows, *target_values);
    }
    std::vector<double> values(count, 0);
    std::vector<std::optional<crf_loss::BadScores>> bad(count);
    auto each = [&](size_t i, const auto* scores) {
        using Real = std::remove_const_t<std::remove_pointer_t<decltype(scores)>>;
        const ScoreMatrix& chunk = batch.chunks[i];
        std::vector<Real> own;
        Real *fwd, *row_shifts;
        if (guides) {
            fwd = guides->data_ptr<Real>() + int64_t(i) * rows * states;
            row_shifts = shifts->data_ptr<Real>() + int64_t(i) * rows;
        } else {
            own.resize(size_t(chunk.num_blocks + 1) * size_t(states + 1));
            fwd = own.data();
            row_shifts = own.data() + size_t(chunk.num_blocks + 1) * size_t(states);
        }
        double log_z = 0;
        if (batch.targets.empty()) {
            bad[i] = crf_loss::checked_forward_guides(scores, chunk.num_blocks, chunk.num_states,
                                                      fwd, row_shifts, log_z);
            values[i] = log_z;
            return;
        }
        double numerator = 0;
        bad[i] = crf_loss::checked_forward_with_target(
            scores, chunk.num_blocks, chunk.num_states, fwd, row_shifts, log_z, batch.targets[i],
            guides ? &(*target_rows)[i] : nullptr, max_target_rows(chunk), numerator);
        if (bad[i]) {
            return;
        }
        values[i] = numerator == -INFINITY ? INFINITY : log_z - numerator;
    };
    {
        py::gil_scoped_release release;
        for_each_chunk(batch, each);
    }
    finite.assign(count, 0);
    for (size_t i = 0; i < count; ++i) {
        const std::string where = "chunk " + std::to_string(i) + ": ";
        if (const auto& problem = bad[i]) {
            throw py::value_error(
                message(batch.function, where + "scores " + problem->problem + " at block " +
                                            std::to_string(problem->block) + "."));
        }
        if (std::isnan(values[i]) ||
            (batch.targets.empty() && std::isinf(values[i]) && values[i] > 0)) {
            throw py::value_error(
                message(batch.function, where + "scores too large for single precision."));
        }
        finite[i] = std::isfinite(values[i]);
        if (batch.zero_infinity && std::isinf(values[i])) {
            values[i] = 0;
        }
    }
    at::Tensor result = at::empty({int64_t(count)}, at::kDouble);
    std::copy(values.begin(), values.end(), result.data_ptr<double>());
    return result.to(batch.type == at::kDouble ? at::kDouble : at::kFloat);
}

// The gradient of every chunk's value times `scales[i]` (0 on padding and for chunks without a
// finite value), from the guides of chunk_values, in one pass over each chunk's gradient.
at::Tensor chunk_gradients(const Batch& batch, const std::vector<char>& finite,
                           const at::Tensor& guides, const at::Tensor& shifts,
                           const std::vector<crf_loss::TargetRows>& target_rows,
                           const std::vector<double>& scales) {
    const int64_t rows = batch.blocks + 1, states = batch.width / 5;
    at::Tensor gradient =
        core_tensor(batch, {int64_t(batch.chunks.size()), batch.blocks, batch.width});
    auto each = [&](size_t i, const auto* scores) {
        using Real = std::remove_const_t<std::remove_pointer_t<decltype(scores)>>;
        const ScoreMatrix& chunk = batch.chunks[i];
        Real* grad = gradient.data_ptr<Real>() + int64_t(i) * batch.blocks * batch.width;
        const size_t used = size_t(chunk.num_blocks) * size_t(batch.width);
        std::fill(grad + (finite[i] ? used : 0), grad + batch.blocks * batch.width, Real(0));
        if (!finite[i]) {
            return;
        }
        const Real* fwd = guides.data_ptr<Real>() + int64_t(i) * rows * states;
        const Real* row_shifts = shifts.data_ptr<Real>() + int64_t(i) * rows;
        if (batch.targets.empty()) {
            crf_loss::scaled_edge_posts(scores, chunk.num_blocks, chunk.num_states, fwd, row_shifts,
                                        scales[i], grad);
        } else {
            crf_loss::scaled_loss_posts(scores, chunk.num_blocks, chunk.num_states, fwd, row_shifts,
                                        scales[i], batch.targets[i], target_rows[i], grad);
        }
    };
    // The backward pass may run on a thread of autograd's that does not hold the lock.
    std::optional<py::gil_scoped_release> release;
    if (PyGILState_Check()) {
        release.emplace();
    }
    for_each_chunk(batch, each);
    return gradient;
}

// log Z or the loss of each chunk, differentiable with respect to the scores. The forward pass
// keeps the forward guides (a fifth of the scores' size); the backward pass computes the gradient
// from them, already scaled by the output's gradient.
struct ChunkValues : torch::autograd::Function<ChunkValues> {
    static at::Tensor forward(torch::autograd::AutogradContext* context, const at::Tensor& scores,
                              const std::shared_ptr<Batch>& batch) {
        auto saved = c10::make_intrusive<Saved>();
        saved->batch = batch;
        if (!batch->with_grad) {
            return chunk_values(*batch, saved->finite, nullptr, nullptr, nullptr, nullptr);
        }
        at::Tensor guides, shifts;
        at::Tensor values = chunk_values(*batch, saved->finite, &guides, &shifts,
                                         &saved->target_rows, &saved->target_values);
        // The scores are saved so that autograd refuses them if changed in place before backward.
        context->save_for_backward({scores, guides, shifts});
        context->saved_data["saved"] = c10::IValue::make_capsule(saved);
        return values;
    }

    static torch::autograd::variable_list backward(torch::autograd::AutogradContext* context,
                                                   torch::autograd::variable_list outputs) {
        const auto variables = context->get_saved_variables();
        const auto saved =
            c10::static_intrusive_pointer_cast<Saved>(context->saved_data["saved"].toCapsule());
        const Batch& batch = *saved->batch;
        const at::Tensor scale = outputs[0].detach().to(at::kDouble).contiguous();
        const std::vector<double> scales(scale.data_ptr<double>(),
                                         scale.data_ptr<double>() + scale.numel());
        // An infinite weight times a gradient of both signs within a block has no value (it
        // would come out as NaN): refused, as a NaN weight is.
        for (size_t i = 0; i < scales.size(); ++i) {
            TORCH_CHECK_VALUE(!saved->finite[i] || std::isfinite(scales[i]), batch.function,
                              ": the gradient reaching chunk ", i, "'s value is ", scales[i],
                              "; it must be finite.");
        }
        at::Tensor result = chunk_gradients(batch, saved->finite, variables[1], variables[2],
                                            saved->target_rows, scales)
                                .to(batch.type);
        if (at::GradMode::is_enabled()) {
            // The gradient is computed outside autograd: a second derivative through it would
            // be silently wrong (or missing), so differentiating the result raises instead.
            // Tied to the scores, so that any derivative of it reaches the error.
            result = torch::autograd::DelayedError(
                         "crf_log_z, crf_loss: no second derivatives (their gradient is computed "
                         "by the core, not differentiated again)",
                         2)
                         .apply({result, variables[0]})[0];
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
                          LengthsArg lengths, ReductionArg reduction_arg,
                          FlagArg zero_infinity_arg) {
    const char* function = "crf_loss";
    const std::string reduction = loss_targets::checked_reduction(reduction_arg.object, function);
    const bool zero_infinity =
        loss_targets::checked_flag(zero_infinity_arg.object, function, "zero_infinity");
    Batch batch = checked_scores(scores.object, lengths.object, function);
    batch.zero_infinity = zero_infinity;
    std::vector<int64_t> counts;
    const int num_states = batch.chunks.empty() ? 1 : batch.chunks[0].num_states;
    batch.targets = loss_targets::read_targets(targets.object, target_lengths.object,
                                               batch.chunks.size(), num_states, function, counts);
    const at::Tensor losses = apply(std::move(batch), scores.object);
    if (reduction == "none") {
        return losses;
    }
    if (reduction == "sum") {
        return losses.sum();
    }
    at::Tensor bases = at::empty({int64_t(counts.size())}, at::kLong);
    std::copy(counts.begin(), counts.end(), bases.data_ptr<int64_t>());
    // As torch's ctc_loss, an empty target counts as one base (its loss is infinite, or 0).
    return (losses / bases.clamp_min(1).to(losses.scalar_type())).mean();
}

at::Tensor crf_edge_posteriors(TensorArg scores, LengthsArg lengths) {
    Batch batch = checked_scores(scores.object, lengths.object, "crf_edge_posteriors");
    at::NoGradGuard no_grad;
    std::vector<char> finite;
    std::vector<crf_loss::TargetRows> no_targets;
    at::Tensor guides, shifts, no_rows;
    chunk_values(batch, finite, &guides, &shifts, &no_targets, &no_rows);
    return chunk_gradients(batch, finite, guides, shifts, no_targets,
                           std::vector<double>(finite.size(), 1))
        .to(batch.type);
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
          py::arg("reduction") = ReductionArg{py::str("mean")},
          py::arg("zero_infinity") = FlagArg{py::bool_(false)},
          doc(docs::crf_loss, docs::training_parameters, docs::crf_loss_parameters,
              docs::crf_loss_returns, docs::training_notes, docs::crf_loss_example)
              .c_str());
    m.def("crf_edge_posteriors", &crf_edge_posteriors, py::arg("scores"),
          py::arg("lengths") = LengthsArg{py::none()},
          doc(docs::crf_edge_posteriors, docs::training_parameters,
              docs::crf_edge_posteriors_returns, docs::training_notes)
              .c_str());
    m.def("release_loss_memory", &loss_memory::release, docs::release_loss_memory);
}
