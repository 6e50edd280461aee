#include <gtest/gtest.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "alloc.h"
#include "buf_enc.h"
#include "cbor_reference.h"

namespace {

std::string hex(const buf *b) { return cbor_ref::hex(b->data, b->length); }

class BufEnc : public ::testing::Test {
  protected:
    void SetUp() override { b = buf_create(); }
    void TearDown() override { core_alloc_fail_after(-1), buf_free(b); }
    buf *b = nullptr;
};

// Exact bytes, then every 7-bit group boundary through the 64-bit pair. The readers
// (over-long and non-shortest forms, skipping) are fuzzed against a plain decoder.
TEST_F(BufEnc, Leb128) {
    for (const auto &[value, bytes] : std::vector<std::pair<uint64_t, const char *>>{
             {0, "00"}, {127, "7f"}, {128, "8001"}, {300, "ac02"}, {16384, "808001"}, {UINT32_MAX, "ffffffff0f"}}) {
        b->length = 0;
        buf_write_uint32_enc(b, static_cast<uint32_t>(value));
        buf_write_uint64_enc(b, value);
        EXPECT_EQ(hex(b), std::string(bytes) + bytes);
    }
    for (int bits = 1; bits <= 64; ++bits) {
        const uint64_t top = UINT64_MAX >> (64 - bits);
        for (uint64_t value : {top >> 1, top - (top >> 1), top}) {
            b->length = 0;
            buf_write_uint64_enc(b, value);
            uint64_t read = 0;
            EXPECT_TRUE(buf_read_uint64_enc(b->data, &read) == b->data + b->length && read == value) << value;
            EXPECT_TRUE(value != top || b->length == static_cast<uint64_t>((bits + 6) / 7)) << value;
        }
    }
    EXPECT_EQ(hex(b), "ffffffffffffffffff01");
    EXPECT_TRUE(buf_read_uint32_enc(nullptr, nullptr) == nullptr && buf_read_uint64_enc(nullptr, nullptr) == nullptr);
}

// The readers of these forms are fuzzed against a plain decoder.
TEST_F(BufEnc, StringsFloatsBooleansAndLists) {
    for (const char *s : {static_cast<const char *>(nullptr), "", "abc"}) buf_write_string_enc(b, s);
    buf_write_string_length_enc(b, "abc", 1ull << 32);  // past the 32-bit prefix: refused before the body is read
    buf_write_string_length_enc(b, std::string(130, 'x').data(), 130);
    EXPECT_EQ(hex(b).substr(0, 16) + "/" + std::to_string(b->length), "0000036162638201/138");
    b->length = 0;
    buf_write_float(b, 1.0f);  // the bytes as they lie in memory; the reader decodes LEB128 instead
    for (int value : {0, 1, 2, 0x101}) buf_write_bool(b, value);
    buf_write_bool(nullptr, 1);
    auto first_char = [](buf *out, void *data) { buf_write_byte(out, *static_cast<const char *>(data)); };
    list *l = list_create();
    char letters[] = "xyz";
    buf_write_list(b, nullptr, first_char);
    for (int i = 0; i < 3; ++i) list_append_last(l, letters + i);
    buf_write_list(b, l, first_char);
    buf_write_list(b, l, nullptr);
    EXPECT_EQ(hex(b), "0000803f00010201" "000378797a03");
    list_free(l, nullptr);
}

// The first scratch block holds 105 bytes: output of exactly that size, or more, takes
// a retry that starts again from the first argument.
TEST_F(BufEnc, Sprintf) {
    EXPECT_TRUE(buf_sprintf(b, "%d", 42) == 2 && buf_sprintf(b, "%s", "") == 0 && hex(b) == "3432");
    for (size_t n : {103u, 250u}) {
        const std::string long_text(n, 'q');
        b->length = 0;
        EXPECT_EQ(buf_sprintf(b, "%s-%d", long_text.c_str(), 7), static_cast<int32_t>(n + 2));
        EXPECT_EQ(std::string(b->data, b->data + b->length), long_text + "-7");
    }
    b->length = 0;
    EXPECT_LT(buf_sprintf(b, "a%lcb", static_cast<wint_t>(0x2603)), 0);  // not convertible in the C locale
    EXPECT_EQ(b->length, 0u);
}

TEST_F(BufEnc, FailedAllocations) {
    buf_write_byte(b, 'k');  // length 1, capacity 2
    const std::string long_text(250, 'q');
    // scratch fails; scratch regrowth fails; the append's growth fails
    for (const auto &[successes, text] : {std::pair<long, const char *>{0, "abc"}, {1, long_text.c_str()}, {1, "abc"}}) {
        core_alloc_fail_after(successes);
        EXPECT_EQ(buf_sprintf(b, "%s", text), -1) << successes;
    }
    core_alloc_fail_after(0);
    buf_write_uint64_enc(b, UINT64_MAX);
    buf_write_string_enc(b, "abc");
    buf_write_string_length_enc(b, "abc", 3);  // the prefix alone would fit: neither is kept
    EXPECT_EQ(hex(b), "6b");
    const uint8_t encoded[] = {3, 'a', 'b', 'c'};
    char *copy = nullptr;
    uint64_t length = 99;
    EXPECT_EQ(buf_read_string_length_enc(encoded, &copy, &length), nullptr);
    EXPECT_TRUE(copy == nullptr && length == 99u);
}

}  // namespace
