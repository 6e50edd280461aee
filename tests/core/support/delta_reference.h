/* A reference reader of the delta wire format, written apart from the
 * library's parser so the tests do not check the library against itself.
 * It accepts only what the edit-delta writer may produce: unsigned integers
 * and definite byte strings, every head in its shortest form. */
#ifndef CORVANTIS_TESTS_DELTA_REFERENCE_H
#define CORVANTIS_TESTS_DELTA_REFERENCE_H

#include <cstdint>
#include <string>
#include <vector>

namespace delta_reference {

struct Op {
    bool copy;             /* true: copy (offset, length); false: insert bytes */
    uint64_t offset;
    uint64_t length;
    std::string bytes;
};

struct Decoded {
    bool ok = false;
    std::string error;
    std::vector<Op> ops;
};

inline bool read_head(const std::string &d, size_t &pos, unsigned &major, uint64_t &arg, std::string &error) {
    if (pos >= d.size()) {
        error = "truncated head";
        return false;
    }
    const uint8_t initial = static_cast<uint8_t>(d[pos++]);
    major = initial >> 5;
    const unsigned info = initial & 0x1F;
    unsigned extra = 0;
    if (info < 24) {
        arg = info;
        return true;
    }
    switch (info) {
    case 24: extra = 1; break;
    case 25: extra = 2; break;
    case 26: extra = 4; break;
    case 27: extra = 8; break;
    default: error = "bad additional information"; return false;
    }
    if (d.size() - pos < extra) {
        error = "truncated argument";
        return false;
    }
    arg = 0;
    for (unsigned i = 0; i < extra; ++i) arg = (arg << 8) | static_cast<uint8_t>(d[pos++]);
    const uint64_t floor = extra == 1 ? 24 : extra == 2 ? 256 : extra == 4 ? 65536 : UINT64_C(0x100000000);
    if (arg < floor) {
        error = "head not in its shortest form";
        return false;
    }
    return true;
}

/* Decodes an edit delta into its operations; ok is false (with a reason) for
 * anything an edit delta may not contain. */
inline Decoded decode_edit_delta(const std::string &d) {
    Decoded out;
    size_t pos = 0;
    while (pos < d.size()) {
        unsigned major = 0;
        uint64_t arg = 0;
        if (!read_head(d, pos, major, arg, out.error)) return out;
        if (major == 0) {
            unsigned major2 = 0;
            uint64_t length = 0;
            if (!read_head(d, pos, major2, length, out.error)) return out;
            if (major2 != 0) {
                out.error = "copy offset without a length";
                return out;
            }
            out.ops.push_back(Op{true, arg, length, {}});
        } else if (major == 2) {
            if (d.size() - pos < arg) {
                out.error = "string runs past the end";
                return out;
            }
            out.ops.push_back(Op{false, 0, arg, d.substr(pos, static_cast<size_t>(arg))});
            pos += static_cast<size_t>(arg);
        } else {
            out.error = "item of another major type";
            return out;
        }
    }
    out.ok = true;
    return out;
}

/* Rebuilds the new value from the old one; false when a copy leaves it. */
inline bool rebuild(const std::string &old_value, const std::vector<Op> &ops, std::string &result) {
    result.clear();
    for (const Op &op : ops) {
        if (op.copy) {
            if (op.offset > old_value.size() || op.length > old_value.size() - op.offset) return false;
            result.append(old_value, static_cast<size_t>(op.offset), static_cast<size_t>(op.length));
        } else {
            result += op.bytes;
        }
    }
    return true;
}

/* The structural promises of every edit delta: no empty operation, no two
 * inserts side by side. */
inline std::string check_shape(const std::vector<Op> &ops) {
    for (size_t i = 0; i < ops.size(); ++i) {
        if (ops[i].length == 0) return "operation of length 0 at " + std::to_string(i);
        if (i > 0 && !ops[i].copy && !ops[i - 1].copy) return "adjacent inserts at " + std::to_string(i);
    }
    return "";
}

inline std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        const uint8_t b = static_cast<uint8_t>(bytes[i]);
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

} // namespace delta_reference

#endif
