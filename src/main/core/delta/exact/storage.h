/* storage: the diagonal slots of the middle-snake search.
 *
 * Forward and reverse furthest-x values live interleaved in one array of
 * signed 32-bit slots. A diagonal's key is 4k for k >= 0 and ~(4k) for k < 0;
 * its reverse slot sits two keys further on. Each group of four keys starting
 * at 4j - 1 therefore serves diagonals -j and j in both directions, so
 * negative diagonals need no offset and the array grows at one end only.
 *
 * Unset forward slots hold -1, unset reverse slots 0x7FFFFFFF. Reads outside
 * the array (or from a null storage) yield INT32_MIN. The storage also caps
 * the search: storage_extend refuses iterations beyond `max_iteration`. */
#ifndef CORVANTIS_STORAGE_H
#define CORVANTIS_STORAGE_H

#include <stdint.h>

#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

#define STORAGE_FORWARD_UNSET (-1)
#define STORAGE_REVERSE_UNSET INT32_MAX
#define STORAGE_OUT_OF_RANGE INT32_MIN

typedef struct storage {
    int32_t *slots;         /* owned */
    uint32_t capacity;      /* slots allocated */
    uint32_t storage_limit; /* as given to storage_create */
    uint32_t max_iteration; /* (storage_limit - 3) >> 2, wrapping */
    uint32_t extent;        /* 4d + 7 for the current iteration d */
} storage;

/* Returns a storage of 22 slots whose first three groups (keys 3 to 14) are
 * initialised; null when an allocation fails. */
CORVANTIS_API storage *storage_create(uint32_t storage_limit);
CORVANTIS_API void storage_free(storage *s);

/* Makes room for iteration d and resets the slots of diagonals 1 to d + 2
 * (keys 0 to 2 are left to the caller). 0 when d < 1, or when the array
 * cannot grow. */
CORVANTIS_API int storage_initialise(storage *s, int32_t d);
/* Makes room for iteration d without touching any slot. 1, or 0 when the
 * array cannot grow. */
CORVANTIS_API int storage_ensure(storage *s, int32_t d);
/* Resets every group from key `from` up to the current extent. */
CORVANTIS_API void storage_fill(storage *s, uint32_t from);
/* Moves to iteration d, resetting the groups the new iteration can reach for
 * the first time. 0 (and nothing changed) when d exceeds `max_iteration`;
 * 0 as well when the array cannot grow, which ends the search just the same. */
CORVANTIS_API int storage_extend(storage *s, int32_t d);

CORVANTIS_API uint32_t storage_key_forward(int32_t k);
CORVANTIS_API uint32_t storage_key_reverse(int32_t k);

CORVANTIS_API int32_t storage_key_forward_get(const storage *s, int32_t k);
CORVANTIS_API int32_t storage_key_reverse_get(const storage *s, int32_t k);
/* 1 when stored; 0 for a null storage or a key beyond the array. */
CORVANTIS_API int storage_key_forward_set(storage *s, int32_t k, int32_t value);
CORVANTIS_API int storage_key_reverse_set(storage *s, int32_t k, int32_t value);

/* Next forward x on diagonal k: the larger of x(k - 1) and x(k + 1) + 1. */
CORVANTIS_API int32_t storage_key_forward_get_next(const storage *s, int32_t k);
/* Next reverse x on relative diagonal k: the smaller of x(k + 1) and
 * x(k - 1) - 1. */
CORVANTIS_API int32_t storage_key_reverse_get_next(const storage *s, int32_t k);

CORVANTIS_EXTERN_C_END

#endif
