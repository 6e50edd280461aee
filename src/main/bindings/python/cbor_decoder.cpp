// The builder behind cbor.loads.
//
// The core reader walks the input and checks it; this builder receives its
// events (an inlined call each, through cbor_reader_run) and keeps the
// containers being filled on its own stack, so nesting never costs C stack.
// Every object is owned by exactly one place at any time - the stack, a
// container, a pending map key or the result - so a failure anywhere is
// cleaned up by releasing the stack.
//
// Speed comes from doing little per item: lists, tuples and dicts of a
// definite length are created at their final size (the reader has already
// checked that the input can hold that many items), ASCII text is copied
// straight into a new str, small ints come from the interpreter's cache, and
// short ASCII map keys come from a cache of recently made keys, since
// documents repeat the same few keys many times.
#include "cbor_decoder.h"

#include <Python.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "arg_errors.h"
#include "cbor/cbor_reader_walk.h"

namespace py = pybind11;

namespace {

CborDecoderTypes types{};

// ---- recently seen map keys --------------------------------------------------

// Direct-mapped by a hash of the bytes; an entry holds one reference to a
// compact ASCII str, with its length and first and last eight bytes, so
// that a miss is told from a hit without touching the str. Lives for the
// life of the process, like the interpreter's own caches: at most
// kKeyCacheSize short strings.
constexpr size_t kKeyCacheSize = 1024;
constexpr uint64_t kKeyCacheMaxLength = 32;

struct KeyCacheEntry {
    PyObject *key;
    uint64_t size;
    uint64_t head; // the first eight bytes (fewer, zero-extended, for short keys)
    uint64_t tail; // the last eight bytes, or the last four for keys of 4 to 7 bytes
};
KeyCacheEntry key_cache[kKeyCacheSize];

PyObject *ascii_str(const uint8_t *data, uint64_t size) {
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (text != nullptr) {
        std::memcpy(PyUnicode_1BYTE_DATA(text), data, static_cast<size_t>(size));
    }
    return text;
}

// Two words that, with the length, identify keys of up to 16 bytes: the
// first and last eight bytes (or four, or each byte for shorter keys).
void key_words(const uint8_t *data, uint64_t size, uint64_t *head, uint64_t *tail) {
    *head = 0;
    *tail = 0;
    if (size >= 8) {
        std::memcpy(head, data, 8);
        std::memcpy(tail, data + size - 8, 8);
    } else if (size >= 4) {
        uint32_t a;
        uint32_t b;
        std::memcpy(&a, data, 4);
        std::memcpy(&b, data + size - 4, 4);
        *head = a;
        *tail = b;
    } else {
        for (uint64_t i = 0; i < size; ++i) {
            *head |= static_cast<uint64_t>(data[i]) << (8 * i);
        }
    }
}

PyObject *cached_key(const uint8_t *data, uint64_t size) {
    uint64_t head;
    uint64_t tail;
    key_words(data, size, &head, &tail);
    uint64_t hash = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ size;
    hash ^= (hash >> 31) ^ (hash >> 47);
    KeyCacheEntry &entry = key_cache[hash & (kKeyCacheSize - 1)];
    if (entry.key != nullptr && entry.size == size && entry.head == head && entry.tail == tail &&
        (size <= 16 ||
         std::memcmp(PyUnicode_1BYTE_DATA(entry.key) + 8, data + 8, size - 16) == 0)) {
        Py_INCREF(entry.key);
        return entry.key;
    }
    PyObject *key = ascii_str(data, size);
    if (key == nullptr) {
        return nullptr;
    }
    Py_INCREF(key);
    Py_XSETREF(entry.key, key);
    entry.size = size;
    entry.head = head;
    entry.tail = tail;
    return key;
}

// ---- scalars ------------------------------------------------------------------

PyObject *unsigned_int(uint64_t n) {
    return n <= static_cast<uint64_t>(LONG_MAX) ? PyLong_FromLong(static_cast<long>(n))
                                                : PyLong_FromUnsignedLongLong(n);
}

// -1 - n.
PyObject *negative_int(uint64_t n) {
    if (n <= static_cast<uint64_t>(LONG_MAX)) {
        return PyLong_FromLong(-1 - static_cast<long>(n));
    }
    PyObject *magnitude = PyLong_FromUnsignedLongLong(n);
    if (magnitude == nullptr) {
        return nullptr;
    }
    PyObject *result = PyNumber_Invert(magnitude);
    Py_DECREF(magnitude);
    return result;
}

// Floats are allocated directly: PyFloat_FromDouble first asks the
// interpreter for a freed float, a thread-local lookup per float that
// seldom finds one while decoding, which frees nothing. A float made this
// way is freed like any other.
PyObject *new_float(double x) {
    auto *number = static_cast<PyFloatObject *>(PyObject_Malloc(sizeof(PyFloatObject)));
    if (number == nullptr) {
        return PyErr_NoMemory();
    }
    PyObject_Init(reinterpret_cast<PyObject *>(number), &PyFloat_Type);
    number->ob_fval = x;
    return reinterpret_cast<PyObject *>(number);
}

// Decodes UTF-8 the reader has checked into code units of the str's kind.
template <typename Unit>
void decode_utf8(const uint8_t *p, uint64_t size, Unit *out) {
    for (uint64_t i = 0; i < size;) {
        const uint32_t c = p[i];
        if ((c & 0x80) == 0) {
            *out++ = static_cast<Unit>(c);
            i += 1;
        } else if (c < 0xE0) {
            *out++ = static_cast<Unit>((c & 0x1F) << 6 | (p[i + 1] & 0x3F));
            i += 2;
        } else if (c < 0xF0) {
            *out++ =
                static_cast<Unit>((c & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F));
            i += 3;
        } else {
            *out++ = static_cast<Unit>((c & 0x07) << 18 | (p[i + 1] & 0x3F) << 12 |
                                       (p[i + 2] & 0x3F) << 6 | (p[i + 3] & 0x3F));
            i += 4;
        }
    }
}

// Text the reader has checked, most often with characters past ASCII: the str is
// made at its final length and kind. The length is the number of bytes
// that are not continuation bytes, and the kind follows from the greatest
// lead byte (C2-C3: Latin-1, up to EF: two bytes a character, F0-F4: four),
// which is also the greatest byte. The generic decoder would check the
// bytes again and grow its result as it meets wider characters.
PyObject *utf8_str(const uint8_t *data, uint64_t size) {
    uint64_t continuation = 0;
    uint8_t top = 0;
    for (uint64_t i = 0; i < size; ++i) {
        continuation += (data[i] & 0xC0) == 0x80;
        top = std::max(top, data[i]);
    }
    const Py_UCS4 widest = (top & 0x80) == 0 ? 0x7F
                           : top < 0xC4      ? 0xFF
                           : top < 0xF0      ? 0xFFFF
                                             : 0x10FFFF;
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(size - continuation), widest);
    if (text == nullptr) {
        return nullptr;
    }
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: decode_utf8(data, size, PyUnicode_1BYTE_DATA(text)); break;
    case PyUnicode_2BYTE_KIND: decode_utf8(data, size, PyUnicode_2BYTE_DATA(text)); break;
    default: decode_utf8(data, size, PyUnicode_4BYTE_DATA(text)); break;
    }
    return text;
}

