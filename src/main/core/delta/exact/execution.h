/* execution: the Myers difference engine.
 *
 * A linear-space form of Myers' O(ND) algorithm over a window of an old and a
 * window of a new byte buffer. It strips the common prefix and suffix, finds a
 * middle snake by searching from both corners in alternation, and diffs the
 * rectangles before and after the snake; a search that runs past its bail-out
 * limit splits its window instead (bailout.h). The only output is a stream of
 * match, insert and delete calls on a coalescing script, in new-value order.
 *
 * Windows are four signed 32-bit integers: old position, old length, new
 * position, new length; positions are absolute offsets into the buffers.
 * Every routine except myers_binary_diff returns 1 to go on and 0 to stop; a
 * 0 (the script or the storage gave up) ends the whole run with no further
 * calls. */
#ifndef CORVANTIS_EXECUTION_H
#define CORVANTIS_EXECUTION_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "delta/delta_ops.h"
#include "delta/exact/coalescing_script.h"
#include "delta/exact/edit_script.h"
#include "delta/exact/storage.h"
#include "delta/policy/quality.h"

CORVANTIS_EXTERN_C_BEGIN

/* Delta qualities carried in the high half of the limit word (the policy's
 * names, kept under the engine's). */
enum {
    EXECUTION_QUALITY_FULL = QUALITY_FULL,
    EXECUTION_QUALITY_TRIM_ONLY = QUALITY_TRIM_ONLY,
};

typedef struct execution {
    const buf *old_value;       /* borrowed */
    const buf *new_value;       /* borrowed */
    coallescing_script *script; /* borrowed: receives every call */
    int32_t limit;              /* bail-out limit of every search */
    storage *storage;           /* owned */
    delta_poll *poll;           /* borrowed, may be null: asked as searches go on */
    uint64_t poll_work;         /* work since the last poll */
} execution;

/* Diffs old[old_start, +old_length) against new[new_start, +new_length)
 * into `script`. The low 32 bits of `storage_limit` bound the search depth
 * (storage.h). `limit_word` carries the bail-out limit in its low half (read
 * as signed) and the delta quality (0 most thorough, 4 prefix and suffix
 * only, 5 or more one iteration per search) in its high half.
 * Returns a script_result: SCRIPT_RESULT_INVALID_RANGE (nothing happened),
 * SCRIPT_RESULT_EDIT (the delta stands in the edit script),
 * SCRIPT_RESULT_REPLACE (the run stopped, memory ran out, or the script asked
 * for it) or SCRIPT_RESULT_NO_CHANGE (the windows are equal). */
CORVANTIS_API int32_t myers_binary_diff(const buf *old_value, int32_t old_start, int32_t old_length,
                                        const buf *new_value, int32_t new_start, int32_t new_length,
                                        edit_script *script, uint64_t storage_limit,
                                        uint64_t limit_word);

/* As myers_binary_diff, with every finished run handed to `sink` (a copy at
 * its old offset, an insert at its new position, both relative to the
 * starts) and the sink closed on success. SCRIPT_RESULT_EDIT then means the
 * sink took the whole stream and its close; a null sink is refused as
 * SCRIPT_RESULT_INVALID_RANGE. */
CORVANTIS_API int32_t myers_binary_diff_emit(const buf *old_value, int32_t old_start,
                                             int32_t old_length, const buf *new_value,
                                             int32_t new_start, int32_t new_length,
                                             const delta_op_sink *sink, uint64_t storage_limit,
                                             uint64_t limit_word);

/* As myers_binary_diff, asking `poll` (may be null) as the searches go on;
 * a stop ends the run as SCRIPT_RESULT_REPLACE with poll->stopped set. */
CORVANTIS_API int32_t myers_binary_diff_polled(const buf *old_value, int32_t old_start,
                                               int32_t old_length, const buf *new_value,
                                               int32_t new_start, int32_t new_length,
                                               edit_script *script, uint64_t storage_limit,
                                               uint64_t limit_word, delta_poll *poll);

