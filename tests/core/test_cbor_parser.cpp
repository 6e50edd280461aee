#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "alloc.h"
#include "cbor_parser.h"
#include "cbor_reference.h"

namespace {

using cbor_ref::from_hex;

class CborParser : public ::testing::Test {
  protected:
    void TearDown() override { core_alloc_fail_after(-1); }
};

// Every item kind is compared with the reference reader by the fuzz target over its
// corpus; these are the records where the reference and the parser could share a mistake.
TEST_F(CborParser, ExactRecords) {
    const struct { const char *hex; uint64_t value; int64_t length; const char *copy; } table[] = {
        {"3bffffffffffffffff", 0, 0, nullptr}, {"37", UINT64_MAX - 23, 0, nullptr},
        {"3b7fffffffffffffff", 1ull << 63, 0, nullptr}, {"1bffffffffffffffff", UINT64_MAX, 0, nullptr},
        {"590002abcd", 0, 2, "abcd"}, {"7b000000000000000161", 0, 1, "6100"}, {"40", 0, 0, ""}, {"60", 0, 0, "00"},
        {"9b0000000100000000", 0, 4294967296ll, nullptr}, {"5f", 0, -1, nullptr}, {"c1", 0, 0, nullptr},
        {"fa7ffc0000", 0x7FF8000000000000ull, 0, nullptr}, {"f9fe00", 0xFFF8000000000000ull, 0, nullptr},
        {"fb7ff0000000000123", 0x7FF0000000000123ull, 0, nullptr}, {"fa00000001", 0x36A0000000000000ull, 0, nullptr}};
    for (const auto &c : table) {
        const std::vector<uint8_t> input = from_hex(c.hex);
        cbor_parser *p = cbor_parser_create(input.data(), input.size());
        cbor_val *v = cbor_next_val(p);
        ASSERT_NE(v, nullptr) << c.hex;
        EXPECT_EQ(v->length, c.length) << c.hex;
        const std::string got = c.copy ? cbor_ref::hex(v->value.bytes, strlen(c.copy) / 2) : std::to_string(v->value.u64);
        EXPECT_EQ(got, c.copy ? c.copy : std::to_string(c.value)) << c.hex;
        EXPECT_EQ(cbor_parser_available_bytes(p), 0) << c.hex;
        cbor_val_free(v);
        cbor_parser_free(p);
    }
}

// Handlers are exported: called directly they return 0 on a readable item and -1,
// cursor unmoved, when no byte is left. Unimplemented codes are reported as they pass.
TEST_F(CborParser, HandlersCalledDirectly) {
    std::string messages;
    for (int b = 0xE0; b <= 0xF8; ++b) {
        char line[40];
        std::snprintf(line, sizeof line, "Unimplemented CBOR code: %02x\n", b);
        if (b < 0xF4 || b == 0xF8) messages += line;
    }
    testing::internal::CaptureStderr();
    for (int b = 0; b < 256; ++b) {
        uint8_t item[9] = {static_cast<uint8_t>(b)};
        cbor_parser *p = cbor_parser_create(item, sizeof item);
        cbor_val *v = cbor_val_create();
        v->major_type = b >> 5;  // as cbor_next_val sets it, so that cbor_val_free frees a string copy
        const cbor_ref::Item ref = cbor_ref::read(item, sizeof item);
        EXPECT_EQ(cbor_jump_table[b](p, v), ref.ok ? 0 : -1) << b;
        EXPECT_TRUE(!ref.ok || p->cursor == item + ref.consumed) << b;
        p->cursor = item + sizeof item;
        EXPECT_EQ(cbor_jump_table[b](p, v), -1) << b;
        EXPECT_EQ(p->cursor, item + sizeof item);
        cbor_val_free(v);
        cbor_parser_free(p);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), messages);
    cbor_parser *p = cbor_parser_create(nullptr, 0);
    EXPECT_TRUE(cbor_next_val(p) == nullptr && cbor_next_val(nullptr) == nullptr);
    EXPECT_EQ(cbor_parser_available_bytes(nullptr), 0);
    cbor_parser_free(p);
    cbor_parser_free(nullptr);
}

// A length field of 2^31 and more over a short buffer: the leading items are read
// (with the remaining count cut to 32 bits nothing would parse).
TEST_F(CborParser, LengthFieldsBeyond32Bits) {
    const std::vector<uint8_t> input = from_hex("1a00010000 63616263 5a00000002 abcd");
    for (uint64_t length : std::vector<uint64_t>{1ull << 31, (1ull << 32) + 2, (1ull << 32) - 1, 1ull << 40, UINT64_MAX}) {
        cbor_parser *p = cbor_parser_create(input.data(), length);
        EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(std::min<uint64_t>(length, INT64_MAX)));
        for (size_t at : {0, 5, 9}) {
            cbor_val *v = cbor_next_val(p);
            ASSERT_NE(v, nullptr) << length;
            EXPECT_EQ(v->initial_byte, input[at]);
            cbor_val_free(v);
        }
        EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(std::min<uint64_t>(length - input.size(), INT64_MAX)));
        cbor_parser_free(p);
    }
}

// A declared length beyond the input allocates nothing for the string; a failed
// record or copy gives null without leaking (LeakSanitizer).
TEST_F(CborParser, Allocations) {
    for (const char *hex : {"43 6162", "59ffff 00", "5affffffff", "5bffffffffffffffff 0000", "7b0000000100000000 61"}) {
        const std::vector<uint8_t> input = from_hex(hex);
        cbor_parser *p = cbor_parser_create(input.data(), input.size());
        core_alloc_fail_after(-1);
        EXPECT_EQ(cbor_next_val(p), nullptr) << hex;
        EXPECT_EQ(core_alloc_attempts(), 1) << hex << ": only the record may be allocated";
        cbor_parser_free(p);
    }
    core_alloc_fail_after(0);
    EXPECT_TRUE(cbor_parser_create("", 1) == nullptr && cbor_val_create() == nullptr);
    for (const char *hex : {"01", "4401020304", "6461626364", "40", "60", "f93c00"}) {
        const std::vector<uint8_t> input = from_hex(hex);
        for (long k : {1, 2}) {  // the record fails, then a string's copy
            core_alloc_fail_after(-1);
            cbor_parser *p = cbor_parser_create(input.data(), input.size());
            core_alloc_fail_after(k - 1);
            cbor_val *v = cbor_next_val(p);
            EXPECT_EQ(v == nullptr, k == 1 || hex[0] == '4' || hex[0] == '6') << hex << " " << k;
            cbor_val_free(v);
            cbor_parser_free(p);
        }
    }
}

}  // namespace
