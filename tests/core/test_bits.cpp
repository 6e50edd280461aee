#include <gtest/gtest.h>

#include <cstdint>

#include "base/bits.h"

// Against the compiler's count around every power of two; next power refused past 2^62 (2^30).
TEST(Bits, AgreeWithTheCompilersCount) {
    const auto highest = [](uint64_t v) { return v == 0 ? -1 : 63 - __builtin_clzll(v); };
    // x itself when a power of two, else twice its highest bit
    const auto next_power = [&](uint64_t x, int limit) {
        return x > uint64_t{1} << limit ? -1
               : x <= 1                 ? 1
               : (x & (x - 1)) == 0     ? int64_t(x)
                                        : int64_t{2} << highest(x);
    };
    for (uint64_t bit = 1; bit != 0; bit <<= 1)
        for (uint64_t v : {bit - 1, bit, bit + 1, bit | (bit >> 1), bit * 5, UINT64_MAX}) {
            const uint32_t low = static_cast<uint32_t>(v);
            EXPECT_EQ(number_of_leading_zeroes_long(static_cast<int64_t>(v)), 63 - highest(v)) << v;
            EXPECT_EQ(highest_bit_long(static_cast<int64_t>(v)), highest(v) + 1) << v;
            EXPECT_EQ(number_of_leading_zeroes_int(static_cast<int32_t>(low)), 31 - highest(low))
                << low;
            EXPECT_EQ(highest_bit_int(static_cast<int32_t>(low)), highest(low) + 1) << low;
            EXPECT_EQ(find_next_power_of_two_long(static_cast<int64_t>(v)), next_power(v, 62)) << v;
            EXPECT_EQ(find_next_power_of_two_int(static_cast<int32_t>(low)), next_power(low, 30))
                << low;
        }
}
