/* compact_streams: the compact writer's last stage, from coded streams to
 * the delta's bytes: the header with its checksums and stream table, then
 * each stream compressed with zstd (the literals against the old value as
 * their prefix) or stored raw when that is not smaller. Literal and
 * difference bytes are read from the two values, range by range, while
 * compressing; they are gathered only for a stream coded on a background
 * job (at the slow levels, when a poll is given), which works on a copy. */
#ifndef CORVANTIS_COMPACT_STREAMS_H
#define CORVANTIS_COMPACT_STREAMS_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "delta/delta_ops.h"

CORVANTIS_EXTERN_C_BEGIN

/* Bytes old[old_start, +length) against new[new_start, +length). */
typedef struct compact_range {
    uint64_t old_start;
    uint64_t new_start;
    uint64_t length;
} compact_range;

typedef struct compact_range_list {
    compact_range *items;
    uint64_t count;
    uint64_t capacity;
    uint64_t total; /* sum of the lengths */
} compact_range_list;

/* What a delta is written from: the two values, the level (1..19), the
 * operations, lengths and addresses streams, the literal ranges (of the new
 * value) and the approximate copies' ranges (their differences). */
typedef struct compact_stream_set {
    const uint8_t *old_data;
    uint64_t old_length;
    const uint8_t *new_data;
    uint64_t new_length;
    int32_t level;
    const buf *small[3];
    const compact_range_list *literals;
    const compact_range_list *diffs;
    delta_poll *poll; /* may be null: asked between pieces of zstd's work */
} compact_stream_set;

/* Whether literals of `literals` bytes, out of a new value of `new_length`,
 * are coded with the old value as zstd's prefix: not when they are 64 KiB
 * or more and over an eighth of the new value. The scan found little in the
 * old value then, so zstd's matches there save a few percent at most, less
 * than an optimal parse of the literals alone saves, which could not afford
 * to index the whole old value. */
static inline bool compact_literals_prefixed(uint64_t literals, uint64_t new_length) {
    return literals < (uint64_t{1} << 16) || literals <= new_length / 8;
}

/* The delta, or null when memory runs out or the poll said stop. */
buf *compact_streams_write(const compact_stream_set *set);

CORVANTIS_EXTERN_C_END

#endif
