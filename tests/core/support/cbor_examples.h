// The encoding examples of RFC 8949 Appendix A that this codec can produce,
// each as the hex of the encoding and the sequence of items that writes it
// (generator tests) or that reading it back yields (parser tests).
//
// Floats follow this codec's shortest-width rule; the one difference from the
// RFC's table is 5.960464477539063e-8 (2^-24), a half-precision subnormal,
// which is written as a single (FA 33 80 00 00) rather than as F9 00 01.
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
    explicit Item(Op o) : op(o) {}
    Op op;
    uint64_t u = 0;      // Uint argument, or Array/Map count
    int64_t i = 0;       // Negint value
    std::string s;       // Bytes/Text payload
    double d = 0.0;      // Float value
};

inline Item U(uint64_t v) { Item it(Op::Uint); it.u = v; return it; }
inline Item N(int64_t v) { Item it(Op::Negint); it.i = v; return it; }
inline Item B(std::string s) { Item it(Op::Bytes); it.s = std::move(s); return it; }
inline Item T(std::string s) { Item it(Op::Text); it.s = std::move(s); return it; }
inline Item A(uint64_t n) { Item it(Op::Array); it.u = n; return it; }
inline Item M(uint64_t n) { Item it(Op::Map); it.u = n; return it; }
inline Item F(double d) { Item it(Op::Float); it.d = d; return it; }
inline Item F32(double d) { Item it(Op::Float32); it.d = d; return it; }
inline Item F64(double d) { Item it(Op::Float64); it.d = d; return it; }
inline Item Simple(Op op) { return Item(op); }

struct Example {
    const char *name;
    const char *hex;
    std::vector<Item> items;
};

inline std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;  // spaces are allowed between bytes
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi * 16 + v));
            hi = -1;
        }
    }
    return out;
}

inline std::vector<Item> one_to(uint64_t n) {
    std::vector<Item> items;
    for (uint64_t k = 1; k <= n; ++k) items.push_back(U(k));
    return items;
}

