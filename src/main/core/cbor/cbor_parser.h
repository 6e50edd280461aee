/* cbor_parser: reads a CBOR (RFC 8949) byte sequence one item at a time.
 *
 * A pull tokenizer, not a tree builder: each cbor_next_val consumes one
 * item's head (and the bytes of a definite-length string) and returns a new
 * cbor_val. Array and map heads come back as items carrying their count; the
 * elements, chunks of indefinite strings and closing breaks follow as further
 * items. Tracking nesting is the caller's business.
 *
 * The input is borrowed: the caller keeps it alive and unchanged while the
 * parser is in use. Every read is bounded by the remaining count, so a
 * truncated head or a string longer than the input fails the item (null from
 * cbor_next_val) without reading past the end or allocating for the lie. */
#ifndef CORVANTIS_CBOR_PARSER_H
#define CORVANTIS_CBOR_PARSER_H

#include <stdint.h>

#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

typedef struct cbor_parser {
    const uint8_t *start;  /* first input byte (borrowed) */
    uint64_t length;       /* input bytes at start */
    const uint8_t *cursor; /* next unread byte; only moves forward */
    uint32_t indefinite;   /* 1 after an indefinite-length start, 0 after a break */
} cbor_parser;

typedef struct cbor_val {
    uint8_t initial_byte; /* the item's first byte */
    uint32_t major_type;  /* initial_byte >> 5 */
    union {
        uint64_t u64;   /* major 0: the argument; major 1: its complement (as i64: -1 - arg) */
        int64_t i64;    /* major 1 read as the signed value */
        uint8_t *bytes; /* major 2/3 definite: owned copy (text has a trailing 00) */
        char *text;     /* the same copy, for text strings */
        double f64;     /* F9, FA, FB: the value */
    } value;            /* zero for every other item */
    int64_t length;     /* string bytes, array elements, map pairs; -1 indefinite; else 0 */
} cbor_val;

/* Returns a parser over `length` bytes at `data` (not copied), or null when
 * it cannot be allocated. cbor_parser_free releases the record, never the
 * input; it accepts null. */
CORVANTIS_API cbor_parser *cbor_parser_create(const void *data, uint64_t length);
CORVANTIS_API void cbor_parser_free(cbor_parser *parser);

/* Bytes not yet consumed: length - (cursor - start), computed in 64 bits so
 * inputs of 2^31 bytes and more are served. Never negative (0 for a null
 * parser); clamped to INT64_MAX for a length field no real input can have. */
CORVANTIS_API int64_t cbor_parser_available_bytes(const cbor_parser *parser);

/* The next item, owned by the caller (cbor_val_free), or null at the end of
 * the input, when the item is cut short or lies about its length, or when an
 * allocation fails. After a failed item the cursor stays past the bytes the
 * handler had already consumed (the initial byte, and a string's length
 * bytes). */
CORVANTIS_API cbor_val *cbor_next_val(cbor_parser *parser);

/* cbor_val_create returns a zero-filled record (null when it cannot be
 * allocated). cbor_val_free releases a string copy (major type 2 or 3) and
 * the record; it accepts null. */
CORVANTIS_API cbor_val *cbor_val_create(void);
CORVANTIS_API void cbor_val_free(cbor_val *val);

/* Item handlers, selected by the initial byte through cbor_jump_table. Each
 * is entered with the cursor on the initial byte, fills val, moves the cursor
 * past what it consumes and returns 0, or -1 when the item cannot be read
 * (including when no byte at all remains). */
typedef int32_t (*cbor_parse_fn)(cbor_parser *parser, cbor_val *val);

CORVANTIS_API int32_t cbor_parse_uint_small(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_uint8(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_uint16(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_uint32(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_uint64(cbor_parser *parser, cbor_val *val);

CORVANTIS_API int32_t cbor_parse_negint_small(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_negint8(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_negint16(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_negint32(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_negint64(cbor_parser *parser, cbor_val *val);

CORVANTIS_API int32_t cbor_parse_byte_string_small(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_byte_string_uint8(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_byte_string_uint16(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_byte_string_uint32(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_byte_string_uint64(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_byte_string_indefinite(cbor_parser *parser, cbor_val *val);

CORVANTIS_API int32_t cbor_parse_text_string_small(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_text_string_uint8(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_text_string_uint16(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_text_string_uint32(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_text_string_uint64(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_text_string_indefinite(cbor_parser *parser, cbor_val *val);

CORVANTIS_API int32_t cbor_parse_array_small(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_array_uint8(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_array_uint16(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_array_uint32(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_array_uint64(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_array_indefinite(cbor_parser *parser, cbor_val *val);

CORVANTIS_API int32_t cbor_parse_map_small(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_map_uint8(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_map_uint16(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_map_uint32(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_map_uint64(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_map_indefinite(cbor_parser *parser, cbor_val *val);

CORVANTIS_API int32_t cbor_parse_semantic_tag(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_reserved(cbor_parser *parser, cbor_val *val);
/* Writes "Unimplemented CBOR code: %02x\n" to standard error and succeeds. */
CORVANTIS_API int32_t cbor_parse_unimplemented(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_false(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_true(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_null(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_undefined(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_float16(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_float32(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_float64(cbor_parser *parser, cbor_val *val);
CORVANTIS_API int32_t cbor_parse_break(cbor_parser *parser, cbor_val *val);

/* The dispatch table: handler for each initial byte. */
CORVANTIS_API extern const cbor_parse_fn cbor_jump_table[256];

CORVANTIS_EXTERN_C_END

#endif
