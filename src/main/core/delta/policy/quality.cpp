#include "delta/policy/quality.h"

#include <algorithm>

uint32_t quality_for_utilisation(int32_t utilisation) {
    if (utilisation < QUALITY_1_UTILISATION) return QUALITY_FULL;
    if (utilisation < QUALITY_2_UTILISATION) return QUALITY_QUARTER;
    if (utilisation < QUALITY_3_UTILISATION) return QUALITY_SIXTEENTH;
    if (utilisation < QUALITY_4_UTILISATION) return QUALITY_MINIMAL;
    return QUALITY_TRIM_ONLY;
}

int quality_searches(uint32_t quality) { return quality != QUALITY_TRIM_ONLY; }

int32_t quality_bail_limit(quality_word word, int32_t old_length, int32_t new_length) {
    const int32_t m = std::min({old_length, new_length, word.limit});
    switch (word.quality) {
    case QUALITY_FULL: return word.limit;
    case QUALITY_QUARTER: return std::max(m >> QUALITY_QUARTER_SHIFT, QUALITY_QUARTER_FLOOR);
    case QUALITY_SIXTEENTH: return std::max(m >> QUALITY_SIXTEENTH_SHIFT, QUALITY_SIXTEENTH_FLOOR);
    case QUALITY_MINIMAL: return QUALITY_MINIMAL_LIMIT;
    default: return QUALITY_NO_SEARCH_LIMIT;
    }
}
