#include "diff.h"

#include "alloc.h"
#include "cbor_generator.h"
#include "cbor_parser.h"
#include "edit_script.h"
#include "execution.h"
#include "quality.h"

/* The engine and the edit script count in signed 32 bits. */
static const uint64_t MAX_VALUE_LENGTH = 0x7FFFFFFFu;

static const uint8_t NO_CHANGE_DELTA = 0xF6;

/* Takes over a generator's block as the content of a new buf, so a large
 * replacement delta is held once, at its exact size, rather than copied into
 * a buffer twice its size. Both blocks come from the same allocator. */
static buf *buf_from_generator(cbor_generator *gen) {
    buf *out = buf_create();
    if (out == nullptr) return nullptr;
    out->data = gen->output;
    out->length = gen->length;
    out->capacity = gen->length;
    gen->output = nullptr;
    gen->length = 0;
    return out;
}

static buf *no_change_delta(void) {
    buf *out = buf_create();
    if (out == nullptr) return nullptr;
    buf_write_byte(out, NO_CHANGE_DELTA);
    if (out->length != 1) {
        buf_free(out);
        return nullptr;
    }
    return out;
}

/* Reserved additional information (28 to 30, and 31 where no indefinite
 * form exists) leaves an integer without a value and a string without a
 * length: such an item is ill-formed, and guessing would give a wrong value. */
static bool is_ill_formed(const cbor_val *item) {
    const uint8_t info = item->initial_byte & 0x1F;
    switch (item->major_type) {
    case 0: return info >= 28;
    case 2:
    case 3: return info >= 28 && info <= 30;
    default: return false;
    }
}

static buf *apply_failed(buf *out, cbor_parser *parser, cbor_val *item, diff_apply_error *error,
                        diff_apply_error reason) {
    cbor_val_free(item);
    cbor_parser_free(parser);
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

/* Reads one CBOR head at data[*pos]: its major type, additional information
 * and argument. False when the head is cut short or reserved. */
static bool read_head(const uint8_t *data, uint64_t length, uint64_t *pos, uint8_t *major, uint8_t *info,
                      uint64_t *argument) {
    if (*pos >= length) return false;
    const uint8_t initial = data[(*pos)++];
    *major = initial >> 5;
    *info = initial & 0x1F;
    *argument = *info;
    if (*info < 24 || *info == 31) return true;
    if (*info > 27) return false;
    const unsigned width = 1u << (*info - 24);
    if (length - *pos < width) return false;
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | data[*pos + i];
    *pos += width;
    *argument = v;
    return true;
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
        uint8_t major, info;
        uint64_t argument;
        if (!read_head(data, length, &pos, &major, &info, &argument)) return 0;
        uint64_t added = 0;
        if (offset_pending) {
            if (major != 0 || info == 31) return 0;
            if (argument > old_value->length || offset > old_value->length - argument) return 0;
            added = argument;
            offset_pending = false;
        } else if (major == 0) {
            if (info == 31) return 0;
            offset = argument;
            offset_pending = true;
        } else if ((major == 2 || major == 3) && info != 31) {
            if (argument > length - pos) return 0;
            pos += argument;
            added = argument;
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
    default: return "unknown error";
    }
}

buf *_write_replacement_delta(const buf *value) {
    if (value == nullptr) return nullptr;
    cbor_generator *gen = cbor_generator_create();
    if (gen == nullptr) return nullptr;
    const uint8_t *bytes = value->length > 0 ? value->data : nullptr;
    buf *out = nullptr;
    if (cbor_write_byte_string(gen, bytes, value->length) >= 0) out = buf_from_generator(gen);
    cbor_generator_free(gen);
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
    case SCRIPT_RESULT_NO_CHANGE: delta = no_change_delta(); break;
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
    cbor_parser *parser = cbor_parser_create(delta->data, delta->length);
    if (parser == nullptr) return apply_failed(out, nullptr, nullptr, error, DIFF_APPLY_OUT_OF_MEMORY);

    /* The parser answers null both at the end and for an item it cannot read,
     * so the end is told by the bytes left before asking. */
    while (cbor_parser_available_bytes(parser) > 0) {
        cbor_val *item = cbor_next_val(parser);
        if (item == nullptr || is_ill_formed(item))
            return apply_failed(out, parser, item, error, DIFF_APPLY_UNREADABLE_ITEM);

        if (item->major_type == 0) {
            const uint64_t offset = item->value.u64;
            cbor_val_free(item);
            if (cbor_parser_available_bytes(parser) <= 0)
                return apply_failed(out, parser, nullptr, error, DIFF_APPLY_COPY_WITHOUT_LENGTH);
            item = cbor_next_val(parser);
            if (item == nullptr || is_ill_formed(item))
                return apply_failed(out, parser, item, error, DIFF_APPLY_UNREADABLE_ITEM);
            if (item->major_type != 0)
                return apply_failed(out, parser, item, error, DIFF_APPLY_COPY_WITHOUT_LENGTH);
            const uint64_t length = item->value.u64;
            /* offset + length <= old length, written so that neither sum can
             * wrap for arguments up to 2^64 - 1. */
            if (length > old_value->length || offset > old_value->length - length)
                return apply_failed(out, parser, item, error, DIFF_APPLY_COPY_OUT_OF_RANGE);
            if (length > 0 && !append(out, old_value->data + offset, length))
                return apply_failed(out, parser, item, error, DIFF_APPLY_OUT_OF_MEMORY);
        } else if (item->major_type == 2 || item->major_type == 3) {
            /* An indefinite-length start (length -1) carries no bytes of its
             * own; its chunks follow as ordinary strings and its break is
             * skipped, which yields exactly the string's bytes. */
            if (item->length > 0 && !append(out, item->value.bytes, static_cast<uint64_t>(item->length)))
                return apply_failed(out, parser, item, error, DIFF_APPLY_OUT_OF_MEMORY);
        }
        /* Every other item (negative integers, containers, tags, simple
         * values, floats, breaks) contributes nothing. */
        cbor_val_free(item);
    }
    cbor_parser_free(parser);
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
