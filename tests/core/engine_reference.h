/* A plain recursive model of the engine for differential tests.
 *
 * It compares byte by byte, recurses on the native stack, reads and writes
 * the diagonals only through the storage API and makes every call the
 * routines describe, zero-length ones included. The engine under test must
 * produce the same effective calls (engine_recorder::effective) in the same
 * order. Only for small inputs: the recursion here is unbounded. */
#ifndef CORVANTIS_TESTS_ENGINE_REFERENCE_H
#define CORVANTIS_TESTS_ENGINE_REFERENCE_H

#include <stdint.h>

#include <algorithm>

#include "coallescing_script.h"
#include "storage.h"

struct reference_engine {
    const uint8_t *old_data;
    const uint8_t *new_data;
    int32_t limit;
    storage *st;

    int match(int32_t p, int32_t n) { return coallescing_script_match(nullptr, p, n); }
    int insert(int32_t p, int32_t n) { return coallescing_script_insert(nullptr, p, n); }
    int del() { return coallescing_script_delete(nullptr); }

    int32_t prefix(int32_t op, int32_t on, int32_t np, int32_t nn) {
        int32_t i = 0;
        const int32_t n = std::min(on, nn);
        while (i < n && old_data[op + i] == new_data[np + i]) ++i;
        return i;
    }

    int32_t suffix_start(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t f) {
        int32_t x = on;
        const int32_t delta = nn - on;
        if (f < on)
            while (x > f && old_data[op + x - 1] == new_data[np + x + delta - 1]) --x;
        return x;
    }

    int diff(int32_t op, int32_t on, int32_t np, int32_t nn) {
        const int32_t p = prefix(op, on, np, nn);
        if (!match(op, p)) return 0;
        return trim_suffix(op, on, np, nn, p, limit);
    }

    int trim_suffix(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t p, int32_t lim) {
        const int32_t xs = suffix_start(op, on, np, nn, p + std::max(0, on - nn));
        const int32_t ys = xs + nn - on;
        const int32_t oc = xs - p, nc = ys - p;
        int ok;
        if (oc == 0)
            ok = insert(np + p, nc);
        else if (nc == 0)
            ok = del();
        else
            ok = middlesnake(op + p, oc, np + p, nc, lim);
        if (!ok) return 0;
        return match(op + xs, on - xs);
    }

    int trim_prefix(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t lim) {
        const int32_t p = prefix(op, on, np, nn);
        if (!match(op, p)) return 0;
        if (p == on) return insert(np + on, nn - on);
        if (p == nn) return del();
        return middlesnake(op + p, on - p, np + p, nn - p, lim);
    }

    int recurse(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t s, int32_t e, int32_t k) {
        if (!trim_suffix(op, s, np, s + k, 0, limit)) return 0;
        if (!match(op + s, e - s)) return 0;
        return trim_prefix(op + e, on - e, np + e + k, nn - (e + k), limit);
    }

    static int32_t corner(int32_t d, int32_t len) { return d <= len ? d : 2 * len - d; }

    void points(int32_t on, int32_t nn, int32_t co, int32_t cn, int32_t *xf, int32_t *yf, int32_t *xr,
                int32_t *yr) {
        *xf = 0, *yf = 0, *xr = on, *yr = nn;
        for (int32_t k = -co; k <= cn; k += 2) {
            int32_t x = std::min(std::min(storage_key_forward_get(st, k), on), nn - k);
            if (x + x + k > *xf + *yf) *xf = x, *yf = x + k;
        }
        for (int32_t r = -cn; r <= co; r += 2) {
            const int32_t k = r + nn - on;
            int32_t x = std::max(std::max(storage_key_reverse_get(st, r), 0), -k);
            if (x + x + k < *xr + *yr) *xr = x, *yr = x + k;
        }
    }

