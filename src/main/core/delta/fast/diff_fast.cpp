#include "delta/fast/diff_fast.h"

#include <string.h>

#include "delta/bare_writer.h"
#include "delta/diff.h"
#include "delta/exact/coalescing_script.h"
#include "delta/exact/execution.h"
#include "delta/fast/block_index.h"
#include "delta/policy/quality.h"

/* Gaps up to this many bytes on both sides go to the exact engine. */
static const uint64_t GAP_REFINE_MAX = 1024;
/* Below this many bytes on either side the exact engine cannot do better
 * than a literal. */
static const uint64_t GAP_REFINE_MIN = 4;
/* Bail-out limit of the exact engine inside a gap: bounds its cost there. */
static const int32_t GAP_BAILOUT_LIMIT = 256;
/* How far a match may grow backward into the literal before it: a match
 * reaching further back would have been found at an earlier position, unless
 * its block fell out of a full bucket. */
static const uint64_t BACK_LIMIT = 64;
/* Positions ahead whose bucket is fetched while the current one is tried:
 * on a large old value nearly every lookup would otherwise wait for memory. */
static const uint64_t PREFETCH_DISTANCE = 8; /* in steps */
/* After this many positions without a match the scan steps 3, 5, then 7
 * bytes at a time. Odd steps meet every block start (a power of two apart)
 * within a few steps, so a long match is still found; this is what keeps
 * unrelated data fast. */
static const uint64_t MISSES_PER_STEP = 128;
static const uint64_t MAX_STEP = 7;
/* Positions in a row that the previous copy's own candidates must miss
 * before the old value is indexed. Within BACK_LIMIT, so a match that began
 * among them is still found whole by extending it backward. */
static const uint64_t LAZY_INDEX_MISSES = 32;
/* Matches shorter than this look one position ahead before they are taken. */
static const uint64_t LAZY_MATCH_LIMIT = 1024;

struct fast_scan {
    const uint8_t *old_data;
    uint64_t old_length;
    const uint8_t *new_data;
    uint64_t new_length;
    const delta_op_sink *sink;
    uint64_t max_step;
    uint32_t min_shift;
    uint64_t refine_max; /* at most GAP_REFINE_MAX */
    delta_poll *poll;
};

struct fast_match {
    uint64_t old_start = 0;
    uint64_t new_start = 0;
    uint64_t length = 0;
    int64_t gain = 0;      /* length less what the copy's offset costs to write */
    uint64_t distance = 0; /* from where the previous copy ended in the old value */
};

static uint64_t load64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

