// The argument types of the tensor module's functions: any Python object in a tensor's place.
#pragma once

#include <torch/csrc/utils/pybind.h>

#include <utility>

namespace py = pybind11;

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
