#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "alloc.h"
#include "cbor_examples.h"
#include "cbor_parser.h"

using cbor_examples::from_hex;
using cbor_examples::Item;
using cbor_examples::Op;

namespace {

uint64_t bits_of(double x) {
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

const uint64_t kQuietNan = 0x7FF8000000000000ull;

// The initial byte every simple item must come back with.
uint8_t simple_byte(Op op) {
    switch (op) {
    case Op::BytesStart: return 0x5F;
    case Op::TextStart: return 0x7F;
    case Op::ArrayStart: return 0x9F;
    case Op::MapStart: return 0xBF;
    case Op::Break: return 0xFF;
    case Op::False: return 0xF4;
    case Op::True: return 0xF5;
    case Op::Null: return 0xF6;
    case Op::Undefined: return 0xF7;
    default: return 0;
    }
}

// Checks one parsed record against the item that was written.
void expect_item(const cbor_val *v, const Item &it) {
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->major_type, static_cast<uint32_t>(v->initial_byte >> 5));
    switch (it.op) {
    case Op::Uint:
        EXPECT_EQ(v->major_type, 0u);
        EXPECT_EQ(v->value.u64, it.u);
        EXPECT_EQ(v->length, 0);
        break;
    case Op::Negint:
        EXPECT_EQ(v->major_type, 1u);
        EXPECT_EQ(v->value.i64, it.i);
        break;
    case Op::Bytes:
    case Op::Text: {
        EXPECT_EQ(v->major_type, it.op == Op::Bytes ? 2u : 3u);
        ASSERT_EQ(v->length, static_cast<int64_t>(it.s.size()));
        ASSERT_NE(v->value.bytes, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(v->value.bytes), it.s.size()), it.s);
        if (it.op == Op::Text) {
            EXPECT_EQ(v->value.text[it.s.size()], '\0');
        }
        break;
    }
    case Op::Array:
    case Op::Map:
        EXPECT_EQ(v->major_type, it.op == Op::Array ? 4u : 5u);
        EXPECT_EQ(v->length, static_cast<int64_t>(it.u));
        EXPECT_EQ(v->value.u64, 0u);
        break;
    case Op::Float:
    case Op::Float32:
    case Op::Float64:
        EXPECT_EQ(v->major_type, 7u);
        if (std::isnan(it.d)) {
            EXPECT_EQ(bits_of(v->value.f64), kQuietNan);
        } else {
            EXPECT_EQ(bits_of(v->value.f64), bits_of(it.d)) << v->value.f64 << " vs " << it.d;
        }
        break;
    default:
        EXPECT_EQ(v->initial_byte, simple_byte(it.op));
        EXPECT_EQ(v->value.u64, 0u);
        EXPECT_EQ(v->length, (it.op == Op::BytesStart || it.op == Op::TextStart ||
                              it.op == Op::ArrayStart || it.op == Op::MapStart) ? -1 : 0);
        break;
    }
}

// One expected outcome of cbor_next_val: null, or a record.
struct Expect {
    bool present;
    uint8_t initial;
    uint64_t value;      // raw bits of the value field (a string's bytes go in `bytes`)
    int64_t length;
    std::string bytes;   // hex of a string's copy, text terminator included
};

Expect null_item() { return Expect{false, 0, 0, 0, ""}; }
Expect item(uint8_t initial, uint64_t value = 0, int64_t length = 0) {
    return Expect{true, initial, value, length, ""};
}
Expect string_item(uint8_t initial, int64_t length, std::string copy_hex) {
    return Expect{true, initial, 0, length, std::move(copy_hex)};
}

std::string hex_of(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t k = 0; k < n; ++k) {
        out += digits[p[k] >> 4];
        out += digits[p[k] & 15];
    }
    return out;
}

