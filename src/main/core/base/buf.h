/* buf: the growable, append-only byte buffer every value and delta passes in.
 *
 * A record owns its block when made by buf_create or buf_dup. A record may
 * also borrow memory it does not own (the Python input proxies do); such a
 * record is never appended to, and is released by clearing `data` and
 * `length` before buf_free. */
#ifndef CORVANTIS_BUF_H
#define CORVANTIS_BUF_H

#include <stdint.h>

#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

typedef struct buf {
    uint8_t *data;     /* heap block; null while nothing is allocated */
    uint64_t length;   /* content bytes data[0..length) */
    uint64_t capacity; /* bytes appends may assume at data; 0 forces a realloc */
} buf;

/* Life cycle. buf_create returns null only when the record cannot be
 * allocated. buf_dup copies the content into a block of exactly `length`
 * bytes and leaves capacity 0; it returns null for a null source or when an
 * allocation fails. buf_free accepts null. */
CORVANTIS_API buf *buf_create(void);
CORVANTIS_API void buf_free(buf *b);
CORVANTIS_API buf *buf_dup(const buf *b);

/* Appends. When more room is needed the block is reallocated to twice the
 * size needed now. If that allocation fails the record is left exactly as it
 * was. The source may lie inside the destination's own block. */
CORVANTIS_API void buf_write_bytes(buf *b, const void *bytes, uint64_t n);
CORVANTIS_API void buf_write_byte(buf *b, int value);
CORVANTIS_API void buf_write_string(buf *b, const char *s);
CORVANTIS_API void buf_write_buf(buf *b, const buf *source);

/* Fixed-width readers at a cursor. A null cursor gives null; a null `out`
 * skips the store. The caller guarantees the bytes are there. Multi-byte
 * values are big-endian. */
CORVANTIS_API const uint8_t *buf_read_byte(const uint8_t *cursor, uint8_t *out);
CORVANTIS_API const uint8_t *buf_read_uint32(const uint8_t *cursor, uint32_t *out);
CORVANTIS_API const uint8_t *buf_read_uint64(const uint8_t *cursor, uint64_t *out);

/* Conversions, returned strings belong to the caller (free()). */
CORVANTIS_API char *buf_as_string(const buf *b);
CORVANTIS_API char *buf_as_hex(const buf *b);

/* Read-only pointer to data[start]; null for a null record or block, or
 * when count >= 1 and start + count runs past the content. A negative start,
 * or one past the end, is refused as well. */
CORVANTIS_API const uint8_t *buf_substr(const buf *b, int32_t start, int32_t count);

/* 0 when equal (or both null), -1 when exactly one is null or the lengths
 * differ, else memcmp's result over the common length. */
CORVANTIS_API int32_t buf_cmp(const buf *a, const buf *b);

/* Removes the first n bytes (0 <= n <= length; other n are ignored). On a
 * failed allocation the record is left unchanged. */
CORVANTIS_API void buf_discard_front(buf *b, int32_t n);

/* Writes a hex dump of the content to standard output. */
CORVANTIS_API void hexdump_buf(const buf *b);

CORVANTIS_EXTERN_C_END

#endif
