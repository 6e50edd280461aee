#include "delta/compact_streams.h"

#include <math.h>
#include <string.h>
/* ZSTD_getCParams: the level's table sizes, to cap them. */
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "base/alloc.h"
#include "delta/background_job.h"
#include "delta/compact_format.h"

/* Streams shorter than this stay raw: a zstd frame's own bytes would eat
 * what it saves. */
static const uint64_t ZSTD_WORTH = 24;
/* Differences are computed and compressed this many bytes at a time. */
static const size_t DIFF_CHUNK = size_t{1} << 17;

/* The bytes of one stream, a piece at a time: the small streams whole, the
 * literals range by range straight from the new value, the differences
 * computed a chunk at a time into `scratch`. */
struct piece_reader {
    const compact_stream_set *w;
    int stream;
    uint64_t index;
    uint64_t offset;
    uint8_t *scratch;

    bool next(const uint8_t **piece, size_t *size) {
        if (stream < COMPACT_STREAM_LITERALS) {
            if (index++ > 0 || w->small[stream]->length == 0) return false;
            *piece = w->small[stream]->data;
            *size = static_cast<size_t>(w->small[stream]->length);
            return true;
        }
        const compact_range_list &list =
            stream == COMPACT_STREAM_LITERALS ? *w->literals : *w->diffs;
        if (stream == COMPACT_STREAM_LITERALS) {
            if (index >= list.count) return false;
            const compact_range &r = list.items[index++];
            *piece = w->new_data + r.new_start;
            *size = static_cast<size_t>(r.length);
            return true;
        }
        size_t filled = 0;
        while (filled < DIFF_CHUNK && index < list.count) {
            const compact_range &r = list.items[index];
            const uint64_t left = r.length - offset;
            const size_t take =
                left < DIFF_CHUNK - filled ? static_cast<size_t>(left) : DIFF_CHUNK - filled;
            const uint8_t *o = w->old_data + r.old_start + offset,
                          *n = w->new_data + r.new_start + offset;
            for (size_t i = 0; i < take; ++i)
                scratch[filled + i] = static_cast<uint8_t>(n[i] - o[i]);
            filled += take;
            offset += take;
            if (offset == r.length) ++index, offset = 0;
        }
        *piece = scratch;
        *size = filled;
        return filled > 0;
    }
};

/* Literals this long are first sampled: when every byte value is about as
 * frequent as any other (compressed or random data), zstd is not run. The
 * scan and the writer's search have already taken what the old value could
 * give, so zstd's matches could not make up for its entropy coding. */
static const uint64_t SAMPLE_FROM = uint64_t{1} << 20;
static const uint64_t SAMPLES = uint64_t{1} << 16;
static const double INCOMPRESSIBLE_BITS = 7.99;

static bool looks_incompressible(const compact_stream_set *w, uint64_t size) {
    if (size < SAMPLE_FROM) return false;
    const uint64_t stride = size / SAMPLES;
    uint64_t counts[256] = {0};
    uint64_t next = 0, taken = 0;
    for (uint64_t k = 0; k < w->literals->count; ++k) {
        const compact_range &r = w->literals->items[k];
        const uint8_t *data = w->new_data + r.new_start;
        for (; next < r.length; next += stride) ++counts[data[next]], ++taken;
        next -= r.length;
    }
    double bits = 0;
    for (const uint64_t count : counts)
        if (count != 0)
            bits -= static_cast<double>(count) *
                    log2(static_cast<double>(count) / static_cast<double>(taken));
    return bits >= INCOMPRESSIBLE_BITS * static_cast<double>(taken);
}

static bool reserve(buf *out, uint64_t more) {
    if (out->capacity - out->length >= more) return true;
    const uint64_t wanted = out->length + more;
    if (wanted > SIZE_MAX) return false;
    void *block = core_realloc(out->data, static_cast<size_t>(wanted));
    if (block == nullptr) return false;
    out->data = static_cast<uint8_t *>(block);
    out->capacity = wanted;
    return true;
}

