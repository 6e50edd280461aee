#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "activity_history.h"
#include "alloc.h"

namespace {

struct Holder {
    activity_history *h;
    explicit Holder(activity_history *history) : h(history) {}
    ~Holder() { corvantis_activity_history_free(h); }
};

struct CreateCase {
    int32_t slot_count;
    int64_t bucket_width;
    int64_t n;
    uint64_t w;
    uint32_t bucket_shift;
    uint32_t slot_mask;
    uint32_t utilisation_shift;
    uint32_t scale_up;
};

class ActivityHistoryCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(ActivityHistoryCreate, Fields) {
    const CreateCase c = GetParam();
    Holder holder(corvantis_activity_history_create(c.slot_count, c.bucket_width));
    activity_history *h = holder.h;
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->slot_count, c.n);
    EXPECT_EQ(h->bucket_width, c.w);
    EXPECT_EQ(h->bucket_shift, c.bucket_shift);
    EXPECT_EQ(h->slot_mask, c.slot_mask);
    EXPECT_EQ(h->utilisation_shift, c.utilisation_shift);
    EXPECT_EQ(h->utilisation_scale_up, c.scale_up);
    EXPECT_EQ(h->last_delta_quality, 0u);
    EXPECT_EQ(h->current_bucket, 0u);
    EXPECT_EQ(h->start_time, 0u);
    EXPECT_EQ(h->window_total, 0u);
    for (int64_t i = 0; i < h->slot_count; ++i) EXPECT_EQ(h->slots[i], 0u);
    EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(h), 0u);
    EXPECT_EQ(corvantis_activity_history_utilisation(h), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ActivityHistoryCreate,
    ::testing::Values(CreateCase{4, 1000, 4, 1024, 10, 3, 4, 0},   // the worked example
                      CreateCase{64, 1000, 64, 1024, 10, 63, 8, 0}, // window 65536 ms
                      CreateCase{1, 256, 1, 256, 8, 0, 0, 0},       // window exactly 256 ms
                      CreateCase{0, 0, 1, 1, 0, 0, 0, 8},           // smallest: 1 ms window
                      CreateCase{5, 3, 8, 4, 2, 7, 0, 3},           // 32 ms window: scaled up 3 places
                      CreateCase{2, 64, 2, 64, 6, 1, 0, 1},         // 128 ms window
                      CreateCase{1024, 1 << 20, 1024, 1 << 20, 20, 1023, 22, 0}));

TEST(ActivityHistory, CreateRefusesSizesOutsideTheDesign) {
    EXPECT_EQ(corvantis_activity_history_create(-1, 1000), nullptr);
    EXPECT_EQ(corvantis_activity_history_create((1 << 30) + 1, 1000), nullptr);
    EXPECT_EQ(corvantis_activity_history_create(4, (INT64_C(1) << 62) + 1), nullptr);
    EXPECT_EQ(corvantis_activity_history_create(4, -5), nullptr);
}

TEST(ActivityHistory, CreateSurvivesFailedAllocations) {
    for (long n = 0; n < 2; ++n) {
        core_alloc_fail_after(n);
        activity_history *h = corvantis_activity_history_create(4, 1000);
        core_alloc_fail_after(-1);
        EXPECT_EQ(h, nullptr) << "allocation " << n;
        corvantis_activity_history_free(h);
    }
}

TEST(ActivityHistory, NullIsHarmless) {
    EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(nullptr), 0xFFFFFFFFu);
    corvantis_activity_history_free(nullptr);
    corvantis_activity_history_start(nullptr);
    corvantis_activity_history_stop(nullptr);
    EXPECT_EQ(corvantis_activity_history_utilisation(nullptr), 0);
}

/* One row of a scripted session: an operation at a time, then the state. */
enum Op { START, STOP };
struct Step {
    Op op;
    uint64_t t;
    std::array<uint64_t, 4> slots;
    uint64_t total;
    uint64_t current;
    int32_t utilisation; /* read after the step */
};

TEST(ActivityHistory, WorkedExampleRowByRow) {
    Holder holder(corvantis_activity_history_create(4, 1000));
    activity_history *h = holder.h;
    ASSERT_NE(h, nullptr);
    const Step steps[] = {
        {START, 10240, {0, 0, 0, 0}, 0, 10, 0},
        {STOP, 10740, {0, 0, 500, 0}, 500, 10, (500 - 500 + 0) >> 4},
        {START, 11264, {0, 0, 500, 0}, 500, 11, 62},
        {STOP, 13312, {1024, 1024, 500, 1024}, 3572, 11, (3572 - 1024 + 500) >> 4},
        {START, 13400, {0, 0, 500, 1024}, 1524, 13, 95},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.t);
        if (s.op == START)
            _activity_history_start(h, s.t);
        else
            _activity_history_stop(h, s.t);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(h->slots[i], s.slots[i]) << "slot " << i;
        EXPECT_EQ(h->window_total, s.total);
        EXPECT_EQ(h->current_bucket, s.current);
        EXPECT_EQ(corvantis_activity_history_utilisation(h), s.utilisation);
    }
    EXPECT_EQ(h->start_time, 13400u);
}

TEST(ActivityHistory, ShortActivityCountsWholeInItsStartBucket) {
    Holder holder(corvantis_activity_history_create(4, 1000));
    activity_history *h = holder.h;
    _activity_history_start(h, 10 * 1024 + 1000);        // late in bucket 10
    _activity_history_stop(h, 10 * 1024 + 1000 + 1000);  // ends in bucket 11
    EXPECT_EQ(h->slots[10 & 3], 1000u);
    EXPECT_EQ(h->slots[11 & 3], 0u);
    EXPECT_EQ(h->window_total, 1000u);
}

