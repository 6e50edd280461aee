#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "alloc.h"
#include "cbor_examples.h"
#include "cbor_parser.h"

using namespace cbor_examples;

namespace {

uint64_t bits_of(double x) {
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

const uint64_t kQuietNan = 0x7FF8000000000000ull;

// Checks one parsed record against the item that was written.
void expect_item(const cbor_val *v, const Item &it) {
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->major_type, static_cast<uint32_t>(v->initial_byte >> 5));
    switch (it.op) {
    case Op::Uint: EXPECT_EQ(v->major_type, 0u); EXPECT_EQ(v->value.u64, it.u); EXPECT_EQ(v->length, 0); break;
    case Op::Negint: EXPECT_EQ(v->major_type, 1u); EXPECT_EQ(v->value.i64, it.i); break;
    case Op::Bytes:
    case Op::Text:
        EXPECT_EQ(v->major_type, it.op == Op::Bytes ? 2u : 3u);
        ASSERT_EQ(v->length, static_cast<int64_t>(it.s.size()));
        ASSERT_NE(v->value.bytes, nullptr);  // even for an empty string
        EXPECT_EQ(std::string(v->value.text, it.s.size()), it.s);
        if (it.op == Op::Text) {
            EXPECT_EQ(v->value.text[it.s.size()], '\0');
        }
        break;
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
        EXPECT_EQ(bits_of(v->value.f64), std::isnan(it.d) ? kQuietNan : bits_of(it.d));
        break;
    default: {
        // BytesStart, TextStart, ArrayStart, MapStart, Break, False, True, Null, Undefined
        static const uint8_t initial[] = {0x5F, 0x7F, 0, 0x9F, 0, 0xBF, 0xFF, 0xF4, 0xF5, 0xF6, 0xF7};
        const bool start = it.op == Op::BytesStart || it.op == Op::TextStart || it.op == Op::ArrayStart ||
                           it.op == Op::MapStart;
        EXPECT_EQ(v->initial_byte, initial[static_cast<int>(it.op) - static_cast<int>(Op::BytesStart)]);
        EXPECT_EQ(v->value.u64, 0u);
        EXPECT_EQ(v->length, start ? -1 : 0);
    }
    }
}

// One expected record: initial byte, raw value bits, length, and for a
// definite string the hex of its copy (text terminator included).
struct Expect {
    uint8_t initial;
    uint64_t value;
    int64_t length;
    std::string copy_hex{};
};

// Reads the input item by item; length -2 stands for a null record.
void expect_sequence(const std::string &hex_input, const std::vector<Expect> &expected) {
    std::vector<uint8_t> input = from_hex(hex_input);
    cbor_parser *p = cbor_parser_create(input.data(), input.size());
    ASSERT_NE(p, nullptr);
    for (size_t k = 0; k < expected.size(); ++k) {
        SCOPED_TRACE("item " + std::to_string(k));
        const Expect &e = expected[k];
        cbor_val *v = cbor_next_val(p);
        if (e.length == -2) {
            EXPECT_EQ(v, nullptr);
            cbor_val_free(v);
            continue;
        }
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->initial_byte, e.initial);
        EXPECT_EQ(v->major_type, static_cast<uint32_t>(e.initial >> 5));
        EXPECT_EQ(v->length, e.length);
        if (!e.copy_hex.empty()) {
            ASSERT_NE(v->value.bytes, nullptr);
            EXPECT_EQ(hex(v->value.bytes, e.copy_hex.size() / 2), e.copy_hex);
        } else {
            EXPECT_EQ(v->value.u64, e.value);  // zero (null) for an indefinite string start
        }
        cbor_val_free(v);
    }
    EXPECT_EQ(cbor_next_val(p), nullptr) << "input not exhausted";
    cbor_parser_free(p);
}

}  // namespace

