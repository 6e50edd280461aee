#include "delta/exact/storage.h"

#include <stdlib.h>
#include <string.h>

#include "base/alloc.h"

/* One group of four keys as the search expects it before a diagonal pair is
 * visited: forward -j, forward j, reverse -j, reverse j. */
static const int32_t k_group_pattern[] = {STORAGE_FORWARD_UNSET, STORAGE_FORWARD_UNSET,
                                          STORAGE_REVERSE_UNSET, STORAGE_REVERSE_UNSET};

static const uint32_t k_initial_capacity = 22;
static const uint32_t k_initial_extent = 11;

/* Writes whole groups from key `from` while the group start lies below
 * extent + 4 (from there on, nothing). A group never
 * passes the capacity: the capacity is 22 or twice an earlier extent (4d + 7),
 * 2 modulo 4 either way, while the extent is 3 modulo 4, so a capacity of at
 * least extent + 4 is one of at least extent + 7. */
static void storage_group_fill(storage *s, uint64_t from) {
    const uint64_t end = (uint64_t)s->extent + 4;
    for (uint64_t key = from; key < end; key += 4)
        memcpy(s->slots + key, k_group_pattern, sizeof k_group_pattern);
}

/* Sets the extent for iteration d and makes sure the array holds every key
 * that iteration reads. Returns 0, leaving the record unchanged, when the
 * larger array cannot be had. */
static int storage_grow(storage *s, int32_t d) {
    if (d < 0) return 1;
    const uint64_t extent = 4 * (uint64_t)d + 7;
    const uint64_t needed = extent + 4;
    /* A 32-bit capacity never holds `needed` of an extent past 32 bits, and
     * the count below refuses such an extent, so the cast at the end keeps
     * the value. */
    if (s->capacity < needed) {
        const uint64_t count = 2 * extent;
        if (count > UINT32_MAX || count > SIZE_MAX / sizeof(int32_t)) return 0;
        int32_t *slots = (int32_t *)core_calloc((size_t)count, sizeof(int32_t));
        if (!slots) return 0;
        if (s->slots) memcpy(slots, s->slots, (size_t)s->capacity * sizeof(int32_t));
        free(s->slots);
        s->slots = slots;
        s->capacity = (uint32_t)count;
    }
    s->extent = (uint32_t)extent;
    return 1;
}

extern "C" {

storage *storage_create(uint32_t storage_limit) {
    storage *s = (storage *)core_calloc(1, sizeof(storage));
    if (!s) return nullptr;
    s->slots = (int32_t *)core_calloc(k_initial_capacity, sizeof(int32_t));
    if (!s->slots) {
        free(s);
        return nullptr;
    }
    s->capacity = k_initial_capacity;
    s->storage_limit = storage_limit;
    s->max_iteration = (uint32_t)(storage_limit - 3u) >> 2;
    s->extent = k_initial_extent;
    storage_group_fill(s, 3);
    return s;
}

void storage_free(storage *s) {
    if (!s) return;
    free(s->slots);
    free(s);
}

int storage_initialise(storage *s, int32_t d) {
    if (!s || d < 1) return 0;
    if (!storage_grow(s, d)) return 0;
    storage_group_fill(s, 3);
    return 1;
}

int storage_ensure(storage *s, int32_t d) {
    if (!s) return 0;
    return storage_grow(s, d);
}

void storage_fill(storage *s, uint32_t from) {
    if (!s) return;
    storage_group_fill(s, from);
}

int storage_extend(storage *s, int32_t d) {
    if (!s || s->max_iteration < (uint32_t)d) return 0;
    const uint32_t old_extent = s->extent;
    if (!storage_grow(s, d)) return 0;
    storage_group_fill(s, old_extent);
    return 1;
}

uint32_t storage_key_forward(int32_t k) {
    const uint32_t key = (uint32_t)k << 2;
    return k < 0 ? ~key : key;
}

uint32_t storage_key_reverse(int32_t k) { return storage_key_forward(k) + 2; }

static int32_t storage_read(const storage *s, uint32_t key) {
    if (!s || key >= s->capacity) return STORAGE_OUT_OF_RANGE;
    return s->slots[key];
}

static int storage_write(storage *s, uint32_t key, int32_t value) {
    if (!s || key >= s->capacity) return 0;
    s->slots[key] = value;
    return 1;
}

int32_t storage_key_forward_get(const storage *s, int32_t k) {
    return storage_read(s, storage_key_forward(k));
}

int32_t storage_key_reverse_get(const storage *s, int32_t k) {
    return storage_read(s, storage_key_reverse(k));
}

int storage_key_forward_set(storage *s, int32_t k, int32_t value) {
    return storage_write(s, storage_key_forward(k), value);
}

int storage_key_reverse_set(storage *s, int32_t k, int32_t value) {
    return storage_write(s, storage_key_reverse(k), value);
}

int32_t storage_key_forward_get_next(const storage *s, int32_t k) {
    const int32_t a = storage_key_forward_get(s, (int32_t)((uint32_t)k + 1u));
    const int32_t b = storage_key_forward_get(s, (int32_t)((uint32_t)k - 1u));
    return a < b ? b : (int32_t)((uint32_t)a + 1u);
}

int32_t storage_key_reverse_get_next(const storage *s, int32_t k) {
    const int32_t a = storage_key_reverse_get(s, (int32_t)((uint32_t)k + 1u));
    const int32_t b = storage_key_reverse_get(s, (int32_t)((uint32_t)k - 1u));
    return a < b ? a : (int32_t)((uint32_t)b - 1u);
}
}
