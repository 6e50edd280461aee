#include <gtest/gtest.h>
#include <wchar.h>

#include <random>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/buf.h"
#include "base/buf_enc.h"
#include "base/list.h"
#include "cbor_reference.h"

namespace {

std::string text(const buf *b) {
    return b->length ? std::string(b->data, b->data + b->length) : "";
}

buf *from(const std::string &s) {
    buf *b = buf_create();
    buf_write_bytes(b, s.data(), s.size());
    return b;
}

/* Appends (of pieces of the buffer itself too), discards, ranges, comparisons and copies
 * against a string; a block grows to twice the size it needs, a discard leaves it exact. */
TEST(Buf, RandomOperationsAgainstAString) {
    std::mt19937 rng(3);
    const buf empty{};
    for (int round = 0; round < 300; ++round) {
        buf *b = buf_create();
        std::string model;
        uint64_t capacity = 0;
        for (int step = 0; step < 16; ++step) {
            const int32_t n = static_cast<int32_t>(model.size()),
                          start = static_cast<int32_t>(rng() % (n + 3)) - 1;
            const int32_t count = rng() % 8 ? static_cast<int32_t>(rng() % (n + 3)) - 1 : INT32_MAX;
            const auto in_range = [&](int64_t length) {
                return start >= 0 && start <= length &&
                       (count < 1 || int64_t{start} + count <= length);
            };
            const bool own_piece = in_range(n) && count > 0;
            std::string added = std::string("\xff\0ab", 4).substr(rng() % 4);
            switch (rng() % 5) {
            case 0: buf_write_bytes(b, added.data(), added.size()); break;
            case 1:
                added = added.c_str();
                buf_write_string(b, added.c_str());
                break; // up to a NUL
            case 2:
                added = std::string(1, static_cast<char>(n));
                buf_write_byte(b, 0x300 | n);
                break; // the low 8 bits
            case 3:    // the source moves with the block when it has to grow
                added = own_piece ? model.substr(start, count) : n < 40 ? model : "";
                own_piece ? buf_write_bytes(b, b->data + start, count)
                          : buf_write_buf(b, n < 40 ? b : nullptr);
                break;
            default:
                added.clear();
                buf_discard_front(b, start);
                if (start >= 0 && start <= n) capacity = model.erase(0, start).size();
            }
            if (!added.empty() && model.size() + added.size() > capacity)
                capacity = 2 * (model.size() + added.size());
            model += added;
            ASSERT_EQ(text(b), model);
            EXPECT_EQ(b->capacity, capacity);
            EXPECT_EQ(buf_substr(b, start, count),
                      in_range(model.size()) && b->data ? b->data + start : nullptr)
                << start << "," << count;
            std::string other = model.substr(0, model.size() - (rng() % 3 == 0 && !model.empty()));
            if (rng() % 2 && !other.empty())
                other[rng() % other.size()] ^= static_cast<char>(1 << rng() % 8);
            buf *o = from(other);
            const int32_t r = buf_cmp(b, o), want = model.compare(other);
            EXPECT_TRUE(other.size() != model.size() ? r == -1
                                                     : (r > 0) - (r < 0) == (want > 0) - (want < 0))
                << r;
            buf_free(o);
        }
        buf *copy = buf_dup(b);
        EXPECT_TRUE(text(copy) == model && copy->capacity == 0 &&
                    (model.empty() ? !copy->data : copy->data != b->data));
        buf_free(copy);
        buf_free(b);
    }
    EXPECT_TRUE(buf_cmp(nullptr, nullptr) == 0 && buf_cmp(nullptr, &empty) == -1 &&
                buf_cmp(&empty, nullptr) == -1);
}

TEST(Buf, TextFormsAndFailedAllocations) {
    buf *b = from(std::string("\x00\xff\x10", 3)), *empty = buf_create();
    char *texts[] = {buf_as_hex(b), buf_as_string(b), buf_as_string(nullptr), buf_as_hex(empty),
                     buf_as_string(empty)};
    EXPECT_TRUE(!strcmp(texts[0], "00ff10") && !memcmp(texts[1], "\x00\xff\x10", 4) &&
                buf_as_hex(nullptr) == nullptr);
    for (int k = 2; k < 5; ++k) EXPECT_STREQ(texts[k], "") << k;
    for (char *s : texts) free(s);
    for (const auto &[n, dump] :
         {std::pair<size_t, const char *>{0, "\n"},
          {17, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n| 10 \n"}}) {
        for (size_t i = empty->length; i < n; ++i) buf_write_byte(empty, static_cast<int>(i));
        testing::internal::CaptureStdout();
        hexdump_buf(empty);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), dump) << n;
    }
    buf_free(empty);
    buf_write_byte(b, 'd'); // length 4, capacity 6
    const uint8_t *block = b->data;
    core_alloc_fail_after(0);
    buf_write_bytes(b, "0123456789", 10);
    buf_write_buf(b, b);
    buf_discard_front(b, 1);
    EXPECT_TRUE(!buf_create() && buf_dup(b) == nullptr && buf_as_string(b) == nullptr &&
                buf_as_hex(b) == nullptr);
    EXPECT_TRUE(b->data == block && b->capacity == 6u &&
                text(b) == std::string("\x00\xff\x10\x64", 4));
    core_alloc_fail_after(1); // the record succeeds, its block does not
    EXPECT_TRUE(buf_dup(b) == nullptr && core_alloc_attempts() == 2);
    core_alloc_fail_after(-1);
    buf_free(b);
}

// Exact bytes of every writer; the readers are fuzzed against a plain decoder (fuzz_buf_enc).
TEST(BufEnc, WritersSprintfAndFailedAllocations) {
    buf *b = buf_create();
    const auto hex = [&b] { return cbor_ref::hex(b->data, b->length); };
    for (const auto &[value, bytes] :
         std::vector<std::pair<uint64_t, std::string>>{{127, "7f"},
                                                       {128, "8001"},
                                                       {UINT32_MAX, "ffffffff0f"},
                                                       {1ull << 32, "8080808010"},
                                                       {UINT64_MAX, "ffffffffffffffffff01"}}) {
        b->length = 0;
        if (value <= UINT32_MAX) buf_write_uint32_enc(b, static_cast<uint32_t>(value));
        buf_write_uint64_enc(b, value);
        EXPECT_EQ(hex(), value <= UINT32_MAX ? bytes + bytes : bytes);
    }
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8}; // the fixed-width readers: big-endian
    struct {
        uint8_t u8;
        uint32_t u32;
        uint64_t u64;
    } r{};
    EXPECT_TRUE(buf_read_byte(bytes, &r.u8) == bytes + 1 && r.u8 == 1 &&
                buf_read_uint32(bytes, &r.u32) == bytes + 4);
    EXPECT_TRUE(r.u32 == 0x01020304u && buf_read_uint64(bytes, &r.u64) == bytes + 8 &&
                r.u64 == 0x0102030405060708ull);
    b->length = 0;
    for (const char *s : {static_cast<const char *>(nullptr), "", "abc"})
        buf_write_string_enc(b, s);
    // past the 32-bit prefix: refused before the body is read
    buf_write_string_length_enc(b, "abc", 1ull << 32);
    buf_write_string_length_enc(b, std::string(130, 'x').data(), 130);
    buf_write_float(b, 1.0f); // the bytes as they lie in memory; the reader decodes LEB128 instead
    for (int value : {0, 1, 2, 0x101}) buf_write_bool(b, value);
    auto first_char = [](buf *out, void *data) {
        buf_write_byte(out, *static_cast<const char *>(data));
    };
    list *l = list_create();
    buf_write_list(b, nullptr, first_char);
    for (const char *letter : {"x", "y", "z"}) list_append_last(l, const_cast<char *>(letter));
    buf_write_list(b, l, first_char);
    buf_write_list(b, l, nullptr);
    EXPECT_EQ(hex().substr(0, 18) + hex().substr(276), "000003616263820178"
                                                       "0000803f00010201"
                                                       "000378797a03");
    list_free(l, nullptr);
    buf_free(b);
    b = buf_create();
    buf_write_byte(b, 'k'); // length 1, capacity 2
    const std::string long_text(250, 'q');
    // scratch fails; scratch regrowth fails; the append's growth fails
    for (const auto &[successes, text] :
         {std::pair<long, const char *>{0, "abc"}, {1, long_text.c_str()}, {1, "abc"}}) {
        core_alloc_fail_after(successes);
        EXPECT_EQ(buf_sprintf(b, "%s", text), -1) << successes;
    }
    core_alloc_fail_after(0);
    buf_write_uint64_enc(b, UINT64_MAX);
    buf_write_string_length_enc(b, "abc", 3); // the prefix alone would fit: neither is kept
    char *copy = nullptr;
    uint64_t length = 99; // a failed copy leaves both outputs as they were
    EXPECT_TRUE(
        !buf_read_string_length_enc(reinterpret_cast<const uint8_t *>("\3abc"), &copy, &length) &&
        !copy && length == 99);
    core_alloc_fail_after(0);
    // the longest body its prefix holds is tried, not refused; a discard past the end asks nothing
    buf_write_string_length_enc(b, "abc", UINT32_MAX);
    buf_discard_front(b, INT32_MAX);
    EXPECT_EQ(core_alloc_attempts(), 1);
    core_alloc_fail_after(-1);
    // not convertible in the C locale
    EXPECT_LT(buf_sprintf(b, "a%lcb", static_cast<wint_t>(0x2603)), 0);
    // Output of 105 bytes or more, past the first scratch block, is formatted again from the start.
    EXPECT_TRUE(buf_sprintf(b, "%d", 42) == 2 && buf_sprintf(b, "%s", "") == 0 &&
                hex() == "6b3432");
    for (size_t n : {103u, 250u}) {
        b->length = 0;
        EXPECT_EQ(buf_sprintf(b, "%s-%d", long_text.c_str() + 250 - n, 7),
                  static_cast<int32_t>(n + 2));
        EXPECT_EQ(std::string(b->data, b->data + b->length), long_text.substr(0, n) + "-7");
    }
    buf_free(b);
}

} // namespace
