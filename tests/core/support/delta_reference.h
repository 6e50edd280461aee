/* The edit-delta wire format read with the reference item reader, so the
 * tests do not check the library's applier against itself. */
#ifndef CORVANTIS_TESTS_DELTA_REFERENCE_H
#define CORVANTIS_TESTS_DELTA_REFERENCE_H

#include <cstdint>
#include <string>

#include "cbor_reference.h"

namespace delta_reference {

/* A head in its shortest form: an argument below 24 inline, else the
 * narrowest of 1, 2, 4, 8 bytes that holds it. */
inline bool shortest(const cbor_ref::Item &it) {
    const unsigned info = it.initial & 31;
    const uint64_t v = it.argument;
    return info == (v < 24 ? v : v <= 0xFF ? 24 : v <= 0xFFFF ? 25 : v <= 0xFFFFFFFFu ? 26 : 27);
}

/* Rebuilds the new value from the old one and an edit delta into `out`.
 * Returns "" or why the delta is not one the edit-delta writer may produce:
 * only copies (two unsigned integers) and inserts (definite byte strings),
 * every head in its shortest form, copies inside the old value, no empty
 * operation and no two inserts side by side. */
inline std::string rebuild(const std::string &old_value, const std::string &d, std::string &out) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(d.data());
    uint64_t pos = 0;
    bool after_insert = false;
    out.clear();
    auto next = [&](cbor_ref::Item &it) -> std::string {
        it = cbor_ref::read(p + pos, d.size() - pos);
        if (!it.ok) return "truncated or unreadable item";
        pos += it.consumed;
        if (it.major != 0 && (it.major != 2 || !it.has_argument)) return "item of another kind";
        return shortest(it) ? "" : "head not in its shortest form";
    };
    while (pos < d.size()) {
        cbor_ref::Item a, n;
        std::string error = next(a);
        if (!error.empty()) return error;
        if (a.major == 2) {
            if (after_insert) return "adjacent inserts";
            out.append(reinterpret_cast<const char *>(a.string), a.argument);
            n.argument = a.argument;
        } else {
            if (pos >= d.size()) return "copy offset without a length";
            if (!(error = next(n)).empty()) return error;
            if (n.major != 0) return "copy offset without a length";
            if (a.argument > old_value.size() || n.argument > old_value.size() - a.argument)
                return "copy outside the old value";
            out.append(old_value, a.argument, n.argument);
        }
        after_insert = a.major == 2;
        if (n.argument == 0) return "operation of length 0";
    }
    return "";
}

/* Upper-case hex, bytes separated by spaces, as the delta tables write them. */
inline std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char b : bytes) s += std::string(s.empty() ? "" : " ") + digits[b >> 4] + digits[b & 15];
    return s;
}

inline std::string from_hex(const std::string &h) {
    const std::vector<uint8_t> bytes = cbor_ref::from_hex(h);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace delta_reference

#endif
