// The RFC 8949 Appendix A examples this codec can produce, each as its hex and
// the items that write it (generator) or that reading it back yields (parser).
// Floats follow the shortest-width rule; the one difference from the RFC is
// 2^-24, a half subnormal, written as single FA 33 80 00 00 rather than F9 00 01.
#ifndef CORVANTIS_TESTS_CBOR_EXAMPLES_H
#define CORVANTIS_TESTS_CBOR_EXAMPLES_H

#include <stdint.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace cbor_examples {

enum class Op {
    Uint, Negint, Bytes, Text, BytesStart, TextStart, Array, ArrayStart, Map, MapStart,
    Break, False, True, Null, Undefined, Float, Float32, Float64,
};

struct Item {
    Op op;
    uint64_t u = 0;  // Uint argument, or Array/Map count
    int64_t i = 0;   // Negint value
    std::string s{}; // Bytes/Text payload
    double d = 0.0;  // Float value
};

inline Item U(uint64_t v) { return {Op::Uint, v}; }
inline Item N(int64_t v) { return {Op::Negint, 0, v}; }
inline Item B(std::string s) { return {Op::Bytes, 0, 0, std::move(s)}; }
inline Item T(std::string s) { return {Op::Text, 0, 0, std::move(s)}; }
inline Item A(uint64_t n) { return {Op::Array, n}; }
inline Item M(uint64_t n) { return {Op::Map, n}; }
inline Item F(double d) { return {Op::Float, 0, 0, "", d}; }
inline Item F32(double d) { return {Op::Float32, 0, 0, "", d}; }
inline Item F64(double d) { return {Op::Float64, 0, 0, "", d}; }

inline std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;  // spaces are allowed between bytes
        if (hi < 0) hi = v;
        else out.push_back(static_cast<uint8_t>(hi * 16 + v)), hi = -1;
    }
    return out;
}

inline std::string hex(const uint8_t *p, uint64_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint64_t k = 0; k < n; ++k) out += {digits[p[k] >> 4], digits[p[k] & 15]};
    return out;
}
inline std::string hex(const std::string &s) { return hex(reinterpret_cast<const uint8_t *>(s.data()), s.size()); }

// The value of an IEEE 754 bit pattern, from its fields alone: an oracle for
// float encoding and decoding that shares no code with the codec.
inline double ieee_value(uint64_t bits, int exp_bits, int frac_bits) {
    const uint64_t frac = bits & ((uint64_t{1} << frac_bits) - 1);
    const int max_exp = (1 << exp_bits) - 1, bias = max_exp >> 1;
    const int exp = static_cast<int>((bits >> frac_bits) & static_cast<uint64_t>(max_exp));
    double mag;
    if (exp == 0) mag = std::ldexp(static_cast<double>(frac), 1 - bias - frac_bits);
    else if (exp == max_exp) mag = frac ? std::nan("") : std::numeric_limits<double>::infinity();
    else mag = std::ldexp(static_cast<double>(frac | (uint64_t{1} << frac_bits)), exp - bias - frac_bits);
    return (bits >> (exp_bits + frac_bits)) & 1 ? -mag : mag;
}

struct Example {
    const char *hex;
    std::vector<Item> items;
};

inline std::vector<Item> around_one_to_25(std::vector<Item> first, std::vector<Item> last) {
    for (uint64_t k = 1; k <= 25; ++k) first.push_back(U(k));
    first.insert(first.end(), last.begin(), last.end());
    return first;
}

