#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "alloc.h"
#include "cbor_examples.h"
#include "cbor_generator.h"

using cbor_examples::from_hex;
using cbor_examples::Item;
using cbor_examples::Op;

namespace {

std::vector<uint8_t> content(const cbor_generator *gen) {
    if (gen->length == 0) return {};
    return std::vector<uint8_t>(gen->output, gen->output + gen->length);
}

std::string hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string repeat(const std::string &s, size_t n) {
    std::string out;
    for (size_t k = 0; k < n; ++k) out += s;
    return out;
}

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

// The status each writer reports on success.
int32_t success_code(const Item &it) {
    switch (it.op) {
    case Op::Float: return std::isfinite(it.d) ? 1 : 0;
    case Op::Float32:
    case Op::Float64: return 1;
    default: return 0;
    }
}

std::string encode(const std::vector<Item> &items) {
    cbor_generator *gen = cbor_generator_create();
    for (const Item &it : items) EXPECT_EQ(write_item(gen, it), success_code(it));
    std::string out = hex(content(gen));
    cbor_generator_free(gen);
    return out;
}

}  // namespace

TEST(CborGenerator, Rfc8949AppendixAExamples) {
    for (const auto &ex : cbor_examples::rfc8949_examples()) {
        SCOPED_TRACE(ex.name);
        EXPECT_EQ(encode(ex.items), hex(from_hex(ex.hex)));
    }
}

TEST(CborGenerator, HeadWidthBoundaries) {
    using namespace cbor_examples;
    struct Case {
        Item item;
        std::string hex;
    };
    const std::vector<Case> cases = {
        {U(0), "00"},
        {U(23), "17"},
        {U(24), "1818"},
        {U(255), "18ff"},
        {U(256), "190100"},
        {U(65535), "19ffff"},
        {U(65536), "1a00010000"},
        {U(4294967295ull), "1affffffff"},
        {U(4294967296ull), "1b0000000100000000"},
        {U(UINT64_MAX), "1bffffffffffffffff"},
        {N(-1), "20"},
        {N(-24), "37"},
        {N(-25), "3818"},
        {N(-256), "38ff"},
        {N(-257), "390100"},
        {N(-65536), "39ffff"},
        {N(-65537), "3a00010000"},
        {N(-4294967296ll), "3affffffff"},
        {N(-4294967297ll), "3b0000000100000000"},
        {N(INT64_MIN), "3b7fffffffffffffff"},
        {A(0), "80"},
        {A(23), "97"},
        {A(24), "9818"},
        {A(65536), "9a00010000"},
        {A(UINT64_MAX - 1), "9bfffffffffffffffe"},
        {M(1), "a1"},
        {M(256), "b90100"},
        {M(4294967296ull), "bb0000000100000000"},
        {B(std::string(23, 'x')), "57" + repeat("78", 23)},
        {T(std::string(24, 'x')), "7818" + repeat("78", 24)},
        {T(std::string(256, '\0')), "790100" + std::string(512, '0')},
        {B(std::string(65536, '\0')), "5a00010000" + std::string(2 * 65536, '0')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex.substr(0, 20));
        EXPECT_EQ(encode({c.item}), c.hex);
    }
}

