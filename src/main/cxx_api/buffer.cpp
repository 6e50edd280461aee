#include "buffer.h"

#include <stdexcept>

namespace corvantis {

InProxy::InProxy(const void *data, uint64_t length) noexcept : record_{nullptr, 0, 0} {
    assign(data, length);
}

void InProxy::assign(const void *data, uint64_t length) noexcept {
    // The core never writes through an input record, so dropping const here
    // does not open the borrowed memory to writes.
    record_.data = static_cast<uint8_t *>(const_cast<void *>(data));
    record_.length = length;
    record_.capacity = length;
}

void InProxy::clear() noexcept {
    record_.data = nullptr;
    record_.length = 0;
    record_.capacity = 0;
}

buf *make_borrowed_buf(const void *data, uint64_t length) noexcept {
    buf *record = buf_create();
    if (record == nullptr) {
        return nullptr;
    }
    record->data = static_cast<uint8_t *>(const_cast<void *>(data));
    record->length = length;
    record->capacity = length;
    return record;
}

void free_borrowed_buf(buf *record) noexcept {
    if (record == nullptr) {
        return;
    }
    // buf_free would free the block too; the block is not ours.
    record->data = nullptr;
    record->length = 0;
    buf_free(record);
}

} // namespace corvantis

InBuffer<corvantis::InProxy>::InBuffer(pybind11::bytes value) : owner_(std::move(value)) {
    char *data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(owner_.ptr(), &data, &length) != 0) {
        PyErr_Clear();
        throw std::runtime_error("cannot read the storage of a bytes object");
    }
    proxy_.assign(data, static_cast<uint64_t>(length));
}
