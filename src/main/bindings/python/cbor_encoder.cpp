// The encoder behind cbor.dumps.
//
// Exact built-in types (dict, list, tuple, str, bytes, int, float, bool,
// None) are recognised by their type and written directly; everything else
// goes through the same thirteen-way conversion (DumpsValue) that pybind11
// applies to the top-level argument, which for the exact types could pick
// nothing else. Items are written straight into the result bytes object.
//
// Anything that can run Python code during the walk (truth tests, __index__,
// __eq__ of int subclasses, str() for a message) may mutate or drop the
// containers being walked, so the walk holds a reference to every container
// and every non-trivial element while it encodes it, and re-checks container
// sizes instead of trusting the counts it started with.
#include "cbor_encoder.h"

#include <Python.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "arg_errors.h"
#include "cbor/cbor_head.h"
#include "dumps_conversion.h"
#include "interrupt.h"

namespace py = pybind11;

// Each write is a few stores; a call per item would cost more than the item.
#define CORVANTIS_HOT [[gnu::always_inline]] inline

namespace {

[[noreturn]] void throw_no_memory() {
    PyErr_NoMemory();
    throw py::error_already_set();
}

// The result bytes object, written in place: it grows by half its size when
// full, so a long document costs few reallocations (large blocks are moved
// by the allocator without copying), and is cut to the written length once.
class Output {
  public:
    Output() : bytes_(PyBytes_FromStringAndSize(nullptr, kInitialCapacity)) {
        if (bytes_ == nullptr) {
            throw py::error_already_set();
        }
        start_ = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(bytes_));
        pos_ = start_;
        end_ = start_ + kInitialCapacity;
    }
    ~Output() { Py_XDECREF(bytes_); }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    CORVANTIS_HOT void write_byte(uint8_t byte) {
        reserve(1);
        *pos_++ = byte;
    }

    CORVANTIS_HOT void write_head(uint32_t major, uint64_t argument) {
        reserve(CBOR_HEAD_MAX_SIZE);
        pos_ += _cbor_head_put(pos_, major, argument);
    }

    CORVANTIS_HOT void write_float(double x) {
        reserve(CBOR_HEAD_MAX_SIZE);
        pos_ += _cbor_head_put_float(pos_, x);
    }

    // A definite-length string: head and bytes. The size is that of a Python
    // object, so the sum cannot wrap; grow refuses it past PY_SSIZE_T_MAX.
    CORVANTIS_HOT void write_string(uint32_t major, const void *data, size_t size) {
        reserve(CBOR_HEAD_MAX_SIZE + size);
        pos_ += _cbor_head_put(pos_, major, size);
        if (size != 0) {
            std::memcpy(pos_, data, size);
            pos_ += size;
        }
    }

    py::bytes finish() {
        const auto used = static_cast<Py_ssize_t>(pos_ - start_);
        if (_PyBytes_Resize(&bytes_, used) < 0) {
            bytes_ = nullptr;
            PyErr_Clear();
            throw std::runtime_error("Could not allocate bytes object!");
        }
        return py::reinterpret_steal<py::bytes>(std::exchange(bytes_, nullptr));
    }

  private:
    static constexpr Py_ssize_t kInitialCapacity = 64;

    CORVANTIS_HOT void reserve(size_t n) {
        if (static_cast<size_t>(end_ - pos_) < n) {
            grow(n);
        }
    }

    [[gnu::noinline, gnu::cold]] void grow(size_t n) {
        const auto used = static_cast<size_t>(pos_ - start_);
        const auto capacity = static_cast<size_t>(end_ - start_);
        const auto limit = static_cast<size_t>(PY_SSIZE_T_MAX);
        if (n > limit - used) {
            throw_no_memory();
        }
        const size_t target =
            std::max(used + n, capacity + std::min(capacity / 2, limit - capacity));
        // On failure the object is released and MemoryError is set.
        if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(target)) < 0) {
            bytes_ = nullptr;
            throw py::error_already_set();
        }
        start_ = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(bytes_));
        pos_ = start_ + used;
        end_ = start_ + target;
    }

    PyObject *bytes_;
    uint8_t *start_;
    uint8_t *pos_;
    uint8_t *end_;
};

