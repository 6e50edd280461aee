#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bailout.h"
#include "engine_recording.h"
#include "execution.h"

namespace {

TEST(Bailout, ApproxCubeRoot) {
    const struct { int64_t value; uint64_t root; } cases[] = {
        {0, 0},       {1, 1},         {3, 1},          {4, 2},           {7, 2},         {31, 2},
        {32, 4},      {255, 4},       {256, 8},        {1000, 8},        {2047, 8},      {2048, 16},
        {16383, 16},  {1000000, 64},  {1ll << 30, 1024}, {1ll << 62, 2097152}, {INT64_MAX, 2097152},
        {-1, 2097152}, {INT64_MIN, 2097152}};
    for (const auto &c : cases) EXPECT_EQ(approx_cube_root(c.value), c.root) << c.value;
}

TEST(Bailout, ScaledLimit) {
    const int32_t cases[][4] = {
        {1000, 500000, 500000, 640}, {100, 1000, 0, 256},
        {100, 1 << 23, 1 << 23, 256}, {101, 1 << 23, 1 << 23, 258}, /* estimate 256: P 25600, then 25856 */
        {3200, 1000, 0, 256}, {3213, 1000, 0, 257}, {25700, 1, 0, 257}, {25600, 1, 0, 256},
        {0, 5000, 5000, 256}, {-5, 5000, 5000, 256},
        {100, INT32_MAX, 1, 2097152}, /* the length sum wraps negative: estimate 2^21 */
        {1024, INT32_MAX, 1, 256}};   /* the 32-bit product wraps negative */
    for (const auto &c : cases)
        EXPECT_EQ(myers_binary_diff_bailout_limit(c[0], c[1], c[2]), c[3]) << c[0] << " " << c[1] << " " << c[2];
}

/* 'X' bail(window, limit) with the case's corners; 'S' trim_suffix(window, matched, limit);
 * 'P' trim_prefix(window, limit); 'B' bounded_diff(window, scale, limit); 'N' middlesnake(window, limit);
 * 'M', 'I', 'D': a literal script call. */
struct piece {
    char kind;
    int32_t a[6];
};
piece X(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t l) { return {'X', {op, on, np, nn, l}}; }
piece S(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t m, int32_t l) { return {'S', {op, on, np, nn, m, l}}; }
piece P(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t l) { return {'P', {op, on, np, nn, l}}; }
piece B(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t s, int32_t l) { return {'B', {op, on, np, nn, s, l}}; }
piece N(int32_t op, int32_t on, int32_t np, int32_t nn, int32_t l) { return {'N', {op, on, np, nn, l}}; }
piece lit(engine_call c) { return {c.kind, {c.a, c.b}}; }

struct split_case {
    const char *name;
    std::string old_value, new_value;
    int32_t co, cn;                       /* corners of the bailing iteration */
    std::vector<int32_t> forward, reverse; /* its slots, k = -co, -co + 2, ... and r = -cn, -cn + 2, ... */
    piece call;
    std::vector<piece> pieces;
};

calls_t run_piece(execution *e, const split_case &c, const piece &p) {
    if (p.kind == 'M' || p.kind == 'I' || p.kind == 'D') return {engine_call{p.kind, p.a[0], p.a[1]}};
    const int32_t *a = p.a;
    recorder().reset();
    int ok = 0;
    switch (p.kind) {
    case 'X': ok = execution_bail(e, a[0], a[1], a[2], a[3], c.co, c.cn, a[4]); break;
    case 'S': ok = execution_trim_suffix(e, a[0], a[1], a[2], a[3], a[4], a[5]); break;
    case 'P': ok = execution_trim_prefix(e, a[0], a[1], a[2], a[3], a[4]); break;
    case 'B': ok = execution_bounded_diff(e, a[0], a[1], a[2], a[3], a[4], 0, a[5]); break;
    case 'N': ok = execution_middlesnake(e, a[0], a[1], a[2], a[3], a[4]); break;
    }
    EXPECT_EQ(ok, 1) << p.kind;
    return recorder().calls;
}

/* Each split must make exactly the calls of its pieces run one after another. */
TEST(Bailout, SplitsIntoThePiecesInOrder) {
    std::mt19937 rng(1);
    auto r = [&](size_t n, int alphabet) {
        std::string s(n, 'a');
        for (char &ch : s) ch = (char)('a' + rng() % (unsigned)alphabet);
        return s;
    };
    const int32_t U = INT32_MAX;
    const std::string mid = r(2050, 4);
    const split_case cases[] = {
        /* forward points (5, 4), (3, 4); reverse (30, 29), (33, 34): three pieces */
        {"reverse_beyond_forward", r(60, 3), r(60, 3), 1, 1, {5, 3}, {30, 33}, X(10, 40, 20, 40, 7),
         {S(10, 5, 20, 4, 0, 500), B(15, 25, 24, 25, 40, 7), P(40, 10, 49, 11, 500)}},
        /* forward (20, 21) and reverse (19, 20) both progress 41: the forward point wins */
        {"equal_progress", r(40, 3), r(40, 3), 1, 1, {10, 20}, {30, 19}, X(0, 40, 0, 40, 7),
         {S(0, 20, 0, 21, 0, 500), P(20, 20, 21, 19, 500)}},
        {"equal_sums_keep_lowest_diagonal", r(40, 3), r(40, 3), 1, 1, {12, 11}, {U, U}, X(0, 40, 0, 40, 7),
         {S(0, 12, 0, 11, 0, 500), B(12, 28, 11, 29, 40, 7), P(40, 0, 40, 0, 500)}},
        /* M < N, reverse point (1, 0): the old window is halved with L / 2 */
        {"halve_old", r(8, 3), r(4, 3), 3, 3, {3, -1, -1, -1}, {U, U, U, 1}, X(0, 8, 0, 4, 9),
         {S(0, 4, 0, 0, 0, 4), P(4, 4, 0, 4, 4)}},
        /* M >= N, forward point (4, 0): the new window is halved with L / 2 */
        {"halve_new", r(4, 3), r(16, 3), 4, 4, {4, -1, -1, -1, -1}, {U, U, U, U, U}, X(0, 4, 0, 16, 11),
         {S(0, 4, 0, 8, 0, 5), P(4, 0, 8, 8, 5)}},
        /* forward point (4, 8) in the middle of the new window: split at the point */
        {"split_at_point", r(4, 3), r(16, 3), 4, 4, {-1, -1, -1, -1, 4}, {U, U, U, U, U}, X(0, 4, 0, 16, 11),
         {S(0, 4, 0, 8, 0, 500), P(4, 0, 8, 8, 500)}},
        {"bounded_searches_small_window_again", r(120, 4), r(120, 4), 0, 0, {}, {}, B(5, 100, 7, 100, 0, 3),
         {N(5, 100, 7, 100, 8)}},
        {"bounded_seven_bytes_splits_evenly", r(40, 4), r(40, 4), 0, 0, {}, {}, B(0, 7, 0, 30, 1000, 1),
         {S(0, 3, 0, 15, 0, 0), P(3, 4, 15, 15, 0)}},
        {"bounded_area_2_to_24_not_searched", r(4096, 2), r(4096, 2), 0, 0, {}, {}, B(0, 4096, 0, 4096, 0, 6),
         {S(0, 2048, 0, 2048, 0, 3), P(2048, 2048, 2048, 2048, 3)}},
        {"bounded_area_below_2_to_24_searched", r(4095, 2), r(4096, 2), 0, 0, {}, {}, B(0, 4095, 0, 4096, 0, 6),
         {N(0, 4095, 0, 4096, 8)}},
        /* old "QQabcdeZZZ" at 3, new "XabcYY" at 2; "abc" is the prefix of the middle halves */
        {"quarter_split_10_by_6", "...QQabcdeZZZ..", "..XabcYY..", 0, 0, {}, {}, B(3, 10, 2, 6, 100000, 0),
         {lit(I(2, 1)), lit(D()), lit(M(5, 3)), lit(D()), lit(I(6, 2)), lit(D())}},
        /* the middle halves share exactly 1000 bytes, then are diffed normally */
        {"quarter_split_negative_limit", r(1025, 4) + mid + r(1025, 4),
         r(1025, 4) + mid.substr(0, 1000) + "xx" + mid.substr(1000) + r(1023, 4), 0, 0, {}, {},
         B(0, 4100, 0, 4100, 0, -3),
         {lit(I(0, 1025)), lit(D()), lit(M(1025, 1000)), S(1025, 2050, 1025, 2050, 1000, 500), lit(I(3075, 1025)),
          lit(D())}},
    };
    for (const split_case &c : cases) {
        SCOPED_TRACE(c.name);
        buf o = buf_over(c.old_value), n = buf_over(c.new_value);
        coallescing_script cs{};
        execution *e = execution_create(&o, &n, &cs, 2147483647, 500);
        ASSERT_NE(e, nullptr);
        if (!c.forward.empty()) {
            storage_initialise(e->storage, std::max(c.co, c.cn));
            size_t i = 0;
            for (int32_t k = -c.co; k <= c.cn; k += 2) storage_key_forward_set(e->storage, k, c.forward.at(i++));
            i = 0;
            for (int32_t r = -c.cn; r <= c.co; r += 2) storage_key_reverse_set(e->storage, r, c.reverse.at(i++));
        }
        const calls_t got = run_piece(e, c, c.call);
        calls_t expected;
        for (const piece &p : c.pieces) {
            const calls_t part = run_piece(e, c, p);
            expected.insert(expected.end(), part.begin(), part.end());
        }
        EXPECT_EQ(got, expected);
        execution_free(e);
    }
}

std::string random_bytes(std::mt19937 &rng, size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = (char)(rng() & 0xFF);
    return s;
}

std::string runs(size_t a1, size_t b, size_t a2) {
    return std::string(a1, 'a') + std::string(b, 'b') + std::string(a2, 'a');
}

class BoundedCost : public ::testing::TestWithParam<int> {};

/* Inputs on which an unbounded search would take hours must finish with a
 * correct edit and without exhausting the native stack. */
TEST_P(BoundedCost, FinishesWithAValidEdit) {
    std::mt19937 rng(2024);
    std::string a, b;
    switch (GetParam()) {
    case 0: a = random_bytes(rng, 1 << 20), b = random_bytes(rng, 1 << 20); break; /* unrelated */
    case 1: a = random_bytes(rng, 1 << 20), b.assign(a.rbegin(), a.rend()); break;
    case 2: a = runs(1 << 20, 0, 0), b = runs(0, 1 << 20, 0); break;
    case 3: a = runs(1 << 19, 1 << 19, 0), b = runs(0, 1 << 19, 1 << 19); break;
    case 4: a = runs(1 << 20, 0, 0), b = runs(300000, 1000, 500000); break;
    default: /* 16 MiB with 3000 scattered edits */
        b = a = random_bytes(rng, 16 << 20);
        for (int i = 0; i < 3000; ++i) {
            const size_t at = rng() % (b.size() - 16);
            switch (rng() % 3) {
            case 0: b[at] = (char)(b[at] + 1); break;
            case 1: b.erase(at, 1 + rng() % 8); break;
            default: b.insert(at, std::string(1 + rng() % 8, (char)rng())); break;
            }
        }
    }
    recorder().reset();
    ASSERT_EQ(run_diff(a, b, 0, 10000), 0);
    EXPECT_EQ(rebuild_error(recorder().calls, a, b), "");
}

INSTANTIATE_TEST_SUITE_P(Inputs, BoundedCost, ::testing::Range(0, 6));

}  // namespace