/* zstd levels match ours for the small streams (operations, lengths and
 * addresses: a few bytes per operation). The differences (mostly zeros,
 * which zstd runs through quickly at any level) and the literals (what the
 * scan left: zstd's matches against the old value and its entropy coding
 * are all they get) take six levels more: in machine code that takes a
 * twentieth off the delta, in text a fiftieth. Inputs below 64 KiB (a frame
 * and the prefix it refers to) are cheap to squeeze as hard, except the
 * literals of a small value: they are a few percent of their span, which is
 * mostly the old value to index, and four levels more save a quarter of the
 * time of a small delta for half a percent of its size. */
static const int ZSTD_BOOST = 6;
static const int SMALL_LITERALS_BOOST = 4;
static const uint64_t SMALL_SPAN = uint64_t{1} << 16;

static int zstd_level(int32_t level, uint64_t size, int stream) {
    const bool small = size < SMALL_SPAN;
    int boosted = level;
    if (stream == COMPACT_STREAM_LITERALS && small)
        boosted += SMALL_LITERALS_BOOST;
    else if (small || stream == COMPACT_STREAM_DIFFS || stream == COMPACT_STREAM_LITERALS)
        boosted += ZSTD_BOOST;
    return boosted > ZSTD_maxCLevel() ? ZSTD_maxCLevel() : boosted;
}

/* zstd's hash and chain tables each stay within TABLE_ALLOWANCE and an
 * eighth of the new value: the two values' lengths bound the writer's
 * memory, not the level. */
static const uint64_t TABLE_ALLOWANCE = uint64_t{16} << 20;

static int table_log_cap(uint64_t new_length) {
    const uint64_t entries = (TABLE_ALLOWANCE + new_length / 8) / 4;
    return 63 - __builtin_clzll(entries);
}

/* The window that lets a frame of `size` bytes refer back to the start of
 * the old value; 0 when no zstd window reaches that far. */
static int prefix_window_log(uint64_t old_length, uint64_t size) {
    int log = 10;
    while (log <= COMPACT_WINDOW_LOG_MAX && (uint64_t{1} << log) < old_length + size) ++log;
    return log <= COMPACT_WINDOW_LOG_MAX ? log : 0;
}

/* How zstd codes one stream: its level and window, whether the literals
 * refer to the old value, whether it gets a parse of its own (below) and
 * whether that coding is slow (see below). */
struct zstd_plan {
    int level;
    int window_log;
    uint64_t span; /* what zstd indexes and codes: the stream, after the old value if prefixed */
    bool prefix;
    bool own_parse;
    bool slow;
};

/* zstd's binary-tree match finders (btlazy2 and up) take seconds to index a
 * prefix of a few megabytes and up to half a second per block, each in one
 * call that cannot be cut short: a stream they code, with this much or more
 * to index and code, runs on a background job so that a stop is not held
 * up. The faster finders index 4 MB in well under a tenth of a second: they
 * code here, and only their indexing of a large old value goes on a job
 * (index_prefix, below). */
static const uint64_t SLOW_SPAN = uint64_t{1} << 15;

/* Literals or differences of this many bytes or more whose level parses
 * greedily or lazily are parsed by zstd's optimal parser instead, over small
 * tables that look back a short way: in machine code and its debugging
 * information, matches from 3 bytes, each chosen by its price, take a
 * twelfth off both streams in a third of the time of the levels that parse
 * optimally. */
static const uint64_t OWN_PARSE_MIN = uint64_t{1} << 16;
static zstd_plan plan_stream(const compact_stream_set *w, int stream, uint64_t size) {
    zstd_plan plan;
    const bool literals = stream == COMPACT_STREAM_LITERALS;
    plan.window_log = prefix_window_log(w->old_length, size);
    plan.prefix = literals && w->old_length > 0 && plan.window_log > 0 &&
                  compact_literals_prefixed(size, w->new_length);
    plan.span = plan.prefix ? w->old_length + size : size;
    plan.level = zstd_level(w->level, plan.span, stream);
    const ZSTD_strategy strategy = ZSTD_getCParams(plan.level, plan.span, 0).strategy;
    plan.own_parse = (literals || stream == COMPACT_STREAM_DIFFS) && size >= OWN_PARSE_MIN &&
                     strategy < ZSTD_btopt && !plan.prefix;
    plan.slow = strategy >= ZSTD_btlazy2 && plan.span >= SLOW_SPAN && !plan.own_parse;
    return plan;
}

/* The optimal parse's tables: the literals' matches are short and near, the
 * differences' long runs of zeros pay for a search twice as deep. */
