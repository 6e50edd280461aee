#include "delta/exact/execution.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cstdlib>

#include "base/alloc.h"
#include "base/byte_compare.h"
#include "delta/exact/bailout.h"
#include "delta/policy/quality.h"

static inline const uint8_t *old_bytes(const execution *e, int32_t position) {
    return e->old_value->data + position;
}
static inline const uint8_t *new_bytes(const execution *e, int32_t position) {
    return e->new_value->data + position;
}

/* Common prefix of a window (the comparisons give 0 for lengths below 1). */
static inline int32_t window_prefix(const execution *e, int32_t op, int32_t on, int32_t np,
                                    int32_t nn) {
    return (int32_t)byte_compare_forward(old_bytes(e, op), new_bytes(e, np), std::min(on, nn));
}

/* Where the common suffix starts in the old window. The floor keeps the
 * suffix clear of the matched prefix in both windows. */
static inline int32_t window_suffix_start(const execution *e, int32_t op, int32_t on, int32_t np,
                                          int32_t nn, int32_t matched) {
    const int64_t floor = (int64_t)matched + std::max((int64_t)on - nn, int64_t{0});
    return on -
           (int32_t)byte_compare_backward(old_bytes(e, op + on), new_bytes(e, np + nn), on - floor);
}

/* Zero-length matches and inserts change nothing in the script, so they are
 * never issued. */
static inline int emit_match(const execution *e, int32_t old_position, int32_t length) {
    return length < 1 ? 1 : coallescing_script_match(e->script, old_position, length);
}

static inline int emit_insert(const execution *e, int32_t new_position, int32_t length) {
    return length < 1 ? 1 : coallescing_script_insert(e->script, new_position, length);
}

/* ---- The work stack ----------------------------------------------------
 *
 * The routines call one another in a recursion whose depth grows with the
 * number of nested splits, and a bailed-out diff of unrelated megabyte values
 * nests thousands of windows deep. Instead of the native stack they share an
 * explicit stack of pending work: a step performs what it can at once (only
 * ever work that comes before all of its pending work) and pushes the rest,
 * last piece first, so the calls on the coalescing script come out in exactly
 * the order of the plain recursion. */

typedef bailout_call execution_task;

/* Most searches nest a few windows deep: they never need a heap block. */
enum { EXECUTION_STACK_INLINE = 64 };

struct execution_stack {
    execution_task *tasks; /* inline_tasks, or a core_malloc'd block */
    size_t count;
    size_t capacity;
    execution_task inline_tasks[EXECUTION_STACK_INLINE];
};

static void stack_init(execution_stack *stack) {
    stack->tasks = stack->inline_tasks;
    stack->count = 0;
    stack->capacity = EXECUTION_STACK_INLINE;
}

static void stack_release(execution_stack *stack) {
    if (stack->tasks != stack->inline_tasks) free(stack->tasks);
    stack_init(stack);
}

/* 0 when the stack cannot grow; the run then stops as for any other 0. */
static int stack_push(execution_stack *stack, const execution_task &task) {
    if (stack->count == stack->capacity) {
        /* Doubling keeps the copying to a constant cost per task. */
        const size_t capacity = stack->capacity * 2;
        if (capacity > SIZE_MAX / sizeof(execution_task)) return 0;
        execution_task *tasks;
        if (stack->tasks == stack->inline_tasks) {
            tasks = (execution_task *)core_malloc(capacity * sizeof(execution_task));
            if (!tasks) return 0;
            memcpy(tasks, stack->inline_tasks, sizeof stack->inline_tasks);
        } else {
            tasks = (execution_task *)core_realloc(stack->tasks, capacity * sizeof(execution_task));
            if (!tasks) return 0;
        }
        stack->tasks = tasks;
        stack->capacity = capacity;
    }
    stack->tasks[stack->count++] = task;
    return 1;
}

/* Schedules work so that it runs in the order given, after everything the
 * current step does directly and before anything scheduled earlier. */
