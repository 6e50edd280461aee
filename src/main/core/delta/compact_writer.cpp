#include "delta/compact_writer.h"

#include <string.h>

#include "base/alloc.h"
#include "delta/compact_format.h"
#include "delta/compact_streams.h"

/* An approximate extension stops once its score (matches less mismatches)
 * has fallen this far below its best: unrelated bytes are not scanned whole. */
static const int64_t EXTEND_GIVE_UP = 256;
/* Two copies on one diagonal merge across the bytes between them when these
 * have at most this many more mismatches than matches: one operation with a
 * few nonzero differences is cheaper than three operations. */
static const uint64_t MERGE_SLACK = 16;
/* An exact stretch this long inside an approximate copy gets an operation of
 * its own rather than that many zero differences. */
static const uint64_t SPLIT_EXACT = 32;
/* A literal's run of one byte this long becomes a copy from the new bytes. */
static const uint64_t RUN_MIN = 32;
/* A copy from afar (an address of 2 bytes or more) shorter than this many
 * times its address bytes is left in the literal: its op, length and address
 * cost more than the few bytes zstd spends on it there, where the old value
 * is the literals' prefix. Literals coded without that prefix (so far mostly
 * new) keep copies half as long: zstd would find them nowhere. */
static const uint64_t SHORT_COPY_FACTOR = 16;
/* Literals at least this long are searched for approximate copies from
 * anywhere in the old value: a window of APPROX_WINDOW bytes that agrees on
 * APPROX_AGREE of them starts one, and it is kept when it grows to
 * APPROX_MIN bytes. The old value is indexed at one offset in every 8
 * bytes, in a table of 8-byte slots (offset and the 4 bytes there, so a
 * probe touches the old value only on a true 4-byte match) a thirty-second
 * of its length: a quarter of it in bytes; fewer offsets than slots keep
 * more of them findable. After each APPROX_MISSES probes without a copy the
 * step grows by 2, up to APPROX_MAX_STEP: an odd step meets all offsets of a
 * diagonal within 8 steps, well inside APPROX_MIN bytes. */
static const uint64_t APPROX_GAP_MIN = 48;
static const uint64_t APPROX_WINDOW = 32;
static const uint64_t APPROX_AGREE = 16;
static const uint64_t APPROX_MIN = 128;
static const uint64_t APPROX_STRIDE = 8;
static const uint64_t APPROX_PREFETCH = 8;
static const uint64_t APPROX_MISSES = 16384;
static const uint64_t APPROX_MAX_STEP = 15;
static const uint64_t PROGRESS_STEP = uint64_t{1} << 20;

struct compact_writer {
    const uint8_t *old_data;
    uint64_t old_length;
    const uint8_t *new_data;
    uint64_t new_length;
    int32_t level;
    diff_progress_fn progress;
    void *context;
    delta_poll *poll;
    uint64_t poll_work;
    uint64_t reported;
    uint64_t at;            /* new bytes the engine has covered */
    uint64_t literal_start; /* [literal_start, at) waits for the next copy */
    bool has_copy;          /* the pending copy, still growing along its diagonal */
    bool copy_diff;
    uint64_t copy_old;
    uint64_t copy_length;
    uint64_t coded; /* new bytes coded into the streams */
    uint64_t op_count;
    bool identity; /* the only operation so far copies the whole old value */
    buf *small[3]; /* ops, lengths, addresses */
    compact_range_list literals;
    compact_range_list diffs;
    uint64_t cache[COMPACT_ADDRESS_SLOTS];
    uint64_t
        *approx_slots; /* by hash of 4 bytes: those bytes << 32 | old offset + 1; 0 when empty */
    uint32_t approx_bits;
    bool approx_tried;
    bool failed;
    bool closed;
};

static void put(compact_writer *w, int stream, const uint8_t *bytes, uint32_t n) {
    buf *b = w->small[stream];
    const uint64_t before = b->length;
    buf_write_bytes(b, bytes, n);
    if (b->length != before + n) w->failed = true;
}

