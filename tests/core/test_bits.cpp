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

struct LongCase {
    int64_t x;
    int32_t leading_zeroes;
    int32_t highest_bit;
};

class BitsLong : public ::testing::TestWithParam<LongCase> {};

TEST_P(BitsLong, LeadingZeroesAndHighestBit) {
    const LongCase c = GetParam();
    EXPECT_EQ(number_of_leading_zeroes_long(c.x), c.leading_zeroes);
    EXPECT_EQ(highest_bit_long(c.x), c.highest_bit);
}

INSTANTIATE_TEST_SUITE_P(Table, BitsLong,
                         ::testing::Values(LongCase{0, 64, 0}, LongCase{1, 63, 1}, LongCase{2, 62, 2},
                                           LongCase{3, 62, 2}, LongCase{1024, 53, 11}, LongCase{1023, 54, 10},
                                           LongCase{INT64_C(0x7FFFFFFFFFFFFFFF), 1, 63},
                                           LongCase{INT64_C(0x4000000000000000), 1, 63},
                                           LongCase{INT64_C(0x100000000), 31, 33}, LongCase{-1, 0, 64},
                                           LongCase{INT64_MIN, 0, 64}));

struct IntCase {
    int32_t x;
    int32_t leading_zeroes;
    int32_t highest_bit;
};

class BitsInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(BitsInt, LeadingZeroesAndHighestBit) {
    const IntCase c = GetParam();
    EXPECT_EQ(number_of_leading_zeroes_int(c.x), c.leading_zeroes);
    EXPECT_EQ(highest_bit_int(c.x), c.highest_bit);
}

INSTANTIATE_TEST_SUITE_P(Table, BitsInt,
                         ::testing::Values(IntCase{0, 32, 0}, IntCase{1, 31, 1}, IntCase{2, 30, 2},
                                           IntCase{255, 24, 8}, IntCase{256, 23, 9}, IntCase{0x7FFFFFFF, 1, 31},
                                           IntCase{0x40000000, 1, 31}, IntCase{-1, 0, 32},
                                           IntCase{INT32_MIN, 0, 32}));

TEST(Bits, EveryBitPatternAgreesWithTheOracle) {
    std::vector<uint64_t> values = {0};
    for (int i = 0; i < 64; ++i) {
        const uint64_t bit = uint64_t{1} << i;
        values.insert(values.end(), {bit, bit - 1, bit + 1, bit | (bit >> 1), bit | 1});
    }
    for (uint64_t v : values) {
        const int h = highest_index(v);
        EXPECT_EQ(number_of_leading_zeroes_long(static_cast<int64_t>(v)), 63 - h) << v;
        EXPECT_EQ(highest_bit_long(static_cast<int64_t>(v)), h + 1) << v;
        const uint32_t low = static_cast<uint32_t>(v);
        const int hl = highest_index(low);
        EXPECT_EQ(number_of_leading_zeroes_int(static_cast<int32_t>(low)), 31 - hl) << low;
        EXPECT_EQ(highest_bit_int(static_cast<int32_t>(low)), hl + 1) << low;
    }
}

struct PowerLongCase {
    int64_t x;
    int64_t expected;
};

class PowerOfTwoLong : public ::testing::TestWithParam<PowerLongCase> {};

TEST_P(PowerOfTwoLong, Table) { EXPECT_EQ(find_next_power_of_two_long(GetParam().x), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Table, PowerOfTwoLong,
                         ::testing::Values(PowerLongCase{0, 1}, PowerLongCase{1, 1}, PowerLongCase{2, 2},
                                           PowerLongCase{3, 4}, PowerLongCase{5, 8}, PowerLongCase{1000, 1024},
                                           PowerLongCase{1024, 1024}, PowerLongCase{1025, 2048},
                                           PowerLongCase{INT64_C(1) << 62, INT64_C(1) << 62},
                                           PowerLongCase{(INT64_C(1) << 62) - 1, INT64_C(1) << 62},
                                           PowerLongCase{(INT64_C(1) << 62) + 1, -1},
                                           PowerLongCase{INT64_MAX, -1}, PowerLongCase{-1, -1},
                                           PowerLongCase{INT64_MIN, -1}));

struct PowerIntCase {
    int32_t x;
    int32_t expected;
};

class PowerOfTwoInt : public ::testing::TestWithParam<PowerIntCase> {};

TEST_P(PowerOfTwoInt, Table) { EXPECT_EQ(find_next_power_of_two_int(GetParam().x), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Table, PowerOfTwoInt,
                         ::testing::Values(PowerIntCase{0, 1}, PowerIntCase{1, 1}, PowerIntCase{2, 2},
                                           PowerIntCase{3, 4}, PowerIntCase{5, 8}, PowerIntCase{64, 64},
                                           PowerIntCase{65, 128}, PowerIntCase{1073741823, 1073741824},
                                           PowerIntCase{1073741824, 1073741824}, PowerIntCase{1073741825, -1},
                                           PowerIntCase{INT32_MAX, -1}, PowerIntCase{-1, -1},
                                           PowerIntCase{INT32_MIN, -1}));

TEST(Bits, NextPowerOfTwoIsTheSmallestNotBelow) {
    for (int64_t x = 2; x <= 5000; ++x) {
        int64_t p = 1;
        while (p < x) p *= 2;
        EXPECT_EQ(find_next_power_of_two_long(x), p) << x;
        EXPECT_EQ(find_next_power_of_two_int(static_cast<int32_t>(x)), p) << x;
    }
}

} // namespace