TEST(CborParser, Rfc8949AppendixAReadBack) {
    for (const auto &ex : rfc8949_examples()) {
        SCOPED_TRACE(ex.hex);
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
    const uint64_t all = UINT64_MAX;
    const struct {
        const char *hex;
        std::vector<Expect> items;
    } cases[] = {
        {"", {}},
        {"3bffffffffffffffff", {{0x3B, 0, 0}}},  // the complement of the largest argument
        {"37", {{0x37, all - 23, 0}}}, {"3818", {{0x38, all - 24, 0}}}, {"39ffff", {{0x39, all - 65535, 0}}},
        {"3affffffff", {{0x3A, all - 0xFFFFFFFFull, 0}}}, {"3b7fffffffffffffff", {{0x3B, 1ull << 63, 0}}},
        {"5801ff", {{0x58, 0, 1, "ff"}}}, {"590002abcd", {{0x59, 0, 2, "abcd"}}},
        {"5a00000001ee", {{0x5A, 0, 1, "ee"}}}, {"5b000000000000000100", {{0x5B, 0, 1, "00"}}},
        {"780161", {{0x78, 0, 1, "6100"}}}, {"79000161", {{0x79, 0, 1, "6100"}}},
        {"7a0000000161", {{0x7A, 0, 1, "6100"}}}, {"7b000000000000000161", {{0x7B, 0, 1, "6100"}}},
        {"99ffff", {{0x99, 0, 65535}}}, {"9a00010000", {{0x9A, 0, 65536}}},
        {"9b0000000100000000", {{0x9B, 0, 4294967296ll}}}, {"b818", {{0xB8, 0, 24}}}, {"b90100", {{0xB9, 0, 256}}},
        {"ba00010000", {{0xBA, 0, 65536}}}, {"bb0000000100000000", {{0xBB, 0, 4294967296ll}}},
        {"5fff", {{0x5F, 0, -1}, {0xFF, 0, 0}}}, {"7fff", {{0x7F, 0, -1}, {0xFF, 0, 0}}},
        {"d820", {{0xD8, 0, 0}, {0x20, all, 0}}},
        // A failed item leaves the cursor past its head: 43 announces three
        // bytes with two left, and reading on continues at 61 ("b" as text).
        {"436162", {{0, 0, -2}, {0x61, 0, 1, "6200"}}},
        {"fa7ffc0000", {{0xFA, kQuietNan, 0}}}, {"fb8000000000000000", {{0xFB, bits_of(-0.0), 0}}},
        {"fb7ff0000000000123", {{0xFB, 0x7FF0000000000123ull, 0}}},  // a double's NaN payload is kept
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("input ") + c.hex);
        expect_sequence(c.hex, c.items);
    }
}

// Every half and random singles against an independent decoder. Half NaNs
// read as the quiet NaN with their sign; single NaNs need only stay NaN.
TEST(CborParser, FloatsAgainstAnIndependentDecoder) {
    std::mt19937 rng(5);
    for (uint32_t k = 0; k < 0x10000 + 50000; ++k) {
        const bool half = k < 0x10000;
        const uint32_t bits = half ? k : static_cast<uint32_t>(rng());
        std::vector<uint8_t> input = {static_cast<uint8_t>(half ? 0xF9 : 0xFA)};
        for (int shift = half ? 8 : 24; shift >= 0; shift -= 8) input.push_back(static_cast<uint8_t>(bits >> shift));
        cbor_parser *p = cbor_parser_create(input.data(), input.size());
        cbor_val *v = cbor_next_val(p);
        cbor_parser_free(p);
        ASSERT_NE(v, nullptr);
        const double x = half ? ieee_value(bits, 5, 10) : ieee_value(bits, 8, 23), got = v->value.f64;
        cbor_val_free(v);
        if (!std::isnan(x)) ASSERT_EQ(bits_of(got), bits_of(x)) << std::hex << bits;
        else if (half) ASSERT_EQ(bits_of(got), kQuietNan | (bits & 0x8000ull) << 48) << std::hex << bits;
        else ASSERT_TRUE(std::isnan(got)) << std::hex << bits;
    }
}

// A head cut short at any width fails and leaves the cursor just past the
// initial byte (the argument bytes that are there stay unread).
TEST(CborParser, TruncatedHeadsAtEveryWidth) {
    for (int initial = 0; initial < 256; ++initial) {
        const unsigned info = initial & 0x1F, major = initial >> 5;
        unsigned width;
        if (initial >= 0xF9 && initial <= 0xFB) width = 2u << (initial - 0xF9);
        else if (major != 6 && major != 7 && info >= 24 && info <= 27) width = 1u << (info - 24);
        else continue;
        for (unsigned have = 0; have < width; ++have) {
            SCOPED_TRACE(std::to_string(initial) + " with " + std::to_string(have) + " argument bytes");
            std::vector<uint8_t> input(1 + have, 0x00);
            input[0] = static_cast<uint8_t>(initial);
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
    for (const char *hex_input : {"43 6162", "5818 00", "59ffff 00", "5a00000010 010203", "5affffffff",
                                  "5b7fffffffffffffff 00", "5bffffffffffffffff 0000", "7b0000000100000000 61",
                                  "64 616263"}) {
        SCOPED_TRACE(hex_input);
        const std::vector<uint8_t> bytes = from_hex(hex_input);
        // A block of exactly the input's size, so that AddressSanitizer sees any read past it.
        std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size()]);
        memcpy(input.get(), bytes.data(), bytes.size());
        cbor_parser *p = cbor_parser_create(input.get(), bytes.size());
        core_alloc_fail_after(-1);
        EXPECT_EQ(cbor_next_val(p), nullptr);
        EXPECT_EQ(core_alloc_attempts(), 1) << "only the record may be allocated";
        cbor_parser_free(p);
    }
}

