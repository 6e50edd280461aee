#include "delta_container.h"

#include <algorithm>
#include <cstring>

#include <xxhash.h>

// PNG's pattern: a non-ASCII first byte, then line endings and an EOF
// character that text-mode transfers would change.
static const uint8_t MAGIC[8] = {0x89, 'C', 'V', 'D', 0x0D, 0x0A, 0x1A, 0x0A};

// Byte offsets of the fields; every integer is big-endian.
enum : uint64_t {
    AT_VERSION = 8,
    AT_ENGINE = 9,
    AT_RESERVED = 10, // two zero bytes
    AT_OLD_LENGTH = 12,
    AT_OLD_HASH = 20,
    AT_NEW_LENGTH = 28,
    AT_NEW_HASH = 36,
    AT_DELTA_LENGTH = 44,
    AT_DELTA_HASH = 52,
    AT_HEADER_HASH = 60,
};
static_assert(AT_HEADER_HASH + 8 == DELTA_CONTAINER_HEADER_SIZE, "header layout");

uint64_t delta_container_hash(const uint8_t *data, uint64_t length) {
    return XXH3_64bits(data, static_cast<size_t>(length));
}

static void put64(uint8_t *at, uint64_t v) {
    for (int i = 7; i >= 0; i--, v >>= 8) {
        at[i] = static_cast<uint8_t>(v);
    }
}

static uint64_t get64(const uint8_t *at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) {
        v = v << 8 | at[i];
    }
    return v;
}

void delta_container_write(const delta_container_header *h,
                           uint8_t out[DELTA_CONTAINER_HEADER_SIZE]) {
    std::memset(out, 0, DELTA_CONTAINER_HEADER_SIZE); /* the reserved bytes */
    std::memcpy(out, MAGIC, sizeof MAGIC);
    out[AT_VERSION] = DELTA_CONTAINER_VERSION;
    out[AT_ENGINE] = h->engine;
    put64(out + AT_OLD_LENGTH, h->old_length);
    put64(out + AT_OLD_HASH, h->old_hash);
    put64(out + AT_NEW_LENGTH, h->new_length);
    put64(out + AT_NEW_HASH, h->new_hash);
    put64(out + AT_DELTA_LENGTH, h->delta_length);
    put64(out + AT_DELTA_HASH, h->delta_hash);
    put64(out + AT_HEADER_HASH, delta_container_hash(out, AT_HEADER_HASH));
}

bool delta_container_is_checked(const uint8_t *data, uint64_t length) {
    return length >= sizeof MAGIC && std::memcmp(data, MAGIC, sizeof MAGIC) == 0;
}

std::string delta_container_read(const uint8_t *data, uint64_t length, delta_container_header *h,
                                 const uint8_t **delta) {
    if (length == 0) {
        return "empty file, not a delta";
    }
    // A file shorter than the signature is refused on what it has of it.
    if (std::memcmp(data, MAGIC, std::min<uint64_t>(length, sizeof MAGIC)) != 0) {
        return "not a corvantis-delta file (a bare delta needs --raw)";
    }
    if (length < DELTA_CONTAINER_HEADER_SIZE) {
        return "truncated delta: " + std::to_string(length) + " bytes, shorter than its header";
    }
    if (data[AT_VERSION] != DELTA_CONTAINER_VERSION) {
        return "unsupported delta format version " + std::to_string(data[AT_VERSION]) +
               " (this tool reads " + std::to_string(DELTA_CONTAINER_VERSION) + ")";
    }
    if (get64(data + AT_HEADER_HASH) != delta_container_hash(data, AT_HEADER_HASH)) {
        return "corrupt delta: header checksum mismatch";
    }
    h->engine = data[AT_ENGINE];
    h->old_length = get64(data + AT_OLD_LENGTH);
    h->old_hash = get64(data + AT_OLD_HASH);
    h->new_length = get64(data + AT_NEW_LENGTH);
    h->new_hash = get64(data + AT_NEW_HASH);
    h->delta_length = get64(data + AT_DELTA_LENGTH);
    h->delta_hash = get64(data + AT_DELTA_HASH);
    uint64_t have = length - DELTA_CONTAINER_HEADER_SIZE;
    if (have < h->delta_length) {
        return "truncated delta: " + std::to_string(length) + " bytes of " +
               std::to_string(h->delta_length + DELTA_CONTAINER_HEADER_SIZE);
    }
    if (have > h->delta_length) {
        return "corrupt delta: " + std::to_string(have - h->delta_length) + " bytes after its end";
    }
    *delta = data + DELTA_CONTAINER_HEADER_SIZE;
    if (delta_container_hash(*delta, h->delta_length) != h->delta_hash) {
        return "corrupt delta: checksum mismatch";
    }
    return std::string();
}
