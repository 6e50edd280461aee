#include "cbor/cbor_generator.h"

#include <math.h>
#include <string.h>

#include "base/alloc.h"
#include "cbor/cbor_head.h"

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
static int32_t append2(cbor_generator *gen, const void *a, uint64_t na, const void *b,
                       uint64_t nb) {
    if (!gen) return -1;
    if ((na && !a) || (nb && !b)) return -1;
    uint64_t n = na + nb;
    if (n < na) return -1;
    if (n == 0) return 0;
    uint64_t total = gen->length + n;
    if (total < n) return -1;
    uint8_t *grown = static_cast<uint8_t *>(core_realloc64(gen->output, total));
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

int32_t _cbor_write_uint_helper(cbor_generator *gen, uint32_t major, uint64_t v) {
    uint8_t head[CBOR_HEAD_MAX_SIZE];
    return append2(gen, head, cbor_head_write(head, major, v), nullptr, 0);
}

int32_t _cbor_write_uint_sized(cbor_generator *gen, uint8_t initial, uint64_t v) {
    static const uint32_t widths[] = {1, 2, 4, 8};
    uint8_t head[CBOR_HEAD_MAX_SIZE];
    const unsigned info = initial & 0x1Fu;
    const uint32_t n = info >= 24 && info <= 27
                           ? cbor_head_write_sized(head, initial, v, widths[info - 24])
                           : cbor_head_write_sized(head, static_cast<uint8_t>(initial | v), 0, 0);
    return append2(gen, head, n, nullptr, 0);
}

int32_t cbor_write_uint(cbor_generator *gen, uint64_t v) {
    return _cbor_write_uint_helper(gen, CBOR_MAJOR_UNSIGNED, v);
}

int32_t cbor_write_negint(cbor_generator *gen, int64_t n) {
    return _cbor_write_uint_helper(gen, CBOR_MAJOR_NEGATIVE, ~static_cast<uint64_t>(n));
}

/* Head and bytes go out as one append, so a string is never left behind
 * without its bytes. */
static int32_t write_string(cbor_generator *gen, uint32_t major, const void *data, uint64_t len) {
    if (len == CBOR_INDEFINITE_LENGTH)
        return _cbor_generator_write_byte(
            gen, static_cast<uint8_t>((major << 5) | CBOR_INFO_INDEFINITE));
    uint8_t head[CBOR_HEAD_MAX_SIZE];
    return append2(gen, head, cbor_head_write(head, major, len), data, len);
}

int32_t cbor_write_byte_string(cbor_generator *gen, const void *data, uint64_t len) {
    return write_string(gen, CBOR_MAJOR_BYTES, data, len);
}

int32_t cbor_write_text_string(cbor_generator *gen, const void *data, uint64_t len) {
    return write_string(gen, CBOR_MAJOR_TEXT, data, len);
}

static int32_t write_container(cbor_generator *gen, uint32_t major, uint64_t count) {
    if (count == CBOR_INDEFINITE_LENGTH)
        return _cbor_generator_write_byte(
            gen, static_cast<uint8_t>((major << 5) | CBOR_INFO_INDEFINITE));
    return _cbor_write_uint_helper(gen, major, count);
}

int32_t cbor_write_array(cbor_generator *gen, uint64_t count) {
    return write_container(gen, CBOR_MAJOR_ARRAY, count);
}
int32_t cbor_write_map(cbor_generator *gen, uint64_t count) {
    return write_container(gen, CBOR_MAJOR_MAP, count);
}

int32_t cbor_write_break(cbor_generator *gen) {
    return _cbor_generator_write_byte(gen, CBOR_INITIAL_BREAK);
}
int32_t cbor_write_false(cbor_generator *gen) {
    return _cbor_generator_write_byte(gen, CBOR_INITIAL_FALSE);
}
int32_t cbor_write_true(cbor_generator *gen) {
    return _cbor_generator_write_byte(gen, CBOR_INITIAL_TRUE);
}
int32_t cbor_write_null(cbor_generator *gen) {
    return _cbor_generator_write_byte(gen, CBOR_INITIAL_NULL);
}
int32_t cbor_write_undefined(cbor_generator *gen) {
    return _cbor_generator_write_byte(gen, CBOR_INITIAL_UNDEFINED);
}

/* ---- floats ------------------------------------------------------------ */

static int32_t write_sized(cbor_generator *gen, uint8_t initial, uint64_t bits, uint32_t width) {
    uint8_t item[CBOR_HEAD_MAX_SIZE];
    return append2(gen, item, cbor_head_write_sized(item, initial, bits, width), nullptr, 0);
}

int32_t cbor_write_float32(cbor_generator *gen, double x) {
    /* The conversion rounds to nearest, ties to even, and overflows to an
     * infinity, as IEEE 754 requires of the platform's narrowing. */
    const float f = static_cast<float>(x);
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    return write_sized(gen, 0xFA, bits, 4) < 0 ? -1 : 1;
}

int32_t cbor_write_float64(cbor_generator *gen, double x) {
    uint64_t bits;
    memcpy(&bits, &x, sizeof bits);
    return write_sized(gen, CBOR_INITIAL_DOUBLE, bits, 8) < 0 ? -1 : 1;
}

int32_t cbor_write_float(cbor_generator *gen, double x) {
    uint8_t item[CBOR_HEAD_MAX_SIZE];
    const uint32_t n = cbor_head_write_float(item, x);
    if (append2(gen, item, n, nullptr, 0) < 0) return -1;
    return isnan(x) || isinf(x) ? 0 : 1;
}
