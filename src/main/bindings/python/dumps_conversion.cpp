// The conversion of foreign objects for dumps (see dumps_conversion.h).
#include "dumps_conversion.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "arg_errors.h"

namespace py = pybind11;

namespace {

bool has_nb_int(PyObject *value) {
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    return number != nullptr && (number->nb_int != nullptr || number->nb_index != nullptr);
}

// pybind11's integer caster for a 64-bit T. PyLong_AsUnsignedLong runs no
// Python code; PyLong_AsLong calls the __index__ of an object that is no int;
// PyNumber_Long calls __int__ or __index__.
template <typename T>
bool load_integer(PyObject *value, bool convert, T &out, DumpsCause &cause) {
    if (PyFloat_Check(value) || (!convert && !PyLong_Check(value) && !PyIndex_Check(value))) {
        return false;
    }
    T result;
    bool calls_object = false;
    if constexpr (std::is_unsigned_v<T>) {
        result = PyLong_AsUnsignedLong(value);
    } else {
        calls_object = !PyLong_Check(value) && PyIndex_Check(value);
        result = PyLong_AsLong(value);
    }
    if (result != static_cast<T>(-1) || !PyErr_Occurred()) {
        out = result;
        return true;
    }
    cause.take(calls_object);
    if (!convert || !PyNumber_Check(value)) {
        return false;
    }
    const auto number = py::reinterpret_steal<py::object>(PyNumber_Long(value));
    if (!number) {
        cause.take(has_nb_int(value));
        return false;
    }
    return load_integer(number.ptr(), false, out, cause);
}

// pybind11's bool caster for an object that is neither True, False nor None:
// its truth slot decides, with conversion or for NumPy booleans. Nothing
// when the caster refuses the object.
std::optional<bool> load_bool(PyObject *value, bool convert, DumpsCause &cause) {
    const char *type_name = Py_TYPE(value)->tp_name;
    if (!convert && std::strcmp(type_name, "numpy.bool") != 0 &&
        std::strcmp(type_name, "numpy.bool_") != 0) {
        return std::nullopt;
    }
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        return std::nullopt;
    }
    const int truth = number->nb_bool(value);
    if (truth >= 0) {
        return truth != 0;
    }
    cause.take(true);
    return std::nullopt;
}

// Holds `value` as the alternative T of the variant.
template <typename T>
bool hold_as(PyObject *value, DumpsValue &out) {
    out.emplace<T>(py::reinterpret_borrow<T>(value));
    return true;
}

// Alternatives 1 to 7 and 12 only test the type, the same in both passes.
// bool (0) and None (8) never come here: only exact ones exist, and the
// encoder writes those itself.
bool load_by_type(PyObject *value, DumpsValue &out) {
    if (PyFloat_Check(value)) return hold_as<py::float_>(value, out);
    if (PyLong_Check(value)) return hold_as<py::int_>(value, out);
    if (PyList_Check(value)) return hold_as<py::list>(value, out);
    if (PyTuple_Check(value)) return hold_as<py::tuple>(value, out);
    if (PyDict_Check(value)) return hold_as<py::dict>(value, out);
    if (PyBytes_Check(value)) return hold_as<py::bytes>(value, out);
    if (PyUnicode_Check(value)) return hold_as<py::str>(value, out);
    return false;
}

} // namespace

void DumpsCause::take(bool raised_by_object) {
    if (arg_errors_must_propagate()) {
        throw py::error_already_set();
    }
    auto raised = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
    if (raised_by_object && !exception_) {
        exception_ = std::move(raised);
    }
}

void DumpsCause::raise(PyObject *type, const char *message) {
    if (!exception_) {
        PyErr_SetString(type, message);
    } else {
        PyErr_SetRaisedException(exception_.release().ptr());
        py::raise_from(type, message);
    }
    throw py::error_already_set();
}

bool dumps_conversion_load_uint64(PyObject *value, bool convert, uint64_t &out, DumpsCause &cause) {
    return load_integer(value, convert, out, cause);
}

bool dumps_conversion_load_int64(PyObject *value, bool convert, int64_t &out, DumpsCause &cause) {
    return load_integer(value, convert, out, cause);
}

bool dumps_conversion_convert(PyObject *value, DumpsValue &out, DumpsCause &cause) {
    if (load_by_type(value, out)) {
        return true;
    }
    if (PyByteArray_Check(value)) {
        // Earlier alternatives refuse a bytearray in both passes, and no
        // later one takes it, so only its own alternative is left.
        out.emplace<std::string_view>(PyByteArray_AS_STRING(value),
                                      static_cast<size_t>(PyByteArray_GET_SIZE(value)));
        return true;
    }
    for (const bool convert : {false, true}) {
        uint64_t u = 0;
        int64_t s = 0;
        if (const std::optional<bool> truth = load_bool(value, convert, cause)) {
            out.emplace<bool>(*truth);
        } else if (load_integer(value, convert, u, cause)) {
            out.emplace<uint64_t>(u);
        } else if (load_integer(value, convert, s, cause)) {
            out.emplace<int64_t>(s);
        } else {
            continue;
        }
        return true;
    }
    return false;
}
