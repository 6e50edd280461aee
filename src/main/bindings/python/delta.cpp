// corvantis_core.delta: diff and patch over bytes without copying them in,
// and with the engine's own output buffer handed out behind the buffer
// protocol.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

#include "arg_errors.h"
#include "buffer.h"
#include "delta/background_job.h"
#include "delta/diff.h"
#include "delta/diff_compact.h"
#include "delta/fast/diff_fast.h"
#include "interrupt.h"
#include "module.h"

namespace py = pybind11;

using PyInBuf = InBuffer<corvantis::InProxy>;
using PyOutBuf = OutBuffer<corvantis::OutProxy, py::bytes>;

// An argument of diff or patch: a PythonInBuf, or a bytes object (or an
// instance of a bytes subclass) viewed in place for the duration of the call.
// Viewing bytes directly gives the same result as building a temporary
// PythonInBuf, without creating and destroying a Python object per argument,
// which would otherwise dominate the cost of a call on small values.
class InArg {
  public:
    void view_bytes(PyObject *bytes) noexcept {
        bound_ = nullptr;
        local_.assign(PyBytes_AS_STRING(bytes), static_cast<uint64_t>(PyBytes_GET_SIZE(bytes)));
    }
    void use(PyInBuf *bound) noexcept { bound_ = bound; }
    void use_none() noexcept { none_ = true; }

    bool is_none() const noexcept { return none_; }

    // False only for a PythonInBuf whose constructor never ran.
    bool holds_value() const noexcept { return bound_ == nullptr || bound_->holds_value(); }
    const buf *get() const noexcept { return bound_ != nullptr ? bound_->get() : local_.get(); }
    uint64_t size() const noexcept { return get()->length; }

  private:
    PyInBuf *bound_ = nullptr;
    bool none_ = false;
    corvantis::InProxy local_;
};

namespace pybind11 {
namespace detail {
template <>
struct type_caster<InArg> {
    PYBIND11_TYPE_CASTER(InArg, const_name("corvantis_core.delta.PythonInBuf"));

    // The caller's argument tuple keeps a bytes argument alive until the call
    // returns, so its storage may be viewed without taking a reference.
    bool load(handle src, bool convert) {
        if (PyBytes_Check(src.ptr())) {
            value.view_bytes(src.ptr());
            return true;
        }
        // None matches in the converting pass, as it does for any bound
        // class, and is then refused as a reference to nothing.
        if (src.is_none()) {
            if (!convert) return false;
            value.use_none();
            return true;
        }
        // Only real PythonInBuf instances, no other conversions.
        type_caster_base<PyInBuf> bound;
        if (!bound.load(src, false)) {
            return false;
        }
        value.use(static_cast<PyInBuf *>(bound));
        return true;
    }
};
} // namespace detail
} // namespace pybind11

// The signature shows only the class, but bytes convert too.
template <>
struct ArgErrorsExpected<InArg> {
    static constexpr const char *text = "bytes or corvantis_core.delta.PythonInBuf";
};

static const char *const DELTA_DOC = "\n"
                                     "        Corvantis Delta\n"
                                     "        -----------------------\n"
                                     "\n"
                                     "        .. currentmodule:: corvantis_delta\n"
                                     "\n"
                                     "        .. autosummary::\n"
                                     "           :toctree: _generate\n"
                                     "\n"
                                     "           diff\n"
                                     "    ";

static const char *const DIFF_DOC = "\n    Diff between 'old_value' and 'new_value'\n    ";
static const char *const PATCH_DOC = "\n    Apply 'diff' to 'old_value'\n    ";

static void require_value(const InArg &value, const char *function, const char *name) {
    if (value.is_none()) {
        throw std::runtime_error(std::string(name) +
                                 ": None is not a PythonInBuf (no object to refer to)");
    }
    if (!value.holds_value()) {
        throw py::type_error(std::string(name) + ": PythonInBuf was never initialised in " +
                             function + "()");
    }
}

