#include "base/byte_compare.h"

#include <algorithm>

static const int64_t k_word_run = 64; /* bytes compared word-wise before blocks */
static const int64_t k_first_block = 256;
/* Large enough that memcmp runs at full speed, small enough that the block
 * holding the difference is searched again cheaply. */
static const int64_t k_largest_block = 65536;

/* The byte loops finish whatever the word loops leave, so where a word loop
 * stops (like the block sizes above) decides the speed, never the count. */
static int64_t forward_words(const uint8_t *a, const uint8_t *b, int64_t i, int64_t n) {
    while (n - i >= 8) {
        const uint64_t x = byte_compare_load_word(a + i) ^ byte_compare_load_word(b + i);
        if (x) return i + byte_compare_equal_low(x);
        i += 8;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

static int64_t backward_words(const uint8_t *a_end, const uint8_t *b_end, int64_t i, int64_t n) {
    while (n - i >= 8) {
        const uint64_t x =
            byte_compare_load_word(a_end - i - 8) ^ byte_compare_load_word(b_end - i - 8);
        if (x) return i + byte_compare_equal_high(x);
        i += 8;
    }
    while (i < n && a_end[-i - 1] == b_end[-i - 1]) ++i;
    return i;
}

int64_t byte_compare_forward_rest(const uint8_t *a, const uint8_t *b, int64_t n) {
    const int64_t i = forward_words(a, b, 0, std::min(n, k_word_run));
    if (i < k_word_run) return i;
    int64_t done = i;
    for (int64_t block = k_first_block; n - done >= block;) {
        if (memcmp(a + done, b + done, (size_t)block) != 0)
            return forward_words(a, b, done, done + block);
        done += block;
        if (block < k_largest_block) block *= 2;
    }
    return forward_words(a, b, done, n);
}

int64_t byte_compare_backward_rest(const uint8_t *a_end, const uint8_t *b_end, int64_t n) {
    const int64_t i = backward_words(a_end, b_end, 0, std::min(n, k_word_run));
    if (i < k_word_run) return i;
    int64_t done = i;
    for (int64_t block = k_first_block; n - done >= block;) {
        if (memcmp(a_end - done - block, b_end - done - block, (size_t)block) != 0)
            return backward_words(a_end, b_end, done, done + block);
        done += block;
        if (block < k_largest_block) block *= 2;
    }
    return backward_words(a_end, b_end, done, n);
}
