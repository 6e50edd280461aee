/* bare_writer: the writer of bare deltas, a CBOR sequence of copy and insert items.
 *
 * It holds at most one pending insert and one pending copy, turns short copies
 * into literal bytes where that encodes smaller (edit_rule), and keeps a byte
 * budget (the new value's length) so that a delta that could not be shorter
 * than the new value is abandoned as soon as that is certain. Offsets, lengths
 * and the budget are 64-bit; how wide a head is charged is the caller's rule.
 * Every finished item is encoded into `output`, or, when `next` is set, handed
 * to that sink instead (with the same costs charged), so the same rules can sit
 * in front of another writer. The edit script is this writer behind its own
 * 32-bit record; the block-matching engine uses it through its sink. */
#ifndef CORVANTIS_BARE_WRITER_H
#define CORVANTIS_BARE_WRITER_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "delta/delta_ops.h"

CORVANTIS_EXTERN_C_BEGIN

/* Encoded size of a head whose argument is n. */
typedef int32_t (*bare_writer_head_fn)(int64_t argument);

typedef struct bare_writer {
    uint64_t insert_offset; /* start of the pending literal in the new value */
    uint64_t insert_length;
    uint64_t copy_offset; /* offset of the pending copy in the old value */
    uint64_t copy_length;
    uint8_t insert_pending;
    uint8_t copy_pending;
    uint8_t failed;    /* set when an item could not be stored (memory, or next refused it) */
    int64_t budget;    /* bytes left before the delta is no smaller than new */
    uint64_t position; /* where the sink's next operation lands in the new value */
    bare_writer_head_fn head;
    const buf *new_value;      /* borrowed, source of every literal byte */
    buf *output;               /* owned (null while `next` is set): the delta written so far */
    const delta_op_sink *next; /* borrowed; null: items are encoded into output */
} bare_writer;

/* A writer over new_value with a budget of its length (null when an
 * allocation fails or an argument is null). With `next` set, finished items
 * go there and no output is allocated. */
CORVANTIS_API bare_writer *bare_writer_create(const buf *new_value, bare_writer_head_fn head,
                                              const delta_op_sink *next);
CORVANTIS_API void bare_writer_free(bare_writer *writer);

/* The pending-item rules. Each returns 1 to go on and 0 once the budget is
 * exhausted or an item cannot be written (a literal outside the new value,
 * memory); after a 0 the writer is abandoned. Lengths of 0 change nothing. */
CORVANTIS_API int bare_writer_match(bare_writer *writer, uint64_t old_offset, uint64_t length);
CORVANTIS_API int bare_writer_insert(bare_writer *writer, uint64_t new_offset, uint64_t length);
/* Writes the pending insert, then the pending copy. */
CORVANTIS_API int bare_writer_flush(bare_writer *writer);

/* The writer as a sink: copies from the old value and inserts, answered
 * DELTA_SINK_STOP once the budget is exhausted. The bare format cannot say
 * COPY_NEW or COPY_DIFF, and an insert must start at the writer's position:
 * anything else is DELTA_SINK_FAILED, as is an item that could not be stored. */
CORVANTIS_API delta_op_sink bare_writer_sink(bare_writer *writer);

/* True size of the CBOR head whose argument is n: 1, 2, 3, 5 or 9 bytes. */
CORVANTIS_API int32_t bare_writer_head_size(int64_t n);

CORVANTIS_EXTERN_C_END

#endif
