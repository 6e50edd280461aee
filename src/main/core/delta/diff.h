/* diff: the delta front door.
 *
 * A delta is a CBOR sequence of copies (two unsigned integers: offset in the
 * old value, then length) and inserts (one byte string). Generation returns
 * one of three kinds: an edit delta strictly shorter than the new value, the
 * replacement delta (one byte string holding the whole new value) or the
 * no-change delta (the single byte F6, for equal values of 2 bytes or more).
 *
 * Every function returns a new buf owned by the caller (buf_free), or null. */
#ifndef CORVANTIS_DIFF_H
#define CORVANTIS_DIFF_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "delta/delta_ops.h"
#include "delta/policy/activity_history.h"
#include "delta/policy/quality.h"

CORVANTIS_EXTERN_C_BEGIN

#define DIFF_DEFAULT_STORAGE_LIMIT 2147483647
/* The largest value the exact engine takes, in bytes: it counts positions in
 * signed 32 bits. The module and the tool refuse longer values with it. */
#define DIFF_MAX_VALUE_LENGTH 2147483647
#define DIFF_DEFAULT_BAILOUT_LIMIT 10000

/* Utilisation thresholds (256ths of the history's window) at which the delta
 * quality steps from 0 up to 4; the quality policy holds the table. */
#define DIFF_QUALITY_1_UTILISATION QUALITY_1_UTILISATION
#define DIFF_QUALITY_2_UTILISATION QUALITY_2_UTILISATION
#define DIFF_QUALITY_3_UTILISATION QUALITY_3_UTILISATION
#define DIFF_QUALITY_4_UTILISATION QUALITY_4_UTILISATION

/* Generation. Returns null when a value is 2^31 bytes or longer, when an
 * argument is null, or when memory runs out; otherwise a delta. The history
 * may be null (quality 0); when given it is started before and stopped after
 * the search, and its last delta quality is set. */
CORVANTIS_API buf *diff_generate_binary(const buf *old_value, const buf *new_value);
CORVANTIS_API buf *diff_generate_binary_ex(const buf *old_value, const buf *new_value,
                                           uint64_t storage_limit, int32_t bailout_limit);
CORVANTIS_API buf *diff_generate_binary_with_activity_history(activity_history *history,
                                                              const buf *old_value,
                                                              const buf *new_value);
CORVANTIS_API buf *diff_generate_binary_with_activity_history_ex(activity_history *history,
                                                                 const buf *old_value,
                                                                 const buf *new_value,
                                                                 uint64_t storage_limit,
                                                                 int32_t bailout_limit);

/* As diff_generate_binary, asking `poll` (may be null) as the search goes
 * on; null, with poll->stopped set, when it said stop. */
CORVANTIS_API buf *diff_generate_binary_polled(const buf *old_value, const buf *new_value,
                                               delta_poll *poll);

/* Delta quality (0 to 4) for a utilisation in 256ths. */
CORVANTIS_API uint32_t diff_quality_for_utilisation(int32_t utilisation);

/* Application. Returns the new value, or null when the delta is malformed
 * (a copy offset without a length, a copy outside the old value, an item that
 * cannot be read), when an argument is null, or when memory runs out. The
 * no-change delta F6 gives a copy of the old value. */
CORVANTIS_API buf *diff_apply_binary(const buf *old_value, const buf *delta);

/* Why an application failed. */
typedef enum diff_apply_error {
    DIFF_APPLY_OK = 0,
    DIFF_APPLY_NULL_ARGUMENT,
    DIFF_APPLY_OUT_OF_MEMORY,
    DIFF_APPLY_COPY_WITHOUT_LENGTH,
    DIFF_APPLY_COPY_OUT_OF_RANGE,
    DIFF_APPLY_UNREADABLE_ITEM,
    /* Compact deltas only: the checks a compact delta carries. */
    DIFF_APPLY_UNSUPPORTED_VERSION,
    DIFF_APPLY_DAMAGED_HEADER,
    DIFF_APPLY_WRONG_OLD_LENGTH,
    DIFF_APPLY_WRONG_OLD_CHECKSUM,
    DIFF_APPLY_TRUNCATED,
    DIFF_APPLY_DAMAGED,
    DIFF_APPLY_TRAILING_BYTES,
    DIFF_APPLY_WRONG_NEW_LENGTH,
    DIFF_APPLY_WRONG_NEW_CHECKSUM,
    /* The caller's poll said stop (delta_ops.h). */
    DIFF_APPLY_STOPPED,
} diff_apply_error;

/* The message of an error: the matching DIFF_ERROR_* text, null for
 * DIFF_APPLY_OK, "unknown error" for any other number. */
CORVANTIS_API const char *diff_apply_error_name(int32_t error);

/* As diff_apply_binary; when error is not null, *error is set to why it
 * failed, or to DIFF_APPLY_OK on success. */
CORVANTIS_API buf *diff_apply_binary_checked(const buf *old_value, const buf *delta,
                                             diff_apply_error *error);

/* As diff_apply_binary_checked, asking `poll` (may be null) every few
 * thousand items: a stop fails with DIFF_APPLY_STOPPED. */
CORVANTIS_API buf *diff_apply_binary_polled(const buf *old_value, const buf *delta,
                                            diff_apply_error *error, delta_poll *poll);

/* As diff_apply_binary; on failure, when error is not null, *error is set to
 * a static message saying what went wrong (one of the DIFF_ERROR_* texts).
 * On success *error is set to null. */
CORVANTIS_API buf *diff_apply_binary_ex(const buf *old_value, const buf *delta, const char **error);

#define DIFF_ERROR_NULL_ARGUMENT "delta or old value missing"
#define DIFF_ERROR_OUT_OF_MEMORY "out of memory while applying the delta"
#define DIFF_ERROR_COPY_WITHOUT_LENGTH "malformed delta: copy offset without a length"
#define DIFF_ERROR_COPY_OUT_OF_RANGE "malformed delta: copy outside the old value"
#define DIFF_ERROR_UNREADABLE_ITEM "malformed delta: truncated or unreadable item"
#define DIFF_ERROR_UNSUPPORTED_VERSION "compact delta: unsupported format version"
#define DIFF_ERROR_DAMAGED_HEADER "compact delta: damaged header (header checksum mismatch)"
#define DIFF_ERROR_WRONG_OLD_LENGTH "compact delta: the old value has the wrong length"
#define DIFF_ERROR_WRONG_OLD_CHECKSUM "compact delta: the old value's checksum does not match"
#define DIFF_ERROR_TRUNCATED "compact delta: truncated"
#define DIFF_ERROR_DAMAGED "compact delta: damaged (a stream does not decode as declared)"
#define DIFF_ERROR_TRAILING_BYTES "compact delta: trailing bytes after the delta"
#define DIFF_ERROR_WRONG_NEW_LENGTH "compact delta: the result has the wrong length"
#define DIFF_ERROR_WRONG_NEW_CHECKSUM "compact delta: the result's checksum does not match"
#define DIFF_ERROR_STOPPED "stopped by the caller"

/* The replacement delta of any value: one CBOR byte string of all its bytes.
 * Null when the value is null or memory runs out. */
CORVANTIS_API buf *_write_replacement_delta(const buf *value);

/* The no-change delta: a new buf holding the single byte F6. Null when memory
 * runs out. */
CORVANTIS_API buf *_write_no_change_delta(void);

CORVANTIS_EXTERN_C_END

#endif