void expect_sequence(const std::string &hex, const std::vector<Expect> &expected) {
    std::vector<uint8_t> input = from_hex(hex);
    cbor_parser *p = cbor_parser_create(input.data(), input.size());
    ASSERT_NE(p, nullptr);
    for (size_t k = 0; k < expected.size(); ++k) {
        SCOPED_TRACE("item " + std::to_string(k));
        const Expect &e = expected[k];
        cbor_val *v = cbor_next_val(p);
        if (!e.present) {
            EXPECT_EQ(v, nullptr);
            cbor_val_free(v);
            continue;
        }
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->initial_byte, e.initial);
        EXPECT_EQ(v->major_type, static_cast<uint32_t>(e.initial >> 5));
        EXPECT_EQ(v->length, e.length);
        if (v->major_type == 2 || v->major_type == 3) {
            // Definite strings always carry a copy, even when empty; the
            // indefinite starts carry none.
            if (e.length >= 0) {
                ASSERT_NE(v->value.bytes, nullptr);
                EXPECT_EQ(hex_of(v->value.bytes, e.bytes.size() / 2), e.bytes);
            } else {
                EXPECT_EQ(v->value.bytes, nullptr);
            }
        } else {
            EXPECT_EQ(v->value.u64, e.value);
        }
        cbor_val_free(v);
    }
    EXPECT_EQ(cbor_next_val(p), nullptr) << "input not exhausted";
    cbor_parser_free(p);
}

}  // namespace

TEST(CborParser, Rfc8949AppendixAReadBack) {
    for (const auto &ex : cbor_examples::rfc8949_examples()) {
        SCOPED_TRACE(ex.name);
        std::vector<uint8_t> input = from_hex(ex.hex);
        cbor_parser *p = cbor_parser_create(input.data(), input.size());
        ASSERT_NE(p, nullptr);
        for (const Item &it : ex.items) {
            cbor_val *v = cbor_next_val(p);
            expect_item(v, it);
            cbor_val_free(v);
        }
        EXPECT_EQ(cbor_parser_available_bytes(p), 0);
        EXPECT_EQ(cbor_next_val(p), nullptr);
        cbor_parser_free(p);
    }
}

TEST(CborParser, ItemSequences) {
    struct Case {
        const char *hex;
        std::vector<Expect> items;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"00", {item(0x00, 0)}},
        {"17", {item(0x17, 23)}},
        {"1818", {item(0x18, 24)}},
        {"190100", {item(0x19, 256)}},
        {"1a00010000", {item(0x1A, 65536)}},
        {"1b0000000100000000", {item(0x1B, 4294967296ull)}},
        {"1bffffffffffffffff", {item(0x1B, UINT64_MAX)}},
        {"20", {item(0x20, UINT64_MAX)}},
        {"37", {item(0x37, static_cast<uint64_t>(-24))}},
        {"3818", {item(0x38, static_cast<uint64_t>(-25))}},
        {"39ffff", {item(0x39, static_cast<uint64_t>(-65536))}},
        {"3affffffff", {item(0x3A, static_cast<uint64_t>(-4294967296ll))}},
        {"3b7fffffffffffffff", {item(0x3B, static_cast<uint64_t>(INT64_MIN))}},
        {"3bffffffffffffffff", {item(0x3B, 0)}},
        {"40", {string_item(0x40, 0, "")}},
        {"4401020304", {string_item(0x44, 4, "01020304")}},
        {"5801ff", {string_item(0x58, 1, "ff")}},
        {"590002abcd", {string_item(0x59, 2, "abcd")}},
        {"5a00000001ee", {string_item(0x5A, 1, "ee")}},
        {"5b000000000000000100", {string_item(0x5B, 1, "00")}},
        {"63616263", {string_item(0x63, 3, "61626300")}},
        {"60", {string_item(0x60, 0, "00")}},
        {"780161", {string_item(0x78, 1, "6100")}},
        {"79000161", {string_item(0x79, 1, "6100")}},
        {"7a0000000161", {string_item(0x7A, 1, "6100")}},
        {"7b000000000000000161", {string_item(0x7B, 1, "6100")}},
        {"820102", {item(0x82, 0, 2), item(0x01, 1), item(0x02, 2)}},
        {"9818", {item(0x98, 0, 24)}},
        {"99ffff", {item(0x99, 0, 65535)}},
        {"9a00010000", {item(0x9A, 0, 65536)}},
        {"9b0000000100000000", {item(0x9B, 0, 4294967296ll)}},
        {"9f01ff", {item(0x9F, 0, -1), item(0x01, 1), item(0xFF)}},
        {"a0", {item(0xA0, 0, 0)}},
        {"b818", {item(0xB8, 0, 24)}},
        {"b90100", {item(0xB9, 0, 256)}},
        {"ba00010000", {item(0xBA, 0, 65536)}},
        {"bb0000000100000000", {item(0xBB, 0, 4294967296ll)}},
        {"bfff", {item(0xBF, 0, -1), item(0xFF)}},
        {"5fff", {item(0x5F, 0, -1), item(0xFF)}},
        {"7fff", {item(0x7F, 0, -1), item(0xFF)}},
        {"f4f5f6f7", {item(0xF4), item(0xF5), item(0xF6), item(0xF7)}},
        {"c24101", {item(0xC2), string_item(0x41, 1, "01")}},
        {"d820", {item(0xD8), item(0x20, UINT64_MAX)}},
        {"db", {item(0xDB)}},
        {"ff", {item(0xFF)}},
        // A failed item leaves the cursor past its head: 43 announces three
        // bytes with two left, and reading on continues at 61 ("b" as text).
        {"436162", {null_item(), string_item(0x61, 1, "6200")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("input ") + c.hex);
        expect_sequence(c.hex, c.items);
    }
}

