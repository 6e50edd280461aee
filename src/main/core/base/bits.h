/* bits: leading zeroes, highest set bit and power-of-two rounding on 32-bit
 * and 64-bit integers.
 *
 * The signed arguments are read as bit patterns: a negative value has its top
 * bit set, so it has no leading zeroes and its highest bit is the top one. */
#ifndef CORVANTIS_BITS_H
#define CORVANTIS_BITS_H

#include <stdint.h>

#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

/* 63 - h (31 - h) where h is the index of the highest set bit; 64 (32) for 0. */
CORVANTIS_API int32_t number_of_leading_zeroes_long(int64_t x);
CORVANTIS_API int32_t number_of_leading_zeroes_int(int32_t x);

/* Number of significant bits: h + 1; 0 for 0, 64 (32) for a negative x. */
CORVANTIS_API int32_t highest_bit_long(int64_t x);
CORVANTIS_API int32_t highest_bit_int(int32_t x);

/* Smallest power of two not below x, x read as unsigned; 1 for 0 and 1.
 * -1 (all bits set) when x is above 2^62 (2^30 for the int form), which
 * includes every negative int. */
CORVANTIS_API int64_t find_next_power_of_two_long(int64_t x);
CORVANTIS_API int32_t find_next_power_of_two_int(int32_t x);

CORVANTIS_EXTERN_C_END

#endif
