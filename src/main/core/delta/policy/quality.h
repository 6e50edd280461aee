/* quality: how hard the exact engine may search, as one table. Internal; not
 * an API. Includes nothing of the front door or the engines: both read it.
 *
 * A delta quality (0 most thorough, 4 prefix and suffix only, 5 or more one
 * iteration per search) travels to myers_binary_diff in the high half of a
 * 64-bit word whose low half is the caller's bail-out limit. The front door
 * picks it from the activity history's utilisation; the engine turns it into
 * the bail-out limit of every search. */
#ifndef CORVANTIS_QUALITY_H
#define CORVANTIS_QUALITY_H

#include <stdint.h>

/* Utilisation (256ths of the history's window busy) at which the quality
 * steps up: below half the window the caller gets the best delta; the
 * steps above it are spaced so that the cost falls about as fast as the
 * machine fills, and the last one is kept for a window nearly full. */
#define QUALITY_1_UTILISATION 128
#define QUALITY_2_UTILISATION 166
#define QUALITY_3_UTILISATION 204
#define QUALITY_4_UTILISATION 243

enum {
    QUALITY_FULL = 0,      /* every search runs to the caller's bail-out limit */
    QUALITY_QUARTER = 1,   /* a quarter of the shortest side */
    QUALITY_SIXTEENTH = 2, /* a sixteenth of the shortest side */
    QUALITY_MINIMAL = 3,   /* the first two iterations of each search */
    QUALITY_TRIM_ONLY = 4, /* no search: common prefix and suffix only */
};

/* A fraction of a short window would leave too little room for a search to
 * find anything, so each fraction has a floor. A quarter of the shortest
 * side, at least 64 iterations: cheap enough under moderate load, still finds
 * most edits of a document. */
#define QUALITY_QUARTER_SHIFT 2
#define QUALITY_QUARTER_FLOOR 64
/* A sixteenth, at least 16: only nearby edits are found. */
#define QUALITY_SIXTEENTH_SHIFT 4
#define QUALITY_SIXTEENTH_FLOOR 16
/* Two iterations: one-byte edits are still found exactly, anything else is
 * split by the bail-out. */
#define QUALITY_MINIMAL_LIMIT 1
/* A negative limit makes every search bail out after its first iteration;
 * the trim-only quality never searches, so its limit is never read. */
#define QUALITY_NO_SEARCH_LIMIT (-1)

typedef struct quality_word {
    uint32_t quality;
    int32_t limit; /* the caller's bail-out limit, read as signed */
} quality_word;

static inline uint64_t quality_pack(uint32_t quality, int32_t limit) {
    return ((uint64_t)quality << 32) | (uint32_t)limit;
}

static inline quality_word quality_unpack(uint64_t word) {
    quality_word unpacked;
    unpacked.quality = (uint32_t)(word >> 32);
    unpacked.limit = (int32_t)(uint32_t)word;
    return unpacked;
}

/* Quality 0 to 4 for a utilisation in 256ths of the history's window. */
uint32_t quality_for_utilisation(int32_t utilisation);

/* 0 for the quality that only trims the common prefix and suffix. */
int quality_searches(uint32_t quality);

/* The bail-out limit of every search under the given quality. */
int32_t quality_bail_limit(quality_word word, int32_t old_length, int32_t new_length);

#endif
