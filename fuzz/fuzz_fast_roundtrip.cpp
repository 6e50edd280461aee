// diff_generate_binary_fast then diff_apply_binary. Input: a selector byte,
// the old length (2 bytes, big-endian, modulo what is left), the old value,
// then the rest. With the selector's low bit clear the rest is the new value;
// with it set the new value is the old one rotated at a point the selector
// picks, followed by the rest, so moved blocks come up often.
//
// Checks: the delta rebuilds the new value; it is F6 only for equal values of
// at least 2 bytes, else shorter than the new value or the replacement delta
// (a byte string of the new value's length); a second run gives the same
// bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "buf.h"
#include "diff.h"
#include "diff_fast.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t selector = in.byte();
    fuzz::ValuePair values = fuzz::split_values(in);
    std::vector<uint8_t> &old_copy = values.first;
    std::vector<uint8_t> new_copy = values.second;
    if ((selector & 1) != 0) {
        const size_t cut = old_copy.size() * (selector >> 1) / 128;
        new_copy.assign(old_copy.begin() + cut, old_copy.end());
        new_copy.insert(new_copy.end(), old_copy.begin(), old_copy.begin() + cut);
        new_copy.insert(new_copy.end(), values.second.begin(), values.second.end());
    }
    buf old_value = fuzz::view_of(old_copy);
    buf new_value = fuzz::view_of(new_copy);

    buf *delta = diff_generate_binary_fast(&old_value, &new_value);
    FUZZ_CHECK(delta != nullptr, "no delta for %zu and %zu bytes", old_copy.size(), new_copy.size());
    const bool no_change = delta->length == 1 && delta->data[0] == 0xF6;
    FUZZ_CHECK(no_change == (old_copy == new_copy && new_copy.size() >= 2), "wrong use of the no-change delta");
    if (!no_change && delta->length >= new_copy.size()) {
        buf *replacement = _write_replacement_delta(&new_value);
        FUZZ_CHECK(buf_cmp(delta, replacement) == 0, "delta of %llu bytes for a new value of %zu",
                   (unsigned long long)delta->length, new_copy.size());
        buf_free(replacement);
    }
    buf *again = diff_generate_binary_fast(&old_value, &new_value);
    FUZZ_CHECK(again != nullptr && buf_cmp(delta, again) == 0, "a second run gave other bytes");
    buf_free(again);

    buf *rebuilt = no_change ? nullptr : diff_apply_binary(&old_value, delta);
    FUZZ_CHECK(no_change || rebuilt != nullptr, "own delta refused");
    FUZZ_CHECK(no_change || (rebuilt->length == new_copy.size() &&
                             (new_copy.empty() || std::memcmp(rebuilt->data, new_copy.data(), new_copy.size()) == 0)),
               "round trip gave %llu bytes, expected %zu", (unsigned long long)(rebuilt ? rebuilt->length : 0),
               new_copy.size());
    buf_free(rebuilt);
    buf_free(delta);
    return 0;
}
