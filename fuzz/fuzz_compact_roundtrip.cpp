// diff_generate_compact at a level the selector picks (1 to 19) on a pair split as
// fuzz_fast_roundtrip splits it (with the selector's low bit, the old value rotated and then the
// rest): diff_apply rebuilds the new value, a second run gives the same bytes, the delta is at most
// 64 bytes over the new value, the bare reader refuses it.
#include "delta/diff_compact.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t selector = in.byte();
    const int level = 1 + (selector >> 1) % 19;
    fuzz::ValuePair values = fuzz::rotated_pair(in, selector);
    buf old_value = fuzz::view_of(values.first), new_value = fuzz::view_of(values.second);
    buf *delta = diff_generate_compact(&old_value, &new_value, level);
    buf *again = diff_generate_compact(&old_value, &new_value, level);
    FUZZ_CHECK(delta != nullptr && again != nullptr && buf_cmp(delta, again) == 0,
               "not the same bytes twice");
    FUZZ_CHECK(delta->length <= new_value.length + 64, "%llu bytes for %llu",
               (unsigned long long)delta->length, (unsigned long long)new_value.length);
    diff_apply_error error = DIFF_APPLY_OK;
    buf *got = diff_apply(&old_value, delta, &error);
    FUZZ_CHECK(got != nullptr && buf_cmp(got, &new_value) == 0, "not rebuilt (error %d)", error);
    buf *bare = diff_apply_binary(&old_value, delta);
    FUZZ_CHECK(bare == nullptr, "the bare reader read a compact delta");
    buf_free(got);
    buf_free(again);
    buf_free(delta);
    return 0;
}