// The engine addresses values with signed 32-bit positions; a longer value
// would be silently truncated to its low 32 bits, so it is refused up front.
static void require_engine_size(const InArg &value, const char *function, const char *name) {
    require_value(value, function, name);
    if (value.size() > static_cast<uint64_t>(DIFF_MAX_VALUE_LENGTH)) {
        throw py::value_error(std::string(name) +
                              " is too large for a delta: " + std::to_string(value.size()) +
                              " bytes (at most " + std::to_string(DIFF_MAX_VALUE_LENGTH) + ")");
    }
}

static PyOutBuf wrap_result(buf *result) {
    if (result == nullptr) {
        // Every other failure is reported before this point; what remains is
        // an allocation that did not succeed.
        throw std::bad_alloc();
    }
    return PyOutBuf(result, buf_free);
}

static PyOutBuf delta_diff(const InArg &old_value, const InArg &new_value) {
    require_engine_size(old_value, "diff", "old_value");
    require_engine_size(new_value, "diff", "new_value");
    InterruptPoll poll(false);
    buf *result = diff_generate_binary_polled(old_value.get(), new_value.get(), poll.get());
    poll.raise_if_stopped(result);
    return wrap_result(result);
}

// The Python exception for each reason an application fails; the message is
// the core's own text for it.
enum class ApplyRaises { value_error, memory_error };
static const struct {
    diff_apply_error error;
    ApplyRaises raises;
} APPLY_ERRORS[] = {
    {DIFF_APPLY_NULL_ARGUMENT, ApplyRaises::value_error},
    {DIFF_APPLY_OUT_OF_MEMORY, ApplyRaises::memory_error},
    {DIFF_APPLY_COPY_WITHOUT_LENGTH, ApplyRaises::value_error},
    {DIFF_APPLY_COPY_OUT_OF_RANGE, ApplyRaises::value_error},
    {DIFF_APPLY_UNREADABLE_ITEM, ApplyRaises::value_error},
    {DIFF_APPLY_UNSUPPORTED_VERSION, ApplyRaises::value_error},
    {DIFF_APPLY_DAMAGED_HEADER, ApplyRaises::value_error},
    {DIFF_APPLY_WRONG_OLD_LENGTH, ApplyRaises::value_error},
    {DIFF_APPLY_WRONG_OLD_CHECKSUM, ApplyRaises::value_error},
    {DIFF_APPLY_TRUNCATED, ApplyRaises::value_error},
    {DIFF_APPLY_DAMAGED, ApplyRaises::value_error},
    {DIFF_APPLY_TRAILING_BYTES, ApplyRaises::value_error},
    {DIFF_APPLY_WRONG_NEW_LENGTH, ApplyRaises::value_error},
    {DIFF_APPLY_WRONG_NEW_CHECKSUM, ApplyRaises::value_error},
};

[[noreturn]] static void raise_apply_error(diff_apply_error error) {
    for (const auto &entry : APPLY_ERRORS) {
        if (entry.error != error) continue;
        if (entry.raises == ApplyRaises::value_error)
            throw py::value_error(diff_apply_error_name(error));
        break;
    }
    // Out of memory, and anything the table does not name: the only failure
    // left without a reason is an allocation.
    throw std::bad_alloc();
}

static PyOutBuf delta_patch(const InArg &old_value, const InArg &delta) {
    require_value(old_value, "patch", "old_value");
    require_value(delta, "patch", "diff");
    diff_apply_error error = DIFF_APPLY_OK;
    InterruptPoll poll(false);
    // diff_apply hands anything without the compact signature to the bare
    // applier, so bare deltas behave exactly as before.
    buf *result = diff_apply_polled(old_value.get(), delta.get(), &error, poll.get());
    poll.raise_if_stopped(result);
    if (result == nullptr) raise_apply_error(error);
    return wrap_result(result);
}

