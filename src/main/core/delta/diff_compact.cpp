#include "delta/diff_compact.h"

#include <string.h>

#include "delta/compact_format.h"
#include "delta/compact_reader.h"
#include "delta/compact_writer.h"
#include "delta/fast/diff_fast.h"

/* A delta larger than the new value by more than this is replaced by the
 * one that inserts it whole, which is not for new values below 2^28 bytes:
 * a header of at most 58 bytes, one operation byte and a 4-byte length. */
static const uint64_t INSERT_ALL_SLACK = 64;
/* The scan may miss short copies: the writer drops those from afar anyway
 * (they cost more than zstd spends on them among the literals), and its
 * approximate search and zstd's matches against the old value look at the
 * literals again. Wide steps over unrelated stretches keep unrelated data
 * fast; blocks of 8 bytes or more halve the index's cost on values below
 * 32 MiB for a tenth of a percent of the delta (16 would cost a percent).
 * Gaps between copies are not handed to the exact engine: the writer's
 * diagonal extensions cover the same small edits, and in machine code the
 * engine took a third of the time for nothing. */
static const diff_fast_tuning COMPACT_SCAN = {31, 3, 0};

/* The delta of one operation list: the scan's, or (scan false) a single
 * insert of the whole new value. */
static buf *write_delta(const buf *old_value, const buf *new_value, int32_t level,
                        diff_progress_fn progress, void *context, delta_poll *poll, bool scan) {
    compact_writer *writer =
        compact_writer_create(old_value, new_value, level, progress, context, poll);
    if (writer == nullptr) return nullptr;
    const delta_op_sink sink = compact_writer_sink(writer);
    delta_sink_status status;
    const bool same = old_value->length == new_value->length &&
                      (new_value->length == 0 ||
                       memcmp(old_value->data, new_value->data, new_value->length) == 0);
    if (scan && !same && old_value->length > 0 && new_value->length > 0) {
        status = diff_fast_emit_polled(old_value, new_value, &sink, &COMPACT_SCAN, poll);
    } else {
        /* Equal values are one copy (which the writer drops: the header
         * alone stands for them); anything else one insert. */
        const delta_op op = same ? delta_op{DELTA_OP_COPY_OLD, 0, new_value->length}
                                 : delta_op{DELTA_OP_INSERT, 0, new_value->length};
        status = sink.emit(sink.writer, &op);
        if (status == DELTA_SINK_CONTINUE) status = sink.close(sink.writer);
    }
    buf *delta = status == DELTA_SINK_CONTINUE ? compact_writer_finish(writer) : nullptr;
    compact_writer_free(writer);
    return delta;
}

extern "C" {

buf *diff_generate_compact_ex(const buf *old_value, const buf *new_value, int32_t level,
                              diff_progress_fn progress, void *context) {
    return diff_generate_compact_polled(old_value, new_value, level, progress, context, nullptr);
}

buf *diff_generate_compact_polled(const buf *old_value, const buf *new_value, int32_t level,
                                  diff_progress_fn progress, void *context, delta_poll *poll) {
    if (old_value == nullptr || new_value == nullptr) return nullptr;
    if (level < DIFF_COMPACT_LEVEL_MIN || level > DIFF_COMPACT_LEVEL_MAX) return nullptr;
    if ((old_value->length > 0 && old_value->data == nullptr) ||
        (new_value->length > 0 && new_value->data == nullptr))
        return nullptr;
    buf *delta = write_delta(old_value, new_value, level, progress, context, poll, true);
    if (delta != nullptr && delta->length > new_value->length + INSERT_ALL_SLACK) {
        buf *whole = write_delta(old_value, new_value, level, nullptr, nullptr, poll, false);
        if (whole != nullptr && whole->length < delta->length) {
            buf_free(delta);
            delta = whole;
        } else {
            buf_free(whole);
        }
    }
    if (poll != nullptr && poll->stopped) {
        buf_free(delta);
        return nullptr;
    }
    if (delta != nullptr && progress != nullptr)
        progress(context, new_value->length, new_value->length);
    return delta;
}

buf *diff_generate_compact(const buf *old_value, const buf *new_value, int32_t level) {
    return diff_generate_compact_ex(old_value, new_value, level, nullptr, nullptr);
}

int diff_is_compact(const uint8_t *data, uint64_t length) {
    return data != nullptr && length >= sizeof COMPACT_SIGNATURE &&
           memcmp(data, COMPACT_SIGNATURE, sizeof COMPACT_SIGNATURE) == 0;
}

buf *diff_apply(const buf *old_value, const buf *delta, diff_apply_error *error) {
    return diff_apply_polled(old_value, delta, error, nullptr);
}

buf *diff_apply_polled(const buf *old_value, const buf *delta, diff_apply_error *error,
                       delta_poll *poll) {
    diff_apply_error ignored;
    if (error == nullptr) error = &ignored;
    *error = DIFF_APPLY_OK;
    if (old_value == nullptr || delta == nullptr) {
        *error = DIFF_APPLY_NULL_ARGUMENT;
        return nullptr;
    }
    if (!diff_is_compact(delta->data, delta->length))
        return diff_apply_binary_polled(old_value, delta, error, poll);
    return compact_apply(old_value, delta, error, poll);
}
}
