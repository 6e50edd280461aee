/* diff_compact: the compact, self-checking delta format.
 *
 * A compact delta starts with a signature that the bare-delta reader refuses
 * (so it is never misread as a bare delta), then a version byte, the lengths
 * and XXH3-64 checksums of the old and new values, and the operations in
 * separate streams (operations, lengths, addresses, literal bytes), each
 * entropy-coded with zstd or stored raw. Copies come from the old value or
 * from the new bytes already produced, and may carry byte differences.
 * docs/delta-format.md describes it byte by byte.
 *
 * Every function returns a new buf owned by the caller (buf_free), or null. */
#ifndef CORVANTIS_DIFF_COMPACT_H
#define CORVANTIS_DIFF_COMPACT_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "delta/delta_ops.h"
#include "delta/diff.h"

CORVANTIS_EXTERN_C_BEGIN

#define DIFF_COMPACT_LEVEL_MIN 1
#define DIFF_COMPACT_LEVEL_MAX 19
#define DIFF_COMPACT_LEVEL_DEFAULT 3

/* A compact delta from old_value to new_value; level 1 (fastest) to 19
 * (smallest). Null when an argument is null, the level is out of range, or
 * memory runs out. Lengths are 64-bit. */
CORVANTIS_API buf *diff_generate_compact(const buf *old_value, const buf *new_value, int32_t level);
CORVANTIS_API buf *diff_generate_compact_ex(const buf *old_value, const buf *new_value,
                                            int32_t level, diff_progress_fn progress,
                                            void *context);

/* As diff_generate_compact_ex, asking `poll` (may be null) as the work goes
 * on; null, with poll->stopped set, when it said stop. */
CORVANTIS_API buf *diff_generate_compact_polled(const buf *old_value, const buf *new_value,
                                                int32_t level, diff_progress_fn progress,
                                                void *context, delta_poll *poll);

/* True when data starts with the compact signature. */
CORVANTIS_API int diff_is_compact(const uint8_t *data, uint64_t length);

/* Applies a delta of either format, told apart by the signature: a bare
 * delta exactly as diff_apply_binary_checked does, a compact one with all of
 * its checks. Returns the new value, or null with *error (when not null) set
 * to why; DIFF_APPLY_OK on success. */
CORVANTIS_API buf *diff_apply(const buf *old_value, const buf *delta, diff_apply_error *error);
/* As diff_apply, asking `poll` (may be null) as the work goes on: a stop
 * fails with DIFF_APPLY_STOPPED. */
CORVANTIS_API buf *diff_apply_polled(const buf *old_value, const buf *delta,
                                     diff_apply_error *error, delta_poll *poll);

CORVANTIS_EXTERN_C_END

#endif
