// The short TypeErrors of arg_errors.h: wrong arguments and calls of the wrong shape.
#include "arg_errors.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace py = pybind11;

namespace {

// Enough for any real type name; a class can be given a name of any length.
constexpr size_t kTypeNameLimit = 200;

// A name cut short says so.
std::string shortened(const std::string &name) {
    std::string cut = arg_errors_utf8_prefix(name, kTypeNameLimit);
    return cut.size() == name.size() ? cut : cut + "...";
}

// pybind11's displayed type: '%' stands for a bound class, braces group.
std::string expected_text(const char *expected, const std::type_info *const *types) {
    std::string text;
    for (const char *c = expected; *c != '\0'; ++c) {
        if (*c == '{' || *c == '}') continue;
        if (*c != '%') {
            text += *c;
            continue;
        }
        const std::type_info *type = *types++;
        const py::detail::type_info *bound =
            type != nullptr ? py::detail::get_type_info(*type) : nullptr;
        text += bound != nullptr ? bound->type->tp_name : "object";
    }
    return text;
}

using Dispatcher = PyObject *(*)(PyObject *, PyObject *, PyObject *);

// pybind11's dispatcher, the same for every bound function.
Dispatcher pybind11_dispatcher = nullptr;

// `capsule` is the self of a function that arg_errors_bound_calls patched,
// checked then to be a function record capsule: its pointer, read under its
// own name, is never null.
const py::detail::function_record &record_of(PyObject *capsule) {
    return *static_cast<const py::detail::function_record *>(
        PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

std::string label_of(const py::detail::function_record &record) {
    if (!record.is_method) return record.name;
    const char *type_name = reinterpret_cast<PyTypeObject *>(record.scope.ptr())->tp_name;
    const char *dot = std::strrchr(type_name, '.');
    const std::string owner = dot != nullptr ? dot + 1 : type_name;
    return record.is_constructor ? owner : owner + "." + record.name;
}

// What is wrong with the shape of a call, or "" when pybind11 should see it:
// the same rules as its matching, for one parameter list without *args or
// **kwargs whose parameters all have records.
std::string call_problem(const py::detail::function_record &record, PyObject *args,
                         PyObject *kwargs) {
    const size_t given = static_cast<size_t>(PyTuple_GET_SIZE(args));
    const size_t self = record.is_method ? 1 : 0;
    if (given > record.nargs_pos) {
        return "too many positional arguments: " + std::to_string(given - self) +
               " given, at most " + std::to_string(record.nargs_pos - self) + " taken";
    }
    // Parameters without names (no py::arg) take no keywords.
    if (record.args.size() != record.nargs) {
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) return "no keyword arguments taken";
        return given < record.nargs ? "missing arguments" : "";
    }
    if (kwargs != nullptr) {
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const char *name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            if (name == nullptr) {
                // No parameter has a name that is no UTF-8; an interrupt
                // stays pending and the dispatcher returns it.
                if (arg_errors_must_propagate()) return "";
                PyErr_Clear();
                return "unexpected keyword argument";
            }
            size_t index = record.nargs_pos_only;
            while (index < record.nargs && std::strcmp(record.args[index].name, name) != 0) ++index;
            if (index == record.nargs)
                return "unexpected keyword argument '" + shortened(name) + "'";
            if (index < given)
                return "'" + std::string(name) + "' given by position and by keyword";
        }
    }
    for (size_t index = given; index < record.nargs; ++index) {
        const auto &argument = record.args[index];
        if (argument.value) continue;
        if (kwargs == nullptr || PyDict_GetItemString(kwargs, argument.name) == nullptr) {
            return "missing argument '" + std::string(argument.name) + "'";
        }
    }
    return "";
}

// Called by the interpreter: no C++ exception may leave it.
PyObject *checked_dispatch(PyObject *capsule, PyObject *args, PyObject *kwargs) {
    const py::detail::function_record &record = record_of(capsule);
    if (record.next == nullptr && !record.has_args && !record.has_kwargs) {
        try {
            const std::string problem = call_problem(record, args, kwargs);
            if (PyErr_Occurred()) return nullptr;
            if (!problem.empty()) {
                const char *what = record.is_constructor ? "constructor" : "function";
                const std::string message =
                    label_of(record) + "(): incompatible " + what + " arguments: " + problem;
                PyErr_SetString(PyExc_TypeError, message.c_str());
                return nullptr;
            }
        } catch (const std::bad_alloc &) {
            return PyErr_NoMemory();
        }
    }
    return pybind11_dispatcher(capsule, args, kwargs);
}

} // namespace

void arg_errors_bound_calls(py::handle function) {
    PyObject *object = function.ptr();
    if (PyInstanceMethod_Check(object)) object = PyInstanceMethod_GET_FUNCTION(object);
    if (!PyCFunction_Check(object) || !PyCapsule_CheckExact(PyCFunction_GET_SELF(object)) ||
        !py::detail::is_function_record_capsule(
            py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(object)))) {
        throw std::logic_error("arg_errors_bound_calls: not a function bound by pybind11");
    }
    // pybind11 gives each bound function its own method definition, so
    // replacing its entry point changes this function alone.
    PyMethodDef *definition = reinterpret_cast<PyCFunctionObject *>(object)->m_ml;
    const auto dispatcher =
        reinterpret_cast<Dispatcher>(reinterpret_cast<void (*)()>(definition->ml_meth));
    if (dispatcher == &checked_dispatch) return;
    pybind11_dispatcher = dispatcher;
    definition->ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&checked_dispatch));
}

bool arg_errors_must_propagate() {
    return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

std::string arg_errors_type_name(PyObject *object) { return shortened(Py_TYPE(object)->tp_name); }

std::string arg_errors_utf8_prefix(const std::string &text, size_t limit) {
    // text[text.size()] is the terminating NUL, never a continuation byte.
    size_t n = std::min(text.size(), limit);
    while (n != 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

std::string arg_errors_message(const char *function, const char *what, const char *parameter,
                               const char *expected, const std::type_info *const *types,
                               PyObject *received) {
    return std::string(function) + "(): incompatible " + what + " arguments: '" + parameter +
           "' must be " + expected_text(expected, types) + ", not '" +
           arg_errors_type_name(received) + "'";
}

void arg_errors_raise(const char *function, const char *what, const char *parameter,
                      const char *expected, const std::type_info *const *types,
                      PyObject *received) {
    throw py::type_error(arg_errors_message(function, what, parameter, expected, types, received));
}
