/* Internal to the engine (execution.cpp, bailout.cpp); not an API.
 *
 * The engine's routines call one another in a recursion whose depth grows
 * with the number of nested splits, and a bailed-out diff of unrelated
 * megabyte values nests thousands of windows deep. Instead of the native
 * stack they share an explicit stack of pending calls: a routine performs
 * what it can at once (only ever calls that come before all of its pending
 * work) and pushes the rest, last call first, so the calls on the
 * coalescing script come out in exactly the order of the plain recursion. */
#ifndef CORVANTIS_EXECUTION_INTERNAL_H
#define CORVANTIS_EXECUTION_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "execution.h"

enum execution_task_kind {
    EXECUTION_TASK_MATCH,        /* coallescing_script_match(old_position, old_length) */
    EXECUTION_TASK_INSERT,       /* coallescing_script_insert(new_position, new_length) */
    EXECUTION_TASK_DELETE,       /* coallescing_script_delete */
    EXECUTION_TASK_TRIM_SUFFIX,  /* extra: matched prefix */
    EXECUTION_TASK_TRIM_PREFIX,
    EXECUTION_TASK_MIDDLESNAKE,
    EXECUTION_TASK_BOUNDED_DIFF, /* extra: scale */
};

struct execution_task {
    int32_t kind;
    int32_t old_position;
    int32_t old_length;
    int32_t new_position;
    int32_t new_length;
    int32_t extra;
    int32_t limit;
};

enum { EXECUTION_STACK_INLINE = 64 };

struct execution_stack {
    execution_task *tasks; /* inline_tasks, or a core_malloc'd block */
    size_t count;
    size_t capacity;
    execution_task inline_tasks[EXECUTION_STACK_INLINE];
};

void execution_stack_init(execution_stack *stack);
void execution_stack_release(execution_stack *stack);
/* 0 when the stack cannot grow; the run then stops as for any other 0. */
int execution_stack_push(execution_stack *stack, const execution_task &task);

/* Schedules calls so that they run in the order given, after everything the
 * current routine does directly and before anything scheduled earlier. */
int execution_schedule(execution_stack *stack, const execution_task *calls, size_t count);

/* Runs everything on the stack, in order, until it is empty or a call
 * returns 0. */
int execution_drain(execution *e, execution_stack *stack);

/* Runs a step on a fresh stack and then everything it scheduled. */
template <typename Step>
static inline int execution_run(execution *e, Step step) {
    if (!e || !e->storage || !e->script) return 0;
    execution_stack stack;
    execution_stack_init(&stack);
    int ok = step(&stack);
    if (ok) ok = execution_drain(e, &stack);
    execution_stack_release(&stack);
    return ok;
}

/* Helpers that build calls. */
static inline execution_task execution_call_match(int32_t old_position, int32_t length) {
    return {EXECUTION_TASK_MATCH, old_position, length, 0, 0, 0, 0};
}
static inline execution_task execution_call_insert(int32_t new_position, int32_t length) {
    return {EXECUTION_TASK_INSERT, 0, 0, new_position, length, 0, 0};
}
static inline execution_task execution_call_delete(void) { return {EXECUTION_TASK_DELETE, 0, 0, 0, 0, 0, 0}; }
static inline execution_task execution_call_trim_suffix(int32_t op, int32_t on, int32_t np, int32_t nn,
                                                        int32_t matched, int32_t limit) {
    return {EXECUTION_TASK_TRIM_SUFFIX, op, on, np, nn, matched, limit};
}
static inline execution_task execution_call_trim_prefix(int32_t op, int32_t on, int32_t np, int32_t nn,
                                                        int32_t limit) {
    return {EXECUTION_TASK_TRIM_PREFIX, op, on, np, nn, 0, limit};
}
static inline execution_task execution_call_middlesnake(int32_t op, int32_t on, int32_t np, int32_t nn,
                                                        int32_t limit) {
    return {EXECUTION_TASK_MIDDLESNAKE, op, on, np, nn, 0, limit};
}
static inline execution_task execution_call_bounded_diff(int32_t op, int32_t on, int32_t np, int32_t nn,
                                                         int32_t scale, int32_t limit) {
    return {EXECUTION_TASK_BOUNDED_DIFF, op, on, np, nn, scale, limit};
}

/* Step forms of the routines: they act on the given stack instead of running
 * their own. */
int execution_diff_step(execution *e, execution_stack *stack, int32_t old_position, int32_t old_length,
                        int32_t new_position, int32_t new_length);
int execution_trim_suffix_step(execution *e, execution_stack *stack, int32_t old_position, int32_t old_length,
                               int32_t new_position, int32_t new_length, int32_t matched, int32_t limit);
int execution_trim_prefix_step(execution *e, execution_stack *stack, int32_t old_position, int32_t old_length,
                               int32_t new_position, int32_t new_length, int32_t limit);
int execution_middlesnake_step(execution *e, execution_stack *stack, int32_t old_position, int32_t old_length,
                               int32_t new_position, int32_t new_length, int32_t limit);
int execution_bail_step(execution *e, execution_stack *stack, int32_t old_position, int32_t old_length,
                        int32_t new_position, int32_t new_length, int32_t corner_old, int32_t corner_new,
                        int32_t limit);
int execution_bounded_diff_step(execution *e, execution_stack *stack, int32_t old_position, int32_t old_length,
                                int32_t new_position, int32_t new_length, int32_t scale, int32_t limit);

/* The furthest forward point (from (0, 0)) and reverse point (from (N, M))
 * in the slots of the last iteration of a search over an N x M window. */
struct execution_points {
    int32_t forward_x, forward_y, reverse_x, reverse_y;
};
execution_points execution_furthest_points(const execution *e, int32_t old_length, int32_t new_length,
                                           int32_t corner_old, int32_t corner_new);

#endif
