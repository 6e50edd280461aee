#include "base/bits.h"

/* Leading zeroes of a 64-bit pattern by halving: six compare-and-shift steps,
 * no loop over single bits and no compiler intrinsic, so every platform gives
 * the same answer for 0. */
static int32_t leading_zeroes_u64(uint64_t v) {
    if (v == 0) return 64;
    int32_t n = 0;
    if ((v & 0xFFFFFFFF00000000ull) == 0) {
        n += 32;
        v <<= 32;
    }
    if ((v & 0xFFFF000000000000ull) == 0) {
        n += 16;
        v <<= 16;
    }
    if ((v & 0xFF00000000000000ull) == 0) {
        n += 8;
        v <<= 8;
    }
    if ((v & 0xF000000000000000ull) == 0) {
        n += 4;
        v <<= 4;
    }
    if ((v & 0xC000000000000000ull) == 0) {
        n += 2;
        v <<= 2;
    }
    if ((v & 0x8000000000000000ull) == 0) {
        n += 1;
    }
    return n;
}

extern "C" {

int32_t number_of_leading_zeroes_long(int64_t x) {
    return leading_zeroes_u64(static_cast<uint64_t>(x));
}

int32_t number_of_leading_zeroes_int(int32_t x) {
    return leading_zeroes_u64(static_cast<uint64_t>(static_cast<uint32_t>(x))) - 32;
}

int32_t highest_bit_long(int64_t x) { return 64 - number_of_leading_zeroes_long(x); }

int32_t highest_bit_int(int32_t x) { return 32 - number_of_leading_zeroes_int(x); }

int64_t find_next_power_of_two_long(int64_t x) {
    const uint64_t v = static_cast<uint64_t>(x);
    /* From 1 up the count below gives the answer; for 0 it would shift by 64. */
    if (v == 0) return 1;
    if (v > (1ull << 62)) return -1;
    return static_cast<int64_t>(1ull << highest_bit_long(static_cast<int64_t>(v - 1)));
}

int32_t find_next_power_of_two_int(int32_t x) {
    const uint32_t v = static_cast<uint32_t>(x);
    if (v == 0) return 1;
    if (v > (1u << 30)) return -1;
    return static_cast<int32_t>(1u << highest_bit_int(static_cast<int32_t>(v - 1)));
}
}
