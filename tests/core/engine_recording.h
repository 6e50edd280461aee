/* A recording coalescing script for the engine's suites.
 *
 * Including this header defines coallescing_script_match/insert/delete/
 * close/flush in the test program itself, so the linker takes these instead
 * of the library's and the library's coalescing script is never pulled in.
 * Include it from exactly one source of a test program, and never from
 * tests/core/support (linked into every test program). */
#ifndef CORVANTIS_TESTS_ENGINE_RECORDING_H
#define CORVANTIS_TESTS_ENGINE_RECORDING_H

#include <stdint.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "buf.h"
#include "coallescing_script.h"
#include "execution.h"

struct engine_call {
    char kind; /* 'M' match(a = old position, b = length), 'I' insert(a = new position, b = length),
                  'D' delete, 'C' close(a = old length, b = new length) */
    int32_t a;
    int32_t b;
    bool operator==(const engine_call &o) const { return kind == o.kind && a == o.a && b == o.b; }
};

inline std::ostream &operator<<(std::ostream &os, const engine_call &c) {
    switch (c.kind) {
    case 'D':
        return os << "delete";
    case 'M':
        return os << "match(" << c.a << ", " << c.b << ")";
    case 'I':
        return os << "insert(" << c.a << ", " << c.b << ")";
    default:
        return os << "close(" << c.a << ", " << c.b << ")";
    }
}

inline engine_call M(int32_t position, int32_t length) { return {'M', position, length}; }
inline engine_call I(int32_t position, int32_t length) { return {'I', position, length}; }
inline engine_call D() { return {'D', 0, 0}; }
inline engine_call C(int32_t old_length, int32_t new_length) { return {'C', old_length, new_length}; }

struct engine_recorder {
    std::vector<engine_call> calls;
    long stop_after = -1; /* calls accepted before every further one returns 0 */
    int close_result = 0;

    void reset() {
        calls.clear();
        stop_after = -1;
        close_result = 0;
    }
    int accept(engine_call c) {
        calls.push_back(c);
        if (stop_after < 0) return 1;
        if (stop_after == 0) return 0;
        --stop_after;
        return 1;
    }
    /* The calls without zero-length matches and inserts, which change nothing. */
    std::vector<engine_call> effective() const {
        std::vector<engine_call> out;
        for (const engine_call &c : calls)
            if (!((c.kind == 'M' || c.kind == 'I') && c.b < 1)) out.push_back(c);
        return out;
    }
};

inline engine_recorder &recorder() {
    static engine_recorder r;
    return r;
}

extern "C" {
int coallescing_script_match(coallescing_script *, int32_t old_position, int32_t length) {
    return recorder().accept(M(old_position, length));
}
int coallescing_script_insert(coallescing_script *, int32_t new_position, int32_t length) {
    return recorder().accept(I(new_position, length));
}
int coallescing_script_delete(coallescing_script *) { return recorder().accept(D()); }
int coallescing_script_close(coallescing_script *, int32_t old_length, int32_t new_length) {
    recorder().calls.push_back(C(old_length, new_length));
    return recorder().close_result;
}
int coallescing_script_flush(coallescing_script *) { return 1; }
}

inline buf buf_over(const std::string &s) {
    buf b;
    b.data = (uint8_t *)s.data();
    b.length = s.size();
    b.capacity = 0;
    return b;
}

/* Rebuilds the new window from recorded calls: each match appends old bytes,
 * each insert appends new bytes. Also checks that the calls come in
 * new-value order and use the old value from left to right. Returns an
 * empty string and sets *error on a violation. */
inline std::string rebuild(const std::vector<engine_call> &calls, const std::string &old_value, int32_t old_start,
                           int32_t old_length, const std::string &new_value, int32_t new_start, int32_t new_length,
                           std::string *error) {
    std::string out;
    int64_t old_cursor = old_start;
    for (const engine_call &c : calls) {
        if (c.kind == 'M') {
            if (c.b < 1) continue;
            if (c.a < old_cursor || (int64_t)c.a + c.b > (int64_t)old_start + old_length) {
                *error = "match outside the unused old window";
                return "";
            }
            out.append(old_value, (size_t)c.a, (size_t)c.b);
            old_cursor = (int64_t)c.a + c.b;
        } else if (c.kind == 'I') {
            if (c.b < 1) continue;
            if ((int64_t)c.a != (int64_t)new_start + (int64_t)out.size() ||
                (int64_t)c.a + c.b > (int64_t)new_start + new_length) {
                *error = "insert out of new-value order";
                return "";
            }
            out.append(new_value, (size_t)c.a, (size_t)c.b);
        }
    }
    if (out.size() != (size_t)new_length) *error = "rebuilt length differs";
    return out;
}

/* Length of a longest common subsequence, by dynamic programming. */
inline int32_t lcs_length(const std::string &a, const std::string &b) {
    std::vector<int32_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j)
            next[j] = a[i - 1] == b[j - 1] ? row[j - 1] + 1 : std::max(row[j], next[j - 1]);
        std::swap(row, next);
    }
    return row[b.size()];
}

inline int32_t matched_length(const std::vector<engine_call> &calls) {
    int32_t total = 0;
    for (const engine_call &c : calls)
        if (c.kind == 'M' && c.b > 0) total += c.b;
    return total;
}

inline uint64_t limit_word(uint32_t quality, int32_t limit) {
    return ((uint64_t)quality << 32) | (uint32_t)limit;
}

/* Runs the engine over whole values and returns its result. */
inline int32_t run_diff(const std::string &old_value, const std::string &new_value, uint32_t quality = 0,
                        int32_t limit = 10000, uint64_t storage_limit = 2147483647) {
    recorder().calls.clear();
    buf o = buf_over(old_value), n = buf_over(new_value);
    return myers_binary_diff(&o, 0, (int32_t)old_value.size(), &n, 0, (int32_t)new_value.size(), nullptr,
                             storage_limit, limit_word(quality, limit));
}

#endif