const char *const kCastError = "Unable to cast Python instance to C++ type (#define "
                               "PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for "
                               "details)";

const char *const kIntegerOutOfRange =
    "dumps received an integer out of range for both int64_t and uint64_t";

[[noreturn]] void throw_changed_size(const char *what) {
    throw std::runtime_error(std::string(what) + " changed size during iteration");
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
    if (arg_errors_must_propagate()) {
        throw py::error_already_set();
    }
    py::error_already_set failure;
    return std::string("failed with ") + failure.what();
}

// True when `candidate` (a new reference, possibly null) equals `value`
// under Python's ==, which for int subclasses may be their own __eq__.
bool same_value(PyObject *candidate, PyObject *value, DumpsCause &cause) {
    if (candidate == nullptr) {
        cause.take(false);
        return false;
    }
    const int equal = PyObject_RichCompareBool(candidate, value, Py_EQ);
    Py_DECREF(candidate);
    if (equal < 0) {
        cause.take(true);
    }
    return equal == 1;
}

// The position of T among DumpsValue's alternatives: the dispatch names
// types, so reordering the type list cannot send a value to another writer.
template <typename T, size_t I = 0>
constexpr size_t alternative() {
    static_assert(I < std::variant_size_v<DumpsValue>, "not an alternative of DumpsValue");
    if constexpr (std::is_same_v<std::variant_alternative_t<I, DumpsValue>, T>) {
        return I;
    } else {
        return alternative<T, I + 1>();
    }
}

// Converts an object that is not an exact built-in type. A failure raises
// the cast error, or for dumps' own argument the TypeError of a wrong
// argument, chained from the exception the object's own code raised.
DumpsValue convert(PyObject *value, bool argument) {
    DumpsValue converted;
    DumpsCause cause;
    if (dumps_conversion_convert(value, converted, cause)) {
        return converted;
    }
    if (!argument) {
        cause.raise(PyExc_RuntimeError, kCastError);
    }
    static constexpr auto name = py::detail::make_caster<DumpsValue>::name;
    static constexpr auto types = name.types();
    cause.raise(
        PyExc_TypeError,
        arg_errors_message("dumps", "function", "value", name.text, types.data(), value).c_str());
}

// Depth policies. UnboundedDepth compiles to nothing; CountedDepth counts the
// container levels open around the value being encoded.
struct UnboundedDepth {};

struct CountedDepth {
    uint64_t depth;
    uint64_t max_depth;
};