TEST(CborParser, Floats) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char *hex;
        uint64_t bits;
    };
    const Case cases[] = {
        {"f93c00", bits_of(1.0)},
        {"f90001", bits_of(std::ldexp(1.0, -24))},
        {"f903ff", bits_of(std::ldexp(1023.0, -24))},
        {"f90400", bits_of(std::ldexp(1.0, -14))},
        {"f98000", bits_of(-0.0)},
        {"f90000", bits_of(0.0)},
        {"f97bff", bits_of(65504.0)},
        {"f97c00", bits_of(inf)},
        {"f9fc00", bits_of(-inf)},
        {"f97e00", kQuietNan},
        {"f97c01", kQuietNan},
        {"f9c400", bits_of(-4.0)},
        {"fa47800000", bits_of(65536.0)},
        {"fa7f800000", bits_of(inf)},
        {"faff800000", bits_of(-inf)},
        {"fa7ffc0000", kQuietNan},
        {"fa00000001", bits_of(std::ldexp(1.0, -149))},
        {"fa3f8ccccd", bits_of(static_cast<double>(1.1f))},
        {"fa7f7fffff", bits_of(3.4028234663852886e+38)},
        {"fb3ff199999999999a", bits_of(1.1)},
        {"fb7ff0000000000000", bits_of(inf)},
        {"fb7ff0000000000123", 0x7FF0000000000123ull},
        {"fb8000000000000000", bits_of(-0.0)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex);
        expect_sequence(c.hex, {item(from_hex(c.hex)[0], c.bits)});
    }
}

TEST(CborParser, NegativeHalfNanKeepsItsSign) {
    std::vector<uint8_t> input = from_hex("f9fe00");
    cbor_parser *p = cbor_parser_create(input.data(), input.size());
    cbor_val *v = cbor_next_val(p);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(std::isnan(v->value.f64));
    EXPECT_TRUE(std::signbit(v->value.f64));
    cbor_val_free(v);
    cbor_parser_free(p);
}

