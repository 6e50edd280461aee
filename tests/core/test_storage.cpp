#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "alloc.h"
#include "storage.h"

namespace {

const int32_t F = STORAGE_FORWARD_UNSET;
const int32_t R = STORAGE_REVERSE_UNSET;

std::vector<int32_t> slots_of(const storage *s) { return std::vector<int32_t>(s->slots, s->slots + s->capacity); }

void expect_pattern(const storage *s, uint32_t from, uint32_t to) {
    for (uint32_t key = from; key <= to; ++key) {
        const uint32_t phase = (key - 3) % 4;
        EXPECT_EQ(s->slots[key], phase < 2 ? F : R) << "key " << key;
    }
}

struct create_case {
    uint32_t storage_limit;
    uint32_t max_iteration;
};

class StorageCreate : public ::testing::TestWithParam<create_case> {};

TEST_P(StorageCreate, FreshRecord) {
    storage *s = storage_create(GetParam().storage_limit);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->capacity, 22u);
    EXPECT_EQ(s->storage_limit, GetParam().storage_limit);
    EXPECT_EQ(s->max_iteration, GetParam().max_iteration);
    EXPECT_EQ(s->extent, 11u);
    const std::vector<int32_t> expected = {0, 0, 0, F, F, R, R, F, F, R, R, F, F, R, R, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(slots_of(s), expected);
    storage_free(s);
}

INSTANTIATE_TEST_SUITE_P(Table, StorageCreate,
                         ::testing::Values(create_case{2147483647u, 536870911u}, create_case{10u, 1u},
                                           create_case{11u, 2u}, create_case{3u, 0u},
                                           /* Below 3 the subtraction wraps. */
                                           create_case{0u, 1073741823u}, create_case{2u, 1073741823u}));

struct key_case {
    int32_t diagonal;
    uint32_t forward;
    uint32_t reverse;
};

class StorageKeys : public ::testing::TestWithParam<key_case> {};

TEST_P(StorageKeys, Table) {
    EXPECT_EQ(storage_key_forward(GetParam().diagonal), GetParam().forward);
    EXPECT_EQ(storage_key_reverse(GetParam().diagonal), GetParam().reverse);
}

INSTANTIATE_TEST_SUITE_P(Table, StorageKeys,
                         ::testing::Values(key_case{0, 0, 2}, key_case{-1, 3, 5}, key_case{1, 4, 6},
                                           key_case{-2, 7, 9}, key_case{2, 8, 10}, key_case{-100, 399, 401},
                                           key_case{100, 400, 402}));

TEST(Storage, KeysOfNearbyDiagonalsNeverCollide) {
    std::set<uint32_t> seen;
    for (int32_t k = -1000; k <= 1000; ++k) {
        EXPECT_TRUE(seen.insert(storage_key_forward(k)).second) << k;
        EXPECT_TRUE(seen.insert(storage_key_reverse(k)).second) << k;
    }
    /* Diagonals -1000..1000 fill every key from 0 to 4002 except key 1. */
    EXPECT_EQ(seen.size(), 4002u);
    EXPECT_EQ(seen.count(1u), 0u);
    EXPECT_EQ(*seen.rbegin(), 4002u);
}

TEST(Storage, ExtendOnAFreshStorage) {
    storage *s = storage_create(2147483647);
    ASSERT_NE(s, nullptr);
    s->slots[0] = 17;
    s->slots[18] = 5; /* beyond the pattern: must be overwritten by the fill */
    EXPECT_EQ(storage_extend(s, 5), 1);
    EXPECT_EQ(s->extent, 27u);
    EXPECT_EQ(s->capacity, 54u);
    EXPECT_EQ(s->slots[0], 17);
    expect_pattern(s, 3, 30);
    for (uint32_t key = 31; key < 54; ++key) EXPECT_EQ(s->slots[key], 0) << key;
    storage_free(s);
}

TEST(Storage, ExtendBeyondTheMaximumIterationChangesNothing) {
    storage *s = storage_create(10);
    ASSERT_NE(s, nullptr);
    const std::vector<int32_t> before = slots_of(s);
    EXPECT_EQ(storage_extend(s, 2), 0);
    EXPECT_EQ(slots_of(s), before);
    EXPECT_EQ(s->extent, 11u);
    EXPECT_EQ(storage_extend(s, 1), 1);
    /* A negative iteration is a huge unsigned one. */
    EXPECT_EQ(storage_extend(s, -1), 0);
    storage_free(s);
}

TEST(Storage, ExtendOneIterationAtATimeFillsOneGroupAhead) {
    storage *s = storage_create(2147483647);
    ASSERT_NE(s, nullptr);
    for (int32_t d = 2; d <= 40; ++d) {
        /* Dirty the group of diagonal d + 1, which the search has not reached. */
        const uint32_t first = 4 * (uint32_t)d + 3;
        if (first + 3 < s->capacity)
            for (uint32_t i = 0; i < 4; ++i) s->slots[first + i] = 99;
        ASSERT_EQ(storage_extend(s, d), 1);
        EXPECT_EQ(s->extent, 4 * (uint32_t)d + 7);
        EXPECT_GE(s->capacity, 4 * (uint32_t)d + 11);
        expect_pattern(s, first, first + 7);
    }
    storage_free(s);
}

TEST(Storage, InitialiseResetsNearDiagonalsAndKeepsTheFirstKeys) {
    storage *s = storage_create(2147483647);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(storage_extend(s, 6), 1);
    for (uint32_t key = 0; key < s->capacity; ++key) s->slots[key] = 42;
    EXPECT_EQ(storage_initialise(s, 0), 0);
    EXPECT_EQ(s->slots[5], 42);
    EXPECT_EQ(storage_initialise(s, 1), 1);
    EXPECT_EQ(s->extent, 11u);
    EXPECT_EQ(s->slots[0], 42);
    EXPECT_EQ(s->slots[1], 42);
    EXPECT_EQ(s->slots[2], 42);
    expect_pattern(s, 3, 14);
    EXPECT_EQ(s->slots[15], 42); /* stale until an extend refills it */
    storage_free(s);
}

TEST(Storage, EnsureGrowsWithoutFilling) {
    storage *s = storage_create(2147483647);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(storage_ensure(s, 10), 1);
    EXPECT_EQ(s->extent, 47u);
    EXPECT_EQ(s->capacity, 94u);
    for (uint32_t key = 15; key < 94; ++key) EXPECT_EQ(s->slots[key], 0);
    storage_fill(s, 51); /* at extent + 4: nothing */
    for (uint32_t key = 15; key < 94; ++key) EXPECT_EQ(s->slots[key], 0);
    storage_fill(s, 15);
    expect_pattern(s, 15, 50);
    EXPECT_EQ(s->slots[51], 0);
    storage_free(s);
}

TEST(Storage, NextAfterTheSearchSetup) {
    storage *s = storage_create(2147483647);
    ASSERT_NE(s, nullptr);
    const int32_t n = 9;
    ASSERT_EQ(storage_initialise(s, 1), 1);
    ASSERT_EQ(storage_key_forward_set(s, 0, 0), 1);
    ASSERT_EQ(storage_key_reverse_set(s, 0, n), 1);
    EXPECT_EQ(storage_key_forward_get_next(s, 1), 0);
    EXPECT_EQ(storage_key_forward_get_next(s, -1), 1);
    EXPECT_EQ(storage_key_reverse_get_next(s, -1), n);
    EXPECT_EQ(storage_key_reverse_get_next(s, 1), n - 1);
    /* The larger of x(k - 1) and x(k + 1) + 1; ties take the deletion. */
    storage_key_forward_set(s, 1, 4);
    storage_key_forward_set(s, 3, 4);
    EXPECT_EQ(storage_key_forward_get_next(s, 2), 5);
    storage_key_forward_set(s, 1, 6);
    EXPECT_EQ(storage_key_forward_get_next(s, 2), 6);
    /* The smaller of x(k + 1) and x(k - 1) - 1. */
    storage_key_reverse_set(s, 1, 7);
    storage_key_reverse_set(s, 3, 7);
    EXPECT_EQ(storage_key_reverse_get_next(s, 2), 6);
    storage_key_reverse_set(s, 3, 5);
    EXPECT_EQ(storage_key_reverse_get_next(s, 2), 5);
    storage_free(s);
}

TEST(Storage, OutOfRangeReadsAndWrites) {
    storage *s = storage_create(2147483647);
    ASSERT_NE(s, nullptr);
    const std::vector<int32_t> before = slots_of(s);
    /* Diagonal 5 has forward key 20 and reverse key 22 = capacity. */
    EXPECT_EQ(storage_key_reverse_set(s, 5, 1), 0);
    EXPECT_EQ(storage_key_forward_set(s, -6, 1), 0); /* key 23 */
    EXPECT_EQ(storage_key_forward_set(s, 1000, 1), 0);
    EXPECT_EQ(slots_of(s), before);
    EXPECT_EQ(storage_key_reverse_get(s, 5), STORAGE_OUT_OF_RANGE);
    EXPECT_EQ(storage_key_forward_get(s, 1000), STORAGE_OUT_OF_RANGE);
    EXPECT_EQ(storage_key_forward_set(s, 5, 3), 1); /* key 20 */
    EXPECT_EQ(storage_key_forward_get(s, 5), 3);
    /* Next values from beyond the array: the rules read INT32_MIN there. */
    EXPECT_EQ(storage_key_reverse_get_next(s, 6), INT32_MAX);  /* both beyond */
    EXPECT_EQ(storage_key_forward_get_next(s, 6), 3);          /* x(5) = 3 beats INT32_MIN + 1 */
    storage_free(s);
}

TEST(Storage, NullStorage) {
    EXPECT_EQ(storage_key_forward_get(nullptr, 0), STORAGE_OUT_OF_RANGE);
    EXPECT_EQ(storage_key_reverse_get(nullptr, 0), STORAGE_OUT_OF_RANGE);
    EXPECT_EQ(storage_key_forward_set(nullptr, 0, 1), 0);
    EXPECT_EQ(storage_key_reverse_set(nullptr, 0, 1), 0);
    EXPECT_EQ(storage_key_forward_get_next(nullptr, 0), INT32_MIN + 1);
    EXPECT_EQ(storage_key_reverse_get_next(nullptr, 0), INT32_MAX);
    EXPECT_EQ(storage_extend(nullptr, 1), 0);
    EXPECT_EQ(storage_initialise(nullptr, 1), 0);
    storage_fill(nullptr, 3);
    storage_free(nullptr);
}

TEST(Storage, FailedAllocations) {
    core_alloc_fail_after(0);
    EXPECT_EQ(storage_create(100), nullptr);
    core_alloc_fail_after(1); /* record, not the slots */
    EXPECT_EQ(storage_create(100), nullptr);
    core_alloc_fail_after(-1);

    storage *s = storage_create(2147483647);
    ASSERT_NE(s, nullptr);
    const std::vector<int32_t> before = slots_of(s);
    core_alloc_fail_after(0);
    /* Growth that cannot be had stops the search and changes nothing. */
    EXPECT_EQ(storage_extend(s, 5), 0);
    EXPECT_EQ(storage_ensure(s, 5), 0);
    EXPECT_EQ(storage_initialise(s, 5), 0);
    core_alloc_fail_after(-1);
    EXPECT_EQ(s->capacity, 22u);
    EXPECT_EQ(s->extent, 11u);
    EXPECT_EQ(slots_of(s), before);
    /* Within the capacity nothing is allocated. */
    core_alloc_fail_after(0);
    EXPECT_EQ(storage_extend(s, 2), 1);
    core_alloc_fail_after(-1);
    EXPECT_EQ(storage_extend(s, 5), 1);
    storage_free(s);
}

TEST(Storage, HugeIterationsAreRefusedNotWrapped) {
    storage *s = storage_create(0); /* maximum iteration 2^30 - 1 */
    ASSERT_NE(s, nullptr);
    /* 8d + 14 slots do not fit in 32 bits: refused instead of wrapping. */
    EXPECT_EQ(storage_extend(s, 1073741823), 0);
    EXPECT_EQ(s->capacity, 22u);
    EXPECT_EQ(s->extent, 11u);
    storage_free(s);
}

}  // namespace
