// diff_generate_binary (or its _ex form with small limits) then
// diff_apply_binary over an arbitrary old and new value. Input: a selector
// byte, the old length (2 bytes, big-endian, modulo what is left), the old
// value, then the new value.
//
// Checks: applying the delta to the old value gives the new value; the delta
// is the replacement delta (one byte string holding the new value, built
// here independently), the no-change delta F6 (only for equal values of at
// least 2 bytes), or an edit delta shorter than the new value; an edit delta
// is a well-formed sequence of copies within the old value and inserts, every
// head in its shortest form, no empty operation and no two inserts in a row.
#include <cstdint>
#include <cstring>
#include <vector>

#include "buf.h"
#include "cbor_reference.h"
#include "diff.h"
#include "fuzz_support.h"

namespace {

const int32_t kBailoutLimits[8] = {-1, 0, 1, 2, 8, 64, 10000, 2147483647};

std::vector<uint8_t> replacement_of(const std::vector<uint8_t> &v) {
    std::vector<uint8_t> out;
    uint64_t n = v.size();
    if (n < 24) {
        out.push_back(static_cast<uint8_t>(0x40 | n));
    } else {
        unsigned width = n <= 0xFF ? 1 : n <= 0xFFFF ? 2 : n <= 0xFFFFFFFFu ? 4 : 8;
        out.push_back(static_cast<uint8_t>(width == 1 ? 0x58 : width == 2 ? 0x59 : width == 4 ? 0x5A : 0x5B));
        for (unsigned i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    }
    out.insert(out.end(), v.begin(), v.end());
    return out;
}

bool shortest_head(const fuzz::RefItem &it) {
    uint8_t info = it.initial & 31;
    uint64_t v = it.argument;
    if (v < 24) return info == v;
    if (v <= 0xFF) return info == 24;
    if (v <= 0xFFFF) return info == 25;
    if (v <= 0xFFFFFFFFu) return info == 26;
    return info == 27;
}

void check_edit_delta(const std::vector<uint8_t> &delta, uint64_t old_len) {
    uint64_t pos = 0;
    bool last_was_insert = false;
    while (pos < delta.size()) {
        fuzz::RefItem it = fuzz::ref_item(delta.data() + pos, delta.size() - pos);
        FUZZ_CHECK(it.ok && it.has_argument && shortest_head(it), "bad head %02x at %llu", it.initial,
                   (unsigned long long)pos);
        pos += it.consumed;
        if (it.major == 2) {
            FUZZ_CHECK(!last_was_insert, "two inserts in a row at %llu", (unsigned long long)pos);
            FUZZ_CHECK(it.argument > 0, "empty insert");
            last_was_insert = true;
            continue;
        }
        FUZZ_CHECK(it.major == 0, "item of major type %u in an edit delta", it.major);
        fuzz::RefItem n = fuzz::ref_item(delta.data() + pos, delta.size() - pos);
        FUZZ_CHECK(n.ok && n.major == 0 && n.has_argument && shortest_head(n), "copy offset without a length");
        pos += n.consumed;
        FUZZ_CHECK(n.argument > 0, "empty copy");
        FUZZ_CHECK(it.argument + n.argument <= old_len, "copy outside the old value");
        last_was_insert = false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t selector = in.byte();
    fuzz::ValuePair values = fuzz::split_values(in);
    std::vector<uint8_t> &old_copy = values.first;
    std::vector<uint8_t> &new_copy = values.second;
    buf old_value = fuzz::view_of(old_copy);
    buf new_value = fuzz::view_of(new_copy);

    buf *delta = nullptr;
    const int32_t bailout = kBailoutLimits[(selector >> 2) & 7];
    // A storage limit s allows (s - 3) / 4 iterations per search.
    const uint64_t storage = 3 + 4u * ((selector >> 5) & 7);
    switch (selector & 3) {
    case 0: delta = diff_generate_binary(&old_value, &new_value); break;
    case 1: delta = diff_generate_binary_ex(&old_value, &new_value, DIFF_DEFAULT_STORAGE_LIMIT, bailout); break;
    case 2: delta = diff_generate_binary_ex(&old_value, &new_value, storage, DIFF_DEFAULT_BAILOUT_LIMIT); break;
    default: delta = diff_generate_binary_ex(&old_value, &new_value, storage, bailout); break;
    }
    FUZZ_CHECK(delta != nullptr, "no delta for %zu and %zu bytes", old_copy.size(), new_copy.size());
    std::vector<uint8_t> d(delta->data, delta->data + delta->length);

    if (d.size() == 1 && d[0] == 0xF6) {
        FUZZ_CHECK(old_copy == new_copy && new_copy.size() >= 2, "no-change delta for different values");
    } else if (d != replacement_of(new_copy)) {
        FUZZ_CHECK(d.size() < new_copy.size(), "edit delta of %zu bytes for a new value of %zu", d.size(),
                   new_copy.size());
        check_edit_delta(d, old_copy.size());
    }

    buf *rebuilt = diff_apply_binary(&old_value, delta);
    FUZZ_CHECK(rebuilt != nullptr, "own delta refused");
    FUZZ_CHECK(rebuilt->length == new_copy.size() &&
                   (new_copy.empty() || std::memcmp(rebuilt->data, new_copy.data(), new_copy.size()) == 0),
               "round trip gave %llu bytes, expected %zu", (unsigned long long)rebuilt->length, new_copy.size());
    buf_free(rebuilt);
    buf_free(delta);
    return 0;
}