// Every head cut short at every width fails, and leaves the cursor just past
// the initial byte (the argument bytes that are there stay unread).
TEST(CborParser, TruncatedHeadsAtEveryWidth) {
    const uint8_t initials[] = {0x18, 0x19, 0x1A, 0x1B, 0x38, 0x39, 0x3A, 0x3B, 0x58, 0x59, 0x5A, 0x5B,
                                0x78, 0x79, 0x7A, 0x7B, 0x98, 0x99, 0x9A, 0x9B, 0xB8, 0xB9, 0xBA, 0xBB,
                                0xF9, 0xFA, 0xFB};
    for (uint8_t initial : initials) {
        unsigned width;
        if (initial >= 0xF9) width = 2u << (initial - 0xF9);
        else width = 1u << ((initial & 0x1F) - 24);
        for (unsigned have = 0; have < width; ++have) {
            SCOPED_TRACE(std::to_string(initial) + " with " + std::to_string(have) + " argument bytes");
            std::vector<uint8_t> input(1 + have, 0x00);
            input[0] = initial;
            cbor_parser *p = cbor_parser_create(input.data(), input.size());
            EXPECT_EQ(cbor_next_val(p), nullptr);
            EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(have));
            EXPECT_EQ(p->cursor, input.data() + 1);
            cbor_parser_free(p);
        }
    }
}

// A declared length beyond the input fails without reading past the end and
// without allocating anything for the string.
TEST(CborParser, LyingStringLengths) {
    core_alloc_fail_after(-1);
    const char *inputs[] = {
        "43 6162",
        "5818 00",
        "59ffff 00",
        "5a00000010 010203",
        "5affffffff",
        "5b7fffffffffffffff 00",
        "5bffffffffffffffff 0000",
        "7b0000000100000000 61",
        "64 616263",
    };
    for (const char *hex : inputs) {
        SCOPED_TRACE(hex);
        std::vector<uint8_t> bytes = from_hex(hex);
        // Copied into a block of exactly the input's size, so that AddressSanitizer
        // sees any read past it.
        std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size()]);
        memcpy(input.get(), bytes.data(), bytes.size());
        cbor_parser *p = cbor_parser_create(input.get(), bytes.size());
        core_alloc_fail_after(-1);
        EXPECT_EQ(cbor_next_val(p), nullptr);
        EXPECT_EQ(core_alloc_attempts(), 1) << "only the record may be allocated";
        cbor_parser_free(p);
    }
}

TEST(CborParser, ReservedBytesAreSingleByteRecords) {
    const uint8_t reserved[] = {0x1C, 0x1D, 0x1E, 0x1F, 0x3C, 0x3D, 0x3E, 0x3F, 0x5C, 0x5D, 0x5E,
                                0x7C, 0x7D, 0x7E, 0x9C, 0x9D, 0x9E, 0xBC, 0xBD, 0xBE, 0xDC, 0xDD,
                                0xDE, 0xDF, 0xFC, 0xFD, 0xFE};
    for (uint8_t b : reserved) {
        SCOPED_TRACE(static_cast<int>(b));
        const uint8_t input[] = {b, 0x05};
        cbor_parser *p = cbor_parser_create(input, sizeof input);
        cbor_val *v = cbor_next_val(p);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->initial_byte, b);
        EXPECT_EQ(v->major_type, static_cast<uint32_t>(b >> 5));
        EXPECT_EQ(v->value.u64, 0u);
        EXPECT_EQ(v->length, 0);
        cbor_val_free(v);
        // Exactly one byte consumed.
        cbor_val *next = cbor_next_val(p);
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next->value.u64, 5u);
        cbor_val_free(next);
        cbor_parser_free(p);
    }
}

TEST(CborParser, UnimplementedCodesReportOnStandardError) {
    struct Case {
        const char *hex;
        const char *message;
        size_t items;
    };
    const Case cases[] = {
        {"e0", "Unimplemented CBOR code: e0\n", 1},
        {"f3", "Unimplemented CBOR code: f3\n", 1},
        {"f810", "Unimplemented CBOR code: f8\n", 2},
        {"ebec", "Unimplemented CBOR code: eb\nUnimplemented CBOR code: ec\n", 2},
        {"f4c0fffc1c", "", 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex);
        std::vector<uint8_t> input = from_hex(c.hex);
        cbor_parser *p = cbor_parser_create(input.data(), input.size());
        testing::internal::CaptureStderr();
        std::vector<cbor_val *> vals;
        while (cbor_val *v = cbor_next_val(p)) vals.push_back(v);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        ASSERT_EQ(vals.size(), c.items);
        EXPECT_EQ(vals[0]->initial_byte, input[0]);
        EXPECT_EQ(vals[0]->major_type, 7u & (input[0] >> 5));
        EXPECT_EQ(vals[0]->value.u64, 0u);
        if (input[0] == 0xF8) {
            EXPECT_EQ(vals[1]->value.u64, 16u);
        }
        for (cbor_val *v : vals) cbor_val_free(v);
        cbor_parser_free(p);
    }
}

