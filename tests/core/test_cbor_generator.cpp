#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "alloc.h"
#include "cbor_generator.h"
#include "cbor_reference.h"

namespace {

enum class Op { Uint, Negint, Bytes, Text, BytesStart, TextStart, Array, ArrayStart, Map, MapStart,
                Break, False, True, Null, Undefined, Float, Float32, Float64 };
struct Item {
    Op op;
    uint64_t u = 0;  // unsigned value or count; the bits of a negative integer
    std::string s{};
    double d = 0.0;
};
Item U(Op op, uint64_t v) { return {op, v}; }
Item S(Op op, std::string s) { return {op, 0, std::move(s)}; }
Item F(Op op, double d) { return {op, 0, "", d}; }
Item N(int64_t v) { return {Op::Negint, static_cast<uint64_t>(v)}; }
const double inf = std::numeric_limits<double>::infinity();

int32_t write_item(cbor_generator *gen, const Item &it) {
    switch (it.op) {
    case Op::Uint: return cbor_write_uint(gen, it.u);
    case Op::Negint: return cbor_write_negint(gen, static_cast<int64_t>(it.u));
    case Op::Bytes: return cbor_write_byte_string(gen, it.s.data(), it.s.size());
    case Op::Text: return cbor_write_text_string(gen, it.s.data(), it.s.size());
    case Op::BytesStart: return cbor_write_byte_string(gen, nullptr, CBOR_INDEFINITE_LENGTH);
    case Op::TextStart: return cbor_write_text_string(gen, nullptr, CBOR_INDEFINITE_LENGTH);
    case Op::Array: return cbor_write_array(gen, it.u);
    case Op::ArrayStart: return cbor_write_array(gen, CBOR_INDEFINITE_LENGTH);
    case Op::Map: return cbor_write_map(gen, it.u);
    case Op::MapStart: return cbor_write_map(gen, CBOR_INDEFINITE_LENGTH);
    case Op::Break: return cbor_write_break(gen);
    case Op::False: return cbor_write_false(gen);
    case Op::True: return cbor_write_true(gen);
    case Op::Null: return cbor_write_null(gen);
    case Op::Undefined: return cbor_write_undefined(gen);
    case Op::Float: return cbor_write_float(gen, it.d);
    case Op::Float32: return cbor_write_float32(gen, it.d);
    case Op::Float64: return cbor_write_float64(gen, it.d);
    }
    return -2;
}

// 1 from the fixed-width float writers and for a finite shortest float, else 0.
int32_t success_code(const Item &it) {
    return it.op == Op::Float32 || it.op == Op::Float64 || (it.op == Op::Float && std::isfinite(it.d));
}

std::string written(const cbor_generator *gen) { return cbor_ref::hex(gen->output, gen->length); }

std::string encode(const Item &it) {
    cbor_generator *gen = cbor_generator_create();
    EXPECT_EQ(write_item(gen, it), success_code(it));
    std::string out = written(gen);
    cbor_generator_free(gen);
    return out;
}

class CborGenerator : public ::testing::Test {
  protected:
    void TearDown() override { core_alloc_fail_after(-1); }
};

// Every writer, heads at width boundaries, floats at width and range edges.
TEST_F(CborGenerator, ExactBytes) {
    double payload_nan;  // a signalling NaN with a payload
    const uint64_t payload_bits = 0x7FF0000000000123ull;
    memcpy(&payload_nan, &payload_bits, sizeof payload_nan);
    using O = Op;
    const std::pair<Item, std::string> table[] = {
        {{O::BytesStart}, "5f"}, {{O::TextStart}, "7f"}, {{O::ArrayStart}, "9f"}, {{O::MapStart}, "bf"},
        {{O::Break}, "ff"}, {{O::False}, "f4"}, {{O::True}, "f5"}, {{O::Null}, "f6"}, {{O::Undefined}, "f7"},
        {U(O::Uint, 23), "17"}, {U(O::Uint, 24), "1818"}, {U(O::Uint, 65536), "1a00010000"},
        {U(O::Uint, 4294967296ull), "1b0000000100000000"}, {N(-1), "20"}, {N(-24), "37"}, {N(-25), "3818"},
        {N(-257), "390100"}, {N(-4294967297ll), "3b0000000100000000"}, {N(INT64_MIN), "3b7fffffffffffffff"},
        {U(O::Array, 24), "9818"}, {U(O::Array, UINT64_MAX - 1), "9bfffffffffffffffe"}, {U(O::Map, 0), "a0"},
        {U(O::Map, 256), "b90100"}, {S(O::Bytes, ""), "40"}, {S(O::Text, "a"), "6161"},
        {S(O::Bytes, std::string(23, '\x11')), "57" + std::string(46, '1')},
        {S(O::Text, std::string(24, '\x22')), "7818" + std::string(48, '2')},
        {S(O::Bytes, std::string(65536, '\0')), "5a00010000" + std::string(2 * 65536, '0')},
        {F(O::Float, inf), "f97c00"}, {F(O::Float, -inf), "f9fc00"}, {F(O::Float, -0.0), "f98000"},
        {F(O::Float, -std::nan("")), "f97e00"}, {F(O::Float, payload_nan), "f97e00"},
        {F(O::Float, -std::ldexp(1.0, -14)), "f98400"}, {F(O::Float, 65519.0), "fa477fef00"},
        {F(O::Float, 65520.0), "fa477ff000"}, {F(O::Float, -std::ldexp(1.0, -149)), "fa80000001"},
        {F(O::Float, std::ldexp(1.0, -150)), "fb3690000000000000"}, {F(O::Float, std::ldexp(1.0, 127)), "fa7f000000"},
        {F(O::Float, std::ldexp(1.0, 128)), "fb47f0000000000000"}, {F(O::Float, 1.0 + std::ldexp(1.0, -10)), "f93c01"},
        {F(O::Float, 1.0 + std::ldexp(1.0, -11)), "fa3f801000"},
        {F(O::Float, 1.0 + std::ldexp(1.0, -24)), "fb3ff0000010000000"},
        {F(O::Float32, -inf), "faff800000"}, {F(O::Float32, 1.1), "fa3f8ccccd"}, {F(O::Float32, 1e300), "fa7f800000"},
        {F(O::Float32, -0.0), "fa80000000"}, {F(O::Float64, -0.0), "fb8000000000000000"},
        {F(O::Float64, std::nan("")), "fb7ff8000000000000"}};
    for (const auto &[item, hex] : table) EXPECT_EQ(encode(item), hex) << hex.substr(0, 20);
}

// The exported head builders: the helper keeps only the low three bits of
// the major type; the sized writer keeps the caller's width, cutting the value.
TEST_F(CborGenerator, InternalHeadWriters) {
    const struct { bool sized; uint32_t first; uint64_t v; const char *hex; } table[] = {
        {false, 3, 1000, "7903e8"}, {false, 6, 1, "c1"}, {false, 7, 25, "f819"}, {false, 9, 1, "21"},
        {false, 15, 1, "e1"}, {false, 6, 4294967296ull, "db0000000100000000"}, {true, 0x18, 5, "1805"},
        {true, 0x19, 5, "190005"}, {true, 0x1A, 5, "1a00000005"}, {true, 0x1B, 5, "1b0000000000000005"},
        {true, 0x38, 0x1234, "3834"}, {true, 0x5A, 0x0102030405ull, "5a02030405"}, {true, 0x40, 3, "43"},
        {true, 0x00, 0x1FF, "ff"}, {true, 0x1C, 0, "1c"}};
    for (const auto &c : table) {
        cbor_generator *gen = cbor_generator_create();
        EXPECT_EQ(c.sized ? _cbor_write_uint_sized(gen, static_cast<uint8_t>(c.first), c.v)
                          : _cbor_write_uint_helper(gen, c.first, c.v), 0);
        EXPECT_EQ(written(gen), c.hex);
        cbor_generator_free(gen);
    }
}

TEST_F(CborGenerator, RefusedWritesLeaveTheBlockExact) {
    for (int op = 0; op <= static_cast<int>(Op::Float64); ++op)
        EXPECT_EQ(write_item(nullptr, Item{static_cast<Op>(op), 1, "x", 1.0}), -1) << op;
    EXPECT_EQ(_cbor_generator_write_byte(nullptr, 1), -1);
    EXPECT_EQ(_cbor_write_uint_helper(nullptr, 0, 1), -1);
    EXPECT_EQ(_cbor_write_uint_sized(nullptr, 0x18, 1), -1);
    cbor_generator_free(nullptr);
    cbor_generator *gen = cbor_generator_create();
    EXPECT_EQ(gen->output, nullptr);
    ASSERT_EQ(cbor_write_uint(gen, 256), 0);
    EXPECT_EQ(cbor_write_byte_string(gen, nullptr, 1), -1);  // no data for a non-empty string
    EXPECT_EQ(cbor_write_byte_string(gen, nullptr, 0), 0);
    EXPECT_EQ(_cbor_generator_write_byte(gen, 0x01), 0);
    EXPECT_EQ(_cbor_generator_write_bytes(gen, "ab", 2), 0);
    EXPECT_EQ(_cbor_generator_write_bytes(gen, nullptr, 0), 0);
    core_alloc_fail_after(-1);  // lengths that would wrap are refused before allocating
    EXPECT_EQ(_cbor_generator_write_bytes(gen, "x", UINT64_MAX), -1);
    EXPECT_EQ(cbor_write_byte_string(gen, "x", UINT64_MAX - 3), -1);
    EXPECT_EQ(core_alloc_attempts(), 0);
    EXPECT_EQ(written(gen), "19010040016162");  // under ASan: the block holds exactly these
    cbor_generator_free(gen);
}

TEST_F(CborGenerator, FailedGrowthLeavesContentIntactAndUsable) {
    core_alloc_fail_after(0);
    EXPECT_EQ(cbor_generator_create(), nullptr);
    for (const Item &it : {U(Op::Uint, 1000), N(-1000), S(Op::Bytes, "abc"), S(Op::Text, std::string(300, 'q')),
                           Item{Op::BytesStart}, U(Op::Array, 2), Item{Op::MapStart}, Item{Op::Break}, Item{Op::False},
                           Item{Op::True}, Item{Op::Null}, Item{Op::Undefined}, F(Op::Float, 1.1),
                           F(Op::Float, std::nan("")), F(Op::Float32, 2.0), F(Op::Float64, 2.0)}) {
        core_alloc_fail_after(-1);
        cbor_generator *gen = cbor_generator_create();
        ASSERT_EQ(cbor_write_text_string(gen, "prefix", 6), 0);
        const uint8_t *block = gen->output;
        core_alloc_fail_after(0);
        EXPECT_EQ(write_item(gen, it), -1);
        core_alloc_fail_after(-1);
        EXPECT_TRUE(written(gen) == "66707265666978" && gen->output == block);
        EXPECT_EQ(write_item(gen, it), success_code(it));
        EXPECT_EQ(written(gen), "66707265666978" + encode(it));
        cbor_generator_free(gen);
    }
}

TEST_F(CborGenerator, ShortestFloatRoundTripsThroughTheReferenceReader) {
    std::mt19937_64 rng(0xC0B0F10A7ull);
    size_t by_size[10] = {};
    for (int k = 0; k < 60000; ++k) {
        uint64_t bits = rng();
        double x;
        memcpy(&x, &bits, sizeof x);  // any pattern, then exact singles, then halves and their neighbours
        if (k % 3 == 1) x = cbor_ref::ieee_value(bits >> 32, 8, 23);
        if (k % 3 == 2) x = (bits & 1 ? -1 : 1) * std::ldexp(double(bits >> 8 & 4095) / 2048.0, int(bits % 48) - 27);
        cbor_generator *gen = cbor_generator_create();
        const int32_t status = cbor_write_float(gen, x);
        const cbor_ref::Item it = cbor_ref::read(gen->output, gen->length);
        by_size[std::min<uint64_t>(gen->length, 9)]++;
        ASSERT_TRUE(it.ok && it.is_float && it.consumed == gen->length) << written(gen);
        EXPECT_EQ(gen->length, cbor_ref::shortest_float_size(x)) << x;
        EXPECT_EQ(it.float_bits, std::isnan(x) ? 0x7FF8000000000000ull : cbor_ref::bits_of(x)) << x << " -> " << written(gen);
        EXPECT_EQ(status, std::isfinite(x) ? 1 : 0);
        cbor_generator_free(gen);
    }
    EXPECT_TRUE(by_size[3] > 1000 && by_size[5] > 1000 && by_size[9] > 1000);  // the samples reach every width
}

}  // namespace
