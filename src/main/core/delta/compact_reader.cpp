#include "delta/compact_reader.h"

#include <string.h>

#include <algorithm>
#include <zstd.h>
#include <zstd_errors.h>

#include "base/alloc.h"
#include "delta/delta_ops.h"

/* A stream being read: its bytes (in the delta, or decoded into `owned`). */
struct stream_cursor {
    const uint8_t *data;
    uint64_t length;
    uint64_t pos;
    uint8_t *owned;

    bool varint(uint64_t *value) {
        const int32_t n = compact_varint_read(data + pos, length - pos, value);
        if (n <= 0) return false;
        pos += static_cast<uint64_t>(n);
        return true;
    }
    const uint8_t *take(uint64_t n) {
        if (n > length - pos) return nullptr;
        const uint8_t *at = data + pos;
        pos += n;
        return at;
    }
    bool used_up() const { return pos == length; }
};

/* The length of the operation `op`, from its byte or the lengths stream. */
static bool op_length(uint8_t op, stream_cursor &lengths, uint64_t *length) {
    *length = op >> 4;
    if (*length != 0) return true;
    uint64_t coded;
    if (!lengths.varint(&coded) || coded > UINT64_MAX - COMPACT_STREAM_LENGTH_BASE) return false;
    *length = coded + COMPACT_STREAM_LENGTH_BASE;
    return true;
}

/* A varint of the header, which is read no further than `limit`: running
 * into it is truncation when the delta ends there, damage otherwise. */
static diff_apply_error read_varint(const uint8_t *data, uint64_t limit, uint64_t length,
                                    uint32_t *pos, uint64_t *value) {
    const int32_t n = compact_varint_read(data + *pos, limit - *pos, value);
    if (n < 0) return DIFF_APPLY_DAMAGED_HEADER;
    if (n == 0) return limit == length ? DIFF_APPLY_TRUNCATED : DIFF_APPLY_DAMAGED_HEADER;
    *pos += static_cast<uint32_t>(n);
    return DIFF_APPLY_OK;
}

/* Decodes stream s of the delta (starting at `at`) into its cursor. */
static diff_apply_error open_stream(const compact_header &h, int s, const uint8_t *at,
                                    const buf *old_value, ZSTD_DCtx **dctx, stream_cursor *cursor) {
    *cursor = stream_cursor{at, h.decoded[s], 0, nullptr};
    if (h.coding[s] == COMPACT_RAW) return DIFF_APPLY_OK;
    if (*dctx == nullptr) {
        if ((*dctx = ZSTD_createDCtx()) == nullptr) return DIFF_APPLY_OUT_OF_MEMORY;
        /* The output is one flat block, so a wide window costs no memory. */
        ZSTD_DCtx_setParameter(*dctx, ZSTD_d_windowLogMax, COMPACT_WINDOW_LOG_MAX);
    }
    ZSTD_DCtx_reset(*dctx, ZSTD_reset_session_only);
    /* An empty prefix is no prefix to zstd. */
    if (h.coding[s] == COMPACT_ZSTD_OLD &&
        ZSTD_isError(
            ZSTD_DCtx_refPrefix(*dctx, old_value->data, static_cast<size_t>(old_value->length))))
        return DIFF_APPLY_DAMAGED;
    cursor->owned = static_cast<uint8_t *>(core_malloc(static_cast<size_t>(h.decoded[s])));
    if (cursor->owned == nullptr) return DIFF_APPLY_OUT_OF_MEMORY;
    cursor->data = cursor->owned;
    const size_t n = ZSTD_decompressDCtx(*dctx, cursor->owned, static_cast<size_t>(h.decoded[s]),
                                         at, static_cast<size_t>(h.encoded[s]));
    if (ZSTD_isError(n) || n != h.decoded[s]) {
        return ZSTD_getErrorCode(n) == ZSTD_error_memory_allocation ? DIFF_APPLY_OUT_OF_MEMORY
                                                                    : DIFF_APPLY_DAMAGED;
    }
    return DIFF_APPLY_OK;
}