static const char *const DIFF_FAST_DOC =
    "\n    Delta from 'old_value' to 'new_value' by block matching: finds moved,\n"
    "    repeated and reordered blocks, in time linear in the input size.\n"
    "    Accepts any C-contiguous buffer of bytes (bytes, bytearray, memoryview,\n"
    "    mmap, PythonOutBuf) or a PythonInBuf without copying it, and releases\n"
    "    the GIL while it runs. The delta is read by patch.\n    ";

// A buffer view held for one call: while it is held the exporter may not
// resize or free the memory (bytearray and mmap refuse to), so the engine can
// read it with the interpreter lock released.
class HeldView {
  public:
    HeldView(PyObject *object, const char *function, const char *name) {
        const std::string in = std::string(" in ") + function + "()";
        // A PythonInBuf views an immutable bytes object it keeps alive.
        if (py::isinstance<PyInBuf>(object)) {
            const PyInBuf &bound = py::handle(object).cast<const PyInBuf &>();
            if (!bound.holds_value())
                throw py::type_error(std::string(name) + ": PythonInBuf was never initialised" +
                                     in);
            record_ = *bound.get();
            return;
        }
        if (!PyObject_CheckBuffer(object)) {
            throw py::type_error(std::string(name) + ": a bytes-like object is required, not '" +
                                 arg_errors_type_name(object) + "'" + in);
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) != 0) throw py::error_already_set();
        held_ = true;
        if (view_.itemsize != 1) {
            throw py::type_error(std::string(name) +
                                 ": a buffer of bytes is required, not of items of " +
                                 std::to_string(view_.itemsize) + " bytes" + in);
        }
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            throw py::value_error(std::string(name) + ": the buffer must be C-contiguous" + in);
        }
        record_ = buf{static_cast<uint8_t *>(view_.buf), static_cast<uint64_t>(view_.len),
                      static_cast<uint64_t>(view_.len)};
    }
    ~HeldView() {
        if (held_) PyBuffer_Release(&view_);
    }
    HeldView(const HeldView &) = delete;
    HeldView &operator=(const HeldView &) = delete;

    const buf *get() const noexcept { return &record_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
    buf record_{nullptr, 0, 0};
};

// The two views of a call whose zstd step may go on, on a job, after a stop
// has ended the call (delta_ops.h): the job reads them in place, so they
// stay held until the call and every such job have let go. The last holder
// takes the interpreter lock to release them.
class HeldInputs {
  public:
    HeldInputs(const py::object &old_value, const py::object &new_value, const char *function)
        : old_(old_value.ptr(), function, "old_value"),
          new_(new_value.ptr(), function, "new_value") {}

    static void hold(void *self, int add) noexcept {
        auto *inputs = static_cast<HeldInputs *>(self);
        if (add != 0) {
            ++inputs->holders_;
        } else if (--inputs->holders_ == 0) {
            const PyGILState_STATE state = PyGILState_Ensure();
            delete inputs;
            PyGILState_Release(state);
        }
    }

    const buf *old_value() const noexcept { return old_.get(); }
    const buf *new_value() const noexcept { return new_.get(); }

  private:
    const HeldView old_;
    const HeldView new_;
    std::atomic<int> holders_{1}; // the call's own
};

static PyOutBuf delta_diff_fast(const py::object &old_value, const py::object &new_value) {
    const HeldView old_view(old_value.ptr(), "diff_fast", "old_value");
    const HeldView new_view(new_value.ptr(), "diff_fast", "new_value");
    InterruptPoll poll(true);
    buf *result;
    {
        py::gil_scoped_release unlocked;
        result = diff_generate_binary_fast_polled(old_view.get(), new_view.get(), poll.get());
    }
    poll.raise_if_stopped(result);
    return wrap_result(result);
}

