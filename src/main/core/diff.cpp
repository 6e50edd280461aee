#include "diff.h"

#include "alloc.h"
#include <stdio.h>
#include <string.h>

#include "cbor_head.h"
#include "edit_script.h"
#include "execution.h"
#include "quality.h"

/* The engine and the edit script count in signed 32 bits. */
static const uint64_t MAX_VALUE_LENGTH = 0x7FFFFFFFu;

static const uint8_t NO_CHANGE_DELTA = 0xF6;

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

/* One delta item, read without copying: its head and, for a definite
 * string, where its bytes lie in the delta. */
typedef struct delta_item {
    cbor_head head;
    const uint8_t *bytes;
} delta_item;

/* Reads the item at data[*pos] the way the CBOR parser consumes it: a tag
 * takes its initial byte only (its number comes back as the next item), F8
 * and E0 to F3 are reported as unimplemented and take one byte, a head with
 * reserved additional information takes one byte. False when the item is
 * cut short or a string announces more bytes than are left. `report` is
 * false for the sizing walk, so each message is written once. */
static bool read_item(const uint8_t *data, uint64_t length, uint64_t *pos, delta_item *item, bool report) {
    const uint8_t *at = data + *pos;
    const uint64_t left = length - *pos;
    int32_t n;
    if ((*at >> 5) == 6 || *at == 0xF8) n = cbor_head_read_sized(at, left, 0, &item->head);
    else n = cbor_head_read(at, left, &item->head);
    if (n < 0) return false;
    if (report && item->head.major == 7 && (item->head.info < 20 || item->head.info == 24))
        fprintf(stderr, "Unimplemented CBOR code: %02x\n", static_cast<unsigned>(item->head.initial));
    *pos += static_cast<uint64_t>(n);
    item->bytes = nullptr;
    if ((item->head.major == 2 || item->head.major == 3) && item->head.info < 28) {
        if (item->head.argument > length - *pos) return false;
        item->bytes = data + *pos;
        *pos += item->head.argument;
    }
    return true;
}

/* Reserved additional information (28 to 30, and 31 where no indefinite
 * form exists) leaves an integer without a value and a string without a
 * length: such an item is ill-formed, and guessing would give a wrong value. */
static bool is_ill_formed(const cbor_head *head) {
    switch (head->major) {
    case 0: return head->info >= 28;
    case 2:
    case 3: return head->info >= 28 && head->info <= 30;
    default: return false;
    }
}

static buf *apply_failed(buf *out, diff_apply_error *error, diff_apply_error reason) {
    buf_free(out);
    if (error != nullptr) *error = reason;
    return nullptr;
}

/* Appends n bytes and tells whether they all arrived (buf leaves itself
 * unchanged when it cannot grow). */
static bool append(buf *out, const void *bytes, uint64_t n) {
    if (n == 0) return true;
    const uint64_t before = out->length;
    buf_write_bytes(out, bytes, n);
    return out->length == before + n;
}

/* The length a well-formed delta rebuilds, found by walking its heads
 * without allocating; 0 when the delta is not well formed (the applying pass
 * then reports why). Sizing the output once keeps a large rebuild from
 * reallocating and copying as it grows. */
static uint64_t planned_output_length(const buf *old_value, const buf *delta) {
    const uint8_t *data = delta->data;
    const uint64_t length = delta->length;
    uint64_t pos = 0, total = 0;
    bool offset_pending = false;
    uint64_t offset = 0;
    while (pos < length) {
        delta_item item;
        if (!read_item(data, length, &pos, &item, false) || is_ill_formed(&item.head)) return 0;
        uint64_t added = 0;
        if (offset_pending) {
            if (item.head.major != 0) return 0;
            const uint64_t argument = item.head.argument;
            if (argument > old_value->length || offset > old_value->length - argument) return 0;
            added = argument;
            offset_pending = false;
        } else if (item.head.major == 0) {
            offset = item.head.argument;
            offset_pending = true;
        } else if (item.bytes != nullptr) {
            added = item.head.argument;
        }
        if (added > UINT64_MAX - total) return 0;
        total += added;
    }
    return offset_pending ? 0 : total;
}

extern "C" {

uint32_t diff_quality_for_utilisation(int32_t utilisation) { return quality_for_utilisation(utilisation); }

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
    default: return "unknown error";
    }
}

buf *_write_replacement_delta(const buf *value) {
    if (value == nullptr) return nullptr;
    if (value->length > 0 && value->data == nullptr) return nullptr;
    uint8_t head[CBOR_HEAD_MAX_SIZE];
    const uint32_t head_length = cbor_head_write(head, 2, value->length);
    const uint64_t total = head_length + value->length;
    if (total < value->length || total > SIZE_MAX) return nullptr;
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
    if (value->length > 0) memcpy(out->data + head_length, value->data, static_cast<size_t>(value->length));
    out->length = total;
    out->capacity = total;
    return out;
}