/* Copies `length` bytes from `distance` back, which may overlap what it
 * writes: each memcpy doubles the repeated stretch, so a long run of one
 * byte takes a few dozen calls. */
static void copy_back(uint8_t *out, uint64_t distance, uint64_t length) {
    const uint8_t *from = out - distance;
    uint64_t done = 0;
    while (done < length) {
        const uint64_t n = std::min(length - done, distance + done);
        memcpy(out + done, from, static_cast<size_t>(n));
        done += n;
    }
}

/* Runs the operations into out (new_length bytes). */
static diff_apply_error execute(const buf *old_value, stream_cursor *streams, uint8_t *out,
                                uint64_t new_length, delta_poll *poll) {
    stream_cursor &ops = streams[COMPACT_STREAM_OPS], &lengths = streams[COMPACT_STREAM_LENGTHS];
    stream_cursor &addresses = streams[COMPACT_STREAM_ADDRESSES];
    uint64_t cache[COMPACT_ADDRESS_SLOTS] = {0, 0, 0, 0};
    uint64_t at = 0, work = 0;
    while (!ops.used_up()) {
        const uint8_t op = ops.data[ops.pos++];
        uint64_t length, address;
        if (!op_length(op, lengths, &length) || length > new_length - at) return DIFF_APPLY_DAMAGED;
        /* Copying costs about a unit of work per 16 bytes. */
        if (!delta_poll_tick(poll, &work, 1 + (length >> 4))) return DIFF_APPLY_STOPPED;
        const int kind = op & 3;
        if (kind == DELTA_OP_INSERT) {
            const uint8_t *bytes = streams[COMPACT_STREAM_LITERALS].take(length);
            if (bytes == nullptr) return DIFF_APPLY_DAMAGED;
            memcpy(out + at, bytes, static_cast<size_t>(length));
        } else if (kind == DELTA_OP_COPY_NEW) {
            if (!addresses.varint(&address) || address >= at) return DIFF_APPLY_DAMAGED;
            copy_back(out + at, address + 1, length);
        } else {
            uint64_t coded;
            if (!addresses.varint(&coded)) return DIFF_APPLY_DAMAGED;
            address = compact_unzigzag(coded, cache[(op >> 2) & 3]);
            if (length > old_value->length || address > old_value->length - length)
                return DIFF_APPLY_DAMAGED;
            memmove(cache + 1, cache, (COMPACT_ADDRESS_SLOTS - 1) * sizeof cache[0]);
            cache[0] = address + length;
            const uint8_t *o = old_value->data + address;
            if (kind == DELTA_OP_COPY_OLD) {
                memcpy(out + at, o, static_cast<size_t>(length));
            } else {
                const uint8_t *d = streams[COMPACT_STREAM_DIFFS].take(length);
                if (d == nullptr) return DIFF_APPLY_DAMAGED;
                uint8_t *w = out + at;
                for (uint64_t i = 0; i < length; ++i) w[i] = static_cast<uint8_t>(o[i] + d[i]);
            }
        }
        at += length;
    }
    for (int s = 0; s < COMPACT_STREAM_COUNT; ++s) {
        if (!streams[s].used_up()) return DIFF_APPLY_DAMAGED;
    }
    return at == new_length ? DIFF_APPLY_OK : DIFF_APPLY_WRONG_NEW_LENGTH;
}

/* The sum of the operations' lengths, read ahead so that the output is
 * allocated only for a delta whose operations make the declared length. */
