// The `cbor` submodule: dumps() walks a tree of plain Python values and drives
// the CBOR generator with one call per item.
//
// Every value goes through the same thirteen-way conversion (DumpsValue) that
// pybind11 applies to the top-level argument; the walk only short-cuts the
// exact built-in types, for which that conversion can pick nothing else.
// Anything that can run Python code during the walk (truth tests, __index__,
// __eq__ of int subclasses, str() for a message) may mutate or drop the
// containers being walked, so the walk holds a reference to every container
// and every non-trivial element while it encodes it, and re-checks container
// sizes instead of trusting the counts it started with.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "cbor_generator.h"
#include "module.h"

namespace py = pybind11;

namespace {

using DumpsValue = std::variant<py::bool_, py::float_, py::int_, py::list, py::tuple, py::dict,
                                py::bytes, py::str, py::none, bool, uint64_t, int64_t,
                                std::string_view>;

const char *const kModuleDoc = "\n"
                               "            Corvantis cbor\n"
                               "            -----------------------\n"
                               "\n"
                               "            .. currentmodule:: corvantis_cbor\n"
                               "\n"
                               "            .. autosummary::\n"
                               "               :toctree: _generate\n"
                               "\n"
                               "               dumps\n"
                               "        ";

const char *const kDumpsDoc = "\n        Dump a Python object to cbor\n        ";

const char *const kCastError = "Unable to cast Python instance to C++ type (#define "
                               "PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for "
                               "details)";

const char *const kIntegerOutOfRange
    = "dumps received an integer out of range for both int64_t and uint64_t";

[[noreturn]] void throw_no_memory() {
    PyErr_NoMemory();
    throw py::error_already_set();
}

// A write fails only when the output block cannot grow; the bytes written so
// far are not a valid document, so the whole call fails.
inline void check(int32_t status) {
    if (status < 0) {
        throw_no_memory();
    }
}

[[noreturn]] void throw_changed_size(const char *what) {
    throw std::runtime_error(std::string(what) + " changed size during iteration");
}

// Cuts to at most `limit` bytes without splitting a UTF-8 sequence, so the
// message stays decodable when it becomes a Python exception.
std::string utf8_prefix(const std::string &text, uint64_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    size_t n = static_cast<size_t>(limit);
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return text.substr(0, n);
}

// str(value) for an error message, or why it could not be had.
std::string value_text(PyObject *value) {
    PyObject *text = PyObject_Str(value);
    if (text != nullptr) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
        if (utf8 != nullptr) {
            std::string result(utf8, static_cast<size_t>(size));
            Py_DECREF(text);
            return result;
        }
        Py_DECREF(text);
    }
    if (!PyErr_Occurred()) {
        return "failed with unknown exception";
    }
    py::error_already_set failure;
    return std::string("failed with ") + failure.what();
}

// True when `candidate` (a new reference, possibly null) equals `value`
// under Python's ==, which for int subclasses may be their own __eq__.
bool same_value(PyObject *candidate, PyObject *value) {
    if (candidate == nullptr) {
        PyErr_Clear();
        return false;
    }
    const int equal = PyObject_RichCompareBool(candidate, value, Py_EQ);
    Py_DECREF(candidate);
    if (equal < 0) {
        PyErr_Clear();
    }
    return equal == 1;
}

DumpsValue convert(PyObject *value) {
    py::detail::make_caster<DumpsValue> caster;
    if (!caster.load(value, true)) {
        throw py::cast_error(kCastError);
    }
    return py::detail::cast_op<DumpsValue>(std::move(caster));
}

// Depth policies. UnboundedDepth compiles to nothing; CountedDepth counts the
// container levels open around the value being encoded.
struct UnboundedDepth {};

struct CountedDepth {
    uint64_t depth;
    uint64_t max_depth;
};

// The interpreter's own recursion guard, so that nesting deep enough to
// exhaust the native stack ends in RecursionError instead of a crash.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while encoding a value to CBOR")) {
            throw py::error_already_set();
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// One encoding run. Each framing/depth combination is its own instantiation,
// so the walk never tests either choice per element.
template <bool Indefinite, typename Depth>
class DumpsEncoder {
public:
    explicit DumpsEncoder(Depth depth) : generator_(cbor_generator_create()), depth_(depth) {
        if (generator_ == nullptr) {
            throw_no_memory();
        }
    }
    ~DumpsEncoder() { cbor_generator_free(generator_); }
    DumpsEncoder(const DumpsEncoder &) = delete;
    DumpsEncoder &operator=(const DumpsEncoder &) = delete;

