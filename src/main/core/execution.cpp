#include "execution.h"

#include <stdlib.h>
#include <string.h>

#include "alloc.h"
#include "bailout.h"
#include "execution_internal.h"

/* ---- Byte comparison ----------------------------------------------------
 *
 * Only the number of equal bytes matters, not how they are compared. Runs are
 * compared a word at a time (unaligned loads through memcpy); a run that is
 * still equal after a few words is likely long, so it continues with memcmp
 * over growing blocks and only the block holding the difference is searched
 * word by word again. */

static inline uint64_t load_word(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

/* Equal bytes at the low-address end of two words, given their XOR (non-zero). */
static inline int32_t equal_low_bytes(uint64_t difference) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return (int32_t)(__builtin_clzll(difference) >> 3);
#else
    return (int32_t)(__builtin_ctzll(difference) >> 3);
#endif
}

/* Equal bytes at the high-address end of two words, given their XOR (non-zero). */
static inline int32_t equal_high_bytes(uint64_t difference) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return (int32_t)(__builtin_ctzll(difference) >> 3);
#else
    return (int32_t)(__builtin_clzll(difference) >> 3);
#endif
}

static const int64_t k_word_run = 64;         /* bytes compared word-wise before blocks */
static const int64_t k_first_block = 256;
static const int64_t k_largest_block = 65536;

