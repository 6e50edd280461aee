// diff_apply_binary and diff_apply_binary_ex over an arbitrary old value and
// an arbitrary delta. Input: old length (2 bytes, big-endian, taken modulo
// what is left), the old value, then the delta.
//
// The result is compared with a reference applier written here over the
// independent item reader of cbor_reference.h: a copy is two unsigned
// integers lying within the old value, a byte or text string inserts its
// bytes, every other well-formed item is skipped, the lone item F6 stands for
// the old value itself, and anything else (an unreadable or ill-formed item,
// a copy offset without its length, a copy outside the old value) fails the
// whole delta: no partial output is ever reported as a success.
#include <cstdint>
#include <cstring>
#include <vector>

#include "buf.h"
#include "cbor_reference.h"
#include "diff.h"
#include "fuzz_support.h"

namespace {

struct RefResult {
    bool ok;
    const char *error;
    std::vector<uint8_t> value;
};

// Reserved additional information leaves an integer without a value and a
// definite string without a length.
bool ill_formed(const fuzz::RefItem &it) {
    if (it.major == 0) return !it.has_argument;
    if (it.major == 2 || it.major == 3) return !it.has_argument && !it.indefinite;
    return false;
}

RefResult ref_apply(const uint8_t *old, uint64_t old_len, const uint8_t *delta, uint64_t len) {
    RefResult r{true, nullptr, {}};
    if (len == 1 && delta[0] == 0xF6) {
        r.value.assign(old, old + old_len);
        return r;
    }
    auto fail = [&r](const char *error) {
        r.ok = false;
        r.error = error;
        r.value.clear();
        return r;
    };
    uint64_t pos = 0;
    while (pos < len) {
        fuzz::RefItem it = fuzz::ref_item(delta + pos, len - pos);
        if (!it.ok || ill_formed(it)) return fail(DIFF_ERROR_UNREADABLE_ITEM);
        pos += it.consumed;
        if (it.major == 0) {
            if (pos >= len) return fail(DIFF_ERROR_COPY_WITHOUT_LENGTH);
            fuzz::RefItem n = fuzz::ref_item(delta + pos, len - pos);
            if (!n.ok || ill_formed(n)) return fail(DIFF_ERROR_UNREADABLE_ITEM);
            if (n.major != 0) return fail(DIFF_ERROR_COPY_WITHOUT_LENGTH);
            pos += n.consumed;
            // Compared without forming offset + length, which could wrap.
            if (n.argument > old_len || it.argument > old_len - n.argument) {
                return fail(DIFF_ERROR_COPY_OUT_OF_RANGE);
            }
            r.value.insert(r.value.end(), old + it.argument, old + it.argument + n.argument);
        } else if ((it.major == 2 || it.major == 3) && !it.indefinite) {
            r.value.insert(r.value.end(), it.string, it.string + it.argument);
        }
    }
    return r;
}

void check_result(const RefResult &ref, const buf *got, const char *what) {
    if (!ref.ok) {
        FUZZ_CHECK(got == nullptr, "%s: malformed delta (%s) applied as %llu bytes", what, ref.error,
                   (unsigned long long)got->length);
        return;
    }
    FUZZ_CHECK(got != nullptr, "%s: well-formed delta refused", what);
    FUZZ_CHECK(got->length == ref.value.size(), "%s: %llu bytes, expected %zu", what,
               (unsigned long long)got->length, ref.value.size());
    FUZZ_CHECK(ref.value.empty() || std::memcmp(got->data, ref.value.data(), ref.value.size()) == 0,
               "%s: wrong bytes", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::ValuePair values = fuzz::split_values(in);
    std::vector<uint8_t> &old_copy = values.first;
    std::vector<uint8_t> &delta_copy = values.second;
    buf old_value = fuzz::view_of(old_copy);
    buf delta = fuzz::view_of(delta_copy);

    RefResult ref = ref_apply(old_copy.data(), old_copy.size(), delta_copy.data(), delta_copy.size());

    buf *plain = diff_apply_binary(&old_value, &delta);
    check_result(ref, plain, "diff_apply_binary");
    buf_free(plain);

    const char *error = "unset";
    buf *reported = diff_apply_binary_ex(&old_value, &delta, &error);
    check_result(ref, reported, "diff_apply_binary_ex");
    if (ref.ok) {
        FUZZ_CHECK(error == nullptr, "success reported with error \"%s\"", error);
    } else {
        FUZZ_CHECK(error != nullptr && std::strcmp(error, ref.error) == 0, "error \"%s\", expected \"%s\"",
                   error ? error : "(null)", ref.error);
    }
    buf_free(reported);
    return 0;
}
