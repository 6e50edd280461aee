#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "bailout.h"
#include "engine_recording.h"
#include "engine_reference.h"
#include "execution.h"

namespace {

using calls_t = std::vector<engine_call>;

/* ---- Scaled limits ------------------------------------------------------- */

struct cube_case {
    int64_t value;
    uint64_t root;
};

class CubeRoot : public ::testing::TestWithParam<cube_case> {};

TEST_P(CubeRoot, Table) { EXPECT_EQ(approx_cube_root(GetParam().value), GetParam().root); }

INSTANTIATE_TEST_SUITE_P(Table, CubeRoot,
                         ::testing::Values(cube_case{0, 0}, cube_case{1, 1}, cube_case{3, 1}, cube_case{4, 2},
                                           cube_case{7, 2}, cube_case{31, 2}, cube_case{32, 4},
                                           cube_case{255, 4}, cube_case{256, 8}, cube_case{1000, 8},
                                           cube_case{2047, 8}, cube_case{2048, 16}, cube_case{16383, 16},
                                           cube_case{1000000, 64}, cube_case{1ll << 30, 1024},
                                           cube_case{1ll << 62, 2097152}, cube_case{INT64_MAX, 2097152},
                                           cube_case{-1, 2097152}, cube_case{INT64_MIN, 2097152}));

struct limit_case {
    int32_t factor;
    int32_t old_length;
    int32_t new_length;
    int32_t limit;
};

class BailoutLimit : public ::testing::TestWithParam<limit_case> {};

TEST_P(BailoutLimit, Table) {
    const limit_case &c = GetParam();
    EXPECT_EQ(myers_binary_diff_bailout_limit(c.factor, c.old_length, c.new_length), c.limit);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BailoutLimit,
    ::testing::Values(limit_case{1000, 500000, 500000, 640}, limit_case{100, 1000, 0, 256},
                      /* cube root estimate 256 for 2^24: P exactly 25600, then 25700 */
                      limit_case{100, 1 << 23, 1 << 23, 256}, limit_case{101, 1 << 23, 1 << 23, 258},
                      limit_case{3200, 1000, 0, 256}, limit_case{3213, 1000, 0, 257},
                      limit_case{25700, 1, 0, 257}, limit_case{25600, 1, 0, 256},
                      /* the length sum wraps to a negative value: estimate 2^21 */
                      limit_case{100, INT32_MAX, 1, 2097152}, limit_case{0, 5000, 5000, 256},
                      limit_case{-5, 5000, 5000, 256},
                      /* the 32-bit product wraps negative */
                      limit_case{1024, INT32_MAX, 1, 256}));

/* ---- Splits at the bail-out point ---------------------------------------- */

struct bail_fixture {
    std::string old_value, new_value;
    buf o{}, n{};
    coallescing_script cs{};
    execution *e = nullptr;

    bail_fixture(std::string a, std::string b, int32_t record_limit)
        : old_value(std::move(a)), new_value(std::move(b)) {
        o = buf_over(old_value);
        n = buf_over(new_value);
        e = execution_create(&o, &n, &cs, 2147483647, record_limit);
    }
    ~bail_fixture() { execution_free(e); }

    /* Sets the slots of the last iteration: forward values for k = -co,
     * -co + 2, ... and reverse values for r = -cn, -cn + 2, ... */
    void slots(int32_t co, int32_t cn, const std::vector<int32_t> &forward, const std::vector<int32_t> &reverse) {
        storage_initialise(e->storage, co > cn ? co : cn);
        size_t i = 0;
        for (int32_t k = -co; k <= cn; k += 2) storage_key_forward_set(e->storage, k, forward.at(i++));
        i = 0;
        for (int32_t r = -cn; r <= co; r += 2) storage_key_reverse_set(e->storage, r, reverse.at(i++));
    }