static int schedule(execution_stack *stack, const execution_task *calls, int count) {
    for (int i = count; i-- > 0;) {
        /* Empty matches and inserts would only cost a round trip. */
        const execution_task &t = calls[i];
        if (t.kind == BAILOUT_MATCH && t.old_length < 1) continue;
        if (t.kind == BAILOUT_INSERT && t.new_length < 1) continue;
        if (!stack_push(stack, t)) return 0;
    }
    return 1;
}

static int schedule_plan(execution_stack *stack, const bailout_plan &plan) {
    return schedule(stack, plan.calls, plan.count);
}

static execution_task call_match(int32_t old_position, int32_t length) {
    return {BAILOUT_MATCH, old_position, length, 0, 0, 0, 0};
}

static execution_task call_window(int32_t kind, int32_t op, int32_t on, int32_t np, int32_t nn,
                                  int32_t extra, int32_t limit) {
    return {kind, op, on, np, nn, extra, limit};
}

static int diff_step(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np,
                     int32_t nn);
static int trim_suffix_step(execution *e, execution_stack *stack, int32_t op, int32_t on,
                            int32_t np, int32_t nn, int32_t matched, int32_t limit);
static int trim_prefix_step(execution *e, execution_stack *stack, int32_t op, int32_t on,
                            int32_t np, int32_t nn, int32_t limit);
static int middlesnake_step(execution *e, execution_stack *stack, int32_t op, int32_t on,
                            int32_t np, int32_t nn, int32_t limit);

static int dispatch(execution *e, execution_stack *stack, const execution_task &t) {
    switch (t.kind) {
    case BAILOUT_MATCH: return emit_match(e, t.old_position, t.old_length);
    case BAILOUT_INSERT: return emit_insert(e, t.new_position, t.new_length);
    case BAILOUT_DELETE: return coallescing_script_delete(e->script);
    case BAILOUT_TRIM_SUFFIX:
        return trim_suffix_step(e, stack, t.old_position, t.old_length, t.new_position,
                                t.new_length, t.extra, t.limit);
    case BAILOUT_TRIM_PREFIX:
        return trim_prefix_step(e, stack, t.old_position, t.old_length, t.new_position,
                                t.new_length, t.limit);
    case BAILOUT_SEARCH:
        return middlesnake_step(e, stack, t.old_position, t.old_length, t.new_position,
                                t.new_length, t.limit);
    case BAILOUT_BOUNDED_DIFF:
        return schedule_plan(stack, bailout_bounded(e->old_value, e->new_value, t.old_position,
                                                    t.old_length, t.new_position, t.new_length,
                                                    t.extra, t.limit, e->limit));
    default: return 0;
    }
}

/* Runs a first step on a fresh stack, then everything on the stack, in
 * order, until it is empty or a piece of work returns 0. */
template <typename Step>
static int run(execution *e, Step step) {
    if (!e || !e->storage || !e->script) return 0;
    execution_stack stack;
    stack_init(&stack);
    int ok = step(&stack);
    while (ok && stack.count > 0) {
        const execution_task t = stack.tasks[--stack.count];
        ok = dispatch(e, &stack, t);
    }
    stack_release(&stack);
    return ok;
}

/* ---- Steps --------------------------------------------------------------
 *
 * A step may call the script, or another step, directly only for work that
 * precedes everything it schedules; the rest goes on the stack. Steps that
 * are called directly never call a step directly that could lead back to
 * themselves, so the native stack stays a few frames deep. */

static int diff_step(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np,
                     int32_t nn) {
    const int32_t p = window_prefix(e, op, on, np, nn);
    if (!emit_match(e, op, p)) return 0;
    return trim_suffix_step(e, stack, op, on, np, nn, p, e->limit);
}

