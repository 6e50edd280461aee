// Argument errors of bounded size.
//
// When no overload accepts the arguments, pybind11 builds its TypeError from
// the repr of every argument, which for a large buffer is hundreds of
// megabytes and seconds of work. Functions registered through arg_errors_def
// take each parameter through a caster that never refuses: it records whether
// the parameter's own caster accepted the object, and the call raises a short
// TypeError naming the function, the parameter and the type received. The
// displayed signature stays the one the parameter's own caster gives.
#ifndef CORVANTIS_BINDINGS_ARG_ERRORS_H
#define CORVANTIS_BINDINGS_ARG_ERRORS_H

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

// "<function>(): incompatible <what> arguments: '<parameter>' must be
// <expected>, not '<type of received>'", of bounded length. `expected` is
// pybind11's displayed type: its '%' placeholders are resolved from `types`.
std::string arg_errors_message(const char *function, const char *what, const char *parameter,
                               const char *expected, const std::type_info *const *types,
                               PyObject *received);

// Raises that message as a TypeError.
[[noreturn]] void arg_errors_raise(const char *function, const char *what, const char *parameter,
                                   const char *expected, const std::type_info *const *types,
                                   PyObject *received);

// The same for a call whose arguments match no parameter list (too many
// positional arguments, an unknown, repeated or missing argument): the bound
// function `function` (a module function or a method, as its scope holds it)
// first checks the call's shape and raises a short TypeError naming what is
// wrong; a call of the right shape goes to pybind11 unchanged.
void arg_errors_bound_calls(pybind11::handle function);

// True when the pending exception must propagate as itself, never turned
// into another error or cleared: an interrupt, an exit, MemoryError, anything
// that is no Exception.
bool arg_errors_must_propagate();

// The name of `object`'s type for a message, at most a few hundred bytes.
std::string arg_errors_type_name(PyObject *object);

// The longest start of `text` of at most `limit` bytes that splits no UTF-8
// sequence, so that a message cut to size stays decodable.
std::string arg_errors_utf8_prefix(const std::string &text, size_t limit);

// What a message says a parameter of type T must be, where its displayed
// type does not say it all: a definition of ArgErrorsExpected<T> sets `text`.
template <typename T>
struct ArgErrorsExpected {
    static constexpr const char *text = nullptr;
};

// A parameter of type T whose conversion failure is reported by the function
// itself rather than by overload resolution.
template <typename T>
class LooseArg {
  public:
    using caster_type = pybind11::detail::make_caster<T>;

    LooseArg() = default;
    LooseArg(PyObject *source, caster_type *caster) : source_(source), caster_(caster) {}

    PyObject *source() const noexcept { return source_; }
    bool converted() const noexcept { return caster_ != nullptr; }
    // Only after converted().
    decltype(auto) get() const { return pybind11::detail::cast_op<T>(std::move(*caster_)); }

    // Raises the bounded TypeError unless the object converted.
    void require(const char *function, const char *what, const char *parameter) const {
        if (converted()) return;
        static constexpr auto name = caster_type::name;
        static constexpr auto types = name.types();
        const char *text = ArgErrorsExpected<pybind11::detail::intrinsic_t<T>>::text;
        arg_errors_raise(function, what, parameter, text != nullptr ? text : name.text,
                         types.data(), source_);
    }

  private:
    PyObject *source_ = nullptr;
    caster_type *caster_ = nullptr;
};

namespace pybind11 {
namespace detail {
template <typename T>
struct type_caster<LooseArg<T>> {
    PYBIND11_TYPE_CASTER(LooseArg<T>, make_caster<T>::name);

    // The argument tuple keeps the object alive for the call, and the caster
    // lives as long as the call's argument loader.
    bool load(handle src, bool convert) {
        value = LooseArg<T>(src.ptr(), inner_.load(src, convert) ? &inner_ : nullptr);
        return true;
    }

  private:
    make_caster<T> inner_;
};
} // namespace detail
} // namespace pybind11

namespace arg_errors_detail {

template <typename Extra>
void add_name(const Extra &extra, const char **names, size_t &count, size_t size) {
    if constexpr (std::is_base_of_v<pybind11::arg, Extra>) {
        if (count < size) names[count++] = extra.name;
    }
}

template <typename Function, typename R, typename... Args, size_t... I>
auto checked(Function function, const char *label, std::array<const char *, sizeof...(Args)> names,
             std::index_sequence<I...>) {
    return [function, label, names](LooseArg<Args>... args) -> R {
        (args.require(label, "function", names[I]), ...);
        return function(args.get()...);
    };
}

} // namespace arg_errors_detail

// Registers `function` on `scope` (a module or a class) under `name`, as
// scope.def(name, function, extra...) would, with bounded argument errors
// naming `label`. A method's first parameter is `self`; the others take
// their names from the py::arg entries among `extra`.
template <typename Scope, typename R, typename... Args, typename... Extra>
void arg_errors_def(Scope &scope, const char *name, const char *label, R (*function)(Args...),
                    const Extra &...extra) {
    std::array<const char *, sizeof...(Args)> names{};
    size_t count = 0;
    if constexpr (!std::is_same_v<Scope, pybind11::module_>) {
        if constexpr (sizeof...(Args) > 0) names[count++] = "self";
    }
    (arg_errors_detail::add_name(extra, names.data(), count, names.size()), ...);
    for (size_t i = count; i < names.size(); ++i) names[i] = "argument";
    scope.def(name,
              arg_errors_detail::checked<R (*)(Args...), R, Args...>(
                  function, label, names, std::index_sequence_for<Args...>{}),
              extra...);
    arg_errors_bound_calls(scope.attr(name));
}

#endif
