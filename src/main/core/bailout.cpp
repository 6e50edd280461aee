#include "bailout.h"

#include "execution_internal.h"

static inline int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

/* Windows whose area is below this (plus half the square of the bailing
 * window's old length) are worth another bounded search. */
static const int64_t k_search_again_area = 16777216;

int execution_bail_step(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np, int32_t nn,
                        int32_t corner_old, int32_t corner_new, int32_t limit) {
    /* The slots belong to this search only until the first sub-search, so
     * they are read before anything is scheduled. */
    const execution_points pts = execution_furthest_points(e, on, nn, corner_old, corner_new);
    const int32_t xf = pts.forward_x, yf = pts.forward_y;
    const int32_t xr = pts.reverse_x, yr = pts.reverse_y;

    if (xr - xf > 0 && yr - yf > 0) {
        /* The two points leave an untouched middle: diff both ends normally
         * and give the middle only what is left of this search's limit. */
        const execution_task calls[3] = {
            execution_call_trim_suffix(op, xf, np, yf, 0, e->limit),
            execution_call_bounded_diff(op + xf, xr - xf, np + yf, yr - yf, on, limit),
            execution_call_trim_prefix(op + xr, on - xr, np + yr, nn - yr, e->limit),
        };
        return execution_schedule(stack, calls, 3);
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
        if ((sy == 0 || sy == nn) && (int64_t)on >= 8 * (int64_t)min32(sx, on - sx)) {
            const int32_t h = on / 2, half_limit = limit / 2;
            const execution_task calls[2] = {
                execution_call_trim_suffix(op, h, np, sy, 0, half_limit),
                execution_call_trim_prefix(op + h, on - h, np + sy, nn - sy, half_limit),
            };
            return execution_schedule(stack, calls, 2);
        }
    } else if ((sx == 0 || sx == on) && (int64_t)nn >= 8 * (int64_t)min32(sy, nn - sy)) {
        const int32_t h = nn / 2, half_limit = limit / 2;
        const execution_task calls[2] = {
            execution_call_trim_suffix(op, sx, np, h, 0, half_limit),
            execution_call_trim_prefix(op + sx, on - sx, np + h, nn - h, half_limit),
        };
        return execution_schedule(stack, calls, 2);
    }

    const execution_task calls[2] = {
        execution_call_trim_suffix(op, sx, np, sy, 0, e->limit),
        execution_call_trim_prefix(op + sx, on - sx, np + sy, nn - sy, e->limit),
    };
    return execution_schedule(stack, calls, 2);
}

int execution_bounded_diff_step(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np,
                                int32_t nn, int32_t scale, int32_t limit) {
    if (min32(on, nn) >= 8 &&
        (int64_t)on * nn < k_search_again_area + (((int64_t)scale * scale) >> 1))
        return execution_middlesnake_step(e, stack, op, on, np, nn, limit > 8 ? limit : 8);

    if (limit > 0) {
        const int32_t h_old = on / 2, h_new = nn / 2, half_limit = limit / 2;
        const execution_task calls[2] = {
            execution_call_trim_suffix(op, h_old, np, h_new, 0, half_limit),
            execution_call_trim_prefix(op + h_old, on - h_old, np + h_new, nn - h_new, half_limit),
        };
        return execution_schedule(stack, calls, 2);
    }

    /* No effort left: replace the outer quarters whole and diff only the
     * middle halves. */
    const int32_t q_old = on / 4, h_old = on / 2, q_new = nn / 4, h_new = nn / 2;
    if (q_new >= 1 && !coallescing_script_insert(e->script, np, q_new)) return 0;
    if (!coallescing_script_delete(e->script)) return 0;
    const int32_t p = _execution_common_prefix(e->old_value->data + op + q_old, e->new_value->data + np + q_new,
                                               min32(h_old, h_new));
    if (p >= 1 && !coallescing_script_match(e->script, op + q_old, p)) return 0;
    const execution_task calls[3] = {
        execution_call_trim_suffix(op + q_old, h_old, np + q_new, h_new, p, e->limit),
        execution_call_insert(np + q_new + h_new, nn - (q_new + h_new)),
        execution_call_delete(),
    };
    return execution_schedule(stack, calls, 3);
}

extern "C" {

int execution_bail(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                   int32_t new_length, int32_t corner_old, int32_t corner_new, int32_t limit) {
    return execution_run(e, [&](execution_stack *stack) {
        return execution_bail_step(e, stack, old_position, old_length, new_position, new_length, corner_old,
                                   corner_new, limit);
    });
}

int execution_bounded_diff(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                           int32_t new_length, int32_t scale, int32_t ignored, int32_t limit) {
    (void)ignored;
    return execution_run(e, [&](execution_stack *stack) {
        return execution_bounded_diff_step(e, stack, old_position, old_length, new_position, new_length, scale,
                                           limit);
    });
}

int32_t myers_binary_diff_bailout_limit(int32_t factor, int32_t old_length, int32_t new_length) {
    const int64_t n = (int32_t)((uint32_t)old_length + (uint32_t)new_length);
    const int32_t product = (int32_t)((uint32_t)approx_cube_root(n) * (uint32_t)factor);
    if (product < 25600) return 256;
    return product / 100;
}

uint64_t approx_cube_root(int64_t value) {
    if (value == 0) return 0;
    if (value < 0) return (uint64_t)1 << 21;
    const int bits = 64 - __builtin_clzll((uint64_t)value);
    return (uint64_t)1 << (bits / 3);
}

}
