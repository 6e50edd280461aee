#include "base/buf.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "base/alloc.h"

extern "C" {

buf *buf_create(void) { return static_cast<buf *>(core_calloc(1, sizeof(buf))); }

void buf_free(buf *b) {
    if (b == nullptr) return;
    free(b->data);
    free(b);
}

buf *buf_dup(const buf *b) {
    if (b == nullptr) return nullptr;
    buf *copy = static_cast<buf *>(core_calloc(1, sizeof(buf)));
    if (copy == nullptr) return nullptr;
    if (b->length > 0) {
        copy->data = static_cast<uint8_t *>(core_malloc64(b->length));
        if (copy->data == nullptr) {
            free(copy);
            return nullptr;
        }
        memcpy(copy->data, b->data, static_cast<size_t>(b->length));
    }
    copy->length = b->length;
    copy->capacity = 0;
    return copy;
}

void buf_write_bytes(buf *b, const void *bytes, uint64_t n) {
    if (b == nullptr || n == 0 || bytes == nullptr) return;
    const uint8_t *src = static_cast<const uint8_t *>(bytes);
    const uint64_t needed = b->length + n;
    if (needed < n) return; /* length + n wrapped */
    if (needed > b->capacity) {
        /* The source may lie in our own block (a record appended to itself),
         * which realloc can move: remember where it was relative to the
         * block. Compared as integers, as the pointers may be unrelated. A
         * record without a block has no extent, so nothing lies inside it. */
        const uintptr_t block = reinterpret_cast<uintptr_t>(b->data);
        const uintptr_t from = reinterpret_cast<uintptr_t>(src);
        const uint64_t extent = std::max(b->length, b->capacity);
        const bool inside = from >= block && from - block < extent;
        const uint64_t source_offset = inside ? static_cast<uint64_t>(from - block) : 0;
        /* Also keeps the doubled size from wrapping, whatever the width of size_t. */
        if (needed > SIZE_MAX / 2) return;
        const uint64_t capacity = needed * 2;
        uint8_t *grown =
            static_cast<uint8_t *>(core_realloc(b->data, static_cast<size_t>(capacity)));
        if (grown == nullptr) return;
        b->data = grown;
        b->capacity = capacity;
        if (inside) src = grown + source_offset;
    }
    memmove(b->data + b->length, src, static_cast<size_t>(n));
    b->length = needed;
}

void buf_write_byte(buf *b, int value) {
    const uint8_t byte = static_cast<uint8_t>(value);
    buf_write_bytes(b, &byte, 1);
}

void buf_write_string(buf *b, const char *s) {
    if (s == nullptr) return;
    buf_write_bytes(b, s, strlen(s));
}

void buf_write_buf(buf *b, const buf *source) {
    if (source == nullptr) return;
    buf_write_bytes(b, source->data, source->length);
}

const uint8_t *buf_read_byte(const uint8_t *cursor, uint8_t *out) {
    if (cursor == nullptr) return nullptr;
    if (out != nullptr) *out = cursor[0];
    return cursor + 1;
}

const uint8_t *buf_read_uint32(const uint8_t *cursor, uint32_t *out) {
    if (cursor == nullptr) return nullptr;
    if (out != nullptr) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | cursor[i];
        *out = v;
    }
    return cursor + 4;
}

const uint8_t *buf_read_uint64(const uint8_t *cursor, uint64_t *out) {
    if (cursor == nullptr) return nullptr;
    if (out != nullptr) {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | cursor[i];
        *out = v;
    }
    return cursor + 8;
}

char *buf_as_string(const buf *b) {
    const uint64_t length = b == nullptr ? 0 : b->length;
    if (length >= SIZE_MAX) return nullptr;
    char *s = static_cast<char *>(core_calloc(static_cast<size_t>(length) + 1, 1));
    if (s != nullptr && length > 0) memcpy(s, b->data, static_cast<size_t>(length));
    return s;
}

char *buf_as_hex(const buf *b) {
    if (b == nullptr) return nullptr;
    if (b->length >= SIZE_MAX / 2) return nullptr;
    char *s = static_cast<char *>(core_calloc(static_cast<size_t>(b->length) * 2 + 1, 1));
    if (s == nullptr) return nullptr;
    static const char digits[] = "0123456789abcdef";
    for (uint64_t i = 0; i < b->length; ++i) {
        s[2 * i] = digits[b->data[i] >> 4];
        s[2 * i + 1] = digits[b->data[i] & 0x0F];
    }
    return s;
}

const uint8_t *buf_substr(const buf *b, int32_t start, int32_t count) {
    if (b == nullptr || b->data == nullptr) return nullptr;
    /* A pointer before the block or beyond its end is never handed out, even
     * for an empty range. */
    if (start < 0 || static_cast<uint64_t>(start) > b->length) return nullptr;
    /* Summed in 64 bits so that a range past INT32_MAX cannot wrap to a
     * negative end and slip through. */
    if (count >= 1 && static_cast<uint64_t>(static_cast<int64_t>(start) + count) > b->length)
        return nullptr;
    return b->data + start;
}

int32_t buf_cmp(const buf *a, const buf *b) {
    if (a == nullptr && b == nullptr) return 0;
    if (a == nullptr || b == nullptr) return -1;
    if (a->length != b->length) return -1;
    if (a->length == 0) return 0;
    return memcmp(a->data, b->data, static_cast<size_t>(a->length));
}

void buf_discard_front(buf *b, int32_t n) {
    if (b == nullptr || n < 0 || static_cast<uint64_t>(n) > b->length) return;
    const uint64_t remaining = b->length - static_cast<uint64_t>(n);
    if (remaining == 0) {
        free(b->data);
        b->data = nullptr;
        b->length = 0;
        b->capacity = 0;
        return;
    }
    uint8_t *block = static_cast<uint8_t *>(core_calloc(static_cast<size_t>(remaining), 1));
    if (block == nullptr) return;
    memcpy(block, b->data + n, static_cast<size_t>(remaining));
    free(b->data);
    b->data = block;
    b->length = remaining;
    b->capacity = remaining;
}

void hexdump_buf(const buf *b) {
    if (b == nullptr) return;
    if (b->length == 0) {
        putchar('\n');
        return;
    }
    for (uint64_t i = 0; i < b->length; ++i) {
        if (i > 0 && i % 16 == 0) puts("|");
        if (i % 16 == 0) {
            printf("| ");
        } else if (i % 8 == 0) {
            printf(". ");
        }
        printf("%02x ", b->data[i]);
    }
    putchar('\n');
}
}