static const char *const DIFF_COMPACT_DOC =
    "\n    Compact, self-checking delta from 'old_value' to 'new_value', for storing\n"
    "    or sending: copies from the old value and from the new bytes already\n"
    "    written, approximate copies for moved code, and zstd-compressed streams,\n"
    "    behind a header with the lengths and XXH3-64 checksums of both values.\n"
    "    'level' runs from 1 (fastest) to 19 (smallest), as zstd's levels do;\n"
    "    another level raises ValueError. Accepts any C-contiguous buffer of\n"
    "    bytes or a PythonInBuf without copying it, and releases the GIL while it\n"
    "    runs. Applied by apply or patch, which check the old value and the\n"
    "    result.\n    ";

static const char *const APPLY_DOC =
    "\n    Apply 'delta' (compact or bare) to 'old_value' and return the new value.\n"
    "    Accepts any C-contiguous buffer of bytes for both (an mmap of a large\n"
    "    old file is read in place) and releases the GIL while it works. A\n"
    "    compact delta's checks (old value, truncation, damage, result) and a\n"
    "    malformed bare delta raise ValueError naming what failed; MemoryError\n"
    "    when memory runs out.\n    ";

static PyOutBuf delta_diff_compact(const py::object &old_value, const py::object &new_value,
                                   int level) {
    if (level < DIFF_COMPACT_LEVEL_MIN || level > DIFF_COMPACT_LEVEL_MAX) {
        throw py::value_error("level must be from " + std::to_string(DIFF_COMPACT_LEVEL_MIN) +
                              " to " + std::to_string(DIFF_COMPACT_LEVEL_MAX) + ", not " +
                              std::to_string(level));
    }
    const std::unique_ptr<HeldInputs, void (*)(HeldInputs *)> inputs(
        new HeldInputs(old_value, new_value, "diff_compact"),
        [](HeldInputs *held) { HeldInputs::hold(held, 0); });
    InterruptPoll poll(true);
    poll.get()->hold = &HeldInputs::hold;
    poll.get()->inputs = inputs.get();
    buf *result;
    {
        py::gil_scoped_release unlocked;
        result = diff_generate_compact_polled(inputs->old_value(), inputs->new_value(), level,
                                              nullptr, nullptr, poll.get());
    }
    poll.raise_if_stopped(result);
    return wrap_result(result);
}

static PyOutBuf delta_apply(const py::object &old_value, const py::object &delta) {
    const HeldView old_view(old_value.ptr(), "apply", "old_value");
    const HeldView delta_view(delta.ptr(), "apply", "delta");
    diff_apply_error error = DIFF_APPLY_OK;
    InterruptPoll poll(true);
    buf *result;
    {
        py::gil_scoped_release unlocked;
        result = diff_apply_polled(old_view.get(), delta_view.get(), &error, poll.get());
    }
    poll.raise_if_stopped(result);
    if (result == nullptr) raise_apply_error(error);
    return wrap_result(result);
}

static py::buffer_info out_buffer_info(PyOutBuf &out) {
    buf *record = out.get();
    if (record == nullptr) {
#if PYBIND11_VERSION_HEX >= 0x020D0000
        throw py::buffer_error("PythonOutBuf holds no data");
#else
        // Older binding libraries cannot carry an exception out of a buffer
        // request, so an empty handle shows zero bytes instead.
        static uint8_t nothing = 0;
        return py::buffer_info(&nothing, 1, "b", 1, {py::ssize_t{0}}, {py::ssize_t{1}}, true);
#endif
    }
    return py::buffer_info(record->data, 1, "b", 1, {static_cast<py::ssize_t>(record->length)},
                           {py::ssize_t{1}}, false);
}

// A handle left empty by a library failure shows no bytes, so it counts as
// empty rather than raising from len() or comparing.
static uint64_t held_length(const buf *record) {
    return record == nullptr ? uint64_t{0} : record->length;
}

static uint64_t out_len(PyOutBuf &out) { return held_length(out.get()); }

