#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bits.h"

namespace {

/* Oracles: the highest set bit by walking down, -1 for 0; the smallest power of two
 * not below x (1 for 0), -1 past `limit`. */
int highest_index(uint64_t v) {
    for (int i = 63; i >= 0; --i)
        if ((v >> i) & 1u) return i;
    return -1;
}
int64_t next_power(uint64_t x, uint64_t limit) {
    if (x > limit) return -1;
    uint64_t p = 1;
    while (p < x) p *= 2;
    return static_cast<int64_t>(p);
}

/* 0..300, every power of two with its neighbours and its next lower bit, all ones. */
TEST(Bits, AgreeWithTheOracles) {
    std::vector<uint64_t> values{UINT64_MAX};
    for (uint64_t x = 0; x <= 300; ++x) values.push_back(x);
    for (int i = 0; i < 64; ++i) {
        const uint64_t bit = uint64_t{1} << i;
        values.insert(values.end(), {bit - 1, bit, bit + 1, bit | (bit >> 1)});
    }
    for (uint64_t v : values) {
        const uint32_t low = static_cast<uint32_t>(v);
        const int h = highest_index(v), hl = highest_index(low);
        EXPECT_EQ(number_of_leading_zeroes_long(static_cast<int64_t>(v)), 63 - h) << v;
        EXPECT_EQ(highest_bit_long(static_cast<int64_t>(v)), h + 1) << v;
        EXPECT_EQ(number_of_leading_zeroes_int(static_cast<int32_t>(low)), 31 - hl) << low;
        EXPECT_EQ(highest_bit_int(static_cast<int32_t>(low)), hl + 1) << low;
        EXPECT_EQ(find_next_power_of_two_long(static_cast<int64_t>(v)), next_power(v, uint64_t{1} << 62)) << v;
        EXPECT_EQ(find_next_power_of_two_int(static_cast<int32_t>(low)), next_power(low, uint64_t{1} << 30)) << low;
    }
}

}  // namespace
