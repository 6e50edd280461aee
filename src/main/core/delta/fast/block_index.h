/* block_index: where the blocks of an old value lie, found by fingerprint.
 *
 * The fingerprint of every block start (every 2^shift bytes) of the old
 * value is hashed into a table of buckets with BLOCK_INDEX_WAYS slots each.
 * A slot holds the block number and, in its spare high bits, a few more
 * bits of the fingerprint, so most lookups that find nothing never touch the
 * old value. A full bucket gives up one of its slots, chosen by the block
 * number, so a bucket never holds more than BLOCK_INDEX_WAYS candidates
 * however many equal blocks there are: that is the bound on work per
 * lookup. Sixteen 4-byte slots make a bucket one cache line: more
 * candidates per lookup find noticeably more of the old value in large,
 * repetitive values, for the same memory traffic. Everything is computed
 * from the bytes alone, so the same value gives the same index on every
 * run and machine.
 *
 * Size: the table takes at most a quarter of the old value plus 16 MiB. */
#ifndef CORVANTIS_BLOCK_INDEX_H
#define CORVANTIS_BLOCK_INDEX_H

#include <stdint.h>
#include <string.h>

#include "base/buf.h"
#include "base/corvantis_export.h"
#include "delta/delta_ops.h"

CORVANTIS_EXTERN_C_BEGIN

/* Bytes a fingerprint covers: the shortest match a lookup can find. */
#define BLOCK_INDEX_WINDOW 8
#define BLOCK_INDEX_WAYS 16

typedef struct block_index {
    const uint8_t *data; /* the old value, borrowed */
    uint64_t length;
    uint32_t shift;       /* blocks start every 2^shift bytes */
    uint32_t block_bits;  /* low bits of a slot: block number + 1; 0 empty */
    uint64_t bucket_mask; /* buckets - 1 */
    uint32_t *slots;      /* (bucket_mask + 1) * BLOCK_INDEX_WAYS */
} block_index;

/* Indexes old_value, which must stay unchanged while the index lives. Null
 * when old_value is null or an allocation fails. */
CORVANTIS_API block_index *block_index_create(const buf *old_value);
/* The same with blocks at least 2^min_shift bytes apart: a smaller table,
 * built faster, that finds matches of 2^min_shift + 7 bytes or more. */
CORVANTIS_API block_index *block_index_create_coarse(const buf *old_value, uint32_t min_shift);
/* The same, asking `poll` (may be null) as it goes: gigabytes take seconds.
 * Null, with poll->stopped set, when the poll said stop. */
CORVANTIS_API block_index *block_index_create_polled(const buf *old_value, uint32_t min_shift,
                                                     delta_poll *poll);
CORVANTIS_API void block_index_free(block_index *index);

CORVANTIS_EXTERN_C_END

/* The scan calls these at every position, so they are inline rather than
 * exported calls. */

/* Fingerprint of the BLOCK_INDEX_WINDOW bytes at p. One multiplication mixes
 * them into the high bits; the xor-shift spreads those down into the check
 * bits. The word is read little-endian on every host, so the value depends
 * on the bytes alone. */
static inline uint64_t block_index_fingerprint(const uint8_t *p) {
    uint64_t a;
    memcpy(&a, p, sizeof a);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    a = __builtin_bswap64(a);
#endif
    const uint64_t h = (a ^ 0x632BE59BD9B4E019ull) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 29);
}

static inline const uint32_t *block_index_bucket(const block_index *index, uint64_t fingerprint) {
    return index->slots + ((fingerprint >> 32) & index->bucket_mask) * BLOCK_INDEX_WAYS;
}

/* The fingerprint bits a slot keeps above its block number. */
static inline uint32_t block_index_check(const block_index *index, uint64_t fingerprint) {
    if (index->block_bits >= 32) return 0;
    return (uint32_t)fingerprint >> index->block_bits << index->block_bits;
}

/* Writes the old offsets whose fingerprint may equal `fingerprint` (at most
 * BLOCK_INDEX_WAYS, to be verified by the caller) and returns their number. */
static inline uint32_t block_index_lookup(const block_index *index, uint64_t fingerprint,
                                          uint64_t *offsets) {
    const uint32_t *bucket = block_index_bucket(index, fingerprint);
    const uint32_t check = block_index_check(index, fingerprint);
    const uint32_t high_mask =
        index->block_bits >= 32 ? 0 : ~(((uint32_t)1 << index->block_bits) - 1);
    const uint64_t number_mask = ((uint64_t)1 << index->block_bits) - 1;
    uint32_t found = 0;
    for (uint32_t way = 0; way < BLOCK_INDEX_WAYS; ++way) {
        const uint32_t slot = bucket[way];
        if (slot == 0 || (slot & high_mask) != check) continue;
        offsets[found++] = ((slot & number_mask) - 1) << index->shift;
    }
    return found;
}

#endif