PyObject *text_str(const uint8_t *data, uint64_t size, bool ascii) {
    return ascii ? ascii_str(data, size) : utf8_str(data, size);
}

PyObject *simple_value(uint64_t n) {
    switch (n) {
    case 20: Py_RETURN_FALSE;
    case 21: Py_RETURN_TRUE;
    case 22: Py_RETURN_NONE;
    case 23: Py_INCREF(types.undefined); return types.undefined;
    default: {
        PyObject *number = PyLong_FromUnsignedLongLong(n);
        if (number == nullptr) {
            return nullptr;
        }
        PyObject *result = PyObject_CallOneArg(types.simple, number);
        Py_DECREF(number);
        return result;
    }
    }
}

// Consumes `value`. Tags 2 and 3 over a byte string are bignums (n and
// -1 - n); every other tag, and those over anything else, is a Tag.
PyObject *tagged(uint64_t tag, PyObject *value) {
    if ((tag == 2 || tag == 3) && PyBytes_CheckExact(value)) {
        PyObject *n =
            _PyLong_FromByteArray(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(value)),
                                  static_cast<size_t>(PyBytes_GET_SIZE(value)), 0, 0);
        Py_DECREF(value);
        if (n == nullptr || tag == 2) {
            return n;
        }
        PyObject *negative = PyNumber_Invert(n);
        Py_DECREF(n);
        return negative;
    }
    PyObject *number = PyLong_FromUnsignedLongLong(tag);
    if (number == nullptr) {
        Py_DECREF(value);
        return nullptr;
    }
    PyObject *result = PyObject_CallFunctionObjArgs(types.tag, number, value, nullptr);
    Py_DECREF(number);
    Py_DECREF(value);
    return result;
}