inline std::vector<Item> concat(std::vector<std::vector<Item>> parts) {
    std::vector<Item> out;
    for (auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline const std::vector<Example> &rfc8949_examples() {
    const Item brk = Simple(Op::Break);
    const double inf = std::numeric_limits<double>::infinity();
    static const std::vector<Example> examples = {
        {"uint_0", "00", {U(0)}},
        {"uint_1", "01", {U(1)}},
        {"uint_10", "0a", {U(10)}},
        {"uint_23", "17", {U(23)}},
        {"uint_24", "1818", {U(24)}},
        {"uint_25", "1819", {U(25)}},
        {"uint_100", "1864", {U(100)}},
        {"uint_1000", "1903e8", {U(1000)}},
        {"uint_1000000", "1a000f4240", {U(1000000)}},
        {"uint_1e12", "1b000000e8d4a51000", {U(1000000000000ull)}},
        {"uint_max", "1bffffffffffffffff", {U(UINT64_MAX)}},
        {"negint_1", "20", {N(-1)}},
        {"negint_10", "29", {N(-10)}},
        {"negint_100", "3863", {N(-100)}},
        {"negint_1000", "3903e7", {N(-1000)}},
        {"float_0", "f90000", {F(0.0)}},
        {"float_neg0", "f98000", {F(-0.0)}},
        {"float_1", "f93c00", {F(1.0)}},
        {"float_1_1", "fb3ff199999999999a", {F(1.1)}},
        {"float_1_5", "f93e00", {F(1.5)}},
        {"float_65504", "f97bff", {F(65504.0)}},
        {"float_100000", "fa47c35000", {F(100000.0)}},
        {"float_max_single", "fa7f7fffff", {F(3.4028234663852886e+38)}},
        {"float_1e300", "fb7e37e43c8800759c", {F(1.0e+300)}},
        {"float_2pow_minus24", "fa33800000", {F(5.960464477539063e-8)}},
        {"float_2pow_minus14", "f90400", {F(0.00006103515625)}},
        {"float_minus4", "f9c400", {F(-4.0)}},
        {"float_minus4_1", "fbc010666666666666", {F(-4.1)}},
        {"float_inf", "f97c00", {F(inf)}},
        {"float_nan", "f97e00", {F(std::nan(""))}},
        {"float_minus_inf", "f9fc00", {F(-inf)}},
        {"float32_inf", "fa7f800000", {F32(inf)}},
        {"float32_minus_inf", "faff800000", {F32(-inf)}},
        {"float64_inf", "fb7ff0000000000000", {F64(inf)}},
        {"float64_nan", "fb7ff8000000000000", {F64(std::nan(""))}},
        {"float64_minus_inf", "fbfff0000000000000", {F64(-inf)}},
        {"false", "f4", {Simple(Op::False)}},
        {"true", "f5", {Simple(Op::True)}},
        {"null", "f6", {Simple(Op::Null)}},
        {"undefined", "f7", {Simple(Op::Undefined)}},
        {"bytes_empty", "40", {B("")}},
        {"bytes_4", "4401020304", {B(std::string("\x01\x02\x03\x04", 4))}},
        {"text_empty", "60", {T("")}},
        {"text_a", "6161", {T("a")}},
        {"text_IETF", "6449455446", {T("IETF")}},
        {"text_quote_backslash", "62225c", {T("\"\\")}},
        {"text_u_umlaut", "62c3bc", {T("\xc3\xbc")}},
        {"text_water", "63e6b0b4", {T("\xe6\xb0\xb4")}},
        {"text_surrogate_pair", "64f0908591", {T("\xf0\x90\x85\x91")}},
        {"array_empty", "80", {A(0)}},
        {"array_123", "83010203", {A(3), U(1), U(2), U(3)}},
        {"array_nested", "8301820203820405", {A(3), U(1), A(2), U(2), U(3), A(2), U(4), U(5)}},
        {"array_25", "98190102030405060708090a0b0c0d0e0f101112131415161718181819",
         concat({{A(25)}, one_to(25)})},
        {"map_empty", "a0", {M(0)}},
        {"map_ints", "a201020304", {M(2), U(1), U(2), U(3), U(4)}},
        {"map_text_keys", "a26161016162820203", {M(2), T("a"), U(1), T("b"), A(2), U(2), U(3)}},
        {"array_with_map", "826161a161626163", {A(2), T("a"), M(1), T("b"), T("c")}},
        {"map_5", "a56161614161626142616361436164614461656145",
         {M(5), T("a"), T("A"), T("b"), T("B"), T("c"), T("C"), T("d"), T("D"), T("e"), T("E")}},
        {"bytes_chunked", "5f42010243030405ff",
         {Simple(Op::BytesStart), B("\x01\x02"), B("\x03\x04\x05"), brk}},
        {"text_chunked", "7f657374726561646d696e67ff",
         {Simple(Op::TextStart), T("strea"), T("ming"), brk}},
        {"array_indef_empty", "9fff", {Simple(Op::ArrayStart), brk}},
        {"array_indef_nested_indef", "9f018202039f0405ffff",
         {Simple(Op::ArrayStart), U(1), A(2), U(2), U(3), Simple(Op::ArrayStart), U(4), U(5), brk, brk}},
        {"array_indef_nested_def", "9f01820203820405ff",
         {Simple(Op::ArrayStart), U(1), A(2), U(2), U(3), A(2), U(4), U(5), brk}},
        {"array_def_last_indef", "83018202039f0405ff",
         {A(3), U(1), A(2), U(2), U(3), Simple(Op::ArrayStart), U(4), U(5), brk}},
        {"array_def_middle_indef", "83019f0203ff820405",
         {A(3), U(1), Simple(Op::ArrayStart), U(2), U(3), brk, A(2), U(4), U(5)}},
        {"array_indef_25", "9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff",
         concat({{Simple(Op::ArrayStart)}, one_to(25), {brk}})},
        {"map_indef", "bf61610161629f0203ffff",
         {Simple(Op::MapStart), T("a"), U(1), T("b"), Simple(Op::ArrayStart), U(2), U(3), brk, brk}},
        {"array_with_map_indef", "826161bf61626163ff",
         {A(2), T("a"), Simple(Op::MapStart), T("b"), T("c"), brk}},
        {"map_indef_fun_amt", "bf6346756ef563416d7421ff",
         {Simple(Op::MapStart), T("Fun"), Simple(Op::True), T("Amt"), N(-2), brk}},
    };
    return examples;
}

}  // namespace cbor_examples

#endif