/* Common bytes of a and b, at most limit, compared a word at a time. */
static uint64_t forward_extent(const uint8_t *a, const uint8_t *b, uint64_t limit) {
    uint64_t n = 0;
    while (n + 8 <= limit) {
        const uint64_t x = load64(a + n) ^ load64(b + n);
        if (x != 0) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            return n + (__builtin_clzll(x) >> 3);
#else
            return n + (__builtin_ctzll(x) >> 3);
#endif
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

/* Common bytes just before a and b, at most limit. */
static uint64_t backward_extent(const uint8_t *a, const uint8_t *b, uint64_t limit) {
    uint64_t n = 0;
    while (n < limit && a[-1 - static_cast<int64_t>(n)] == b[-1 - static_cast<int64_t>(n)]) ++n;
    return n;
}

static uint64_t minimum(uint64_t a, uint64_t b) { return a < b ? a : b; }

static delta_sink_status emit_op(const fast_scan &s, delta_op_kind kind, uint64_t address,
                                 uint64_t length) {
    if (length == 0) return DELTA_SINK_CONTINUE;
    const delta_op op{kind, address, length};
    return s.sink->emit(s.sink->writer, &op);
}

/* Weighs the old offset `candidate` for the new position `at`, where the
 * bytes from `literal_start` on are not covered yet; keeps it in `best`
 * when it saves more, or as much and lies nearer to `previous_end`.
 * `continues` marks the candidate that carries on the previous copy. */
static void consider(const fast_scan &s, uint64_t candidate, uint64_t at, uint64_t literal_start,
                     uint64_t previous_end, bool continues, fast_match *best) {
    if (candidate > s.old_length || s.old_length - candidate < BLOCK_INDEX_WINDOW) return;
    const uint8_t *o = s.old_data + candidate;
    const uint8_t *n = s.new_data + at;
    if (load64(o) != load64(n)) return;
    const uint64_t ahead =
        forward_extent(o + BLOCK_INDEX_WINDOW, n + BLOCK_INDEX_WINDOW,
                       minimum(s.old_length - candidate, s.new_length - at) - BLOCK_INDEX_WINDOW);
    const uint64_t back =
        backward_extent(o, n, minimum(minimum(candidate, at - literal_start), BACK_LIMIT));
    const uint64_t length = back + BLOCK_INDEX_WINDOW + ahead;
    const uint64_t start = candidate - back;
    /* Matches are weighed by what they save: a short copy from far away costs
     * nearly what it saves, and taking it can hide a longer match that
     * starts a few bytes later. Continuing the previous copy is always
     * worth its window. */
    const int64_t cost = 2 + bare_writer_head_size(static_cast<int64_t>(start));
    if (!continues && length < static_cast<uint64_t>(2 * cost)) return;
    const int64_t gain = static_cast<int64_t>(length) - cost;
    const uint64_t distance = start > previous_end ? start - previous_end : previous_end - start;
    if (gain > best->gain || (gain == best->gain && distance < best->distance)) {
        best->old_start = start;
        best->new_start = at - back;
        best->length = length;
        best->gain = gain;
        best->distance = distance;
    }
}

/* What the exact engine's writer made of a gap, held until the engine has
 * finished: only then is it known whether the gap is written this way or as
 * one literal. Each item costs the writer at least 2 of its budget (at most
 * GAP_REFINE_MAX), so the list cannot overflow. */
struct gap_items {
    delta_op items[GAP_REFINE_MAX / 2];
    uint32_t count;
};

static delta_sink_status gap_items_add(void *opaque, const delta_op *op) {
    gap_items *list = static_cast<gap_items *>(opaque);
    if (list->count == GAP_REFINE_MAX / 2) return DELTA_SINK_FAILED;
    list->items[list->count++] = *op;
    return DELTA_SINK_CONTINUE;
}

static delta_sink_status gap_items_close(void *) { return DELTA_SINK_CONTINUE; }

/* Emits what the exact engine makes of old[old_start, old_end) against
 * new[new_start, new_end) (both non-empty), with addresses made absolute: the
 * items its own writer would write, under that writer's budget (the gap's new
 * length) and with costs weighed on addresses within the gap; when that
 * budget runs out, the gap as one insert. */
static delta_sink_status refine_gap(const fast_scan &s, uint64_t old_start, uint64_t old_end,
                                    uint64_t new_start, uint64_t new_end) {
    const uint64_t old_gap = old_end - old_start, new_gap = new_end - new_start;
    const buf old_view{const_cast<uint8_t *>(s.old_data) + old_start, old_gap, old_gap};
    const buf new_view{const_cast<uint8_t *>(s.new_data) + new_start, new_gap, new_gap};
    gap_items list;
    list.count = 0;
    const delta_op_sink collect{gap_items_add, gap_items_close, &list};
    bare_writer writer{};
    writer.head = bare_writer_head_size;
    writer.new_value = &new_view;
    writer.budget = static_cast<int64_t>(new_gap);
    writer.next = &collect;
    const delta_op_sink sink = bare_writer_sink(&writer);
    const int32_t result = myers_binary_diff_emit(
        &old_view, 0, static_cast<int32_t>(old_gap), &new_view, 0, static_cast<int32_t>(new_gap),
        &sink, DIFF_DEFAULT_STORAGE_LIMIT, quality_pack(0, GAP_BAILOUT_LIMIT));
    if (result == SCRIPT_RESULT_NO_CHANGE) return emit_op(s, DELTA_OP_COPY_OLD, old_start, new_gap);
    if (result != SCRIPT_RESULT_EDIT) return emit_op(s, DELTA_OP_INSERT, new_start, new_gap);
    for (uint32_t k = 0; k < list.count; ++k) {
        const delta_op &op = list.items[k];
        const uint64_t base = op.kind == DELTA_OP_COPY_OLD ? old_start : new_start;
        const delta_sink_status status = emit_op(s, op.kind, base + op.address, op.length);
        if (status != DELTA_SINK_CONTINUE) return status;
    }
    return DELTA_SINK_CONTINUE;
}

/* The new bytes [new_start, new_end) lie between two copies (or an end of
 * the value); [old_start, old_end) is what lies between the same two copies
 * in the old value, empty or reversed when the copies jump. */
static delta_sink_status write_gap(const fast_scan &s, uint64_t old_start, uint64_t old_end,
                                   uint64_t new_start, uint64_t new_end) {
    if (new_end <= new_start) return DELTA_SINK_CONTINUE;
    if (old_end > old_start) {
        const uint64_t old_gap = old_end - old_start, new_gap = new_end - new_start;
        /* The exact engine's work grows with both sides, so an old side far
         * longer than the new one is not searched: the cost per new byte
         * stays bounded, and what it could find there is a few short copies. */
        if (old_gap <= s.refine_max && new_gap <= s.refine_max && old_gap >= GAP_REFINE_MIN &&
            new_gap >= GAP_REFINE_MIN && old_gap <= 4 * new_gap + 64)
            return refine_gap(s, old_start, old_end, new_start, new_end);
    }
    return emit_op(s, DELTA_OP_INSERT, new_start, new_end - new_start);
}

/* The best match for the new position `at` among the candidates below. */
static fast_match best_match(const fast_scan &s, const block_index *index, uint64_t at,
                             uint64_t literal_start, uint64_t previous_end) {
    fast_match best;
    best.gain = INT64_MIN;
    best.distance = UINT64_MAX;
    consider(s, previous_end + (at - literal_start), at, literal_start, previous_end, true, &best);
    if (at > literal_start) consider(s, previous_end, at, literal_start, previous_end, true, &best);
    if (index != nullptr) {
        uint64_t offsets[BLOCK_INDEX_WAYS];
        const uint32_t found =
            block_index_lookup(index, block_index_fingerprint(s.new_data + at), offsets);
        for (uint32_t k = 0; k < found; ++k)
            consider(s, offsets[k], at, literal_start, previous_end, false, &best);
    }
    return best;
}

/* The scan: one pass over the new value. At each position the copy that
 * continues the previous one (along its diagonal, or from where it ended in
 * the old value, as after an insertion) and the indexed blocks with the same
 * fingerprint are tried; the verified match that saves the most wins.
 *
 * The index is built only once those two candidates have failed
 * LAZY_INDEX_MISSES positions in a row: a value with scattered small edits
 * is then diffed at the speed of comparing it, and never pays for an index.
 * Ends with the last gap; the caller closes the sink. */
static delta_sink_status scan_new_value(const fast_scan &s, const buf *old_value) {
    uint64_t literal_start = 0; /* first new byte not covered by a copy */
    uint64_t previous_end = 0;  /* old offset where the last copy ended */
    uint64_t at = 0;
    uint64_t misses = 0;
    block_index *index = nullptr;
    delta_sink_status status = DELTA_SINK_CONTINUE;
    uint64_t work = 0;
    while (s.new_length - at >= BLOCK_INDEX_WINDOW) {
        if (!delta_poll_tick(s.poll, &work, 1)) {
            status = DELTA_SINK_STOP;
            break;
        }
        if (index == nullptr && misses >= LAZY_INDEX_MISSES) {
            index = block_index_create_polled(old_value, s.min_shift, s.poll);
            if (index == nullptr)
                return s.poll != nullptr && s.poll->stopped ? DELTA_SINK_STOP : DELTA_SINK_FAILED;
        }
        const uint64_t step =
            index == nullptr ? 1 : minimum(1 + 2 * (misses / MISSES_PER_STEP), s.max_step);
        if (index != nullptr &&
            s.new_length - at >= BLOCK_INDEX_WINDOW + PREFETCH_DISTANCE * step) {
            const uint64_t ahead =
                block_index_fingerprint(s.new_data + at + PREFETCH_DISTANCE * step);
            __builtin_prefetch(block_index_bucket(index, ahead));
        }
        fast_match best = best_match(s, index, at, literal_start, previous_end);
        /* One position of lookahead: a short match gives way when the next
         * position starts one that saves more than the byte it leaves as a
         * literal. Each position is weighed at most twice. */
        if (best.length != 0 && best.length < LAZY_MATCH_LIMIT &&
            s.new_length - at > BLOCK_INDEX_WINDOW) {
            const fast_match next = best_match(s, index, at + 1, literal_start, previous_end);
            if (next.length != 0 && next.gain > best.gain + 1) {
                ++at;
                continue;
            }
        }
        if (best.length == 0) {
            ++misses;
            /* A step wider than the window may leave the value: the loop's test is unsigned. */
            at += minimum(step, s.new_length - at);
            continue;
        }
        misses = 0;
        status = write_gap(s, previous_end, best.old_start, literal_start, best.new_start);
        if (status == DELTA_SINK_CONTINUE)
            status = emit_op(s, DELTA_OP_COPY_OLD, best.old_start, best.length);
        if (status != DELTA_SINK_CONTINUE) break;
        at = best.new_start + best.length;
        literal_start = at;
        previous_end = best.old_start + best.length;
    }
    block_index_free(index);
    if (status != DELTA_SINK_CONTINUE) return status;
    return write_gap(s, previous_end, s.old_length, literal_start, s.new_length);
}

static bool equal_values(const buf *a, const buf *b) {
    return a->length == b->length && (a->length == 0 || memcmp(a->data, b->data, a->length) == 0);
}

static delta_sink_status emit_scan(const buf *old_value, const buf *new_value,
                                   const delta_op_sink *sink, const diff_fast_tuning &tuning,
                                   delta_poll *poll) {
    if (old_value == nullptr || new_value == nullptr || sink == nullptr) return DELTA_SINK_FAILED;
    const fast_scan s{old_value->data,
                      old_value->length,
                      new_value->data,
                      new_value->length,
                      sink,
                      tuning.max_step < 1 ? 1 : tuning.max_step,
                      tuning.min_shift,
                      minimum(tuning.refine_max, GAP_REFINE_MAX),
                      poll};
    delta_sink_status status;
    if (old_value->length == 0) {
        status = emit_op(s, DELTA_OP_INSERT, 0, new_value->length);
    } else if (new_value->length == 0) {
        status = DELTA_SINK_CONTINUE;
    } else if (old_value->length <= GAP_REFINE_MAX && new_value->length <= GAP_REFINE_MAX) {
        /* Values within one refinable gap need no index: the exact engine
         * sees them whole. */
        status = refine_gap(s, 0, old_value->length, 0, new_value->length);
    } else {
        status = scan_new_value(s, old_value);
    }
    if (status != DELTA_SINK_CONTINUE) return status;
    return sink->close(sink->writer);
}

extern "C" {

delta_sink_status diff_fast_emit(const buf *old_value, const buf *new_value,
                                 const delta_op_sink *sink) {
    return emit_scan(old_value, new_value, sink, diff_fast_tuning{MAX_STEP, 0, GAP_REFINE_MAX},
                     nullptr);
}

delta_sink_status diff_fast_emit_tuned(const buf *old_value, const buf *new_value,
                                       const delta_op_sink *sink, const diff_fast_tuning *tuning) {
    if (tuning == nullptr) return DELTA_SINK_FAILED;
    return emit_scan(old_value, new_value, sink, *tuning, nullptr);
}

delta_sink_status diff_fast_emit_polled(const buf *old_value, const buf *new_value,
                                        const delta_op_sink *sink, const diff_fast_tuning *tuning,
                                        delta_poll *poll) {
    if (tuning == nullptr) return DELTA_SINK_FAILED;
    return emit_scan(old_value, new_value, sink, *tuning, poll);
}

buf *diff_generate_binary_fast(const buf *old_value, const buf *new_value) {
    return diff_generate_binary_fast_polled(old_value, new_value, nullptr);
}

buf *diff_generate_binary_fast_polled(const buf *old_value, const buf *new_value,
                                      delta_poll *poll) {
    if (old_value == nullptr || new_value == nullptr) return nullptr;
    if (new_value->length >= 2 && equal_values(old_value, new_value))
        return _write_no_change_delta();
    /* No delta of a value of 0 or 1 byte can be shorter than the value. */
    if (new_value->length < 2 || old_value->length == 0) return _write_replacement_delta(new_value);

    bare_writer *writer = bare_writer_create(new_value, bare_writer_head_size, nullptr);
    if (writer == nullptr) return nullptr;
    const delta_op_sink sink = bare_writer_sink(writer);
    const delta_sink_status status =
        emit_scan(old_value, new_value, &sink, diff_fast_tuning{MAX_STEP, 0, GAP_REFINE_MAX}, poll);
    if (status == DELTA_SINK_FAILED || (poll != nullptr && poll->stopped)) {
        bare_writer_free(writer);
        return nullptr;
    }
    buf *delta = nullptr;
    if (status == DELTA_SINK_CONTINUE && writer->output->length < new_value->length) {
        /* Hand over the writer's block rather than copying it. */
        delta = writer->output;
        writer->output = nullptr;
    } else {
        delta = _write_replacement_delta(new_value);
    }
    bare_writer_free(writer);
    return delta;
}
}