inline const std::vector<Example> &rfc8949_examples() {
    const Item brk{Op::Break}, bs{Op::BytesStart}, ts{Op::TextStart}, as{Op::ArrayStart}, ms{Op::MapStart};
    const double inf = std::numeric_limits<double>::infinity();
    static const std::vector<Example> examples = {
        {"00", {U(0)}}, {"01", {U(1)}}, {"0a", {U(10)}}, {"17", {U(23)}}, {"1818", {U(24)}}, {"1819", {U(25)}},
        {"1864", {U(100)}}, {"1903e8", {U(1000)}}, {"1a000f4240", {U(1000000)}},
        {"1b000000e8d4a51000", {U(1000000000000ull)}}, {"1bffffffffffffffff", {U(UINT64_MAX)}},
        {"20", {N(-1)}}, {"29", {N(-10)}}, {"3863", {N(-100)}}, {"3903e7", {N(-1000)}},
        {"f90000", {F(0.0)}}, {"f98000", {F(-0.0)}}, {"f93c00", {F(1.0)}}, {"fb3ff199999999999a", {F(1.1)}},
        {"f93e00", {F(1.5)}}, {"f97bff", {F(65504.0)}}, {"fa47c35000", {F(100000.0)}},
        {"fa7f7fffff", {F(3.4028234663852886e+38)}}, {"fb7e37e43c8800759c", {F(1.0e+300)}},
        {"fa33800000", {F(5.960464477539063e-8)}}, {"f90400", {F(0.00006103515625)}}, {"f9c400", {F(-4.0)}},
        {"fbc010666666666666", {F(-4.1)}}, {"f97c00", {F(inf)}}, {"f97e00", {F(std::nan(""))}},
        {"f9fc00", {F(-inf)}}, {"fa7f800000", {F32(inf)}}, {"faff800000", {F32(-inf)}},
        {"fb7ff0000000000000", {F64(inf)}}, {"fb7ff8000000000000", {F64(std::nan(""))}},
        {"fbfff0000000000000", {F64(-inf)}},
        {"f4", {{Op::False}}}, {"f5", {{Op::True}}}, {"f6", {{Op::Null}}}, {"f7", {{Op::Undefined}}},
        {"40", {B("")}}, {"4401020304", {B(std::string("\x01\x02\x03\x04", 4))}}, {"60", {T("")}},
        {"6161", {T("a")}}, {"6449455446", {T("IETF")}}, {"62225c", {T("\"\\")}}, {"62c3bc", {T("\xc3\xbc")}},
        {"63e6b0b4", {T("\xe6\xb0\xb4")}}, {"64f0908591", {T("\xf0\x90\x85\x91")}},
        {"80", {A(0)}}, {"a0", {M(0)}},
        {"83010203", {A(3), U(1), U(2), U(3)}},
        {"8301820203820405", {A(3), U(1), A(2), U(2), U(3), A(2), U(4), U(5)}},
        {"98190102030405060708090a0b0c0d0e0f101112131415161718181819", around_one_to_25({A(25)}, {})},
        {"a201020304", {M(2), U(1), U(2), U(3), U(4)}},
        {"a26161016162820203", {M(2), T("a"), U(1), T("b"), A(2), U(2), U(3)}},
        {"826161a161626163", {A(2), T("a"), M(1), T("b"), T("c")}},
        {"a56161614161626142616361436164614461656145",
         {M(5), T("a"), T("A"), T("b"), T("B"), T("c"), T("C"), T("d"), T("D"), T("e"), T("E")}},
        {"5f42010243030405ff", {bs, B("\x01\x02"), B("\x03\x04\x05"), brk}},
        {"7f657374726561646d696e67ff", {ts, T("strea"), T("ming"), brk}}, {"9fff", {as, brk}},
        {"9f018202039f0405ffff", {as, U(1), A(2), U(2), U(3), as, U(4), U(5), brk, brk}},
        {"9f01820203820405ff", {as, U(1), A(2), U(2), U(3), A(2), U(4), U(5), brk}},
        {"83018202039f0405ff", {A(3), U(1), A(2), U(2), U(3), as, U(4), U(5), brk}},
        {"83019f0203ff820405", {A(3), U(1), as, U(2), U(3), brk, A(2), U(4), U(5)}},
        {"9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff", around_one_to_25({as}, {brk})},
        {"bf61610161629f0203ffff", {ms, T("a"), U(1), T("b"), as, U(2), U(3), brk, brk}},
        {"826161bf61626163ff", {A(2), T("a"), ms, T("b"), T("c"), brk}},
        {"bf6346756ef563416d7421ff", {ms, T("Fun"), {Op::True}, T("Amt"), N(-2), brk}},
    };
    return examples;
}

}  // namespace cbor_examples

#endif
