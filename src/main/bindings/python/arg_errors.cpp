// The bounded TypeError of arg_errors.h.
#include "arg_errors.h"

#include <cstring>

namespace py = pybind11;

namespace {

// Enough for any real type name; a class can be given a name of any length.
constexpr size_t kTypeNameLimit = 200;

// Cuts to at most `limit` bytes without splitting a UTF-8 sequence.
std::string utf8_prefix(const char *text, size_t limit) {
    size_t n = std::strlen(text);
    if (n <= limit) return text;
    n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return std::string(text, n) + "...";
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

} // namespace

bool arg_errors_must_propagate() {
    return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

std::string arg_errors_type_name(PyObject *object) {
    return utf8_prefix(Py_TYPE(object)->tp_name, kTypeNameLimit);
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