/* 1 when start and length are not negative and the window ends within the
 * buffer (a buffer's length is read as a signed 32-bit value); else 0. */
CORVANTIS_API int myers_binary_diff_check_bounds(const buf *buffer, int32_t start, int32_t length);

/* d while d <= length, else 2 * length - d: how far a search of iteration d
 * can reach across a side of the given length. */
CORVANTIS_API int32_t myers_binary_diff_corner(int32_t iteration, int32_t length);

/* Returns a new record (null when memory runs out; `storage` is null when
 * only the storage could not be had). */
CORVANTIS_API execution *execution_create(const buf *old_value, const buf *new_value,
                                          coallescing_script *script, uint32_t storage_limit,
                                          int32_t limit);
CORVANTIS_API void execution_free(execution *e);

/* Common prefix, then the rest of the window. `limit` is the record's limit;
 * the routine uses the record's own. */
CORVANTIS_API int execution_diff(execution *e, int32_t old_position, int32_t old_length,
                                 int32_t new_position, int32_t new_length, int32_t limit);
/* Quality 4: common prefix and suffix, and the middle replaced whole. */
CORVANTIS_API int execution_trim_prefix_and_suffix(execution *e, int32_t old_position,
                                                   int32_t old_length, int32_t new_position,
                                                   int32_t new_length);
/* A window whose first `matched` bytes the caller has already matched:
 * strips the common suffix, diffs the core and matches the suffix. */
CORVANTIS_API int execution_trim_suffix(execution *e, int32_t old_position, int32_t old_length,
                                        int32_t new_position, int32_t new_length, int32_t matched,
                                        int32_t limit);
/* Matches the common prefix and diffs the rest; no suffix is stripped. */
CORVANTIS_API int execution_trim_prefix(execution *e, int32_t old_position, int32_t old_length,
                                        int32_t new_position, int32_t new_length, int32_t limit);
/* Middle-snake search over a window with both lengths at least 1. */
CORVANTIS_API int execution_middlesnake(execution *e, int32_t old_position, int32_t old_length,
                                        int32_t new_position, int32_t new_length, int32_t limit);
/* The step around a middle snake from x = snake_start to x = snake_end on
 * diagonal k = y - x: the rectangle before it, the snake, the rectangle
 * after it. */
CORVANTIS_API int execution_recurse(execution *e, int32_t old_position, int32_t old_length,
                                    int32_t new_position, int32_t new_length, int32_t snake_start,
                                    int32_t snake_end, int32_t diagonal);

/* Called at the bail-out point of a search over the given window, with the
 * corners of its last iteration and its current limit, while the storage
 * still holds that iteration's slots: diffs the window split as bailout_split
 * decides. */
CORVANTIS_API int execution_bail(execution *e, int32_t old_position, int32_t old_length,
                                 int32_t new_position, int32_t new_length, int32_t corner_old,
                                 int32_t corner_new, int32_t limit);
/* The window between the two points of a bailed search, with the effort
 * bailout_bounded gives it. `scale` is the old length of the window that
 * bailed out; `ignored` is not used. */
CORVANTIS_API int execution_bounded_diff(execution *e, int32_t old_position, int32_t old_length,
                                         int32_t new_position, int32_t new_length, int32_t scale,
                                         int32_t ignored, int32_t limit);

/* Number of leading equal bytes of a[0, n) and b[0, n); 0 when n < 1. */
CORVANTIS_API int32_t _execution_common_prefix(const uint8_t *a, const uint8_t *b, int32_t n);
/* Number of equal bytes directly before a_end and b_end, at most n. */
CORVANTIS_API int32_t _execution_common_suffix(const uint8_t *a_end, const uint8_t *b_end,
                                               int32_t n);

CORVANTIS_EXTERN_C_END

#endif
