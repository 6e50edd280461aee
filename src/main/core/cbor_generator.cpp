#include "cbor_generator.h"

#include <math.h>
#include <string.h>

#include "alloc.h"
#include "cbor_parser.h"

cbor_generator *cbor_generator_create(void) {
    return static_cast<cbor_generator *>(core_calloc(1, sizeof(cbor_generator)));
}

void cbor_generator_free(cbor_generator *gen) {
    if (!gen) return;
    free(gen->output);
    free(gen);
}

/* Appends up to two pieces (an item's head and its payload) with a single
 * realloc to the exact new size. Either everything is appended or nothing:
 * when the block cannot grow, realloc leaves the old block (and so the
 * content) untouched, and no partial item is left behind. */
static int32_t append2(cbor_generator *gen, const void *a, uint64_t na, const void *b, uint64_t nb) {
    if (!gen) return -1;
    if ((na && !a) || (nb && !b)) return -1;
    uint64_t n = na + nb;
    if (n < na) return -1;
    if (n == 0) return 0;
    uint64_t total = gen->length + n;
    if (total < gen->length || total > SIZE_MAX) return -1;
    uint8_t *grown = static_cast<uint8_t *>(core_realloc(gen->output, static_cast<size_t>(total)));
    if (!grown) return -1;
    if (na) memcpy(grown + gen->length, a, static_cast<size_t>(na));
    if (nb) memcpy(grown + gen->length + na, b, static_cast<size_t>(nb));
    gen->output = grown;
    gen->length = total;
    return 0;
}

int32_t _cbor_generator_write_byte(cbor_generator *gen, uint8_t byte) {
    return append2(gen, &byte, 1, nullptr, 0);
}

int32_t _cbor_generator_write_bytes(cbor_generator *gen, const void *src, uint64_t n) {
    return append2(gen, src, n, nullptr, 0);
}

/* Big-endian argument of `width` bytes after the initial byte; returns the
 * head length. */
