#include "delta/exact/bailout.h"

#include <algorithm>

#include "base/byte_compare.h"

static inline int32_t min32(int32_t a, int32_t b) { return std::min(a, b); }

/* Windows whose area is below this (plus half the square of the bailing
 * window's old length) are worth another bounded search: up to about 4096
 * by 4096 a search costs little next to the delta it improves. */
static const int64_t k_search_again_area = 16777216;
/* The smallest limit a search again is given, so a window that earned one
 * gets at least a few iterations. */
static const int32_t k_search_again_limit = 8;
/* A split point within an eighth of a value's length from either end makes
 * almost no progress. */
static const int64_t k_edge_fraction = 8;

static bailout_call window_call(int32_t kind, int32_t op, int32_t on, int32_t np, int32_t nn,
                                int32_t extra, int32_t limit) {
    return bailout_call{kind, op, on, np, nn, extra, limit};
}

static bailout_plan two_windows(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t sx,
                                int32_t sy, int32_t limit) {
    bailout_plan plan = {};
    plan.count = 2;
    plan.calls[0] = window_call(BAILOUT_TRIM_SUFFIX, op, sx, np, sy, 0, limit);
    plan.calls[1] = window_call(BAILOUT_TRIM_PREFIX, op + sx, on - sx, np + sy, nn - sy, 0, limit);
    return plan;
}

bailout_plan bailout_split(int32_t op, int32_t on, int32_t np, int32_t nn, bailout_points pts,
                           int32_t limit, int32_t record_limit) {
    const int32_t xf = pts.forward_x, yf = pts.forward_y;
    const int32_t xr = pts.reverse_x, yr = pts.reverse_y;

    if (xr - xf > 0 && yr - yf > 0) {
        /* The two points leave an untouched middle: diff both ends normally
         * and give the middle only what is left of this search's limit. */
        bailout_plan plan = {};
        plan.count = 3;
        plan.calls[0] = window_call(BAILOUT_TRIM_SUFFIX, op, xf, np, yf, 0, record_limit);
        plan.calls[1] =
            window_call(BAILOUT_BOUNDED_DIFF, op + xf, xr - xf, np + yf, yr - yf, on, limit);
        plan.calls[2] =
            window_call(BAILOUT_TRIM_PREFIX, op + xr, on - xr, np + yr, nn - yr, 0, record_limit);
        return plan;
    }

    /* The points crossed: split once, at the point that got further. */
    const int64_t forward_progress = (int64_t)xf + yf;
    const int64_t reverse_progress = (int64_t)on + nn - xr - yr;
    const bool use_reverse = reverse_progress > forward_progress;
    const int32_t sx = use_reverse ? xr : xf;
    const int32_t sy = use_reverse ? yr : yf;

    /* A split that leaves one value whole on one side and falls near an end
     * of the other would make almost no progress; halve the longer value
     * instead, with half the limit for each half. */
    if (nn < on) {
        if ((sy == 0 || sy == nn) && (int64_t)on >= k_edge_fraction * min32(sx, on - sx))
            return two_windows(op, on, np, nn, on / 2, sy, limit / 2);
    } else if ((sx == 0 || sx == on) && (int64_t)nn >= k_edge_fraction * min32(sy, nn - sy)) {
        return two_windows(op, on, np, nn, sx, nn / 2, limit / 2);
    }
    return two_windows(op, on, np, nn, sx, sy, record_limit);
}

bailout_plan bailout_bounded(const buf *old_value, const buf *new_value, int32_t op, int32_t on,
                             int32_t np, int32_t nn, int32_t scale, int32_t limit,
                             int32_t record_limit) {
    bailout_plan plan = {};
    if (min32(on, nn) >= 8 &&
        (int64_t)on * nn < k_search_again_area + (((int64_t)scale * scale) >> 1)) {
        plan.count = 1;
        plan.calls[0] =
            window_call(BAILOUT_SEARCH, op, on, np, nn, 0, std::max(limit, k_search_again_limit));
        return plan;
    }
    if (limit > 0) return two_windows(op, on, np, nn, on / 2, nn / 2, limit / 2);

    /* No effort left: replace the outer quarters whole and diff only the
     * middle halves. */
    const int32_t q_old = on / 4, h_old = on / 2, q_new = nn / 4, h_new = nn / 2;
    const int32_t n = min32(h_old, h_new);
    const int32_t p = (int32_t)byte_compare_forward(old_value->data + op + q_old,
                                                    new_value->data + np + q_new, n);
    plan.count = 6;
    plan.calls[0] = window_call(BAILOUT_INSERT, 0, 0, np, q_new, 0, 0);
    plan.calls[1] = window_call(BAILOUT_DELETE, 0, 0, 0, 0, 0, 0);
    plan.calls[2] = window_call(BAILOUT_MATCH, op + q_old, p, 0, 0, 0, 0);
    plan.calls[3] =
        window_call(BAILOUT_TRIM_SUFFIX, op + q_old, h_old, np + q_new, h_new, p, record_limit);
    plan.calls[4] =
        window_call(BAILOUT_INSERT, 0, 0, np + q_new + h_new, nn - (q_new + h_new), 0, 0);
    plan.calls[5] = window_call(BAILOUT_DELETE, 0, 0, 0, 0, 0, 0);
    return plan;
}

extern "C" {

int32_t myers_binary_diff_bailout_limit(int32_t factor, int32_t old_length, int32_t new_length) {
    const int64_t n = (int32_t)((uint32_t)old_length + (uint32_t)new_length);
    const int32_t product = (int32_t)((uint32_t)approx_cube_root(n) * (uint32_t)factor);
    /* At least 256: below 25600 a hundredth would be less. */
    return std::max(product / 100, 256);
}

uint64_t approx_cube_root(int64_t value) {
    if (value < 0) return (uint64_t)1 << 21;
    if (value == 0) return 0;
    const int bits = 64 - __builtin_clzll((uint64_t)value);
    return (uint64_t)1 << (bits / 3);
}
}