// The interpreter's own recursion guard, so that nesting deep enough to
// exhaust the native stack ends in RecursionError instead of a crash. The
// first kUncountedLevels levels of one run are not reported to the
// interpreter: a level of this walk takes little stack, and asking the
// interpreter at every container costs a thread-state lookup each time, a
// fifth of the run on documents of many small containers.
class RecursionGuard {
  public:
    explicit RecursionGuard(uint32_t &nesting) : nesting_(nesting) {
        counted_ = ++nesting_ > kUncountedLevels;
        if (counted_ && Py_EnterRecursiveCall(" while encoding a value to CBOR")) {
            --nesting_;
            throw py::error_already_set();
        }
    }
    ~RecursionGuard() {
        --nesting_;
        if (counted_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;

  private:
    static constexpr uint32_t kUncountedLevels = 64;
    uint32_t &nesting_;
    bool counted_;
};

// One encoding run. Each framing/depth combination is its own instantiation,
// so the walk never tests either choice per element.
template <bool Indefinite, typename Depth>
class DumpsEncoder {
  public:
    explicit DumpsEncoder(Depth depth) : depth_(depth) {}
    DumpsEncoder(const DumpsEncoder &) = delete;
    DumpsEncoder &operator=(const DumpsEncoder &) = delete;

    // A value that is not an exact built-in type, converted. bool and None
    // are always exact (bool cannot be subclassed, None is one object), so
    // element() writes them and their alternatives never come here.
    void encode(const DumpsValue &value) {
        switch (value.index()) {
        case alternative<py::float_>():
            out_.write_float(PyFloat_AsDouble(std::get<py::float_>(value).ptr()));
            break;
        case alternative<py::int_>(): encode_int(std::get<py::int_>(value).ptr()); break;
        case alternative<py::list>(): encode_list(std::get<py::list>(value).ptr()); break;
        case alternative<py::tuple>(): encode_tuple(std::get<py::tuple>(value).ptr()); break;
        case alternative<py::dict>(): encode_dict(std::get<py::dict>(value).ptr()); break;
        case alternative<py::bytes>(): encode_bytes(std::get<py::bytes>(value).ptr()); break;
        case alternative<py::str>(): encode_str(std::get<py::str>(value).ptr()); break;
        case alternative<bool>(): write_bool(std::get<bool>(value)); break;
        case alternative<uint64_t>():
            out_.write_head(CBOR_MAJOR_UNSIGNED, std::get<uint64_t>(value));
            break;
        case alternative<int64_t>(): write_int64(std::get<int64_t>(value)); break;
        case alternative<std::string_view>(): {
            const std::string_view text = std::get<std::string_view>(value);
            out_.write_string(CBOR_MAJOR_TEXT, text.data(), text.size());
            break;
        }
        default: throw std::logic_error("unhandled DumpsValue alternative");
        }
    }

    // dumps' own argument: exact built-in types as elements, anything else
    // converted as pybind11 would convert the argument.
    void encode_argument(PyObject *value) { element<true>(value); }

    py::bytes result() { return out_.finish(); }

  private:
    void write_bool(bool value) { out_.write_byte(value ? CBOR_INITIAL_TRUE : CBOR_INITIAL_FALSE); }

    void write_int64(int64_t value) {
        // ~value is the argument of a negative integer, -1 - value.
        if (value < 0) {
            out_.write_head(CBOR_MAJOR_NEGATIVE, ~static_cast<uint64_t>(value));
        } else {
            out_.write_head(CBOR_MAJOR_UNSIGNED, static_cast<uint64_t>(value));
        }
    }

    // Exact built-in scalars, whose encoding cannot reach back into the
    // containers being walked.
    static bool runs_no_python_code(PyObject *value) {
        PyTypeObject *type = Py_TYPE(value);
        return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
               type == &PyBool_Type || value == Py_None || type == &PyBytes_Type;
    }

    // An element, key or value of a container, or with Argument dumps' own
    // argument, whose failed conversion is a wrong argument.
    template <bool Argument = false>
    void element(PyObject *value) {
        // Exact built-in scalars: the conversion could only pick their own
        // alternative, and encoding them runs no Python code.
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyUnicode_Type) {
            encode_str(value);
        } else if (type == &PyLong_Type) {
            encode_int(value);
        } else if (type == &PyFloat_Type) {
            out_.write_float(PyFloat_AS_DOUBLE(value));
        } else if (type == &PyBool_Type) {
            write_bool(value == Py_True);
        } else if (value == Py_None) {
            out_.write_byte(CBOR_INITIAL_NULL);
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
                encode(convert(value, Argument));
            }
        }
    }

    void encode_str(PyObject *value) {
        if (PyUnicode_IS_COMPACT_ASCII(value)) {
            // ASCII text is its own UTF-8 form; most keys and values are.
            out_.write_string(CBOR_MAJOR_TEXT, PyUnicode_DATA(value),
                              static_cast<size_t>(PyUnicode_GET_LENGTH(value)));
            return;
        }
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (utf8 == nullptr) {
            // Lone surrogates: no UTF-8 form, so no text string either.
            DumpsCause cause;
            cause.take(true);
            cause.raise(PyExc_RuntimeError, kCastError);
        }
        out_.write_string(CBOR_MAJOR_TEXT, utf8, static_cast<size_t>(size));
    }

