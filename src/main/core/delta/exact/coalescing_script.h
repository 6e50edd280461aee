/* coalescing_script: the engine's only output channel.
 *
 * Joins consecutive events of one kind into a run and hands each finished run
 * to the edit script, or, when a sink is set, to that sink as a copy or an
 * insert. The record lives in the frame of myers_binary_diff,
 * which fills its fields directly; it has no create or free. Calls arrive in
 * new-value order. A 0 from match, insert or delete means the delta cannot be
 * smaller than the new value and the engine must stop at once. */
#ifndef CORVANTIS_COALESCING_SCRIPT_H
#define CORVANTIS_COALESCING_SCRIPT_H

#include <stdint.h>

#include "base/corvantis_export.h"
#include "delta/delta_ops.h"
#include "delta/exact/edit_script.h"

CORVANTIS_EXTERN_C_BEGIN

enum {
    COALESCING_RUN_INSERT = 0,
    COALESCING_RUN_COPY = 1,
    COALESCING_RUN_NONE = 2,
};

typedef struct coallescing_script {
    edit_script *script; /* borrowed */
    uint32_t old_origin; /* subtracted from every copy position */
    uint32_t new_origin; /* subtracted from every insert position */
    uint32_t run_kind;   /* COALESCING_RUN_* */
    uint32_t run_start;
    uint32_t run_length;
    uint8_t untouched;         /* set until the first run reaches the edit script */
    const delta_op_sink *sink; /* borrowed; null: the runs go to the edit script */
} coallescing_script;

/* What a finished run of the engine left behind: the result of
 * coallescing_script_close and of myers_binary_diff. */
typedef enum script_result {
    SCRIPT_RESULT_INVALID_RANGE = -1, /* a window lies outside its value; nothing ran */
    SCRIPT_RESULT_EDIT = 0,           /* an edit delta stands in the edit script's output */
    SCRIPT_RESULT_REPLACE = 1,        /* a replacement delta is needed */
    SCRIPT_RESULT_NO_CHANGE = 2,      /* the new value equals the old one */
} script_result;

/* A short lower-case name of a result ("edit", "replace", "no change",
 * "invalid range"), or "unknown" for any other number. */
CORVANTIS_API const char *script_result_name(int32_t result);

CORVANTIS_API int coallescing_script_match(coallescing_script *script, int32_t old_position,
                                           int32_t length);
CORVANTIS_API int coallescing_script_insert(coallescing_script *script, int32_t new_position,
                                            int32_t length);
CORVANTIS_API int coallescing_script_delete(coallescing_script *script);
/* SCRIPT_RESULT_EDIT, _REPLACE or _NO_CHANGE. */
CORVANTIS_API int coallescing_script_close(coallescing_script *script, int32_t old_length,
                                           int32_t new_length);
CORVANTIS_API int coallescing_script_flush(coallescing_script *script);

/* Test seam: while an observer is set, every match, insert, delete and
 * close goes to it instead (kind 'M', 'I', 'D' or 'C'; a and b are the
 * call's two numbers, 0 for delete) and its answer is returned, so a test
 * sees the engine's exact calls. Null restores the script. Not for use
 * outside the tests: it is process-wide and unsynchronised. */
typedef int (*coallescing_script_observer)(void *context, char kind, int32_t a, int32_t b);
void coallescing_script_observe(coallescing_script_observer observer, void *context);

CORVANTIS_EXTERN_C_END

#endif