    int middlesnake(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t lim) {
        storage_initialise(st, 1);
        storage_key_forward_set(st, 0, 0);
        storage_key_reverse_set(st, 0, on);
        const int32_t delta = nn - on;
        const bool forward_tests = ((uint32_t)(on - nn) & 0xB1u) == 0xB1u;
        for (int32_t d = 1;;) {
            const int32_t co = corner(d, on), cn = corner(d, nn);
            for (int32_t k = -co; k <= cn; k += 2) {
                const int32_t x = storage_key_forward_get_next(st, k);
                const int32_t y = x + k;
                const int32_t n = std::min(on - x, nn - y);
                int32_t t = 0;
                while (t < n && old_data[op + x + t] == new_data[np + y + t]) ++t;
                const int32_t xe = x + t;
                if (forward_tests) {
                    const int32_t r = k + on - nn;
                    if (std::abs(r) < d && xe >= storage_key_reverse_get(st, r))
                        return recurse(op, on, np, nn, x, xe, k);
                }
                storage_key_forward_set(st, k, xe);
            }
            for (int32_t r = -cn; r <= co; r += 2) {
                const int32_t k = r + delta;
                const int32_t x = storage_key_reverse_get_next(st, r);
                const int32_t f = std::max(0, -k);
                int32_t xs = x;
                if (f < xs)
                    while (old_data[op + xs - 1] == new_data[np + xs + k - 1] && --xs > f) {
                    }
                if (!forward_tests && std::abs(k) <= d && xs <= storage_key_forward_get(st, k))
                    return recurse(op, on, np, nn, xs, x, k);
                storage_key_reverse_set(st, r, xs);
            }
            bool test = true;
            if (d % 64 == 0) {
                int32_t xf, yf, xr, yr;
                points(on, nn, co, cn, &xf, &yf, &xr, &yr);
                const uint64_t progress = (uint64_t)(uint32_t)(xf + yf) + (uint32_t)(on + nn - xr - yr);
                uint64_t g = 2;
                for (int64_t p = 4; p <= d; p *= 4) g *= 2;
                if (progress < g * (uint64_t)d) lim -= 48, test = false;
            }
            if (test && d > lim) return bail(op, on, np, nn, co, cn, lim);
            ++d;
            if (!storage_extend(st, d)) return 0;
        }
    }

    int bail(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t co, int32_t cn, int32_t lim) {
        int32_t xf, yf, xr, yr;
        points(on, nn, co, cn, &xf, &yf, &xr, &yr);
        if (xr - xf > 0 && yr - yf > 0) {
            if (!trim_suffix(op, xf, np, yf, 0, limit)) return 0;
            if (!bounded(op + xf, xr - xf, np + yf, yr - yf, on, lim)) return 0;
            return trim_prefix(op + xr, on - xr, np + yr, nn - yr, limit);
        }
        const bool rev = (on + nn - xr - yr) > (xf + yf);
        const int32_t sx = rev ? xr : xf, sy = rev ? yr : yf;
        if (nn < on && (sy == 0 || sy == nn) && on >= 8 * std::min(sx, on - sx)) {
            const int32_t h = on / 2;
            if (!trim_suffix(op, h, np, sy, 0, lim / 2)) return 0;
            return trim_prefix(op + h, on - h, np + sy, nn - sy, lim / 2);
        }
        if (nn >= on && (sx == 0 || sx == on) && nn >= 8 * std::min(sy, nn - sy)) {
            const int32_t h = nn / 2;
            if (!trim_suffix(op, sx, np, h, 0, lim / 2)) return 0;
            return trim_prefix(op + sx, on - sx, np + h, nn - h, lim / 2);
        }
        if (!trim_suffix(op, sx, np, sy, 0, limit)) return 0;
        return trim_prefix(op + sx, on - sx, np + sy, nn - sy, limit);
    }

    int bounded(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t s, int32_t lim) {
        if (std::min(on, nn) >= 8 && (int64_t)on * nn < 16777216 + (((int64_t)s * s) >> 1))
            return middlesnake(op, on, np, nn, std::max(lim, 8));
        if (lim > 0) {
            if (!trim_suffix(op, on / 2, np, nn / 2, 0, lim / 2)) return 0;
            return trim_prefix(op + on / 2, on - on / 2, np + nn / 2, nn - nn / 2, lim / 2);
        }
        const int32_t qo = on / 4, ho = on / 2, qn = nn / 4, hn = nn / 2;
        if (!insert(np, qn) || !del()) return 0;
        const int32_t p = prefix(op + qo, ho, np + qn, hn);
        if (!match(op + qo, p)) return 0;
        if (!trim_suffix(op + qo, ho, np + qn, hn, p, limit)) return 0;
        if (!insert(np + qn + hn, nn - (qn + hn))) return 0;
        return del();
    }
};

#endif