    // Only ever given a bytes object, exact or a subclass.
    void encode_bytes(PyObject *value) {
        out_.write_string(CBOR_MAJOR_BYTES, PyBytes_AS_STRING(value),
                          static_cast<size_t>(PyBytes_GET_SIZE(value)));
    }

    // Every int from -2**63 to 2**64 - 1; non-negative values as major type 0.
    void encode_int(PyObject *value) {
        if (PyLong_CheckExact(value)) {
            // Most ints are one machine digit, read without a call.
            const auto *number = reinterpret_cast<PyLongObject *>(value);
            if (PyUnstable_Long_IsCompact(number)) {
                write_int64(static_cast<int64_t>(PyUnstable_Long_CompactValue(number)));
                return;
            }
            int overflow = 0;
            const long long signed_value = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow == 0) {
                write_int64(signed_value);
                return;
            }
            // Past int64_t: a value below -2**63 fails here too, as negative.
            const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(value);
            if (unsigned_value != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
                out_.write_head(CBOR_MAJOR_UNSIGNED, unsigned_value);
                return;
            }
            PyErr_Clear();
            throw_out_of_range(value);
        }
        // A subclass: converted like any foreign integer, and accepted only
        // when the machine value compares equal to the object.
        DumpsCause cause;
        uint64_t u = 0;
        if (dumps_conversion_load_uint64(value, true, u, cause) &&
            same_value(PyLong_FromUnsignedLongLong(u), value, cause)) {
            out_.write_head(CBOR_MAJOR_UNSIGNED, u);
            return;
        }
        int64_t s = 0;
        if (dumps_conversion_load_int64(value, true, s, cause) &&
            same_value(PyLong_FromLongLong(s), value, cause)) {
            write_int64(s);
            return;
        }
        throw_out_of_range(value, cause);
    }

    [[noreturn]] void throw_out_of_range(PyObject *value) const {
        DumpsCause none;
        throw_out_of_range(value, none);
    }

    [[noreturn]] void throw_out_of_range(PyObject *value, DumpsCause &cause) const {
        const std::string message =
            kIntegerOutOfRange + arg_errors_utf8_prefix(value_text(value), value_text_limit_);
        cause.raise(PyExc_RuntimeError, message.c_str());
    }

    // Opens the level that holds a container's elements. Only elements are
    // checked, so an empty container at the deepest allowed level encodes.
    void open_level(bool has_elements) {
        if constexpr (std::is_same_v<Depth, CountedDepth>) {
            ++depth_.depth;
            if (has_elements && depth_.depth > depth_.max_depth) {
                throw std::runtime_error("Exceeded recursion limit:" +
                                         std::to_string(depth_.max_depth));
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
        if constexpr (Indefinite) {
            out_.write_byte(CBOR_INITIAL_ARRAY_INDEFINITE);
        } else {
            out_.write_head(CBOR_MAJOR_ARRAY, static_cast<uint64_t>(size));
        }
    }

    void map_head(Py_ssize_t size) {
        if constexpr (Indefinite) {
            out_.write_byte(CBOR_INITIAL_MAP_INDEFINITE);
        } else {
            out_.write_head(CBOR_MAJOR_MAP, static_cast<uint64_t>(size));
        }
    }

    void close_container() {
        if constexpr (Indefinite) {
            out_.write_byte(CBOR_INITIAL_BREAK);
        }
    }

    // Elements of a long sequence lie scattered over the heap, and reading
    // each one's type and value is a cache miss; asking for an element a few
    // places ahead overlaps those misses with the encoding. A prefetch never
    // faults, and the index stays inside the item array.
    static void prefetch_ahead(PyObject *const *items, Py_ssize_t i, Py_ssize_t size) {
        constexpr Py_ssize_t kAhead = 8;
        if (i + kAhead < size) {
            __builtin_prefetch(items[i + kAhead]);
        }
    }

    // Ctrl-C: the signal handlers run every kSignalItems elements or so: a
    // test per container, per pair of a dict, and per block of kSignalItems
    // elements of a list or tuple, which are walked a block at a time.
    static constexpr Py_ssize_t kSignalItems = 4096;

    // A container counts as one item more than it holds, so that many empty
    // ones poll too.
    void count_container(Py_ssize_t size) {
        signal_items_ += size + 1;
        if (signal_items_ >= kSignalItems) {
            signal_items_ = 0;
            interrupt_check();
        }
    }

    // The end of the block that starts at i; the handlers run before every
    // block but the first.
    static Py_ssize_t next_block(Py_ssize_t i, Py_ssize_t size) {
        if (i != 0) {
            interrupt_check();
        }
        return std::min(size, i + kSignalItems);
    }

    // The caller holds a reference to `list` for the whole call.
    void encode_list(PyObject *list) {
        RecursionGuard guard(nesting_);
        const Py_ssize_t size = PyList_GET_SIZE(list);
        count_container(size);
        array_head(size);
        open_level(size != 0);
        for (Py_ssize_t i = 0; i < size;) {
            for (const Py_ssize_t end = next_block(i, size); i < end; ++i) {
                // Python code run by an earlier element may have resized the
                // list; its item array may even be gone.
                if (PyList_GET_SIZE(list) != size) {
                    throw_changed_size("list");
                }
                prefetch_ahead(&PyList_GET_ITEM(list, 0), i, size);
                element(PyList_GET_ITEM(list, i));
            }
        }
        if (PyList_GET_SIZE(list) != size) {
            throw_changed_size("list");
        }
        close_level();
        close_container();
    }

    void encode_tuple(PyObject *tuple) {
        RecursionGuard guard(nesting_);
        const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
        count_container(size);
        array_head(size);
        open_level(size != 0);
        for (Py_ssize_t i = 0; i < size;) {
            for (const Py_ssize_t end = next_block(i, size); i < end; ++i) {
                prefetch_ahead(&PyTuple_GET_ITEM(tuple, 0), i, size);
                element(PyTuple_GET_ITEM(tuple, i));
            }
        }
        close_level();
        close_container();
    }

    void encode_dict(PyObject *dict) {
        RecursionGuard guard(nesting_);
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        count_container(size);
        map_head(size);
        open_level(size != 0);
        Py_ssize_t position = 0;
        Py_ssize_t pairs = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            ++pairs;
            // A mask of the pair count already in a register: counting each
            // pair into signal_items_ measured slower on documents of many
            // small dicts.
            if ((pairs & (kSignalItems - 1)) == kSignalItems - 1) {
                interrupt_check();
            }
            if (runs_no_python_code(key)) {
                element(key);
                element(value);
            } else {
                // Encoding the key may remove the pair from the dict.
                const auto held_key = py::reinterpret_borrow<py::object>(key);
                const auto held_value = py::reinterpret_borrow<py::object>(value);
                element(key);
                element(value);
            }
            if (PyDict_GET_SIZE(dict) != size) {
                throw_changed_size("dictionary");
            }
        }
        // Same-size mutations can still make the walk meet more pairs than
        // the head announced (at most one more for each, the size kept).
        if (pairs != size) {
            throw_changed_size("dictionary");
        }
        close_level();
        close_container();
    }

    Output out_;
    uint32_t nesting_ = 0;
    Py_ssize_t signal_items_ = 0;
    Depth depth_;
    const size_t value_text_limit_ = 40;
};

template <bool Indefinite, typename Depth>
py::bytes run(PyObject *value, Depth depth) {
    DumpsEncoder<Indefinite, Depth> encoder(depth);
    encoder.encode_argument(value);
    return encoder.result();
}

} // namespace

py::bytes cbor_encoder_dumps(const DumpsArg &argument, bool indefinite, uint64_t max_depth) {
    PyObject *value = argument.object;
    if (max_depth == 0) {
        return indefinite ? run<true>(value, UnboundedDepth{})
                          : run<false>(value, UnboundedDepth{});
    }
    const CountedDepth depth{0, max_depth};
    return indefinite ? run<true>(value, depth) : run<false>(value, depth);
}
