#include "base/buf_enc.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "base/alloc.h"

/* LEB128 into `scratch` (at least 10 bytes); returns the number of bytes. */
static size_t encode_leb128(uint64_t value, uint8_t *scratch) {
    size_t n = 0;
    while (value >= 0x80) {
        scratch[n++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    scratch[n++] = static_cast<uint8_t>(value);
    return n;
}

/* Shared by both widths: `groups` full 7-bit groups, then a final byte of
 * which only the bits in `last_mask` still fit the value. */
static const uint8_t *decode_leb128(const uint8_t *cursor, int groups, uint8_t last_mask,
                                    uint64_t *value) {
    uint64_t result = 0;
    for (int k = 0; k < groups; ++k) {
        result |= static_cast<uint64_t>(cursor[k] & 0x7F) << (7 * k);
        if ((cursor[k] & 0x80) == 0) {
            *value = result;
            return cursor + k + 1;
        }
    }
    const uint8_t last = cursor[groups];
    if ((last & 0x80) != 0) return nullptr;
    result |= static_cast<uint64_t>(last & last_mask) << (7 * groups);
    *value = result;
    return cursor + groups + 1;
}

extern "C" {

void buf_write_uint32_enc(buf *b, uint32_t value) { buf_write_uint64_enc(b, value); }

void buf_write_uint64_enc(buf *b, uint64_t value) {
    uint8_t scratch[10];
    buf_write_bytes(b, scratch, encode_leb128(value, scratch));
}

void buf_write_string_length_enc(buf *b, const void *bytes, uint64_t n) {
    if (b == nullptr) return;
    /* The prefix holds 32 bits; a longer body would no longer match it. */
    if (n > UINT32_MAX) return;
    const uint64_t before = b->length;
    buf_write_uint32_enc(b, static_cast<uint32_t>(n));
    const uint64_t prefixed = b->length;
    if (prefixed == before) return;
    buf_write_bytes(b, bytes, n);
    /* A prefix without its body would corrupt everything read after it. */
    if (b->length != prefixed + n) b->length = before;
}

void buf_write_string_enc(buf *b, const char *s) {
    buf_write_string_length_enc(b, s, s == nullptr ? 0 : strlen(s));
}

void buf_write_float(buf *b, float f) {
    uint8_t bytes[sizeof f];
    memcpy(bytes, &f, sizeof f);
    buf_write_bytes(b, bytes, sizeof bytes);
}

void buf_write_bool(buf *b, int value) { buf_write_byte(b, value); }

void buf_write_list(buf *b, const list *l, buf_element_writer write_element) {
    const int32_t count = l == nullptr ? 0 : list_get_size(l);
    buf_write_uint32_enc(b, static_cast<uint32_t>(count));
    if (l == nullptr || write_element == nullptr) return;
    for (const list_node *node = l->first; node != nullptr; node = node->next)
        write_element(b, node->data);
}

int32_t buf_sprintf(buf *b, const char *format, ...) {
    if (b == nullptr || format == nullptr) return -1;
    /* The format's length and some room: most output fits the first attempt. */
    size_t size = strlen(format) + 100;
    char *scratch = static_cast<char *>(core_malloc(size));
    if (scratch == nullptr) return -1;
    va_list args;
    va_start(args, format);
    int32_t result;
    for (;;) {
        /* Every attempt formats from the first argument again. */
        va_list attempt;
        va_copy(attempt, args);
        const int written = vsnprintf(scratch, size, format, attempt);
        va_end(attempt);
        if (written < 0) {
            result = written;
            break;
        }
        if (static_cast<size_t>(written) < size) {
            const uint64_t before = b->length;
            buf_write_bytes(b, scratch, static_cast<uint64_t>(written));
            result = b->length == before + static_cast<uint64_t>(written) ? written : -1;
            break;
        }
        /* The first attempt told the exact size, so a second one fits. */
        size = static_cast<size_t>(written) + 1;
        char *grown = static_cast<char *>(core_realloc(scratch, size));
        if (grown == nullptr) {
            result = -1;
            break;
        }
        scratch = grown;
    }
    va_end(args);
    free(scratch);
    return result;
}

const uint8_t *buf_read_uint32_enc(const uint8_t *cursor, uint32_t *out) {
    if (cursor == nullptr) return nullptr;
    uint64_t value = 0;
    /* Four full groups hold 28 bits; the fifth byte supplies bits 28 to 31. */
    const uint8_t *next = decode_leb128(cursor, 4, 0x0F, &value);
    if (next != nullptr && out != nullptr) *out = static_cast<uint32_t>(value);
    return next;
}

const uint8_t *buf_read_uint64_enc(const uint8_t *cursor, uint64_t *out) {
    if (cursor == nullptr) return nullptr;
    uint64_t value = 0;
    /* Nine full groups hold 63 bits; the tenth byte supplies bit 63. */
    const uint8_t *next = decode_leb128(cursor, 9, 0x01, &value);
    if (next != nullptr && out != nullptr) *out = value;
    return next;
}

const uint8_t *buf_read_string_length_enc(const uint8_t *cursor, char **out_string,
                                          uint64_t *out_length) {
    uint64_t length = 0;
    const uint8_t *body = buf_read_uint64_enc(cursor, &length);
    if (body == nullptr) return nullptr;
    if (out_string != nullptr) {
        if (length >= SIZE_MAX) return nullptr;
        char *copy = static_cast<char *>(core_calloc(static_cast<size_t>(length) + 1, 1));
        if (copy == nullptr) return nullptr;
        memcpy(copy, body, static_cast<size_t>(length));
        *out_string = copy;
    }
    if (out_length != nullptr) *out_length = length;
    return body + length;
}

const uint8_t *buf_read_float(const uint8_t *cursor, float *out) {
    uint32_t bits = 0;
    const uint8_t *next = buf_read_uint32_enc(cursor, &bits);
    if (next != nullptr && out != nullptr) memcpy(out, &bits, sizeof bits);
    return next;
}

const uint8_t *buf_read_bool(const uint8_t *cursor, uint8_t *out) {
    if (cursor == nullptr) return nullptr;
    if (out == nullptr) return cursor + 1;
    if (cursor[0] > 1) return nullptr;
    *out = cursor[0];
    return cursor + 1;
}
}
