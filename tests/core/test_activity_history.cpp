#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "activity_history.h"
#include "alloc.h"

namespace {

struct History {
    activity_history *h;
    History(int32_t slot_count, int64_t width) : h(corvantis_activity_history_create(slot_count, width)) {}
    ~History() { corvantis_activity_history_free(h); }
    int32_t utilisation() const { return corvantis_activity_history_utilisation(h); }
};

TEST(ActivityHistory, RefusesSizesOutsideTheDesignFailedAllocationsAndNull) {
    EXPECT_EQ(corvantis_activity_history_create(-1, 1000), nullptr);
    EXPECT_EQ(corvantis_activity_history_create((1 << 30) + 1, 1000), nullptr);
    EXPECT_EQ(corvantis_activity_history_create(4, (INT64_C(1) << 62) + 1), nullptr);
    EXPECT_EQ(corvantis_activity_history_create(4, -5), nullptr);
    for (long n = 0; n < 2; ++n) { /* the record, then its slots */
        core_alloc_fail_after(n);
        activity_history *h = corvantis_activity_history_create(4, 1000);
        core_alloc_fail_after(-1);
        EXPECT_EQ(h, nullptr) << n;
        corvantis_activity_history_free(h);
    }
    EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(nullptr), 0xFFFFFFFFu);
    corvantis_activity_history_start(nullptr);
    corvantis_activity_history_stop(nullptr);
    EXPECT_EQ(corvantis_activity_history_utilisation(nullptr), 0);
}

TEST(ActivityHistory, WorkedExampleRowByRow) {
    struct Step { bool start; uint64_t t; std::array<uint64_t, 4> slots; uint64_t total, current; int32_t util; };
    const Step steps[] = {
        {true, 10240, {0, 0, 0, 0}, 0, 10, 0},
        {false, 10740, {0, 0, 500, 0}, 500, 10, 0},
        {true, 11264, {0, 0, 500, 0}, 500, 11, 62},
        {false, 13312, {1024, 1024, 500, 1024}, 3572, 11, 190},
        {true, 13400, {0, 0, 500, 1024}, 1524, 13, 95},
    };
    History x(4, 1000);
    for (const Step &s : steps) {
        SCOPED_TRACE(s.t);
        (s.start ? _activity_history_start : _activity_history_stop)(x.h, s.t);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(x.h->slots[i], s.slots[i]) << "slot " << i;
        EXPECT_EQ(x.h->window_total, s.total);
        EXPECT_EQ(x.h->current_bucket, s.current);
        EXPECT_EQ(x.utilisation(), s.util);
    }
    EXPECT_EQ(x.h->start_time, 13400u);
}

/* A session of starts (t) and stops (-t), then the window total and the utilisation. */
TEST(ActivityHistory, Sessions) {
    struct Case { const char *what; int32_t slots; int64_t width; std::vector<int64_t> ops; uint64_t total; int32_t util; };
    const Case table[] = {
        {"short activity counts whole in its start bucket", 4, 1000, {11240, -12240}, 1000, 0},
        {"same bucket: the current bucket is left out", 4, 1000, {20480, -20800, 20980}, 320, 0},
        {"next bucket: counted twice", 4, 1000, {20480, -20800, 21504}, 320, 40},
        {"a far start clears the whole window", 4, 1000, {102400, -106496, 1024000}, 0, 0},
        {"clock going back clears nothing", 4, 1000, {1024000, -1024700, 1022976}, 700, 43},
        {"one slot", 1, 256, {1792, -1892}, 100, 100},
        {"one slot, next bucket", 1, 256, {1792, -1892, 2048}, 0, 0},
        /* Windows below 256 ms scale up to 256ths: busy all the time reads 256. */
        {"4 x 16 ms", 4, 16, {16000, -16010, 16016}, 10, (10 + 10) << 2},
        {"2 x 64 ms", 2, 64, {64000, -64050, 64064}, 50, (50 + 50) << 1},
        {"4 x 16 ms, all busy", 4, 16, {16000, -16064}, 64, 256},
        {"4 x 16 ms, all busy, next bucket", 4, 16, {16000, -16064, 16016}, 48, 256},
        {"1 x 1 ms", 1, 1, {1000, -1005}, 1, 256},
        {"8 x 32 ms, no scaling", 8, 32, {32000, -32031, 32032}, 31, 62},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.what);
        History x(c.slots, c.width);
        ASSERT_NE(x.h, nullptr);
        for (int64_t t : c.ops) (t > 0 ? _activity_history_start(x.h, t) : _activity_history_stop(x.h, -t));
        EXPECT_EQ(x.h->window_total, c.total);
        EXPECT_EQ(x.utilisation(), c.util);
    }
}

TEST(ActivityHistory, EarlyBucketsAreClearedNearTheStartOfTheClock) {
    // Bucket 2 with 4 slots: the window starts at bucket 0, not at a wrapped bucket number.
    History x(4, 1000);
    x.h->slots[2] = 77;
    x.h->window_total = 77;
    _activity_history_start(x.h, 2 * 1024 + 5);
    EXPECT_EQ(x.h->slots[2], 0u);
    EXPECT_EQ(x.h->window_total, 0u);
}

TEST(ActivityHistory, WallClockStartAndStop) {
    History x(64, 1000);
    corvantis_activity_history_start(x.h);
    EXPECT_GT(x.h->start_time, UINT64_C(1500000000000)); /* after 2017, in milliseconds */
    EXPECT_EQ(x.h->current_bucket, x.h->start_time >> 10);
    corvantis_activity_history_stop(x.h);
    EXPECT_LT(x.h->window_total, 1024u);
}

}  // namespace
