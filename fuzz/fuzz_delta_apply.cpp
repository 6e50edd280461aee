// diff_apply_binary and _ex over an old value and delta (old length in 2 bytes, old, delta)
// against an applier over the reference reader: copies and definite strings applied, other
// well-formed items skipped, a lone F6 gives the old value, anything else fails whole.
#include <cstring>
#include <string>

#include "cbor_reference.h"
#include "diff.h"
#include "fuzz_support.h"

// `sized_once` is cleared by heads whose argument bytes the applier leaves to
// the next item (F8, tags) or that have none (reserved): the output is then
// not sized before applying.
static const char *reference_apply(const std::vector<uint8_t> &old, const std::vector<uint8_t> &d, std::string &out,
                                   bool &sized_once) {
    sized_once = !(d.size() == 1 && d[0] == 0xF6);
    if (!sized_once) return out.assign(old.begin(), old.end()), nullptr;
    // Reserved additional information leaves an integer without a value and a string without a length.
    auto readable = [](const cbor_ref::Item &it) { return it.ok && (it.has_argument || it.indefinite || it.major == 1 || it.major > 3); };
    for (uint64_t pos = 0; pos < d.size();) {
        const cbor_ref::Item it = cbor_ref::read(d.data() + pos, d.size() - pos);
        if (!readable(it)) return DIFF_ERROR_UNREADABLE_ITEM;
        const unsigned info = it.initial & 31;
        if ((it.major == 6 && info >= 24) || it.initial == 0xF8 || (info >= 28 && info <= 30)) sized_once = false;
        pos += it.consumed;
        if (it.string != nullptr) out.append(reinterpret_cast<const char *>(it.string), it.argument);
        if (it.major != 0) continue;
        if (pos == d.size()) return DIFF_ERROR_COPY_WITHOUT_LENGTH;
        const cbor_ref::Item n = cbor_ref::read(d.data() + pos, d.size() - pos);
        if (!readable(n)) return DIFF_ERROR_UNREADABLE_ITEM;
        if (n.major != 0) return DIFF_ERROR_COPY_WITHOUT_LENGTH;
        pos += n.consumed;
        if (n.argument > old.size() || it.argument > old.size() - n.argument) return DIFF_ERROR_COPY_OUT_OF_RANGE;
        out.append(old.begin() + it.argument, old.begin() + it.argument + n.argument);
    }
    return nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::ValuePair values = fuzz::split_values(in);
    buf old_value = fuzz::view_of(values.first), delta = fuzz::view_of(values.second);
    std::string want;
    bool sized_once = false;
    const char *want_error = reference_apply(values.first, values.second, want, sized_once);
    const char *error = "unset";
    buf *plain = diff_apply_binary(&old_value, &delta), *reported = diff_apply_binary_ex(&old_value, &delta, &error);
    for (const buf *got : {plain, reported}) {
        FUZZ_CHECK((got == nullptr) == (want_error != nullptr), "expected %s", want_error ? want_error : "success");
        FUZZ_CHECK(got == nullptr || std::string(got->data, got->data + got->length) == want, "wrong bytes");
        FUZZ_CHECK(got == nullptr || got->length == 0 || !sized_once || got->capacity == got->length, "sized %llu for %llu",
                   (unsigned long long)got->capacity, (unsigned long long)got->length);
    }
    FUZZ_CHECK(want_error == nullptr ? error == nullptr : error != nullptr && std::strcmp(error, want_error) == 0,
               "error \"%s\", expected \"%s\"", error ? error : "(none)", want_error ? want_error : "(none)");
    buf_free(plain);
    buf_free(reported);
    return 0;
}
