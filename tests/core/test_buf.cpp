#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "alloc.h"
#include "buf.h"

namespace {

/* Content in lowercase hex, formatted here rather than by buf_as_hex. */
std::string hex(const buf *b) {
    std::string s;
    const char *digits = "0123456789abcdef";
    for (uint64_t i = 0; i < b->length; ++i) s += digits[b->data[i] >> 4], s += digits[b->data[i] & 15];
    return s;
}

/* The bytes 0, 1, ..., n - 1, appended one at a time. */
buf *iota(size_t n) {
    buf *b = buf_create();
    for (size_t i = 0; i < n; ++i) buf_write_byte(b, static_cast<int>(i));
    return b;
}

class Buf : public ::testing::Test {
  protected:
    void TearDown() override { core_alloc_fail_after(-1); }
};

TEST_F(Buf, GrowthIsTwiceTheNeededSize) {
    buf *b = buf_create();
    EXPECT_EQ(b->data, nullptr);
    const std::pair<int, uint64_t> table[] = {{1, 2}, {2, 2}, {3, 6}, {6, 6}, {7, 14}, {14, 14}, {15, 30}, {31, 62}};
    int appended = 0;
    for (const auto &[count, capacity] : table) {
        while (appended < count) buf_write_byte(b, 0x100 + appended++); /* only the low 8 bits count */
        EXPECT_EQ(b->capacity, capacity) << "after " << count << " appends";
    }
    buf *expected = iota(31);
    EXPECT_EQ(hex(b), hex(expected));
    buf_free(expected);
    buf_free(b);
    buf_free(nullptr);

    struct Case { size_t before, n; uint64_t capacity; };
    for (const Case &c : {Case{0, 10, 20}, Case{2, 3, 10}, Case{0, 0, 0}, Case{2, 0, 2}}) {
        b = iota(c.before);
        buf_write_bytes(b, "0123456789", c.n);
        EXPECT_EQ(b->capacity, c.capacity) << c.before << " + " << c.n;
        EXPECT_EQ(b->length, c.before + c.n);
        if (c.before + c.n == 0) { EXPECT_EQ(b->data, nullptr); }
        buf_free(b);
    }
}

TEST_F(Buf, AppendsDupAndSelfAppend) {
    buf *b = buf_create();
    buf_write_string(b, "ab");
    buf_write_string(b, "");
    buf_write_string(b, "c"); /* length 3, capacity 4 */
    buf_write_buf(b, b);      /* reallocates: the source must follow the move */
    EXPECT_EQ(hex(b), "616263616263");
    buf *copy = buf_dup(b);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->data, b->data);
    EXPECT_EQ(copy->capacity, 0u);
    buf_write_bytes(copy, copy->data + 1, 3); /* capacity 0: this append moves the block too */
    EXPECT_EQ(hex(copy), "616263616263626361");
    EXPECT_EQ(copy->capacity, 18u);
    EXPECT_EQ(buf_dup(nullptr), nullptr);
    buf_free(copy);
    buf_free(b);
}

TEST_F(Buf, FixedWidthReadersAreBigEndian) {
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8}, *p = bytes;
    uint8_t byte = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    EXPECT_EQ(buf_read_byte(p, &byte), p + 1);
    EXPECT_EQ(byte, 1);
    EXPECT_EQ(buf_read_uint32(p, &u32), p + 4);
    EXPECT_EQ(u32, 16909060u);
    EXPECT_EQ(buf_read_uint64(p, &u64), p + 8);
    EXPECT_EQ(u64, 72623859790382856ull);
    EXPECT_EQ(buf_read_uint64(p, nullptr), p + 8);
    EXPECT_EQ(buf_read_uint32(nullptr, &u32), nullptr);
}

TEST_F(Buf, StringAndHexConversions) {
    buf *b = buf_create(), *empty = buf_create();
    buf_write_bytes(b, "\x00\xff\x10", 3);
    char *hex_text = buf_as_hex(b), *text = buf_as_string(b), *none = buf_as_string(nullptr);
    EXPECT_STREQ(hex_text, "00ff10");
    EXPECT_EQ(memcmp(text, "\x00\xff\x10\x00", 4), 0);
    EXPECT_STREQ(none, "");
    for (char *s : {hex_text, text, none}) free(s);
    hex_text = buf_as_hex(empty), text = buf_as_string(empty);
    EXPECT_STREQ(hex_text, "");
    EXPECT_STREQ(text, "");
    for (char *s : {hex_text, text}) free(s);
    EXPECT_EQ(buf_as_hex(nullptr), nullptr);
    buf_free(empty);
    buf_free(b);
}

