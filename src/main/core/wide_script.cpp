#include "wide_script.h"

#include "alloc.h"
#include "cbor_head.h"
#include "edit_rule.h"

static int32_t true_head(int64_t n) { return _wide_script_head_size(static_cast<uint64_t>(n)); }

/* Appends one CBOR head; the budget check has already been made, so only a
 * failed allocation can stop it (buf leaves itself unchanged then). */
static int write_head(buf *out, uint8_t major, uint64_t argument) {
    uint8_t head[CBOR_HEAD_MAX_SIZE];
    const uint32_t size = cbor_head_write(head, major, argument);
    const uint64_t before = out->length;
    buf_write_bytes(out, head, size);
    return out->length == before + size;
}

/* Lowers the budget by cost and tells whether the item may still be written. */
static int spend(wide_script *script, int64_t cost) {
    script->budget -= cost;
    return script->budget >= 1;
}

static int write_pending(wide_script *script) {
    buf *out = script->output;
    if (script->insert_length > 0) {
        const uint64_t n = script->insert_length;
        if (!spend(script, edit_rule_insert_cost(true_head, static_cast<int64_t>(n)))) return 0;
        if (!write_head(out, 2, n)) return 0;
        const uint64_t before = out->length;
        buf_write_bytes(out, script->new_value->data + script->insert_offset, n);
        if (out->length != before + n) return 0;
        script->insert_length = 0;
    }
    if (script->copy_length > 0) {
        const int64_t cost = edit_rule_copy_cost(true_head, static_cast<int64_t>(script->copy_offset),
                                                 static_cast<int64_t>(script->copy_length));
        if (!spend(script, cost)) return 0;
        if (!write_head(out, 0, script->copy_offset) || !write_head(out, 0, script->copy_length)) return 0;
        script->copy_length = 0;
    }
    return 1;
}

extern "C" {

int32_t _wide_script_head_size(uint64_t n) { return static_cast<int32_t>(cbor_head_size(n)); }

wide_script *wide_script_create(const buf *new_value) {
    if (new_value == nullptr) return nullptr;
    wide_script *script = static_cast<wide_script *>(core_calloc(1, sizeof(wide_script)));
    if (script == nullptr) return nullptr;
    script->output = buf_create();
    if (script->output == nullptr) {
        free(script);
        return nullptr;
    }
    script->new_value = new_value;
    /* Lengths beyond INT64_MAX cannot be addressed by any machine that runs
     * this, so the cast keeps the value. */
    script->budget = static_cast<int64_t>(new_value->length);
    return script;
}

void wide_script_free(wide_script *script) {
    if (script == nullptr) return;
    buf_free(script->output);
    free(script);
}

int wide_script_match(wide_script *script, uint64_t old_offset, uint64_t length) {
    if (script == nullptr) return 0;
    if (length == 0) return 1;
    if (script->copy_length > 0) {
        /* Two copies in a row: old bytes were skipped or the copy jumps. */
        if (!write_pending(script)) return 0;
    } else if (script->insert_length > 0 &&
               edit_rule_copy_joins_literal(true_head, static_cast<int64_t>(script->insert_length),
                                            static_cast<int64_t>(old_offset), static_cast<int64_t>(length))) {
        /* The copied bytes stand right after the literal in the new value. */
        script->insert_length += length;
        return 1;
    }
    script->copy_offset = old_offset;
    script->copy_length = length;
    return 1;
}

int wide_script_insert(wide_script *script, uint64_t new_offset, uint64_t length) {
    if (script == nullptr) return 0;
    if (length == 0) return 1;
    const uint64_t new_length = script->new_value->length;
    if (new_offset > new_length || length > new_length - new_offset) return 0;
    if (script->copy_length > 0) {
        const uint64_t m = script->copy_length;
        if (edit_rule_copy_joins_literal(true_head, static_cast<int64_t>(length),
                                         static_cast<int64_t>(script->copy_offset), static_cast<int64_t>(m))) {
            /* The copy's bytes are the m bytes of the new value just before
             * the incoming literal. */
            script->copy_length = 0;
            if (script->insert_length > 0) {
                script->insert_length += m + length;
            } else {
                script->insert_offset = new_offset - m;
                script->insert_length = m + length;
            }
            return 1;
        }
        if (!write_pending(script)) return 0;
    }
    if (script->insert_length > 0) {
        script->insert_length += length;
    } else {
        script->insert_offset = new_offset;
        script->insert_length = length;
    }
    return 1;
}

int wide_script_close(wide_script *script) {
    if (script == nullptr) return 0;
    return write_pending(script);
}

}
