/* A reference reader of the edit-delta wire format, written apart from the
 * library's parser so the tests do not check the library against itself. */
#ifndef CORVANTIS_TESTS_DELTA_REFERENCE_H
#define CORVANTIS_TESTS_DELTA_REFERENCE_H

#include <cstdint>
#include <string>

namespace delta_reference {

/* Rebuilds the new value from the old one and an edit delta into `out`.
 * Returns "" or why the delta is not one the edit-delta writer may produce:
 * only copies (two unsigned integers) and inserts (definite byte strings),
 * every head in its shortest form, copies inside the old value, no empty
 * operation and no two inserts side by side. */
inline std::string rebuild(const std::string &old_value, const std::string &d, std::string &out) {
    size_t pos = 0;
    auto head = [&](unsigned &major, uint64_t &arg) -> std::string {
        if (pos >= d.size()) return "truncated head";
        const uint8_t initial = static_cast<uint8_t>(d[pos++]);
        const unsigned info = initial & 0x1F, extra = info < 24 ? 0 : 1u << (info - 24);
        major = initial >> 5;
        arg = info;
        if (info > 27) return "bad additional information";
        if (d.size() - pos < extra) return "truncated argument";
        if (extra == 0) return "";
        arg = 0;
        for (unsigned i = 0; i < extra; ++i) arg = (arg << 8) | static_cast<uint8_t>(d[pos++]);
        return arg < (extra == 1 ? 24 : uint64_t{1} << (4 * extra)) ? "head not in its shortest form" : "";
    };
    out.clear();
    bool after_insert = false;
    while (pos < d.size()) {
        unsigned major = 0, major2 = 0;
        uint64_t a = 0, n = 0;
        std::string error = head(major, a);
        if (!error.empty()) return error;
        if (major == 0) {
            if (!(error = head(major2, n)).empty()) return error;
            if (major2 != 0) return "copy offset without a length";
            if (a > old_value.size() || n > old_value.size() - a) return "copy outside the old value";
            out.append(old_value, a, n);
            after_insert = false;
        } else if (major == 2) {
            if (d.size() - pos < a) return "string runs past the end";
            if (after_insert) return "adjacent inserts";
            out.append(d, pos, n = a);
            pos += a;
            after_insert = true;
        } else {
            return "item of another major type";
        }
        if (n == 0) return "operation of length 0";
    }
    return "";
}

inline std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char b : bytes) s += std::string(s.empty() ? "" : " ") + digits[b >> 4] + digits[b & 15];
    return s;
}

inline std::string from_hex(const std::string &h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += h[i] == ' ' ? 1 : 2) {
        if (h[i] != ' ') out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    }
    return out;
}

} // namespace delta_reference

#endif
