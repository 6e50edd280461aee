/* quality: how hard the engine may search, in one place. Internal; not an
 * API.
 *
 * A delta quality (0 most thorough, 4 prefix and suffix only, 5 or more one
 * iteration per search) travels to myers_binary_diff in the high half of a
 * 64-bit word whose low half is the caller's bail-out limit. The front door
 * picks it from the activity history's utilisation; the engine turns it into
 * the bail-out limit of every search. */
#ifndef CORVANTIS_QUALITY_H
#define CORVANTIS_QUALITY_H

#include <stdint.h>

typedef struct quality_word {
    uint32_t quality;
    int32_t limit; /* the caller's bail-out limit, read as signed */
} quality_word;

static inline uint64_t quality_pack(uint32_t quality, int32_t limit) {
    return ((uint64_t)quality << 32) | (uint32_t)limit;
}

static inline quality_word quality_unpack(uint64_t word) {
    return quality_word{(uint32_t)(word >> 32), (int32_t)(uint32_t)word};
}

/* Quality 0 to 4 for a utilisation in 256ths of the history's window. */
uint32_t quality_for_utilisation(int32_t utilisation);

/* 0 for the quality that only trims the common prefix and suffix. */
int quality_searches(uint32_t quality);

/* The bail-out limit of every search under the given quality. */
int32_t quality_bail_limit(quality_word word, int32_t old_length, int32_t new_length);

#endif
