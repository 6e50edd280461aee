#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "alloc.h"
#include "engine_recording.h"
#include "engine_reference.h"
#include "execution.h"

namespace {

using calls_t = std::vector<engine_call>;

/* ---- Exact call sequences ------------------------------------------------ */

struct sequence_case {
    const char *name;
    std::string old_value;
    std::string new_value;
    uint32_t quality;
    calls_t expected; /* without the final close */
};

class ExecutionSequence : public ::testing::TestWithParam<sequence_case> {};

TEST_P(ExecutionSequence, CallsOnTheScript) {
    const sequence_case &c = GetParam();
    recorder().reset();
    recorder().close_result = 0;
    EXPECT_EQ(run_diff(c.old_value, c.new_value, c.quality), 0);
    calls_t expected = c.expected;
    expected.push_back(C((int32_t)c.old_value.size(), (int32_t)c.new_value.size()));
    EXPECT_EQ(recorder().effective(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ExecutionSequence,
    ::testing::Values(
        /* The one-byte cores meet on diagonal -1 in the reverse pass of
         * iteration 1, so the delete precedes the insert. */
        sequence_case{"replace_one", "abcdef", "abXdef", 0, {M(0, 2), D(), I(2, 1), M(3, 3)}},
        sequence_case{"replace_one_trim_only", "abcdef", "abXdef", 4, {M(0, 2), I(2, 1), D(), M(3, 3)}},
        sequence_case{"myers_paper",
                      "abcabba",
                      "cbabac",
                      0,
                      {D(), M(2, 1), D(), M(4, 1), I(2, 1), M(5, 1), M(6, 1), I(5, 1)}},
        /* The suffix slide stops at the floor 1, leaving an old core of 1. */
        sequence_case{"drop_first", "ab", "b", 0, {D(), M(1, 1)}},
        sequence_case{"trim_only_middle", "abcXYZdef", "abcQdef", 4, {M(0, 3), I(3, 1), D(), M(6, 3)}},
        sequence_case{"equal", "same bytes", "same bytes", 0, {M(0, 10)}},
        sequence_case{"both_empty", "", "", 0, {}},
        sequence_case{"old_empty", "", "new", 0, {I(0, 3)}},
        sequence_case{"new_empty", "old", "", 0, {D()}},
        sequence_case{"append", "abc", "abcd", 0, {M(0, 3), I(3, 1)}},
        sequence_case{"prepend_trim_only", "abc", "xxabc", 4, {I(0, 2), M(0, 3)}},
        sequence_case{"drop_two", "xxabc", "abc", 0, {D(), M(2, 3)}}),
    [](const ::testing::TestParamInfo<sequence_case> &info) { return std::string(info.param.name); });

TEST(Execution, ResultOfTheCloseIsPassedOn) {
    for (int result : {0, 1, 2}) {
        recorder().reset();
        recorder().close_result = result;
        EXPECT_EQ(run_diff("abcdef", "abXdef"), result);
    }
}

TEST(Execution, WindowsInsideLargerBuffersUseAbsolutePositions) {
    const std::string old_value = "0123abcdef89";
    const std::string new_value = "zzabXdefyy";
    buf o = buf_over(old_value), n = buf_over(new_value);
    recorder().reset();
    EXPECT_EQ(myers_binary_diff(&o, 4, 6, &n, 2, 6, nullptr, 2147483647, limit_word(0, 10000)), 0);
    EXPECT_EQ(recorder().effective(), (calls_t{M(4, 2), D(), I(4, 1), M(7, 3), C(6, 6)}));
}

/* ---- Ranges -------------------------------------------------------------- */

struct bounds_case {
    int32_t start;
    int32_t length;
    uint64_t buffer_length;
    int expected;
};

class ExecutionBounds : public ::testing::TestWithParam<bounds_case> {};

TEST_P(ExecutionBounds, CheckBounds) {
    const bounds_case &c = GetParam();
    static uint8_t bytes[16];
    buf b{bytes, c.buffer_length, 0};
    EXPECT_EQ(myers_binary_diff_check_bounds(&b, c.start, c.length), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ExecutionBounds,
                         ::testing::Values(bounds_case{0, 0, 0, 1}, bounds_case{0, 16, 16, 1},
                                           bounds_case{4, 12, 16, 1}, bounds_case{16, 0, 16, 1},
                                           bounds_case{4, 13, 16, 0}, bounds_case{17, 0, 16, 0},
                                           bounds_case{-1, 1, 16, 0}, bounds_case{1, -1, 16, 0},
                                           bounds_case{INT32_MIN, 0, 16, 0},
                                           /* A wrapping 32-bit end must not pass as a small one. */
                                           bounds_case{INT32_MAX, 1, 16, 0}, bounds_case{2147483600, 100, 16, 0},
                                           bounds_case{1, INT32_MAX, 16, 0},
                                           /* Lengths are read as signed 32-bit values. */
                                           bounds_case{0, 1, 0x80000000ull, 0},
                                           bounds_case{0, 5, 0x100000005ull, 1}));

TEST(Execution, CheckBoundsRefusesANullBuffer) { EXPECT_EQ(myers_binary_diff_check_bounds(nullptr, 0, 0), 0); }

TEST(Execution, InvalidRangesReturnMinusOneWithoutCalls) {
    const std::string v = "abcdef";
    buf o = buf_over(v), n = buf_over(v);
    const int32_t ranges[][4] = {{-1, 2, 0, 2}, {0, -2, 0, 2}, {0, 2, -1, 2}, {0, 2, 0, -3},
                                 {5, 2, 0, 2}, {0, 2, 0, 7}, {INT32_MAX, 1, 0, 1}, {0, 1, INT32_MAX, 1}};
    for (const auto &r : ranges) {
        recorder().reset();
        EXPECT_EQ(myers_binary_diff(&o, r[0], r[1], &n, r[2], r[3], nullptr, 2147483647, 10000), -1);
        EXPECT_TRUE(recorder().calls.empty());
    }
}

TEST(Execution, CornerTable) {
    EXPECT_EQ(myers_binary_diff_corner(3, 5), 3);
    EXPECT_EQ(myers_binary_diff_corner(5, 5), 5);
    EXPECT_EQ(myers_binary_diff_corner(6, 5), 4);
    EXPECT_EQ(myers_binary_diff_corner(10, 5), 0);
    EXPECT_EQ(myers_binary_diff_corner(12, 5), -2);
    EXPECT_EQ(myers_binary_diff_corner(1, 0), -1);
}

/* ---- Effort: qualities, limits and the storage cap ----------------------- */

std::string random_bytes(std::mt19937 &rng, size_t n, int alphabet = 256) {
    std::string s(n, '\0');
    for (char &c : s) c = alphabet >= 256 ? (char)(rng() & 0xFF) : (char)('a' + rng() % (unsigned)alphabet);
    return s;
}

struct bail_case {
    const char *name;
    size_t old_length;
    size_t new_length;
    uint32_t quality;
    int32_t limit;
    int32_t bail_iteration;
};

class ExecutionBailTiming : public ::testing::TestWithParam<bail_case> {};

/* With no byte in common every diagonal makes the same progress, so a search
 * that bails at the end of iteration d has its furthest points at (d, 0) and
 * (N, M - d); the window after the reverse point is d new bytes, and their
 * insert is the last call of the run. */
TEST_P(ExecutionBailTiming, IterationOfTheFirstBailOut) {
    const bail_case &c = GetParam();
    const std::string a(c.old_length, 'a'), b(c.new_length, 'b');
    recorder().reset();
    ASSERT_EQ(run_diff(a, b, c.quality, c.limit), 0);
    const calls_t &calls = recorder().calls;
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], D());
    EXPECT_EQ(calls[calls.size() - 2], I((int32_t)c.new_length - c.bail_iteration, c.bail_iteration));
    std::string error;
    EXPECT_EQ(rebuild(calls, a, 0, (int32_t)a.size(), b, 0, (int32_t)b.size(), &error), b);
    EXPECT_EQ(error, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExecutionBailTiming,
    ::testing::Values(
        /* Limit L completes iterations 1 to L and bails at the end of L + 1. */
        bail_case{"q0_limit10", 500, 500, 0, 10, 11}, bail_case{"q0_limit0", 500, 400, 0, 0, 1},
        bail_case{"q0_limit_minus1", 400, 500, 0, -1, 1},
        /* Quality 3 (limit 1) bails at the end of iteration 2. */
        bail_case{"q3", 500, 500, 3, 10000, 2},
        /* Quality 5 and above bail at the end of iteration 1. */
        bail_case{"q5", 500, 500, 5, 10000, 1}, bail_case{"q1000", 500, 500, 1000, 10000, 1},
        /* Quality 2: m >> 4 above 259, else 16. */
        bail_case{"q2_m272", 272, 272, 2, 10000, 18}, bail_case{"q2_m260", 260, 1000, 2, 10000, 17},
        bail_case{"q2_m259", 1000, 259, 2, 10000, 17}, bail_case{"q2_m_from_limit", 5000, 5000, 2, 320, 21},
        bail_case{"q2_negative_limit", 5000, 5000, 2, -5, 17},
        /* Iteration 64 makes poor progress (2 x 64 < 16 x 64): the limit
         * falls by 48 and that iteration makes no bail-out test. */
        bail_case{"q0_limit63", 500, 500, 0, 63, 65}, bail_case{"q0_limit64", 500, 500, 0, 64, 65},
        bail_case{"q0_limit62", 500, 500, 0, 62, 63},
        /* Quality 1: 1000 >> 2 = 250, less 48 at 64 and at 128: bails at 155. */
        bail_case{"q1_m1000", 1000, 1000, 1, 10000, 155}, bail_case{"q1_negative_limit", 1000, 1000, 1, -1, 65},
        /* Quality 0 with a large limit: 48 lost at every 64th iteration. */
        bail_case{"q0_limit200", 2000, 2000, 0, 200, 129}),
    [](const ::testing::TestParamInfo<bail_case> &info) { return std::string(info.param.name); });

TEST(Execution, StorageThatRefusesAnIterationStopsTheRun) {
    const std::string a(300, 'a'), b(300, 'b');
    /* Limit 10 needs iteration 11, so a maximum iteration of 10 stops the run. */
    recorder().reset();
    EXPECT_EQ(run_diff(a, b, 0, 10, 4 * 10 + 3), 1);
    EXPECT_TRUE(recorder().calls.empty());
    recorder().reset();
    EXPECT_EQ(run_diff(a, b, 0, 10, 4 * 11 + 3), 0);
    EXPECT_EQ(recorder().calls.back(), C(300, 300));
    /* Quality 4 never searches, so no iteration is needed at all. */
    recorder().reset();
    EXPECT_EQ(run_diff(a, b, 4, 10, 3), 0);
    EXPECT_EQ(recorder().effective(), (calls_t{I(0, 300), D(), C(300, 300)}));
}

/* ---- Stopping ------------------------------------------------------------ */

TEST(Execution, AZeroFromTheScriptStopsAtOnce) {
    std::mt19937 rng(3);
    const std::string a = random_bytes(rng, 2000, 4);
    std::string b = a;
    for (int i = 0; i < 40; ++i) b[rng() % b.size()] = 'z';
    recorder().reset();
    run_diff(a, b);
    const calls_t full = recorder().calls;
    ASSERT_GT(full.size(), 10u);
    for (long n : {0L, 1L, 5L, (long)full.size() / 2, (long)full.size() - 2}) {
        recorder().reset();
        recorder().stop_after = n;
        EXPECT_EQ(run_diff(a, b), 1);
        /* Exactly the accepted calls plus the refused one, then nothing. */
        ASSERT_EQ(recorder().calls.size(), (size_t)n + 1);
        EXPECT_TRUE(std::equal(recorder().calls.begin(), recorder().calls.end(), full.begin()));
    }
}

TEST(Execution, FailedAllocationsStopCleanly) {
    std::mt19937 rng(5);
    /* Large enough for the storage to grow and the work stack to leave its
     * inline room. */
    const std::string a = random_bytes(rng, 20000), b = random_bytes(rng, 20000);
    recorder().reset();
    ASSERT_EQ(run_diff(a, b, 0, 300), 0);
    const calls_t full = recorder().calls;
    core_alloc_fail_after(-1);
    run_diff(a, b, 0, 300);
    const long attempts = core_alloc_attempts();
    ASSERT_GT(attempts, 3);
    for (long n = 0; n <= attempts; ++n) {
        recorder().reset();
        core_alloc_fail_after(n);
        const int32_t result = run_diff(a, b, 0, 300);
        core_alloc_fail_after(-1);
        if (n < attempts) {
            EXPECT_EQ(result, 1) << n;
            EXPECT_TRUE(recorder().calls.empty() || recorder().calls.back().kind != 'C') << n;
            /* What was said before running out is what a full run says. */
            EXPECT_TRUE(std::equal(recorder().calls.begin(), recorder().calls.end(), full.begin())) << n;
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(recorder().calls, full);
        }
    }
}

/* ---- Properties ---------------------------------------------------------- */

std::string mutate(std::mt19937 &rng, const std::string &base, int edits, int alphabet) {
    std::string s = base;
    for (int i = 0; i < edits; ++i) {
        const int kind = (int)(rng() % 3);
        const size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        const size_t len = 1 + rng() % 8;
        if (kind == 0) {
            s.insert(at, random_bytes(rng, len, alphabet));
        } else if (kind == 1 && at < s.size()) {
            s.erase(at, len);
        } else if (at < s.size()) {
            s.replace(at, std::min(len, s.size() - at), random_bytes(rng, len, alphabet));
        }
    }
    return s;
}

std::string text(std::mt19937 &rng, size_t n) {
    static const char *words[] = {"the ", "engine ", "diff ", "snake ", "of ", "value ", "\n", "def ", "return ",
                                  "self", "(", ")", ": ", "    ", "import ", "x", "0", "1"};
    std::string s;
    while (s.size() < n) s += words[rng() % (sizeof words / sizeof *words)];
    s.resize(n);
    return s;
}

void expect_valid(const std::string &a, const std::string &b, bool minimal, uint32_t quality = 0,
                  int32_t limit = 10000) {
    recorder().reset();
    const int32_t result = run_diff(a, b, quality, limit);
    ASSERT_EQ(result, 0);
    const calls_t calls = recorder().calls;
    ASSERT_FALSE(calls.empty());
    ASSERT_EQ(calls.back(), C((int32_t)a.size(), (int32_t)b.size()));
    std::string error;
    const std::string rebuilt =
        rebuild(calls, a, 0, (int32_t)a.size(), b, 0, (int32_t)b.size(), &error);
    ASSERT_EQ(error, "") << a.size() << " " << b.size();
    ASSERT_EQ(rebuilt, b);
    /* Two matches in a row continue each other in both values. */
    for (size_t i = 1; i < calls.size(); ++i)
        if (calls[i].kind == 'M' && calls[i - 1].kind == 'M' && calls[i].b > 0 && calls[i - 1].b > 0) {
            ASSERT_EQ(calls[i - 1].a + calls[i - 1].b, calls[i].a);
        }
    if (minimal) {
        ASSERT_EQ(matched_length(calls), lcs_length(a, b));
    }
}

TEST(ExecutionProperty, SmallPairsAreMinimal) {
    std::mt19937 rng(20240601);
    for (int round = 0; round < 3000; ++round) {
        const int alphabet = round % 3 == 0 ? 2 : (round % 3 == 1 ? 4 : 256);
        const std::string a = random_bytes(rng, rng() % 60, alphabet);
        const std::string b = round % 2 ? mutate(rng, a, 1 + (int)(rng() % 6), alphabet)
                                        : random_bytes(rng, rng() % 60, alphabet);
        expect_valid(a, b, true);
        if (HasFatalFailure()) return;
    }
}

TEST(ExecutionProperty, ExhaustiveBinaryPairsAreMinimal) {
    /* Every pair of binary strings up to 6 bytes long. */
    std::vector<std::string> all;
    for (int len = 0; len <= 6; ++len)
        for (int bits = 0; bits < (1 << len); ++bits) {
            std::string s;
            for (int i = 0; i < len; ++i) s += (bits >> i) & 1 ? 'b' : 'a';
            all.push_back(s);
        }
    for (const std::string &a : all)
        for (const std::string &b : all) {
            expect_valid(a, b, true);
            if (HasFatalFailure()) return;
        }
}

TEST(ExecutionProperty, TextEditsAreMinimal) {
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        const std::string a = text(rng, 50 + rng() % 1500);
        const std::string b = mutate(rng, a, 1 + (int)(rng() % 12), 26);
        expect_valid(a, b, true);
        if (HasFatalFailure()) return;
    }
}

TEST(ExecutionProperty, LargeAndBailingPairsRebuild) {
    std::mt19937 rng(4242);
    const size_t sizes[] = {0, 1, 7, 100, 1000, 5000, 20000, 100000};
    for (size_t size : sizes)
        for (int variant = 0; variant < 4; ++variant) {
            std::string a, b;
            if (variant == 0) {
                a = random_bytes(rng, size), b = mutate(rng, a, 1 + (int)(size / 500), 256);
            } else if (variant == 1) {
                a = text(rng, size), b = mutate(rng, a, 1 + (int)(size / 200), 26);
            } else if (variant == 2) {
                a = random_bytes(rng, size), b = random_bytes(rng, size / 2 + rng() % (size + 1));
            } else {
                a = text(rng, size), b = text(rng, size);
            }
            for (uint32_t quality : {0u, 1u, 2u, 3u, 4u, 5u}) {
                expect_valid(a, b, false, quality, 500);
                if (HasFatalFailure()) return;
            }
        }
}

/* ---- Against the plain recursive model ----------------------------------- */

calls_t reference_calls(const std::string &a, const std::string &b, int32_t limit) {
    storage *st = storage_create(2147483647);
    reference_engine ref{(const uint8_t *)a.data(), (const uint8_t *)b.data(), limit, st};
    recorder().reset();
    const int ok = ref.diff(0, (int32_t)a.size(), 0, (int32_t)b.size());
    storage_free(st);
    EXPECT_EQ(ok, 1);
    recorder().calls.push_back(C((int32_t)a.size(), (int32_t)b.size()));
    return recorder().effective();
}

TEST(ExecutionProperty, SameCallsAsTheRecursiveModel) {
    std::mt19937 rng(77);
    for (int round = 0; round < 400; ++round) {
        const int alphabet = round % 2 ? 4 : 256;
        const size_t n = rng() % 3000;
        const std::string a = random_bytes(rng, n, alphabet);
        const std::string b = round % 3 ? mutate(rng, a, 1 + (int)(rng() % 40), alphabet)
                                        : random_bytes(rng, rng() % 3000, alphabet);
        /* Small limits make every kind of bail-out and split happen. */
        const int32_t limit = (int32_t)(rng() % 4 == 0 ? 10000 : (int32_t)(rng() % 80) - 2);
        const calls_t expected = reference_calls(a, b, limit);
        recorder().reset();
        ASSERT_EQ(run_diff(a, b, 0, limit), 0);
        ASSERT_EQ(recorder().effective(), expected) << "round " << round << " limit " << limit;
    }
}

TEST(ExecutionProperty, LongBailoutsMatchTheRecursiveModel) {
    /* Past iteration 64 the progress check and the bounded diffs take part. */
    std::mt19937 rng(1234);
    for (int round = 0; round < 6; ++round) {
        const std::string a = random_bytes(rng, 6000 + rng() % 4000, round % 2 ? 256 : 3);
        const std::string b = round < 3 ? random_bytes(rng, 5000 + rng() % 4000, round % 2 ? 256 : 3)
                                        : mutate(rng, a, 400, 256);
        const int32_t limit = 70 + (int32_t)(rng() % 300);
        const calls_t expected = reference_calls(a, b, limit);
        recorder().reset();
        ASSERT_EQ(run_diff(a, b, 0, limit), 0);
        ASSERT_EQ(recorder().effective(), expected) << "round " << round;
    }
}

/* ---- Building blocks ----------------------------------------------------- */

TEST(Execution, CommonPrefixAndSuffixAgreeWithBytewiseCounts) {
    std::mt19937 rng(8);
    for (int round = 0; round < 2000; ++round) {
        const size_t n = rng() % 70000 < 60000 ? rng() % 300 : rng() % 70000;
        std::string a = random_bytes(rng, n), b = a;
        const size_t cut = n ? rng() % n : 0;
        if (n && round % 5) b[cut] = (char)(b[cut] ^ (1 << (rng() % 8)));
        const uint8_t *pa = (const uint8_t *)a.data(), *pb = (const uint8_t *)b.data();
        int32_t expected = 0;
        while ((size_t)expected < n && a[expected] == b[expected]) ++expected;
        EXPECT_EQ(_execution_common_prefix(pa, pb, (int32_t)n), expected);
        int32_t back = 0;
        while ((size_t)back < n && a[n - 1 - back] == b[n - 1 - back]) ++back;
        EXPECT_EQ(_execution_common_suffix(pa + n, pb + n, (int32_t)n), back);
    }
    EXPECT_EQ(_execution_common_prefix(nullptr, nullptr, 0), 0);
    EXPECT_EQ(_execution_common_suffix(nullptr, nullptr, -3), 0);
}

TEST(Execution, CreateAndFree) {
    execution_free(nullptr);
    core_alloc_fail_after(0);
    EXPECT_EQ(execution_create(nullptr, nullptr, nullptr, 100, 5), nullptr);
    core_alloc_fail_after(1);
    EXPECT_EQ(execution_create(nullptr, nullptr, nullptr, 100, 5), nullptr);
    core_alloc_fail_after(2);
    EXPECT_EQ(execution_create(nullptr, nullptr, nullptr, 100, 5), nullptr);
    core_alloc_fail_after(-1);
    execution *e = execution_create(nullptr, nullptr, nullptr, 100, 5);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->limit, 5);
    ASSERT_NE(e->storage, nullptr);
    EXPECT_EQ(e->storage->storage_limit, 100u);
    execution_free(e);
}

TEST(Execution, RoutinesCalledDirectlyMatchTheModel) {
    std::mt19937 rng(31);
    const std::string a = random_bytes(rng, 400, 4), b = mutate(rng, a, 20, 4);
    buf o = buf_over(a), n = buf_over(b);
    coallescing_script cs{};
    execution *e = execution_create(&o, &n, &cs, 2147483647, 30);
    ASSERT_NE(e, nullptr);
    storage *st = storage_create(2147483647);
    reference_engine ref{(const uint8_t *)a.data(), (const uint8_t *)b.data(), 30, st};
    const int32_t on = (int32_t)a.size(), nn = (int32_t)b.size();

    recorder().reset();
    ASSERT_EQ(ref.trim_prefix(10, on - 20, 5, nn - 30, 12), 1);
    calls_t expected = recorder().effective();
    recorder().reset();
    ASSERT_EQ(execution_trim_prefix(e, 10, on - 20, 5, nn - 30, 12), 1);
    EXPECT_EQ(recorder().effective(), expected);

    recorder().reset();
    ASSERT_EQ(ref.trim_suffix(3, on - 3, 3, nn - 3, 0, 7), 1);
    expected = recorder().effective();
    recorder().reset();
    ASSERT_EQ(execution_trim_suffix(e, 3, on - 3, 3, nn - 3, 0, 7), 1);
    EXPECT_EQ(recorder().effective(), expected);

    recorder().reset();
    ASSERT_EQ(ref.middlesnake(1, on - 2, 2, nn - 2, 9), 1);
    expected = recorder().effective();
    recorder().reset();
    ASSERT_EQ(execution_middlesnake(e, 1, on - 2, 2, nn - 2, 9), 1);
    EXPECT_EQ(recorder().effective(), expected);

    recorder().reset();
    ASSERT_EQ(ref.recurse(0, on, 0, nn, 100, 104, 0), 1);
    expected = recorder().effective();
    recorder().reset();
    ASSERT_EQ(execution_recurse(e, 0, on, 0, nn, 100, 104, 0), 1);
    EXPECT_EQ(recorder().effective(), expected);

    storage_free(st);
    execution_free(e);
}

}  // namespace
