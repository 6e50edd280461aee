// diff_generate_binary_fast: check_delta, and a second run gives the same bytes.
// Input: a selector byte, the old length (2 bytes), the old value, the rest: the new
// value, or with the selector's low bit set the old value rotated at a point the
// selector picks and then the rest, so that moved blocks come up often.
#include "delta/fast/diff_fast.h"
#include "delta_reference.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t selector = in.byte();
    fuzz::ValuePair values = fuzz::rotated_pair(in, selector);
    buf old_value = fuzz::view_of(values.first), new_value = fuzz::view_of(values.second);
    buf *delta = diff_generate_binary_fast(&old_value, &new_value),
        *again = diff_generate_binary_fast(&old_value, &new_value);
    const std::string error = delta_reference::check_delta(old_value, new_value, delta);
    FUZZ_CHECK(error.empty(), "%s", error.c_str());
    FUZZ_CHECK(again != nullptr && buf_cmp(delta, again) == 0, "a second run gave other bytes");
    buf_free(again);
    buf_free(delta);
    return 0;
}