static void set_own_parse(ZSTD_CCtx *cctx, int stream, uint64_t size) {
    const bool literals = stream == COMPACT_STREAM_LITERALS;
    int window = 10;
    while (window < 23 && (uint64_t{1} << window) < size) ++window;
    const int table = 18;
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_strategy, ZSTD_btopt);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, window);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_hashLog, table < window ? table : window);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_chainLog, table < window ? table : window);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_searchLog, literals ? 1 : 2);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_minMatch, 3);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_targetLength, literals ? 16 : 32);
}

/* Sets everything but the prefix itself. */
static void configure(ZSTD_CCtx *cctx, const compact_stream_set *w, const zstd_plan &plan,
                      int stream, uint64_t size) {
    ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setPledgedSrcSize(cctx, size);
    if (plan.own_parse) {
        set_own_parse(cctx, stream, size);
        return;
    }
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, plan.level);
    const ZSTD_compressionParameters tables = ZSTD_getCParams(plan.level, plan.span, 0);
    const int cap = table_log_cap(w->new_length);
    if (static_cast<int>(tables.hashLog) > cap) ZSTD_CCtx_setParameter(cctx, ZSTD_c_hashLog, cap);
    if (static_cast<int>(tables.chainLog) > cap) ZSTD_CCtx_setParameter(cctx, ZSTD_c_chainLog, cap);
    if (!plan.prefix) return;
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, plan.window_log);
    /* The greedy and lazy finders index a prefix with a hash chain, not the
     * row tables zstd picks where it was built with SSE2 or NEON (so the
     * bytes no longer depend on the platform): a chain over the whole old
     * value and a hash table half the level's find about the same matches
     * in the Lib tar and index its old value in less time. */
    if (tables.strategy < ZSTD_greedy || tables.strategy > ZSTD_lazy2) return;
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_useRowMatchFinder, ZSTD_ps_disable);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_chainLog, plan.window_log < cap ? plan.window_log : cap);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_hashLog, static_cast<int>(tables.hashLog) - 1);
}

/* Feeds `size` bytes to zstd; false once the frame outgrows the output. */
static bool feed(ZSTD_CCtx *cctx, ZSTD_outBuffer *output, const uint8_t *data, size_t size) {
    ZSTD_inBuffer input{data, size, 0};
    bool fits = true;
    while (fits && input.pos < input.size) {
        const size_t r = ZSTD_compressStream2(cctx, output, &input, ZSTD_e_continue);
        fits = !ZSTD_isError(r) && (output->pos < output->size || input.pos == input.size);
    }
    return fits;
}

/* Ends the frame; false when it does not fit. */
static bool finish_frame(ZSTD_CCtx *cctx, ZSTD_outBuffer *output) {
    size_t left = 1;
    bool fits = true;
    while (fits && left != 0) {
        ZSTD_inBuffer none{nullptr, 0, 0};
        left = ZSTD_compressStream2(cctx, output, &none, ZSTD_e_end);
        fits = !ZSTD_isError(left) && (left == 0 || output->pos < output->size);
    }
    return fits && left == 0;
}

typedef enum stream_outcome {
    STREAM_CODED,   /* the frame is on out */
    STREAM_UNFIT,   /* no smaller than raw, or zstd failed */
    STREAM_STOPPED, /* the poll said stop */
    STREAM_NOT_RUN, /* a job could not be set up: code the stream here */
} stream_outcome;

/* A job's hold on the caller's inputs (delta_ops.h), when the caller gives
 * one: a copy of the poll's hook, since a stop ends the caller, and the
 * poll with it. */
struct inputs_hold {
    delta_hold_fn hold;
    void *inputs;

    /* Holds the inputs for a job; false when the caller cannot. */
    bool take(const delta_poll *poll) {
        if (poll == nullptr || poll->hold == nullptr) return false;
        hold = poll->hold;
        inputs = poll->inputs;
        hold(inputs, 1);
        return true;
    }
    void release() {
        if (hold != nullptr) hold(inputs, 0);
    }
};

/* A stream coded on a background job: it owns copies of what zstd reads,
 * except the old value when the caller holds it for the job. */
struct zstd_task {
    ZSTD_CCtx *cctx;
    const uint8_t *prefix;
    uint64_t prefix_size;
    uint8_t *prefix_copy;
    inputs_hold held;
    uint8_t *input;
    uint64_t size;
    uint8_t *output;
    uint64_t written;
    bool fits;
};

