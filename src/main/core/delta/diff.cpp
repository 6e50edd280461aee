#include "delta/diff.h"

#include "base/alloc.h"
#include <stdio.h>
#include <string.h>

#include "cbor/cbor_head.h"
#include "delta/bare_reader.h"
#include "delta/exact/edit_script.h"
#include "delta/exact/execution.h"
#include "delta/policy/quality.h"

static const uint8_t NO_CHANGE_DELTA = CBOR_INITIAL_NULL;

buf *_write_no_change_delta(void) {
    buf *out = buf_create();
    if (out == nullptr) return nullptr;
    buf_write_byte(out, NO_CHANGE_DELTA);
    if (out->length != 1) {
        buf_free(out);
        return nullptr;
    }
    return out;
}

static buf *apply_failed(buf *out, diff_apply_error *error, diff_apply_error reason) {
    buf_free(out);
    if (error != nullptr) *error = reason;
    return nullptr;
}

/* Appends n bytes and tells whether they all arrived (buf leaves itself
 * unchanged when it cannot grow). */
static bool append(buf *out, const void *bytes, uint64_t n) {
    const uint64_t before = out->length;
    buf_write_bytes(out, bytes, n);
    return out->length == before + n;
}

/* offset + length <= old length, written so that neither sum can wrap for
 * arguments up to 2^64 - 1. */
static bool copy_in_range(const bare_item &item, const buf *old_value) {
    return item.length <= old_value->length && item.offset <= old_value->length - item.length;
}

/* The length a well-formed delta rebuilds, found by walking its heads
 * without allocating; 0 when the delta is not well formed (the applying pass
 * then reports why). Sizing the output once keeps a large rebuild from
 * reallocating and copying as it grows. */
static uint64_t planned_output_length(const buf *old_value, const buf *delta, delta_poll *poll) {
    bare_reader reader = bare_reader_open(delta->data, delta->length, false);
    uint64_t total = 0, work = 0;
    for (;;) {
        /* A stop shows as "not well formed"; the applying pass then stops too. */
        if (!delta_poll_tick(poll, &work, 1)) return 0;
        bare_item item;
        const bare_read_status status = bare_reader_next(&reader, &item);
        if (status == BARE_READ_END) return total;
        if (status != BARE_READ_ITEM) return 0;
        if (item.kind == BARE_ITEM_COPY && !copy_in_range(item, old_value)) return 0;
        if (item.length > UINT64_MAX - total) return 0;
        total += item.length;
    }
}

static buf *generate(activity_history *history, const buf *old_value, const buf *new_value,
                     uint64_t storage_limit, int32_t bailout_limit, delta_poll *poll) {
    if (old_value == nullptr || new_value == nullptr) return nullptr;
    /* Past 2^31 - 1 bytes the engine's 32-bit lengths would be wrong (negative
     * or truncated), and a delta built on them would be a wrong value. */
    if (old_value->length > DIFF_MAX_VALUE_LENGTH || new_value->length > DIFF_MAX_VALUE_LENGTH)
        return nullptr;

    uint32_t quality = 0;
    if (history != nullptr) {
        corvantis_activity_history_start(history);
        quality = diff_quality_for_utilisation(corvantis_activity_history_utilisation(history));
        history->last_delta_quality = quality;
    }

    edit_script *script = edit_script_create(old_value, new_value);
    if (script == nullptr) {
        corvantis_activity_history_stop(history);
        return nullptr;
    }
    const uint64_t word = quality_pack(quality, bailout_limit);
    const int32_t result = myers_binary_diff_polled(
        old_value, 0, static_cast<int32_t>(old_value->length), new_value, 0,
        static_cast<int32_t>(new_value->length), script, storage_limit, word, poll);
    /* The recorded activity spans the utilisation reading, the script and
     * the search. */
    corvantis_activity_history_stop(history);

    buf *delta = nullptr;
    /* A stopped caller wants no delta, least of all a copy of the new value. */
    const bool stopped = poll != nullptr && poll->stopped;
    switch (stopped ? SCRIPT_RESULT_INVALID_RANGE : result) {
    case SCRIPT_RESULT_EDIT: delta = buf_dup(script->output); break;
    case SCRIPT_RESULT_REPLACE: delta = _write_replacement_delta(new_value); break;
    case SCRIPT_RESULT_NO_CHANGE: delta = _write_no_change_delta(); break;
    default: break;
    }
    /* Only a delta shorter than the new value earns its keep; anything else
     * becomes the replacement delta (already built after result 1). */
    if (delta != nullptr && result != SCRIPT_RESULT_REPLACE && delta->length >= new_value->length) {
        buf_free(delta);
        delta = _write_replacement_delta(new_value);
    }
    edit_script_free(script);
    return delta;
}

