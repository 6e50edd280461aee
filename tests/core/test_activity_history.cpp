#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <vector>

#include "base/alloc.h"
#include "delta/policy/activity_history.h"

namespace {

TEST(ActivityHistory, RefusedSizesFailedAllocationsAndNull) {
    const int64_t sizes[][2] = {
        {-1, 1000}, {(1 << 30) + 1, 1000}, {4, (INT64_C(1) << 62) + 1}, {4, -5}};
    for (const auto &s : sizes)
        EXPECT_EQ(corvantis_activity_history_create((int32_t)s[0], s[1]), nullptr) << s[0];
    for (long n = 0; n < 2; ++n) { /* the record, then its slots */
        core_alloc_fail_after(n);
        EXPECT_EQ(corvantis_activity_history_create(4, 1000), nullptr) << n;
        core_alloc_fail_after(-1);
    }
    EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(nullptr), 0xFFFFFFFFu);
    corvantis_activity_history_start(nullptr);
    corvantis_activity_history_stop(nullptr);
    EXPECT_EQ(corvantis_activity_history_utilisation(nullptr), 0);
}

/* A session of starts (t) and stops (-t) on a history of `slots` buckets of `width` ms. */
TEST(ActivityHistory, Sessions) {
    const int64_t G2 = INT64_C(1) << 31, G4 = INT64_C(1) << 32;
    struct Case {
        int32_t slots;
        int64_t width;
        std::vector<int64_t> ops;
        uint64_t total;
        int32_t util;
    };
    const Case table[] = {
        /* the worked example, rows 2 to 5 */
        {4, 1000, {10240, -10740}, 500, 0},
        {4, 1000, {10240, -10740, 11264}, 500, 62},
        {4, 1000, {10240, -10740, 11264, -13312}, 3572, 190},
        {4, 1000, {10240, -10740, 11264, -13312, 13400}, 1524, 95},
        /* short activity counts in its start bucket: left out if read there, next twice */
        {4, 1000, {11240, -12240}, 1000, 0},
        {4, 1000, {20480, -20800, 20980}, 320, 0},
        {4, 1000, {20480, -20800, 21504}, 320, 40},
        {4, 1000, {11240, -12264}, 2048, 64}, /* one bucket width: no longer short */
        /* a far start clears the window and every bucket; a clock going back, nothing */
        {4, 1000, {102400, -106496, 1024000}, 0, 0},
        {4, 1000, {1024000, -1024700, 1022976}, 700, 43},
        {1, 256, {1792, -1892}, 100, 100},
        /* windows below 256 ms scale up to 256ths: busy all the time reads 256 */
        {4, 16, {16000, -16010, 16016}, 10, (10 + 10) << 2},
        {4, 16, {16000, -16064, 16016}, 48, 256},
        /* past 2^31 busy ms the estimate reads negative, rounded toward minus infinity */
        {1, G4, {G4, -(G4 + G2 + 3)}, G2 + 3, -128},
        {1, G4, {G4, -(G4 + G2 + (1 << 24))}, G2 + (1 << 24), -127},
    };
    for (const Case &c : table) {
        activity_history *h = corvantis_activity_history_create(c.slots, c.width);
        ASSERT_NE(h, nullptr);
        for (int64_t t : c.ops)
            (t > 0 ? _activity_history_start(h, t) : _activity_history_stop(h, -t));
        EXPECT_EQ(h->window_total, c.total) << &c - table;
        EXPECT_EQ(corvantis_activity_history_utilisation(h), c.util) << &c - table;
        corvantis_activity_history_free(h);
    }
    /* Bucket 2 with 4 slots: the window starts at bucket 0, not at a wrapped bucket number. */
    activity_history *h = corvantis_activity_history_create(4, 1000);
    h->slots[2] = h->window_total = 77;
    _activity_history_start(h, 2 * 1024 + 5);
    EXPECT_EQ(h->slots[2] + h->window_total, 0u);
    corvantis_activity_history_start(h); /* the wall clock, in milliseconds, after 2017 */
    EXPECT_EQ(h->current_bucket, h->start_time >> 10);
    EXPECT_GT(h->start_time, UINT64_C(1500000000000));
    usleep(5000);
    corvantis_activity_history_stop(h); /* a live history records what passed */
    EXPECT_GE(h->window_total, 5u);
    corvantis_activity_history_free(h);
}

} // namespace