buf *diff_generate_binary_with_activity_history_ex(activity_history *history, const buf *old_value,
                                                   const buf *new_value, uint64_t storage_limit,
                                                   int32_t bailout_limit) {
    if (old_value == nullptr || new_value == nullptr) return nullptr;
    /* Past 2^31 - 1 bytes the engine's 32-bit lengths would be wrong (negative
     * or truncated), and a delta built on them would be a wrong value. */
    if (old_value->length > MAX_VALUE_LENGTH || new_value->length > MAX_VALUE_LENGTH) return nullptr;

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
    const int32_t result = myers_binary_diff(old_value, 0, static_cast<int32_t>(old_value->length), new_value, 0,
                                             static_cast<int32_t>(new_value->length), script, storage_limit, word);
    /* The recorded activity spans the utilisation reading, the script and
     * the search. */
    corvantis_activity_history_stop(history);

    buf *delta = nullptr;
    switch (result) {
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

buf *diff_generate_binary(const buf *old_value, const buf *new_value) {
    return diff_generate_binary_with_activity_history_ex(nullptr, old_value, new_value, DIFF_DEFAULT_STORAGE_LIMIT,
                                                         DIFF_DEFAULT_BAILOUT_LIMIT);
}

buf *diff_generate_binary_ex(const buf *old_value, const buf *new_value, uint64_t storage_limit,
                             int32_t bailout_limit) {
    return diff_generate_binary_with_activity_history_ex(nullptr, old_value, new_value, storage_limit,
                                                         bailout_limit);
}

buf *diff_generate_binary_with_activity_history(activity_history *history, const buf *old_value,
                                                const buf *new_value) {
    return diff_generate_binary_with_activity_history_ex(history, old_value, new_value, DIFF_DEFAULT_STORAGE_LIMIT,
                                                         DIFF_DEFAULT_BAILOUT_LIMIT);
}

buf *diff_apply_binary_checked(const buf *old_value, const buf *delta, diff_apply_error *error) {
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
    const uint64_t planned = planned_output_length(old_value, delta);
    if (planned > 0 && planned <= SIZE_MAX) {
        /* Best effort: without the block the appends grow the buffer. */
        out->data = static_cast<uint8_t *>(core_malloc(static_cast<size_t>(planned)));
        out->capacity = out->data != nullptr ? planned : 0;
    }

    const uint8_t *data = delta->data;
    const uint64_t length = delta->length;
    uint64_t pos = 0;
    while (pos < length) {
        delta_item item;
        if (!read_item(data, length, &pos, &item, true) || is_ill_formed(&item.head))
            return apply_failed(out, error, DIFF_APPLY_UNREADABLE_ITEM);

        if (item.head.major == 0) {
            const uint64_t offset = item.head.argument;
            if (pos >= length) return apply_failed(out, error, DIFF_APPLY_COPY_WITHOUT_LENGTH);
            if (!read_item(data, length, &pos, &item, true) || is_ill_formed(&item.head))
                return apply_failed(out, error, DIFF_APPLY_UNREADABLE_ITEM);
            if (item.head.major != 0) return apply_failed(out, error, DIFF_APPLY_COPY_WITHOUT_LENGTH);
            const uint64_t copy_length = item.head.argument;
            /* offset + length <= old length, written so that neither sum can
             * wrap for arguments up to 2^64 - 1. */
            if (copy_length > old_value->length || offset > old_value->length - copy_length)
                return apply_failed(out, error, DIFF_APPLY_COPY_OUT_OF_RANGE);
            if (copy_length > 0 && !append(out, old_value->data + offset, copy_length))
                return apply_failed(out, error, DIFF_APPLY_OUT_OF_MEMORY);
        } else if (item.bytes != nullptr) {
            /* An indefinite-length start carries no bytes of its own; its
             * chunks follow as ordinary strings and its break is skipped,
             * which yields exactly the string's bytes. */
            if (!append(out, item.bytes, item.head.argument))
                return apply_failed(out, error, DIFF_APPLY_OUT_OF_MEMORY);
        }
        /* Every other item (negative integers, containers, tags, simple
         * values, floats, breaks) contributes nothing. */
    }
    return out;
}

buf *diff_apply_binary_ex(const buf *old_value, const buf *delta, const char **error) {
    diff_apply_error reason = DIFF_APPLY_OK;
    buf *out = diff_apply_binary_checked(old_value, delta, &reason);
    if (error != nullptr) *error = diff_apply_error_name(reason);
    return out;
}

buf *diff_apply_binary(const buf *old_value, const buf *delta) { return diff_apply_binary_checked(old_value, delta, nullptr); }

}
