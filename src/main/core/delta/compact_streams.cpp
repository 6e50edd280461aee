#include "delta/compact_streams.h"

#include <math.h>
#include <string.h>
/* ZSTD_getCParams: the level's table sizes, to cap them. */
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "base/alloc.h"
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
 * and the prefix it refers to) are cheap to squeeze as hard. */
static const int ZSTD_BOOST = 6;

static int zstd_level(int32_t level, uint64_t size, int stream) {
    const bool boost = size < (uint64_t{1} << 16) || stream == COMPACT_STREAM_DIFFS ||
                       stream == COMPACT_STREAM_LITERALS;
    const int boosted = boost ? level + ZSTD_BOOST : level;
    return boosted > ZSTD_maxCLevel() ? ZSTD_maxCLevel() : boosted;
}

/* zstd's hash and chain tables each stay within TABLE_ALLOWANCE and an
 * eighth of the new value: the two values' lengths bound the writer's
 * memory, not the level. */
static const uint64_t TABLE_ALLOWANCE = uint64_t{16} << 20;

static int table_log_cap(uint64_t new_length) {
    const uint64_t entries = (TABLE_ALLOWANCE + new_length / 8) / 4;
    int log = 10;
    while (log < 30 && (uint64_t{2} << log) <= entries) ++log;
    return log;
}

/* The window that lets a frame of `size` bytes refer back to the start of
 * the old value; 0 when no zstd window reaches that far. */
static int prefix_window_log(uint64_t old_length, uint64_t size) {
    int log = 10;
    while (log <= COMPACT_WINDOW_LOG_MAX && (uint64_t{1} << log) < old_length + size) ++log;
    return log <= COMPACT_WINDOW_LOG_MAX ? log : 0;
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
    if (worth && (*context != nullptr || (*context = ZSTD_createCCtx()) != nullptr)) {
        ZSTD_CCtx *cctx = *context;
        ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
        const int window_log = prefix_window_log(w->old_length, size);
        const bool prefix =
            stream == COMPACT_STREAM_LITERALS && w->old_length > 0 && window_log > 0;
        const uint64_t span = prefix ? w->old_length + size : size;
        const int zlevel = zstd_level(w->level, span, stream);
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, zlevel);
        const ZSTD_compressionParameters tables = ZSTD_getCParams(zlevel, span, 0);
        const int cap = table_log_cap(w->new_length);
        if (static_cast<int>(tables.hashLog) > cap)
            ZSTD_CCtx_setParameter(cctx, ZSTD_c_hashLog, cap);
        if (static_cast<int>(tables.chainLog) > cap)
            ZSTD_CCtx_setParameter(cctx, ZSTD_c_chainLog, cap);
        ZSTD_CCtx_setPledgedSrcSize(cctx, size);
        if (prefix) {
            ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, window_log);
            ZSTD_CCtx_refPrefix(cctx, w->old_data, static_cast<size_t>(w->old_length));
        }
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
                ZSTD_inBuffer input{piece + done, part, 0};
                while (fits && input.pos < input.size) {
                    const size_t r = ZSTD_compressStream2(cctx, &output, &input, ZSTD_e_continue);
                    fits =
                        !ZSTD_isError(r) && (output.pos < output.size || input.pos == input.size);
                }
                if (!delta_poll_tick(w->poll, &work, DELTA_POLL_WORK)) return false;
            }
        }
        size_t left = 1;
        while (fits && left != 0) {
            ZSTD_inBuffer none{nullptr, 0, 0};
            left = ZSTD_compressStream2(cctx, &output, &none, ZSTD_e_end);
            fits = !ZSTD_isError(left) && (left == 0 || output.pos < output.size);
        }
        if (fits && left == 0) {
            out->length = start + output.pos;
            *coding = prefix ? COMPACT_ZSTD_OLD : COMPACT_ZSTD;
            *encoded = output.pos;
            return true;
        }
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
