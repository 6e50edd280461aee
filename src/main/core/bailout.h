/* bailout: what a middle-snake search does when its limit runs out.
 *
 * execution_bail splits the window of a search that gave up at its furthest
 * forward and reverse points; execution_bounded_diff decides how much effort
 * the piece between them still deserves: another bounded search, an even
 * split with half the limit, or, once no limit is left, a quarter split. The
 * output is always a valid edit, possibly longer than the minimal one, at a
 * bounded cost. */
#ifndef CORVANTIS_BAILOUT_H
#define CORVANTIS_BAILOUT_H

#include <stdint.h>

#include "corvantis_export.h"
#include "execution.h"

CORVANTIS_EXTERN_C_BEGIN

/* Called at the bail-out point of a search over the given window, with the
 * corners of its last iteration and its current limit, while the storage
 * still holds that iteration's slots. */
CORVANTIS_API int execution_bail(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                                 int32_t new_length, int32_t corner_old, int32_t corner_new, int32_t limit);

/* The window between the two points of a bailed search. `scale` is the old
 * length of the window that bailed out; `ignored` is not used. */
CORVANTIS_API int execution_bounded_diff(execution *e, int32_t old_position, int32_t old_length, int32_t new_position,
                                         int32_t new_length, int32_t scale, int32_t ignored, int32_t limit);

/* A bail-out limit scaled to the input: factor times the cube root estimate
 * of old_length + new_length, divided by 100; never below 256. */
CORVANTIS_API int32_t myers_binary_diff_bailout_limit(int32_t factor, int32_t old_length, int32_t new_length);

/* 2^(b / 3) where b is the bit length of value; 0 for 0 and 2^21 for a
 * negative value. */
CORVANTIS_API uint64_t approx_cube_root(int64_t value);

CORVANTIS_EXTERN_C_END

#endif