static void task_free(void *p) {
    zstd_task *task = static_cast<zstd_task *>(p);
    ZSTD_freeCCtx(task->cctx);
    free(task->prefix_copy);
    task->held.release();
    free(task->input);
    free(task->output);
    free(task);
}

static void task_run(void *p, const background_job *job) {
    zstd_task *task = static_cast<zstd_task *>(p);
    if (task->prefix != nullptr)
        ZSTD_CCtx_refPrefix(task->cctx, task->prefix, static_cast<size_t>(task->prefix_size));
    ZSTD_outBuffer output{task->output, static_cast<size_t>(task->size - 1), 0};
    bool fits = true;
    /* Fed a block at a time as code_here feeds it (the frame does not depend on the cuts); a
     * stopped caller leaves only the step under way to finish. */
    for (uint64_t done = 0, part; fits && done < task->size && !background_job_abandoned(job);
         done += part) {
        part = task->size - done < DIFF_CHUNK ? task->size - done : DIFF_CHUNK;
        fits = feed(task->cctx, &output, task->input + done, static_cast<size_t>(part));
    }
    task->fits = fits && !background_job_abandoned(job) && finish_frame(task->cctx, &output);
    task->written = output.pos;
}

/* Copies `size` bytes, asking the poll as it goes: the old value may be
 * gigabytes. */
static bool copy_polled(uint8_t *to, const uint8_t *from, uint64_t size, delta_poll *poll,
                        uint64_t *work) {
    for (uint64_t done = 0, part; done < size; done += part) {
        part = size - done < DIFF_CHUNK ? size - done : DIFF_CHUNK;
        memcpy(to + done, from + done, static_cast<size_t>(part));
        if (!delta_poll_tick(poll, work, part / 64)) return false;
    }
    return true;
}

/* Codes the stream on a background job, onto out->data + start. */
static stream_outcome code_in_background(const compact_stream_set *w, const zstd_plan &plan,
                                         int stream, uint64_t size, uint8_t *scratch, buf *out,
                                         uint64_t start, uint64_t *encoded) {
    zstd_task *task = static_cast<zstd_task *>(core_calloc(1, sizeof(zstd_task)));
    if (task == nullptr) return STREAM_NOT_RUN;
    task->size = size;
    task->prefix_size = plan.prefix ? w->old_length : 0;
    task->cctx = ZSTD_createCCtx();
    task->input = static_cast<uint8_t *>(core_malloc(static_cast<size_t>(size)));
    task->output = static_cast<uint8_t *>(core_malloc(static_cast<size_t>(size - 1)));
    if (plan.prefix && task->held.take(w->poll)) {
        task->prefix = w->old_data;
    } else if (plan.prefix) {
        task->prefix_copy = static_cast<uint8_t *>(core_malloc(static_cast<size_t>(w->old_length)));
        task->prefix = task->prefix_copy;
    }
    if (task->cctx == nullptr || task->input == nullptr || task->output == nullptr ||
        (plan.prefix && task->prefix == nullptr)) {
        task_free(task);
        return STREAM_NOT_RUN;
    }
    configure(task->cctx, w, plan, stream, size);
    uint64_t work = 0, at = 0;
    bool go = task->prefix_copy == nullptr ||
              copy_polled(task->prefix_copy, w->old_data, w->old_length, w->poll, &work);
    piece_reader pieces{w, stream, 0, 0, scratch};
    const uint8_t *piece;
    size_t piece_size;
    while (go && pieces.next(&piece, &piece_size)) {
        go = copy_polled(task->input + at, piece, piece_size, w->poll, &work);
        at += piece_size;
    }
    background_job *job = go ? background_job_start(task_run, task_free, task) : nullptr;
    if (job == nullptr) {
        task_free(task);
        return go ? STREAM_NOT_RUN : STREAM_STOPPED;
    }
    if (!background_job_join(job, w->poll)) return STREAM_STOPPED;
    const bool fits = task->fits;
    if (fits) {
        memcpy(out->data + start, task->output, static_cast<size_t>(task->written));
        *encoded = task->written;
    }
    task_free(task);
    return fits ? STREAM_CODED : STREAM_UNFIT;
}

