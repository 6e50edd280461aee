// The delta writers. Input: engine byte (modulo 3), selector byte, old length (2 bytes), old, rest.
// 0: diff_generate_binary, or _ex with small limits the selector picks; check_delta.
// 1: diff_generate_binary_fast on fuzz::rotated_pair; check_delta, the same bytes twice.
// 2: diff_generate_compact at level 1 to 19 on the same pair: the same bytes twice, at most 64
// bytes over the new value, diff_apply rebuilds it, the bare reader refuses it.
#include "delta/diff_compact.h"
#include "delta/fast/diff_fast.h"
#include "delta_reference.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int32_t bailouts[8] = {-1, 0, 1, 2, 8, 64, 10000, 2147483647};
    const int engine = size == 0 ? 0 : data[0] % 3;
    // The exact engine's cost grows with the product of the lengths: it takes the first 4 KiB.
    fuzz::Input in(data + (size > 0), engine == 0 && size > 4096 ? 4095 : size - (size > 0));
    const uint8_t selector = in.byte();
    fuzz::ValuePair values =
        engine == 0 ? fuzz::split_values(in) : fuzz::rotated_pair(in, selector);
    buf old_value = fuzz::view_of(values.first), new_value = fuzz::view_of(values.second);
    const auto write = [&]() -> buf * {
        if (engine == 1) return diff_generate_binary_fast(&old_value, &new_value);
        if (engine == 2)
            return diff_generate_compact(&old_value, &new_value, 1 + (selector >> 1) % 19);
        if ((selector & 3) == 0) return diff_generate_binary(&old_value, &new_value);
        const int32_t bailout =
            selector & 1 ? bailouts[(selector >> 2) & 7] : DIFF_DEFAULT_BAILOUT_LIMIT;
        // 0 to 7 iterations
        const uint64_t storage =
            selector & 2 ? 3 + 4u * ((selector >> 5) & 7) : DIFF_DEFAULT_STORAGE_LIMIT;
        return diff_generate_binary_ex(&old_value, &new_value, storage, bailout);
    };
    buf *delta = write(), *again = engine == 0 ? nullptr : write();
    FUZZ_CHECK(engine == 0 || (again != nullptr && buf_cmp(delta, again) == 0),
               "a second run gave other bytes");
    if (engine < 2) {
        const std::string error = delta_reference::check_delta(old_value, new_value, delta);
        FUZZ_CHECK(error.empty(), "%s", error.c_str());
    } else {
        FUZZ_CHECK(delta->length <= new_value.length + 64, "%llu bytes for %llu",
                   (unsigned long long)delta->length, (unsigned long long)new_value.length);
        diff_apply_error error = DIFF_APPLY_OK;
        buf *got = diff_apply(&old_value, delta, &error),
            *bare = diff_apply_binary(&old_value, delta);
        FUZZ_CHECK(got != nullptr && buf_cmp(got, &new_value) == 0, "not rebuilt (error %d)",
                   error);
        FUZZ_CHECK(bare == nullptr, "the bare reader read a compact delta");
        buf_free(got);
    }
    buf_free(again);
    buf_free(delta);
    return 0;
}