static int trim_suffix_step(execution *e, execution_stack *stack, int32_t op, int32_t on,
                            int32_t np, int32_t nn, int32_t matched, int32_t limit) {
    const int32_t xs = window_suffix_start(e, op, on, np, nn, matched);
    const int32_t ys = xs + (nn - on);
    const int32_t old_core = xs - matched;
    const int32_t new_core = ys - matched;
    if (on - xs >= 1 && !stack_push(stack, call_match(op + xs, on - xs))) return 0;
    if (old_core == 0) return emit_insert(e, np + matched, new_core);
    if (new_core == 0) return coallescing_script_delete(e->script);
    return middlesnake_step(e, stack, op + matched, old_core, np + matched, new_core, limit);
}

static int trim_prefix_step(execution *e, execution_stack *stack, int32_t op, int32_t on,
                            int32_t np, int32_t nn, int32_t limit) {
    const int32_t p = window_prefix(e, op, on, np, nn);
    if (!emit_match(e, op, p)) return 0;
    if (p == on) return emit_insert(e, np + on, nn - on);
    if (p == nn) return coallescing_script_delete(e->script);
    return middlesnake_step(e, stack, op + p, on - p, np + p, nn - p, limit);
}

static inline uint32_t forward_key(int32_t k) {
    const uint32_t key = (uint32_t)k << 2;
    return k < 0 ? ~key : key;
}

static inline uint32_t reverse_key(int32_t k) { return forward_key(k) + 2; }

static int schedule_recurse(execution *e, execution_stack *stack, int32_t op, int32_t on,
                            int32_t np, int32_t nn, int32_t s, int32_t end, int32_t k) {
    const execution_task calls[3] = {
        call_window(BAILOUT_TRIM_SUFFIX, op, s, np, s + k, 0, e->limit),
        call_match(op + s, end - s),
        call_window(BAILOUT_TRIM_PREFIX, op + end, on - end, np + end + k, nn - (end + k), 0,
                    e->limit),
    };
    return schedule(stack, calls, 3);
}

/* The furthest forward point (from (0, 0)) and reverse point (from (N, M)) in
 * the slots of the last iteration of a search over an N x M window. */
static bailout_points furthest_points(const execution *e, int32_t on, int32_t nn,
                                      int32_t corner_old, int32_t corner_new) {
    const int32_t *slots = e->storage->slots;
    const int64_t delta = (int64_t)nn - on;
    bailout_points pts = {0, 0, on, nn};
    int64_t best = 0;
    for (int64_t k = -(int64_t)corner_old; k <= corner_new; k += 2) {
        const int64_t x = std::min({(int64_t)slots[forward_key((int32_t)k)], (int64_t)on, nn - k});
        /* Strictly greater: on equal sums the lowest diagonal stays. */
        if (2 * x + k > best) {
            best = 2 * x + k;
            pts.forward_x = (int32_t)x;
            pts.forward_y = (int32_t)(x + k);
        }
    }
    best = (int64_t)on + nn;
    for (int64_t r = -(int64_t)corner_new; r <= corner_old; r += 2) {
        const int64_t k = r + delta;
        const int64_t x = std::max({(int64_t)slots[reverse_key((int32_t)r)], int64_t{0}, -k});
        if (2 * x + k < best) {
            best = 2 * x + k;
            pts.reverse_x = (int32_t)x;
            pts.reverse_y = (int32_t)(x + k);
        }
    }
    return pts;
}

/* The slots belong to the search that gave up only until the first
 * sub-search, so its points are read before anything is scheduled. */
static int bail_step(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np,
                     int32_t nn, int32_t corner_old, int32_t corner_new, int32_t limit) {
    const bailout_points pts = furthest_points(e, on, nn, corner_old, corner_new);
    return schedule_plan(stack, bailout_split(op, on, np, nn, pts, limit, e->limit));
}

/* 2^(j + 1) for the largest j with 4^j <= d: the progress a search is
 * expected to have made per iteration by iteration d. */
static inline uint64_t progress_factor(int32_t d) {
    const int bits = 32 - __builtin_clz((uint32_t)d);
    return (uint64_t)1 << ((bits - 1) / 2 + 1);
}

