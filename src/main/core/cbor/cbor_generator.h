/* cbor_generator: writes CBOR (RFC 8949) items into memory, one head, payload
 * or marker per call.
 *
 * The generator is a plain appender: the caller issues items in document
 * order and owns the nesting (a definite container's count, or an
 * indefinite-length start that the caller later closes with a break).
 * Integer and length arguments always take the shortest head; floats take the
 * shortest of half, single and double precision that gives the value back
 * exactly.
 *
 * `output` is always exactly `length` bytes long (every append reallocates it
 * to the new size). When done writing, read both fields directly, copy the
 * bytes out, then release the record with cbor_generator_free.
 *
 * Status codes: every writer returns -1 on failure (null generator, or the
 * block cannot grow). A failed write leaves the generator exactly as it was
 * before the call: no partial item is ever left behind, and the generator
 * stays usable. Success is 0, except for cbor_write_float32/float64 (1) and
 * cbor_write_float (1 for a finite value, 0 for NaN or an infinity). */
#ifndef CORVANTIS_CBOR_GENERATOR_H
#define CORVANTIS_CBOR_GENERATOR_H

#include <stdint.h>

#include "base/corvantis_export.h"

/* Length or count that selects the indefinite-length form (5F, 7F, 9F, BF). */
#define CBOR_INDEFINITE_LENGTH UINT64_MAX

CORVANTIS_EXTERN_C_BEGIN

typedef struct cbor_generator {
    uint8_t *output; /* the bytes written so far; null while nothing is written */
    uint64_t length; /* number of bytes at output */
} cbor_generator;

/* Returns a new empty generator, or null when it cannot be allocated.
 * cbor_generator_free releases the block and the record; it accepts null. */
CORVANTIS_API cbor_generator *cbor_generator_create(void);
CORVANTIS_API void cbor_generator_free(cbor_generator *gen);

/* Raw appends: 0, or -1 for a null generator or when the block cannot grow
 * (the content is then unchanged). A null `src` is refused when n > 0. */
CORVANTIS_API int32_t _cbor_generator_write_byte(cbor_generator *gen, uint8_t byte);
CORVANTIS_API int32_t _cbor_generator_write_bytes(cbor_generator *gen, const void *src, uint64_t n);

/* Writes the shortest head of major type `major` (0 to 7; only
 * (major << 5) & 0xFF is used) with argument v. */
CORVANTIS_API int32_t _cbor_write_uint_helper(cbor_generator *gen, uint32_t major, uint64_t v);

/* Writes a head whose width the caller chooses: when the low 5 bits of
 * `initial` are 24, 25, 26 or 27, `initial` followed by the low 1, 2, 4 or 8
 * bytes of v (most significant first); otherwise the single byte
 * (initial | v) & 0xFF. */
CORVANTIS_API int32_t _cbor_write_uint_sized(cbor_generator *gen, uint8_t initial, uint64_t v);

/* Major type 0 with argument v. */
CORVANTIS_API int32_t cbor_write_uint(cbor_generator *gen, uint64_t v);
/* n is the negative value itself (n < 0); writes major type 1 with argument
 * ~n, that is -1 - n. */
CORVANTIS_API int32_t cbor_write_negint(cbor_generator *gen, int64_t n);

/* A definite string: head with argument len, then len bytes from data, as one
 * append. len == CBOR_INDEFINITE_LENGTH writes only the indefinite-length
 * start (5F or 7F) and reads nothing from data; the caller writes the chunks
 * and the closing break. Text bytes are not checked for UTF-8. */
CORVANTIS_API int32_t cbor_write_byte_string(cbor_generator *gen, const void *data, uint64_t len);
CORVANTIS_API int32_t cbor_write_text_string(cbor_generator *gen, const void *data, uint64_t len);

/* Container heads: count elements (array) or key/value pairs (map);
 * CBOR_INDEFINITE_LENGTH writes 9F or BF. */
CORVANTIS_API int32_t cbor_write_array(cbor_generator *gen, uint64_t count);
CORVANTIS_API int32_t cbor_write_map(cbor_generator *gen, uint64_t count);

/* Single-byte items: FF, F4, F5, F6, F7. */
CORVANTIS_API int32_t cbor_write_break(cbor_generator *gen);
CORVANTIS_API int32_t cbor_write_false(cbor_generator *gen);
CORVANTIS_API int32_t cbor_write_true(cbor_generator *gen);
CORVANTIS_API int32_t cbor_write_null(cbor_generator *gen);
CORVANTIS_API int32_t cbor_write_undefined(cbor_generator *gen);

/* FA and x rounded to single precision (nearest, ties to even; beyond the
 * single range an infinity). Returns 1, or -1. */
CORVANTIS_API int32_t cbor_write_float32(cbor_generator *gen, double x);
/* FB and the 8 bytes of x. Returns 1, or -1. */
CORVANTIS_API int32_t cbor_write_float64(cbor_generator *gen, double x);
/* x in the shortest of F9/FA/FB that gives back exactly x (sign of zero
 * included). Every NaN is written as F9 7E 00, the infinities as F9 7C 00 and
 * F9 FC 00; those return 0, a finite value 1, a failure -1. */
CORVANTIS_API int32_t cbor_write_float(cbor_generator *gen, double x);

CORVANTIS_EXTERN_C_END

#endif