    template <typename F>
    calls_t record(F f) {
        recorder().reset();
        EXPECT_EQ(f(), 1);
        return recorder().effective();
    }
};

std::string random_text(std::mt19937 &rng, size_t n, int alphabet) {
    std::string s(n, 'a');
    for (char &c : s) c = (char)('a' + rng() % (unsigned)alphabet);
    return s;
}

calls_t concat(const std::vector<calls_t> &parts) {
    calls_t out;
    for (const calls_t &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(Bail, ReversePointBeyondTheForwardPointSplitsThreeWays) {
    std::mt19937 rng(1);
    bail_fixture f(random_text(rng, 60, 3), random_text(rng, 60, 3), 500);
    /* N = M = 40 at offsets 10 and 20; iteration 1. Forward: k = -1 at
     * (5, 4), k = 1 at (3, 4). Reverse: r = -1 at (30, 29), r = 1 at (33, 34). */
    f.slots(1, 1, {5, 3}, {30, 33});
    const calls_t got = f.record([&] { return execution_bail(f.e, 10, 40, 20, 40, 1, 1, 7); });
    const calls_t expected = concat({
        f.record([&] { return execution_trim_suffix(f.e, 10, 5, 20, 4, 0, 500); }),
        f.record([&] { return execution_bounded_diff(f.e, 15, 25, 24, 25, 40, 0, 7); }),
        f.record([&] { return execution_trim_prefix(f.e, 40, 10, 49, 11, 500); }),
    });
    EXPECT_EQ(got, expected);
}

TEST(Bail, EqualProgressSplitsAtTheForwardPoint) {
    std::mt19937 rng(2);
    bail_fixture f(random_text(rng, 40, 3), random_text(rng, 40, 3), 500);
    /* Forward best (20, 21) on k = 1, progress 41; reverse best (19, 20) on
     * r = 1, progress 80 - 39 = 41. The points cross, so one split. */
    f.slots(1, 1, {10, 20}, {30, 19});
    const calls_t got = f.record([&] { return execution_bail(f.e, 0, 40, 0, 40, 1, 1, 7); });
    const calls_t expected = concat({
        f.record([&] { return execution_trim_suffix(f.e, 0, 20, 0, 21, 0, 500); }),
        f.record([&] { return execution_trim_prefix(f.e, 20, 20, 21, 19, 500); }),
    });
    EXPECT_EQ(got, expected);
}

TEST(Bail, EqualSumsKeepTheLowestDiagonal) {
    std::mt19937 rng(3);
    bail_fixture f(random_text(rng, 40, 3), random_text(rng, 40, 3), 500);
    /* Forward k = -1 at (12, 11) and k = 1 at (11, 12): both sum 23, the
     * lowest diagonal stays. Reverse at (N, M): no progress. */
    f.slots(1, 1, {12, 11}, {INT32_MAX, INT32_MAX});
    const calls_t got = f.record([&] { return execution_bail(f.e, 0, 40, 0, 40, 1, 1, 7); });
    const calls_t expected = concat({
        f.record([&] { return execution_trim_suffix(f.e, 0, 12, 0, 11, 0, 500); }),
        f.record([&] { return execution_bounded_diff(f.e, 12, 28, 11, 29, 40, 0, 7); }),
        f.record([&] { return execution_trim_prefix(f.e, 40, 0, 40, 0, 500); }),
    });
    EXPECT_EQ(got, expected);
}

TEST(Bail, NewShorterAndSplitNearAnOldEndHalvesTheOldWindow) {
    std::mt19937 rng(4);
    bail_fixture f(random_text(rng, 8, 3), random_text(rng, 4, 3), 500);
    /* N = 8, M = 4, iteration 3. Reverse point (1, 0) on r = 3 (k = -1),
     * progress 11; forward point (3, 0), progress 3. s_y = 0 and
     * 8 >= 8 x min(1, 7): the old window is halved at 4, limit 9 / 2 = 4. */
    f.slots(3, 3, {3, -1, -1, -1}, {INT32_MAX, INT32_MAX, INT32_MAX, 1});
    const calls_t got = f.record([&] { return execution_bail(f.e, 0, 8, 0, 4, 3, 3, 9); });
    const calls_t expected = concat({
        f.record([&] { return execution_trim_suffix(f.e, 0, 4, 0, 0, 0, 4); }),
        f.record([&] { return execution_trim_prefix(f.e, 4, 4, 0, 4, 4); }),
    });
    EXPECT_EQ(got, expected);
}

TEST(Bail, NewLongerAndSplitOnAnOldEdgeNearANewEndHalvesTheNewWindow) {
    std::mt19937 rng(5);
    bail_fixture f(random_text(rng, 4, 3), random_text(rng, 16, 3), 500);
    /* N = 4, M = 16, iteration 4: forward point (4, 0) on k = -4, no reverse
     * progress. s_x = N and 16 >= 8 x min(0, 16): the new window is halved
     * at 8, limit 11 / 2 = 5. */
    f.slots(4, 4, {4, -1, -1, -1, -1}, {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX});
    const calls_t got = f.record([&] { return execution_bail(f.e, 0, 4, 0, 16, 4, 4, 11); });
    const calls_t expected = concat({
        f.record([&] { return execution_trim_suffix(f.e, 0, 4, 0, 8, 0, 5); }),
        f.record([&] { return execution_trim_prefix(f.e, 4, 0, 8, 8, 5); }),
    });
    EXPECT_EQ(got, expected);
}

TEST(Bail, NewLongerAndSplitInTheMiddleOfTheNewWindowSplitsAtThePoint) {
    std::mt19937 rng(6);
    bail_fixture f(random_text(rng, 4, 3), random_text(rng, 16, 3), 500);
    /* Forward point (4, 8) on k = 4: s_x = N, 16 < 8 x min(8, 8). */
    f.slots(4, 4, {-1, -1, -1, -1, 4}, {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX});
    const calls_t got = f.record([&] { return execution_bail(f.e, 0, 4, 0, 16, 4, 4, 11); });
    const calls_t expected = concat({
        f.record([&] { return execution_trim_suffix(f.e, 0, 4, 0, 8, 0, 500); }),
        f.record([&] { return execution_trim_prefix(f.e, 4, 0, 8, 8, 500); }),
    });
    EXPECT_EQ(got, expected);
}

/* ---- Bounded diff -------------------------------------------------------- */

TEST(BoundedDiff, SmallWindowsAreSearchedAgainUnchanged) {
    std::mt19937 rng(7);
    bail_fixture f(random_text(rng, 120, 4), random_text(rng, 120, 4), 500);
    const calls_t got = f.record([&] { return execution_bounded_diff(f.e, 5, 100, 7, 100, 0, 0, 3); });
    /* max(3, 8) = 8 */
    const calls_t expected = f.record([&] { return execution_middlesnake(f.e, 5, 100, 7, 100, 8); });
    EXPECT_EQ(got, expected);
}

TEST(BoundedDiff, SevenBytesNeverSearchAndLimitOneSplitsEvenly) {
    std::mt19937 rng(8);
    bail_fixture f(random_text(rng, 40, 4), random_text(rng, 40, 4), 500);
    const calls_t got = f.record([&] { return execution_bounded_diff(f.e, 0, 7, 0, 30, 1000, 0, 1); });
    const calls_t expected = concat({
        f.record([&] { return execution_trim_suffix(f.e, 0, 3, 0, 15, 0, 0); }),
        f.record([&] { return execution_trim_prefix(f.e, 3, 4, 15, 15, 0); }),
    });
    EXPECT_EQ(got, expected);
}

TEST(BoundedDiff, AreaOf2To24IsNotBelowTheThreshold) {
    std::mt19937 rng(9);
    bail_fixture f(random_text(rng, 4096, 2), random_text(rng, 4096, 2), 500);
    const calls_t got = f.record([&] { return execution_bounded_diff(f.e, 0, 4096, 0, 4096, 0, 0, 6); });
    const calls_t expected = concat({
        f.record([&] { return execution_trim_suffix(f.e, 0, 2048, 0, 2048, 0, 3); }),
        f.record([&] { return execution_trim_prefix(f.e, 2048, 2048, 2048, 2048, 3); }),
    });
    EXPECT_EQ(got, expected);
    /* One byte less and the window is searched again. */
    const calls_t again = f.record([&] { return execution_bounded_diff(f.e, 0, 4095, 0, 4096, 0, 0, 6); });
    EXPECT_EQ(again, f.record([&] { return execution_middlesnake(f.e, 0, 4095, 0, 4096, 8); }));
}

TEST(BoundedDiff, QuarterSplitOnTenBySix) {
    /* Old window "QQabcdeZZZ" at 3, new window "Xabc" "YY" at 2. */
    bail_fixture f("...QQabcdeZZZ..", "..XabcYY..", 500);
    const calls_t got = f.record([&] { return execution_bounded_diff(f.e, 3, 10, 2, 6, 100000, 0, 0); });
    /* Insert the first new quarter (1 byte), drop the first old quarter;
     * "abc" is the common prefix of the middle halves "abcde" and "abc";
     * the rest of the old half is dropped; the last 2 new bytes inserted. */
    EXPECT_EQ(got, (calls_t{I(2, 1), D(), M(5, 3), D(), I(6, 2), D()}));
}

TEST(BoundedDiff, QuarterSplitWithNegativeLimitDiffsTheMiddleNormally) {
    std::mt19937 rng(10);
    /* An area above 2^24 with scale 0 is not searched again. */
    const std::string mid = random_text(rng, 2050, 4);
    bail_fixture f(random_text(rng, 1025, 4) + mid + random_text(rng, 1025, 4),
                   random_text(rng, 1025, 4) + mid.substr(0, 1000) + "xx" + mid.substr(1000) +
                       random_text(rng, 1023, 4),
                   500);
    const int32_t on = 4100, nn = 4100;
    const calls_t got = f.record([&] { return execution_bounded_diff(f.e, 0, on, 0, nn, 0, 0, -3); });
    const int32_t q_old = on / 4, h_old = on / 2, q_new = nn / 4, h_new = nn / 2;
    const int32_t p = _execution_common_prefix((const uint8_t *)f.old_value.data() + q_old,
                                               (const uint8_t *)f.new_value.data() + q_new,
                                               std::min(h_old, h_new));
    calls_t expected = {I(0, q_new), D()};
    if (p > 0) expected.push_back(M(q_old, p));
    expected = concat({expected,
                       f.record([&] { return execution_trim_suffix(f.e, q_old, h_old, q_new, h_new, p, 500); }),
                       {I(q_new + h_new, nn - q_new - h_new), D()}});
    EXPECT_GT(p, 900);
    EXPECT_EQ(got, expected);
}

/* ---- Bounded cost -------------------------------------------------------- */

struct cost_case {
    const char *name;
    std::string (*make_old)(std::mt19937 &);
    std::string (*make_new)(std::mt19937 &, const std::string &);
};

std::string random_mib(std::mt19937 &rng) {
    std::string s(1 << 20, '\0');
    for (char &c : s) c = (char)(rng() & 0xFF);
    return s;
}

class BoundedCost : public ::testing::TestWithParam<cost_case> {};

/* Inputs on which an unbounded search would take hours must finish, with a
 * correct edit and without exhausting the native stack. */
TEST_P(BoundedCost, FinishesWithAValidEdit) {
    std::mt19937 rng(2024);
    const std::string a = GetParam().make_old(rng);
    const std::string b = GetParam().make_new(rng, a);
    recorder().reset();
    ASSERT_EQ(run_diff(a, b, 0, 10000), 0);
    std::string error;
    const std::string rebuilt = rebuild(recorder().calls, a, 0, (int32_t)a.size(), b, 0, (int32_t)b.size(), &error);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(rebuilt == b);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BoundedCost,
    ::testing::Values(
        cost_case{"unrelated_random_mib", random_mib, [](std::mt19937 &rng, const std::string &) { return random_mib(rng); }},
        cost_case{"value_against_its_reverse", random_mib,
                  [](std::mt19937 &, const std::string &a) { return std::string(a.rbegin(), a.rend()); }},
        cost_case{"runs_of_different_bytes", [](std::mt19937 &) { return std::string(1 << 20, 'a'); },
                  [](std::mt19937 &, const std::string &) { return std::string(1 << 20, 'b'); }},
        cost_case{"runs_swapped",
                  [](std::mt19937 &) { return std::string(1 << 19, 'a') + std::string(1 << 19, 'b'); },
                  [](std::mt19937 &, const std::string &) {
                      return std::string(1 << 19, 'b') + std::string(1 << 19, 'a');
                  }},
        cost_case{"runs_of_one_byte_different_lengths", [](std::mt19937 &) { return std::string(1 << 20, 'a'); },
                  [](std::mt19937 &, const std::string &) {
                      return std::string(300000, 'a') + std::string(1000, 'b') + std::string(500000, 'a');
                  }},
        cost_case{"scattered_edits_16mib",
                  [](std::mt19937 &rng) {
                      std::string s(16 << 20, '\0');
                      for (char &c : s) c = (char)(rng() & 0xFF);
                      return s;
                  },
                  [](std::mt19937 &rng, const std::string &a) {
                      std::string b = a;
                      for (int i = 0; i < 3000; ++i) {
                          const size_t at = rng() % (b.size() - 16);
                          switch (rng() % 3) {
                          case 0: b[at] = (char)(b[at] + 1); break;
                          case 1: b.erase(at, 1 + rng() % 8); break;
                          default: b.insert(at, std::string(1 + rng() % 8, (char)rng())); break;
                          }
                      }
                      return b;
                  }}),
    [](const ::testing::TestParamInfo<cost_case> &info) { return std::string(info.param.name); });

/* ---- Against the recursive model, bail-outs everywhere --------------------- */

TEST(BailProperty, SameCallsAsTheRecursiveModel) {
    std::mt19937 rng(555);
    for (int round = 0; round < 300; ++round) {
        const int alphabet = 2 + (int)(rng() % 6);
        const std::string a = random_text(rng, rng() % 1500, alphabet);
        const std::string b = random_text(rng, rng() % 1500, alphabet);
        const int32_t limit = (int32_t)(rng() % 12) - 3;
        storage *st = storage_create(2147483647);
        reference_engine ref{(const uint8_t *)a.data(), (const uint8_t *)b.data(), limit, st};
        recorder().reset();
        ASSERT_EQ(ref.diff(0, (int32_t)a.size(), 0, (int32_t)b.size()), 1);
        storage_free(st);
        recorder().calls.push_back(C((int32_t)a.size(), (int32_t)b.size()));
        const calls_t expected = recorder().effective();
        recorder().reset();
        ASSERT_EQ(run_diff(a, b, 0, limit), 0);
        ASSERT_EQ(recorder().effective(), expected) << "round " << round;
    }
}

}  // namespace
