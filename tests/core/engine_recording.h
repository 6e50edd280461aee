/* Records the engine's calls on the coalescing script through the script's
 * observer seam, so a test sees them one by one, before any coalescing. */
#ifndef CORVANTIS_TESTS_ENGINE_RECORDING_H
#define CORVANTIS_TESTS_ENGINE_RECORDING_H

#include <stdint.h>

#include <ostream>
#include <string>
#include <vector>

#include "buf.h"
#include "coallescing_script.h"
#include "execution.h"
#include "quality.h"

/* 'M' match(a = old position, b = length), 'I' insert(a = new position, b = length), 'D' delete,
 * 'C' close(a = old length, b = new length) */
struct engine_call {
    char kind;
    int32_t a, b;
    bool operator==(const engine_call &o) const { return kind == o.kind && a == o.a && b == o.b; }
};
using calls_t = std::vector<engine_call>;

inline std::ostream &operator<<(std::ostream &os, const engine_call &c) {
    return c.kind == 'D' ? os << "D" : os << c.kind << "(" << c.a << ", " << c.b << ")";
}

inline engine_call M(int32_t position, int32_t length) { return {'M', position, length}; }
inline engine_call I(int32_t position, int32_t length) { return {'I', position, length}; }
inline engine_call D() { return {'D', 0, 0}; }
inline engine_call C(int32_t old_length, int32_t new_length) { return {'C', old_length, new_length}; }

struct engine_recorder {
    calls_t calls;
    long stop_after = -1; /* calls accepted before every further one returns 0 */
    int close_result = 0;

    void reset() { *this = engine_recorder(); }
    int accept(engine_call c) {
        /* Zero-length matches and inserts are no-ops that succeed, as in the real script. */
        if (c.kind != 'D' && c.b < 1) return 1;
        calls.push_back(c);
        return stop_after < 0 || (stop_after > 0 && stop_after--);
    }
};

inline int engine_observe(void *context, char kind, int32_t a, int32_t b) {
    engine_recorder &r = *static_cast<engine_recorder *>(context);
    if (kind == 'C') {
        r.calls.push_back(C(a, b));
        return r.close_result;
    }
    return r.accept(engine_call{kind, a, b});
}

/* The recorder, observing from the first use to the end of the program. */
inline engine_recorder &recorder() {
    static engine_recorder r;
    static const bool observing = (coallescing_script_observe(engine_observe, &r), true);
    (void)observing;
    return r;
}

inline buf buf_over(const std::string &s) { return buf{(uint8_t *)s.data(), s.size(), 0}; }

/* Rebuilds the new value from the calls (matches append old bytes, inserts new
 * bytes) and returns what is wrong, or "": calls out of new-value order, the old
 * value not used left to right, back-to-back matches not contiguous in the old
 * value, or a result that differs from the new value. */
inline std::string rebuild_error(const calls_t &calls, const std::string &old_value, const std::string &new_value) {
    std::string out;
    int64_t old_cursor = 0;
    char last = 0;
    for (const engine_call &c : calls) {
        if (c.kind == 'M') {
            if (c.a < old_cursor || (last == 'M' && c.a != old_cursor) || (size_t)c.a + c.b > old_value.size())
                return "match out of order at " + std::to_string(out.size());
            out.append(old_value, (size_t)c.a, (size_t)c.b);
            old_cursor = (int64_t)c.a + c.b;
        } else if (c.kind == 'I') {
            if ((size_t)c.a != out.size() || (size_t)c.a + c.b > new_value.size())
                return "insert out of order at " + std::to_string(out.size());
            out.append(new_value, (size_t)c.a, (size_t)c.b);
        }
        last = c.kind;
    }
    return out == new_value ? "" : "rebuilt value differs";
}

inline uint64_t limit_word(uint32_t quality, int32_t limit) { return quality_pack(quality, limit); }

/* Runs the engine over whole values, recording from scratch. */
inline int32_t run_diff(const std::string &old_value, const std::string &new_value, uint32_t quality = 0,
                        int32_t limit = 10000, uint64_t storage_limit = 2147483647) {
    recorder().calls.clear();
    buf o = buf_over(old_value), n = buf_over(new_value);
    return myers_binary_diff(&o, 0, (int32_t)old_value.size(), &n, 0, (int32_t)new_value.size(), nullptr,
                             storage_limit, limit_word(quality, limit));
}

#endif
