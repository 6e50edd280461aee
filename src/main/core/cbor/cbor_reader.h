/* cbor_reader: walks one CBOR (RFC 8949) data item and reports its parts, in
 * order, to a builder; finds every well-formedness error on the way.
 *
 * The reader keeps no state between calls and allocates nothing per item:
 * strings are reported as pointers into the input. Open containers, tags and
 * indefinite-length strings live on an explicit stack (on the heap past a
 * few dozen levels), so the nesting depth costs memory, never C stack, and
 * time stays linear in the input. Declared lengths are checked against the
 * bytes left before they are reported (every item takes at least a byte, and
 * the items the enclosing containers still need are counted too), so a
 * builder that sizes containers from their counts never holds more slots in
 * all than the input could fill.
 *
 * Events, each carrying the byte offset of its head:
 * - UNSIGNED / NEGATIVE: an integer; `argument` is n (the value is n, or -1 - n);
 * - BYTES / TEXT: a definite string (`data`, `argument` bytes; text is valid
 *   UTF-8 and `ascii` says whether every byte is below 0x80); inside an
 *   indefinite-length string these are its chunks;
 * - BYTES_START / TEXT_START: an indefinite-length string, closed by END;
 * - ARRAY_START / MAP_START: `argument` elements or pairs, or `indefinite`;
 *   closed by END after the last element (at once for a count of 0);
 * - TAG: tag number `argument`; END follows its one enclosed item;
 * - FLOAT: `number`, exact (half and single widened bit for bit, NaN
 *   payloads kept);
 * - SIMPLE: simple value `argument` (20 false, 21 true, 22 null, 23 undefined).
 *
 * max_depth limits the nesting of arrays and maps as dumps does: 0 sets no
 * limit; otherwise the elements of the top-level container are at level 1
 * and an item deeper than max_depth fails. Tags add no level. */
#ifndef CORVANTIS_CBOR_READER_H
#define CORVANTIS_CBOR_READER_H

#include <stdint.h>
#include <string.h>

#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

typedef enum cbor_reader_status {
    CBOR_READER_OK = 0,
    CBOR_READER_TRUNCATED,       /* an item, or the rest of a container, is missing */
    CBOR_READER_RESERVED_INFO,   /* additional information 28, 29 or 30 */
    CBOR_READER_MISPLACED_BREAK, /* FF outside an indefinite-length item, or in place of a map value
                                  */
    CBOR_READER_INDEFINITE_ITEM, /* indefinite length on an integer, a tag or a simple value */
    CBOR_READER_BAD_CHUNK,  /* not a definite string of the same type inside an indefinite string */
    CBOR_READER_BAD_SIMPLE, /* two-byte simple value below 32 */
    CBOR_READER_INVALID_UTF8, /* text that is not valid UTF-8 (overlongs and surrogates included) */
    CBOR_READER_TRAILING_BYTES, /* bytes after the item */
    CBOR_READER_TOO_DEEP,       /* nesting beyond max_depth */
    CBOR_READER_NO_MEMORY,      /* the nesting stack could not grow */
    CBOR_READER_STOPPED         /* the builder asked to stop */
} cbor_reader_status;

typedef enum cbor_reader_kind {
    CBOR_READER_UNSIGNED,
    CBOR_READER_NEGATIVE,
    CBOR_READER_BYTES,
    CBOR_READER_TEXT,
    CBOR_READER_BYTES_START,
    CBOR_READER_TEXT_START,
    CBOR_READER_ARRAY_START,
    CBOR_READER_MAP_START,
    CBOR_READER_TAG,
    CBOR_READER_FLOAT,
    CBOR_READER_SIMPLE,
    CBOR_READER_END
} cbor_reader_kind;

typedef struct cbor_reader_event {
    cbor_reader_kind kind;
    uint8_t indefinite;  /* ARRAY_START, MAP_START: no count, closed by a break */
    uint8_t ascii;       /* TEXT: every byte below 0x80 */
    uint64_t argument;   /* see the kinds above; 0 for FLOAT and END */
    double number;       /* FLOAT */
    const uint8_t *data; /* BYTES, TEXT: the string's bytes in the input */
    uint64_t offset; /* byte offset of the item's head (of the break or last byte read for END) */
} cbor_reader_event;

/* Return 0 to go on, anything else to stop the walk (CBOR_READER_STOPPED). */
typedef int (*cbor_reader_callback)(void *context, const cbor_reader_event *event);

/* Walks the one item that must fill data[0..size), calling `callback` for
 * each event. Returns the status; *offset (when not null) receives the byte
 * offset the status refers to (size for OK). */
CORVANTIS_API cbor_reader_status cbor_reader_walk(const uint8_t *data, uint64_t size,
                                                  uint64_t max_depth, cbor_reader_callback callback,
                                                  void *context, uint64_t *offset);

/* A short English description of a status, e.g. "truncated input". */
CORVANTIS_API const char *cbor_reader_status_text(cbor_reader_status status);

/* 1 when data[0..size) is ASCII, 0 when it is other valid UTF-8 (no
 * overlongs, no surrogates, nothing past U+10FFFF), -1 otherwise. */
CORVANTIS_API int32_t cbor_reader_utf8_check(const uint8_t *data, uint64_t size);

CORVANTIS_EXTERN_C_END

#endif
