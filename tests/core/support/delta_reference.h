/* Reference delta reading (so the applier never checks itself) and shared value helpers. */
#ifndef CORVANTIS_TESTS_DELTA_REFERENCE_H
#define CORVANTIS_TESTS_DELTA_REFERENCE_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cbor_reference.h"
#include "delta/delta_ops.h"
#include "delta/diff.h"

namespace delta_reference {

/* A borrowed buf over a string; a buf's bytes; a library result's bytes or "<null>", freed. */
inline buf view(const std::string &s) { return buf{(uint8_t *)s.data(), s.size(), s.size()}; }
inline std::string str(const buf &b) {
    return b.length == 0 ? std::string() : std::string((const char *)b.data, b.length);
}
inline std::string take(buf *b) {
    const std::string s = b == nullptr ? "<null>" : str(*b);
    buf_free(b);
    return s;
}

/* The delta an engine (diff_generate_binary, diff_generate_binary_fast) makes, or "<null>". */
inline std::string generate(buf *(*engine)(const buf *, const buf *), const std::string &o,
                            const std::string &n) {
    const buf a = view(o), b = view(n);
    return take(engine(&a, &b));
}

/* Bytes drawn from the low bits of the generator, or letters from the first `alphabet`. */
inline std::string random_bytes(std::mt19937_64 &rng, size_t n, int alphabet = 256) {
    std::string s(n, '\0');
    for (char &c : s) c = (char)(alphabet >= 256 ? rng() : 'a' + rng() % (unsigned)alphabet);
    return s;
}

/* `edits` random inserts, deletions and replacements of 1 to 8 bytes. */
inline std::string mutate(std::mt19937_64 &rng, std::string s, int edits, int alphabet = 256) {
    for (int i = 0; i < edits; ++i) {
        const size_t at = rng() % (s.size() + 1), len = 1 + rng() % 8, kind = rng() % 3;
        if (kind == 0)
            s.insert(at, random_bytes(rng, len, alphabet));
        else if (at < s.size())
            s.replace(at, len, kind == 1 ? "" : random_bytes(rng, len, alphabet));
    }
    return s;
}

/* Upper-case hex, bytes separated by spaces, as the delta tables write them. */
inline std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char b : bytes)
        s += std::string(s.empty() ? "" : " ") + digits[b >> 4] + digits[b & 15];
    return s;
}

/* The replacement delta of s, built by hand from the CBOR head rules. */
inline std::string replacement_of(const std::string &s) {
    const uint64_t n = s.size();
    const int width = n < 24 ? 0 : n < 256 ? 1 : n < 65536 ? 2 : 4; /* 40+n, then 58, 59, 5A */
    std::string head(1, (char)(width == 0 ? 0x40 + n : width == 4 ? 0x5A : 0x57 + width));
    for (int i = width - 1; i >= 0; --i) head += (char)(n >> (8 * i));
    return head + s;
}

/* A head in its shortest form: an argument below 24 inline, else in the fewest bytes. */
inline bool shortest(const cbor_ref::Item &it) {
    const uint64_t v = it.argument;
    return (it.initial & 31u) == (v < 24 ? v : 24 + (v > 0xFF) + (v > 0xFFFF) + (v > 0xFFFFFFFFu));
}

/* The error the library's applier must report, or null and the new value in `out`. Copies
 * (offset, length) and definite strings append, other readable items add nothing, a lone F6 gives
 * the old value. `writer` also refuses what the edit-delta writer never writes (other items, long
 * heads, empty operations, adjacent inserts). `sized` is cleared by heads the applier can't size
 * past: F8, tags (argument read as next item), reserved. */
