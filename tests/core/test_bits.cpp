#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bits.h"

// Against the compiler's count: 0..300, every power of two with its neighbours and its
// next lower bit, all ones. The next power is refused past 2^62 (2^30 for 32 bits).
TEST(Bits, AgreeWithTheCompilersCount) {
    std::vector<uint64_t> values{UINT64_MAX};
    for (uint64_t x = 0; x <= 300; ++x) values.push_back(x);
    for (uint64_t bit = 1; bit != 0; bit <<= 1) values.insert(values.end(), {bit - 1, bit, bit + 1, bit | (bit >> 1)});
    const auto highest = [](uint64_t v) { return v == 0 ? -1 : 63 - __builtin_clzll(v); };
    const auto next_power = [](uint64_t x, int limit) {
        if (x > uint64_t{1} << limit) return int64_t{-1};
        int64_t p = 1;
        while (static_cast<uint64_t>(p) < x) p *= 2;
        return p;
    };
    for (uint64_t v : values) {
        const uint32_t low = static_cast<uint32_t>(v);
        EXPECT_EQ(number_of_leading_zeroes_long(static_cast<int64_t>(v)), 63 - highest(v)) << v;
        EXPECT_EQ(highest_bit_long(static_cast<int64_t>(v)), highest(v) + 1) << v;
        EXPECT_EQ(number_of_leading_zeroes_int(static_cast<int32_t>(low)), 31 - highest(low)) << low;
        EXPECT_EQ(highest_bit_int(static_cast<int32_t>(low)), highest(low) + 1) << low;
        EXPECT_EQ(find_next_power_of_two_long(static_cast<int64_t>(v)), next_power(v, 62)) << v;
        EXPECT_EQ(find_next_power_of_two_int(static_cast<int32_t>(low)), next_power(low, 30)) << low;
    }
}
