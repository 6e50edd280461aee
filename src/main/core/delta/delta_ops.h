/* delta_ops: the operations a delta engine emits, and the sink it emits into.
 *
 * Engines say what the new value is made of, in new-value order; writers
 * (one per delta format) turn that into bytes. An engine never knows which
 * format it is writing, and a format never knows which engine found its
 * operations. Every operation produces `length` bytes of the new value at
 * the sink's current position, which then moves on by `length`. */
#ifndef CORVANTIS_DELTA_OPS_H
#define CORVANTIS_DELTA_OPS_H

#include <stdint.h>

#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

typedef enum delta_op_kind {
    /* Bytes old[address, address + length). */
    DELTA_OP_COPY_OLD = 0,
    /* Bytes of the new value already produced, starting `address` bytes back
     * (1 or more); may overlap its own output, so a distance of 1 repeats the
     * last byte `length` times. */
    DELTA_OP_COPY_NEW = 1,
    /* The new value's own bytes new[address, address + length); address is
     * always the sink's current position, given so writers need no count. */
    DELTA_OP_INSERT = 2,
    /* Approximate copy: old[address, address + length) plus byte-wise
     * differences (modulo 256) that the writer takes from the new value. */
    DELTA_OP_COPY_DIFF = 3,
} delta_op_kind;

typedef struct delta_op {
    delta_op_kind kind;
    uint64_t address;
    uint64_t length;
} delta_op;

/* What a sink says to each operation. */
typedef enum delta_sink_status {
    DELTA_SINK_STOP = 0,     /* the delta cannot be smaller than the new value: stop */
    DELTA_SINK_CONTINUE = 1, /* go on */
    DELTA_SINK_FAILED = -1,  /* memory ran out or an operation was invalid */
} delta_sink_status;

/* A writer behind a function pointer: `emit` takes one operation (a length of
 * 0 changes nothing), `close` the end of the stream. */
typedef struct delta_op_sink {
    delta_sink_status (*emit)(void *writer, const delta_op *op);
    delta_sink_status (*close)(void *writer);
    void *writer;
} delta_op_sink;

/* Called now and then while an engine works: `done` of `total` new bytes. */
typedef void (*diff_progress_fn)(void *context, uint64_t done, uint64_t total);

/* Asked now and then by long work (both engines, the compact writer, both
 * appliers), every few milliseconds of it at most, so that the caller can
 * end it early: any answer but DELTA_SINK_CONTINUE stops the work, which
 * ends as when a sink stops it (the engines), or fails (the appliers), and
 * sets `stopped` so the caller can tell a stop from any other failure. */
typedef delta_sink_status (*delta_poll_fn)(void *context);

/* A step that cannot be cut short runs on a background job, which a stop
 * leaves to finish on its own (background_job.h). A caller that can keep
 * its inputs readable past its own return gives `hold`: hold(inputs, 1)
 * adds a holder and hold(inputs, 0), called once for each, from any
 * thread, lets go; such a job reads the inputs in place. Without it (null)
 * a job reads only copies of them. */
typedef void (*delta_hold_fn)(void *inputs, int hold);

typedef struct delta_poll {
    delta_poll_fn poll;
    void *context;
    uint8_t stopped; /* set by the work once poll has said stop */
    delta_hold_fn hold;
    void *inputs;
} delta_poll;

/* Units of work between two polls: well under a millisecond of the
 * cheapest unit (a diagonal of a search, an item of an applied delta), tens
 * of milliseconds of the dearest (a scan position that weighs many
 * candidates). */
#define DELTA_POLL_WORK (1u << 16)

/* Adds `work` units to *count and asks the poll each time they reach
 * DELTA_POLL_WORK: 1 to go on, 0 to stop. A null poll costs one test. */
static inline int delta_poll_tick(delta_poll *poll, uint64_t *count, uint64_t work) {
    if (poll == 0) return 1;
    if ((*count += work) < DELTA_POLL_WORK) return 1;
    *count = 0;
    if (poll->poll(poll->context) == DELTA_SINK_CONTINUE) return 1;
    poll->stopped = 1;
    return 0;
}

CORVANTIS_EXTERN_C_END

#endif
