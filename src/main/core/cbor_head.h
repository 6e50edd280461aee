/* cbor_head: the one place that turns a CBOR head (major type and argument)
 * into bytes and back, and picks a float's shortest width.
 *
 * Nothing here allocates: writers fill caller memory of at least
 * CBOR_HEAD_MAX_SIZE bytes and return how many they used; the reader looks at
 * caller bytes and reports what it found. The generator, the parser, the edit
 * script, the delta writers and applier and the Python encoder all encode and
 * decode heads through these functions, so head widths are decided once. */
#ifndef CORVANTIS_CBOR_HEAD_H
#define CORVANTIS_CBOR_HEAD_H

#include <stdint.h>

#include "corvantis_export.h"

/* Initial byte plus an 8-byte argument; also the longest float item (FB). */
#define CBOR_HEAD_MAX_SIZE 9

CORVANTIS_EXTERN_C_BEGIN

typedef struct cbor_head {
    uint8_t initial;   /* the head's first byte */
    uint8_t major;     /* initial >> 5 */
    uint8_t info;      /* initial & 0x1F; 28 to 31 carry no argument */
    uint64_t argument; /* info below 24: info; 24 to 27: the bytes that follow; else 0 */
} cbor_head;

/* Bytes of the shortest head for argument v: 1, 2, 3, 5 or 9. */
CORVANTIS_API uint32_t cbor_head_size(uint64_t v);

/* Writes the shortest head of major type `major` (only (major << 5) & 0xFF is
 * used) with argument v into out; returns its length (cbor_head_size(v)). */
CORVANTIS_API uint32_t cbor_head_write(uint8_t *out, uint32_t major, uint64_t v);

/* Writes `initial` and then the low `width` bytes of v, most significant
 * first (width 0, 1, 2, 4 or 8 as the caller chooses); returns 1 + width. */
CORVANTIS_API uint32_t cbor_head_write_sized(uint8_t *out, uint8_t initial, uint64_t v, uint32_t width);

/* Writes x as one float item in the shortest of F9, FA, FB that gives back
 * exactly x (sign of zero included); every NaN is F9 7E 00 and the
 * infinities F9 7C 00 and F9 FC 00. Returns 3, 5 or 9. */
CORVANTIS_API uint32_t cbor_head_write_float(uint8_t *out, double x);

/* Reads the head at data[0..length): returns the bytes it takes (1 for info
 * 28 to 31, whose argument is 0), or -1 when length is 0 or the argument is
 * cut short. */
CORVANTIS_API int32_t cbor_head_read(const uint8_t *data, uint64_t length, cbor_head *head);

/* Reads an initial byte and a `width`-byte big-endian argument (width 0, 1,
 * 2, 4 or 8 as the caller chooses, whatever the initial byte says); returns
 * 1 + width, or -1 when fewer bytes than that are at data. */
CORVANTIS_API int32_t cbor_head_read_sized(const uint8_t *data, uint64_t length, uint32_t width, cbor_head *head);

CORVANTIS_EXTERN_C_END

#endif
