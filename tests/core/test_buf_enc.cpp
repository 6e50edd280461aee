#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <utility>
#include <vector>

#include "alloc.h"
#include "buf_enc.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const buf *b) {
    std::string s;
    const char *digits = "0123456789abcdef";
    for (uint64_t i = 0; i < b->length; ++i) s += digits[b->data[i] >> 4], s += digits[b->data[i] & 15];
    return s;
}

Bytes unhex(const std::string &text) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(std::stoi(text.substr(i, 2), nullptr, 16));
    return bytes;
}

/* One LEB128 read through the 32- or 64-bit reader: the returned cursor and the value stored. */
const uint64_t kUnset = 0x5A5A5A5A;
using Read = std::pair<const uint8_t *, uint64_t>;
Read read(const uint8_t *p, bool wide) {
    uint64_t value = kUnset;
    uint32_t value32 = static_cast<uint32_t>(kUnset);
    const uint8_t *next = wide ? buf_read_uint64_enc(p, &value) : buf_read_uint32_enc(p, &value32);
    EXPECT_EQ(wide ? buf_read_uint64_enc(p, nullptr) : buf_read_uint32_enc(p, nullptr), next) << "skipping";
    return {next, wide ? value : value32};
}

class BufEnc : public ::testing::Test {
  protected:
    void SetUp() override { b = buf_create(); }
    void TearDown() override { core_alloc_fail_after(-1), buf_free(b); }
    buf *b = nullptr;
};

TEST_F(BufEnc, Leb128ExactBytesBothWays) {
    const std::pair<uint64_t, const char *> table[] = {
        {0, "00"}, {127, "7f"}, {128, "8001"}, {300, "ac02"}, {16383, "ff7f"}, {16384, "808001"},
        {4294967295u, "ffffffff0f"}, {4294967296ull, "8080808010"}, {1ull << 63, "80808080808080808001"},
        {UINT64_MAX, "ffffffffffffffffff01"},
    };
    for (const auto &[value, bytes] : table) {
        for (bool wide : {true, false}) {
            if (!wide && value > UINT32_MAX) continue;
            SCOPED_TRACE(::testing::Message() << value << (wide ? " as 64-bit" : " as 32-bit"));
            b->length = 0;
            wide ? buf_write_uint64_enc(b, value) : buf_write_uint32_enc(b, static_cast<uint32_t>(value));
            EXPECT_EQ(hex(b), bytes);
            EXPECT_EQ(read(b->data, wide), Read(b->data + b->length, value));
        }
    }
}

TEST_F(BufEnc, Leb128RoundTripsAtEveryGroupBoundary) {
    for (int bits = 1; bits <= 64; ++bits) {
        const uint64_t top = bits == 64 ? UINT64_MAX : (1ull << bits) - 1;
        for (uint64_t value : {top, top >> 1, top - (top >> 1)}) {
            b->length = 0;
            buf_write_uint64_enc(b, value);
            if (value == top) { EXPECT_EQ(b->length, static_cast<size_t>((bits + 6) / 7)) << value; }
            EXPECT_EQ(read(b->data, true), Read(b->data + b->length, value));
        }
    }
}

TEST_F(BufEnc, Leb128ReaderEdges) {
    struct Case { const char *bytes; bool wide; long consumed; uint64_t value; }; /* consumed -1: null */
    const Case table[] = {
        {"ffffffff7f", false, 5, 4294967295u}, /* bits 4-6 of the 5th byte ignored */
        {"8080808080", false, -1, kUnset},
        {"8000", false, 2, 0}, /* overlong forms are accepted */
        {"80808080808080808080", true, -1, kUnset},
        {"ffffffffffffffffff7f", true, 10, UINT64_MAX},
        {"808000", true, 3, 0},
    };
    for (const Case &c : table) {
        const Bytes bytes = unhex(c.bytes);
        const uint8_t *p = bytes.data();
        EXPECT_EQ(read(p, c.wide), Read(c.consumed < 0 ? nullptr : p + c.consumed, c.value)) << c.bytes;
    }
    EXPECT_EQ(buf_read_uint32_enc(nullptr, nullptr), nullptr);
    EXPECT_EQ(buf_read_uint64_enc(nullptr, nullptr), nullptr);
}

