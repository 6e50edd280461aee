// Zero-copy carriers between Python-owned memory and the core's `buf`.
//
// Input side: an InProxy is a `buf` record held by value that borrows memory
// it does not own; InBuffer<InProxy> pairs one with a strong reference to the
// Python `bytes` object whose storage it views, so the view stays valid for as
// long as the InBuffer lives. The core reads the record in place.
//
// Output side: OutBuffer<OutProxy, ...> is a move-only owning handle on a heap
// `buf` together with the function that releases it, so one handle type can
// carry both records the core produced (released with buf_free) and heap
// records that merely borrow memory (released with free_borrowed_buf).
#ifndef CORVANTIS_CXX_API_BUFFER_H
#define CORVANTIS_CXX_API_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include <pybind11/pybind11.h>

#include "base/buf.h"

namespace corvantis {

// A by-value `buf` over memory owned elsewhere. Never appended to and never
// frees what it points at; the owner must outlive it.
class InProxy {
  public:
    InProxy() noexcept : record_{nullptr, 0, 0} {}
    InProxy(const void *data, uint64_t length) noexcept;
    ~InProxy() { clear(); }

    // Copying would make a second view whose lifetime nobody ties to the
    // owner; the owning wrapper decides where the one view lives.
    InProxy(const InProxy &) = delete;
    InProxy &operator=(const InProxy &) = delete;

    // Points the view at other memory; the old memory is left alone.
    void assign(const void *data, uint64_t length) noexcept;

    // Drops the view without touching the memory behind it.
    void clear() noexcept;

    // The address handed to the core wherever it takes an input `buf`. The
    // core's readers take non-const records even though they never write.
    buf *get() noexcept { return &record_; }
    const buf *get() const noexcept { return &record_; }
    uint64_t size() const noexcept { return record_.length; }

  private:
    buf record_;
};

// Release functions an OutBuffer can carry.
struct OutProxy {
    using release_fn = void (*)(buf *);
};

// A heap `buf` record (buf_create) whose data borrows [data, data + length).
// Release it with free_borrowed_buf, never buf_free. Null when the record
// cannot be allocated.
buf *make_borrowed_buf(const void *data, uint64_t length) noexcept;

// Frees a record from make_borrowed_buf but not the memory it borrows.
// Accepts null.
void free_borrowed_buf(buf *record) noexcept;

// Allocation for objects that Python can create without running a
// constructor (`Type.__new__(Type)` allocates the C++ storage and stops).
// Zero-filled storage is exactly the empty state of the carriers below, so
// such an object holds nothing instead of garbage.
struct ZeroedAllocation {
    static void *operator new(std::size_t size) {
        void *p = std::calloc(1, size);
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return p;
    }
    static void operator delete(void *p) noexcept { std::free(p); }
};

} // namespace corvantis

// A view of a Python object's storage that keeps the object alive. Only the
// InProxy specialisation exists.
template <class Proxy>
class InBuffer;

template <>
class InBuffer<corvantis::InProxy> : public corvantis::ZeroedAllocation {
  public:
    // Borrows the storage of `value` (no copy). Throws std::runtime_error
    // when the interpreter cannot give the storage.
    explicit InBuffer(pybind11::bytes value);
    ~InBuffer() {
        // The view goes first: it must never outlive the reference that keeps
        // its memory valid.
        proxy_.clear();
    }

    InBuffer(const InBuffer &) = delete;
    InBuffer &operator=(const InBuffer &) = delete;

    buf *get() noexcept { return proxy_.get(); }
    const buf *get() const noexcept { return proxy_.get(); }
    uint64_t size() const noexcept { return proxy_.size(); }
    const pybind11::bytes &owner() const noexcept { return owner_; }
    // False only for an object whose constructor never ran.
    bool holds_value() const noexcept { return owner_.ptr() != nullptr; }

  private:
    pybind11::bytes owner_;
    corvantis::InProxy proxy_;
};

// Move-only owning handle on a heap `buf`. `Target` names the Python type the
// contents are presented as; the handle itself never converts to it.
template <class Proxy, class Target>
class OutBuffer : public corvantis::ZeroedAllocation {
  public:
    using release_fn = typename Proxy::release_fn;

    OutBuffer() noexcept = default;
    OutBuffer(buf *record, release_fn release) noexcept : record_(record), release_(release) {}
    ~OutBuffer() { reset(); }

    OutBuffer(const OutBuffer &) = delete;
    OutBuffer &operator=(const OutBuffer &) = delete;

    OutBuffer(OutBuffer &&other) noexcept
        : record_(std::exchange(other.record_, nullptr)),
          release_(std::exchange(other.release_, nullptr)) {}

    OutBuffer &operator=(OutBuffer &&other) noexcept {
        if (this != &other) {
            reset();
            record_ = std::exchange(other.record_, nullptr);
            release_ = std::exchange(other.release_, nullptr);
        }
        return *this;
    }

    buf *get() const noexcept { return record_; }
    release_fn releaser() const noexcept { return release_; }
    explicit operator bool() const noexcept { return record_ != nullptr; }

    // Gives up ownership without releasing anything.
    buf *release() noexcept {
        release_ = nullptr;
        return std::exchange(record_, nullptr);
    }

    // Releases the record now (if any) and leaves the handle empty.
    void reset() noexcept {
        buf *record = std::exchange(record_, nullptr);
        release_fn release = std::exchange(release_, nullptr);
        if (record != nullptr && release != nullptr) {
            release(record);
        }
    }

  private:
    buf *record_ = nullptr;
    release_fn release_ = nullptr;
};

#endif