TEST(CborParser, IndefiniteFlagFollowsStartsAndBreaks) {
    std::vector<uint8_t> input = from_hex("9f 01 ff ff bf 5f ff");
    const uint32_t flag_after[] = {1, 1, 0, 0, 1, 1, 0};
    cbor_parser *p = cbor_parser_create(input.data(), input.size());
    EXPECT_EQ(p->indefinite, 0u);
    for (uint32_t expected : flag_after) {
        cbor_val *v = cbor_next_val(p);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(p->indefinite, expected);
        cbor_val_free(v);
    }
    cbor_parser_free(p);
}

TEST(CborParser, EmptyAndNullInputs) {
    EXPECT_EQ(cbor_next_val(nullptr), nullptr);
    EXPECT_EQ(cbor_parser_available_bytes(nullptr), 0);
    cbor_parser *p = cbor_parser_create(nullptr, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->start, nullptr);
    EXPECT_EQ(p->cursor, nullptr);
    EXPECT_EQ(p->length, 0u);
    EXPECT_EQ(p->indefinite, 0u);
    EXPECT_EQ(cbor_parser_available_bytes(p), 0);
    EXPECT_EQ(cbor_next_val(p), nullptr);
    cbor_parser_free(p);
    cbor_parser_free(nullptr);
    cbor_val_free(nullptr);

    cbor_val *v = cbor_val_create();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->initial_byte, 0);
    EXPECT_EQ(v->major_type, 0u);
    EXPECT_EQ(v->value.u64, 0u);
    EXPECT_EQ(v->length, 0);
    cbor_val_free(v);
}

TEST(CborParser, AvailableBytesCountsDown) {
    std::vector<uint8_t> input = from_hex("19 0100 63 616263 f6");
    cbor_parser *p = cbor_parser_create(input.data(), input.size());
    const int64_t after[] = {5, 1, 0};
    EXPECT_EQ(cbor_parser_available_bytes(p), 8);
    for (int64_t expected : after) {
        cbor_val *v = cbor_next_val(p);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(cbor_parser_available_bytes(p), expected);
        cbor_val_free(v);
    }
    cbor_parser_free(p);
}

// Handlers are exported and may be called without cbor_next_val: with no
// byte left they fail instead of reading past the input.
TEST(CborParser, HandlersCalledAtTheEndFail) {
    const uint8_t input[] = {0x00};
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        cbor_parser *p = cbor_parser_create(input, sizeof input);
        p->cursor = input + 1;
        cbor_val *v = cbor_val_create();
        EXPECT_EQ(cbor_jump_table[b](p, v), -1);
        EXPECT_EQ(p->cursor, input + 1);
        free(v);
        cbor_parser_free(p);
    }
}

