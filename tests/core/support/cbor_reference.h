// A CBOR item head read apart from the library's parser. Every initial byte is an item (reserved,
// tag, simple: one byte); only a truncated argument or float, or an overlong string, is unreadable.
#ifndef CORVANTIS_TESTS_CBOR_REFERENCE_H
#define CORVANTIS_TESTS_CBOR_REFERENCE_H

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace cbor_ref {

struct Item {
    bool ok = false; // false: the item cannot be read
    uint8_t initial = 0;
    unsigned major = 0;
    bool has_argument = false;       // false for reserved heads, tags, indefinite starts, major 7
    bool indefinite = false;         // 5F, 7F, 9F, BF
    uint64_t argument = 0;           // integers, counts, string lengths
    bool is_float = false;           // F9, FA, FB
    uint64_t float_bits = 0;         // the double the item must read as
    bool float_nan = false;          // a single NaN: only NaN-ness is required
    const uint8_t *string = nullptr; // definite strings: their bytes in the input
    uint64_t consumed = 0;           // bytes the item occupies
};

inline uint64_t bits_of(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// The value of an IEEE 754 bit pattern, from its fields alone.
inline double ieee_value(uint64_t bits, int exp_bits, int frac_bits) {
    const uint64_t frac = bits & ((uint64_t{1} << frac_bits) - 1);
    const int max_exp = (1 << exp_bits) - 1, bias = max_exp >> 1;
    const int exp = static_cast<int>((bits >> frac_bits) & static_cast<uint64_t>(max_exp));
    double mag;
    if (exp == 0)
        mag = std::ldexp(static_cast<double>(frac), 1 - bias - frac_bits);
    else if (exp == max_exp)
        mag = frac ? std::nan("") : std::numeric_limits<double>::infinity();
    else
        mag = std::ldexp(static_cast<double>(frac | (uint64_t{1} << frac_bits)),
                         exp - bias - frac_bits);
    return (bits >> (exp_bits + frac_bits)) & 1 ? -mag : mag;
}

// The width the shortest-float rule must choose, from the value alone: a half holds 11 significant
// bits over exponents -14..15, else a float if the narrowing is exact, else a double.
inline uint64_t shortest_float_size(double x) {
    const double a = std::fabs(x);
    if (!std::isfinite(x) || x == 0.0) return 3;
    const double significand = std::ldexp(a, 10 - std::ilogb(a));
    if (a >= 0x1p-14 && a <= 65504.0 && significand == std::floor(significand)) return 3;
    return a <= 3.4028234663852886e38 && static_cast<double>(static_cast<float>(x)) == x ? 5 : 9;
}

inline Item read(const uint8_t *p, uint64_t avail) {
    Item it;
    if (avail < 1) return it;
    it.initial = p[0];
    it.major = p[0] >> 5;
    const unsigned info = p[0] & 31;
    unsigned width = 0;
    if (p[0] >= 0xF9 && p[0] <= 0xFB)
        width = 2u << (p[0] - 0xF9);
    else if (it.major != 7 && it.major != 6 && info >= 24 && info <= 27)
        width = 1u << (info - 24);
    if (avail - 1 < width) return it;
    uint64_t arg = info < 24 ? info : 0;
    for (unsigned k = 1; k <= width; ++k) arg = arg << 8 | p[k];
    it.consumed = 1 + width;
    it.is_float = width > 0 && it.major == 7;
    if (it.is_float) {
        const int exp_bits = width == 2 ? 5 : width == 4 ? 8 : 11;
        const double d = width == 8 ? 0.0 : ieee_value(arg, exp_bits, 8 * width - 1 - exp_bits);
        it.float_bits = width == 8 ? arg : bits_of(d);
        if (width == 2 && std::isnan(d))
            it.float_bits = 0x7FF8000000000000ull | (arg & 0x8000) << 48;
        it.float_nan = width == 4 && std::isnan(d);
    } else if (it.major < 6 && info < 28) {
        it.has_argument = true;
        it.argument = arg;
    }
    it.indefinite = info == 31 && it.major >= 2 && it.major <= 5;
    if (it.has_argument && (it.major == 2 || it.major == 3)) {
        if (arg > avail - it.consumed) return it;
        it.string = p + it.consumed;
        it.consumed += arg;
    }
    it.ok = true;
    return it;
}

inline std::string hex(const uint8_t *p, uint64_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint64_t k = 0; k < n; ++k) out += {digits[p[k] >> 4], digits[p[k] & 15]};
    return out;
}

// Hex digits in either case; anything else (spaces) is skipped.
inline std::vector<uint8_t> from_hex(const std::string &text) {
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    std::vector<uint8_t> out;
    for (size_t k = 0; k + 1 < digits.size(); k += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(k, 2), nullptr, 16)));
    return out;
}

} // namespace cbor_ref

#endif
