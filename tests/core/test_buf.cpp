#include <gtest/gtest.h>

#include <malloc.h>

#include <functional>
#include <string>

#include "alloc.h"
#include "buf.h"
#include "cbor_generator.h"
#include "diff.h"
#include "edit_script.h"
#include "list.h"
#include "cbor_reference.h"

namespace {

std::string hex(const buf *b) { return cbor_ref::hex(b->data, b->length); }

buf *iota(size_t n) {  // the bytes 0, 1, ..., n - 1, appended one at a time
    buf *b = buf_create();
    for (size_t i = 0; i < n; ++i) buf_write_byte(b, static_cast<int>(i));
    return b;
}

class Buf : public ::testing::Test {
  protected:
    void TearDown() override { core_alloc_fail_after(-1); }
};

TEST_F(Buf, GrowthAppendsAndSelfAppend) {
    buf *b = buf_create();
    for (const auto &[count, capacity] : {std::pair<int, uint64_t>{1, 2}, {2, 2}, {3, 6}, {7, 14}, {15, 30}}) {
        while (b->length < static_cast<uint64_t>(count)) buf_write_byte(b, 0x100 + static_cast<int>(b->length));
        EXPECT_EQ(b->capacity, capacity) << count;  // twice the needed size; only the low 8 bits are kept
    }
    EXPECT_EQ(hex(b), "000102030405060708090a0b0c0d0e");
    buf_free(b);
    b = iota(2);
    buf_write_bytes(b, "0123456789", 3);
    EXPECT_EQ(b->capacity, 10u);
    buf_free(b);
    b = buf_create();
    for (const char *s : {"ab", "", "c"}) buf_write_string(b, s);  // length 3, capacity 4
    buf_write_buf(b, b);  // reallocates: the source must follow the move
    EXPECT_EQ(hex(b), "616263616263");
    buf *copy = buf_dup(b);
    EXPECT_TRUE(copy->data != b->data && copy->capacity == 0);
    buf_write_bytes(copy, copy->data + 1, 3);  // capacity 0: this append moves the block too
    EXPECT_EQ(hex(copy) + "/" + std::to_string(copy->capacity), "616263616263626361/18");
    EXPECT_EQ(buf_dup(nullptr), nullptr);
    buf_free(copy);
    buf_free(b);
    buf_free(nullptr);
}

TEST_F(Buf, TextForms) {
    buf *b = buf_create(), *empty = buf_create();
    buf_write_bytes(b, "\x00\xff\x10", 3);
    char *texts[] = {buf_as_hex(b), buf_as_string(b), buf_as_string(nullptr), buf_as_hex(empty), buf_as_string(empty)};
    EXPECT_STREQ(texts[0], "00ff10");
    EXPECT_EQ(memcmp(texts[1], "\x00\xff\x10\x00", 4), 0);
    for (int k = 2; k < 5; ++k) EXPECT_STREQ(texts[k], "") << k;
    for (char *s : texts) free(s);
    EXPECT_EQ(buf_as_hex(nullptr), nullptr);
    buf_free(empty);
    buf_free(b);
    for (const auto &[n, text] : {std::pair<size_t, const char *>{0, "\n"}, {3, "| 00 01 02 \n"},
                                  {17, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n| 10 \n"}}) {
        b = iota(n);
        testing::internal::CaptureStdout();
        hexdump_buf(b);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text) << n;
        buf_free(b);
    }
}

TEST_F(Buf, SubstrCmpAndDiscardFront) {
    buf *b = iota(4), *empty = buf_create();
    const struct { int32_t start, count; long offset; } substr[] = {  // offset -1: null
        {0, 0, 0}, {1, 3, 1}, {0, 4, 0}, {2, 3, -1}, {4, 0, 4}, {3, -5, 3}, {4, 1, -1},
        {-1, 0, -1}, {-1, 2, -1}, {5, 0, -1}, {INT32_MAX, 1, -1}, {1, INT32_MAX, -1}};
    for (const auto &c : substr)
        EXPECT_EQ(buf_substr(b, c.start, c.count), c.offset < 0 ? nullptr : b->data + c.offset) << c.start << "," << c.count;
    EXPECT_EQ(buf_substr(empty, 0, 0), nullptr);
    EXPECT_EQ(buf_substr(nullptr, 0, 0), nullptr);
    buf_free(b);
    buf_free(empty);

    const struct { const char *a, *b; int32_t result; } cmp[] = {  // null string: null record; 2: positive
        {"abc", "abc", 0}, {"abc", "abd", -1}, {"abd", "abc", 2}, {"abc", "ab", -1}, {"ab", "abc", -1},
        {"", "", 0}, {nullptr, nullptr, 0}, {nullptr, "", -1}, {"", nullptr, -1}, {"\x80", "\x7f", 2}};
    for (const auto &c : cmp) {
        buf *x = c.a ? buf_create() : nullptr, *y = c.b ? buf_create() : nullptr;
        if (x) buf_write_string(x, c.a);
        if (y) buf_write_string(y, c.b);
        const int32_t r = buf_cmp(x, y);
        EXPECT_TRUE(c.result == 2 ? r > 0 : r == c.result) << (c.a ? c.a : "null") << " vs " << (c.b ? c.b : "null");
        buf_free(x);
        buf_free(y);
    }

    const struct { int32_t n; const char *left; uint64_t capacity; } discard[] = {  // out of range: refused
        {0, "0001020304", 5}, {2, "020304", 3}, {5, "", 0}, {-1, "0001020304", 6}, {6, "0001020304", 6}};
    for (const auto &c : discard) {
        b = iota(5);
        buf_discard_front(b, c.n);
        EXPECT_EQ(hex(b) + "/" + std::to_string(b->capacity), c.left + ("/" + std::to_string(c.capacity))) << c.n;
        buf_write_byte(b, 9);  // an emptied buffer grows as a new one
        EXPECT_EQ(hex(b), c.left + std::string("09")) << c.n;
        EXPECT_TRUE(c.capacity != 0 || b->capacity == 2) << c.n;
        buf_free(b);
    }
}

TEST_F(Buf, FailedAllocationsLeaveRecordsUnchanged) {
    core_alloc_fail_after(0);
    EXPECT_EQ(buf_create(), nullptr);
    core_alloc_fail_after(-1);
    buf *b = iota(4);  // capacity 6
    const uint8_t *block = b->data;
    core_alloc_fail_after(0);
    buf_write_bytes(b, "0123456789", 10);
    buf_write_buf(b, b);
    buf_discard_front(b, 1);
    EXPECT_EQ(buf_dup(b), nullptr);
    EXPECT_EQ(buf_as_string(b), nullptr);
    EXPECT_EQ(buf_as_hex(b), nullptr);
    EXPECT_TRUE(b->data == block && b->capacity == 6u);
    buf_write_byte(b, 4);  // fits the block: needs no allocation
    EXPECT_EQ(hex(b), "0001020304");
    core_alloc_fail_after(1);  // the record succeeds, its block does not
    EXPECT_EQ(buf_dup(b), nullptr);
    EXPECT_EQ(core_alloc_attempts(), 2);
    core_alloc_fail_after(-1);
    buf_free(b);
}

/* Every record's free releases all it owns, and emptying a buffer releases its
 * block: a thousand rounds leave the heap's bytes in use (nearly) where they were.
 * AddressSanitizer's allocator keeps no such count; its leak checker covers the
 * same ground in that build. */
TEST(Records, FreeReleasesEverything) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "leaks are reported by the sanitizer";
#endif
    const buf old_value{(uint8_t *)"abcdefghij", 10, 0}, new_value{(uint8_t *)"abcXefghij", 10, 0};
    const std::function<void()> rounds[] = {
        [] { buf *b = iota(100); buf_discard_front(b, 100); buf_free(b); },
        [&] { edit_script *e = edit_script_create(&old_value, &new_value); edit_script_match(e, 0, 3); edit_script_close(e); edit_script_free(e); },
        [&] { buf_free(diff_generate_binary(&old_value, &new_value)); },
        [] { cbor_generator *g = cbor_generator_create(); cbor_write_float(g, 1.5); cbor_write_text_string(g, "ab", 2); cbor_generator_free(g); },
        [] { list *l = list_create(); list_append_last(l, nullptr); list_append_last(l, nullptr); list_free(l, nullptr); },
    };
    for (const auto &round : rounds) {
        round(); /* first use may set up lasting state */
        const size_t before = mallinfo2().uordblks;
        for (int i = 0; i < 1000; ++i) round();
        EXPECT_LT(mallinfo2().uordblks, before + 16000) << &round - rounds; /* allocator caches, not 16 bytes a round */
    }
}

}  // namespace