static void add_range(compact_writer *w, compact_range_list *list, uint64_t old_start,
                      uint64_t new_start, uint64_t length) {
    list->total += length;
    if (list->count > 0) {
        compact_range &last = list->items[list->count - 1];
        if (last.new_start + last.length == new_start &&
            last.old_start + last.length == old_start) {
            last.length += length;
            return;
        }
    }
    if (list->count == list->capacity) {
        const uint64_t grown = list->capacity < 64 ? 64 : list->capacity * 2;
        void *block = core_realloc(list->items, static_cast<size_t>(grown * sizeof(compact_range)));
        if (block == nullptr) {
            w->failed = true;
            return;
        }
        list->items = static_cast<compact_range *>(block);
        list->capacity = grown;
    }
    list->items[list->count++] = compact_range{old_start, new_start, length};
}

/* The address cache slot whose position lies nearest `address`: the first
 * of those whose varint is the shortest. */
static uint32_t nearest_slot(const compact_writer *w, uint64_t address) {
    uint32_t slot = 0, best = compact_varint_size(compact_zigzag(address, w->cache[0]));
    for (uint32_t m = 1; m < COMPACT_ADDRESS_SLOTS; ++m) {
        const uint32_t size = compact_varint_size(compact_zigzag(address, w->cache[m]));
        if (size < best) best = size, slot = m;
    }
    return slot;
}

/* One operation into the streams, at the coded position. */
static void code_op(compact_writer *w, delta_op_kind kind, uint64_t address, uint64_t length) {
    uint8_t op = static_cast<uint8_t>(kind);
    uint8_t bytes[COMPACT_VARINT_MAX];
    if (length <= COMPACT_INLINE_LENGTH_MAX) {
        op = static_cast<uint8_t>(op | length << 4);
    } else {
        put(w, COMPACT_STREAM_LENGTHS, bytes,
            compact_varint_write(bytes, length - COMPACT_STREAM_LENGTH_BASE));
    }
    if (kind == DELTA_OP_COPY_OLD || kind == DELTA_OP_COPY_DIFF) {
        const uint32_t slot = nearest_slot(w, address);
        op = static_cast<uint8_t>(op | slot << 2);
        put(w, COMPACT_STREAM_ADDRESSES, bytes,
            compact_varint_write(bytes, compact_zigzag(address, w->cache[slot])));
        memmove(w->cache + 1, w->cache, (COMPACT_ADDRESS_SLOTS - 1) * sizeof w->cache[0]);
        w->cache[0] = address + length;
        if (kind == DELTA_OP_COPY_DIFF) add_range(w, &w->diffs, address, w->coded, length);
    } else if (kind == DELTA_OP_COPY_NEW) {
        put(w, COMPACT_STREAM_ADDRESSES, bytes, compact_varint_write(bytes, address - 1));
    } else {
        add_range(w, &w->literals, 0, w->coded, length);
    }
    put(w, COMPACT_STREAM_OPS, &op, 1);
    w->identity = w->op_count == 0 && kind == DELTA_OP_COPY_OLD && address == 0 &&
                  length == w->old_length && length == w->new_length;
    ++w->op_count;
    w->coded += length;
}

static void flush_copy(compact_writer *w) {
    if (!w->has_copy) return;
    code_op(w, w->copy_diff ? DELTA_OP_COPY_DIFF : DELTA_OP_COPY_OLD, w->copy_old, w->copy_length);
    w->has_copy = false;
}

static void start_copy(compact_writer *w, uint64_t old_start, uint64_t length, bool exact) {
    flush_copy(w);
    w->has_copy = true;
    w->copy_diff = !exact;
    w->copy_old = old_start;
    w->copy_length = length;
}

/* Grows the pending copy along its diagonal by `length` bytes. */
static void extend_copy(compact_writer *w, uint64_t length, bool exact) {
    if (length == 0) return;
    const uint64_t end = w->copy_old + w->copy_length;
    if (exact ? w->copy_diff && length >= SPLIT_EXACT
              : !w->copy_diff && w->copy_length >= SPLIT_EXACT) {
        start_copy(w, end, length, exact);
    } else {
        w->copy_diff = w->copy_diff || !exact;
        w->copy_length += length;
    }
}

static uint64_t minimum(uint64_t a, uint64_t b) { return a < b ? a : b; }

static uint64_t load64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

/* Literal bytes [start, end), with long runs of one byte as copies from the
 * byte just written. A run of RUN_MIN bytes covers a whole RUN_PROBE-byte
 * stretch starting at a multiple of RUN_PROBE, so only those stretches are
 * tested, two words at a time. */
