/* diff_fast: the block-matching delta engine.
 *
 * Writes ordinary deltas (copies and inserts, read by diff_apply_binary),
 * but finds copies anywhere in the old value, in any order: moved, repeated
 * and reordered blocks are copied rather than inserted. The old value is
 * indexed by block fingerprints (block_index); the new value is scanned once,
 * every candidate verified byte by byte and extended forward and backward.
 * Short gaps between two copies whose two sides line up are refined by the
 * exact engine, so small edits cost what diff_generate_binary makes them
 * cost. Literals and copies go through the same writer as the exact
 * engine's (bare_writer).
 *
 * Expected time is linear in the two lengths; each scanned position costs at
 * most a fixed number of candidate checks, whatever the input. Lengths are
 * 64-bit throughout. Deterministic: the same values give the same bytes. */
#ifndef CORVANTIS_DIFF_FAST_H
#define CORVANTIS_DIFF_FAST_H

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "delta/delta_ops.h"

CORVANTIS_EXTERN_C_BEGIN

/* Returns a delta under the same size rule as diff_generate_binary: shorter
 * than the new value, else the replacement delta; the no-change delta F6 for
 * equal values of 2 bytes or more. Null only when an argument is null or
 * memory runs out. */
CORVANTIS_API buf *diff_generate_binary_fast(const buf *old_value, const buf *new_value);

/* As diff_generate_binary_fast, asking `poll` (may be null) as the scan goes
 * on; null, with poll->stopped set, when it said stop. */
CORVANTIS_API buf *diff_generate_binary_fast_polled(const buf *old_value, const buf *new_value,
                                                    delta_poll *poll);

/* The scan alone, for any format: emits the operations that make new_value
 * (copies from old_value and inserts, in new-value order) into sink, then
 * closes it. Applies neither the size rule nor the no-change shortcut.
 * Returns the status that ended the stream: DELTA_SINK_CONTINUE after a
 * complete stream and a successful close, DELTA_SINK_STOP when the sink
 * stopped it, DELTA_SINK_FAILED when an argument is null or memory ran out. */
CORVANTIS_API delta_sink_status diff_fast_emit(const buf *old_value, const buf *new_value,
                                               const delta_op_sink *sink);

/* How far the scan may trade copies for speed. max_step: after long
 * stretches without a match the scan steps by odd amounts growing by 2 every
 * 128 positions, up to this (diff_fast_emit: 7), and then misses copies
 * shorter than about 2^min_shift * max_step bytes there. min_shift: the old
 * value's blocks are at least 2^min_shift bytes apart (diff_fast_emit: 2, or
 * more when the old value is large). refine_max: gaps between copies up to
 * this many bytes on both sides go to the exact engine (diff_fast_emit and
 * the most: 1024); two values that small go to it whole whatever this is. For writers with a search
 * of their own behind the scan, such as the compact one. */
typedef struct diff_fast_tuning {
    uint64_t max_step;
    uint32_t min_shift;
    uint64_t refine_max;
} diff_fast_tuning;

/* diff_fast_emit with the given tuning; DELTA_SINK_FAILED when it is null. */
CORVANTIS_API delta_sink_status diff_fast_emit_tuned(const buf *old_value, const buf *new_value,
                                                     const delta_op_sink *sink,
                                                     const diff_fast_tuning *tuning);
/* diff_fast_emit_tuned, asking `poll` (may be null) as the scan goes on: a
 * stop ends the stream as DELTA_SINK_STOP, unclosed, with poll->stopped set. */
CORVANTIS_API delta_sink_status diff_fast_emit_polled(const buf *old_value, const buf *new_value,
                                                      const delta_op_sink *sink,
                                                      const diff_fast_tuning *tuning,
                                                      delta_poll *poll);

CORVANTIS_EXTERN_C_END

#endif
