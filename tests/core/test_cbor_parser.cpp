#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/alloc.h"
#include "cbor/cbor_parser.h"
#include "cbor_reference.h"

namespace {

using cbor_ref::from_hex;

// fuzz_cbor_parser checks items and cursors against the reference. The exported handlers, called
// directly, return 0 on a readable item and -1 (cursor unmoved) when no byte is left.
TEST(CborParser, HandlersCalledDirectly) {
    testing::internal::CaptureStderr();
    for (int b = 0; b < 256; ++b) {
        uint8_t item[9] = {static_cast<uint8_t>(b)};
        cbor_parser *p = cbor_parser_create(item, sizeof item);
        cbor_val *v = cbor_val_create();
        // as cbor_next_val sets it, so that cbor_val_free frees a string copy
        v->major_type = b >> 5;
        EXPECT_EQ(cbor_jump_table[b](p, v), cbor_ref::read(item, sizeof item).ok ? 0 : -1) << b;
        p->cursor = item + sizeof item;
        EXPECT_TRUE(cbor_jump_table[b](p, v) == -1 && p->cursor == item + sizeof item) << b;
        cbor_val_free(v);
        cbor_parser_free(p);
    }
    const std::string messages = testing::internal::GetCapturedStderr(); // e0 to f3, then f8
    EXPECT_TRUE(messages.size() == 21 * 28 &&
                messages.rfind("Unimplemented CBOR code: e0\n", 0) == 0);
    EXPECT_EQ(messages.substr(19 * 28),
              "Unimplemented CBOR code: f3\nUnimplemented CBOR code: f8\n");
    cbor_parser *p = cbor_parser_create(nullptr, 0);
    EXPECT_TRUE(cbor_next_val(p) == nullptr && cbor_next_val(nullptr) == nullptr &&
                cbor_parser_available_bytes(nullptr) == 0);
    cbor_parser_free(p);
}

// Lengths of 2^31 and more over a short buffer still read its items; a string longer than the input
// allocates nothing; a failed record or copy gives null without leaking (LeakSanitizer).
TEST(CborParser, LongInputsAndAllocations) {
    const std::vector<uint8_t> input = from_hex("1a00010000 63616263 5a00000002 abcd");
    for (uint64_t length : std::vector<uint64_t>{1ull << 31, (1ull << 32) + 2, (1ull << 32) - 1,
                                                 1ull << 40, UINT64_MAX}) {
        cbor_parser *p = cbor_parser_create(input.data(), length);
        cbor_val *a = cbor_next_val(p), *b = cbor_next_val(p), *c = cbor_next_val(p);
        EXPECT_TRUE(a && b && c && a->initial_byte == 0x1a && b->initial_byte == 0x63 &&
                    c->initial_byte == 0x5a)
            << length;
        for (cbor_val *v : {a, b, c}) cbor_val_free(v);
        EXPECT_EQ(cbor_parser_available_bytes(p),
                  static_cast<int64_t>(std::min<uint64_t>(length - input.size(), INT64_MAX)));
        cbor_parser_free(p);
    }
    const char *inputs[] = {
        "43 6162", "5bffffffffffffffff 0000", "7b0000000100000000 61", "01", "4401020304",
        "40"}; // the first three are too long
    for (const char *const &hex : inputs) {
        const std::vector<uint8_t> bytes = from_hex(hex);
        const bool too_long = &hex - inputs < 3, copies = hex[0] == '4';
        for (long successes : {-1, 0, 1}) { // all succeed; the record fails; a string's copy fails
            cbor_parser *p = cbor_parser_create(bytes.data(), bytes.size());
            core_alloc_fail_after(successes);
            cbor_val *v = cbor_next_val(p);
            EXPECT_EQ(v == nullptr, too_long || successes == 0 || (successes == 1 && copies))
                << hex << " " << successes;
            EXPECT_TRUE(!too_long || successes != -1 || core_alloc_attempts() == 1)
                << hex << ": only the record";
            core_alloc_fail_after(-1);
            cbor_val_free(v);
            cbor_parser_free(p);
        }
    }
    core_alloc_fail_after(0);
    EXPECT_TRUE(cbor_parser_create("", 1) == nullptr && cbor_val_create() == nullptr);
    core_alloc_fail_after(-1);
}

} // namespace
