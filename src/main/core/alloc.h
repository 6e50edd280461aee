/* Internal: the core's allocation entry points.
 *
 * All heap allocation in the core goes through these so that the test build
 * (CORVANTIS_TESTING) can make the n-th allocation fail and exercise every
 * out-of-memory path. In normal builds they are the C library's functions. */
#ifndef CORVANTIS_ALLOC_H
#define CORVANTIS_ALLOC_H

#include <stddef.h>
#include <stdlib.h>

#include "corvantis_export.h"

#ifdef CORVANTIS_TESTING
CORVANTIS_EXTERN_C_BEGIN
void *core_malloc(size_t size);
void *core_calloc(size_t count, size_t size);
void *core_realloc(void *block, size_t size);

/* Test seam: after `successes` more allocations succeed, every further one
 * fails until the seam is reset with a negative value (the default). */
void core_alloc_fail_after(long successes);
/* Number of allocations attempted since the last core_alloc_fail_after. */
long core_alloc_attempts(void);
CORVANTIS_EXTERN_C_END
#else
static inline void *core_malloc(size_t size) { return malloc(size); }
static inline void *core_calloc(size_t count, size_t size) { return calloc(count, size); }
static inline void *core_realloc(void *block, size_t size) { return realloc(block, size); }
#endif

#endif
