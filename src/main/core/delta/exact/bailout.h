/* bailout: what a middle-snake search does when its limit runs out.
 *
 * The search that gave up hands over its furthest forward and reverse
 * points; bailout_split answers with the windows to diff next and the limit
 * of each, and bailout_bounded decides how much effort the piece between the
 * points still deserves: another bounded search, an even split with half the
 * limit, or, once no limit is left, a quarter split. Neither runs anything:
 * the execution unit carries out the plan, in order. The outcome is always a
 * valid edit, possibly longer than the minimal one, at a bounded cost.
 *
 * myers_binary_diff_bailout_limit and approx_cube_root are for callers that
 * want a limit scaled to the input; the engine does not call them. */
#ifndef CORVANTIS_BAILOUT_H
#define CORVANTIS_BAILOUT_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"

/* One piece of work over a window: old position, old length, new position,
 * new length. The execution unit keeps its pending work as these too. */
enum bailout_call_kind {
    BAILOUT_MATCH,       /* match(old_position, old_length) */
    BAILOUT_INSERT,      /* insert(new_position, new_length) */
    BAILOUT_DELETE,      /* delete */
    BAILOUT_TRIM_SUFFIX, /* extra: bytes already matched at the front */
    BAILOUT_TRIM_PREFIX,
    BAILOUT_SEARCH,       /* a middle-snake search of the window as it is */
    BAILOUT_BOUNDED_DIFF, /* extra: old length of the window that bailed out */
};

typedef struct bailout_call {
    int32_t kind;
    int32_t old_position;
    int32_t old_length;
    int32_t new_position;
    int32_t new_length;
    int32_t extra;
    int32_t limit;
} bailout_call;

typedef struct bailout_plan {
    int count;
    bailout_call calls[6]; /* to be run in this order */
} bailout_plan;

/* The furthest points of a search over an N x M window, forward from (0, 0)
 * and reverse from (N, M). */
typedef struct bailout_points {
    int32_t forward_x, forward_y, reverse_x, reverse_y;
} bailout_points;

/* The split of a window whose search gave up with `limit` left at `points`;
 * `record_limit` is the limit of a fresh diff. */
bailout_plan bailout_split(int32_t old_position, int32_t old_length, int32_t new_position,
                           int32_t new_length, bailout_points points, int32_t limit,
                           int32_t record_limit);

/* The window between the points of a bailed search. `scale` is the old
 * length of the window that bailed out. */
bailout_plan bailout_bounded(const buf *old_value, const buf *new_value, int32_t old_position,
                             int32_t old_length, int32_t new_position, int32_t new_length,
                             int32_t scale, int32_t limit, int32_t record_limit);

CORVANTIS_EXTERN_C_BEGIN

/* A bail-out limit scaled to the input: factor times the cube root estimate
 * of old_length + new_length, divided by 100; never below 256. */
CORVANTIS_API int32_t myers_binary_diff_bailout_limit(int32_t factor, int32_t old_length,
                                                      int32_t new_length);

/* 2^(b / 3) where b is the bit length of value; 0 for 0 and 2^21 for a
 * negative value. */
CORVANTIS_API uint64_t approx_cube_root(int64_t value);

CORVANTIS_EXTERN_C_END

#endif
