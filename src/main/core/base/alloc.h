/* Internal: the core's allocation entry points.
 *
 * All heap allocation in the core goes through these so that a test can make
 * the n-th allocation fail and exercise every out-of-memory path, in the very
 * library the module ships. Until a test arms the seam they only forward to
 * the C library, without touching any state. */
#ifndef CORVANTIS_ALLOC_H
#define CORVANTIS_ALLOC_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN
void *core_malloc(size_t size);
void *core_calloc(size_t count, size_t size);
void *core_realloc(void *block, size_t size);
/* For sizes counted in 64 bits: null, without an attempt, for a size that
 * does not fit size_t (which only a 32-bit size_t can refuse). */
void *core_malloc64(uint64_t size);
void *core_realloc64(void *block, uint64_t size);

/* Test seam: after `successes` more allocations succeed, every further one
 * fails until the seam is reset with a negative value. The first call also
 * starts the count of attempts. Process-wide and unsynchronised: tests only. */
void core_alloc_fail_after(long successes);
/* The same, but only that one allocation fails: the ones after it succeed, as
 * when memory comes back, which reaches the paths that clean up a partial
 * failure. */
void core_alloc_fail_once(long successes);
/* Number of allocations attempted since the last core_alloc_fail_after. */
long core_alloc_attempts(void);
CORVANTIS_EXTERN_C_END

#endif
