#include "base/alloc.h"

/* Nothing here is written until a test calls core_alloc_fail_after, so the
 * shipped module keeps no state that threads could race on. */
static bool g_watching = false;
static long g_fail_after = -1;
static bool g_fail_once = false;
static long g_attempts = 0;

static bool allocation_allowed(void) {
    if (__builtin_expect(!g_watching, 1)) return true;
    ++g_attempts;
    if (g_fail_after < 0) return true;
    if (g_fail_after == 0) {
        if (g_fail_once) g_fail_after = -1;
        return false;
    }
    --g_fail_after;
    return true;
}

static void arm(long successes, bool once) {
    g_watching = true;
    g_fail_after = successes;
    g_fail_once = once;
    g_attempts = 0;
}

extern "C" {

void *core_malloc(size_t size) { return allocation_allowed() ? malloc(size) : nullptr; }

void *core_calloc(size_t count, size_t size) {
    return allocation_allowed() ? calloc(count, size) : nullptr;
}

void *core_realloc(void *block, size_t size) {
    return allocation_allowed() ? realloc(block, size) : nullptr;
}

void *core_malloc64(uint64_t size) {
    return size > SIZE_MAX ? nullptr : core_malloc(static_cast<size_t>(size));
}

void *core_realloc64(void *block, uint64_t size) {
    return size > SIZE_MAX ? nullptr : core_realloc(block, static_cast<size_t>(size));
}

void core_alloc_fail_after(long successes) { arm(successes, false); }

void core_alloc_fail_once(long successes) { arm(successes, true); }

long core_alloc_attempts(void) { return g_attempts; }
}