TEST(CborParser, JumpTableMatchesTheInitialByteLayout) {
    struct Range {
        int first, last;
        cbor_parse_fn fn;
    };
    const Range ranges[] = {
        {0x00, 0x17, cbor_parse_uint_small},
        {0x18, 0x18, cbor_parse_uint8},
        {0x19, 0x19, cbor_parse_uint16},
        {0x1A, 0x1A, cbor_parse_uint32},
        {0x1B, 0x1B, cbor_parse_uint64},
        {0x1C, 0x1F, cbor_parse_reserved},
        {0x20, 0x37, cbor_parse_negint_small},
        {0x38, 0x38, cbor_parse_negint8},
        {0x39, 0x39, cbor_parse_negint16},
        {0x3A, 0x3A, cbor_parse_negint32},
        {0x3B, 0x3B, cbor_parse_negint64},
        {0x3C, 0x3F, cbor_parse_reserved},
        {0x40, 0x57, cbor_parse_byte_string_small},
        {0x58, 0x58, cbor_parse_byte_string_uint8},
        {0x59, 0x59, cbor_parse_byte_string_uint16},
        {0x5A, 0x5A, cbor_parse_byte_string_uint32},
        {0x5B, 0x5B, cbor_parse_byte_string_uint64},
        {0x5C, 0x5E, cbor_parse_reserved},
        {0x5F, 0x5F, cbor_parse_byte_string_indefinite},
        {0x60, 0x77, cbor_parse_text_string_small},
        {0x78, 0x78, cbor_parse_text_string_uint8},
        {0x79, 0x79, cbor_parse_text_string_uint16},
        {0x7A, 0x7A, cbor_parse_text_string_uint32},
        {0x7B, 0x7B, cbor_parse_text_string_uint64},
        {0x7C, 0x7E, cbor_parse_reserved},
        {0x7F, 0x7F, cbor_parse_text_string_indefinite},
        {0x80, 0x97, cbor_parse_array_small},
        {0x98, 0x98, cbor_parse_array_uint8},
        {0x99, 0x99, cbor_parse_array_uint16},
        {0x9A, 0x9A, cbor_parse_array_uint32},
        {0x9B, 0x9B, cbor_parse_array_uint64},
        {0x9C, 0x9E, cbor_parse_reserved},
        {0x9F, 0x9F, cbor_parse_array_indefinite},
        {0xA0, 0xB7, cbor_parse_map_small},
        {0xB8, 0xB8, cbor_parse_map_uint8},
        {0xB9, 0xB9, cbor_parse_map_uint16},
        {0xBA, 0xBA, cbor_parse_map_uint32},
        {0xBB, 0xBB, cbor_parse_map_uint64},
        {0xBC, 0xBE, cbor_parse_reserved},
        {0xBF, 0xBF, cbor_parse_map_indefinite},
        {0xC0, 0xDB, cbor_parse_semantic_tag},
        {0xDC, 0xDF, cbor_parse_reserved},
        {0xE0, 0xF3, cbor_parse_unimplemented},
        {0xF4, 0xF4, cbor_parse_false},
        {0xF5, 0xF5, cbor_parse_true},
        {0xF6, 0xF6, cbor_parse_null},
        {0xF7, 0xF7, cbor_parse_undefined},
        {0xF8, 0xF8, cbor_parse_unimplemented},
        {0xF9, 0xF9, cbor_parse_float16},
        {0xFA, 0xFA, cbor_parse_float32},
        {0xFB, 0xFB, cbor_parse_float64},
        {0xFC, 0xFE, cbor_parse_reserved},
        {0xFF, 0xFF, cbor_parse_break},
    };
    int covered = 0;
    for (const Range &r : ranges) {
        for (int b = r.first; b <= r.last; ++b, ++covered) {
            EXPECT_EQ(cbor_jump_table[b], r.fn) << "initial byte " << b;
        }
    }
    EXPECT_EQ(covered, 256);
}

// ---- inputs of 2^31 bytes and more -----------------------------------------

// A record describing a long input over a short buffer: only the leading
// items are read, so the buffer is never left. With the remaining count cut
// to 32 bits these lengths read as negative or tiny and nothing would parse.
TEST(CborParser64, LongLengthFieldOverShortBuffer) {
    const uint64_t lengths[] = {1ull << 31, (1ull << 32) + 2, (1ull << 32) - 1, 1ull << 40};
    for (uint64_t length : lengths) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> input = from_hex("1a00010000 63616263 5a00000002 abcd");
        cbor_parser *p = cbor_parser_create(input.data(), length);
        EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(length));
        cbor_val *v = cbor_next_val(p);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->value.u64, 65536u);
        cbor_val_free(v);
        v = cbor_next_val(p);
        expect_item(v, cbor_examples::T("abc"));
        cbor_val_free(v);
        v = cbor_next_val(p);
        expect_item(v, cbor_examples::B("\xab\xcd"));
        cbor_val_free(v);
        EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(length - input.size()));
        cbor_parser_free(p);
    }
}