    void encode(const DumpsValue &value) {
        switch (value.index()) {
        case 0:
            write_bool(PyLong_AsLong(std::get<0>(value).ptr()) != 0);
            break;
        case 1:
            check(cbor_write_float(generator_, PyFloat_AsDouble(std::get<1>(value).ptr())));
            break;
        case 2:
            encode_int(std::get<2>(value).ptr());
            break;
        case 3:
            encode_list(std::get<3>(value).ptr());
            break;
        case 4:
            encode_tuple(std::get<4>(value).ptr());
            break;
        case 5:
            encode_dict(std::get<5>(value).ptr());
            break;
        case 6:
            encode_bytes(std::get<6>(value).ptr());
            break;
        case 7:
            encode_str(std::get<7>(value).ptr());
            break;
        case 8:
            check(cbor_write_null(generator_));
            break;
        case 9:
            write_bool(std::get<9>(value));
            break;
        case 10:
            check(cbor_write_uint(generator_, std::get<10>(value)));
            break;
        case 11:
            write_int64(std::get<11>(value));
            break;
        case 12: {
            const std::string_view text = std::get<12>(value);
            check(cbor_write_text_string(generator_, text.data(), text.size()));
            break;
        }
        default:
            throw std::logic_error("unhandled DumpsValue alternative");
        }
    }

    py::bytes result() const {
        return py::bytes(reinterpret_cast<const char *>(generator_->output),
                         static_cast<size_t>(generator_->length));
    }

private:
    void write_bool(bool value) {
        check(value ? cbor_write_true(generator_) : cbor_write_false(generator_));
    }

    void write_int64(int64_t value) {
        check(value < 0 ? cbor_write_negint(generator_, value)
                        : cbor_write_uint(generator_, static_cast<uint64_t>(value)));
    }

