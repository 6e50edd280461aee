// The appliers. Input: format byte (even: bare, odd: compact), old length (2 bytes), old, delta.
// Bare: diff_apply_binary and _ex against delta_reference::apply; a pre-sized output is one block.
// Compact: diff_apply, header checksums set right (old cut to the declared length) so mutations
// reach the streams; a result has the declared length and checksum, a failure names its reason.
#include <xxhash.h>

#include <cstring>

#include "delta/compact_reader.h"
#include "delta/diff_compact.h"
#include "delta_reference.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    const bool compact = in.byte() & 1;
    fuzz::ValuePair values = fuzz::split_values(in);
    std::vector<uint8_t> &old_copy = values.first, &delta_copy = values.second;
    compact_header h;
    compact_header_read(delta_copy.data(), delta_copy.size(), &h);
    if (compact && h.check_at != 0) {
        if (h.old_length <= old_copy.size()) old_copy.resize(h.old_length);
        const uint64_t sum = XXH3_64bits(old_copy.data(), old_copy.size());
        for (int i = 0; i < 8; ++i)
            delta_copy[h.checksums_at + i] = static_cast<uint8_t>(sum >> (56 - 8 * i));
        const uint64_t check = XXH3_64bits(delta_copy.data(), h.check_at);
        for (int i = 0; i < 4; ++i)
            delta_copy[h.check_at + i] = static_cast<uint8_t>(check >> (24 - 8 * i));
        // a run that long is valid, just slow to fuzz
        if (h.new_length > (uint64_t{1} << 24)) return 0;
    }
    buf old_value = fuzz::view_of(old_copy), delta = fuzz::view_of(delta_copy);
    if (compact) {
        diff_apply_error error = DIFF_APPLY_OK;
        buf *got = diff_apply(&old_value, &delta, &error);
        FUZZ_CHECK((got == nullptr) == (error != DIFF_APPLY_OK), "error %d with a result %p", error,
                   (void *)got);
        if (got != nullptr && diff_is_compact(delta.data, delta.length)) {
            compact_header_read(delta.data, delta.length, &h);
            FUZZ_CHECK(got->length == h.new_length &&
                           XXH3_64bits(got->data, got->length) == h.new_checksum,
                       "a result of %llu bytes that is not the declared value",
                       (unsigned long long)got->length);
        }
        buf_free(got);
        return 0;
    }
    std::string want;
    bool sized = false;
    const char *want_error = delta_reference::apply(
        delta_reference::str(old_value), delta_reference::str(delta), want, false, &sized);
    const char *error = "unset";
    buf *plain = diff_apply_binary(&old_value, &delta),
        *reported = diff_apply_binary_ex(&old_value, &delta, &error);
    for (const buf *got : {plain, reported}) {
        FUZZ_CHECK((got == nullptr) == (want_error != nullptr), "expected %s",
                   want_error ? want_error : "success");
        FUZZ_CHECK(got == nullptr || delta_reference::str(*got) == want, "wrong bytes");
        FUZZ_CHECK(got == nullptr || got->length == 0 || !sized || got->capacity == got->length,
                   "sized %llu for %llu", (unsigned long long)got->capacity,
                   (unsigned long long)got->length);
    }
    FUZZ_CHECK(want_error == nullptr ? error == nullptr
                                     : error != nullptr && std::strcmp(error, want_error) == 0,
               "error \"%s\", expected \"%s\"", error ? error : "(none)",
               want_error ? want_error : "(none)");
    buf_free(plain);
    buf_free(reported);
    return 0;
}