TEST(CborParser64, AvailableBytesNeverOverflows) {
    const uint8_t input[] = {0x00};
    cbor_parser *p = cbor_parser_create(input, UINT64_MAX);
    EXPECT_EQ(cbor_parser_available_bytes(p), INT64_MAX);
    cbor_parser_free(p);
}

#if defined(__unix__) && defined(MAP_NORESERVE) && UINTPTR_MAX > 0xFFFFFFFFu
// A real input just over 2^31 bytes, reserved but never touched except at
// its two ends, with an inaccessible page right after it: items at the very
// end parse, and an item cut short by the end fails instead of reading on.
TEST(CborParser64, RealInputBeyond2Pow31) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t length = (size_t{1} << 31) + page;
    void *map = mmap(nullptr, length + page, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) GTEST_SKIP() << "cannot reserve the address space";
    uint8_t *data = static_cast<uint8_t *>(map);
    ASSERT_EQ(mprotect(data + length, page, PROT_NONE), 0);

    const std::vector<uint8_t> head = from_hex("5b0000000080001001 ff");  // longer than the input
    memcpy(data, head.data(), head.size());
    const std::vector<uint8_t> tail = from_hex("1a12345678 f97c00 19 0102 1b 0000");
    memcpy(data + length - tail.size(), tail.data(), tail.size());

    cbor_parser *p = cbor_parser_create(data, length);
    ASSERT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(length));
    core_alloc_fail_after(-1);
    EXPECT_EQ(cbor_next_val(p), nullptr);  // a lying 2^31 + 4097-byte string
    EXPECT_EQ(core_alloc_attempts(), 1);
    EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(length - 9));

    p->cursor = data + length - tail.size();
    cbor_val *v = cbor_next_val(p);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->value.u64, 0x12345678u);
    cbor_val_free(v);
    v = cbor_next_val(p);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(std::isinf(v->value.f64));
    cbor_val_free(v);
    v = cbor_next_val(p);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->value.u64, 0x0102u);
    cbor_val_free(v);
    EXPECT_EQ(cbor_parser_available_bytes(p), 3);
    EXPECT_EQ(cbor_next_val(p), nullptr);  // 1B with two of its eight bytes
    EXPECT_EQ(cbor_parser_available_bytes(p), 2);
    cbor_parser_free(p);
    munmap(map, length + page);
}
#endif

// ---- failing allocator -----------------------------------------------------

class CborParserAllocation : public ::testing::Test {
protected:
    void TearDown() override { core_alloc_fail_after(-1); }
};

TEST_F(CborParserAllocation, CreateReturnsNull) {
    const uint8_t input[] = {0x00};
    core_alloc_fail_after(0);
    EXPECT_EQ(cbor_parser_create(input, 1), nullptr);
    EXPECT_EQ(cbor_val_create(), nullptr);
}

TEST_F(CborParserAllocation, RecordOrCopyFailureGivesNull) {
    const char *inputs[] = {"01", "4401020304", "6461626364", "40", "60", "f93c00"};
    for (const char *hex : inputs) {
        SCOPED_TRACE(hex);
        std::vector<uint8_t> input = from_hex(hex);
        bool succeeded = false;
        for (long k = 0; k < 4 && !succeeded; ++k) {
            cbor_parser *p = cbor_parser_create(input.data(), input.size());
            core_alloc_fail_after(k);
            cbor_val *v = cbor_next_val(p);
            core_alloc_fail_after(-1);
            succeeded = v != nullptr;
            cbor_val_free(v);  // a failure must not leak the record (LeakSanitizer)
            cbor_parser_free(p);
        }
        EXPECT_TRUE(succeeded);
    }
}