    // An element, key or value of a container.
    void element(PyObject *value) {
        // Exact built-in scalars: the conversion could only pick their own
        // alternative, and encoding them runs no Python code.
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyUnicode_Type) {
            encode_str(value);
        } else if (type == &PyLong_Type) {
            encode_int(value);
        } else if (type == &PyFloat_Type) {
            check(cbor_write_float(generator_, PyFloat_AS_DOUBLE(value)));
        } else if (type == &PyBool_Type) {
            write_bool(value == Py_True);
        } else if (value == Py_None) {
            check(cbor_write_null(generator_));
        } else if (type == &PyBytes_Type) {
            encode_bytes(value);
        } else {
            // Encoding the rest can run Python code that drops the
            // container's reference to this element.
            const auto held = py::reinterpret_borrow<py::object>(value);
            if (type == &PyDict_Type) {
                encode_dict(value);
            } else if (type == &PyList_Type) {
                encode_list(value);
            } else if (type == &PyTuple_Type) {
                encode_tuple(value);
            } else {
                encode(convert(value));
            }
        }
    }

    void encode_str(PyObject *value) {
        if (PyUnicode_IS_COMPACT_ASCII(value)) {
            // ASCII text is its own UTF-8 form; most keys and values are.
            check(cbor_write_text_string(generator_, PyUnicode_DATA(value),
                                         static_cast<uint64_t>(PyUnicode_GET_LENGTH(value))));
            return;
        }
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (utf8 == nullptr) {
            // Lone surrogates: no UTF-8 form, so no text string either.
            PyErr_Clear();
            throw py::cast_error(kCastError);
        }
        check(cbor_write_text_string(generator_, utf8, static_cast<uint64_t>(size)));
    }

    void encode_bytes(PyObject *value) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(value, &data, &size) < 0) {
            throw py::error_already_set();
        }
        check(cbor_write_byte_string(generator_, data, static_cast<uint64_t>(size)));
    }

    // Every int from -2**63 to 2**64 - 1; non-negative values as major type 0.
    void encode_int(PyObject *value) {
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            const long long signed_value = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow == 0) {
                write_int64(signed_value);
                return;
            }
            if (overflow > 0) {
                const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(value);
                if (unsigned_value != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
                    check(cbor_write_uint(generator_, unsigned_value));
                    return;
                }
                PyErr_Clear();
            }
            throw_out_of_range(value);
        }
        // A subclass: converted like any foreign integer, and accepted only
        // when the machine value compares equal to the object.
        {
            py::detail::make_caster<uint64_t> caster;
            if (caster.load(value, true)) {
                const uint64_t u = py::detail::cast_op<uint64_t>(caster);
                if (same_value(PyLong_FromUnsignedLongLong(u), value)) {
                    check(cbor_write_uint(generator_, u));
                    return;
                }
            }
        }
        {
            py::detail::make_caster<int64_t> caster;
            if (caster.load(value, true)) {
                const int64_t s = py::detail::cast_op<int64_t>(caster);
                if (same_value(PyLong_FromLongLong(s), value)) {
                    write_int64(s);
                    return;
                }
            }
        }
        throw_out_of_range(value);
    }

    [[noreturn]] void throw_out_of_range(PyObject *value) const {
        throw std::runtime_error(std::string(kIntegerOutOfRange)
                                 + utf8_prefix(value_text(value), value_text_limit_));
    }

    // Opens the level that holds a container's elements. Only elements are
    // checked, so an empty container at the deepest allowed level encodes.
    void open_level(bool has_elements) {
        if constexpr (std::is_same_v<Depth, CountedDepth>) {
            ++depth_.depth;
            if (has_elements && depth_.depth > depth_.max_depth) {
                throw std::runtime_error("Exceeded recursion limit:"
                                         + std::to_string(depth_.max_depth));
            }
        } else {
            (void)has_elements;
        }
    }

    void close_level() {
        if constexpr (std::is_same_v<Depth, CountedDepth>) {
            --depth_.depth;
        }
    }

    void array_head(Py_ssize_t size) {
        check(cbor_write_array(generator_,
                               Indefinite ? CBOR_INDEFINITE_LENGTH : static_cast<uint64_t>(size)));
    }

    void map_head(Py_ssize_t size) {
        check(cbor_write_map(generator_,
                             Indefinite ? CBOR_INDEFINITE_LENGTH : static_cast<uint64_t>(size)));
    }

    void close_container() {
        if constexpr (Indefinite) {
            check(cbor_write_break(generator_));
        }
    }

    // The caller holds a reference to `list` for the whole call.
    void encode_list(PyObject *list) {
        RecursionGuard guard;
        const Py_ssize_t size = PyList_GET_SIZE(list);
        array_head(size);
        open_level(size != 0);
        for (Py_ssize_t i = 0; i < size; ++i) {
            // Python code run by an earlier element may have resized the
            // list; its item array may even be gone.
            if (PyList_GET_SIZE(list) != size) {
                throw_changed_size("list");
            }
            element(PyList_GET_ITEM(list, i));
        }
        if (PyList_GET_SIZE(list) != size) {
            throw_changed_size("list");
        }
        close_level();
        close_container();
    }

    void encode_tuple(PyObject *tuple) {
        RecursionGuard guard;
        const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
        array_head(size);
        open_level(size != 0);
        for (Py_ssize_t i = 0; i < size; ++i) {
            element(PyTuple_GET_ITEM(tuple, i));
        }
        close_level();
        close_container();
    }

    void encode_dict(PyObject *dict) {
        RecursionGuard guard;
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        map_head(size);
        open_level(size != 0);
        Py_ssize_t position = 0;
        Py_ssize_t pairs = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            // Same-size mutations can still make the walk meet more pairs
            // than the head announced.
            if (++pairs > size) {
                throw_changed_size("dictionary");
            }
            // Encoding the key may remove the pair from the dict.
            const auto held_key = py::reinterpret_borrow<py::object>(key);
            const auto held_value = py::reinterpret_borrow<py::object>(value);
            element(key);
            element(value);
            if (PyDict_GET_SIZE(dict) != size) {
                throw_changed_size("dictionary");
            }
        }
        if (pairs != size) {
            throw_changed_size("dictionary");
        }
        close_level();
        close_container();
    }

    cbor_generator *generator_;
    Depth depth_;
    const uint64_t value_text_limit_ = 40;
};

template <bool Indefinite, typename Depth>
py::bytes run(const DumpsValue &value, Depth depth) {
    DumpsEncoder<Indefinite, Depth> encoder(depth);
    encoder.encode(value);
    return encoder.result();
}

py::bytes dumps(const DumpsValue &value, bool indefinite, uint64_t max_depth) {
    if (max_depth == 0) {
        return indefinite ? run<true>(value, UnboundedDepth{})
                          : run<false>(value, UnboundedDepth{});
    }
    const CountedDepth depth{0, max_depth};
    return indefinite ? run<true>(value, depth) : run<false>(value, depth);
}

} // namespace

void corvantis_cbor_init(py::module_ &parent) {
    py::module_ cbor = corvantis_add_submodule(parent, "cbor");
    cbor.attr("__doc__") = kModuleDoc;
    cbor.def("dumps", &dumps, kDumpsDoc, py::arg("value"), py::arg("indefinite") = true,
             py::arg("max_depth") = uint64_t{0});
    cbor.attr("__version__") = "dev";
}