static const uint64_t RUN_PROBE = 16;
static void code_literal(compact_writer *w, uint64_t start, uint64_t end) {
    const uint8_t *n = w->new_data;
    uint64_t pending = start;
    for (uint64_t p = (start + RUN_PROBE - 1) / RUN_PROBE * RUN_PROBE; p + RUN_PROBE <= end;
         p += RUN_PROBE) {
        const uint64_t word = load64(n + p);
        if (word != uint64_t{n[p]} * 0x0101010101010101ull || load64(n + p + 8) != word) continue;
        uint64_t i = p, j = p + RUN_PROBE;
        while (i > pending && n[i - 1] == n[p]) --i;
        while (j < end && n[j] == n[p]) ++j;
        if (j - i >= RUN_MIN) {
            code_op(w, DELTA_OP_INSERT, pending, i + 1 - pending);
            code_op(w, DELTA_OP_COPY_NEW, 1, j - i - 1);
            pending = j;
        }
        p = (j - 1) / RUN_PROBE * RUN_PROBE;
    }
    if (end > pending) code_op(w, DELTA_OP_INSERT, pending, end - pending);
}

static uint32_t load32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

static uint32_t hash4(uint32_t v, uint32_t bits) { return (v * 2654435761u) >> (32 - bits); }

/* The index of the old value, built on first use; false when there is none
 * (an old value too large for 32-bit offsets, or no memory: the search is
 * an improvement, never a requirement). */
static bool approx_index(compact_writer *w) {
    if (w->approx_tried) return w->approx_slots != nullptr;
    w->approx_tried = true;
    if (w->old_length < APPROX_WINDOW || w->old_length >= UINT32_MAX) return false;
    uint32_t bits = 10;
    while ((uint64_t{1} << bits) < w->old_length / 32) ++bits;
    w->approx_slots = static_cast<uint64_t *>(core_calloc(size_t{1} << bits, sizeof(uint64_t)));
    if (w->approx_slots == nullptr) return false;
    w->approx_bits = bits;
    /* One offset in each APPROX_STRIDE bytes, each a byte further into its
     * stretch than the last: a fixed phase would miss every copy whose
     * differences recur with the stride, as in records of that size. */
    for (uint64_t k = 0, p = 0; p + 4 <= w->old_length;
         ++k, p = k * APPROX_STRIDE + k % APPROX_STRIDE) {
        /* Gigabytes of old value take seconds, mostly waiting on memory. */
        if (!delta_poll_tick(w->poll, &w->poll_work, 1)) {
            w->failed = true;
            return false;
        }
        const uint32_t v = load32(w->old_data + p);
        w->approx_slots[hash4(v, bits)] = uint64_t{v} << 32 | (p + 1);
    }
    return true;
}

static uint64_t mismatches(const uint8_t *a, const uint8_t *b, uint64_t length) {
    uint64_t count = 0;
    for (uint64_t i = 0; i < length; ++i) count += a[i] != b[i];
    return count;
}

/* How far from `n` (forward, or backward when step is -1) the bytes agree
 * with `o` more often than not, at most `limit`. */
static uint64_t extension(const uint8_t *o, const uint8_t *n, uint64_t limit, int step) {
    int64_t score = 0, best = 0;
    uint64_t length = 0;
    for (uint64_t i = 0; i < limit; ++i) {
        const int64_t k = step > 0 ? static_cast<int64_t>(i) : -1 - static_cast<int64_t>(i);
        score += o[k] == n[k] ? 1 : -1;
        if (score > best) best = score, length = i + 1;
        if (score < best - EXTEND_GIVE_UP) break;
    }
    return length;
}

/* Literal bytes [start, end), except where a stretch of them agrees with
 * some part of the old value more often than not: an approximate copy. */
