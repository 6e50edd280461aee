/* compact_writer: the op sink that writes a compact delta.
 *
 * Takes an engine's operations in new-value order and improves them before
 * coding: a literal next to a copy becomes an approximate copy where the old
 * bytes along that copy's diagonal mostly agree with it (bsdiff's insight:
 * moved code differs from its old self in a few address bytes), copies along
 * one diagonal with short differences between them merge into one, and runs
 * inside literals become copies from the new bytes just written. The result
 * goes into separate streams, each compressed with zstd or stored raw.
 *
 * Memory beyond the two values and the delta: the three small streams (a few
 * bytes per operation), the literal and difference ranges (never their
 * bytes: those are read from the values while compressing), and zstd's own. */
#ifndef CORVANTIS_COMPACT_WRITER_H
#define CORVANTIS_COMPACT_WRITER_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "delta/delta_ops.h"

CORVANTIS_EXTERN_C_BEGIN

typedef struct compact_writer compact_writer;

/* A writer for the delta from old_value to new_value (both held by the
 * caller until compact_writer_finish returns); null when memory runs out.
 * `level` is 1..19; progress and poll may be null. A stop of the poll fails
 * the writer (DELTA_SINK_FAILED, then a null delta). */
compact_writer *compact_writer_create(const buf *old_value, const buf *new_value, int32_t level,
                                      diff_progress_fn progress, void *context, delta_poll *poll);
void compact_writer_free(compact_writer *writer);

/* The sink an engine emits into. */
delta_op_sink compact_writer_sink(compact_writer *writer);

/* The delta, after the sink was closed on a complete stream of operations;
 * null when memory ran out or the operations did not make the new value. */
buf *compact_writer_finish(compact_writer *writer);

CORVANTIS_EXTERN_C_END

#endif
