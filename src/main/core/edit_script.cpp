#include "edit_script.h"

#include "alloc.h"
#include "cbor_generator.h"
#include "edit_rule.h"

/* Appends what a generator holds to the script's output. Fails when the
 * generator failed to write the item or the output could not grow (buf leaves
 * itself unchanged then, so the length tells). */
static int append_generated(edit_script *script, cbor_generator *gen, int32_t status) {
    if (status < 0 || gen->length == 0) return 0;
    const uint64_t before = script->output->length;
    buf_write_bytes(script->output, gen->output, gen->length);
    return script->output->length == before + gen->length;
}

/* Each written item goes through a generator of its own that lives only for
 * that item, so no partial item can linger between calls. */
static int write_insert(edit_script *script) {
    const uint8_t *bytes = buf_substr(script->new_value, script->insert_offset, script->insert_length);
    if (bytes == nullptr) return 0; /* the literal does not lie in the new value */
    cbor_generator *gen = cbor_generator_create();
    if (gen == nullptr) return 0;
    const int32_t status = cbor_write_byte_string(gen, bytes, static_cast<uint64_t>(script->insert_length));
    const int ok = append_generated(script, gen, status);
    cbor_generator_free(gen);
    return ok;
}

static int write_copy(edit_script *script) {
    cbor_generator *gen = cbor_generator_create();
    if (gen == nullptr) return 0;
    int32_t status = cbor_write_uint(gen, static_cast<uint64_t>(script->copy_offset));
    if (status >= 0) status = cbor_write_uint(gen, static_cast<uint64_t>(script->copy_length));
    const int ok = append_generated(script, gen, status);
    cbor_generator_free(gen);
    return ok;
}

/* Lowers the budget by `cost` (computed wide, so a long literal cannot wrap
 * the 32-bit budget) and tells whether the item may still be written. */
static int spend(edit_script *script, int64_t cost) {
    int64_t left = static_cast<int64_t>(script->budget) - cost;
    if (left < INT32_MIN) left = INT32_MIN;
    script->budget = static_cast<int32_t>(left);
    return left >= 1;
}

/* The 32-bit script's own head sizes: every argument of 65536 or more is
 * charged 5 bytes. */
static int32_t head_size_wide(int64_t n) {
    const uint64_t magnitude = static_cast<uint64_t>(n < 0 ? -n : n);
    if (magnitude < 24) return 1;
    if (magnitude < 256) return 2;
    if (magnitude < 65536) return 3;
    return 5;
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
