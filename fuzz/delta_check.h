// What every delta a generator returns must satisfy, checked with the
// reference reader: F6 exactly for equal values of 2 bytes or more; else the
// replacement delta (one byte string, shortest head) or an edit delta shorter
// than the new value that the reference rebuilds; and the library's applier
// rebuilds the new value from it.
#ifndef CORVANTIS_FUZZ_DELTA_CHECK_H
#define CORVANTIS_FUZZ_DELTA_CHECK_H

#include <cstring>
#include <string>

#include "delta_reference.h"
#include "diff.h"
#include "fuzz_support.h"

namespace fuzz {

inline void check_delta(buf *old_value, const std::string &old_s, const std::string &new_s, const buf *delta) {
    FUZZ_CHECK(delta != nullptr, "no delta for %zu and %zu bytes", old_s.size(), new_s.size());
    const std::string d(delta->data, delta->data + delta->length);
    const cbor_ref::Item whole = cbor_ref::read(delta->data, delta->length);
    const bool replacement = whole.ok && whole.major == 2 && whole.has_argument && whole.consumed == d.size() &&
                             delta_reference::shortest(whole) && whole.argument == new_s.size() &&
                             std::memcmp(whole.string, new_s.data(), new_s.size()) == 0;
    std::string rebuilt;
    FUZZ_CHECK((d == "\xF6") == (old_s == new_s && new_s.size() >= 2), "wrong use of the no-change delta");
    if (d != "\xF6" && !replacement) {
        FUZZ_CHECK(d.size() < new_s.size(), "edit delta of %zu bytes for %zu", d.size(), new_s.size());
        const std::string error = delta_reference::rebuild(old_s, d, rebuilt);
        FUZZ_CHECK(error.empty() && rebuilt == new_s, "edit delta: %s", error.c_str());
    }
    buf *applied = diff_apply_binary(old_value, delta);
    FUZZ_CHECK(applied != nullptr && std::string(applied->data, applied->data + applied->length) == new_s, "round trip");
    buf_free(applied);
}

}  // namespace fuzz

#endif
