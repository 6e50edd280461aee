/* byte_compare: how many bytes two runs have in common, from the front or
 * from the back. Internal to the engine; not an API.
 *
 * Most runs the engine compares end within the first word, so that word is
 * tested inline and only longer runs pay for a call. Past it, runs are
 * compared a word at a time (unaligned loads through memcpy); a run still
 * equal after a few words is likely long, so it continues with memcmp over
 * growing blocks and only the block holding the difference is searched word
 * by word again. */
#ifndef CORVANTIS_BYTE_COMPARE_H
#define CORVANTIS_BYTE_COMPARE_H

#include <stdint.h>
#include <string.h>

static inline uint64_t byte_compare_load_word(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

/* Equal bytes at the low-address end of two words, given their XOR (non-zero). */
static inline int64_t byte_compare_equal_low(uint64_t difference) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_clzll(difference) >> 3;
#else
    return __builtin_ctzll(difference) >> 3;
#endif
}

/* Equal bytes at the high-address end of two words, given their XOR (non-zero). */
static inline int64_t byte_compare_equal_high(uint64_t difference) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_ctzll(difference) >> 3;
#else
    return __builtin_clzll(difference) >> 3;
#endif
}

/* The out-of-line rest of a run whose first word was equal. */
int64_t byte_compare_forward_rest(const uint8_t *a, const uint8_t *b, int64_t n);
int64_t byte_compare_backward_rest(const uint8_t *a_end, const uint8_t *b_end, int64_t n);

/* Number of leading equal bytes of a[0, n) and b[0, n); 0 when n < 1. */
static inline int64_t byte_compare_forward(const uint8_t *a, const uint8_t *b, int64_t n) {
    if (n >= 8) {
        const uint64_t x = byte_compare_load_word(a) ^ byte_compare_load_word(b);
        if (x) return byte_compare_equal_low(x);
        return 8 + byte_compare_forward_rest(a + 8, b + 8, n - 8);
    }
    int64_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

/* Number of equal bytes directly before a_end and b_end, at most n; 0 when
 * n < 1. */
static inline int64_t byte_compare_backward(const uint8_t *a_end, const uint8_t *b_end, int64_t n) {
    if (n >= 8) {
        const uint64_t x = byte_compare_load_word(a_end - 8) ^ byte_compare_load_word(b_end - 8);
        if (x) return byte_compare_equal_high(x);
        return 8 + byte_compare_backward_rest(a_end - 8, b_end - 8, n - 8);
    }
    int64_t i = 0;
    while (i < n && a_end[-i - 1] == b_end[-i - 1]) ++i;
    return i;
}

#endif