static int middlesnake_step(execution *e, execution_stack *stack, int32_t op, int32_t on,
                            int32_t np, int32_t nn, int32_t limit) {
    storage *st = e->storage;
    if (!storage_initialise(st, 1)) return 0;
    storage_key_forward_set(st, 0, 0);
    storage_key_reverse_set(st, 0, on);

    const uint8_t *a = old_bytes(e, op);
    const uint8_t *b = new_bytes(e, np);
    const int32_t delta = nn - on;
    /* Which pass tests for the overlap; the mask is 0xB1, not 1. */
    const bool forward_tests = (((uint32_t)on - (uint32_t)nn) & 0xB1u) == 0xB1u;
    int32_t bail_limit = limit;

    for (int32_t d = 1;;) {
        int32_t *slots = st->slots;
        const int32_t corner_old = myers_binary_diff_corner(d, on);
        const int32_t corner_new = myers_binary_diff_corner(d, nn);

        /* The neighbour above diagonal k is the neighbour below k + 2. */
        int32_t before = slots[forward_key(-corner_old - 1)];
        for (int32_t k = -corner_old; k <= corner_new; k += 2) {
            const int32_t after = slots[forward_key(k + 1)];
            const int32_t x = after < before ? before : (int32_t)((uint32_t)after + 1u);
            before = after;
            const int64_t y = (int64_t)x + k;
            const int64_t n = std::min((int64_t)on - x, (int64_t)nn - y);
            int32_t x_end = x;
            if (n >= 1 && x >= 0 && y >= 0)
                x_end = x + (int32_t)byte_compare_forward(a + x, b + y, n);
            if (forward_tests) {
                const int64_t r = (int64_t)k - delta;
                if (std::abs(r) < d && x_end >= slots[reverse_key((int32_t)r)])
                    return schedule_recurse(e, stack, op, on, np, nn, x, x_end, k);
            }
            slots[forward_key(k)] = x_end;
        }

        before = slots[reverse_key(-corner_new - 1)];
        for (int32_t r = -corner_new; r <= corner_old; r += 2) {
            const int32_t k = r + delta;
            const int32_t after = slots[reverse_key(r + 1)];
            const int32_t x = after < before ? after : (int32_t)((uint32_t)before - 1u);
            before = after;
            const int64_t floor = std::max(-(int64_t)k, int64_t{0});
            int32_t xs = x;
            if (floor < xs && xs <= on && (int64_t)xs + k <= nn)
                xs = x - (int32_t)byte_compare_backward(a + x, b + ((int64_t)x + k), x - floor);
            if (!forward_tests && std::abs((int64_t)k) <= d && xs <= slots[forward_key(k)])
                return schedule_recurse(e, stack, op, on, np, nn, xs, x, k);
            slots[reverse_key(r)] = xs;
        }

        bool bail_test = true;
        if ((d & 63) == 0) {
            const bailout_points pts = furthest_points(e, on, nn, corner_old, corner_new);
            const uint32_t forward = (uint32_t)pts.forward_x + (uint32_t)pts.forward_y;
            const uint32_t reverse =
                (uint32_t)on + (uint32_t)nn - (uint32_t)pts.reverse_x - (uint32_t)pts.reverse_y;
            const uint64_t progress = (uint64_t)forward + reverse;
            if (progress < progress_factor(d) * (uint64_t)d) {
                bail_limit = (int32_t)((uint32_t)bail_limit - 48u);
                bail_test = false;
            }
        }
        if (bail_test && d > bail_limit)
            return bail_step(e, stack, op, on, np, nn, corner_old, corner_new, bail_limit);
        /* A search of unrelated megabytes runs for seconds without a call on
         * the script, so the caller is asked from here. */
        if (!delta_poll_tick(e->poll, &e->poll_work, (uint64_t)corner_old + corner_new + 2))
            return 0;
        ++d;
        if (!storage_extend(st, d)) return 0;
    }
}

