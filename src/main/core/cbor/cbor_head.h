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

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "base/corvantis_export.h"

/* Initial byte plus an 8-byte argument; also the longest float item (FB). */
#define CBOR_HEAD_MAX_SIZE 9

CORVANTIS_EXTERN_C_BEGIN

/* Major types: the top three bits of an initial byte. */
enum cbor_major {
    CBOR_MAJOR_UNSIGNED = 0,
    CBOR_MAJOR_NEGATIVE = 1,
    CBOR_MAJOR_BYTES = 2,
    CBOR_MAJOR_TEXT = 3,
    CBOR_MAJOR_ARRAY = 4,
    CBOR_MAJOR_MAP = 5,
    CBOR_MAJOR_TAG = 6,
    CBOR_MAJOR_SIMPLE = 7,
};

/* Additional information of an indefinite-length head, and of the break. */
#define CBOR_INFO_INDEFINITE 31

/* Initial bytes that are written whole. */
enum cbor_initial {
    CBOR_INITIAL_ARRAY_INDEFINITE = 0x9F,
    CBOR_INITIAL_MAP_INDEFINITE = 0xBF,
    CBOR_INITIAL_FALSE = 0xF4,
    CBOR_INITIAL_TRUE = 0xF5,
    CBOR_INITIAL_NULL = 0xF6,
    CBOR_INITIAL_UNDEFINED = 0xF7,
    CBOR_INITIAL_HALF = 0xF9,
    CBOR_INITIAL_SINGLE = 0xFA,
    CBOR_INITIAL_DOUBLE = 0xFB,
    CBOR_INITIAL_BREAK = 0xFF,
};

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
CORVANTIS_API uint32_t cbor_head_write_sized(uint8_t *out, uint8_t initial, uint64_t v,
                                             uint32_t width);

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
CORVANTIS_API int32_t cbor_head_read_sized(const uint8_t *data, uint64_t length, uint32_t width,
                                           cbor_head *head);

CORVANTIS_EXTERN_C_END

/* The writers' bodies, inline so that callers on a hot path (the Python
 * encoder writes millions of heads) do not pay a call through the symbol
 * table for a few stores. The exported functions above are these. */

static inline uint32_t _cbor_head_put_sized(uint8_t *out, uint8_t initial, uint64_t v,
                                            uint32_t width) {
    out[0] = initial;
    for (uint32_t i = 0; i < width; ++i) out[1 + i] = (uint8_t)(v >> (8 * (width - 1 - i)));
    return 1 + width;
}

static inline uint32_t _cbor_head_put(uint8_t *out, uint32_t major, uint64_t v) {
    const uint8_t type = (uint8_t)(major << 5);
    if (v <= 23) {
        out[0] = (uint8_t)(type | v);
        return 1;
    }
    if (v <= 0xFF) return _cbor_head_put_sized(out, type | 24, v, 1);
    if (v <= 0xFFFF) return _cbor_head_put_sized(out, type | 25, v, 2);
    if (v <= 0xFFFFFFFFu) return _cbor_head_put_sized(out, type | 26, v, 4);
    return _cbor_head_put_sized(out, type | 27, v, 8);
}

/* The reader's body, inline for the same reason: the CBOR reader behind
 * cbor.loads reads one head per item. cbor_head_read is this. */
static inline int32_t _cbor_head_get(const uint8_t *data, uint64_t length, cbor_head *head) {
    if (length == 0) return -1;
    const uint8_t initial = data[0];
    const uint8_t info = initial & 0x1F;
    const uint32_t width = info < 24 || info > 27 ? 0 : 1u << (info - 24);
    if (length - 1 < width) return -1;
    head->initial = initial;
    head->major = initial >> 5;
    head->info = info;
    const uint8_t *p = data + 1;
    switch (width) {
    case 0: head->argument = info < 24 ? info : 0; break;
    case 1: head->argument = p[0]; break;
    case 2: head->argument = (uint64_t)p[0] << 8 | p[1]; break;
    case 4:
        head->argument = (uint64_t)p[0] << 24 | (uint64_t)p[1] << 16 | (uint64_t)p[2] << 8 | p[3];
        break;
    default:
        head->argument = (uint64_t)p[0] << 56 | (uint64_t)p[1] << 48 | (uint64_t)p[2] << 40 |
                         (uint64_t)p[3] << 32 | (uint64_t)p[4] << 24 | (uint64_t)p[5] << 16 |
                         (uint64_t)p[6] << 8 | p[7];
    }
    return (int32_t)(1 + width);
}

/* The width is decided on the value's bits, never by trial encoding:
 * - double unless narrowing to single and widening back gives x again;
 * - half when the single is a zero, or a normal number whose exponent lies in
 *   half's normal range (single exponent field 113 to 142) and whose low 13
 *   mantissa bits are zero. Half subnormals stay single: their half form
 *   would need shifting the mantissa, which this choice never does. */
static inline uint32_t _cbor_head_put_float(uint8_t *out, double x) {
    if (isnan(x)) return _cbor_head_put_sized(out, 0xF9, 0x7E00, 2);
    if (isinf(x)) return _cbor_head_put_sized(out, 0xF9, x > 0 ? 0x7C00 : 0xFC00, 2);
    /* Narrowing rounds to nearest, ties to even, and overflows to an
     * infinity, which then differs from the finite x. */
    const float f = (float)x;
    if ((double)f != x) {
        uint64_t bits;
        memcpy(&bits, &x, sizeof bits);
        return _cbor_head_put_sized(out, 0xFB, bits, 8);
    }
    uint32_t s;
    memcpy(&s, &f, sizeof s);
    const uint32_t sign = (s >> 16) & 0x8000u;
    const uint32_t e = (s >> 23) & 0xFFu;
    const uint32_t m = s & 0x7FFFFFu;
    if ((s & 0x7FFFFFFFu) == 0) return _cbor_head_put_sized(out, 0xF9, sign, 2);
    if (e >= 113 && e <= 142 && (m & 0x1FFFu) == 0)
        return _cbor_head_put_sized(out, 0xF9, sign | ((e - 112) << 10) | (m >> 13), 2);
    return _cbor_head_put_sized(out, 0xFA, s, 4);
}

#endif
