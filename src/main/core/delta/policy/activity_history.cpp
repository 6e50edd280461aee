#include "delta/policy/activity_history.h"

#include <sys/time.h>

#include <algorithm>

#include "base/alloc.h"
#include "base/bits.h"

static uint64_t now_milliseconds(void) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

/* Oldest bucket that still lies in a window ending with bucket b. Near the
 * start of the clock there are fewer than N buckets before b, and the window
 * simply begins at bucket 0 rather than wrapping round to a huge number. */
static uint64_t window_first_bucket(const activity_history *history, uint64_t b) {
    const uint64_t span = static_cast<uint64_t>(history->slot_count) - 1;
    return b - std::min(b, span);
}

/* Sets every slot of the buckets first..last (inclusive) to `value`, keeping
 * the window total equal to the sum of the slots. Both callers start no
 * earlier than the window that ends at `last`, so no slot is visited twice.
 * Counting by a trip count rather than comparing i <= last avoids running
 * forever at last = 2^64 - 1. */
static void fill_buckets(activity_history *history, uint64_t first, uint64_t last, uint64_t value) {
    if (first > last) return;
    const uint64_t count = last - first + 1;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t *slot = &history->slots[(first + i) & history->slot_mask];
        history->window_total = history->window_total - *slot + value;
        *slot = value;
    }
}

extern "C" {

activity_history *corvantis_activity_history_create(int32_t slot_count, int64_t bucket_width_ms) {
    const int64_t w = find_next_power_of_two_long(bucket_width_ms);
    const int32_t n = find_next_power_of_two_int(slot_count);
    if (w < 0 || n < 0) return nullptr;
    activity_history *history =
        static_cast<activity_history *>(core_calloc(1, sizeof(activity_history)));
    if (history == nullptr) return nullptr;
    history->slots = static_cast<uint64_t *>(core_calloc(static_cast<size_t>(n), sizeof(uint64_t)));
    if (history->slots == nullptr) {
        free(history);
        return nullptr;
    }
    history->slot_count = n;
    history->bucket_width = static_cast<uint64_t>(w);
    history->bucket_shift = static_cast<uint32_t>(highest_bit_long(w) - 1);
    history->slot_mask = static_cast<uint32_t>(n - 1);
    /* log2(w) + log2(N) - 8: how far a millisecond count must move to become
     * 256ths of the window. Windows below 256 ms move the other way. */
    const int32_t shift = highest_bit_long(w) + highest_bit_int(n) - 10;
    history->utilisation_shift = static_cast<uint32_t>(std::max(shift, 0));
    history->utilisation_scale_up = static_cast<uint32_t>(std::max(-shift, 0));
    return history;
}

void corvantis_activity_history_free(activity_history *history) {
    if (history == nullptr) return;
    free(history->slots);
    free(history);
}

void _activity_history_start(activity_history *history, uint64_t now_ms) {
    if (history == nullptr) return;
    const uint64_t b = now_ms >> history->bucket_shift;
    const uint64_t first = std::max(history->current_bucket + 1, window_first_bucket(history, b));
    /* Buckets that began since the latest start hold stale counts from a
     * previous turn of the ring. A clock that went back clears nothing. */
    fill_buckets(history, first, b, 0);
    history->current_bucket = b;
    history->start_time = now_ms;
}

void _activity_history_stop(activity_history *history, uint64_t now_ms) {
    if (history == nullptr) return;
    const uint64_t elapsed = now_ms - history->start_time;
    if (elapsed < history->bucket_width) {
        /* Short activities count whole in the bucket where they started. */
        history->slots[history->current_bucket & history->slot_mask] += elapsed;
        history->window_total += elapsed;
        return;
    }
    const uint64_t b = now_ms >> history->bucket_shift;
    const uint64_t first = std::max(history->current_bucket, window_first_bucket(history, b));
    fill_buckets(history, first, b, history->bucket_width);
}

void corvantis_activity_history_start(activity_history *history) {
    _activity_history_start(history, now_milliseconds());
}

void corvantis_activity_history_stop(activity_history *history) {
    _activity_history_stop(history, now_milliseconds());
}

int32_t corvantis_activity_history_utilisation(const activity_history *history) {
    if (history == nullptr) return 0;
    const uint64_t current = history->current_bucket;
    /* The current bucket is unfinished; the one before it stands in for it. */
    const uint32_t estimate_bits =
        static_cast<uint32_t>(history->window_total) -
        static_cast<uint32_t>(history->slots[current & history->slot_mask]) +
        static_cast<uint32_t>(history->slots[(current - 1) & history->slot_mask]);
    const int64_t estimate = static_cast<int32_t>(estimate_bits);
    if (history->utilisation_scale_up > 0) {
        /* At most 8 places up from a 32-bit value: fits 64 bits; clamp to int. */
        const int64_t scaled = estimate * (int64_t{1} << history->utilisation_scale_up);
        return static_cast<int32_t>(std::clamp(scaled, int64_t{INT32_MIN}, int64_t{INT32_MAX}));
    }
    /* Arithmetic shift written as floor division so the result does not hang
     * on how the compiler shifts negative numbers. */
    const uint32_t shift = std::min(history->utilisation_shift, 32u);
    const int64_t divisor = int64_t{1} << shift;
    int64_t q = estimate / divisor;
    if (q * divisor > estimate) --q; /* rounded up, towards zero */
    return static_cast<int32_t>(q);
}

uint32_t corvantis_activity_history_get_last_delta_quality(const activity_history *history) {
    return history == nullptr ? 0xFFFFFFFFu : history->last_delta_quality;
}
}
