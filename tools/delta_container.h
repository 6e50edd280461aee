// The checked delta that corvantis-delta writes by default: a fixed 68-byte
// header, then the bare delta. The header records the lengths and XXH3-64
// checksums of the old value, the new value and the delta, and a checksum of
// itself, so that applying a delta to the wrong old value, or applying a
// damaged or cut delta, is detected instead of producing a wrong file.
// docs/delta-format.md describes the layout.
#ifndef CORVANTIS_DELTA_CONTAINER_H
#define CORVANTIS_DELTA_CONTAINER_H

#include <cstdint>
#include <string>

#define DELTA_CONTAINER_VERSION 1
#define DELTA_CONTAINER_HEADER_SIZE 68

struct delta_container_header {
    uint8_t engine; // index of the engine that made the delta
    uint64_t old_length;
    uint64_t old_hash;
    uint64_t new_length;
    uint64_t new_hash;
    uint64_t delta_length;
    uint64_t delta_hash;
};

uint64_t delta_container_hash(const uint8_t *data, uint64_t length);

// Writes the header, its own checksum included, into out.
void delta_container_write(const delta_container_header *header,
                           uint8_t out[DELTA_CONTAINER_HEADER_SIZE]);

// True when data starts with the checked delta's magic.
bool delta_container_is_checked(const uint8_t *data, uint64_t length);

// Reads a whole checked delta: its header and the bare delta after it, whose
// length and checksum are verified. Returns an empty string on success, else
// what is wrong with it, for the user.
std::string delta_container_read(const uint8_t *data, uint64_t length,
                                 delta_container_header *header, const uint8_t **delta);

#endif
