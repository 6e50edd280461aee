#include "cbor/cbor_head.h"

uint32_t cbor_head_size(uint64_t v) {
    if (v <= 23) return 1;
    if (v <= 0xFF) return 2;
    if (v <= 0xFFFF) return 3;
    if (v <= 0xFFFFFFFFu) return 5;
    return 9;
}

uint32_t cbor_head_write_sized(uint8_t *out, uint8_t initial, uint64_t v, uint32_t width) {
    return _cbor_head_put_sized(out, initial, v, width);
}

uint32_t cbor_head_write(uint8_t *out, uint32_t major, uint64_t v) {
    return _cbor_head_put(out, major, v);
}

uint32_t cbor_head_write_float(uint8_t *out, double x) { return _cbor_head_put_float(out, x); }

int32_t cbor_head_read_sized(const uint8_t *data, uint64_t length, uint32_t width,
                             cbor_head *head) {
    if (length <= width) return -1; /* the initial byte and width more */
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
    return _cbor_head_get(data, length, head);
}
