/* compact_reader: applies a compact delta, with every check it carries.
 *
 * Order of the checks: the version, the header (truncation, its checksum,
 * stream sizes against the input and the declared new length), the old
 * value's length and checksum, then the streams (each must decode to exactly
 * its declared size), the operations (each inside the old value or the bytes
 * already produced, all together exactly the new length, every stream used
 * up) and last the result's checksum. Nothing is allocated before the header
 * and the old value passed, and the output only once the operations' lengths
 * add up to the new length. No input reads or writes out of bounds. */
#ifndef CORVANTIS_COMPACT_READER_H
#define CORVANTIS_COMPACT_READER_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "delta/compact_format.h"
#include "delta/diff.h"

CORVANTIS_EXTERN_C_BEGIN

typedef struct compact_header {
    uint64_t old_length;
    uint64_t new_length;
    uint64_t old_checksum;
    uint64_t new_checksum;
    uint64_t encoded[COMPACT_STREAM_COUNT];
    uint64_t decoded[COMPACT_STREAM_COUNT];
    int coding[COMPACT_STREAM_COUNT]; /* compact_coding */
    uint32_t checksums_at;            /* offset of the two value checksums */
    uint32_t check_at;                /* offset of the header checksum */
    uint32_t size;                    /* header bytes, its checksum included */
} compact_header;

/* Reads and checks the header of a delta that starts with the signature.
 * DIFF_APPLY_OK, or the first check that failed. */
diff_apply_error compact_header_read(const uint8_t *data, uint64_t length, compact_header *header);

/* The new value, or null and *error (never null) set to why. `poll` may be
 * null; a stop fails with DIFF_APPLY_STOPPED. */
buf *compact_apply(const buf *old_value, const buf *delta, diff_apply_error *error,
                   delta_poll *poll);

CORVANTIS_EXTERN_C_END

#endif
