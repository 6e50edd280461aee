#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "alloc.h"
#include "buf_enc.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes contents(const buf *b) { return b->length == 0 ? Bytes{} : Bytes(b->data, b->data + b->length); }

class BufEnc : public ::testing::Test {
  protected:
    void SetUp() override { b = buf_create(); }
    void TearDown() override {
        core_alloc_fail_after(-1);
        buf_free(b);
    }
    buf *b = nullptr;
};

struct Leb { uint64_t value; Bytes bytes; };

const std::vector<Leb> kLeb128 = {
    {0, {0x00}},
    {127, {0x7F}},
    {128, {0x80, 0x01}},
    {300, {0xAC, 0x02}},
    {16383, {0xFF, 0x7F}},
    {16384, {0x80, 0x80, 0x01}},
    {4294967295u, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    {4294967296ull, {0x80, 0x80, 0x80, 0x80, 0x10}},
    {1ull << 63, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
    {UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
};

TEST_F(BufEnc, Leb128BytesBothWays) {
    for (const Leb &c : kLeb128) {
        buf_write_uint64_enc(b, c.value);
        EXPECT_EQ(contents(b), c.bytes) << c.value;
        uint64_t u64 = 0;
        EXPECT_EQ(buf_read_uint64_enc(b->data, &u64), b->data + c.bytes.size()) << c.value;
        EXPECT_EQ(u64, c.value);
        if (c.value <= UINT32_MAX) {
            b->length = 0;
            buf_write_uint32_enc(b, static_cast<uint32_t>(c.value));
            EXPECT_EQ(contents(b), c.bytes) << c.value;
            uint32_t u32 = 0;
            EXPECT_EQ(buf_read_uint32_enc(b->data, &u32), b->data + c.bytes.size()) << c.value;
            EXPECT_EQ(u32, c.value);
        }
        b->length = 0;
    }
}

TEST_F(BufEnc, Leb128RoundTripsAtEveryGroupBoundary) {
    for (int bits = 1; bits <= 64; ++bits) {
        const uint64_t top = bits == 64 ? UINT64_MAX : (1ull << bits) - 1;
        for (uint64_t value : {top, top >> 1, top - (top >> 1)}) {
            b->length = 0;
            buf_write_uint64_enc(b, value);
            const size_t shortest = static_cast<size_t>((bits + 6) / 7);
            if (value == top) {
                EXPECT_EQ(b->length, shortest) << value;
            }
            uint64_t back = 0;
            EXPECT_EQ(buf_read_uint64_enc(b->data, &back), b->data + b->length);
            EXPECT_EQ(back, value);
        }
    }
}

TEST_F(BufEnc, Leb128ReaderEdges) {
    struct Case { Bytes bytes; bool wide; long consumed; uint64_t value; }; /* consumed -1: null */
    const std::vector<Case> table = {
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, false, 5, 4294967295u},  /* bits 4-6 of the 5th byte ignored */
        {{0x80, 0x80, 0x80, 0x80, 0x80}, false, -1, 0},
        {{0x80, 0x00}, false, 2, 0},                              /* overlong forms are accepted */
        {Bytes(10, 0x80), true, -1, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, true, 10, UINT64_MAX},
        {{0x80, 0x80, 0x00}, true, 3, 0},
    };
    for (const Case &c : table) {
        const uint8_t *p = c.bytes.data();
        const uint64_t sentinel = 0x5A5A5A5A;
        uint64_t value = sentinel;
        uint32_t value32 = static_cast<uint32_t>(sentinel);
        const uint8_t *next = c.wide ? buf_read_uint64_enc(p, &value) : buf_read_uint32_enc(p, &value32);
        const uint8_t *skipped = c.wide ? buf_read_uint64_enc(p, nullptr) : buf_read_uint32_enc(p, nullptr);
        if (!c.wide) value = value32;
        EXPECT_EQ(next, c.consumed < 0 ? nullptr : p + c.consumed) << c.consumed;
        EXPECT_EQ(skipped, next);
        EXPECT_EQ(value, c.consumed < 0 ? sentinel : c.value);
    }
    EXPECT_EQ(buf_read_uint32_enc(nullptr, nullptr), nullptr);
    EXPECT_EQ(buf_read_uint64_enc(nullptr, nullptr), nullptr);
}

TEST_F(BufEnc, LengthPrefixedStrings) {
    buf_write_string_enc(b, nullptr);
    buf_write_string_enc(b, "");
    buf_write_string_length_enc(b, nullptr, 0);
    buf_write_string_length_enc(b, "abc", 3);
    EXPECT_EQ(contents(b), (Bytes{0x00, 0x00, 0x00, 0x03, 'a', 'b', 'c'}));

    char *text = nullptr;
    uint64_t length = 99;
    EXPECT_EQ(buf_read_string_length_enc(b->data, &text, &length), b->data + 1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(length, 0u);
    free(text);
    EXPECT_EQ(buf_read_string_length_enc(b->data + 3, &text, &length), b->data + 7);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(length, 3u);
    free(text);
    EXPECT_EQ(buf_read_string_length_enc(b->data + 3, nullptr, nullptr), b->data + 7);

    const std::string long_text(200, 'x');
    b->length = 0;
    buf_write_string_enc(b, long_text.c_str());
    EXPECT_EQ(b->length, 202u);
    EXPECT_EQ(buf_read_string_length_enc(b->data, &text, &length), b->data + 202);
    EXPECT_EQ(std::string(text), long_text);
    free(text);

    const Bytes malformed(10, 0x80);
    text = nullptr;
    length = 99;
    EXPECT_EQ(buf_read_string_length_enc(malformed.data(), &text, &length), nullptr);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 99u);

    /* Past the 32-bit prefix: refused before a byte of the body is read. */
    b->length = 0;
    buf_write_string_length_enc(b, "abc", 1ull << 32);
    EXPECT_EQ(b->length, 0u);
}

TEST_F(BufEnc, FloatWriterAndReaderAreNotInverses) {
    buf_write_float(b, 1.0f);
    EXPECT_EQ(contents(b), (Bytes{0x00, 0x00, 0x80, 0x3F}));
    float f = -1.0f;
    EXPECT_EQ(buf_read_float(b->data, &f), b->data + 1);
    EXPECT_EQ(f, 0.0f);
    b->length = 0;
    buf_write_uint32_enc(b, 0x3F800000u); /* the bit pattern of 1.0 as LEB128 */
    EXPECT_EQ(buf_read_float(b->data, &f), b->data + b->length);
    EXPECT_EQ(f, 1.0f);
    const Bytes malformed(5, 0x80);
    EXPECT_EQ(buf_read_float(malformed.data(), &f), nullptr);
    EXPECT_EQ(f, 1.0f);
}

TEST_F(BufEnc, Booleans) {
    for (int value : {0, 1, 2, 0x101}) buf_write_bool(b, value);
    buf_write_bool(nullptr, 1);
    EXPECT_EQ(contents(b), (Bytes{0x00, 0x01, 0x02, 0x01}));
    const long expected[] = {0, 1, -1, 1}; /* -1: rejected */
    for (int i = 0; i < 4; ++i) {
        uint8_t value = 7;
        const uint8_t *next = buf_read_bool(b->data + i, &value);
        EXPECT_EQ(next, expected[i] < 0 ? nullptr : b->data + i + 1) << i;
        EXPECT_EQ(value, expected[i] < 0 ? 7 : expected[i]) << i;
        EXPECT_EQ(buf_read_bool(b->data + i, nullptr), b->data + i + 1) << i;
    }
    EXPECT_EQ(buf_read_bool(nullptr, nullptr), nullptr);
}

void write_first_char(buf *b, void *data) { buf_write_byte(b, *static_cast<const char *>(data)); }

TEST_F(BufEnc, Lists) {
    buf_write_list(b, nullptr, write_first_char);
    EXPECT_EQ(contents(b), (Bytes{0x00}));
    list *l = list_create();
    char letters[] = "xyz";
    for (char &c : letters) {
        if (c != '\0') list_append_last(l, &c);
    }
    b->length = 0;
    buf_write_list(b, l, write_first_char);
    EXPECT_EQ(contents(b), (Bytes{0x03, 'x', 'y', 'z'}));
    b->length = 0;
    buf_write_list(b, l, nullptr);
    EXPECT_EQ(contents(b), (Bytes{0x03}));
    for (int i = 3; i < 130; ++i) list_append_last(l, letters);
    b->length = 0;
    buf_write_list(b, l, write_first_char);
    EXPECT_EQ(b->length, 2u + 130u);
    EXPECT_EQ(contents(b)[0], 0x82);
    EXPECT_EQ(contents(b)[1], 0x01);
    list_free(l, nullptr);
}

TEST_F(BufEnc, Sprintf) {
    EXPECT_EQ(buf_sprintf(b, "%d", 42), 2);
    EXPECT_EQ(contents(b), (Bytes{0x34, 0x32}));
    /* 250 characters overflow the first scratch block; the retry must start
     * again from the first argument. */
    const std::string long_text(250, 'q');
    b->length = 0;
    EXPECT_EQ(buf_sprintf(b, "%s-%d", long_text.c_str(), 7), 252);
    EXPECT_EQ(std::string(b->data, b->data + b->length), long_text + "-7");
    b->length = 0;
    EXPECT_EQ(buf_sprintf(b, "%s", ""), 0);
    EXPECT_EQ(b->length, 0u);
    /* A wide character the C locale cannot convert is a formatting error. */
    const int32_t bad = buf_sprintf(b, "a%lcb", static_cast<wint_t>(0x2603));
    EXPECT_LT(bad, 0);
    EXPECT_EQ(b->length, 0u);
}

TEST_F(BufEnc, FailedAllocations) {
    buf_write_byte(b, 'k'); /* length 1, capacity 2 */
    const std::string long_text(250, 'q');
    struct Case { long successes; const char *text; };
    /* scratch fails; scratch regrowth fails; the append's growth fails */
    for (const Case &c : {Case{0, "abc"}, Case{1, long_text.c_str()}, Case{1, "abc"}}) {
        core_alloc_fail_after(c.successes);
        EXPECT_EQ(buf_sprintf(b, "%s", c.text), -1) << c.successes;
        EXPECT_EQ(contents(b), (Bytes{'k'}));
    }
    core_alloc_fail_after(0);
    buf_write_uint32_enc(b, 300);
    buf_write_uint64_enc(b, UINT64_MAX);
    buf_write_string_enc(b, "abc");
    buf_write_float(b, 1.0f);
    EXPECT_EQ(contents(b), (Bytes{'k'}));
    /* The prefix fits the block, the body does not: neither is kept. */
    buf_write_string_length_enc(b, "abc", 3);
    EXPECT_EQ(contents(b), (Bytes{'k'}));

    const Bytes encoded = {0x03, 'a', 'b', 'c'};
    char *text = nullptr;
    uint64_t length = 99;
    EXPECT_EQ(buf_read_string_length_enc(encoded.data(), &text, &length), nullptr);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 99u);
    EXPECT_EQ(buf_read_string_length_enc(encoded.data(), nullptr, &length), encoded.data() + 4);
    EXPECT_EQ(length, 3u);
}

}  // namespace
