#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "alloc.h"
#include "buf.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes contents(const buf *b) { return b->length == 0 ? Bytes{} : Bytes(b->data, b->data + b->length); }

/* Built one byte at a time, so capacities follow the one-byte growth row. */
buf *make(const Bytes &bytes) {
    buf *b = buf_create();
    for (uint8_t byte : bytes) buf_write_byte(b, byte);
    return b;
}

Bytes iota(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

class Buf : public ::testing::Test {
  protected:
    void TearDown() override { core_alloc_fail_after(-1); }
};

TEST_F(Buf, CreateIsEmptyAndFreeAcceptsNull) {
    buf *b = buf_create();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data, nullptr);
    EXPECT_EQ(b->length, 0u);
    EXPECT_EQ(b->capacity, 0u);
    buf_free(b);
    buf_free(nullptr);
}

TEST_F(Buf, OneByteAppendsGrowToTwiceTheNeededSize) {
    /* After the k-th append: the capacity set by the last growth, 2 * needed. */
    const std::vector<std::pair<int, uint64_t>> table = {
        {1, 2}, {2, 2}, {3, 6}, {6, 6}, {7, 14}, {14, 14}, {15, 30}, {30, 30}, {31, 62}};
    buf *b = buf_create();
    int appended = 0;
    for (const auto &[count, capacity] : table) {
        while (appended < count) buf_write_byte(b, 0x100 + appended++);
        EXPECT_EQ(b->capacity, capacity) << "after " << count << " appends";
    }
    Bytes expected = iota(31);
    EXPECT_EQ(contents(b), expected) << "only the low 8 bits of each value are stored";
    buf_free(b);
}

TEST_F(Buf, MultiByteAppendGrowth) {
    struct Case { size_t before, n; uint64_t capacity; };
    for (const Case &c : {Case{0, 10, 20}, Case{2, 3, 10}, Case{0, 0, 0}, Case{2, 0, 2}}) {
        buf *b = make(iota(c.before));
        const Bytes more(c.n, 0xAB);
        buf_write_bytes(b, more.data(), c.n);
        EXPECT_EQ(b->capacity, c.capacity) << c.before << " + " << c.n;
        EXPECT_EQ(b->length, c.before + c.n);
        if (c.before + c.n == 0) {
            EXPECT_EQ(b->data, nullptr);
        }
        buf_free(b);
    }
}

TEST_F(Buf, StringAndBufAppends) {
    buf *b = buf_create();
    buf_write_string(b, "ab");
    buf_write_string(b, "");
    buf *other = make({0x00, 0xFF});
    buf_write_buf(b, other);
    EXPECT_EQ(contents(b), (Bytes{'a', 'b', 0x00, 0xFF}));
    buf_free(other);
    buf_free(b);
}

TEST_F(Buf, DupCopiesContentWithCapacityZero) {
    buf *b = make(iota(5));
    buf *copy = buf_dup(b);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->data, b->data);
    EXPECT_EQ(contents(copy), iota(5));
    EXPECT_EQ(copy->capacity, 0u);
    buf_write_byte(copy, 5);
    EXPECT_EQ(copy->capacity, 12u);
    EXPECT_EQ(contents(copy), iota(6));
    EXPECT_EQ(buf_dup(nullptr), nullptr);
    buf_free(copy);
    buf_free(b);
}

TEST_F(Buf, AppendFromOwnBlock) {
    /* Self-append forces a reallocation; the source must follow the move. */
    buf *b = make({'a', 'b', 'c'});
    buf_write_buf(b, b);
    EXPECT_EQ(contents(b), (Bytes{'a', 'b', 'c', 'a', 'b', 'c'}));
    buf_write_bytes(b, b->data + 1, 2); /* fits: no reallocation */
    buf *copy = buf_dup(b);              /* capacity 0: the next append moves */
    buf_write_bytes(copy, copy->data + 4, 4);
    EXPECT_EQ(contents(copy), (Bytes{'a', 'b', 'c', 'a', 'b', 'c', 'b', 'c', 'b', 'c', 'b', 'c'}));
    buf_free(copy);
    buf_free(b);
}