static std::string out_repr(PyOutBuf &out) {
    return out.get() == nullptr
               ? std::string("<PythonOutBuf holding no data>")
               : "<PythonOutBuf of " + std::to_string(out.get()->length) + " bytes>";
}

// An empty side may have no data pointer, which memcmp must not be given.
static bool same_bytes(const buf *mine, const buf *theirs) {
    const uint64_t length = held_length(mine);
    return held_length(theirs) == length &&
           (length == 0 || std::memcmp(mine->data, theirs->data, length) == 0);
}

// Equal to any bytes-like object (a C-contiguous buffer) of the same bytes.
static py::object out_equals(PyOutBuf &out, const py::object &other) {
    const buf *mine = out.get();
    if (py::isinstance<PyOutBuf>(other)) {
        return py::bool_(same_bytes(mine, other.cast<PyOutBuf &>().get()));
    }
    Py_buffer view;
    if (!PyObject_CheckBuffer(other.ptr()) ||
        PyObject_GetBuffer(other.ptr(), &view, PyBUF_SIMPLE) != 0) {
        // A strided buffer is no bytes-like object; anything else raised
        // while exporting propagates.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_BufferError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    }
    const auto length = static_cast<uint64_t>(view.len);
    const buf record{static_cast<uint8_t *>(view.buf), length, length};
    const bool equal = same_bytes(mine, &record);
    PyBuffer_Release(&view);
    return py::bool_(equal);
}

static PyInBuf *in_create(LooseArg<py::bytes> value) {
    value.require("PythonInBuf", "constructor", "arg0");
    return new PyInBuf(value.get());
}

void corvantis_delta_init(py::module_ &parent) {
    // A job a stop left running may still hold a call's inputs: it lets go
    // of them with the interpreter lock, which it needs before the
    // interpreter is finalized.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        py::gil_scoped_release unlocked;
        background_jobs_wait();
    }));
    py::module_ m = corvantis_add_submodule(parent, "delta");
    m.doc() = DELTA_DOC;

    // Every function and method that takes arguments is registered through
    // arg_errors_def, so that a wrong argument gives a short TypeError.
    py::class_<PyOutBuf> out_class(m, "PythonOutBuf", py::buffer_protocol());
    out_class.def_buffer(&out_buffer_info);
    arg_errors_def(out_class, "__len__", "PythonOutBuf.__len__", &out_len);
    arg_errors_def(out_class, "__repr__", "PythonOutBuf.__repr__", &out_repr);
    // An operator answers NotImplemented to a wrong self instead of raising;
    // with __eq__ defined, pybind11 makes the class unhashable.
    out_class.def("__eq__", &out_equals, py::is_operator());

    py::class_<PyInBuf> in_class(m, "PythonInBuf");
    in_class.def(py::init(&in_create));
    arg_errors_bound_calls(in_class.attr("__init__"));
    py::implicitly_convertible<py::bytes, PyInBuf>();

    arg_errors_def(m, "diff", "diff", &delta_diff, py::arg("old_value"), py::arg("new_value"),
                   DIFF_DOC);
    arg_errors_def(m, "patch", "patch", &delta_patch, py::arg("old_value"), py::arg("diff"),
                   PATCH_DOC);
    arg_errors_def(m, "diff_fast", "diff_fast", &delta_diff_fast, py::arg("old_value"),
                   py::arg("new_value"), DIFF_FAST_DOC);
    arg_errors_def(m, "diff_compact", "diff_compact", &delta_diff_compact, py::arg("old_value"),
                   py::arg("new_value"), py::kw_only(),
                   py::arg("level") = DIFF_COMPACT_LEVEL_DEFAULT, DIFF_COMPACT_DOC);
    arg_errors_def(m, "apply", "apply", &delta_apply, py::arg("old_value"), py::arg("delta"),
                   APPLY_DOC);

    m.attr("__version__") = "dev";
}