TEST_F(BufEnc, LengthPrefixedStrings) {
    buf_write_string_enc(b, nullptr);
    buf_write_string_enc(b, "");
    buf_write_string_length_enc(b, nullptr, 0);
    buf_write_string_length_enc(b, "abc", 3);
    EXPECT_EQ(hex(b), "00000003616263");
    const std::string long_text(200, 'x');
    buf_write_string_enc(b, long_text.c_str());

    struct Case { size_t at; std::string text; size_t end; };
    for (const Case &c : {Case{0, "", 1}, Case{3, "abc", 7}, Case{7, long_text, 7 + 2 + 200}}) {
        char *text = nullptr;
        uint64_t length = 99;
        EXPECT_EQ(buf_read_string_length_enc(b->data + c.at, &text, &length), b->data + c.end) << c.at;
        EXPECT_EQ(std::string(text), c.text); /* NUL-terminated copy */
        EXPECT_EQ(length, c.text.size());
        EXPECT_EQ(buf_read_string_length_enc(b->data + c.at, nullptr, nullptr), b->data + c.end);
        free(text);
    }
    const Bytes malformed(10, 0x80);
    char *text = nullptr;
    uint64_t length = 99;
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
    EXPECT_EQ(hex(b), "0000803f");
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
    EXPECT_EQ(hex(b), "00010201");
    const long expected[] = {0, 1, -1, 1}; /* -1: rejected */
    for (int i = 0; i < 4; ++i) {
        uint8_t value = 7;
        EXPECT_EQ(buf_read_bool(b->data + i, &value), expected[i] < 0 ? nullptr : b->data + i + 1) << i;
        EXPECT_EQ(value, expected[i] < 0 ? 7 : expected[i]) << i;
        EXPECT_EQ(buf_read_bool(b->data + i, nullptr), b->data + i + 1) << i;
    }
    EXPECT_EQ(buf_read_bool(nullptr, nullptr), nullptr);
}

void write_first_char(buf *b, void *data) { buf_write_byte(b, *static_cast<const char *>(data)); }

TEST_F(BufEnc, Lists) {
    buf_write_list(b, nullptr, write_first_char);
    list *l = list_create();
    char letters[] = "xyz";
    for (int i = 0; i < 3; ++i) list_append_last(l, letters + i);
    buf_write_list(b, l, write_first_char);
    buf_write_list(b, l, nullptr);
    EXPECT_EQ(hex(b), "000378797a03");
    for (int i = 3; i < 130; ++i) list_append_last(l, letters);
    b->length = 0;
    buf_write_list(b, l, write_first_char);
    EXPECT_EQ(b->length, 2u + 130u);
    EXPECT_EQ(hex(b).substr(0, 10), "820178797a");
    list_free(l, nullptr);
}

TEST_F(BufEnc, Sprintf) {
    EXPECT_EQ(buf_sprintf(b, "%d", 42), 2);
    EXPECT_EQ(hex(b), "3432");
    /* Overflows the first scratch block; the retry must start again from the first argument. */
    const std::string long_text(250, 'q');
    b->length = 0;
    EXPECT_EQ(buf_sprintf(b, "%s-%d", long_text.c_str(), 7), 252);
    EXPECT_EQ(std::string(b->data, b->data + b->length), long_text + "-7");
    b->length = 0;
    EXPECT_EQ(buf_sprintf(b, "%s", ""), 0);
    /* A wide character the C locale cannot convert is a formatting error. */
    EXPECT_LT(buf_sprintf(b, "a%lcb", static_cast<wint_t>(0x2603)), 0);
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
    }
    core_alloc_fail_after(0);
    buf_write_uint32_enc(b, 300);
    buf_write_uint64_enc(b, UINT64_MAX);
    buf_write_string_enc(b, "abc");
    buf_write_float(b, 1.0f);
    buf_write_string_length_enc(b, "abc", 3); /* the prefix alone would fit: neither is kept */
    EXPECT_EQ(hex(b), "6b");

    const Bytes encoded = unhex("03616263");
    char *text = nullptr;
    uint64_t length = 99;
    EXPECT_EQ(buf_read_string_length_enc(encoded.data(), &text, &length), nullptr);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 99u);
    EXPECT_EQ(buf_read_string_length_enc(encoded.data(), nullptr, &length), encoded.data() + 4);
    EXPECT_EQ(length, 3u);
}

}  // namespace