/* ---- Public routines ---------------------------------------------------- */

extern "C" {

int32_t _execution_common_prefix(const uint8_t *a, const uint8_t *b, int32_t n) {
    return (int32_t)byte_compare_forward(a, b, n);
}

int32_t _execution_common_suffix(const uint8_t *a_end, const uint8_t *b_end, int32_t n) {
    return (int32_t)byte_compare_backward(a_end, b_end, n);
}

int32_t myers_binary_diff_corner(int32_t iteration, int32_t length) {
    /* Up to the length the corner moves out with the iteration, then back. */
    return (int32_t)std::min<int64_t>(iteration, 2 * (int64_t)length - iteration);
}

int myers_binary_diff_check_bounds(const buf *buffer, int32_t start, int32_t length) {
    if (!buffer || (start | length) < 0) return 0;
    /* The end is summed in 64 bits: a 32-bit sum could wrap to a negative
     * value and pass the test. */
    return (int64_t)start + length <= (int64_t)(int32_t)(uint32_t)buffer->length;
}

execution *execution_create(const buf *old_value, const buf *new_value, coallescing_script *script,
                            uint32_t storage_limit, int32_t limit) {
    execution *e = (execution *)core_calloc(1, sizeof(execution));
    if (!e) return nullptr;
    e->old_value = old_value;
    e->new_value = new_value;
    e->script = script;
    e->limit = limit;
    e->storage = storage_create(storage_limit);
    if (!e->storage) {
        free(e);
        return nullptr;
    }
    return e;
}

void execution_free(execution *e) {
    if (!e) return;
    storage_free(e->storage);
    free(e);
}

int execution_diff(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                   int32_t new_length, int32_t limit) {
    (void)limit; /* the record's limit governs */
    return run(e, [&](execution_stack *stack) {
        return diff_step(e, stack, old_position, old_length, new_position, new_length);
    });
}

int execution_trim_suffix(execution *e, int32_t old_position, int32_t old_length,
                          int32_t new_position, int32_t new_length, int32_t matched,
                          int32_t limit) {
    return run(e, [&](execution_stack *stack) {
        return trim_suffix_step(e, stack, old_position, old_length, new_position, new_length,
                                matched, limit);
    });
}

int execution_trim_prefix(execution *e, int32_t old_position, int32_t old_length,
                          int32_t new_position, int32_t new_length, int32_t limit) {
    return run(e, [&](execution_stack *stack) {
        return trim_prefix_step(e, stack, old_position, old_length, new_position, new_length,
                                limit);
    });
}

int execution_middlesnake(execution *e, int32_t old_position, int32_t old_length,
                          int32_t new_position, int32_t new_length, int32_t limit) {
    return run(e, [&](execution_stack *stack) {
        return middlesnake_step(e, stack, old_position, old_length, new_position, new_length,
                                limit);
    });
}

int execution_recurse(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                      int32_t new_length, int32_t snake_start, int32_t snake_end,
                      int32_t diagonal) {
    return run(e, [&](execution_stack *stack) {
        return schedule_recurse(e, stack, old_position, old_length, new_position, new_length,
                                snake_start, snake_end, diagonal);
    });
}

int execution_bail(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                   int32_t new_length, int32_t corner_old, int32_t corner_new, int32_t limit) {
    return run(e, [&](execution_stack *stack) {
        return bail_step(e, stack, old_position, old_length, new_position, new_length, corner_old,
                         corner_new, limit);
    });
}

int execution_bounded_diff(execution *e, int32_t old_position, int32_t old_length,
                           int32_t new_position, int32_t new_length, int32_t scale, int32_t ignored,
                           int32_t limit) {
    (void)ignored;
    return run(e, [&](execution_stack *stack) {
        return schedule_plan(stack,
                             bailout_bounded(e->old_value, e->new_value, old_position, old_length,
                                             new_position, new_length, scale, limit, e->limit));
    });
}

int execution_trim_prefix_and_suffix(execution *e, int32_t op, int32_t on, int32_t np, int32_t nn) {
    if (!e || !e->script) return 0;
    const int32_t p = window_prefix(e, op, on, np, nn);
    if (!emit_match(e, op, p)) return 0;
    const int32_t xs = window_suffix_start(e, op, on, np, nn, p);
    const int32_t old_core = xs - p;
    const int32_t new_core = xs + (nn - on) - p;
    if (old_core == 0) {
        if (!emit_insert(e, np + p, new_core)) return 0;
    } else if (new_core == 0) {
        if (!coallescing_script_delete(e->script)) return 0;
    } else {
        /* The whole middle in one piece, the insert first. */
        if (!emit_insert(e, np + p, new_core)) return 0;
        if (!coallescing_script_delete(e->script)) return 0;
    }
    return emit_match(e, op + xs, on - xs);
}
}