void set_decode_error(const char *problem, uint64_t offset) {
    PyErr_Format(types.decode_error, "%s at byte offset %llu", problem,
                 static_cast<unsigned long long>(offset));
}

// ---- the builder ----------------------------------------------------------------

class Builder {
  public:
    // Room for the levels the recursion guard is not told of.
    Builder() { stack_.reserve(kUncountedLevels); }
    ~Builder() {
        while (!stack_.empty()) {
            Py_XDECREF(stack_.back().object);
            Py_XDECREF(stack_.back().key);
            pop();
        }
        Py_XDECREF(result_);
    }
    Builder(const Builder &) = delete;
    Builder &operator=(const Builder &) = delete;

    // Where nesting went past the interpreter's recursion limit, if it did.
    bool too_deep(uint64_t *offset) const {
        *offset = too_deep_at_;
        return too_deep_;
    }

    PyObject *release() {
        PyObject *result = result_;
        result_ = nullptr;
        return result;
    }

    // Called by the reader; false stops it, with a Python error set.
    [[gnu::always_inline]] inline bool event(const cbor_reader_event &ev) {
        // Ctrl-C: the signal handlers run every kSignalEvents items.
        if (--signal_countdown_ == 0) {
            signal_countdown_ = kSignalEvents;
            if (PyErr_CheckSignals() != 0) {
                return false;
            }
        }
        switch (ev.kind) {
        case CBOR_READER_UNSIGNED: return place(unsigned_int(ev.argument));
        case CBOR_READER_NEGATIVE: return place(negative_int(ev.argument));
        case CBOR_READER_BYTES:
            if (chunked_ != Chunked::None) {
                chunks_.append(reinterpret_cast<const char *>(ev.data),
                               static_cast<size_t>(ev.argument));
                return true;
            }
            return place(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(ev.data),
                                                   static_cast<Py_ssize_t>(ev.argument)));
        case CBOR_READER_TEXT:
            if (chunked_ != Chunked::None) {
                chunks_.append(reinterpret_cast<const char *>(ev.data),
                               static_cast<size_t>(ev.argument));
                return true;
            }
            if (ev.ascii && ev.argument <= kKeyCacheMaxLength && expects_key()) {
                return place(cached_key(ev.data, ev.argument));
            }
            return place(text_str(ev.data, ev.argument, ev.ascii));
        case CBOR_READER_BYTES_START:
        case CBOR_READER_TEXT_START:
            chunked_ = ev.kind == CBOR_READER_TEXT_START ? Chunked::Text : Chunked::Bytes;
            chunks_.clear();
            return true;
        case CBOR_READER_ARRAY_START: return open_array(ev);
        case CBOR_READER_MAP_START: return open_map(ev);
        case CBOR_READER_TAG:
            return open(Frame{nullptr, nullptr, ev.argument, 0, Kind::Tag, in_key()}, ev.offset);
        case CBOR_READER_FLOAT: return place(new_float(ev.number));
        case CBOR_READER_SIMPLE: return place(simple_value(ev.argument));
        case CBOR_READER_END: return chunked_ != Chunked::None ? close_chunks() : close();
        }
        return true;
    }

  private:
    enum class Kind : uint8_t { List, Tuple, Dict, Tag };
    // Which indefinite-length string is being read, if any.
    enum class Chunked : uint8_t { None, Bytes, Text };

    struct Frame {
        PyObject *object; // the container; for a tag, its value once read
        PyObject *key;    // Dict: a key waiting for its value
        uint64_t tag;     // Tag: its number
        Py_ssize_t index; // definite List and Tuple: next slot; -1: indefinite, appended
        Kind kind;
        bool key_context; // the frame's items are parts of a map key
    };

    // The first levels are not reported to the interpreter's recursion
    // guard, as in the encoder: asking costs a thread-state lookup per
    // container, and these levels cost no C stack here at all. Deeper levels
    // are counted like calls, so values nested beyond the interpreter's
    // limit (which nothing could compare or print) raise RecursionError.
    static constexpr size_t kUncountedLevels = 64;

    bool expects_key() const {
        return !stack_.empty() && stack_.back().kind == Kind::Dict && !stack_.back().key;
    }

    // True when the next item is a map key or part of one.
    bool in_key() const {
        if (stack_.empty()) {
            return false;
        }
        const Frame &top = stack_.back();
        return top.kind == Kind::Dict ? top.key == nullptr : top.key_context;
    }

    bool open(const Frame &frame, uint64_t offset) {
        if (stack_.size() >= kUncountedLevels && Py_EnterRecursiveCall("")) {
            // The error is raised once the levels are left: making the
            // exception object is itself a call the exhausted guard refuses.
            PyErr_Clear();
            too_deep_ = true;
            too_deep_at_ = offset;
            Py_XDECREF(frame.object);
            return false;
        }
        stack_.push_back(frame);
        return true;
    }

    void pop() {
        if (stack_.size() > kUncountedLevels) {
            Py_LeaveRecursiveCall();
        }
        stack_.pop_back();
    }

    // Arrays inside a map key become tuples, so that the key is hashable.
    bool open_array(const cbor_reader_event &ev) {
        const bool key = in_key();
        const auto size = static_cast<Py_ssize_t>(ev.argument);
        PyObject *object = ev.indefinite || !key ? PyList_New(0) : PyTuple_New(size);
        if (object == nullptr) {
            return false;
        }
        if (!ev.indefinite && !key && size != 0 && !reserve_list(object, size)) {
            return false;
        }
        return open(
            Frame{object, nullptr, 0, ev.indefinite ? -1 : 0, key ? Kind::Tuple : Kind::List, key},
            ev.offset);
    }

    // A definite list gets its item slots uninitialised, which PyList_New
    // would zero, and counts only the items placed so far: its size grows
    // with each one, so a list released half filled frees just those.
    static bool reserve_list(PyObject *list, Py_ssize_t size) {
        auto *items =
            static_cast<PyObject **>(PyMem_Malloc(static_cast<size_t>(size) * sizeof(PyObject *)));
        if (items == nullptr) {
            Py_DECREF(list);
            PyErr_NoMemory();
            return false;
        }
        reinterpret_cast<PyListObject *>(list)->ob_item = items;
        reinterpret_cast<PyListObject *>(list)->allocated = size;
        return true;
    }

    bool open_map(const cbor_reader_event &ev) {
        if (in_key()) {
            set_decode_error("map used as a map key", ev.offset);
            return false;
        }
        PyObject *object = ev.indefinite
                               ? PyDict_New()
                               : _PyDict_NewPresized(static_cast<Py_ssize_t>(ev.argument));
        if (object == nullptr) {
            return false;
        }
        return open(Frame{object, nullptr, 0, 0, Kind::Dict, false}, ev.offset);
    }

    bool close() {
        const Frame frame = stack_.back();
        pop();
        PyObject *object = frame.object;
        if (frame.kind == Kind::Tag) {
            object = tagged(frame.tag, object);
        } else if (frame.kind == Kind::Tuple && frame.index == -1) {
            object = PyList_AsTuple(frame.object);
            Py_DECREF(frame.object);
        }
        return place(object);
    }

    bool close_chunks() {
        const bool text = chunked_ == Chunked::Text;
        chunked_ = Chunked::None;
        const auto *data = reinterpret_cast<const uint8_t *>(chunks_.data());
        if (text) {
            return place(text_str(data, chunks_.size(), false));
        }
        return place(
            PyBytes_FromStringAndSize(chunks_.data(), static_cast<Py_ssize_t>(chunks_.size())));
    }

    // Hands a finished item (a new reference, or null after a failure) to
    // whatever encloses it.
    [[gnu::always_inline]] inline bool place(PyObject *value) {
        if (value == nullptr) {
            return false;
        }
        if (stack_.empty()) {
            result_ = value;
            return true;
        }
        Frame &top = stack_.back();
        // A definite frame is told by the sign of its index: decoding long
        // sequences measured slower with a compare against the -1 instead.
        switch (top.kind) {
        case Kind::List:
            if (top.index >= 0) {
                PyList_SET_ITEM(top.object, top.index++, value);
                Py_SET_SIZE(top.object, top.index);
                return true;
            }
            break;
        case Kind::Tuple:
            if (top.index >= 0) {
                PyTuple_SET_ITEM(top.object, top.index++, value);
                return true;
            }
            break;
        case Kind::Dict: {
            if (top.key == nullptr) {
                top.key = value;
                return true;
            }
            const int status = PyDict_SetItem(top.object, top.key, value);
            Py_DECREF(value);
            Py_CLEAR(top.key);
            return status == 0;
        }
        case Kind::Tag: top.object = value; return true;
        }
        const int status = PyList_Append(top.object, value);
        Py_DECREF(value);
        return status == 0;
    }

    static constexpr uint32_t kSignalEvents = 4096;

    std::vector<Frame> stack_;
    PyObject *result_ = nullptr;
    uint32_t signal_countdown_ = kSignalEvents;
    std::string chunks_; // the chunks of the indefinite-length string being read
    Chunked chunked_ = Chunked::None;
    bool too_deep_ = false;
    uint64_t too_deep_at_ = 0;
};

