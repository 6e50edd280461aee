#include "edit_script.h"

#include "alloc.h"
#include "cbor_head.h"
#include "edit_rule.h"

/* Appends n bytes; fails when the output could not grow (buf leaves itself
 * unchanged then, so the length tells). */
static int append_output(edit_script *script, const void *bytes, uint64_t n) {
    const uint64_t before = script->output->length;
    buf_write_bytes(script->output, bytes, n);
    return script->output->length == before + n;
}

/* An item is written whole or not at all: a literal whose bytes cannot follow
 * its head takes the head back out. */
static int write_insert(edit_script *script) {
    const uint8_t *bytes = buf_substr(script->new_value, script->insert_offset, script->insert_length);
    if (bytes == nullptr) return 0; /* the literal does not lie in the new value */
    const uint64_t length = static_cast<uint64_t>(script->insert_length);
    uint8_t head[CBOR_HEAD_MAX_SIZE];
    const uint64_t before = script->output->length;
    if (!append_output(script, head, cbor_head_write(head, 2, length))) return 0;
    if (length > 0 && !append_output(script, bytes, length)) {
        script->output->length = before;
        return 0;
    }
    return 1;
}

static int write_copy(edit_script *script) {
    uint8_t heads[2 * CBOR_HEAD_MAX_SIZE];
    uint32_t n = cbor_head_write(heads, 0, static_cast<uint64_t>(script->copy_offset));
    n += cbor_head_write(heads + n, 0, static_cast<uint64_t>(script->copy_length));
    return append_output(script, heads, n);
}

/* Lowers the budget by `cost` (computed wide, so a long literal cannot wrap
 * the 32-bit budget) and tells whether the item may still be written. */
static int spend(edit_script *script, int64_t cost) {
    int64_t left = static_cast<int64_t>(script->budget) - cost;
    if (left < INT32_MIN) left = INT32_MIN;
    script->budget = static_cast<int32_t>(left);
    return left >= 1;
}

/* Head sizes of the 32-bit script: its arguments never reach 2^32, so the
 * widest head it charges is 5 bytes. */
static int32_t head_size_wide(int64_t n) {
    const uint64_t magnitude = static_cast<uint64_t>(n < 0 ? -n : n);
    return static_cast<int32_t>(cbor_head_size(magnitude));
}

extern "C" {

edit_script *edit_script_create(const buf *old_value, const buf *new_value) {
    edit_script *script = static_cast<edit_script *>(core_calloc(1, sizeof(edit_script)));
    if (script == nullptr) return nullptr;
    script->output = buf_create();
    if (script->output == nullptr) {
        free(script);
        return nullptr;
    }
    script->insert_offset = -1;
    script->copy_offset = -1;
    script->old_value = old_value;
    script->new_value = new_value;
    /* The budget is the low 32 bits of the new length; callers refuse values
     * of 2^31 bytes and more before they get here. */
    script->budget = new_value == nullptr ? 0 : static_cast<int32_t>(static_cast<uint32_t>(new_value->length));
    return script;
}

void edit_script_free(edit_script *script) {
    if (script == nullptr) return;
    buf_free(script->output);
    free(script);
}

int32_t _edit_script_head_size(int32_t n) { return head_size_wide(n); }

int _edit_script_write_pending(edit_script *script) {
    if (script->insert_offset != -1) {
        if (!spend(script, edit_rule_insert_cost(head_size_wide, script->insert_length))) return 0;
        if (!write_insert(script)) return 0;
        script->insert_offset = -1;
    }
    if (script->copy_offset != -1) {
        if (!spend(script, edit_rule_copy_cost(head_size_wide, script->copy_offset, script->copy_length))) return 0;
        if (!write_copy(script)) return 0;
        script->copy_offset = -1;
    }
    return 1;
}

int edit_script_match(edit_script *script, int32_t old_offset, int32_t length) {
    if (script == nullptr) return 0;
    if (length < 1) return 1; /* an empty copy writes nothing */
    if (old_offset < 0) return 0; /* no such place in the old value: the delta cannot be written */
    if (script->copy_offset != -1) {
        /* Two copies in a row: a deletion lay between them. */
        if (!_edit_script_write_pending(script)) return 0;
        script->copy_offset = old_offset;
        script->copy_length = length;
        return 1;
    }
    if (script->insert_offset != -1) {
        const int64_t k = script->insert_length;
        if (edit_rule_copy_joins_literal(head_size_wide, k, old_offset, length)) {
            /* The copied bytes stand right after the literal in the new value. */
            script->insert_length = static_cast<int32_t>(k + length);
            return 1;
        }
    }
    script->copy_offset = old_offset;
    script->copy_length = length;
    return 1;
}

int edit_script_insert(edit_script *script, int32_t new_offset, int32_t length) {
    if (script == nullptr) return 0;
    if (length < 1) return 1;
    if (new_offset < 0) return 0;
    if (script->copy_offset != -1) {
        const int64_t m = script->copy_length;
        if (edit_rule_copy_joins_literal(head_size_wide, length, script->copy_offset, m)) {
            /* The copy's bytes are the m bytes of the new value just before
             * the incoming literal. */
            script->copy_offset = -1;
            if (script->insert_offset != -1) {
                script->insert_length = static_cast<int32_t>(script->insert_length + m + length);
            } else {
                script->insert_offset = static_cast<int32_t>(new_offset - m);
                script->insert_length = static_cast<int32_t>(m + length);
            }
            return 1;
        }
        if (!_edit_script_write_pending(script)) return 0;
    }
    if (script->insert_offset != -1) {
        script->insert_length += length;
    } else {
        script->insert_offset = new_offset;
        script->insert_length = length;
    }
    return 1;
}

int edit_script_close(edit_script *script) {
    if (script == nullptr) return 0;
    return _edit_script_write_pending(script);
}

}