// Reserved bytes, tags (whose argument is left for the next call), simple
// values, breaks and unimplemented codes each give a record of the one byte;
// only the unimplemented codes print a message.
TEST(CborParser, SingleByteRecords) {
    for (int b = 0; b < 256; ++b) {
        const unsigned info = b & 0x1F, major = b >> 5;
        const bool reserved = info >= 28 && (info < 31 || major == 0 || major == 1);
        if (!reserved && major != 6 && !(major == 7 && (b < 0xF9 || b > 0xFB))) continue;
        SCOPED_TRACE(b);
        const bool unimplemented = (b >= 0xE0 && b <= 0xF3) || b == 0xF8;
        testing::internal::CaptureStderr();
        expect_sequence(hex(std::string{static_cast<char>(b), 0x05}), {{static_cast<uint8_t>(b), 0, 0}, {0x05, 5, 0}});
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  unimplemented ? "Unimplemented CBOR code: " + hex(std::string(1, static_cast<char>(b))) + "\n" : "");
    }
}

TEST(CborParser, IndefiniteFlagFollowsStartsAndBreaks) {
    std::vector<uint8_t> input = from_hex("9f 01 ff ff bf 5f ff");
    cbor_parser *p = cbor_parser_create(input.data(), input.size());
    EXPECT_EQ(p->indefinite, 0u);
    for (uint32_t expected : {1, 1, 0, 0, 1, 1, 0}) {
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
    EXPECT_EQ(cbor_parser_available_bytes(p), 0);
    EXPECT_EQ(cbor_next_val(p), nullptr);
    cbor_parser_free(p);
    cbor_parser_free(nullptr);
    cbor_val_free(nullptr);
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

// A length field of 2^31 and more over a short buffer: only the leading items
// are read. With the remaining count cut to 32 bits nothing would parse.
TEST(CborParser64, LongLengthFieldOverShortBuffer) {
    for (uint64_t length : {1ull << 31, (1ull << 32) + 2, (1ull << 32) - 1, 1ull << 40}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> input = from_hex("1a00010000 63616263 5a00000002 abcd");
        cbor_parser *p = cbor_parser_create(input.data(), length);
        EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(length));
        for (const Item &it : {U(65536), T("abc"), B("\xab\xcd")}) {
            cbor_val *v = cbor_next_val(p);
            expect_item(v, it);
            cbor_val_free(v);
        }
        EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(length - input.size()));
        cbor_parser_free(p);
    }
    const uint8_t input[] = {0x00};
    cbor_parser *p = cbor_parser_create(input, UINT64_MAX);
    EXPECT_EQ(cbor_parser_available_bytes(p), INT64_MAX);
    cbor_parser_free(p);
}

#if defined(__unix__) && defined(MAP_NORESERVE) && UINTPTR_MAX > 0xFFFFFFFFu
// A real input just over 2^31 bytes, touched only at its two ends, with an
// inaccessible page after it: items at the very end parse, and one cut short
// by the end fails instead of reading on.
TEST(CborParser64, RealInputBeyond2Pow31) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t length = (size_t{1} << 31) + page;
    void *map = mmap(nullptr, length + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) GTEST_SKIP() << "cannot reserve the address space";
    uint8_t *data = static_cast<uint8_t *>(map);
    ASSERT_EQ(mprotect(data + length, page, PROT_NONE), 0);
    const std::vector<uint8_t> head = from_hex("5b0000000080001001 ff");  // longer than the input
    memcpy(data, head.data(), head.size());
    const std::vector<uint8_t> tail = from_hex("1a12345678 f97c00 19 0102 1b 0000");
    memcpy(data + length - tail.size(), tail.data(), tail.size());

    cbor_parser *p = cbor_parser_create(data, length);
    core_alloc_fail_after(-1);
    EXPECT_EQ(cbor_next_val(p), nullptr);
    EXPECT_EQ(core_alloc_attempts(), 1);
    EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(length - 9));
    p->cursor = data + length - tail.size();
    for (const Item &it : {U(0x12345678), F(INFINITY), U(0x0102)}) {
        cbor_val *v = cbor_next_val(p);
        expect_item(v, it);
        cbor_val_free(v);
    }
    EXPECT_EQ(cbor_parser_available_bytes(p), 3);
    EXPECT_EQ(cbor_next_val(p), nullptr);  // 1B with two of its eight bytes
    EXPECT_EQ(cbor_parser_available_bytes(p), 2);
    cbor_parser_free(p);
    munmap(map, length + page);
}
#endif

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
    for (const char *hex_input : {"01", "4401020304", "6461626364", "40", "60", "f93c00"}) {
        SCOPED_TRACE(hex_input);
        std::vector<uint8_t> input = from_hex(hex_input);
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
