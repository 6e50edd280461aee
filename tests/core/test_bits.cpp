#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bits.h"

namespace {

/* Oracle: the index of the highest set bit by walking down from the top. */
int highest_index(uint64_t v) {
    for (int i = 63; i >= 0; --i)
        if ((v >> i) & 1u) return i;
    return -1;
}

/* Oracle: the smallest power of two not below x (1 for 0), -1 past `limit`. */
int64_t next_power(uint64_t x, uint64_t limit) {
    if (x > limit) return -1;
    uint64_t p = 1;
    while (p < x) p *= 2;
    return static_cast<int64_t>(p);
}

/* 0..300, every power of two and its neighbours, every bit with its next lower one, all ones. */
std::vector<uint64_t> samples() {
    std::vector<uint64_t> values;
    for (uint64_t x = 0; x <= 300; ++x) values.push_back(x);
    for (int i = 0; i < 64; ++i) {
        const uint64_t bit = uint64_t{1} << i;
        values.insert(values.end(), {bit - 1, bit, bit + 1, bit | (bit >> 1)});
    }
    values.push_back(UINT64_MAX);
    return values;
}

TEST(Bits, LeadingZeroesAndHighestBitAgreeWithTheOracle) {
    EXPECT_EQ(highest_bit_long(1), 1);
    EXPECT_EQ(highest_bit_long(1024), 11);
    EXPECT_EQ(number_of_leading_zeroes_int(1), 31);
    for (uint64_t v : samples()) {
        const int h = highest_index(v);
        EXPECT_EQ(number_of_leading_zeroes_long(static_cast<int64_t>(v)), 63 - h) << v;
        EXPECT_EQ(highest_bit_long(static_cast<int64_t>(v)), h + 1) << v;
        const uint32_t low = static_cast<uint32_t>(v);
        const int hl = highest_index(low);
        EXPECT_EQ(number_of_leading_zeroes_int(static_cast<int32_t>(low)), 31 - hl) << low;
        EXPECT_EQ(highest_bit_int(static_cast<int32_t>(low)), hl + 1) << low;
    }
}

TEST(Bits, NextPowerOfTwoAgreesWithTheOracle) {
    for (uint64_t x : samples()) {
        EXPECT_EQ(find_next_power_of_two_long(static_cast<int64_t>(x)), next_power(x, uint64_t{1} << 62)) << x;
        const uint32_t low = static_cast<uint32_t>(x);
        EXPECT_EQ(find_next_power_of_two_int(static_cast<int32_t>(low)), next_power(low, uint64_t{1} << 30)) << low;
    }
}

}  // namespace