TEST(CborGenerator, HeadHelperUsesOnlyTheLowBitsOfTheMajorType) {
    struct Case {
        uint32_t major;
        uint64_t v;
        const char *hex;
    };
    const Case cases[] = {
        {0, 10, "0a"},         {1, 0, "20"},      {2, 24, "5818"},
        {3, 1000, "7903e8"},   {6, 1, "c1"},      {7, 25, "f819"},
        {8, 1, "01"},          {9, 1, "21"},      {15, 1, "e1"},
        {6, 4294967296ull, "db0000000100000000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex);
        cbor_generator *gen = cbor_generator_create();
        EXPECT_EQ(_cbor_write_uint_helper(gen, c.major, c.v), 0);
        EXPECT_EQ(hex(content(gen)), c.hex);
        cbor_generator_free(gen);
    }
}

TEST(CborGenerator, SizedHeadsKeepTheCallersWidth) {
    struct Case {
        uint8_t initial;
        uint64_t v;
        const char *hex;
    };
    const Case cases[] = {
        {0x18, 5, "1805"},
        {0x19, 5, "190005"},
        {0x1A, 5, "1a00000005"},
        {0x1B, 5, "1b0000000000000005"},
        {0x38, 0x1234, "3834"},                 // only the low byte fits
        {0x5A, 0x0102030405ull, "5a02030405"},  // the low four bytes
        {0x05, 0, "05"},
        {0x40, 3, "43"},
        {0x00, 0x1FF, "ff"},                    // cut to 8 bits
        {0x1C, 0, "1c"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex);
        cbor_generator *gen = cbor_generator_create();
        EXPECT_EQ(_cbor_write_uint_sized(gen, c.initial, c.v), 0);
        EXPECT_EQ(hex(content(gen)), c.hex);
        cbor_generator_free(gen);
    }
}

TEST(CborGenerator, FloatWidths) {
    using namespace cbor_examples;
    const double inf = std::numeric_limits<double>::infinity();
    double neg_nan = -std::nan("");
    uint64_t payload_bits = 0x7FF0000000000123ull;  // a signalling NaN with a payload
    double payload_nan;
    memcpy(&payload_nan, &payload_bits, sizeof payload_nan);
    struct Case {
        Item item;
        const char *hex;
    };
    const std::vector<Case> cases = {
        {F(std::ldexp(1.0, -14)), "f90400"},
        {F(-std::ldexp(1.0, -14)), "f98400"},
        {F(65519.0), "fa477fef00"},
        {F(65520.0), "fa477ff000"},
        {F(65536.0), "fa47800000"},
        {F(std::ldexp(1.0, -24)), "fa33800000"},
        {F(std::ldexp(1.0, -149)), "fa00000001"},
        {F(-std::ldexp(1.0, -149)), "fa80000001"},
        {F(std::ldexp(1.0, -150)), "fb3690000000000000"},
        {F(std::ldexp(1.0, 127)), "fa7f000000"},
        {F(std::ldexp(1.0, 128)), "fb47f0000000000000"},
        {F(1.0 + std::ldexp(1.0, -10)), "f93c01"},
        {F(1.0 + std::ldexp(1.0, -11)), "fa3f801000"},
        {F(1.0 + std::ldexp(1.0, -23)), "fa3f800001"},
        {F(1.0 + std::ldexp(1.0, -24)), "fb3ff0000010000000"},
        {F(std::numeric_limits<double>::denorm_min()), "fb0000000000000001"},
        {F(std::numeric_limits<double>::max()), "fb7fefffffffffffff"},
        {F(neg_nan), "f97e00"},
        {F(payload_nan), "f97e00"},
        {F32(1.1), "fa3f8ccccd"},
        {F32(1e300), "fa7f800000"},
        {F32(-0.0), "fa80000000"},
        {F64(1.0), "fb3ff0000000000000"},
        {F64(-0.0), "fb8000000000000000"},
        {F(-inf), "f9fc00"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(encode({c.item}), c.hex);
    }
}

TEST(CborGenerator, StatusCodes) {
    cbor_generator *gen = cbor_generator_create();
    EXPECT_EQ(cbor_write_float(gen, 2.5), 1);
    EXPECT_EQ(cbor_write_float(gen, std::nan("")), 0);
    EXPECT_EQ(cbor_write_float(gen, -std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(cbor_write_float32(gen, 2.5), 1);
    EXPECT_EQ(cbor_write_float64(gen, 2.5), 1);
    EXPECT_EQ(cbor_write_uint(gen, 7), 0);
    EXPECT_EQ(_cbor_generator_write_byte(gen, 0x01), 0);
    EXPECT_EQ(_cbor_generator_write_bytes(gen, "ab", 2), 0);
    EXPECT_EQ(_cbor_generator_write_bytes(gen, nullptr, 0), 0);
    EXPECT_EQ(hex(content(gen)), "f94100f97e00f9fc00fa40200000fb400400000000000007016162");
    cbor_generator_free(gen);
}

TEST(CborGenerator, NullGeneratorFailsEveryWrite) {
    const char data[] = "x";
    EXPECT_EQ(_cbor_generator_write_byte(nullptr, 1), -1);
    EXPECT_EQ(_cbor_generator_write_bytes(nullptr, data, 1), -1);
    EXPECT_EQ(_cbor_write_uint_helper(nullptr, 0, 1), -1);
    EXPECT_EQ(_cbor_write_uint_sized(nullptr, 0x18, 1), -1);
    EXPECT_EQ(cbor_write_uint(nullptr, 1), -1);
    EXPECT_EQ(cbor_write_negint(nullptr, -1), -1);
    EXPECT_EQ(cbor_write_byte_string(nullptr, data, 1), -1);
    EXPECT_EQ(cbor_write_byte_string(nullptr, nullptr, CBOR_INDEFINITE_LENGTH), -1);
    EXPECT_EQ(cbor_write_text_string(nullptr, data, 1), -1);
    EXPECT_EQ(cbor_write_array(nullptr, 1), -1);
    EXPECT_EQ(cbor_write_map(nullptr, CBOR_INDEFINITE_LENGTH), -1);
    EXPECT_EQ(cbor_write_break(nullptr), -1);
    EXPECT_EQ(cbor_write_false(nullptr), -1);
    EXPECT_EQ(cbor_write_true(nullptr), -1);
    EXPECT_EQ(cbor_write_null(nullptr), -1);
    EXPECT_EQ(cbor_write_undefined(nullptr), -1);
    EXPECT_EQ(cbor_write_float32(nullptr, 1.0), -1);
    EXPECT_EQ(cbor_write_float64(nullptr, 1.0), -1);
    EXPECT_EQ(cbor_write_float(nullptr, 1.0), -1);
    EXPECT_EQ(cbor_write_float(nullptr, std::nan("")), -1);
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
    EXPECT_EQ(gen->length, 3u);
    EXPECT_EQ(cbor_write_byte_string(gen, nullptr, 0), 0);   // an empty string needs none
    EXPECT_EQ(hex(content(gen)), "19010040");
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
    EXPECT_EQ(hex(content(gen)), "01");
    cbor_generator_free(gen);
}

// ---- failing allocator ----------------------------------------------------

class CborGeneratorAllocation : public ::testing::Test {
protected:
    void TearDown() override { core_alloc_fail_after(-1); }
};

TEST_F(CborGeneratorAllocation, CreateReturnsNull) {
    core_alloc_fail_after(0);
    EXPECT_EQ(cbor_generator_create(), nullptr);
}

TEST_F(CborGeneratorAllocation, FailedGrowthLeavesContentIntactAndUsable) {
    using namespace cbor_examples;
    const std::vector<Item> items = {
        U(5), U(1000), N(-1000), B("abc"), T(std::string(300, 'q')), Simple(Op::BytesStart),
        A(2), Simple(Op::MapStart), Simple(Op::Break), Simple(Op::False), Simple(Op::True),
        Simple(Op::Null), Simple(Op::Undefined), F(1.5), F(1.1), F(100000.0), F(std::nan("")),
        F32(2.0), F64(2.0),
    };
    for (const Item &it : items) {
        cbor_generator *gen = cbor_generator_create();
        ASSERT_EQ(cbor_write_text_string(gen, "prefix", 6), 0);
        const std::vector<uint8_t> before = content(gen);
        const uint8_t *block = gen->output;

        core_alloc_fail_after(0);
        EXPECT_EQ(write_item(gen, it), -1);
        core_alloc_fail_after(-1);

        EXPECT_EQ(content(gen), before);
        EXPECT_EQ(gen->output, block);
        // Still usable: the same item goes through once memory is back.
        EXPECT_EQ(write_item(gen, it), success_code(it));
        EXPECT_EQ(hex(content(gen)), hex(before) + encode({it}));
        cbor_generator_free(gen);
    }
}

// Every allocation cbor_write_float makes (scratch generator, candidates,
// parser, read-back records, final append) is made to fail in turn: the call
// either fails with the content untouched or writes an exact encoding, never
// a wrong one, and leaks nothing.
TEST_F(CborGeneratorAllocation, ShortestFloatUnderEveryFailurePoint) {
    const double values[] = {1.5, 100000.0, 1.1, -0.0, std::ldexp(1.0, -24)};
    for (double x : values) {
        const std::string shortest = encode({cbor_examples::F(x)});
        std::string wide_double = encode({cbor_examples::F64(x)});
        std::string wide_single = encode({cbor_examples::F32(x)});
        bool reached_shortest = false;
        for (long k = 0; k < 40 && !reached_shortest; ++k) {
            SCOPED_TRACE(k);
            cbor_generator *gen = cbor_generator_create();
            ASSERT_EQ(cbor_write_null(gen), 0);
            core_alloc_fail_after(k);
            int32_t status = cbor_write_float(gen, x);
            core_alloc_fail_after(-1);
            std::string written = hex(content(gen)).substr(2);
            if (status < 0) {
                EXPECT_EQ(written, "");
            } else {
                EXPECT_EQ(status, 1);
                // A wider form is acceptable when the comparison could not be
                // completed, but only an exact one.
                EXPECT_TRUE(written == shortest || written == wide_double ||
                            (written == wide_single && (float)x == x))
                    << written;
                reached_shortest = written == shortest;
            }
            EXPECT_EQ(hex(content(gen)).substr(0, 2), "f6");
            cbor_generator_free(gen);
        }
        EXPECT_TRUE(reached_shortest);
    }
}

// ---- property: shortest float, checked by an independent decoder ----------

namespace {

// Decodes one float item from its IEEE 754 fields, without the parser.
bool decode_float(const std::vector<uint8_t> &item, double *out) {
    auto be = [&](size_t n) {
        uint64_t v = 0;
        for (size_t k = 1; k <= n; ++k) v = (v << 8) | item[k];
        return v;
    };
    if (item.size() == 3 && item[0] == 0xF9) {
        uint64_t h = be(2);
        int exp = static_cast<int>((h >> 10) & 0x1F);
        double frac = static_cast<double>(h & 0x3FF) / 1024.0;
        double mag;
        if (exp == 0) mag = std::ldexp(frac, -14);
        else if (exp == 31) mag = (h & 0x3FF) ? std::nan("") : std::numeric_limits<double>::infinity();
        else mag = std::ldexp(1.0 + frac, exp - 15);
        *out = (h & 0x8000) ? -mag : mag;
        return true;
    }
    if (item.size() == 5 && item[0] == 0xFA) {
        uint64_t s = be(4);
        int exp = static_cast<int>((s >> 23) & 0xFF);
        double frac = static_cast<double>(s & 0x7FFFFF) / 8388608.0;
        double mag;
        if (exp == 0) mag = std::ldexp(frac, -126);
        else if (exp == 255) mag = (s & 0x7FFFFF) ? std::nan("") : std::numeric_limits<double>::infinity();
        else mag = std::ldexp(1.0 + frac, exp - 127);
        *out = (s & 0x80000000u) ? -mag : mag;
        return true;
    }
    if (item.size() == 9 && item[0] == 0xFB) {
        uint64_t bits = be(8);
        memcpy(out, &bits, sizeof *out);
        return true;
    }
    return false;
}

uint64_t bits_of(double x) {
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

// The width the shortest-float rule must choose, from the value's
// significand and exponent alone.
size_t expected_size(double x) {
    if (x == 0.0) return 3;
    int e;
    double m = std::frexp(std::fabs(x), &e);  // |x| = m * 2^e, 0.5 <= m < 1
    auto fits = [&](int bits) {
        double scaled = std::ldexp(m, bits);
        return scaled == std::floor(scaled);
    };
    // Normal halves: 2^-14 <= |x| <= 65504 with 11 significant bits.
    if (e >= -13 && e <= 16 && fits(11)) return 3;
    // Singles: normal with 24 significant bits, or a subnormal multiple of 2^-149.
    if (e >= -125 && e <= 128 && fits(24)) return 5;
    if (e < -125 && e >= -148) {
        double scaled = std::ldexp(std::fabs(x), 149);
        if (scaled == std::floor(scaled)) return 5;
    }
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
        samples.push_back(x);                                      // any pattern
    }
    for (int k = 0; k < 20000; ++k) {
        uint32_t bits = static_cast<uint32_t>(rng());
        float f;
        memcpy(&f, &bits, sizeof f);
        samples.push_back(static_cast<double>(f));                 // exact singles
    }
    for (int k = 0; k < 20000; ++k) {
        int exp = static_cast<int>(rng() % 40) - 27;               // halves and their neighbours
        double mant = static_cast<double>(rng() % 4096) / 2048.0;
        samples.push_back((rng() & 1 ? -1 : 1) * std::ldexp(mant, exp));
    }
    for (int k = 0; k < 2000; ++k) {
        int exp = static_cast<int>(rng() % 60) - 175;              // around the single subnormals
        samples.push_back(std::ldexp(static_cast<double>(rng() % 64 + 1), exp));
    }

    size_t by_size[10] = {};
    for (double x : samples) {
        cbor_generator *gen = cbor_generator_create();
        int32_t status = cbor_write_float(gen, x);
        std::vector<uint8_t> item = content(gen);
        cbor_generator_free(gen);

        if (std::isnan(x)) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(hex(item), "f97e00");
            continue;
        }
        double back;
        ASSERT_TRUE(decode_float(item, &back)) << hex(item);
        EXPECT_EQ(bits_of(back), bits_of(x)) << x << " -> " << hex(item);
        EXPECT_EQ(status, std::isinf(x) ? 0 : 1);
        if (std::isfinite(x)) {
            EXPECT_EQ(item.size(), expected_size(x)) << x << " -> " << hex(item);
        }
        by_size[item.size()]++;
    }
    // The samples reach every width.
    EXPECT_GT(by_size[3], 1000u);
    EXPECT_GT(by_size[5], 1000u);
    EXPECT_GT(by_size[9], 1000u);
}