/* The faster finders index a prefix at about 30 ms a megabyte, also in one
 * call: the first that is given input, or none. From this size on, that
 * call runs on a job when the caller holds the old value for it; the frame
 * is the same, and the job needs no copies. */
static const uint64_t PREFIX_JOB_MIN = uint64_t{4} << 20;

struct prefix_task {
    ZSTD_CCtx *cctx; /* the job's own only once the caller has stopped */
    inputs_hold held;
};

static void prefix_task_free(void *p) {
    prefix_task *task = static_cast<prefix_task *>(p);
    ZSTD_freeCCtx(task->cctx);
    task->held.release();
    free(task);
}

static void prefix_task_run(void *p, const background_job *) {
    ZSTD_outBuffer none_out{nullptr, 0, 0};
    ZSTD_inBuffer none_in{nullptr, 0, 0};
    ZSTD_compressStream2(static_cast<prefix_task *>(p)->cctx, &none_out, &none_in, ZSTD_e_continue);
}

/* Has zstd index the old value as prefix on a job, when it is large and
 * held; false when the poll said stop, and the context is the job's then. */
static bool index_prefix(delta_poll *poll, ZSTD_CCtx **context, const zstd_plan &plan,
                         uint64_t old_length) {
    if (!plan.prefix || old_length < PREFIX_JOB_MIN || poll == nullptr || poll->hold == nullptr)
        return true;
    prefix_task *task = static_cast<prefix_task *>(core_calloc(1, sizeof(prefix_task)));
    if (task == nullptr) return true;
    task->cctx = *context;
    task->held.take(poll);
    background_job *job = background_job_start(prefix_task_run, prefix_task_free, task);
    if (job == nullptr) {
        /* The first block indexes it here instead. */
        task->cctx = nullptr;
        prefix_task_free(task);
        return true;
    }
    if (!background_job_join(job, poll)) {
        *context = nullptr;
        return false;
    }
    task->cctx = nullptr;
    prefix_task_free(task);
    return true;
}

/* Codes the stream here, fed a block at a time with the poll asked in
 * between, onto out->data + start. */
static stream_outcome code_here(const compact_stream_set *w, ZSTD_CCtx **context,
                                const zstd_plan &plan, int stream, uint64_t size, uint8_t *scratch,
                                buf *out, uint64_t start, uint64_t *encoded) {
    if (*context == nullptr && (*context = ZSTD_createCCtx()) == nullptr) return STREAM_UNFIT;
    ZSTD_CCtx *cctx = *context;
    configure(cctx, w, plan, stream, size);
    if (plan.prefix) ZSTD_CCtx_refPrefix(cctx, w->old_data, static_cast<size_t>(w->old_length));
    if (!index_prefix(w->poll, context, plan, w->old_length)) return STREAM_STOPPED;
    /* Room for one byte less than raw: a frame that does not fit is not worth it. */
    ZSTD_outBuffer output{out->data + start, static_cast<size_t>(size - 1), 0};
    piece_reader pieces{w, stream, 0, 0, scratch};
    const uint8_t *piece;
    size_t piece_size;
    bool fits = true;
    uint64_t work = 0;
    while (fits && pieces.next(&piece, &piece_size)) {
        /* At the highest levels a block takes zstd a good fraction of a
         * second, so it is fed a block at a time and the poll asked in
         * between (the frame is the same however its input is cut). */
        for (size_t done = 0, part; fits && done < piece_size; done += part) {
            part = piece_size - done < DIFF_CHUNK ? piece_size - done : DIFF_CHUNK;
            fits = feed(cctx, &output, piece + done, part);
            if (!delta_poll_tick(w->poll, &work, DELTA_POLL_WORK)) return STREAM_STOPPED;
        }
    }
    if (!fits || !finish_frame(cctx, &output)) return STREAM_UNFIT;
    *encoded = output.pos;
    return STREAM_CODED;
}

/* Compresses the stream onto out when that makes it smaller, else copies it
 * raw. Literals may refer to the old value: what the scan left as literal
 * often still shares short strings with it. Returns false when memory runs
 * out or the poll said stop. */