TEST(ActivityHistory, CurrentBucketIsReplacedByThePreviousOne) {
    Holder holder(corvantis_activity_history_create(4, 1000));
    activity_history *h = holder.h;
    _activity_history_start(h, 20 * 1024);
    _activity_history_stop(h, 20 * 1024 + 320);
    // Same bucket: the activity is in the current bucket and left out.
    _activity_history_start(h, 20 * 1024 + 500);
    EXPECT_EQ(corvantis_activity_history_utilisation(h), 0);
    // Next bucket: counted once in the window and once as the stand-in.
    _activity_history_start(h, 21 * 1024);
    EXPECT_EQ(corvantis_activity_history_utilisation(h), (2 * 320) >> 4);
}

TEST(ActivityHistory, StartClearsOnlyBucketsOfTheWindow) {
    Holder holder(corvantis_activity_history_create(4, 1000));
    activity_history *h = holder.h;
    _activity_history_start(h, 100 * 1024);
    _activity_history_stop(h, 104 * 1024); // long: 101..104, the last N buckets, set full
    uint64_t sum = 0;
    for (int i = 0; i < 4; ++i) sum += h->slots[i];
    EXPECT_EQ(h->window_total, sum);
    EXPECT_EQ(h->window_total, 4u * 1024u);
    // Far in the future: every slot is cleared, once each.
    _activity_history_start(h, 1000 * 1024);
    EXPECT_EQ(h->window_total, 0u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(h->slots[i], 0u);
}

TEST(ActivityHistory, ClockGoingBackClearsNothing) {
    Holder holder(corvantis_activity_history_create(4, 1000));
    activity_history *h = holder.h;
    _activity_history_start(h, 50 * 1024);
    _activity_history_stop(h, 50 * 1024 + 700);
    _activity_history_start(h, 49 * 1024);
    EXPECT_EQ(h->current_bucket, 49u);
    EXPECT_EQ(h->window_total, 700u);
    EXPECT_EQ(h->slots[50 & 3], 700u);
}

TEST(ActivityHistory, EarlyBucketsAreClearedNearTheStartOfTheClock) {
    // Bucket 2 with 4 slots: the window begins at bucket 0, not at a wrapped
    // bucket number, so a stale count in bucket 2's slot is cleared.
    Holder holder(corvantis_activity_history_create(4, 1000));
    activity_history *h = holder.h;
    h->slots[2] = 77;
    h->window_total = 77;
    _activity_history_start(h, 2 * 1024 + 5);
    EXPECT_EQ(h->slots[2], 0u);
    EXPECT_EQ(h->window_total, 0u);
}

TEST(ActivityHistory, OneSlotHistoryUsesTheOneSlot) {
    Holder holder(corvantis_activity_history_create(1, 256));
    activity_history *h = holder.h;
    _activity_history_start(h, 256 * 7);
    _activity_history_stop(h, 256 * 7 + 100);
    EXPECT_EQ(h->slots[0], 100u);
    EXPECT_EQ(corvantis_activity_history_utilisation(h), 100);
    _activity_history_start(h, 256 * 8);
    EXPECT_EQ(h->slots[0], 0u);
}

/* Windows below 256 ms are scaled up to 256ths instead of shifted by a
 * negative amount: a window busy all the time reads 256. */
struct SmallWindowCase {
    int32_t slots;
    int64_t width;
    uint64_t busy_ms; /* one activity from the start of a bucket */
    int32_t after_stop;
    int32_t after_next_start; /* a start one bucket later */
};

class ActivityHistorySmallWindow : public ::testing::TestWithParam<SmallWindowCase> {};

TEST_P(ActivityHistorySmallWindow, UtilisationInTwoHundredFiftySixths) {
    const SmallWindowCase c = GetParam();
    Holder holder(corvantis_activity_history_create(c.slots, c.width));
    activity_history *h = holder.h;
    ASSERT_NE(h, nullptr);
    const uint64_t w = h->bucket_width;
    const uint64_t base = 1000 * w;
    _activity_history_start(h, base);
    _activity_history_stop(h, base + c.busy_ms);
    EXPECT_EQ(corvantis_activity_history_utilisation(h), c.after_stop);
    _activity_history_start(h, base + w);
    EXPECT_EQ(corvantis_activity_history_utilisation(h), c.after_next_start);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ActivityHistorySmallWindow,
    ::testing::Values(
        // 4 x 16 ms = 64 ms, 2 places up: a 10 ms activity, counted twice from the next bucket.
        SmallWindowCase{4, 16, 10, 0, (10 + 10) << 2},
        // 2 x 64 ms = 128 ms, 1 place up.
        SmallWindowCase{2, 64, 50, 0, (50 + 50) << 1},
        // 4 x 16 ms busy for 64 ms: every bucket full, the whole window; the
        // next start clears only its own bucket, the stand-in keeps 256.
        SmallWindowCase{4, 16, 64, 256, 256},
        // 1 x 1 ms, 8 places up: a 5 ms activity fills the one bucket.
        SmallWindowCase{1, 1, 5, 256, 0},
        // 8 x 32 ms = 256 ms: the boundary, neither scaled up nor down.
        SmallWindowCase{8, 32, 31, 0, 62}));

TEST(ActivityHistory, WallClockStartAndStop) {
    Holder holder(corvantis_activity_history_create(64, 1000));
    activity_history *h = holder.h;
    corvantis_activity_history_start(h);
    const uint64_t started = h->start_time;
    EXPECT_GT(started, UINT64_C(1500000000000)); // after 2017 in milliseconds
    EXPECT_EQ(h->current_bucket, started >> 10);
    corvantis_activity_history_stop(h);
    EXPECT_LT(h->window_total, 1024u);
    EXPECT_GE(corvantis_activity_history_utilisation(h), 0);
}

} // namespace
