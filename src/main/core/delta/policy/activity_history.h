/* activity_history: how busy delta generation has kept its caller lately.
 *
 * Wall-clock time (milliseconds since the Unix epoch) is cut into buckets of
 * a power-of-two width; a ring of power-of-two many slots holds the busy
 * milliseconds of the latest buckets. The utilisation is the busy time over
 * the window in 256ths (256 = busy the whole window; it can exceed 256 since
 * the unfinished current bucket is replaced by the one before it).
 *
 * A history belongs to its caller and serves one thread at a time. */
#ifndef CORVANTIS_ACTIVITY_HISTORY_H
#define CORVANTIS_ACTIVITY_HISTORY_H

#include <stdint.h>

#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

typedef struct activity_history {
    uint32_t last_delta_quality; /* 0..4, written by the delta front door */
    uint64_t *slots;             /* owned: busy milliseconds per bucket */
    int64_t slot_count;          /* N, a power of two */
    uint64_t bucket_width;       /* w in milliseconds, a power of two */
    uint32_t bucket_shift;       /* log2(w) */
    uint32_t slot_mask;          /* N - 1 */
    uint64_t current_bucket;     /* bucket of the latest start */
    uint64_t start_time;         /* time of the latest start */
    uint64_t window_total;       /* sum of all slots */
    uint32_t utilisation_shift;  /* log2(w) + log2(N) - 8 when that is >= 0, else 0 */
    /* 8 - log2(w) - log2(N) for windows below 256 ms, else 0: such a window
     * is scaled up to 256ths instead of down. */
    uint32_t utilisation_scale_up;
} activity_history;

/* slot_count is rounded up to a power of two (0 gives 1), bucket_width_ms
 * likewise (0 gives 1). Returns null when an allocation fails or when the
 * slot count is above 2^30 (negative included) or the width above 2^62. */
CORVANTIS_API activity_history *corvantis_activity_history_create(int32_t slot_count,
                                                                  int64_t bucket_width_ms);
CORVANTIS_API void corvantis_activity_history_free(activity_history *history);

/* Start and stop an activity at the current time. */
CORVANTIS_API void corvantis_activity_history_start(activity_history *history);
CORVANTIS_API void corvantis_activity_history_stop(activity_history *history);

/* The same at a given time in milliseconds. */
CORVANTIS_API void _activity_history_start(activity_history *history, uint64_t now_ms);
CORVANTIS_API void _activity_history_stop(activity_history *history, uint64_t now_ms);

/* Busy estimate of the window in 256ths. */
CORVANTIS_API int32_t corvantis_activity_history_utilisation(const activity_history *history);

/* The quality chosen for the latest generation; 0xFFFFFFFF for null. */
CORVANTIS_API uint32_t
corvantis_activity_history_get_last_delta_quality(const activity_history *history);

CORVANTIS_EXTERN_C_END

#endif