static diff_apply_error planned_length(stream_cursor ops, stream_cursor lengths,
                                       uint64_t new_length) {
    uint64_t total = 0;
    for (; !ops.used_up(); ++ops.pos) {
        uint64_t length;
        if (!op_length(ops.data[ops.pos], lengths, &length)) return DIFF_APPLY_DAMAGED;
        if (length > new_length - total) return DIFF_APPLY_WRONG_NEW_LENGTH;
        total += length;
    }
    if (!lengths.used_up()) return DIFF_APPLY_DAMAGED;
    return total == new_length ? DIFF_APPLY_OK : DIFF_APPLY_WRONG_NEW_LENGTH;
}

static buf *failed(buf *out, diff_apply_error *error, diff_apply_error reason) {
    buf_free(out);
    *error = reason;
    return nullptr;
}

extern "C" {

diff_apply_error compact_header_read(const uint8_t *data, uint64_t length, compact_header *h) {
    memset(h, 0, sizeof *h);
    if (length < sizeof COMPACT_SIGNATURE ||
        memcmp(data, COMPACT_SIGNATURE, sizeof COMPACT_SIGNATURE) != 0)
        return DIFF_APPLY_DAMAGED_HEADER;
    if (length < COMPACT_PREFIX_SIZE) return DIFF_APPLY_TRUNCATED;
    if (data[5] != COMPACT_VERSION_HEAD || data[6] != COMPACT_VERSION)
        return DIFF_APPLY_UNSUPPORTED_VERSION;
    /* The header is short; reading stops at COMPACT_HEADER_MAX even if the
     * delta goes on, so positions fit 32 bits. */
    const uint64_t limit = std::min(length, uint64_t{COMPACT_HEADER_MAX});
    uint32_t pos = COMPACT_PREFIX_SIZE;
    diff_apply_error e;
    if ((e = read_varint(data, limit, length, &pos, &h->old_length)) != DIFF_APPLY_OK) return e;
    if ((e = read_varint(data, limit, length, &pos, &h->new_length)) != DIFF_APPLY_OK) return e;
    const diff_apply_error cut = limit == length ? DIFF_APPLY_TRUNCATED : DIFF_APPLY_DAMAGED_HEADER;
    /* Both checksums lie within the limit; anything short of them is cut. */
    if (limit - pos < 16) return cut;
    h->checksums_at = pos;
    h->old_checksum = compact_load64(data + pos);
    h->new_checksum = compact_load64(data + pos + 8);
    pos += 16;
    for (int s = 0; s < COMPACT_STREAM_COUNT; ++s) {
        uint64_t entry;
        if ((e = read_varint(data, limit, length, &pos, &entry)) != DIFF_APPLY_OK) return e;
        h->coding[s] = static_cast<int>(entry & ((1u << COMPACT_CODING_BITS) - 1));
        h->encoded[s] = h->decoded[s] = entry >> COMPACT_CODING_BITS;
        if (h->coding[s] != COMPACT_RAW &&
            (e = read_varint(data, limit, length, &pos, &h->decoded[s])) != DIFF_APPLY_OK)
            return e;
    }
    if (limit - pos < COMPACT_CHECK_SIZE) return cut;
    h->check_at = pos;
    uint32_t check = 0;
    for (uint32_t i = 0; i < COMPACT_CHECK_SIZE; ++i) check = check << 8 | data[pos + i];
    if (check != static_cast<uint32_t>(compact_checksum(data, pos)))
        return DIFF_APPLY_DAMAGED_HEADER;
    pos += COMPACT_CHECK_SIZE;
    h->size = pos;

    uint64_t left = length - pos;
    for (int s = 0; s < COMPACT_STREAM_COUNT; ++s) {
        if (h->encoded[s] > left) return DIFF_APPLY_TRUNCATED;
        left -= h->encoded[s];
    }
    if (left > 0) return DIFF_APPLY_TRAILING_BYTES;
    /* Every operation makes at least one byte, literals and differences are
     * new bytes, a length or an address is at most a varint per operation,
     * and no zstd frame expands beyond its limit (an empty one has none):
     * anything else is a lie
     * that must not decide an allocation. */
    const uint64_t ops = h->decoded[COMPACT_STREAM_OPS], n = h->new_length;
    if (ops > n || h->decoded[COMPACT_STREAM_LITERALS] > n ||
        h->decoded[COMPACT_STREAM_DIFFS] > n ||
        h->decoded[COMPACT_STREAM_LENGTHS] / COMPACT_VARINT_MAX > ops ||
        h->decoded[COMPACT_STREAM_ADDRESSES] / COMPACT_VARINT_MAX > ops)
        return DIFF_APPLY_DAMAGED;
    for (int s = 0; s < COMPACT_STREAM_COUNT; ++s) {
        if (h->coding[s] > COMPACT_ZSTD_OLD) return DIFF_APPLY_DAMAGED;
        if (h->coding[s] != COMPACT_RAW &&
            (h->decoded[s] == 0 || h->decoded[s] / COMPACT_ZSTD_MAX_EXPANSION >= h->encoded[s]))
            return DIFF_APPLY_DAMAGED;
    }
    if (ops == 0) {
        for (int s = 1; s < COMPACT_STREAM_COUNT; ++s) {
            if (h->decoded[s] != 0) return DIFF_APPLY_DAMAGED;
        }
        if (n != 0 && n != h->old_length) return DIFF_APPLY_WRONG_NEW_LENGTH;
    }
    return DIFF_APPLY_OK;
}

buf *compact_apply(const buf *old_value, const buf *delta, diff_apply_error *error,
                   delta_poll *poll) {
    compact_header h;
    *error = compact_header_read(delta->data, delta->length, &h);
    if (*error != DIFF_APPLY_OK) return nullptr;
    if (old_value->length != h.old_length)
        return failed(nullptr, error, DIFF_APPLY_WRONG_OLD_LENGTH);
    if (compact_checksum(old_value->data, old_value->length) != h.old_checksum)
        return failed(nullptr, error, DIFF_APPLY_WRONG_OLD_CHECKSUM);

    buf *out = buf_create();
    if (out == nullptr) return failed(nullptr, error, DIFF_APPLY_OUT_OF_MEMORY);
    stream_cursor streams[COMPACT_STREAM_COUNT] = {};
    ZSTD_DCtx *dctx = nullptr;
    diff_apply_error e = DIFF_APPLY_OK;
    const uint8_t *at = delta->data + h.size;
    for (int s = 0; s < COMPACT_STREAM_COUNT && e == DIFF_APPLY_OK; ++s) {
        e = open_stream(h, s, at, old_value, &dctx, &streams[s]);
        at += h.encoded[s];
    }
    ZSTD_freeDCtx(dctx);
    if (e == DIFF_APPLY_OK && h.decoded[COMPACT_STREAM_OPS] == 0) {
        /* No operations: the new value is empty or the old value itself. */
        if (h.new_length > 0) {
            out->data = static_cast<uint8_t *>(core_malloc64(h.new_length));
            if (out->data == nullptr)
                e = DIFF_APPLY_OUT_OF_MEMORY;
            else
                memcpy(out->data, old_value->data, static_cast<size_t>(h.new_length));
        }
    } else if (e == DIFF_APPLY_OK) {
        e = planned_length(streams[COMPACT_STREAM_OPS], streams[COMPACT_STREAM_LENGTHS],
                           h.new_length);
        if (e == DIFF_APPLY_OK) {
            out->data = static_cast<uint8_t *>(core_malloc64(h.new_length));
            e = out->data == nullptr ? DIFF_APPLY_OUT_OF_MEMORY
                                     : execute(old_value, streams, out->data, h.new_length, poll);
        }
    }
    for (stream_cursor &s : streams) free(s.owned);
    if (e != DIFF_APPLY_OK) return failed(out, error, e);
    out->length = out->capacity = h.new_length;
    if (compact_checksum(out->data, out->length) != h.new_checksum)
        return failed(out, error, DIFF_APPLY_WRONG_NEW_CHECKSUM);
    return out;
}
}