static unsigned encode_head(uint8_t *head, uint8_t initial, uint64_t v, unsigned width) {
    head[0] = initial;
    for (unsigned i = 0; i < width; ++i) head[1 + i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
    return 1 + width;
}

/* Shortest head for major type `major` and argument v. */
static unsigned shortest_head(uint8_t *head, uint32_t major, uint64_t v) {
    uint8_t type = static_cast<uint8_t>(major << 5);
    if (v <= 23) return encode_head(head, static_cast<uint8_t>(type | v), 0, 0);
    if (v <= 0xFF) return encode_head(head, type | 24, v, 1);
    if (v <= 0xFFFF) return encode_head(head, type | 25, v, 2);
    if (v <= 0xFFFFFFFFu) return encode_head(head, type | 26, v, 4);
    return encode_head(head, type | 27, v, 8);
}

int32_t _cbor_write_uint_helper(cbor_generator *gen, uint32_t major, uint64_t v) {
    uint8_t head[9];
    unsigned n = shortest_head(head, major, v);
    return append2(gen, head, n, nullptr, 0);
}

int32_t _cbor_write_uint_sized(cbor_generator *gen, uint8_t initial, uint64_t v) {
    static const unsigned widths[4] = {1, 2, 4, 8};
    uint8_t head[9];
    unsigned info = initial & 0x1Fu;
    unsigned n;
    if (info >= 24 && info <= 27) n = encode_head(head, initial, v, widths[info - 24]);
    else n = encode_head(head, static_cast<uint8_t>(initial | v), 0, 0);
    return append2(gen, head, n, nullptr, 0);
}

int32_t cbor_write_uint(cbor_generator *gen, uint64_t v) { return _cbor_write_uint_helper(gen, 0, v); }

int32_t cbor_write_negint(cbor_generator *gen, int64_t n) {
    return _cbor_write_uint_helper(gen, 1, ~static_cast<uint64_t>(n));
}

/* Head and bytes go out as one append, so a string is never left behind
 * without its bytes. */
static int32_t write_string(cbor_generator *gen, uint32_t major, const void *data, uint64_t len) {
    if (len == CBOR_INDEFINITE_LENGTH) return _cbor_generator_write_byte(gen, static_cast<uint8_t>((major << 5) | 31));
    uint8_t head[9];
    unsigned n = shortest_head(head, major, len);
    return append2(gen, head, n, data, len);
}

int32_t cbor_write_byte_string(cbor_generator *gen, const void *data, uint64_t len) {
    return write_string(gen, 2, data, len);
}

int32_t cbor_write_text_string(cbor_generator *gen, const void *data, uint64_t len) {
    return write_string(gen, 3, data, len);
}

static int32_t write_container(cbor_generator *gen, uint32_t major, uint64_t count) {
    if (count == CBOR_INDEFINITE_LENGTH) return _cbor_generator_write_byte(gen, static_cast<uint8_t>((major << 5) | 31));
    return _cbor_write_uint_helper(gen, major, count);
}

int32_t cbor_write_array(cbor_generator *gen, uint64_t count) { return write_container(gen, 4, count); }
int32_t cbor_write_map(cbor_generator *gen, uint64_t count) { return write_container(gen, 5, count); }

int32_t cbor_write_break(cbor_generator *gen) { return _cbor_generator_write_byte(gen, 0xFF); }
int32_t cbor_write_false(cbor_generator *gen) { return _cbor_generator_write_byte(gen, 0xF4); }
int32_t cbor_write_true(cbor_generator *gen) { return _cbor_generator_write_byte(gen, 0xF5); }
int32_t cbor_write_null(cbor_generator *gen) { return _cbor_generator_write_byte(gen, 0xF6); }
int32_t cbor_write_undefined(cbor_generator *gen) { return _cbor_generator_write_byte(gen, 0xF7); }

/* ---- floats ------------------------------------------------------------ */

static uint32_t single_bits(double x) {
    /* The conversion rounds to nearest, ties to even, and overflows to an
     * infinity, as IEEE 754 requires of the platform's narrowing. */
    float f = static_cast<float>(x);
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    return bits;
}

static uint64_t double_bits(double x) {
    uint64_t bits;
    memcpy(&bits, &x, sizeof bits);
    return bits;
}

/* Half-precision candidate taken from a single's bits by truncation. Outside
 * the normal half range the exponent wraps and the candidate is wrong; the
 * read-back comparison in cbor_write_float rejects it. */
static uint16_t half_candidate(uint32_t s) {
    uint32_t sign = (s >> 16) & 0x8000u;
    uint32_t e = (s >> 23) & 0xFFu;
    uint32_t m = s & 0x7FFFFFu;
    if (e == 0) return static_cast<uint16_t>(sign | (m >> 13));
    if (e == 255) return static_cast<uint16_t>(m == 0 ? (sign | 0x7C00u) : 0xFC00u);
    return static_cast<uint16_t>(sign | ((((e + 1) % 64) + 15) << 10) | (m >> 13));
}

static int32_t write_sized(cbor_generator *gen, uint8_t initial, uint64_t bits, unsigned width) {
    uint8_t item[9];
    unsigned n = encode_head(item, initial, bits, width);
    return append2(gen, item, n, nullptr, 0);
}

int32_t cbor_write_float32(cbor_generator *gen, double x) {
    return write_sized(gen, 0xFA, single_bits(x), 4) < 0 ? -1 : 1;
}

int32_t cbor_write_float64(cbor_generator *gen, double x) {
    return write_sized(gen, 0xFB, double_bits(x), 8) < 0 ? -1 : 1;
}

/* Reads the next candidate back when it was built; false when it is absent
 * or unreadable. */
static bool read_candidate(cbor_parser *parser, bool present, cbor_val **slot) {
    if (!present || !parser) return false;
    *slot = cbor_next_val(parser);
    return *slot != nullptr;
}

int32_t cbor_write_float(cbor_generator *gen, double x) {
    if (!gen) return -1;
    if (isnan(x)) return write_sized(gen, 0xF9, 0x7E00, 2);
    if (isinf(x)) return write_sized(gen, 0xF9, x > 0 ? 0x7C00 : 0xFC00, 2);

    uint32_t s = single_bits(x);
    uint16_t h = half_candidate(s);

    /* Each width is encoded and decoded by the same code that writes and
     * reads every other item, and the narrowest one that decodes to the same
     * value wins. */
    cbor_generator *scratch = cbor_generator_create();
    bool has_half = scratch && write_sized(scratch, 0xF9, h, 2) == 0;
    bool has_single = scratch && write_sized(scratch, 0xFA, s, 4) == 0;
    bool has_double = scratch && write_sized(scratch, 0xFB, double_bits(x), 8) == 0;

    cbor_parser *parser = scratch ? cbor_parser_create(scratch->output, scratch->length) : nullptr;
    cbor_val *half = nullptr, *single = nullptr, *dbl = nullptr;
    has_half = read_candidate(parser, has_half, &half);
    has_single = read_candidate(parser, has_single, &single);
    has_double = read_candidate(parser, has_double, &dbl);

    int32_t status;
    if (!scratch || !parser) {
        /* Nothing to compare with: the double form is exact by definition. */
        status = write_sized(gen, 0xFB, double_bits(x), 8);
    } else if (!has_double) {
        status = -1;
    } else if (!has_single || dbl->value.f64 != single->value.f64) {
        status = write_sized(gen, 0xFB, double_bits(x), 8);
    } else if (!has_half || single->value.f64 != half->value.f64) {
        status = write_sized(gen, 0xFA, s, 4);
    } else {
        status = write_sized(gen, 0xF9, h, 2);
    }

    cbor_val_free(half);
    cbor_val_free(single);
    cbor_val_free(dbl);
    cbor_parser_free(parser);
    cbor_generator_free(scratch);
    return status < 0 ? -1 : 1;
}
