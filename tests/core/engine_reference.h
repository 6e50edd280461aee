/* A plain recursive model of the engine for differential tests: byte-by-byte
 * comparisons, its own diagonal arrays (fresh for every search), recursion on
 * the native stack, and every call the routines describe, zero-length ones
 * included (the recorder drops those). Only for small inputs. */
#ifndef CORVANTIS_TESTS_ENGINE_REFERENCE_H
#define CORVANTIS_TESTS_ENGINE_REFERENCE_H

#include <stdint.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "coallescing_script.h"

struct reference_engine {
    const uint8_t *o, *n; /* old and new bytes */
    int32_t limit;

    /* Forward slots by diagonal k (unset -1), reverse slots by relative diagonal r (unset INT32_MAX). */
    struct slots {
        int32_t off;
        std::vector<int32_t> f, r;
        slots(int32_t on, int32_t nn) : off(on + nn + 2), f(2 * (size_t)off + 1, -1), r(f.size(), INT32_MAX) {}
        int32_t &fw(int32_t k) { return f[(size_t)(k + off)]; }
        int32_t &rv(int32_t k) { return r[(size_t)(k + off)]; }
    };

    int match(int32_t p, int32_t len) { return coallescing_script_match(nullptr, p, len); }
    int insert(int32_t p, int32_t len) { return coallescing_script_insert(nullptr, p, len); }
    int del() { return coallescing_script_delete(nullptr); }

    int32_t prefix(int32_t op, int32_t on, int32_t np, int32_t nn) {
        int32_t i = 0;
        while (i < std::min(on, nn) && o[op + i] == n[np + i]) ++i;
        return i;
    }

    int diff(int32_t op, int32_t on, int32_t np, int32_t nn) {
        const int32_t p = prefix(op, on, np, nn);
        return match(op, p) && trim_suffix(op, on, np, nn, p, limit);
    }

    int trim_suffix(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t p, int32_t lim) {
        int32_t xs = on;
        while (xs > p + std::max(0, on - nn) && o[op + xs - 1] == n[np + xs + nn - on - 1]) --xs;
        const int32_t oc = xs - p, nc = xs + nn - on - p;
        const int ok = oc == 0 ? insert(np + p, nc) : nc == 0 ? del() : middlesnake(op + p, oc, np + p, nc, lim);
        return ok && match(op + xs, on - xs);
    }

    int trim_prefix(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t lim) {
        const int32_t p = prefix(op, on, np, nn);
        if (!match(op, p)) return 0;
        if (p == on) return insert(np + on, nn - on);
        if (p == nn) return del();
        return middlesnake(op + p, on - p, np + p, nn - p, lim);
    }

    int recurse(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t s, int32_t e, int32_t k) {
        return trim_suffix(op, s, np, s + k, 0, limit) && match(op + s, e - s) &&
               trim_prefix(op + e, on - e, np + e + k, nn - (e + k), limit);
    }

    int middlesnake(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t lim) {
        slots s(on, nn);
        s.fw(0) = 0;
        s.rv(0) = on;
        const int32_t delta = nn - on;
        const bool forward_tests = ((uint32_t)(on - nn) & 0xB1u) == 0xB1u;
        for (int32_t d = 1;; ++d) {
            const int32_t co = d <= on ? d : 2 * on - d, cn = d <= nn ? d : 2 * nn - d;
            for (int32_t k = -co; k <= cn; k += 2) {
                const int32_t x = std::max(s.fw(k - 1), s.fw(k + 1) + 1);
                int32_t xe = x;
                while (xe < on && xe + k < nn && o[op + xe] == n[np + xe + k]) ++xe;
                if (forward_tests && std::abs(k - delta) < d && xe >= s.rv(k - delta))
                    return recurse(op, on, np, nn, x, xe, k);
                s.fw(k) = xe;
            }
            for (int32_t r = -cn; r <= co; r += 2) {
                const int32_t k = r + delta, x = std::min(s.rv(r + 1), s.rv(r - 1) - 1);
                int32_t xs = x;
                while (xs > std::max(0, -k) && o[op + xs - 1] == n[np + xs + k - 1]) --xs;
                if (!forward_tests && std::abs(k) <= d && xs <= s.fw(k)) return recurse(op, on, np, nn, xs, x, k);
                s.rv(r) = xs;
            }
            /* Furthest points: forward from (0, 0), reverse from (N, M); ties keep the lowest diagonal. */
            int32_t xf = 0, yf = 0, xr = on, yr = nn;
            for (int32_t k = -co; k <= cn; k += 2) {
                const int32_t x = std::min({s.fw(k), on, nn - k});
                if (2 * x + k > xf + yf) xf = x, yf = x + k;
            }
            for (int32_t r = -cn; r <= co; r += 2) {
                const int32_t x = std::max({s.rv(r), 0, -(r + delta)});
                if (2 * x + r + delta < xr + yr) xr = x, yr = x + r + delta;
            }
            bool test = true;
            if (d % 64 == 0) {
                uint64_t g = 2;
                for (int64_t p = 4; p <= d; p *= 4) g *= 2;
                if ((uint64_t)(xf + yf) + (uint64_t)(on + nn - xr - yr) < g * (uint64_t)d) lim -= 48, test = false;
            }
            if (test && d > lim) return bail(op, on, np, nn, xf, yf, xr, yr, lim);
        }
    }

    int bail(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t xf, int32_t yf, int32_t xr, int32_t yr,
             int32_t lim) {
        if (xr - xf > 0 && yr - yf > 0)
            return trim_suffix(op, xf, np, yf, 0, limit) && bounded(op + xf, xr - xf, np + yf, yr - yf, on, lim) &&
                   trim_prefix(op + xr, on - xr, np + yr, nn - yr, limit);
        const bool rev = (on + nn - xr - yr) > (xf + yf);
        const int32_t sx = rev ? xr : xf, sy = rev ? yr : yf;
        if (nn < on && (sy == 0 || sy == nn) && on >= 8 * std::min(sx, on - sx))
            return trim_suffix(op, on / 2, np, sy, 0, lim / 2) &&
                   trim_prefix(op + on / 2, on - on / 2, np + sy, nn - sy, lim / 2);
        if (nn >= on && (sx == 0 || sx == on) && nn >= 8 * std::min(sy, nn - sy))
            return trim_suffix(op, sx, np, nn / 2, 0, lim / 2) &&
                   trim_prefix(op + sx, on - sx, np + nn / 2, nn - nn / 2, lim / 2);
        return trim_suffix(op, sx, np, sy, 0, limit) && trim_prefix(op + sx, on - sx, np + sy, nn - sy, limit);
    }

    int bounded(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t s, int32_t lim) {
        if (std::min(on, nn) >= 8 && (int64_t)on * nn < 16777216 + (((int64_t)s * s) >> 1))
            return middlesnake(op, on, np, nn, std::max(lim, 8));
        if (lim > 0)
            return trim_suffix(op, on / 2, np, nn / 2, 0, lim / 2) &&
                   trim_prefix(op + on / 2, on - on / 2, np + nn / 2, nn - nn / 2, lim / 2);
        const int32_t qo = on / 4, ho = on / 2, qn = nn / 4, hn = nn / 2;
        if (!insert(np, qn) || !del()) return 0;
        const int32_t p = prefix(op + qo, ho, np + qn, hn);
        return match(op + qo, p) && trim_suffix(op + qo, ho, np + qn, hn, p, limit) &&
               insert(np + qn + hn, nn - (qn + hn)) && del();
    }
};

#endif
