// diff_generate_binary (or _ex with small limits) then diff_apply_binary over
// arbitrary values (a selector byte, old length in 2 bytes, old, new). The
// delta must rebuild the new value and be the replacement delta (one byte
// string in its shortest head), F6 for equal values of 2 bytes or more, or an
// edit delta shorter than the new value that the reference reader accepts.
#include <cstring>
#include <string>

#include "delta_reference.h"
#include "diff.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int32_t bailouts[8] = {-1, 0, 1, 2, 8, 64, 10000, 2147483647};
    fuzz::Input in(data, size);
    const uint8_t selector = in.byte();
    fuzz::ValuePair values = fuzz::split_values(in);
    buf old_value = fuzz::view_of(values.first), new_value = fuzz::view_of(values.second);
    const int32_t bailout = selector & 1 ? bailouts[(selector >> 2) & 7] : DIFF_DEFAULT_BAILOUT_LIMIT;
    const uint64_t storage = selector & 2 ? 3 + 4u * ((selector >> 5) & 7) : DIFF_DEFAULT_STORAGE_LIMIT;  // 0 to 7 iterations
    buf *delta = (selector & 3) == 0 ? diff_generate_binary(&old_value, &new_value)
                                     : diff_generate_binary_ex(&old_value, &new_value, storage, bailout);
    FUZZ_CHECK(delta != nullptr, "no delta");
    const std::string d(delta->data, delta->data + delta->length), old_s(values.first.begin(), values.first.end()),
        new_s(values.second.begin(), values.second.end());
    const cbor_ref::Item whole = cbor_ref::read(delta->data, delta->length);
    std::string rebuilt;
    if (d == "\xF6") {
        FUZZ_CHECK(old_s == new_s && new_s.size() >= 2, "no-change delta for different values");
    } else if (!(whole.ok && whole.major == 2 && whole.has_argument && whole.consumed == d.size() &&
                 delta_reference::shortest(whole) && std::memcmp(whole.string, new_s.data(), new_s.size()) == 0 &&
                 whole.argument == new_s.size())) {
        FUZZ_CHECK(d.size() < new_s.size(), "edit delta of %zu bytes for %zu", d.size(), new_s.size());
        const std::string error = delta_reference::rebuild(old_s, d, rebuilt);
        FUZZ_CHECK(error.empty() && rebuilt == new_s, "edit delta: %s", error.c_str());
    }
    buf *applied = diff_apply_binary(&old_value, delta);
    FUZZ_CHECK(applied != nullptr && std::string(applied->data, applied->data + applied->length) == new_s, "round trip");
    buf_free(applied);
    buf_free(delta);
    return 0;
}