static int64_t equal_forward_words(const uint8_t *a, const uint8_t *b, int64_t i, int64_t n) {
    while (n - i >= 8) {
        const uint64_t x = load_word(a + i) ^ load_word(b + i);
        if (x) return i + equal_low_bytes(x);
        i += 8;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

/* Everything after the first word: out of line, since most runs end there. */
__attribute__((noinline)) static int64_t equal_forward_rest(const uint8_t *a, const uint8_t *b, int64_t n) {
    int64_t i = 0;
    const int64_t words_end = n < k_word_run ? n : k_word_run;
    while (words_end - i >= 8) {
        const uint64_t x = load_word(a + i) ^ load_word(b + i);
        if (x) return i + equal_low_bytes(x);
        i += 8;
    }
    if (i < k_word_run) {
        while (i < n && a[i] == b[i]) ++i;
        return i;
    }
    for (int64_t block = k_first_block; n - i >= block;) {
        if (memcmp(a + i, b + i, (size_t)block) != 0) return equal_forward_words(a, b, i, i + block);
        i += block;
        if (block < k_largest_block) block *= 2;
    }
    return equal_forward_words(a, b, i, n);
}

/* Number of leading equal bytes of a[0, n) and b[0, n). */
static inline int64_t equal_forward(const uint8_t *a, const uint8_t *b, int64_t n) {
    if (n >= 8) {
        const uint64_t x = load_word(a) ^ load_word(b);
        if (x) return equal_low_bytes(x);
        return 8 + equal_forward_rest(a + 8, b + 8, n - 8);
    }
    int64_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

static int64_t equal_backward_words(const uint8_t *a_end, const uint8_t *b_end, int64_t i, int64_t n) {
    while (n - i >= 8) {
        const uint64_t x = load_word(a_end - i - 8) ^ load_word(b_end - i - 8);
        if (x) return i + equal_high_bytes(x);
        i += 8;
    }
    while (i < n && a_end[-i - 1] == b_end[-i - 1]) ++i;
    return i;
}

__attribute__((noinline)) static int64_t equal_backward_rest(const uint8_t *a_end, const uint8_t *b_end,
                                                             int64_t n) {
    int64_t i = 0;
    const int64_t words_end = n < k_word_run ? n : k_word_run;
    while (words_end - i >= 8) {
        const uint64_t x = load_word(a_end - i - 8) ^ load_word(b_end - i - 8);
        if (x) return i + equal_high_bytes(x);
        i += 8;
    }
    if (i < k_word_run) {
        while (i < n && a_end[-i - 1] == b_end[-i - 1]) ++i;
        return i;
    }
    for (int64_t block = k_first_block; n - i >= block;) {
        if (memcmp(a_end - i - block, b_end - i - block, (size_t)block) != 0)
            return equal_backward_words(a_end, b_end, i, i + block);
        i += block;
        if (block < k_largest_block) block *= 2;
    }
    return equal_backward_words(a_end, b_end, i, n);
}

/* Number of equal bytes directly before a_end and b_end, at most n. */
static inline int64_t equal_backward(const uint8_t *a_end, const uint8_t *b_end, int64_t n) {
    if (n >= 8) {
        const uint64_t x = load_word(a_end - 8) ^ load_word(b_end - 8);
        if (x) return equal_high_bytes(x);
        return 8 + equal_backward_rest(a_end - 8, b_end - 8, n - 8);
    }
    int64_t i = 0;
    while (i < n && a_end[-i - 1] == b_end[-i - 1]) ++i;
    return i;
}

static inline int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

static inline const uint8_t *old_bytes(const execution *e, int32_t position) { return e->old_value->data + position; }
static inline const uint8_t *new_bytes(const execution *e, int32_t position) { return e->new_value->data + position; }

/* Common prefix of a window. */
static inline int32_t window_prefix(const execution *e, int32_t op, int32_t on, int32_t np, int32_t nn) {
    const int32_t n = min32(on, nn);
    if (n < 1) return 0;
    return (int32_t)equal_forward(old_bytes(e, op), new_bytes(e, np), n);
}

/* Where the common suffix starts in the old window, never below the floor. */
static inline int32_t window_suffix_start(const execution *e, int32_t op, int32_t on, int32_t np, int32_t nn,
                                          int64_t floor) {
    if (floor >= on) return on;
    return on - (int32_t)equal_backward(old_bytes(e, op + on), new_bytes(e, np + nn), on - floor);
}

/* Zero-length matches and inserts change nothing in the script, so they are
 * never issued. */
static inline int emit_match(const execution *e, int32_t old_position, int32_t length) {
    return length < 1 ? 1 : coallescing_script_match(e->script, old_position, length);
}

static inline int emit_insert(const execution *e, int32_t new_position, int32_t length) {
    return length < 1 ? 1 : coallescing_script_insert(e->script, new_position, length);
}

/* ---- The explicit stack ------------------------------------------------- */

void execution_stack_init(execution_stack *stack) {
    stack->tasks = stack->inline_tasks;
    stack->count = 0;
    stack->capacity = EXECUTION_STACK_INLINE;
}

void execution_stack_release(execution_stack *stack) {
    if (stack->tasks != stack->inline_tasks) free(stack->tasks);
    execution_stack_init(stack);
}

int execution_stack_push(execution_stack *stack, const execution_task &task) {
    if (stack->count == stack->capacity) {
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

int execution_schedule(execution_stack *stack, const execution_task *calls, size_t count) {
    for (size_t i = count; i-- > 0;) {
        /* Empty matches and inserts would only cost a round trip. */
        const execution_task &t = calls[i];
        if (t.kind == EXECUTION_TASK_MATCH && t.old_length < 1) continue;
        if (t.kind == EXECUTION_TASK_INSERT && t.new_length < 1) continue;
        if (!execution_stack_push(stack, t)) return 0;
    }
    return 1;
}

static int execution_dispatch(execution *e, execution_stack *stack, const execution_task &t) {
    switch (t.kind) {
    case EXECUTION_TASK_MATCH:
        return emit_match(e, t.old_position, t.old_length);
    case EXECUTION_TASK_INSERT:
        return emit_insert(e, t.new_position, t.new_length);
    case EXECUTION_TASK_DELETE:
        return coallescing_script_delete(e->script);
    case EXECUTION_TASK_TRIM_SUFFIX:
        return execution_trim_suffix_step(e, stack, t.old_position, t.old_length, t.new_position, t.new_length,
                                          t.extra, t.limit);
    case EXECUTION_TASK_TRIM_PREFIX:
        return execution_trim_prefix_step(e, stack, t.old_position, t.old_length, t.new_position, t.new_length,
                                          t.limit);
    case EXECUTION_TASK_MIDDLESNAKE:
        return execution_middlesnake_step(e, stack, t.old_position, t.old_length, t.new_position, t.new_length,
                                          t.limit);
    case EXECUTION_TASK_BOUNDED_DIFF:
        return execution_bounded_diff_step(e, stack, t.old_position, t.old_length, t.new_position, t.new_length,
                                           t.extra, t.limit);
    default:
        return 0;
    }
}

int execution_drain(execution *e, execution_stack *stack) {
    while (stack->count > 0) {
        const execution_task t = stack->tasks[--stack->count];
        if (!execution_dispatch(e, stack, t)) return 0;
    }
    return 1;
}

/* ---- Steps --------------------------------------------------------------
 *
 * A step may call the script, or another step, directly only for work that
 * precedes everything it schedules; the rest goes on the stack. Steps that
 * are called directly never call a step directly that could lead back to
 * themselves, so the native stack stays a few frames deep. */

int execution_diff_step(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np, int32_t nn) {
    const int32_t p = window_prefix(e, op, on, np, nn);
    if (!emit_match(e, op, p)) return 0;
    return execution_trim_suffix_step(e, stack, op, on, np, nn, p, e->limit);
}

int execution_trim_suffix_step(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np,
                               int32_t nn, int32_t matched, int32_t limit) {
    /* The floor keeps the suffix clear of the matched prefix in both windows. */
    const int64_t floor = (int64_t)matched + (on > nn ? (int64_t)on - nn : 0);
    const int32_t xs = window_suffix_start(e, op, on, np, nn, floor);
    const int32_t ys = xs + (nn - on);
    const int32_t old_core = xs - matched;
    const int32_t new_core = ys - matched;
    if (on - xs >= 1 && !execution_stack_push(stack, execution_call_match(op + xs, on - xs))) return 0;
    if (old_core == 0) return emit_insert(e, np + matched, new_core);
    if (new_core == 0) return coallescing_script_delete(e->script);
    return execution_middlesnake_step(e, stack, op + matched, old_core, np + matched, new_core, limit);
}

int execution_trim_prefix_step(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np,
                               int32_t nn, int32_t limit) {
    const int32_t p = window_prefix(e, op, on, np, nn);
    if (!emit_match(e, op, p)) return 0;
    if (p == on) return emit_insert(e, np + on, nn - on);
    if (p == nn) return coallescing_script_delete(e->script);
    return execution_middlesnake_step(e, stack, op + p, on - p, np + p, nn - p, limit);
}

static inline uint32_t forward_key(int32_t k) {
    const uint32_t key = (uint32_t)k << 2;
    return k < 0 ? ~key : key;
}

static inline uint32_t reverse_key(int32_t k) { return forward_key(k) + 2; }

static int schedule_recurse(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np, int32_t nn,
                            int32_t s, int32_t end, int32_t k) {
    const execution_task calls[3] = {
        execution_call_trim_suffix(op, s, np, s + k, 0, e->limit),
        execution_call_match(op + s, end - s),
        execution_call_trim_prefix(op + end, on - end, np + end + k, nn - (end + k), e->limit),
    };
    return execution_schedule(stack, calls, 3);
}

execution_points execution_furthest_points(const execution *e, int32_t on, int32_t nn, int32_t corner_old,
                                           int32_t corner_new) {
    const int32_t *slots = e->storage->slots;
    const int64_t delta = (int64_t)nn - on;
    execution_points pts = {0, 0, on, nn};
    int64_t best = 0;
    for (int64_t k = -(int64_t)corner_old; k <= corner_new; k += 2) {
        int64_t x = slots[forward_key((int32_t)k)];
        if (x > on) x = on;
        if (x > nn - k) x = nn - k;
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
        int64_t x = slots[reverse_key((int32_t)r)];
        if (x < 0) x = 0;
        if (x < -k) x = -k;
        if (2 * x + k < best) {
            best = 2 * x + k;
            pts.reverse_x = (int32_t)x;
            pts.reverse_y = (int32_t)(x + k);
        }
    }
    return pts;
}

/* 2^(j + 1) for the largest j with 4^j <= d: the progress a search is
 * expected to have made per iteration by iteration d. */
static inline uint64_t progress_factor(int32_t d) {
    const int bits = 32 - __builtin_clz((uint32_t)d);
    return (uint64_t)1 << ((bits - 1) / 2 + 1);
}

int execution_middlesnake_step(execution *e, execution_stack *stack, int32_t op, int32_t on, int32_t np,
                               int32_t nn, int32_t limit) {
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
            int64_t n = (int64_t)on - x;
            if ((int64_t)nn - y < n) n = (int64_t)nn - y;
            int32_t x_end = x;
            if (n >= 1 && x >= 0 && y >= 0) x_end = x + (int32_t)equal_forward(a + x, b + y, n);
            if (forward_tests) {
                const int64_t r = (int64_t)k - delta;
                if ((r < 0 ? -r : r) < d && x_end >= slots[reverse_key((int32_t)r)])
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
            const int64_t floor = k < 0 ? -(int64_t)k : 0;
            int32_t xs = x;
            if (floor < xs && xs <= on && (int64_t)xs + k <= nn)
                xs = x - (int32_t)equal_backward(a + x, b + ((int64_t)x + k), x - floor);
            if (!forward_tests && (k < 0 ? -(int64_t)k : k) <= d && xs <= slots[forward_key(k)])
                return schedule_recurse(e, stack, op, on, np, nn, xs, x, k);
            slots[reverse_key(r)] = xs;
        }

        bool bail_test = true;
        if ((d & 63) == 0) {
            const execution_points pts = execution_furthest_points(e, on, nn, corner_old, corner_new);
            const uint32_t forward = (uint32_t)pts.forward_x + (uint32_t)pts.forward_y;
            const uint32_t reverse = (uint32_t)on + (uint32_t)nn - (uint32_t)pts.reverse_x - (uint32_t)pts.reverse_y;
            const uint64_t progress = (uint64_t)forward + reverse;
            if (progress < progress_factor(d) * (uint64_t)d) {
                bail_limit = (int32_t)((uint32_t)bail_limit - 48u);
                bail_test = false;
            }
        }
        if (bail_test && d > bail_limit)
            return execution_bail_step(e, stack, op, on, np, nn, corner_old, corner_new, bail_limit);
        ++d;
        if (!storage_extend(st, d)) return 0;
    }
}

/* ---- Public routines ---------------------------------------------------- */

extern "C" {

int32_t _execution_common_prefix(const uint8_t *a, const uint8_t *b, int32_t n) {
    return n < 1 ? 0 : (int32_t)equal_forward(a, b, n);
}

int32_t _execution_common_suffix(const uint8_t *a_end, const uint8_t *b_end, int32_t n) {
    return n < 1 ? 0 : (int32_t)equal_backward(a_end, b_end, n);
}

int32_t myers_binary_diff_corner(int32_t iteration, int32_t length) {
    return iteration <= length ? iteration : (int32_t)(2u * (uint32_t)length - (uint32_t)iteration);
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
    return execution_run(e, [&](execution_stack *stack) {
        return execution_diff_step(e, stack, old_position, old_length, new_position, new_length);
    });
}

int execution_trim_suffix(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                          int32_t new_length, int32_t matched, int32_t limit) {
    return execution_run(e, [&](execution_stack *stack) {
        return execution_trim_suffix_step(e, stack, old_position, old_length, new_position, new_length, matched,
                                          limit);
    });
}

int execution_trim_prefix(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                          int32_t new_length, int32_t limit) {
    return execution_run(e, [&](execution_stack *stack) {
        return execution_trim_prefix_step(e, stack, old_position, old_length, new_position, new_length, limit);
    });
}

int execution_middlesnake(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                          int32_t new_length, int32_t limit) {
    return execution_run(e, [&](execution_stack *stack) {
        return execution_middlesnake_step(e, stack, old_position, old_length, new_position, new_length, limit);
    });
}

int execution_recurse(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                      int32_t new_length, int32_t snake_start, int32_t snake_end, int32_t diagonal) {
    return execution_run(e, [&](execution_stack *stack) {
        return schedule_recurse(e, stack, old_position, old_length, new_position, new_length, snake_start,
                                snake_end, diagonal);
    });
}

int execution_trim_prefix_and_suffix(execution *e, int32_t op, int32_t on, int32_t np, int32_t nn) {
    if (!e || !e->script) return 0;
    const int32_t p = window_prefix(e, op, on, np, nn);
    if (!emit_match(e, op, p)) return 0;
    const int64_t floor = (int64_t)p + (on > nn ? (int64_t)on - nn : 0);
    const int32_t xs = window_suffix_start(e, op, on, np, nn, floor);
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

int32_t myers_binary_diff(const buf *old_value, int32_t old_start, int32_t old_length, const buf *new_value,
                          int32_t new_start, int32_t new_length, edit_script *script, uint64_t storage_limit,
                          uint64_t limit_word) {
    if (!myers_binary_diff_check_bounds(old_value, old_start, old_length) ||
        !myers_binary_diff_check_bounds(new_value, new_start, new_length))
        return -1;

    coallescing_script coalescing;
    coalescing.script = script;
    coalescing.old_origin = (uint32_t)old_start;
    coalescing.new_origin = (uint32_t)new_start;
    coalescing.run_kind = COALLESCING_RUN_NONE;
    coalescing.run_start = 0;
    coalescing.run_length = 0;
    coalescing.untouched = 1;

    const uint32_t quality = (uint32_t)(limit_word >> 32);
    const int32_t given = (int32_t)(uint32_t)limit_word;
    const int32_t m = min32(min32(old_length, new_length), given);
    int32_t bail_limit;
    switch (quality) {
    case 0:
        bail_limit = given;
        break;
    case 1:
        bail_limit = m > 259 ? m >> 2 : 64;
        break;
    case 2:
        bail_limit = m > 259 ? m >> 4 : 16;
        break;
    case 3:
        bail_limit = 1;
        break;
    default: /* 4 trims only and never searches; 5 and above bail at once */
        bail_limit = -1;
        break;
    }

    execution *e = execution_create(old_value, new_value, &coalescing, (uint32_t)storage_limit, bail_limit);
    if (!e) return 1; /* out of memory: as for a stopped run */
    const int ran = quality == EXECUTION_QUALITY_TRIM_ONLY
                        ? execution_trim_prefix_and_suffix(e, old_start, old_length, new_start, new_length)
                        : execution_diff(e, old_start, old_length, new_start, new_length, e->limit);
    execution_free(e);
    if (!ran) return 1;
    return coallescing_script_close(&coalescing, old_length, new_length);
}

}
