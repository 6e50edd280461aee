#include "cbor_head.h"

#include <math.h>
#include <string.h>

uint32_t cbor_head_size(uint64_t v) {
    if (v <= 23) return 1;
    if (v <= 0xFF) return 2;
    if (v <= 0xFFFF) return 3;
    if (v <= 0xFFFFFFFFu) return 5;
    return 9;
}

uint32_t cbor_head_write_sized(uint8_t *out, uint8_t initial, uint64_t v, uint32_t width) {
    out[0] = initial;
    for (uint32_t i = 0; i < width; ++i) out[1 + i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
    return 1 + width;
}

uint32_t cbor_head_write(uint8_t *out, uint32_t major, uint64_t v) {
    const uint8_t type = static_cast<uint8_t>(major << 5);
    if (v <= 23) {
        out[0] = static_cast<uint8_t>(type | v);
        return 1;
    }
    if (v <= 0xFF) return cbor_head_write_sized(out, type | 24, v, 1);
    if (v <= 0xFFFF) return cbor_head_write_sized(out, type | 25, v, 2);
    if (v <= 0xFFFFFFFFu) return cbor_head_write_sized(out, type | 26, v, 4);
    return cbor_head_write_sized(out, type | 27, v, 8);
}

/* The width is decided on the value's bits, never by trial encoding:
 * - double unless narrowing to single and widening back gives x again;
 * - half when the single is a zero, or a normal number whose exponent lies in
 *   half's normal range (single exponent field 113 to 142) and whose low 13
 *   mantissa bits are zero. Half subnormals stay single: their half form
 *   would need shifting the mantissa, which this choice never does. */
uint32_t cbor_head_write_float(uint8_t *out, double x) {
    if (isnan(x)) return cbor_head_write_sized(out, 0xF9, 0x7E00, 2);
    if (isinf(x)) return cbor_head_write_sized(out, 0xF9, x > 0 ? 0x7C00 : 0xFC00, 2);
    /* Narrowing rounds to nearest, ties to even, and overflows to an
     * infinity, which then differs from the finite x. */
    const float f = static_cast<float>(x);
    if (static_cast<double>(f) != x) {
        uint64_t bits;
        memcpy(&bits, &x, sizeof bits);
        return cbor_head_write_sized(out, 0xFB, bits, 8);
    }
    uint32_t s;
    memcpy(&s, &f, sizeof s);
    const uint32_t sign = (s >> 16) & 0x8000u;
    const uint32_t e = (s >> 23) & 0xFFu;
    const uint32_t m = s & 0x7FFFFFu;
    if ((s & 0x7FFFFFFFu) == 0) return cbor_head_write_sized(out, 0xF9, sign, 2);
    if (e >= 113 && e <= 142 && (m & 0x1FFFu) == 0)
        return cbor_head_write_sized(out, 0xF9, sign | ((e - 112) << 10) | (m >> 13), 2);
    return cbor_head_write_sized(out, 0xFA, s, 4);
}

int32_t cbor_head_read_sized(const uint8_t *data, uint64_t length, uint32_t width, cbor_head *head) {
    if (length == 0 || length - 1 < width) return -1;
    const uint8_t initial = data[0];
    head->initial = initial;
    head->major = initial >> 5;
    head->info = initial & 0x1F;
    uint64_t v = 0;
    for (uint32_t i = 0; i < width; ++i) v = (v << 8) | data[1 + i];
    head->argument = v;
    return static_cast<int32_t>(1 + width);
}

int32_t cbor_head_read(const uint8_t *data, uint64_t length, cbor_head *head) {
    if (length == 0) return -1;
    const uint8_t info = data[0] & 0x1F;
    if (info < 24) {
        const int32_t n = cbor_head_read_sized(data, length, 0, head);
        head->argument = info;
        return n;
    }
    return cbor_head_read_sized(data, length, info > 27 ? 0 : 1u << (info - 24), head);
}