extern "C" {

uint32_t diff_quality_for_utilisation(int32_t utilisation) {
    return quality_for_utilisation(utilisation);
}

const char *diff_apply_error_name(int32_t error) {
    switch (error) {
    case DIFF_APPLY_OK: return nullptr;
    case DIFF_APPLY_NULL_ARGUMENT: return DIFF_ERROR_NULL_ARGUMENT;
    case DIFF_APPLY_OUT_OF_MEMORY: return DIFF_ERROR_OUT_OF_MEMORY;
    case DIFF_APPLY_COPY_WITHOUT_LENGTH: return DIFF_ERROR_COPY_WITHOUT_LENGTH;
    case DIFF_APPLY_COPY_OUT_OF_RANGE: return DIFF_ERROR_COPY_OUT_OF_RANGE;
    case DIFF_APPLY_UNREADABLE_ITEM: return DIFF_ERROR_UNREADABLE_ITEM;
    case DIFF_APPLY_UNSUPPORTED_VERSION: return DIFF_ERROR_UNSUPPORTED_VERSION;
    case DIFF_APPLY_DAMAGED_HEADER: return DIFF_ERROR_DAMAGED_HEADER;
    case DIFF_APPLY_WRONG_OLD_LENGTH: return DIFF_ERROR_WRONG_OLD_LENGTH;
    case DIFF_APPLY_WRONG_OLD_CHECKSUM: return DIFF_ERROR_WRONG_OLD_CHECKSUM;
    case DIFF_APPLY_TRUNCATED: return DIFF_ERROR_TRUNCATED;
    case DIFF_APPLY_DAMAGED: return DIFF_ERROR_DAMAGED;
    case DIFF_APPLY_TRAILING_BYTES: return DIFF_ERROR_TRAILING_BYTES;
    case DIFF_APPLY_WRONG_NEW_LENGTH: return DIFF_ERROR_WRONG_NEW_LENGTH;
    case DIFF_APPLY_WRONG_NEW_CHECKSUM: return DIFF_ERROR_WRONG_NEW_CHECKSUM;
    case DIFF_APPLY_STOPPED: return DIFF_ERROR_STOPPED;
    default: return "unknown error";
    }
}

buf *_write_replacement_delta(const buf *value) {
    if (value == nullptr) return nullptr;
    if (value->length > 0 && value->data == nullptr) return nullptr;
    uint8_t head[CBOR_HEAD_MAX_SIZE];
    const uint32_t head_length = cbor_head_write(head, CBOR_MAJOR_BYTES, value->length);
    /* Neither the sum below nor its size_t may wrap. */
    if (value->length > SIZE_MAX - head_length) return nullptr;
    const uint64_t total = head_length + value->length;
    buf *out = buf_create();
    if (out == nullptr) return nullptr;
    /* One block of exactly the delta's size: a large new value is held once
     * more, never twice. */
    out->data = static_cast<uint8_t *>(core_malloc(static_cast<size_t>(total)));
    if (out->data == nullptr) {
        buf_free(out);
        return nullptr;
    }
    memcpy(out->data, head, head_length);
    if (value->length > 0)
        memcpy(out->data + head_length, value->data, static_cast<size_t>(value->length));
    out->length = total;
    out->capacity = total;
    return out;
}

buf *diff_generate_binary_with_activity_history_ex(activity_history *history, const buf *old_value,
                                                   const buf *new_value, uint64_t storage_limit,
                                                   int32_t bailout_limit) {
    return generate(history, old_value, new_value, storage_limit, bailout_limit, nullptr);
}

buf *diff_generate_binary_polled(const buf *old_value, const buf *new_value, delta_poll *poll) {
    return generate(nullptr, old_value, new_value, DIFF_DEFAULT_STORAGE_LIMIT,
                    DIFF_DEFAULT_BAILOUT_LIMIT, poll);
}

buf *diff_generate_binary(const buf *old_value, const buf *new_value) {
    return diff_generate_binary_with_activity_history_ex(
        nullptr, old_value, new_value, DIFF_DEFAULT_STORAGE_LIMIT, DIFF_DEFAULT_BAILOUT_LIMIT);
}

buf *diff_generate_binary_ex(const buf *old_value, const buf *new_value, uint64_t storage_limit,
                             int32_t bailout_limit) {
    return diff_generate_binary_with_activity_history_ex(nullptr, old_value, new_value,
                                                         storage_limit, bailout_limit);
}

buf *diff_generate_binary_with_activity_history(activity_history *history, const buf *old_value,
                                                const buf *new_value) {
    return diff_generate_binary_with_activity_history_ex(
        history, old_value, new_value, DIFF_DEFAULT_STORAGE_LIMIT, DIFF_DEFAULT_BAILOUT_LIMIT);
}

buf *diff_apply_binary_checked(const buf *old_value, const buf *delta, diff_apply_error *error) {
    return diff_apply_binary_polled(old_value, delta, error, nullptr);
}

buf *diff_apply_binary_polled(const buf *old_value, const buf *delta, diff_apply_error *error,
                              delta_poll *poll) {
    if (error != nullptr) *error = DIFF_APPLY_OK;
    if (old_value == nullptr || delta == nullptr) {
        if (error != nullptr) *error = DIFF_APPLY_NULL_ARGUMENT;
        return nullptr;
    }
    if (delta->length == 1 && delta->data[0] == NO_CHANGE_DELTA) {
        /* The no-change delta stands for the old value itself. */
        buf *same = buf_dup(old_value);
        if (same == nullptr && error != nullptr) *error = DIFF_APPLY_OUT_OF_MEMORY;
        return same;
    }

    buf *out = buf_create();
    if (out == nullptr) {
        if (error != nullptr) *error = DIFF_APPLY_OUT_OF_MEMORY;
        return nullptr;
    }
    const uint64_t planned = planned_output_length(old_value, delta, poll);
    if (planned > 0) {
        /* Best effort: without the block the appends grow the buffer. */
        out->data = static_cast<uint8_t *>(core_malloc64(planned));
        out->capacity = out->data != nullptr ? planned : 0;
    }

    bare_reader reader = bare_reader_open(delta->data, delta->length, true);
    uint64_t work = 0;
    for (;;) {
        bare_item item;
        if ((poll != nullptr && poll->stopped) || !delta_poll_tick(poll, &work, 1))
            return apply_failed(out, error, DIFF_APPLY_STOPPED);
        switch (bare_reader_next(&reader, &item)) {
        case BARE_READ_ITEM: break;
        case BARE_READ_END: return out;
        case BARE_READ_COPY_WITHOUT_LENGTH:
            return apply_failed(out, error, DIFF_APPLY_COPY_WITHOUT_LENGTH);
        default: return apply_failed(out, error, DIFF_APPLY_UNREADABLE_ITEM);
        }
        if (item.kind == BARE_ITEM_COPY) {
            if (!copy_in_range(item, old_value))
                return apply_failed(out, error, DIFF_APPLY_COPY_OUT_OF_RANGE);
            if (!append(out, old_value->data + item.offset, item.length))
                return apply_failed(out, error, DIFF_APPLY_OUT_OF_MEMORY);
        } else if (!append(out, item.bytes, item.length)) {
            return apply_failed(out, error, DIFF_APPLY_OUT_OF_MEMORY);
        }
        /* Any item but a copy or an insert (negative integers, containers,
         * tags, simple values, floats, breaks, indefinite-length starts) is
         * read as no bytes: it appends nothing and costs no work. Copying
         * costs about a unit of work per 16 bytes. */
        work += item.length >> 4;
    }
}

buf *diff_apply_binary_ex(const buf *old_value, const buf *delta, const char **error) {
    diff_apply_error reason = DIFF_APPLY_OK;
    buf *out = diff_apply_binary_checked(old_value, delta, &reason);
    if (error != nullptr) *error = diff_apply_error_name(reason);
    return out;
}

buf *diff_apply_binary(const buf *old_value, const buf *delta) {
    return diff_apply_binary_checked(old_value, delta, nullptr);
}
}