TEST_F(Buf, SubstrBounds) {
    struct Case { int32_t start, count; long offset; }; /* offset -1: null */
    const Case table[] = {
        {0, 0, 0}, {1, 3, 1}, {0, 4, 0}, {2, 3, -1}, {4, 0, 4}, {3, -5, 3}, {4, 1, -1},
        {-1, 0, -1}, {-1, 2, -1}, {5, 0, -1}, {INT32_MAX, 1, -1}, {1, INT32_MAX, -1},
    };
    buf *b = iota(4), *empty = buf_create();
    for (const Case &c : table)
        EXPECT_EQ(buf_substr(b, c.start, c.count), c.offset < 0 ? nullptr : b->data + c.offset)
            << c.start << ", " << c.count;
    EXPECT_EQ(buf_substr(empty, 0, 0), nullptr);
    EXPECT_EQ(buf_substr(nullptr, 0, 0), nullptr);
    buf_free(empty);
    buf_free(b);
}

TEST_F(Buf, CmpIsEqualityWithOrderOnlyAtEqualLength) {
    struct Case { const char *a, *b; int sign; }; /* null string: null record */
    const Case table[] = {
        {"abc", "abc", 0}, {"abc", "abd", -1}, {"abd", "abc", 1}, {"abc", "ab", -1}, {"ab", "abc", -1},
        {"", "", 0}, {nullptr, nullptr, 0}, {nullptr, "", -1}, {"", nullptr, -1}, {"\x80", "\x7f", 1},
    };
    for (const Case &c : table) {
        buf *a = nullptr, *b = nullptr;
        if (c.a != nullptr) buf_write_string(a = buf_create(), c.a);
        if (c.b != nullptr) buf_write_string(b = buf_create(), c.b);
        const int32_t r = buf_cmp(a, b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << (c.a ? c.a : "null") << " vs " << (c.b ? c.b : "null");
        if (a == nullptr || b == nullptr || a->length != b->length) { EXPECT_EQ(r, c.sign); }
        buf_free(a);
        buf_free(b);
    }
}

TEST_F(Buf, DiscardFront) {
    struct Case { int32_t n; const char *left; uint64_t capacity; }; /* out of range: refused */
    for (const Case &c : {Case{0, "0001020304", 5}, Case{2, "020304", 3}, Case{5, "", 0}, Case{-1, "0001020304", 6},
                          Case{6, "0001020304", 6}}) {
        buf *b = iota(5);
        buf_discard_front(b, c.n);
        EXPECT_EQ(hex(b), c.left) << c.n;
        EXPECT_EQ(b->capacity, c.capacity) << c.n;
        buf_write_byte(b, 9);
        EXPECT_EQ(hex(b), std::string(c.left) + "09");
        if (c.capacity == 0) { EXPECT_EQ(b->capacity, 2u) << "an emptied buffer grows as a new one"; }
        buf_free(b);
    }
}

TEST_F(Buf, HexdumpLayout) {
    const std::pair<size_t, const char *> table[] = {
        {0, "\n"},
        {3, "| 00 01 02 \n"},
        {16, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f \n"},
        {17, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n| 10 \n"},
    };
    for (const auto &[n, text] : table) {
        buf *b = iota(n);
        testing::internal::CaptureStdout();
        hexdump_buf(b);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text) << n << " bytes";
        buf_free(b);
    }
}

TEST_F(Buf, FailedAllocationsLeaveRecordsUnchanged) {
    core_alloc_fail_after(0);
    EXPECT_EQ(buf_create(), nullptr);
    core_alloc_fail_after(-1);
    buf *b = iota(4); /* capacity 6 */
    const uint8_t *block = b->data;
    core_alloc_fail_after(0);
    buf_write_bytes(b, "0123456789", 10);
    buf_write_buf(b, b);
    buf_discard_front(b, 1);
    EXPECT_EQ(buf_dup(b), nullptr);
    EXPECT_EQ(buf_as_string(b), nullptr);
    EXPECT_EQ(buf_as_hex(b), nullptr);
    EXPECT_EQ(b->data, block);
    EXPECT_EQ(b->capacity, 6u);
    EXPECT_EQ(hex(b), "00010203");
    buf_write_byte(b, 4); /* fits the block: needs no allocation */
    EXPECT_EQ(hex(b), "0001020304");
    core_alloc_fail_after(1); /* the record succeeds, its block does not */
    EXPECT_EQ(buf_dup(b), nullptr);
    EXPECT_EQ(core_alloc_attempts(), 2);
    core_alloc_fail_after(-1);
    buf_free(b);
}

}  // namespace