// The bytes of a C-contiguous buffer of bytes, held for the call so that the
// exporter cannot resize or free them meanwhile.
class InputView {
  public:
    explicit InputView(PyObject *object) {
        if (PyBytes_CheckExact(object)) {
            data_ = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(object));
            size_ = static_cast<uint64_t>(PyBytes_GET_SIZE(object));
            return;
        }
        if (!PyObject_CheckBuffer(object) ||
            PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) != 0) {
            // A class's own __buffer__ runs Python code, and with it any
            // pending signal handler: a KeyboardInterrupt is no refusal.
            if (PyErr_Occurred() && arg_errors_must_propagate()) {
                throw py::error_already_set();
            }
            PyErr_Clear();
            throw py::type_error("loads: a C-contiguous bytes-like object is required, not '" +
                                 arg_errors_type_name(object) + "' (argument 'data')");
        }
        held_ = true;
        if (view_.itemsize != 1 || !PyBuffer_IsContiguous(&view_, 'C')) {
            throw py::type_error("loads: the buffer must be C-contiguous and of single bytes");
        }
        data_ = static_cast<const uint8_t *>(view_.buf);
        size_ = static_cast<uint64_t>(view_.len);
    }
    ~InputView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    InputView(const InputView &) = delete;
    InputView &operator=(const InputView &) = delete;

    const uint8_t *data() const { return data_; }
    uint64_t size() const { return size_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
    const uint8_t *data_ = nullptr;
    uint64_t size_ = 0;
};

} // namespace