static bool write_stream(const compact_stream_set *w, ZSTD_CCtx **context, buf *out, int stream,
                         uint64_t size, uint8_t *scratch, compact_coding *coding,
                         uint64_t *encoded) {
    const uint64_t start = out->length;
    *coding = COMPACT_RAW;
    *encoded = size;
    if (size == 0) return true;
    if (!reserve(out, size)) return false;
    /* zstd's frame costs more than it could save on a few bytes; and the
     * context, with its tables, is made only for a stream worth it. */
    const bool worth =
        size >= ZSTD_WORTH && !(stream == COMPACT_STREAM_LITERALS && looks_incompressible(w, size));
    if (worth) {
        const zstd_plan plan = plan_stream(w, stream, size);
        /* Without a poll nothing could be stopped: no job, no copies. */
        stream_outcome outcome = STREAM_NOT_RUN;
        if (plan.slow && w->poll != nullptr)
            outcome = code_in_background(w, plan, stream, size, scratch, out, start, encoded);
        if (outcome == STREAM_NOT_RUN)
            outcome = code_here(w, context, plan, stream, size, scratch, out, start, encoded);
        if (outcome == STREAM_STOPPED) return false;
        if (outcome == STREAM_CODED) {
            out->length = start + *encoded;
            *coding = plan.prefix ? COMPACT_ZSTD_OLD : COMPACT_ZSTD;
            return true;
        }
        *encoded = size;
    }
    piece_reader pieces{w, stream, 0, 0, scratch};
    const uint8_t *piece;
    size_t piece_size;
    uint64_t at = start;
    while (pieces.next(&piece, &piece_size)) {
        memcpy(out->data + at, piece, piece_size);
        at += piece_size;
    }
    out->length = at;
    return true;
}

extern "C" {

buf *compact_streams_write(const compact_stream_set *w) {
    uint8_t header[COMPACT_HEADER_MAX];
    uint32_t h = 0;
    memcpy(header, COMPACT_SIGNATURE, sizeof COMPACT_SIGNATURE);
    h += sizeof COMPACT_SIGNATURE;
    header[h++] = COMPACT_VERSION_HEAD;
    header[h++] = COMPACT_VERSION;
    h += compact_varint_write(header + h, w->old_length);
    h += compact_varint_write(header + h, w->new_length);
    compact_store64(header + h, compact_checksum(w->old_data, w->old_length));
    compact_store64(header + h + 8, compact_checksum(w->new_data, w->new_length));
    h += 16;

    buf *out = buf_create();
    ZSTD_CCtx *cctx = nullptr;
    /* Room to compute differences in, only as much as there are. */
    const uint64_t scratch_size = w->diffs->total < DIFF_CHUNK ? w->diffs->total : DIFF_CHUNK;
    uint8_t *scratch =
        scratch_size == 0 ? nullptr : static_cast<uint8_t *>(core_malloc(scratch_size));
    bool ok = out != nullptr && (scratch_size == 0 || scratch != nullptr) &&
              reserve(out, COMPACT_HEADER_MAX);
    if (ok) out->length = COMPACT_HEADER_MAX;
    for (int s = 0; ok && s < COMPACT_STREAM_COUNT; ++s) {
        const uint64_t size = s < COMPACT_STREAM_LITERALS    ? w->small[s]->length
                              : s == COMPACT_STREAM_LITERALS ? w->literals->total
                                                             : w->diffs->total;
        compact_coding coding = COMPACT_RAW;
        uint64_t encoded = 0;
        ok = write_stream(w, &cctx, out, s, size, scratch, &coding, &encoded);
        h += compact_varint_write(header + h, encoded << COMPACT_CODING_BITS | coding);
        if (coding != COMPACT_RAW) h += compact_varint_write(header + h, size);
    }
    ZSTD_freeCCtx(cctx);
    free(scratch);
    if (!ok) {
        buf_free(out);
        return nullptr;
    }
    const uint64_t check = compact_checksum(header, h);
    for (uint32_t i = 0; i < COMPACT_CHECK_SIZE; ++i)
        header[h + i] = static_cast<uint8_t>(check >> (8 * (COMPACT_CHECK_SIZE - 1 - i)));
    h += COMPACT_CHECK_SIZE;
    const uint64_t streams = out->length - COMPACT_HEADER_MAX;
    memmove(out->data + h, out->data + COMPACT_HEADER_MAX, static_cast<size_t>(streams));
    memcpy(out->data, header, h);
    out->length = h + streams;
    return out;
}
}