/* Both entry points: runs go to the edit script, or to the sink when set. */
static int32_t run_diff(const buf *old_value, int32_t old_start, int32_t old_length,
                        const buf *new_value, int32_t new_start, int32_t new_length,
                        edit_script *script, const delta_op_sink *sink, uint64_t storage_limit,
                        uint64_t limit_word, delta_poll *poll) {
    if (!myers_binary_diff_check_bounds(old_value, old_start, old_length) ||
        !myers_binary_diff_check_bounds(new_value, new_start, new_length))
        return SCRIPT_RESULT_INVALID_RANGE;

    coallescing_script coalescing;
    coalescing.script = script;
    coalescing.old_origin = (uint32_t)old_start;
    coalescing.new_origin = (uint32_t)new_start;
    coalescing.run_kind = COALESCING_RUN_NONE;
    coalescing.run_start = 0;
    coalescing.run_length = 0;
    coalescing.untouched = 1;
    coalescing.sink = sink;

    const quality_word word = quality_unpack(limit_word);
    const int32_t bail_limit = quality_bail_limit(word, old_length, new_length);

    execution *e =
        execution_create(old_value, new_value, &coalescing, (uint32_t)storage_limit, bail_limit);
    if (!e) return SCRIPT_RESULT_REPLACE; /* out of memory: as for a stopped run */
    e->poll = poll;
    const int ran =
        quality_searches(word.quality)
            ? execution_diff(e, old_start, old_length, new_start, new_length, e->limit)
            : execution_trim_prefix_and_suffix(e, old_start, old_length, new_start, new_length);
    execution_free(e);
    if (!ran) return SCRIPT_RESULT_REPLACE;
    return coallescing_script_close(&coalescing, old_length, new_length);
}

extern "C" {

int32_t myers_binary_diff(const buf *old_value, int32_t old_start, int32_t old_length,
                          const buf *new_value, int32_t new_start, int32_t new_length,
                          edit_script *script, uint64_t storage_limit, uint64_t limit_word) {
    return run_diff(old_value, old_start, old_length, new_value, new_start, new_length, script,
                    nullptr, storage_limit, limit_word, nullptr);
}

int32_t myers_binary_diff_polled(const buf *old_value, int32_t old_start, int32_t old_length,
                                 const buf *new_value, int32_t new_start, int32_t new_length,
                                 edit_script *script, uint64_t storage_limit, uint64_t limit_word,
                                 delta_poll *poll) {
    return run_diff(old_value, old_start, old_length, new_value, new_start, new_length, script,
                    nullptr, storage_limit, limit_word, poll);
}

int32_t myers_binary_diff_emit(const buf *old_value, int32_t old_start, int32_t old_length,
                               const buf *new_value, int32_t new_start, int32_t new_length,
                               const delta_op_sink *sink, uint64_t storage_limit,
                               uint64_t limit_word) {
    if (sink == nullptr) return SCRIPT_RESULT_INVALID_RANGE;
    return run_diff(old_value, old_start, old_length, new_value, new_start, new_length, nullptr,
                    sink, storage_limit, limit_word, nullptr);
}
}
