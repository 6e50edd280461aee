#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "alloc.h"
#include "storage.h"

namespace {

const int32_t F = STORAGE_FORWARD_UNSET;
const int32_t R = STORAGE_REVERSE_UNSET;

using Storage = std::unique_ptr<storage, decltype(&storage_free)>;
Storage make(uint32_t limit) { return Storage(storage_create(limit), storage_free); }

std::vector<int32_t> slots_of(const storage *s) { return std::vector<int32_t>(s->slots, s->slots + s->capacity); }

/* Every group of four from key 3 reads F, F, R, R. */
void expect_pattern(const storage *s, uint32_t from, uint32_t to) {
    for (uint32_t key = from; key <= to; ++key) EXPECT_EQ(s->slots[key], (key - 3) % 4 < 2 ? F : R) << "key " << key;
}

TEST(Storage, CreateLaysOutThreeGroups) {
    const std::vector<int32_t> fresh = {0, 0, 0, F, F, R, R, F, F, R, R, F, F, R, R, 0, 0, 0, 0, 0, 0, 0};
    /* Below 3 the subtraction wraps. */
    const std::pair<uint32_t, uint32_t> table[] = {{2147483647u, 536870911u}, {10u, 1u}, {3u, 0u},
                                                   {0u, 1073741823u},         {2u, 1073741823u}};
    for (const auto &[limit, max_iteration] : table) {
        Storage s = make(limit);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->max_iteration, max_iteration) << limit;
        EXPECT_EQ(s->extent, 11u);
        EXPECT_EQ(slots_of(s.get()), fresh);
    }
}

