// The targets of the training loss as the tensor module reads them: base codes padded
// (chunks, longest) or concatenated, with the bases of each, checked and turned into the k-mer
// states each target passes through.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "crf_loss.h"
#include "tensor_access.h"
#include "tensor_args.h"

// The bases of each target: like the lengths of a batch, but never None.
struct __attribute__((visibility("hidden"))) CountsArg {
    py::object object;
};
// The reduction and zero_infinity, checked by the function so that a wrong type is named in one
// line.
struct __attribute__((visibility("hidden"))) ReductionArg {
    py::object object;
};
struct __attribute__((visibility("hidden"))) FlagArg {
    py::object object;
};
namespace pybind11::detail {
template <>
struct type_caster<CountsArg> : any_object_caster<CountsArg> {
    static constexpr auto name =
        const_name("torch.Tensor | collections.abc.Sequence[typing.SupportsIndex]");
};
template <>
struct type_caster<ReductionArg> : any_object_caster<ReductionArg> {
    static constexpr auto name = const_name("str");
};
template <>
struct type_caster<FlagArg> : any_object_caster<FlagArg> {
    static constexpr auto name = const_name("bool");
};
}  // namespace pybind11::detail

namespace loss_targets {

using tensor_access::as_tensor;
using tensor_access::message;
using tensor_access::type_name;

inline std::string checked_reduction(py::handle arg, const char* function) {
    if (!py::isinstance<py::str>(arg)) {
        throw py::type_error(
            message(function, "reduction must be a str, not " + type_name(arg) + "."));
    }
    const std::string reduction = arg.cast<std::string>();
    if (reduction != "none" && reduction != "sum" && reduction != "mean") {
        throw py::value_error(message(
            function, "reduction must be 'none', 'sum' or 'mean', not '" + reduction + "'."));
    }
    return reduction;
}

// A bool (as torch's losses take it): any other value is refused rather than taken for its truth.
inline bool checked_flag(py::handle arg, const char* function, const char* name) {
    if (!py::isinstance<py::bool_>(arg)) {
        throw py::type_error(
            message(function, std::string(name) + " must be a bool, not " + type_name(arg) + "."));
    }
    return arg.cast<bool>();
}

// Target lengths: a 1-D integer tensor or a sequence of ints, one per chunk.
inline std::vector<int64_t> read_target_lengths(py::handle arg, size_t count,
                                                const char* function) {
    std::vector<int64_t> values;
    if (THPVariable_Check(arg.ptr())) {
        const at::Tensor tensor = THPVariable_Unpack(arg.ptr());
        tensor_access::check_cpu_strided(tensor, function, "target_lengths");
        if (!at::isIntegralType(tensor.scalar_type(), false)) {
            throw py::type_error(
                message(function, "target_lengths must be an integer tensor, not " +
                                      tensor_access::dtype_name(tensor) + "."));
        }
        if (tensor.dim() != 1) {
            throw py::value_error(message(function, "target_lengths must be 1-D, not " +
                                                        std::to_string(tensor.dim()) + "-D."));
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
inline std::vector<std::vector<int>> read_targets(const py::object& targets_arg,
                                                  const py::object& lengths_arg, size_t count,
                                                  int num_states, const char* function,
                                                  std::vector<int64_t>& lengths) {
    const at::Tensor targets = as_tensor(targets_arg, function, "targets");
    tensor_access::check_cpu_strided(targets, function, "targets");
    if (!at::isIntegralType(targets.scalar_type(), false)) {
        throw py::type_error(message(function,
                                     "targets must be an integer tensor of base codes, "
                                     "not " +
                                         tensor_access::dtype_name(targets) + "."));
    }
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
    std::vector<std::vector<int>> states;
    int64_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        const std::string which =
            "target_lengths[" + std::to_string(i) + "] is " + std::to_string(lengths[i]) + ", ";
        // Fewer than k bases is no usage error: like any target that no path emits (every path
        // emits at least the k bases of its first state), its loss is infinite.
        if (lengths[i] < 0) {
            throw py::value_error(message(function, which + "negative."));
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
        states.push_back(crf_loss::target_states(values + first, int(lengths[i]), num_states));
        start += lengths[i];
    }
    if (!padded && start != room) {
        throw py::value_error(message(function, "target_lengths add up to " +
                                                    std::to_string(start) + ", not the " +
                                                    std::to_string(room) + " bases of targets."));
    }
    return states;
}

}  // namespace loss_targets
