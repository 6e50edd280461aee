#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "base/alloc.h"
#include "delta/exact/bailout.h"
#include "delta/exact/execution.h"
#include "delta/policy/quality.h"
#include "delta_reference.h"

namespace {

using namespace delta_reference;

/* The engine's calls via the coalescing script's observer seam, as text: "M<old pos>,<len>",
 * "I<new pos>,<len>", "D", "C<old len>,<new len>" (answered "edit"); empty M and I: no-ops. */
int observe(void *context, char kind, int32_t a, int32_t b) {
    std::string &calls = *static_cast<std::string *>(context);
    if (kind != 'C' && kind != 'D' && b < 1) return 1;
    calls += (calls.empty() ? "" : " ") + std::string(1, kind) +
             (kind == 'D' ? "" : std::to_string(a) + "," + std::to_string(b));
    return kind != 'C';
}

std::string run_diff(const std::string &old_value, const std::string &new_value, int32_t result = 0,
                     uint32_t quality = 0, int32_t limit = 10000,
                     uint64_t storage_limit = 2147483647) {
    std::string calls;
    const buf o = view(old_value), n = view(new_value);
    coallescing_script_observe(observe, &calls);
    EXPECT_EQ(myers_binary_diff(&o, 0, (int32_t)o.length, &n, 0, (int32_t)n.length, nullptr,
                                storage_limit, quality_pack(quality, limit)),
              result);
    coallescing_script_observe(nullptr, nullptr);
    return calls;
}

/* The bytes the calls match; that they rebuild the new value is fuzz_engine's check. */
int64_t matched_bytes(const std::string &calls) {
    std::istringstream in(calls);
    int64_t count = 0;
    for (std::string call; in >> call;)
        if (call[0] == 'M') count += std::stoll(call.substr(call.find(',') + 1));
    return count;
}

TEST(Engine, ExactCalls) {
    const struct {
        std::string old_value, new_value;
        uint32_t quality;
        std::string calls;
    } cases[] = {
        {"abcdef", "abXdef", 0, "M0,2 D I2,1 M3,3 C6,6"},
        {"abcdef", "abXdef", 4, "M0,2 I2,1 D M3,3 C6,6"},
        {"abcabba", "cbabac", 0, "D M2,1 D M4,1 I2,1 M5,1 M6,1 I5,1 C7,6"},
        {"abcXYZdef", "abcQdef", 4, "M0,3 I3,1 D M6,3 C9,7"},
        {"same bytes", "same bytes", 0, "M0,10 C10,10"},
        {"", "", 0, "C0,0"},
        {"", "new", 0, "I0,3 C0,3"},
        {"old", "", 0, "D C3,0"},
        {"abc", "abcd", 0, "M0,3 I3,1 C3,4"},
        {"abc", "xxabc", 4, "I0,2 M0,3 C3,5"},
        {"xxabc", "abc", 0, "D M2,3 C5,3"},
        {"ab", "b", 0, "D M1,1 C2,1"},
        {"aaabb", "ba", 3, "D I0,1 M1,1 D C5,2"},  /* bails: split at the furthest points */
        {"a", "ccaccc", 3, "I0,2 M0,1 I3,3 C1,6"}, /* the forward one on the top diagonal */
        /* which pass tests for the overlap: forward for N - M = -1, reverse for -17 and 49 */
        {"a", "aa", 0, "M0,1 I1,1 C1,2"},
        {"bb", "abaababbbbababbbaba", 0, "I0,8 M0,2 I10,9 C2,19"},
        {"aabaabbaabbbabaabbbababbbbabbbbbbabaaaabbabbbbabbba", "bb", 0, "D M24,2 D C51,2"},
    };
    for (const auto &c : cases) {
        const std::string calls = run_diff(c.old_value, c.new_value, 0, c.quality);
        EXPECT_EQ(calls, c.calls) << c.old_value << " -> " << c.new_value << " q" << c.quality;
    }
}

/* Lengths of 2^31 or more read as negative, ends sum without wrapping (small ones: fuzz_engine). */
TEST(Engine, WindowBounds) {
    uint8_t bytes[6] = {0};
    const buf huge{bytes, 0x80000000ull, 0}, wrapped{bytes, 0x100000005ull, 0};
    EXPECT_EQ(myers_binary_diff_check_bounds(&huge, 0, 1), 0);
    EXPECT_EQ(myers_binary_diff_check_bounds(&wrapped, 0, 5), 1);
    EXPECT_EQ(myers_binary_diff_check_bounds(nullptr, 0, 0), 0);
    EXPECT_EQ(execution_trim_prefix_and_suffix(nullptr, 0, 0, 0, 0), 0);
}

TEST(Engine, QualityTable) {
    const int32_t table[][5] = {
        /* quality, limit, old length, new length, bail-out limit */
        {0, 10000, 5, 5, 10000},  {0, -7, 5, 5, -7},        {1, 10000, 259, 900, 64},
        {1, 10000, 900, 260, 65}, {1, -1, 5000, 5000, 64},  {1, 400, 5000, 5000, 100},
        {2, 10000, 260, 260, 16}, {2, 10000, 272, 900, 17}, {2, -5, 5000, 5000, 16},
        {3, 10000, 9, 9, 1},      {4, 10000, 9, 9, -1},     {1000, 10000, 9, 9, -1}};
    for (const auto &r : table) {
        const quality_word word = quality_unpack(quality_pack((uint32_t)r[0], r[1]));
        EXPECT_EQ(word.quality, (uint32_t)r[0]);
        EXPECT_EQ(quality_bail_limit(word, r[2], r[3]), r[4]) << r[0] << " " << r[1];
    }
    /* The scaled limit for callers: 2^(bits / 3) times the factor, over 100, never below 256. */
    const int64_t roots[][2] = {
        {0, 0}, {3, 1}, {4, 2}, {31, 2}, {32, 4}, {INT64_MAX, 2097152}, {-1, 2097152}};
    for (const auto &r : roots) EXPECT_EQ(approx_cube_root(r[0]), (uint64_t)r[1]) << r[0];
    const int32_t scaled[][4] = {{100, 1 << 23, 1 << 23, 256},
                                 {101, 1 << 23, 1 << 23, 258},
                                 {25700, 1, 0, 257},
                                 {100, INT32_MAX, 1, 2097152},
                                 {1024, INT32_MAX, 1, 256}};
    for (const auto &c : scaled)
        EXPECT_EQ(myers_binary_diff_bailout_limit(c[0], c[1], c[2]), c[3]) << c[0];
}

/* No byte in common: a search that bails after iteration d ends with an insert of the last d
 * new bytes. Iteration 64 makes poor progress: the limit falls by 48, with no test there. */
TEST(Engine, IterationOfTheFirstBailOut) {
    const int32_t cases[][5] = {
        /* old length, new length, quality, limit, iteration of the bail-out */
        {500, 500, 0, 10, 11}, {500, 400, 0, 0, 1},         {500, 500, 0, 62, 63},
        {500, 500, 0, 63, 65}, {1000, 1000, 1, 10000, 155}, {2000, 2000, 0, 200, 129}};
    for (const auto &c : cases) {
        const std::string calls =
            run_diff(std::string(c[0], 'a'), std::string(c[1], 'b'), 0, (uint32_t)c[2], c[3]);
        const std::string last = "I" + std::to_string(c[1] - c[4]) + "," + std::to_string(c[4]) +
                                 " C" + std::to_string(c[0]) + "," + std::to_string(c[1]);
        EXPECT_EQ(calls.substr(0, 2) + "... " + calls.substr(calls.rfind(" I") + 1),
                  "D ... " + last)
            << c[2] << " " << c[3];
    }
}

/* A refused iteration or allocation stops the run, its calls a prefix of the full run's. */
TEST(Engine, StoppedRunsAskForAReplacement) {
    const std::string a(300, 'a'), b(300, 'b');
    /* Limit 10 needs iteration 11: a maximum iteration of 10 stops the run, 11 does not. */
    EXPECT_EQ(run_diff(a, b, SCRIPT_RESULT_REPLACE, 0, 10, 4 * 10 + 3), "");
    run_diff(a, b, 0, 0, 10, 4 * 11 + 3);
    /* large enough for the storage to grow and the work stack to leave its inline room */
    std::mt19937_64 rng(5);
    const std::string x = random_bytes(rng, 20000), y = random_bytes(rng, 20000);
    core_alloc_fail_after(-1);
    const std::string full = run_diff(x, y, 0, 0, 300);
    const long attempts = core_alloc_attempts();
    ASSERT_GT(attempts, 3);
    for (long n = 0; n < attempts; ++n) {
        SCOPED_TRACE(n);
        core_alloc_fail_after(n);
        const std::string calls = run_diff(x, y, SCRIPT_RESULT_REPLACE, 0, 300);
        core_alloc_fail_after(-1);
        /* without the close */
        EXPECT_EQ(full.rfind(calls.empty() ? "" : calls + " ", 0), 0u) << calls;
    }
}

/* Without a bail-out the calls match as many bytes as a longest common subsequence. */
TEST(Engine, MinimalAgainstBruteForceLcs) {
    std::mt19937_64 rng(20240601);
    for (int round = 0; round < 3000; ++round) {
        const int alphabet = round % 3 == 0 ? 2 : round % 3 == 1 ? 4 : 256;
        const size_t size = round < 1500 ? 8 : round < 2900 ? 60 : 1500;
        const std::string a = random_bytes(rng, rng() % size, alphabet);
        const std::string b = round % 2 ? mutate(rng, a, 1 + (int)(rng() % 12), alphabet)
                                        : random_bytes(rng, rng() % size, alphabet);
        std::vector<int64_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
        for (size_t i = 1; i <= a.size(); ++i, std::swap(row, next))
            for (size_t j = 1; j <= b.size(); ++j)
                next[j] = a[i - 1] == b[j - 1] ? row[j - 1] + 1 : std::max(row[j], next[j - 1]);
        ASSERT_EQ(matched_bytes(run_diff(a, b)), row[b.size()]) << round;
    }
}

/* M(old position, length) I(new position, length) D(), and S, P, N, B with all six numbers. */
std::string describe(const bailout_plan &plan) {
    std::string out;
    for (const bailout_call &c : std::vector<bailout_call>(plan.calls, plan.calls + plan.count)) {
        const int32_t all[] = {c.old_position, c.old_length, c.new_position,
                               c.new_length,   c.extra,      c.limit};
        const int from = c.kind == BAILOUT_INSERT ? 2 : 0, to = c.kind == BAILOUT_DELETE  ? 0
                                                                : c.kind < BAILOUT_DELETE ? from + 2
                                                                                          : 6;
        out += std::string(1, "MIDSPNB"[c.kind]) + "(";
        for (int k = from; k < to; ++k) out += (k > from ? "," : "") + std::to_string(all[k]);
        out += ")";
    }
    return out;
}

/* Which windows a bailed search is split into, and with which limits (record limit 500). */
TEST(Engine, BailOutPlans) {
    const struct {
        int32_t op, on, np, nn;
        bailout_points points;
        int32_t limit;
        const char *plan;
    } splits[] = {
        {10,
         40,
         20,
         40,
         {5, 4, 30, 29},
         7,
         "S(10,5,20,4,0,500)B(15,25,24,25,40,7)P(40,10,49,11,0,500)"},
        /* equal progress: the forward point wins */
        {0, 40, 0, 40, {20, 21, 19, 20}, 7, "S(0,20,0,21,0,500)P(20,20,21,19,0,500)"},
        {0, 40, 0, 40, {19, 20, 20, 20}, 7, "S(0,20,0,20,0,500)P(20,20,20,20,0,500)"},
        /* a split near an end of the longer value, the other left whole: halve it and the limit */
        {0, 8, 0, 4, {0, 0, 1, 0}, 9, "S(0,4,0,0,0,4)P(4,4,0,4,0,4)"},
        {0, 9, 0, 4, {0, 0, 2, 0}, 9, "S(0,2,0,0,0,500)P(2,7,0,4,0,500)"},
        {0, 4, 0, 16, {4, 0, 4, 16}, 11, "S(0,4,0,8,0,5)P(4,0,8,8,0,5)"},
        {0, 16, 0, 16, {0, 1, 0, 2}, 11, "S(0,0,0,8,0,5)P(0,16,8,8,0,5)"},
        {0, 4, 0, 16, {4, 8, 4, 16}, 11, "S(0,4,0,8,0,500)P(4,0,8,8,0,500)"},
    };
    for (const auto &s : splits)
        EXPECT_EQ(describe(bailout_split(s.op, s.on, s.np, s.nn, s.points, s.limit, 500)), s.plan)
            << s.plan;
    /* old "QQabcdeZZZ" at 3, new "XabcYY" at 2: "abc" is the common prefix of the middle halves */
    const std::string old_value = "...QQabcdeZZZ..", new_value = "..XabcYY..";
    const buf o = view(old_value), n = view(new_value);
    const struct {
        int32_t op, on, np, nn, scale, limit;
        const char *plan;
    } bounded[] = {
        {5, 100, 7, 100, 0, 3, "N(5,100,7,100,0,8)"},
        {5, 100, 7, 100, 0, 30, "N(5,100,7,100,0,30)"},
        {0, 7, 0, 30, 1000, 1, "S(0,3,0,15,0,0)P(3,4,15,15,0,0)"},
        {0, 8, 0, 30, 0, 1, "N(0,8,0,30,0,8)"},
        {0, 4096, 0, 4096, 0, 6, "S(0,2048,0,2048,0,3)P(2048,2048,2048,2048,0,3)"},
        {0, 4095, 0, 4096, 0, 6, "N(0,4095,0,4096,0,8)"},
        {0, 4096, 0, 4096, 2, 6, "N(0,4096,0,4096,0,8)"},
        /* half the bailed window's square is added */
        {0, 5000, 0, 5000, 5000, 6, "N(0,5000,0,5000,0,8)"},
        {3, 10, 2, 6, 100000, 0, "I(2,1)D()M(5,3)S(5,5,3,3,3,500)I(6,2)D()"},
    };
    for (const auto &b : bounded)
        EXPECT_EQ(describe(bailout_bounded(&o, &n, b.op, b.on, b.np, b.nn, b.scale, b.limit, 500)),
                  b.plan)
            << b.plan;
}

/* The storage's keys, its bounds and the neighbour rule, from its documented examples. */
TEST(Storage, KeysBoundsAndNeighbours) {
    for (const auto &k : {std::pair<int32_t, uint32_t>{0, 0},
                          {-1, 3},
                          {1, 4},
                          {-2, 7},
                          {5, 20}}) { /* diagonal, forward key */
        EXPECT_EQ(storage_key_forward(k.first), k.second);
        EXPECT_EQ(storage_key_reverse(k.first), k.second + 2);
    }
    storage *s = storage_create(10);
    EXPECT_EQ(s->max_iteration, 1u);
    EXPECT_EQ(storage_extend(s, 2), 0);
    EXPECT_EQ(storage_key_reverse_set(s, 5, 7), 0); /* key 22: at the capacity */
    EXPECT_EQ(storage_key_forward_get(s, 6), INT32_MIN);
    ASSERT_EQ(storage_initialise(s, 1), 1);
    ASSERT_EQ(storage_key_forward_set(s, 0, 0) + storage_key_reverse_set(s, 0, 9), 2);
    EXPECT_EQ(storage_key_forward_get_next(s, 1), 0);
    EXPECT_EQ(storage_key_forward_get_next(s, -1), 1);
    EXPECT_EQ(storage_key_reverse_get_next(s, -1), 9);
    EXPECT_EQ(storage_key_reverse_get_next(s, 1), 8);
    ASSERT_EQ(storage_key_reverse_set(s, 2, 9), 1); /* equal neighbours: the lower one, minus one */
    EXPECT_EQ(storage_key_reverse_get_next(s, 1), 8);
    storage_free(s);
    s = storage_create(2147483647);
    ASSERT_EQ(storage_extend(s, 5), 1);
    EXPECT_EQ(s->extent, 27u);
    EXPECT_EQ(s->capacity, 54u);
    ASSERT_EQ(storage_key_forward_set(s, -7, 5), 1); /* key 27 */
    ASSERT_EQ(storage_extend(s, 4), 1);              /* a smaller extent refills no key, */
    storage_fill(s, 3);                              /* nor does a fill, past diagonal d + 2 */
    EXPECT_EQ(storage_key_forward_get(s, -7), 5);
    ASSERT_EQ(storage_extend(s, 0), 1); /* back to iteration 0's extent, 4 * 0 + 7 */
    EXPECT_EQ(s->extent, 7u);
    storage_free(s);
}

} // namespace