inline const char *apply(const std::string &old_value, const std::string &d, std::string &out,
                         bool writer = false, bool *sized = nullptr) {
    static const char *const not_written = "not what the edit-delta writer writes";
    const uint8_t *p = reinterpret_cast<const uint8_t *>(d.data());
    uint64_t pos = 0;
    /* reserved heads give no integer value and no string length */
    auto next = [&](cbor_ref::Item &it) {
        it = cbor_ref::read(p + pos, d.size() - pos);
        pos += it.consumed;
        const unsigned info = it.initial & 31;
        if (sized &&
            ((it.major == 6 && info >= 24) || it.initial == 0xF8 || (info >= 28 && info <= 30)))
            *sized = false;
        return it.ok && (it.has_argument || it.indefinite || it.major == 1 || it.major > 3);
    };
    if (sized) *sized = d != "\xF6";
    if (d == "\xF6" && !writer) return out = old_value, nullptr;
    out.clear();
    for (bool after_insert = false; pos < d.size();) {
        cbor_ref::Item a, n;
        if (!next(a)) return DIFF_ERROR_UNREADABLE_ITEM;
        const bool insert = a.string != nullptr;
        if (writer && ((a.major != 0 && !(a.major == 2 && insert)) || !shortest(a) ||
                       (insert && (after_insert || a.argument == 0))))
            return not_written;
        after_insert = insert;
        if (insert) out.append(reinterpret_cast<const char *>(a.string), a.argument);
        if (a.major != 0) continue;
        if (pos == d.size()) return DIFF_ERROR_COPY_WITHOUT_LENGTH;
        if (!next(n)) return DIFF_ERROR_UNREADABLE_ITEM;
        if (n.major != 0) return DIFF_ERROR_COPY_WITHOUT_LENGTH;
        if (writer && (!shortest(n) || n.argument == 0)) return not_written;
        if (n.argument > old_value.size() || a.argument > old_value.size() - n.argument)
            return DIFF_ERROR_COPY_OUT_OF_RANGE;
        out.append(old_value, a.argument, n.argument);
    }
    return nullptr;
}

/* "" or what is wrong with a delta: F6 exactly for equal values of 2 bytes or more, else the
 * replacement or an edit delta shorter than the new value, rebuilt by reference and applier. */
inline std::string check_delta(const buf &old_value, const buf &new_value, const buf *delta) {
    if (delta == nullptr) return "no delta";
    const std::string o = str(old_value), n = str(new_value), d = str(*delta);
    std::string rebuilt;
    if ((d == "\xF6") != (o == n && n.size() >= 2)) return "wrong use of the no-change delta";
    if (d != "\xF6" && d != replacement_of(n)) {
        if (d.size() >= n.size())
            return "edit delta of " + std::to_string(d.size()) + " bytes, not shorter";
        const char *error = apply(o, d, rebuilt, true);
        if (error != nullptr || rebuilt != n)
            return std::string("edit delta: ") + (error ? error : "another value");
    }
    return take(diff_apply_binary(&old_value, delta)) == n
               ? ""
               : "the applier does not rebuild the new value";
}

inline std::string check_delta(const std::string &o, const std::string &n, const std::string &d) {
    const buf delta = view(d);
    return check_delta(view(o), view(n), &delta);
}

/* Runs copies and inserts on old_value: the value made, or "<bad op k>" for the first op naming
 * bytes that do not exist, an insert not at the current position, or another kind. */
inline std::string execute(const std::string &old_value, const std::string &new_value,
                           const std::vector<delta_op> &ops) {
    std::string out;
    for (size_t k = 0; k < ops.size(); ++k) {
        const delta_op &op = ops[k];
        const std::string &from = op.kind == DELTA_OP_COPY_OLD ? old_value : new_value;
        if ((op.kind != DELTA_OP_COPY_OLD &&
             (op.kind != DELTA_OP_INSERT || op.address != out.size())) ||
            op.address > from.size() || op.length > from.size() - op.address)
            return "<bad op " + std::to_string(k) + ">";
        out.append(from, op.address, op.length);
    }
    return out;
}

} // namespace delta_reference

#endif