static void code_gap(compact_writer *w, uint64_t start, uint64_t end) {
    if (end - start < APPROX_GAP_MIN || !approx_index(w)) {
        code_literal(w, start, end);
        return;
    }
    const uint8_t *o = w->old_data, *n = w->new_data;
    uint64_t literal = start, misses = 0;
    for (uint64_t i = start; i + APPROX_WINDOW <= end;) {
        /* An unrelated gap may be the whole new value. */
        if (!delta_poll_tick(w->poll, &w->poll_work, 1)) {
            w->failed = true;
            return;
        }
        const uint64_t step = minimum(1 + 2 * (misses / APPROX_MISSES), APPROX_MAX_STEP);
        /* Probes wait on memory: fetch the slot a few probes ahead meanwhile. */
        if (i + APPROX_PREFETCH * step + 4 <= end)
            __builtin_prefetch(w->approx_slots +
                               hash4(load32(n + i + APPROX_PREFETCH * step), w->approx_bits));
        const uint32_t v = load32(n + i);
        const uint64_t slot = w->approx_slots[hash4(v, w->approx_bits)];
        const uint64_t c = (slot & UINT32_MAX) - 1;
        if ((slot >> 32) != v || (slot & UINT32_MAX) == 0 || c + APPROX_WINDOW > w->old_length ||
            APPROX_WINDOW - mismatches(o + c, n + i, APPROX_WINDOW) < APPROX_AGREE) {
            i += step;
            ++misses;
            continue;
        }
        const uint64_t ahead = extension(o + c, n + i, minimum(end - i, w->old_length - c), 1);
        const uint64_t back = extension(o + c, n + i, minimum(i - literal, c), -1);
        if (ahead + back < APPROX_MIN) {
            i += step;
            ++misses;
            continue;
        }
        code_literal(w, literal, i - back);
        const bool exact = mismatches(o + c - back, n + i - back, back + ahead) == 0;
        code_op(w, exact ? DELTA_OP_COPY_OLD : DELTA_OP_COPY_DIFF, c - back, back + ahead);
        i += ahead;
        literal = i;
        misses = 0;
    }
    code_literal(w, literal, end);
}

/* Settles the literal [literal_start, at) before a copy from `next_old` (or
 * the end, when has_next is false): its head may continue the pending copy's
 * diagonal and its tail lead into the next copy's, as approximate copies; the
 * rest is literal. Leaves the next copy's backward part as the pending copy. */
static void settle_gap(compact_writer *w, bool has_next, uint64_t next_old) {
    const uint64_t start = w->literal_start, g = w->at - start;
    const uint8_t *n = w->new_data;
    uint64_t ahead = 0, back = 0;
    const uint64_t forward_old = w->copy_old + w->copy_length;
    if (w->has_copy && g > 0 && forward_old < w->old_length) {
        const uint64_t limit = g < w->old_length - forward_old ? g : w->old_length - forward_old;
        ahead = extension(w->old_data + forward_old, n + start, limit, 1);
    }
    if (has_next && g > 0 && next_old > 0)
        back = extension(w->old_data + next_old, n + w->at, g < next_old ? g : next_old, -1);
    if (ahead + back > g) {
        /* Both reach into the same bytes: split where the two agree best. */
        const uint64_t first = g - back;
        int64_t score = 0, best = 0;
        uint64_t split = first;
        for (uint64_t p = first; p < ahead; ++p) {
            score += w->old_data[forward_old + p] == n[start + p];
            score -= w->old_data[next_old - g + p] == n[start + p];
            if (score > best) best = score, split = p + 1;
        }
        ahead = split;
        back = g - split;
    }
    if (ahead > 0)
        extend_copy(w, ahead, mismatches(w->old_data + forward_old, n + start, ahead) == 0);
    flush_copy(w);
    code_gap(w, start + ahead, w->at - back);
    if (back > 0)
        start_copy(w, next_old - back, back,
                   mismatches(w->old_data + next_old - back, n + w->at - back, back) == 0);
    w->literal_start = w->at;
}

static void take_copy(compact_writer *w, uint64_t old_start, uint64_t length, bool exact) {
    const uint64_t g = w->at - w->literal_start;
    const uint64_t end = w->copy_old + w->copy_length;
    const uint32_t cost =
        compact_varint_size(compact_zigzag(old_start, w->cache[nearest_slot(w, old_start)]));
    const uint64_t factor = compact_literals_prefixed(w->literals.total, w->at)
                                ? SHORT_COPY_FACTOR
                                : SHORT_COPY_FACTOR / 2;
    if (cost > 1 && length < factor * cost) {
        w->at += length;
        return;
    }
    bool merged = false;
    if (w->has_copy && old_start >= end && old_start - end == g) {
        const uint64_t wrong = mismatches(w->old_data + end, w->new_data + w->literal_start, g);
        if (wrong <= g - wrong + MERGE_SLACK) {
            extend_copy(w, g, wrong == 0);
            merged = true;
        }
    }
    if (!merged) settle_gap(w, true, old_start);
    if (w->has_copy)
        extend_copy(w, length, exact);
    else
        start_copy(w, old_start, length, exact);
    w->at += length;
    w->literal_start = w->at;
}

