/* compact_format: the constants and integer codings that the compact writer
 * and reader share. docs/delta-format.md describes the layout byte by byte. */
#ifndef CORVANTIS_COMPACT_FORMAT_H
#define CORVANTIS_COMPACT_FORMAT_H

#include <stdint.h>
#include <xxhash.h>

/* CBOR unsigned integer 0x43564443 ("CVDC"), then a one-byte CBOR byte string
 * holding the version: a bare reader takes the integer for a copy offset and
 * refuses the byte string where the copy's length should be. */
static const uint8_t COMPACT_SIGNATURE[5] = {0x1A, 'C', 'V', 'D', 'C'};
static const uint8_t COMPACT_VERSION_HEAD = 0x41;
static const uint8_t COMPACT_VERSION = 1;
static const uint32_t COMPACT_PREFIX_SIZE = 7; /* signature and version */
static const uint32_t COMPACT_CHECK_SIZE = 4;  /* header checksum */
static const uint32_t COMPACT_HEADER_MAX = 7 + 10 + 10 + 16 + 5 * 20 + 4;

/* The streams, in the order of the stream table and of their bytes. */
enum compact_stream_id {
    COMPACT_STREAM_OPS = 0,       /* one byte per operation */
    COMPACT_STREAM_LENGTHS = 1,   /* varint length - 16 of operations of 16 bytes or more */
    COMPACT_STREAM_ADDRESSES = 2, /* varint address of every copy */
    COMPACT_STREAM_LITERALS = 3,  /* inserted bytes */
    COMPACT_STREAM_DIFFS = 4,     /* new minus old bytes of approximate copies */
    COMPACT_STREAM_COUNT = 5,
};

/* How a stream's bytes are stored: the low two bits of its stream table
 * entry, above them the stored size. */
enum compact_coding {
    COMPACT_RAW = 0,
    COMPACT_ZSTD = 1,
    COMPACT_ZSTD_OLD = 2, /* a zstd frame that refers to the old value as its prefix */
};
static const uint32_t COMPACT_CODING_BITS = 2;
/* zstd's widest window on 64-bit systems: a frame that refers to the old
 * value needs one spanning the old value and the frame's own bytes. */
static const int COMPACT_WINDOW_LOG_MAX = 31;

/* An operation byte: kind in bits 0-1 (delta_op_kind), address cache slot in
 * bits 2-3 (copies from the old value), length in bits 4-7 when 1 to 15, else
 * 0 and the length in the lengths stream. */
static const uint32_t COMPACT_INLINE_LENGTH_MAX = 15;
static const uint32_t COMPACT_STREAM_LENGTH_BASE = 16;
static const uint32_t COMPACT_ADDRESS_SLOTS = 4;

/* The most a zstd frame can expand: a 3-byte block header and one byte give
 * a block of at most 128 KiB. A declared size beyond this is a lie. */
static const uint64_t COMPACT_ZSTD_MAX_EXPANSION = 32768;

static const uint32_t COMPACT_VARINT_MAX = 10;

/* XXH3-64, the checksum of values and (its low 32 bits) of headers. */
static inline uint64_t compact_checksum(const uint8_t *data, uint64_t length) {
    return length == 0 ? XXH3_64bits(nullptr, 0) : XXH3_64bits(data, static_cast<size_t>(length));
}

/* LEB128: 7 bits a byte, low group first. */
static inline uint32_t compact_varint_write(uint8_t *out, uint64_t value) {
    uint32_t n = 0;
    while (value >= 0x80) {
        out[n++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<uint8_t>(value);
    return n;
}

static inline uint32_t compact_varint_size(uint64_t value) {
    uint32_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

/* Result of reading a varint: the bytes it took, 0 when the input ends
 * inside it, -1 when it has more than 64 bits. */
static inline int32_t compact_varint_read(const uint8_t *in, uint64_t available, uint64_t *value) {
    uint64_t v = 0;
    for (uint32_t n = 0; n < COMPACT_VARINT_MAX; ++n) {
        if (n >= available) return 0;
        const uint64_t group = in[n] & 0x7F;
        if (n == COMPACT_VARINT_MAX - 1 && group > 1) return -1;
        v |= group << (7 * n);
        if ((in[n] & 0x80) == 0) {
            *value = v;
            return static_cast<int32_t>(n + 1);
        }
    }
    return -1;
}

/* Signed distances as unsigned: 0, -1, 1, -2, ... become 0, 1, 2, 3, ... */
static inline uint64_t compact_zigzag(uint64_t to, uint64_t from) {
    const uint64_t d = to - from;
    return (d << 1) ^ (0 - (d >> 63));
}

static inline uint64_t compact_unzigzag(uint64_t z, uint64_t from) {
    return from + ((z >> 1) ^ (0 - (z & 1)));
}

static inline void compact_store64(uint8_t *out, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) out[i] = static_cast<uint8_t>(v);
}

static inline uint64_t compact_load64(const uint8_t *in) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | in[i];
    return v;
}

#endif
