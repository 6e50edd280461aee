#include "delta/fast/block_index.h"

#include <string.h>

#include "base/alloc.h"

/* The smallest block step: 4 bytes keeps every match of 11 bytes or more
 * findable while the table stays within its size. */
static const uint32_t MIN_SHIFT = 2;
static const uint64_t TABLE_ALLOWANCE = 16u << 20;

static uint64_t block_count(uint64_t length, uint32_t shift) {
    return length < BLOCK_INDEX_WINDOW ? 0 : ((length - BLOCK_INDEX_WINDOW) >> shift) + 1;
}

static uint64_t next_power_of_two(uint64_t n) {
    uint64_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

static uint32_t bit_length(uint64_t n) {
    uint32_t bits = 0;
    while (n != 0) {
        ++bits;
        n >>= 1;
    }
    return bits;
}

extern "C" {

block_index *block_index_create(const buf *old_value) {
    return block_index_create_coarse(old_value, MIN_SHIFT);
}

block_index *block_index_create_coarse(const buf *old_value, uint32_t min_shift) {
    return block_index_create_polled(old_value, min_shift, nullptr);
}

block_index *block_index_create_polled(const buf *old_value, uint32_t min_shift, delta_poll *poll) {
    if (old_value == nullptr) return nullptr;
    block_index *index = static_cast<block_index *>(core_calloc(1, sizeof(block_index)));
    if (index == nullptr) return nullptr;
    index->data = old_value->data;
    index->length = old_value->length;

    /* The finest step whose table fits; block numbers must fit 32 bits. */
    uint32_t shift = min_shift < MIN_SHIFT ? MIN_SHIFT : min_shift;
    uint64_t slots = 0;
    for (;; ++shift) {
        const uint64_t blocks = block_count(index->length, shift);
        slots = next_power_of_two(blocks < BLOCK_INDEX_WAYS ? BLOCK_INDEX_WAYS : blocks);
        if (blocks < UINT32_MAX && slots * sizeof(uint32_t) <= index->length / 4 + TABLE_ALLOWANCE)
            break;
    }
    const uint64_t blocks = block_count(index->length, shift);
    index->shift = shift;
    index->block_bits = bit_length(blocks);
    index->bucket_mask = slots / BLOCK_INDEX_WAYS - 1;
    index->slots =
        static_cast<uint32_t *>(core_calloc(static_cast<size_t>(slots), sizeof(uint32_t)));
    if (index->slots == nullptr) {
        free(index);
        return nullptr;
    }

    /* Fingerprints are computed a few blocks ahead of their insertion so the
     * bucket's cache line is on its way by the time it is written. */
    const uint64_t ahead = 8;
    uint64_t pending[8];
    uint64_t work = 0;
    for (uint64_t k = 0; k < blocks + ahead; ++k) {
        if (!delta_poll_tick(poll, &work, 1)) {
            block_index_free(index);
            return nullptr;
        }
        if (k >= ahead) {
            const uint64_t block = k - ahead;
            const uint64_t f = pending[block % ahead];
            uint32_t *bucket = const_cast<uint32_t *>(block_index_bucket(index, f));
            const uint32_t slot = block_index_check(index, f) | static_cast<uint32_t>(block + 1);
            uint32_t way = 0;
            while (way < BLOCK_INDEX_WAYS && bucket[way] != 0) ++way;
            /* A full bucket drops a slot picked by the block number: equal
             * blocks then stay spread over the value instead of the first few. */
            bucket[way < BLOCK_INDEX_WAYS ? way : block % BLOCK_INDEX_WAYS] = slot;
        }
        if (k < blocks) {
            const uint64_t f = block_index_fingerprint(index->data + (k << shift));
            pending[k % ahead] = f;
            __builtin_prefetch(const_cast<uint32_t *>(block_index_bucket(index, f)), 1);
        }
    }
    return index;
}

void block_index_free(block_index *index) {
    if (index == nullptr) return;
    free(index->slots);
    free(index);
}
}
