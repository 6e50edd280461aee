#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "alloc.h"
#include "cbor_examples.h"
#include "cbor_generator.h"

using namespace cbor_examples;

namespace {

std::string written(const cbor_generator *gen) { return hex(gen->output, gen->length); }

int32_t write_item(cbor_generator *gen, const Item &it) {
    switch (it.op) {
    case Op::Uint: return cbor_write_uint(gen, it.u);
    case Op::Negint: return cbor_write_negint(gen, it.i);
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

// Float writers report 1 for an exact finite value, 0 for NaN and infinities
// in the shortest form; everything else reports 0.
int32_t success_code(const Item &it) {
    return it.op == Op::Float32 || it.op == Op::Float64 || (it.op == Op::Float && std::isfinite(it.d));
}

std::string encode(const std::vector<Item> &items) {
    cbor_generator *gen = cbor_generator_create();
    for (const Item &it : items) EXPECT_EQ(write_item(gen, it), success_code(it));
    std::string out = written(gen);
    cbor_generator_free(gen);
    return out;
}

}  // namespace

TEST(CborGenerator, Rfc8949AppendixAExamples) {
    for (const auto &ex : rfc8949_examples()) {
        SCOPED_TRACE(ex.hex);
        EXPECT_EQ(encode(ex.items), ex.hex);
    }
}

TEST(CborGenerator, HeadWidthAndFloatBoundaries) {
    const double inf = std::numeric_limits<double>::infinity();
    const uint64_t payload_bits = 0x7FF0000000000123ull;  // a signalling NaN with a payload
    double payload_nan;
    memcpy(&payload_nan, &payload_bits, sizeof payload_nan);
    const struct {
        Item item;
        std::string hex;
    } cases[] = {
        {U(255), "18ff"}, {U(256), "190100"}, {U(65535), "19ffff"}, {U(65536), "1a00010000"},
        {U(4294967295ull), "1affffffff"}, {U(4294967296ull), "1b0000000100000000"}, {N(-24), "37"},
        {N(-25), "3818"}, {N(-256), "38ff"}, {N(-257), "390100"}, {N(-65536), "39ffff"},
        {N(-65537), "3a00010000"}, {N(-4294967296ll), "3affffffff"}, {N(-4294967297ll), "3b0000000100000000"},
        {N(INT64_MIN), "3b7fffffffffffffff"}, {A(23), "97"}, {A(24), "9818"}, {A(65536), "9a00010000"},
        {A(UINT64_MAX - 1), "9bfffffffffffffffe"}, {M(1), "a1"}, {M(256), "b90100"},
        {M(4294967296ull), "bb0000000100000000"}, {B(std::string(23, 'x')), "57" + hex(std::string(23, 'x'))},
        {T(std::string(24, 'x')), "7818" + hex(std::string(24, 'x'))},
        {T(std::string(256, '\0')), "790100" + std::string(512, '0')},
        {B(std::string(65536, '\0')), "5a00010000" + std::string(2 * 65536, '0')},
        {F(-std::ldexp(1.0, -14)), "f98400"}, {F(65519.0), "fa477fef00"}, {F(65520.0), "fa477ff000"},
        {F(65536.0), "fa47800000"}, {F(std::ldexp(1.0, -149)), "fa00000001"},
        {F(-std::ldexp(1.0, -149)), "fa80000001"}, {F(std::ldexp(1.0, -150)), "fb3690000000000000"},
        {F(std::ldexp(1.0, 127)), "fa7f000000"}, {F(std::ldexp(1.0, 128)), "fb47f0000000000000"},
        {F(1.0 + std::ldexp(1.0, -10)), "f93c01"}, {F(1.0 + std::ldexp(1.0, -11)), "fa3f801000"},
        {F(1.0 + std::ldexp(1.0, -23)), "fa3f800001"}, {F(1.0 + std::ldexp(1.0, -24)), "fb3ff0000010000000"},
        {F(std::numeric_limits<double>::denorm_min()), "fb0000000000000001"},
        {F(std::numeric_limits<double>::max()), "fb7fefffffffffffff"}, {F(-std::nan("")), "f97e00"},
        {F(payload_nan), "f97e00"}, {F32(1.1), "fa3f8ccccd"}, {F32(1e300), "fa7f800000"},
        {F32(-0.0), "fa80000000"}, {F32(-inf), "faff800000"}, {F64(1.0), "fb3ff0000000000000"},
        {F64(-0.0), "fb8000000000000000"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex.substr(0, 20));
        EXPECT_EQ(encode({c.item}), c.hex);
    }
}

// The exported head builders: the helper keeps only the low three bits of
// the major type; the sized writer keeps the caller's width, cutting the value.
TEST(CborGenerator, InternalHeadWriters) {
    const struct {
        bool sized;
        uint32_t first;
        uint64_t v;
        const char *hex;
    } cases[] = {
        {false, 0, 10, "0a"},       {false, 1, 0, "20"},      {false, 2, 24, "5818"},
        {false, 3, 1000, "7903e8"}, {false, 6, 1, "c1"},      {false, 7, 25, "f819"},
        {false, 8, 1, "01"},        {false, 9, 1, "21"},      {false, 15, 1, "e1"},
        {false, 6, 4294967296ull, "db0000000100000000"},
        {true, 0x18, 5, "1805"},    {true, 0x19, 5, "190005"}, {true, 0x1A, 5, "1a00000005"},
        {true, 0x1B, 5, "1b0000000000000005"},                 {true, 0x38, 0x1234, "3834"},
        {true, 0x5A, 0x0102030405ull, "5a02030405"},          {true, 0x05, 0, "05"},
        {true, 0x40, 3, "43"},      {true, 0x00, 0x1FF, "ff"}, {true, 0x1C, 0, "1c"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex);
        cbor_generator *gen = cbor_generator_create();
        EXPECT_EQ(c.sized ? _cbor_write_uint_sized(gen, static_cast<uint8_t>(c.first), c.v)
                          : _cbor_write_uint_helper(gen, c.first, c.v),
                  0);
        EXPECT_EQ(written(gen), c.hex);
        cbor_generator_free(gen);
    }
}

TEST(CborGenerator, NullGeneratorFailsEveryWrite) {
    for (int op = 0; op <= static_cast<int>(Op::Float64); ++op) {
        Item it{static_cast<Op>(op), 1, -1, "x", 1.0};
        EXPECT_EQ(write_item(nullptr, it), -1) << op;
    }
    EXPECT_EQ(cbor_write_float(nullptr, std::nan("")), -1);
    EXPECT_EQ(_cbor_generator_write_byte(nullptr, 1), -1);
    EXPECT_EQ(_cbor_generator_write_bytes(nullptr, "x", 1), -1);
    EXPECT_EQ(_cbor_write_uint_helper(nullptr, 0, 1), -1);
    EXPECT_EQ(_cbor_write_uint_sized(nullptr, 0x18, 1), -1);
    cbor_generator_free(nullptr);
}

TEST(CborGenerator, BlockIsExactlyTheWrittenBytes) {
    cbor_generator *gen = cbor_generator_create();
    ASSERT_NE(gen, nullptr);
    EXPECT_EQ(gen->output, nullptr);
    EXPECT_EQ(gen->length, 0u);
    ASSERT_EQ(cbor_write_uint(gen, 256), 0);
    ASSERT_EQ(gen->length, 3u);
    EXPECT_EQ(gen->output[2], 0x00);  // under AddressSanitizer: the block holds all three
    EXPECT_EQ(cbor_write_byte_string(gen, nullptr, 1), -1);  // no data for a non-empty string
    EXPECT_EQ(cbor_write_byte_string(gen, nullptr, 0), 0);
    EXPECT_EQ(_cbor_generator_write_byte(gen, 0x01), 0);
    EXPECT_EQ(_cbor_generator_write_bytes(gen, "ab", 2), 0);
    EXPECT_EQ(_cbor_generator_write_bytes(gen, nullptr, 0), 0);
    EXPECT_EQ(written(gen), "19010040016162");
    cbor_generator_free(gen);
}

TEST(CborGenerator, LengthOverflowIsRefusedBeforeAllocating) {
    cbor_generator *gen = cbor_generator_create();
    ASSERT_EQ(cbor_write_uint(gen, 1), 0);
    const char byte = 0;
    core_alloc_fail_after(-1);
    EXPECT_EQ(_cbor_generator_write_bytes(gen, &byte, UINT64_MAX), -1);
    EXPECT_EQ(cbor_write_byte_string(gen, &byte, UINT64_MAX - 3), -1);
    EXPECT_EQ(core_alloc_attempts(), 0);
    EXPECT_EQ(written(gen), "01");
    cbor_generator_free(gen);
}

class CborGeneratorAllocation : public ::testing::Test {
protected:
    void TearDown() override { core_alloc_fail_after(-1); }
};

TEST_F(CborGeneratorAllocation, CreateReturnsNull) {
    core_alloc_fail_after(0);
    EXPECT_EQ(cbor_generator_create(), nullptr);
}

TEST_F(CborGeneratorAllocation, FailedGrowthLeavesContentIntactAndUsable) {
    const std::vector<Item> items = {
        U(5), U(1000), N(-1000), B("abc"), T(std::string(300, 'q')), {Op::BytesStart}, A(2), {Op::MapStart},
        {Op::Break}, {Op::False}, {Op::True}, {Op::Null}, {Op::Undefined}, F(1.5), F(1.1), F(100000.0),
        F(std::nan("")), F32(2.0), F64(2.0),
    };
    for (const Item &it : items) {
        cbor_generator *gen = cbor_generator_create();
        ASSERT_EQ(cbor_write_text_string(gen, "prefix", 6), 0);
        const std::string before = written(gen);
        const uint8_t *block = gen->output;
        core_alloc_fail_after(0);
        EXPECT_EQ(write_item(gen, it), -1);
        core_alloc_fail_after(-1);
        EXPECT_EQ(written(gen), before);
        EXPECT_EQ(gen->output, block);
        EXPECT_EQ(write_item(gen, it), success_code(it));  // usable again once memory is back
        EXPECT_EQ(written(gen), before + encode({it}));
        cbor_generator_free(gen);
    }
}

// Each allocation cbor_write_float makes is failed in turn: it either fails
// with the content untouched or writes an exact (possibly wider) encoding.
TEST_F(CborGeneratorAllocation, ShortestFloatUnderEveryFailurePoint) {
    for (double x : {1.5, 100000.0, 1.1, -0.0, std::ldexp(1.0, -24)}) {
        const std::string shortest = encode({F(x)}), wide_double = encode({F64(x)}), wide_single = encode({F32(x)});
        bool reached_shortest = false;
        for (long k = 0; k < 40 && !reached_shortest; ++k) {
            SCOPED_TRACE(k);
            cbor_generator *gen = cbor_generator_create();
            ASSERT_EQ(cbor_write_null(gen), 0);
            core_alloc_fail_after(k);
            const int32_t status = cbor_write_float(gen, x);
            core_alloc_fail_after(-1);
            const std::string all = written(gen), item = all.substr(2);
            EXPECT_EQ(all.substr(0, 2), "f6");
            if (status < 0) {
                EXPECT_EQ(item, "");
            } else {
                EXPECT_EQ(status, 1);
                EXPECT_TRUE(item == shortest || item == wide_double || (item == wide_single && (float)x == x)) << item;
                reached_shortest = item == shortest;
            }
            cbor_generator_free(gen);
        }
        EXPECT_TRUE(reached_shortest);
    }
}

namespace {

bool decode_float(const cbor_generator *gen, double *out) {
    const uint8_t *p = gen->output;
    uint64_t bits = 0;
    for (uint64_t k = 1; k < gen->length; ++k) bits = bits << 8 | p[k];
    if (gen->length == 3 && p[0] == 0xF9) *out = ieee_value(bits, 5, 10);
    else if (gen->length == 5 && p[0] == 0xFA) *out = ieee_value(bits, 8, 23);
    else if (gen->length == 9 && p[0] == 0xFB) *out = ieee_value(bits, 11, 52);
    else return false;
    return true;
}

uint64_t bits_of(double x) {
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

// The width the shortest-float rule must choose, from significand and exponent alone.
uint64_t expected_size(double x) {
    if (x == 0.0) return 3;
    int e;
    const double m = std::frexp(std::fabs(x), &e);  // |x| = m * 2^e, 0.5 <= m < 1
    auto fits = [](double v) { return v == std::floor(v); };
    if (e >= -13 && e <= 16 && fits(std::ldexp(m, 11))) return 3;  // normal half
    if (e >= -125 && e <= 128 && fits(std::ldexp(m, 24))) return 5;  // normal single
    if (e < -125 && e >= -148 && fits(std::ldexp(std::fabs(x), 149))) return 5;  // subnormal single
    return 9;
}

}  // namespace

TEST(CborGeneratorProperty, ShortestFloatRoundTripsBitForBit) {
    std::mt19937_64 rng(0xC0B0F10A7ull);
    std::vector<double> samples;
    for (int k = 0; k < 20000; ++k) {
        uint64_t bits = rng();
        double x;
        memcpy(&x, &bits, sizeof x);
        samples.push_back(x);  // any pattern
        uint32_t bits32 = static_cast<uint32_t>(rng());
        float f;
        memcpy(&f, &bits32, sizeof f);
        samples.push_back(f);  // exact singles
        const int exp = static_cast<int>(rng() % 40) - 27;  // halves and their neighbours
        samples.push_back((rng() & 1 ? -1 : 1) * std::ldexp(static_cast<double>(rng() % 4096) / 2048.0, exp));
        if (k % 10 == 0) {  // around the single subnormals
            samples.push_back(std::ldexp(static_cast<double>(rng() % 64 + 1), static_cast<int>(rng() % 60) - 175));
        }
    }
    size_t by_size[10] = {};
    for (double x : samples) {
        cbor_generator *gen = cbor_generator_create();
        const int32_t status = cbor_write_float(gen, x);
        double back = 0.0;
        const bool decoded = decode_float(gen, &back);
        const std::string item = written(gen);
        by_size[std::min<uint64_t>(gen->length, 9)]++;
        cbor_generator_free(gen);
        if (std::isnan(x)) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(item, "f97e00");
            continue;
        }
        ASSERT_TRUE(decoded) << item;
        EXPECT_EQ(bits_of(back), bits_of(x)) << x << " -> " << item;
        EXPECT_EQ(status, std::isinf(x) ? 0 : 1);
        if (std::isfinite(x)) {
            EXPECT_EQ(item.size() / 2, expected_size(x)) << x << " -> " << item;
        }
    }
    EXPECT_GT(by_size[3], 1000u);  // the samples reach every width
    EXPECT_GT(by_size[5], 1000u);
    EXPECT_GT(by_size[9], 1000u);
}
