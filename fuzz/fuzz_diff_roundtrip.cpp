// diff_generate_binary (or _ex with small limits) over arbitrary values (a selector
// byte, old length in 2 bytes, old, new), its delta checked by check_delta.
#include "delta_reference.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int32_t bailouts[8] = {-1, 0, 1, 2, 8, 64, 10000, 2147483647};
    fuzz::Input in(data, size);
    const uint8_t selector = in.byte();
    fuzz::ValuePair values = fuzz::split_values(in);
    buf old_value = fuzz::view_of(values.first), new_value = fuzz::view_of(values.second);
    const int32_t bailout =
        selector & 1 ? bailouts[(selector >> 2) & 7] : DIFF_DEFAULT_BAILOUT_LIMIT;
    const uint64_t storage = selector & 2 ? 3 + 4u * ((selector >> 5) & 7)
                                          : DIFF_DEFAULT_STORAGE_LIMIT; // 0 to 7 iterations
    buf *delta = (selector & 3) == 0
                     ? diff_generate_binary(&old_value, &new_value)
                     : diff_generate_binary_ex(&old_value, &new_value, storage, bailout);
    const std::string error = delta_reference::check_delta(old_value, new_value, delta);
    FUZZ_CHECK(error.empty(), "%s", error.c_str());
    buf_free(delta);
    return 0;
}