static delta_sink_status writer_emit(void *self, const delta_op *op) {
    compact_writer *w = static_cast<compact_writer *>(self);
    if (w->failed || w->closed) return DELTA_SINK_FAILED;
    const uint64_t length = op->length;
    if (length == 0) return DELTA_SINK_CONTINUE;
    if (length > w->new_length - w->at) return DELTA_SINK_FAILED;
    switch (op->kind) {
    case DELTA_OP_INSERT:
        if (op->address != w->at) return DELTA_SINK_FAILED;
        w->at += length;
        break;
    case DELTA_OP_COPY_OLD:
    case DELTA_OP_COPY_DIFF:
        if (length > w->old_length || op->address > w->old_length - length)
            return DELTA_SINK_FAILED;
        take_copy(w, op->address, length, op->kind == DELTA_OP_COPY_OLD);
        break;
    case DELTA_OP_COPY_NEW:
        if (op->address == 0 || op->address > w->at) return DELTA_SINK_FAILED;
        settle_gap(w, false, 0);
        code_op(w, DELTA_OP_COPY_NEW, op->address, length);
        w->at += length;
        w->literal_start = w->at;
        break;
    default: return DELTA_SINK_FAILED;
    }
    if (w->progress != nullptr && w->at - w->reported >= PROGRESS_STEP) {
        w->reported = w->at;
        w->progress(w->context, w->at, w->new_length);
    }
    return w->failed ? DELTA_SINK_FAILED : DELTA_SINK_CONTINUE;
}

static delta_sink_status writer_close(void *self) {
    compact_writer *w = static_cast<compact_writer *>(self);
    if (w->failed || w->closed) return DELTA_SINK_FAILED;
    /* Whatever the engine left uncovered is literal. */
    w->at = w->new_length;
    settle_gap(w, false, 0);
    flush_copy(w);
    w->closed = true;
    return w->failed ? DELTA_SINK_FAILED : DELTA_SINK_CONTINUE;
}

extern "C" {

compact_writer *compact_writer_create(const buf *old_value, const buf *new_value, int32_t level,
                                      diff_progress_fn progress, void *context, delta_poll *poll) {
    compact_writer *w = static_cast<compact_writer *>(core_calloc(1, sizeof(compact_writer)));
    if (w == nullptr) return nullptr;
    w->old_data = old_value->data;
    w->old_length = old_value->length;
    w->new_data = new_value->data;
    w->new_length = new_value->length;
    w->level = level;
    w->progress = progress;
    w->context = context;
    w->poll = poll;
    for (buf *&b : w->small) {
        b = buf_create();
        if (b == nullptr) {
            compact_writer_free(w);
            return nullptr;
        }
    }
    return w;
}

void compact_writer_free(compact_writer *w) {
    if (w == nullptr) return;
    for (buf *b : w->small) buf_free(b);
    free(w->literals.items);
    free(w->diffs.items);
    free(w->approx_slots);
    free(w);
}

delta_op_sink compact_writer_sink(compact_writer *writer) {
    return delta_op_sink{writer_emit, writer_close, writer};
}

buf *compact_writer_finish(compact_writer *w) {
    if (w == nullptr || w->failed || !w->closed || w->coded != w->new_length) return nullptr;
    if (w->identity) {
        /* An empty operation stream stands for the old value itself. */
        for (buf *b : w->small) b->length = 0;
    }
    /* The search is over: its index need not outlive it next to zstd's tables. */
    free(w->approx_slots);
    w->approx_slots = nullptr;
    const compact_stream_set set{
        w->old_data,   w->old_length, w->new_data,
        w->new_length, w->level,      {w->small[0], w->small[1], w->small[2]},
        &w->literals,  &w->diffs,     w->poll};
    return compact_streams_write(&set);
}
}
