#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "alloc.h"
#include "cbor_parser.h"
#include "cbor_parser_check.h"

namespace {

using cbor_ref::from_hex;

class CborParser : public ::testing::Test {
  protected:
    void TearDown() override { core_alloc_fail_after(-1); }
};

// Every initial byte with every tail length (so each head and float is also
// cut short at every width), every half, random singles and the RFC 8949
// Appendix A sequences, all against the reference reader.
TEST_F(CborParser, AgreesWithTheReferenceReader) {
    std::vector<std::vector<uint8_t>> inputs;
    for (int b = 0; b < 256; ++b)
        for (uint8_t tail = 0; tail <= 9; ++tail) {
            inputs.push_back({static_cast<uint8_t>(b)});
            for (uint8_t k = 0; k < tail; ++k) inputs.back().push_back(k == 0 ? tail - 1 : 0x41 + k);
        }
    std::mt19937 rng(5);
    for (uint32_t k = 0; k < 0x10000 + 30000; ++k) {
        const uint32_t bits = k < 0x10000 ? k : static_cast<uint32_t>(rng());
        if (k < 0x10000) inputs.push_back({0xF9, uint8_t(bits >> 8), uint8_t(bits)});
        else inputs.push_back({0xFA, uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)});
    }
    for (const char *hex : {
             "0a 1bffffffffffffffff c249010000000000000000 3bffffffffffffffff 3903e7 fb7e37e43c8800759c f0 f818 f8ff",
             "c074323031332d30332d32315432303a30343a30305a d82076687474703a2f2f7777772e6578616d706c652e636f6d 62c3bc",
             "8301820203820405 a26161016162820203 826161a161626163 5f42010243030405ff 7f657374726561646d696e67ff",
             "9fff 9f018202039f0405ffff 83019f0203ff820405 bf61610161629f0203ffff 826161bf61626163ff bf6346756ef563416d7421ff",
             "5900024142 5a000000024142 5b00000000000000024142 7900024142 7a000000024142 7b00000000000000024142"})
        inputs.push_back(from_hex(hex));
    testing::internal::CaptureStderr();
    for (const auto &input : inputs) {
        // An exactly sized block, so that AddressSanitizer sees any read past the input.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[input.size()]);
        memcpy(copy.get(), input.data(), input.size());
        ASSERT_EQ(cbor_ref::parser_differs(copy.get(), input.size()), "");
    }
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(messages.substr(0, 30), "Unimplemented CBOR code: e0\nUn");
    EXPECT_NE(messages.find("code: f3\nUnimplemented CBOR code: f8\n"), std::string::npos);
    EXPECT_EQ(messages.find("code: f4"), std::string::npos);
}

// Exact records where the reference and the parser could share a mistake.
TEST_F(CborParser, ExactRecords) {
    const struct { const char *hex; uint64_t value; int64_t length; const char *copy; } table[] = {
        {"3bffffffffffffffff", 0, 0, nullptr}, {"37", UINT64_MAX - 23, 0, nullptr},
        {"3b7fffffffffffffff", 1ull << 63, 0, nullptr}, {"1bffffffffffffffff", UINT64_MAX, 0, nullptr},
        {"5801ff", 0, 1, "ff"}, {"590002abcd", 0, 2, "abcd"}, {"5a00000001ee", 0, 1, "ee"},
        {"7b000000000000000161", 0, 1, "6100"}, {"40", 0, 0, ""}, {"60", 0, 0, "00"},
        {"9b0000000100000000", 0, 4294967296ll, nullptr}, {"ba00010000", 0, 65536, nullptr},
        {"5f", 0, -1, nullptr}, {"bf", 0, -1, nullptr}, {"c1", 0, 0, nullptr}, {"fc", 0, 0, nullptr},
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

// Handlers are exported: called directly they return 0 on a readable item
// and -1, cursor unmoved, when no byte is left.
TEST_F(CborParser, HandlersCalledDirectly) {
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
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(cbor_next_val(nullptr), nullptr);
    EXPECT_EQ(cbor_parser_available_bytes(nullptr), 0);
    cbor_parser *p = cbor_parser_create(nullptr, 0);
    EXPECT_EQ(cbor_next_val(p), nullptr);
    cbor_parser_free(p);
    cbor_parser_free(nullptr);
}

// A length field of 2^31 and more over a short buffer: the leading items
// are read (with the remaining count cut to 32 bits nothing would parse).
TEST_F(CborParser, LengthFieldsBeyond32Bits) {
    const std::vector<uint8_t> input = from_hex("1a00010000 63616263 5a00000002 abcd");
    for (uint64_t length : {1ull << 31, (1ull << 32) + 2, (1ull << 32) - 1, 1ull << 40}) {
        cbor_parser *p = cbor_parser_create(input.data(), length);
        EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(length));
        for (int k = 0; k < 3; ++k) {
            cbor_val *v = cbor_next_val(p);
            ASSERT_NE(v, nullptr) << length;
            EXPECT_EQ(v->initial_byte, input[k == 0 ? 0 : k == 1 ? 5 : 9]);
            cbor_val_free(v);
        }
        EXPECT_EQ(cbor_parser_available_bytes(p), static_cast<int64_t>(length - input.size()));
        cbor_parser_free(p);
    }
    cbor_parser *p = cbor_parser_create(input.data(), UINT64_MAX);
    EXPECT_EQ(cbor_parser_available_bytes(p), INT64_MAX);
    cbor_parser_free(p);
}

// A declared length beyond the input allocates nothing for the string; a
// failed record or copy gives null without leaking (LeakSanitizer).
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
    EXPECT_EQ(cbor_parser_create("", 1), nullptr);
    EXPECT_EQ(cbor_val_create(), nullptr);
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
