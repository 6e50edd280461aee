/* block_index: where the blocks of an old value lie, found by fingerprint.
 *
 * The fingerprint of every block start (every 2^shift bytes) of the old
 * value is hashed into a table of buckets with BLOCK_INDEX_WAYS slots each.
 * A slot holds the block number and, in its spare high bits, a few more
 * bits of the fingerprint, so most lookups that find nothing never touch the
 * old value. A full bucket gives up one of its slots, chosen by the block
 * number, so a bucket never holds more than BLOCK_INDEX_WAYS candidates
 * however many equal blocks there are: that is the bound on work per
 * lookup. Everything is computed from the bytes alone, so the same value
 * gives the same index on every run and machine.
 *
 * Size: the table takes at most a quarter of the old value plus 16 MiB. */
#ifndef CORVANTIS_BLOCK_INDEX_H
#define CORVANTIS_BLOCK_INDEX_H

#include <stdint.h>

#include "buf.h"
#include "corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

/* Bytes a fingerprint covers: the shortest match a lookup can find. */
#define BLOCK_INDEX_WINDOW 16
#define BLOCK_INDEX_WAYS 4

typedef struct block_index {
    const uint8_t *data;  /* the old value, borrowed */
    uint64_t length;
    uint32_t shift;       /* blocks start every 2^shift bytes */
    uint32_t block_bits;  /* low bits of a slot: block number + 1; 0 empty */
    uint64_t bucket_mask; /* buckets - 1 */
    uint32_t *slots;      /* (bucket_mask + 1) * BLOCK_INDEX_WAYS */
} block_index;

/* Indexes old_value, which must stay unchanged while the index lives. Null
 * when old_value is null or an allocation fails. */
CORVANTIS_API block_index *block_index_create(const buf *old_value);
CORVANTIS_API void block_index_free(block_index *index);

/* Fingerprint of the BLOCK_INDEX_WINDOW bytes at p. */
CORVANTIS_API uint64_t block_index_fingerprint(const uint8_t *p);

/* Writes the old offsets whose fingerprint may equal `fingerprint` (at most
 * BLOCK_INDEX_WAYS, to be verified by the caller) and returns their number. */
CORVANTIS_API uint32_t block_index_lookup(const block_index *index, uint64_t fingerprint, uint64_t *offsets);

CORVANTIS_EXTERN_C_END

#endif
