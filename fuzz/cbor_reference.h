// An independent, deliberately plain reading of one CBOR item head, used by
// the harnesses as the oracle the library's parser is compared with.
//
// It follows the library's item table: every initial byte yields an item
// (reserved bytes, tags and simple values included) and only a truncated
// argument, a truncated float or a string longer than the bytes left make
// the item unreadable.
#ifndef CORVANTIS_FUZZ_CBOR_REFERENCE_H
#define CORVANTIS_FUZZ_CBOR_REFERENCE_H

#include <cmath>
#include <cstdint>
#include <cstring>

namespace fuzz {

struct RefItem {
    bool ok = false;           // false: the item cannot be read
    uint8_t initial = 0;
    uint32_t major = 0;
    uint64_t argument = 0;     // the head's argument (integers, counts, lengths)
    bool has_argument = false; // false for reserved bytes, tags, simple values
    bool indefinite = false;   // 5F, 7F, 9F, BF
    bool is_float = false;     // F9, FA, FB
    uint64_t float_bits = 0;   // the double the item decodes to, as bits
    bool float_nan = false;    // a NaN whose payload is not pinned down
    const uint8_t *string = nullptr; // definite strings: their bytes in the input
    uint64_t consumed = 0;     // bytes the item occupies when ok
};

inline uint64_t ref_be(const uint8_t *p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

inline uint64_t ref_double_bits(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// Half precision as RFC 8949 Appendix D decodes it; every NaN payload
// becomes the quiet NaN, which then takes the item's sign like any value.
inline double ref_half(uint16_t h) {
    int e = (h >> 10) & 31;
    int m = h & 0x3FF;
    double v;
    if (e == 0) {
        v = std::ldexp(m, -24);
    } else if (e == 31) {
        if (m != 0) {
            uint64_t qnan = 0x7FF8000000000000ull;
            std::memcpy(&v, &qnan, sizeof v);
        } else {
            v = INFINITY;
        }
    } else {
        v = std::ldexp(m + 1024, e - 25);
    }
    return (h & 0x8000) ? -v : v;
}

inline RefItem ref_item(const uint8_t *p, uint64_t avail) {
    RefItem it;
    if (avail < 1) return it;
    const uint8_t b = p[0];
    it.initial = b;
    it.major = b >> 5;
    const uint8_t info = b & 31;
    uint64_t left = avail - 1;

    if (it.major == 7) {
        unsigned width = b == 0xF9 ? 2 : b == 0xFA ? 4 : b == 0xFB ? 8 : 0;
        if (width == 0) { // simple values, unimplemented codes, reserved, break
            it.ok = true;
            it.consumed = 1;
            return it;
        }
        if (left < width) return it;
        it.is_float = true;
        uint64_t raw = ref_be(p + 1, width);
        double d;
        if (width == 2) {
            d = ref_half(static_cast<uint16_t>(raw));
            it.float_bits = ref_double_bits(d);
        } else if (width == 4) {
            uint32_t s = static_cast<uint32_t>(raw);
            if (s == 0x7FFC0000u) {
                it.float_bits = 0x7FF8000000000000ull;
            } else {
                float f;
                std::memcpy(&f, &s, sizeof f);
                // Converting a signalling NaN may quieten it; only NaN-ness
                // is required of other single NaNs.
                it.float_nan = std::isnan(f);
                it.float_bits = ref_double_bits(static_cast<double>(f));
            }
        } else {
            it.float_bits = raw;
        }
        it.ok = true;
        it.consumed = 1 + width;
        return it;
    }
    if (it.major == 6 || info >= 28) { // tags and reserved heads: one byte
        if (info == 31 && it.major >= 2 && it.major <= 5) {
            it.indefinite = true;
        }
        it.ok = true;
        it.consumed = 1;
        return it;
    }
    unsigned width = info < 24 ? 0 : 1u << (info - 24);
    if (left < width) return it;
    it.argument = width == 0 ? info : ref_be(p + 1, width);
    it.has_argument = true;
    left -= width;
    it.consumed = 1 + width;
    if (it.major == 2 || it.major == 3) {
        if (it.argument > left) return it;
        it.string = p + it.consumed;
        it.consumed += it.argument;
    }
    it.ok = true;
    return it;
}

}  // namespace fuzz

#endif