TEST(Storage, KeysInterleaveBothDirectionsWithoutCollisions) {
    const int32_t table[][3] = {{0, 0, 2}, {-1, 3, 5}, {1, 4, 6}, {-2, 7, 9}, {2, 8, 10}, {-100, 399, 401}};
    for (const auto &row : table) {
        EXPECT_EQ(storage_key_forward(row[0]), static_cast<uint32_t>(row[1])) << row[0];
        EXPECT_EQ(storage_key_reverse(row[0]), static_cast<uint32_t>(row[2])) << row[0];
    }
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

TEST(Storage, ExtendIsCappedByTheMaximumIteration) {
    Storage s = make(10);
    const std::vector<int32_t> before = slots_of(s.get());
    EXPECT_EQ(storage_extend(s.get(), 2), 0);
    EXPECT_EQ(storage_extend(s.get(), -1), 0); /* a huge unsigned iteration */
    EXPECT_EQ(slots_of(s.get()), before);
    EXPECT_EQ(s->extent, 11u);
    EXPECT_EQ(storage_extend(s.get(), 1), 1);

    /* 8d + 14 slots do not fit in 32 bits: refused instead of wrapping. */
    Storage big = make(0);
    EXPECT_EQ(storage_extend(big.get(), 1073741823), 0);
    EXPECT_EQ(big->capacity, 22u);
    EXPECT_EQ(big->extent, 11u);
}

TEST(Storage, ExtendOneIterationAtATimeFillsOneGroupAhead) {
    Storage s = make(2147483647);
    for (int32_t d = 2; d <= 40; ++d) {
        /* Dirty the group of diagonal d + 1, which the search has not reached. */
        const uint32_t first = 4 * static_cast<uint32_t>(d) + 3;
        if (first + 3 < s->capacity)
            for (uint32_t i = 0; i < 4; ++i) s->slots[first + i] = 99;
        ASSERT_EQ(storage_extend(s.get(), d), 1);
        EXPECT_EQ(s->extent, first + 4);
        EXPECT_GE(s->capacity, first + 8);
        expect_pattern(s.get(), first, first + 7);
    }
}

TEST(Storage, InitialiseEnsureAndFill) {
    Storage s = make(2147483647);
    EXPECT_EQ(storage_extend(s.get(), 6), 1);
    for (uint32_t key = 0; key < s->capacity; ++key) s->slots[key] = 42;
    EXPECT_EQ(storage_initialise(s.get(), 0), 0);
    EXPECT_EQ(s->slots[5], 42);
    EXPECT_EQ(storage_initialise(s.get(), 1), 1);
    EXPECT_EQ(s->extent, 11u);
    for (uint32_t key = 0; key < 3; ++key) EXPECT_EQ(s->slots[key], 42); /* the search's own */
    expect_pattern(s.get(), 3, 14);
    EXPECT_EQ(s->slots[15], 42); /* stale until an extend refills it */

    Storage e = make(2147483647);
    EXPECT_EQ(storage_ensure(e.get(), 10), 1);
    EXPECT_EQ(e->extent, 47u);
    EXPECT_EQ(e->capacity, 94u);
    storage_fill(e.get(), 51); /* at extent + 4: nothing */
    for (uint32_t key = 15; key < 94; ++key) EXPECT_EQ(e->slots[key], 0);
    storage_fill(e.get(), 15);
    expect_pattern(e.get(), 15, 50);
    EXPECT_EQ(e->slots[51], 0);
}

TEST(Storage, NextFromTheNeighbours) {
    Storage s = make(2147483647);
    const int32_t n = 9;
    ASSERT_EQ(storage_initialise(s.get(), 1), 1);
    ASSERT_EQ(storage_key_forward_set(s.get(), 0, 0), 1);
    ASSERT_EQ(storage_key_reverse_set(s.get(), 0, n), 1);
    EXPECT_EQ(storage_key_forward_get_next(s.get(), 1), 0);
    EXPECT_EQ(storage_key_forward_get_next(s.get(), -1), 1);
    EXPECT_EQ(storage_key_reverse_get_next(s.get(), -1), n);
    EXPECT_EQ(storage_key_reverse_get_next(s.get(), 1), n - 1);
    /* The larger of x(k - 1) and x(k + 1) + 1; ties take the deletion. */
    storage_key_forward_set(s.get(), 1, 4);
    storage_key_forward_set(s.get(), 3, 4);
    EXPECT_EQ(storage_key_forward_get_next(s.get(), 2), 5);
    storage_key_forward_set(s.get(), 1, 6);
    EXPECT_EQ(storage_key_forward_get_next(s.get(), 2), 6);
    /* The smaller of x(k + 1) and x(k - 1) - 1. */
    storage_key_reverse_set(s.get(), 1, 7);
    storage_key_reverse_set(s.get(), 3, 7);
    EXPECT_EQ(storage_key_reverse_get_next(s.get(), 2), 6);
    storage_key_reverse_set(s.get(), 3, 5);
    EXPECT_EQ(storage_key_reverse_get_next(s.get(), 2), 5);
}

TEST(Storage, OutOfRangeAndNull) {
    Storage s = make(2147483647);
    const std::vector<int32_t> before = slots_of(s.get());
    /* Diagonal 5 has forward key 20 and reverse key 22 = capacity. */
    EXPECT_EQ(storage_key_reverse_set(s.get(), 5, 1), 0);
    EXPECT_EQ(storage_key_forward_set(s.get(), -6, 1), 0); /* key 23 */
    EXPECT_EQ(storage_key_forward_set(s.get(), 1000, 1), 0);
    EXPECT_EQ(slots_of(s.get()), before);
    EXPECT_EQ(storage_key_reverse_get(s.get(), 5), STORAGE_OUT_OF_RANGE);
    EXPECT_EQ(storage_key_forward_get(s.get(), 1000), STORAGE_OUT_OF_RANGE);
    EXPECT_EQ(storage_key_forward_set(s.get(), 5, 3), 1);
    EXPECT_EQ(storage_key_forward_get(s.get(), 5), 3);
    /* Beyond the array the rules read INT32_MIN. */
    EXPECT_EQ(storage_key_reverse_get_next(s.get(), 6), INT32_MAX);
    EXPECT_EQ(storage_key_forward_get_next(s.get(), 6), 3);

    EXPECT_EQ(storage_key_forward_get(nullptr, 0), STORAGE_OUT_OF_RANGE);
    EXPECT_EQ(storage_key_reverse_set(nullptr, 0, 1), 0);
    EXPECT_EQ(storage_key_forward_get_next(nullptr, 0), INT32_MIN + 1);
    EXPECT_EQ(storage_key_reverse_get_next(nullptr, 0), INT32_MAX);
    EXPECT_EQ(storage_extend(nullptr, 1), 0);
    EXPECT_EQ(storage_initialise(nullptr, 1), 0);
    storage_fill(nullptr, 3);
    storage_free(nullptr);
}

TEST(Storage, ExtendGrowsOrChangesNothing) {
    for (long successes : {0, 1}) { /* the record, then its slots */
        core_alloc_fail_after(successes);
        EXPECT_EQ(storage_create(100), nullptr) << successes;
    }
    core_alloc_fail_after(-1);
    Storage s = make(2147483647);
    s->slots[0] = 17;
    const std::vector<int32_t> before = slots_of(s.get());
    core_alloc_fail_after(0);
    EXPECT_EQ(storage_extend(s.get(), 5), 0);
    EXPECT_EQ(storage_ensure(s.get(), 5), 0);
    EXPECT_EQ(storage_initialise(s.get(), 5), 0);
    EXPECT_EQ(s->capacity, 22u);
    EXPECT_EQ(s->extent, 11u);
    EXPECT_EQ(slots_of(s.get()), before);
    EXPECT_EQ(storage_extend(s.get(), 2), 1); /* within the capacity: no allocation */
    core_alloc_fail_after(-1);
    s->slots[18] = 5; /* beyond the pattern: must be overwritten by the fill */
    EXPECT_EQ(storage_extend(s.get(), 5), 1);
    EXPECT_EQ(s->extent, 27u);
    EXPECT_EQ(s->capacity, 54u);
    EXPECT_EQ(s->slots[0], 17);
    expect_pattern(s.get(), 3, 30);
    for (uint32_t key = 31; key < 54; ++key) EXPECT_EQ(s->slots[key], 0) << key;
}

}  // namespace
