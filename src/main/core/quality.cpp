#include "quality.h"

#include "diff.h"
#include "execution.h"

/* Below these lengths a fraction of the window would leave too little room
 * for a search to find anything, so the limit stays at a floor instead; at
 * 259 and below the shifted values would not exceed the floors anyway. */
static const int32_t k_fraction_threshold = 259;
/* Quality 1 allows a quarter of the shortest side, at least 64 iterations:
 * cheap enough under moderate load, still finds most edits of a document. */
static const int k_quarter_shift = 2;
static const int32_t k_quarter_floor = 64;
/* Quality 2 allows a sixteenth, at least 16: only nearby edits are found. */
static const int k_sixteenth_shift = 4;
static const int32_t k_sixteenth_floor = 16;
/* Quality 3 keeps searches to their first two iterations: one-byte edits
 * are still found exactly, anything else is split by the bail-out. */
static const int32_t k_minimal_limit = 1;
/* A negative limit makes every search bail out after its first iteration;
 * the trim-only quality never searches, so its limit is never read. */
static const int32_t k_no_search_limit = -1;

uint32_t quality_for_utilisation(int32_t utilisation) {
    if (utilisation < DIFF_QUALITY_1_UTILISATION) return 0;
    if (utilisation < DIFF_QUALITY_2_UTILISATION) return 1;
    if (utilisation < DIFF_QUALITY_3_UTILISATION) return 2;
    if (utilisation < DIFF_QUALITY_4_UTILISATION) return 3;
    return EXECUTION_QUALITY_TRIM_ONLY;
}

int quality_searches(uint32_t quality) { return quality != EXECUTION_QUALITY_TRIM_ONLY; }

static inline int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

int32_t quality_bail_limit(quality_word word, int32_t old_length, int32_t new_length) {
    const int32_t m = min32(min32(old_length, new_length), word.limit);
    switch (word.quality) {
    case EXECUTION_QUALITY_FULL: return word.limit;
    case 1: return m > k_fraction_threshold ? m >> k_quarter_shift : k_quarter_floor;
    case 2: return m > k_fraction_threshold ? m >> k_sixteenth_shift : k_sixteenth_floor;
    case 3: return k_minimal_limit;
    default: return k_no_search_limit;
    }
}