TEST_F(Buf, FixedWidthReadersAreBigEndian) {
    const Bytes bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t *p = bytes.data();
    uint8_t byte = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    EXPECT_EQ(buf_read_byte(p, &byte), p + 1);
    EXPECT_EQ(byte, 1);
    EXPECT_EQ(buf_read_uint32(p, &u32), p + 4);
    EXPECT_EQ(u32, 16909060u);
    EXPECT_EQ(buf_read_uint64(p, &u64), p + 8);
    EXPECT_EQ(u64, 72623859790382856ull);
    EXPECT_EQ(buf_read_byte(p, nullptr), p + 1);
    EXPECT_EQ(buf_read_uint32(p, nullptr), p + 4);
    EXPECT_EQ(buf_read_uint64(p, nullptr), p + 8);
    EXPECT_EQ(buf_read_byte(nullptr, &byte), nullptr);
    EXPECT_EQ(buf_read_uint32(nullptr, &u32), nullptr);
    EXPECT_EQ(buf_read_uint64(nullptr, &u64), nullptr);
    EXPECT_EQ(u32, 16909060u);
}

TEST_F(Buf, StringAndHexConversions) {
    buf *b = make({0x00, 0xFF, 0x10});
    char *hex = buf_as_hex(b);
    EXPECT_STREQ(hex, "00ff10");
    char *text = buf_as_string(b);
    EXPECT_EQ(memcmp(text, "\x00\xff\x10\x00", 4), 0);
    free(hex);
    free(text);
    buf *empty = buf_create();
    for (const buf *source : {static_cast<const buf *>(empty), static_cast<const buf *>(nullptr)}) {
        text = buf_as_string(source);
        EXPECT_STREQ(text, "");
        free(text);
    }
    hex = buf_as_hex(empty);
    EXPECT_STREQ(hex, "");
    free(hex);
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
    buf *b = make({1, 2, 3, 4});
    for (const Case &c : table) {
        const uint8_t *expected = c.offset < 0 ? nullptr : b->data + c.offset;
        EXPECT_EQ(buf_substr(b, c.start, c.count), expected) << c.start << ", " << c.count;
    }
    buf *empty = buf_create();
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
        if (c.sign == -1 && (a == nullptr || b == nullptr || a->length != b->length)) {
            EXPECT_EQ(r, -1);
        }
        buf_free(a);
        buf_free(b);
    }
}

TEST_F(Buf, DiscardFront) {
    struct Case { int32_t n; size_t length; uint64_t capacity; };
    for (const Case &c : {Case{0, 5, 5}, Case{2, 3, 3}, Case{5, 0, 0}, Case{-1, 5, 6}, Case{6, 5, 6}}) {
        buf *b = make(iota(5));
        buf_discard_front(b, c.n);
        const Bytes all = iota(5);
        EXPECT_EQ(contents(b), Bytes(all.end() - c.length, all.end())) << c.n;
        EXPECT_EQ(b->capacity, c.capacity) << c.n;
        buf_write_byte(b, 9);
        EXPECT_EQ(b->length, c.length + 1);
        if (c.length == 0) {
            EXPECT_EQ(b->capacity, 2u) << "an emptied buffer grows as a new one";
        }
        buf_free(b);
    }
}

TEST_F(Buf, HexdumpLayout) {
    const std::vector<std::pair<size_t, std::string>> table = {
        {0, "\n"},
        {3, "| 00 01 02 \n"},
        {9, "| 00 01 02 03 04 05 06 07 . 08 \n"},
        {16, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f \n"},
        {17, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n| 10 \n"},
    };
    for (const auto &[n, text] : table) {
        buf *b = make(iota(n));
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

    buf *b = make({1, 2, 3, 4}); /* capacity 6 */
    const uint8_t *block = b->data;
    const uint64_t capacity = b->capacity;
    const Bytes big(10, 7);
    core_alloc_fail_after(0);
    buf_write_bytes(b, big.data(), big.size());
    buf_write_buf(b, b);
    buf_discard_front(b, 1);
    EXPECT_EQ(buf_dup(b), nullptr);
    EXPECT_EQ(buf_as_string(b), nullptr);
    EXPECT_EQ(buf_as_hex(b), nullptr);
    EXPECT_EQ(b->data, block);
    EXPECT_EQ(b->capacity, capacity);
    EXPECT_EQ(contents(b), (Bytes{1, 2, 3, 4}));
    buf_write_byte(b, 5); /* fits the block: needs no allocation */
    EXPECT_EQ(contents(b), (Bytes{1, 2, 3, 4, 5}));

    core_alloc_fail_after(1); /* the record succeeds, its block does not */
    EXPECT_EQ(buf_dup(b), nullptr);
    EXPECT_EQ(core_alloc_attempts(), 2);
    core_alloc_fail_after(-1);
    buf_free(b);
}

}  // namespace
