#include "delta/exact/edit_script.h"

#include <algorithm>
#include <cstdlib>

#include "base/alloc.h"
#include "cbor/cbor_head.h"
#include "delta/bare_writer.h"

/* The edit script is the bare writer behind a 32-bit record: each call loads
 * the record into a writer, applies the writer's rules and stores it back. */

/* Head sizes of the 32-bit script: its arguments never reach 2^32, so the
 * widest head it charges is 5 bytes. */
static int32_t head_size_wide(int64_t n) {
    const uint64_t magnitude = static_cast<uint64_t>(std::abs(n));
    return static_cast<int32_t>(cbor_head_size(magnitude));
}

/* Offsets and lengths are sign-extended, so a field a caller set negative
 * names no place in either value. */
static uint64_t widen(int32_t n) { return static_cast<uint64_t>(static_cast<int64_t>(n)); }

static bare_writer load(const edit_script *script) {
    bare_writer w{};
    w.insert_pending = script->insert_offset != -1;
    w.insert_offset = widen(script->insert_offset);
    w.insert_length = widen(script->insert_length);
    w.copy_pending = script->copy_offset != -1;
    w.copy_offset = widen(script->copy_offset);
    w.copy_length = widen(script->copy_length);
    w.budget = script->budget;
    w.head = head_size_wide;
    w.new_value = script->new_value;
    w.output = script->output;
    return w;
}

/* Cleared items keep their lengths; the budget stops at INT32_MIN. */
static int store(edit_script *script, const bare_writer &w, int result) {
    script->insert_offset = w.insert_pending ? static_cast<int32_t>(w.insert_offset) : -1;
    script->insert_length = static_cast<int32_t>(w.insert_length);
    script->copy_offset = w.copy_pending ? static_cast<int32_t>(w.copy_offset) : -1;
    script->copy_length = static_cast<int32_t>(w.copy_length);
    script->budget = static_cast<int32_t>(std::max(w.budget, int64_t{INT32_MIN}));
    return result;
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
    script->budget =
        new_value == nullptr ? 0 : static_cast<int32_t>(static_cast<uint32_t>(new_value->length));
    return script;
}

void edit_script_free(edit_script *script) {
    if (script == nullptr) return;
    buf_free(script->output);
    free(script);
}

int32_t _edit_script_head_size(int32_t n) { return head_size_wide(n); }

int _edit_script_write_pending(edit_script *script) {
    bare_writer w = load(script);
    return store(script, w, bare_writer_flush(&w));
}

int edit_script_match(edit_script *script, int32_t old_offset, int32_t length) {
    if (script == nullptr) return 0;
    if (length < 1) return 1;     /* an empty copy writes nothing */
    if (old_offset < 0) return 0; /* no such place in the old value: the delta cannot be written */
    bare_writer w = load(script);
    return store(script, w, bare_writer_match(&w, widen(old_offset), widen(length)));
}

int edit_script_insert(edit_script *script, int32_t new_offset, int32_t length) {
    if (script == nullptr) return 0;
    if (length < 1) return 1;
    if (new_offset < 0) return 0;
    bare_writer w = load(script);
    return store(script, w, bare_writer_insert(&w, widen(new_offset), widen(length)));
}

int edit_script_close(edit_script *script) {
    if (script == nullptr) return 0;
    return _edit_script_write_pending(script);
}
}
