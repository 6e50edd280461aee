/* buf_enc: the byte buffer's own small serialisation vocabulary.
 *
 * Unsigned LEB128 integers (7 bits per byte, least significant group first,
 * bit 7 set while more bytes follow), strings prefixed with their LEB128
 * length, raw single-precision floats in host byte order, one-byte booleans,
 * counted lists written element by element, and printf-style appends.
 * Writers append with the buffer's growth policy; readers work at a cursor
 * like the fixed-width buf_read_* functions and never know where the content
 * ends: the caller guarantees the bytes are there. */
#ifndef CORVANTIS_BUF_ENC_H
#define CORVANTIS_BUF_ENC_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "base/list.h"

#if defined(__GNUC__)
#define CORVANTIS_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define CORVANTIS_PRINTF_FORMAT(f, a)
#endif

CORVANTIS_EXTERN_C_BEGIN

/* Writes one list element (the node's data) to `b`. */
typedef void (*buf_element_writer)(buf *b, void *data);

/* Shortest LEB128 form of `value`: 1 to 5 bytes (32-bit), 1 to 10 (64-bit). */
CORVANTIS_API void buf_write_uint32_enc(buf *b, uint32_t value);
CORVANTIS_API void buf_write_uint64_enc(buf *b, uint64_t value);
/* LEB128 length, then the n raw bytes. `bytes` is not read when n is 0.
 * Lengths of 2^32 bytes or more do not fit the format and append nothing; a
 * string whose bytes cannot be appended leaves the content as it was. */
CORVANTIS_API void buf_write_string_length_enc(buf *b, const void *bytes, uint64_t n);
/* As above with strlen(s); a null `s` is written as the empty string. */
CORVANTIS_API void buf_write_string_enc(buf *b, const char *s);
/* The four bytes of `f` in host byte order. */
CORVANTIS_API void buf_write_float(buf *b, float f);
/* One byte, the low 8 bits of `value` (2 stays 02). Null `b`: nothing. */
CORVANTIS_API void buf_write_bool(buf *b, int value);
/* The node count as LEB128, then write_element(b, data) for each node from
 * first to last. A null list is written as count 0; a null writer writes the
 * count only. */
CORVANTIS_API void buf_write_list(buf *b, const list *l, buf_element_writer write_element);
/* Appends the formatted text (without its NUL). Returns the number of bytes
 * appended, -1 when memory runs out, or vsnprintf's negative result for a
 * bad format; on failure nothing is appended. */
CORVANTIS_API int32_t buf_sprintf(buf *b, const char *format, ...) CORVANTIS_PRINTF_FORMAT(2, 3);

/* LEB128 readers. They return the cursor past the encoding, or null (storing
 * nothing) for a null cursor or an encoding whose 5th (32-bit) or 10th
 * (64-bit) byte still has its continuation bit set. Non-shortest encodings
 * are accepted. A null `out` decodes and skips. */
CORVANTIS_API const uint8_t *buf_read_uint32_enc(const uint8_t *cursor, uint32_t *out);
CORVANTIS_API const uint8_t *buf_read_uint64_enc(const uint8_t *cursor, uint64_t *out);
/* Reads a length-prefixed string. `*out_string` (if asked for) receives a new
 * NUL-terminated copy the caller frees; `*out_length` the length. Returns the
 * cursor past the string, or null (storing nothing) for a malformed length or
 * when the copy cannot be allocated. */
CORVANTIS_API const uint8_t *buf_read_string_length_enc(const uint8_t *cursor, char **out_string,
                                                        uint64_t *out_length);
/* Decodes a LEB128 32-bit value and stores its bits as a float. This is not
 * the inverse of buf_write_float, which writes raw bytes: 00 00 80 3F (1.0)
 * reads back as 0.0 after one byte. */
CORVANTIS_API const uint8_t *buf_read_float(const uint8_t *cursor, float *out);
/* With an `out`, a byte above 1 gives null; else stores 0 or 1. A null `out`
 * skips the byte unread. */
CORVANTIS_API const uint8_t *buf_read_bool(const uint8_t *cursor, uint8_t *out);

CORVANTIS_EXTERN_C_END

#endif
