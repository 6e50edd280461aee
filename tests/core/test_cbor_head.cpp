#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cbor_head.h"
#include "cbor_reference.h"

using cbor_ref::from_hex;
using cbor_ref::hex;

// Both sides of every width boundary, for several major types; every cut-short head is refused.
TEST(CborHead, WritesAndReadsEveryWidthBoundary) {
    const struct { uint32_t major; uint64_t argument; const char *bytes; } heads[] = {
        {0, 0, "00"}, {0, 23, "17"}, {0, 24, "1818"}, {0, 255, "18ff"}, {0, 256, "190100"}, {0, 65535, "19ffff"},
        {0, 65536, "1a00010000"}, {0, 4294967295u, "1affffffff"}, {0, 4294967296u, "1b0000000100000000"},
        {0, UINT64_MAX, "1bffffffffffffffff"}, {1, 23, "37"}, {1, 24, "3818"}, {2, 255, "58ff"}, {3, 256, "790100"},
        {4, 65535, "99ffff"}, {5, 65536, "ba00010000"}, {7, 4294967296u, "fb0000000100000000"}, {9, 1, "21"}};
    for (const auto &row : heads) {
        uint8_t out[CBOR_HEAD_MAX_SIZE];
        const uint32_t n = cbor_head_write(out, row.major, row.argument);
        EXPECT_EQ(hex(out, n), row.bytes);
        EXPECT_EQ(cbor_head_size(row.argument), n) << row.bytes;
        const std::vector<uint8_t> bytes = from_hex(row.bytes);
        cbor_head head{};
        ASSERT_EQ(cbor_head_read(bytes.data(), bytes.size(), &head), static_cast<int32_t>(n)) << row.bytes;
        EXPECT_TRUE(head.initial == bytes[0] && head.major == (row.major & 7) && head.argument == row.argument) << row.bytes;
        for (size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_EQ(cbor_head_read(bytes.data(), cut, &head), -1) << cut;
    }
    // Heads without an argument take one byte; the sized forms take the width they are told.
    for (const char *text : {"1c", "3d", "5e", "5f", "9f", "bf", "ff"}) {
        const std::vector<uint8_t> bytes = from_hex(std::string(text) + "0102");
        cbor_head head{};
        EXPECT_EQ(cbor_head_read(bytes.data(), bytes.size(), &head), 1) << text;
        EXPECT_TRUE(head.info == (bytes[0] & 0x1F) && head.argument == 0) << text;
    }
    uint8_t out[CBOR_HEAD_MAX_SIZE];
    EXPECT_EQ(hex(out, cbor_head_write_sized(out, 0x05, 0x1234, 2)), "051234");
    const std::vector<uint8_t> bytes = from_hex("d82001");
    cbor_head head{};
    EXPECT_TRUE(cbor_head_read_sized(bytes.data(), 3, 0, &head) == 1 && cbor_head_read_sized(bytes.data(), 3, 4, &head) == -1);
    EXPECT_TRUE(cbor_head_read_sized(bytes.data(), 3, 2, &head) == 3 && head.argument == 0x2001u);
}