void cbor_decoder_set_types(const CborDecoderTypes &decoder_types) { types = decoder_types; }

py::object cbor_decoder_loads(const py::handle &data, uint64_t max_depth) {
    const InputView input(data.ptr());
    uint64_t offset = 0;
    uint64_t too_deep_at = 0;
    bool too_deep = false;
    cbor_reader_status status;
    py::object result;
    {
        Builder builder;
        status = cbor_reader_run(input.data(), input.size(), max_depth, builder, &offset);
        too_deep = builder.too_deep(&too_deep_at);
        result = py::reinterpret_steal<py::object>(builder.release());
    }
    if (status == CBOR_READER_OK) {
        return result;
    }
    if (too_deep) {
        PyErr_Format(PyExc_RecursionError,
                     "maximum recursion depth exceeded while decoding CBOR at byte offset %llu",
                     static_cast<unsigned long long>(too_deep_at));
        throw py::error_already_set();
    }
    if (status == CBOR_READER_STOPPED) {
        throw py::error_already_set();
    }
    if (status == CBOR_READER_NO_MEMORY) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    if (status == CBOR_READER_TOO_DEEP) {
        PyErr_Format(types.decode_error, "nesting deeper than max_depth %llu at byte offset %llu",
                     static_cast<unsigned long long>(max_depth),
                     static_cast<unsigned long long>(offset));
    } else {
        set_decode_error(cbor_reader_status_text(status), offset);
    }
    throw py::error_already_set();
}
