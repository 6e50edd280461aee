// diff_apply_binary and _ex over an old value and delta (old length in 2 bytes, old, delta)
// against delta_reference::apply, an applier over the reference reader: copies and definite
// strings applied, other well-formed items skipped, a lone F6 gives the old value, anything
// else fails whole. An output the applier could size before applying is one block.
#include <cstring>

#include "delta_reference.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::ValuePair values = fuzz::split_values(in);
    buf old_value = fuzz::view_of(values.first), delta = fuzz::view_of(values.second);
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
