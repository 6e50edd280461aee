#include "delta/exact/coalescing_script.h"

/* Origins. Every caller in this library compares whole values, so both
 * origins are 0 and positions are offsets from each value's first byte. With
 * non-zero origins, copy offsets come out relative to the old window and
 * insert positions relative to the new window; the delta then rebuilds the new
 * window from the old window, and the edit script must be given the new
 * window itself (a value whose first byte is the window's first byte) as its
 * source of literal bytes. */

/* Grows the open run when it is of this kind, else hands the open run on and
 * opens a new one. The engine only sends back-to-back matches that are
 * contiguous in both values (and inserts contiguous in the new value), so a
 * run grows by length alone. */
static int extend_or_open(coallescing_script *script, uint32_t kind, uint32_t start,
                          int32_t length) {
    if (length < 1) return 1;
    if (script->run_kind == kind) {
        script->run_length += static_cast<uint32_t>(length);
        return 1;
    }
    if (!coallescing_script_flush(script)) return 0;
    script->run_kind = kind;
    script->run_start = start;
    script->run_length = static_cast<uint32_t>(length);
    return 1;
}

static int flush_to_sink(coallescing_script *script) {
    if (script->run_kind == COALESCING_RUN_NONE) return 1;
    const delta_op op{script->run_kind == COALESCING_RUN_COPY ? DELTA_OP_COPY_OLD : DELTA_OP_INSERT,
                      script->run_start, script->run_length};
    return script->sink->emit(script->sink->writer, &op) == DELTA_SINK_CONTINUE;
}

/* Null outside the tests; one predictable branch per call otherwise. */
static coallescing_script_observer g_observer = nullptr;
static void *g_observer_context = nullptr;

extern "C" {

void coallescing_script_observe(coallescing_script_observer observer, void *context) {
    g_observer = observer;
    g_observer_context = context;
}

const char *script_result_name(int32_t result) {
    switch (result) {
    case SCRIPT_RESULT_INVALID_RANGE: return "invalid range";
    case SCRIPT_RESULT_EDIT: return "edit";
    case SCRIPT_RESULT_REPLACE: return "replace";
    case SCRIPT_RESULT_NO_CHANGE: return "no change";
    default: return "unknown";
    }
}

int coallescing_script_flush(coallescing_script *script) {
    /* The flag survives only flushes of "no run": it says whether any run has
     * reached the edit script (or the sink) yet. */
    script->untouched = script->untouched && script->run_kind == COALESCING_RUN_NONE;
    if (script->sink != nullptr) return flush_to_sink(script);
    switch (script->run_kind) {
    case COALESCING_RUN_COPY:
        return edit_script_match(script->script, static_cast<int32_t>(script->run_start),
                                 static_cast<int32_t>(script->run_length));
    case COALESCING_RUN_INSERT:
        return edit_script_insert(script->script, static_cast<int32_t>(script->run_start),
                                  static_cast<int32_t>(script->run_length));
    default: return 1;
    }
}

int coallescing_script_match(coallescing_script *script, int32_t old_position, int32_t length) {
    if (g_observer) return g_observer(g_observer_context, 'M', old_position, length);
    return extend_or_open(script, COALESCING_RUN_COPY,
                          static_cast<uint32_t>(old_position) - script->old_origin, length);
}

int coallescing_script_insert(coallescing_script *script, int32_t new_position, int32_t length) {
    if (g_observer) return g_observer(g_observer_context, 'I', new_position, length);
    return extend_or_open(script, COALESCING_RUN_INSERT,
                          static_cast<uint32_t>(new_position) - script->new_origin, length);
}

int coallescing_script_delete(coallescing_script *script) {
    if (g_observer) return g_observer(g_observer_context, 'D', 0, 0);
    /* Dropped old bytes write nothing: an insert run carries on across them,
     * while a copy run must end, since the next match starts elsewhere. */
    if (script->run_kind == COALESCING_RUN_INSERT) return 1;
    const int result = coallescing_script_flush(script);
    script->run_kind = COALESCING_RUN_NONE;
    return result;
}

int coallescing_script_close(coallescing_script *script, int32_t old_length, int32_t new_length) {
    if (g_observer) return g_observer(g_observer_context, 'C', old_length, new_length);
    if (script->untouched) {
        /* Nothing reached the edit script yet, so the open run is the whole
         * stream. */
        if (script->run_kind == COALESCING_RUN_INSERT)
            return SCRIPT_RESULT_REPLACE; /* nothing of the old value reused */
        if (script->run_start == 0 && script->run_length == static_cast<uint32_t>(old_length))
            return SCRIPT_RESULT_NO_CHANGE;
    }
    if (!coallescing_script_flush(script)) return SCRIPT_RESULT_REPLACE;
    const bool closed = script->sink != nullptr
                            ? script->sink->close(script->sink->writer) == DELTA_SINK_CONTINUE
                            : edit_script_close(script->script) != 0;
    return closed ? SCRIPT_RESULT_EDIT : SCRIPT_RESULT_REPLACE;
}
}
