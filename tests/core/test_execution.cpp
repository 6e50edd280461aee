#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "alloc.h"
#include "engine_recording.h"
#include "engine_reference.h"
#include "execution.h"

namespace {

std::string random_bytes(std::mt19937 &rng, size_t n, int alphabet = 256) {
    std::string s(n, '\0');
    for (char &c : s) c = alphabet >= 256 ? (char)(rng() & 0xFF) : (char)('a' + rng() % (unsigned)alphabet);
    return s;
}

std::string mutate(std::mt19937 &rng, std::string s, int edits, int alphabet) {
    for (int i = 0; i < edits; ++i) {
        const size_t at = s.empty() ? 0 : rng() % (s.size() + 1), len = 1 + rng() % 8;
        const int kind = (int)(rng() % 3);
        if (kind == 0) s.insert(at, random_bytes(rng, len, alphabet));
        else if (at < s.size()) s.replace(at, kind == 1 ? len : std::min(len, s.size() - at),
                                          kind == 1 ? "" : random_bytes(rng, len, alphabet));
    }
    return s;
}

std::string text(std::mt19937 &rng, size_t n) {
    static const char *words[] = {"the ", "engine ", "diff ", "snake ", "of ", "\n", "def ", "return ",
                                  "self", "(", ")", ": ", "    ", "x", "0", "1"};
    std::string s;
    while (s.size() < n) s += words[rng() % (sizeof words / sizeof *words)];
    s.resize(n);
    return s;
}

/* Length of a longest common subsequence, by dynamic programming. */
int32_t lcs_length(const std::string &a, const std::string &b) {
    std::vector<int32_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j)
            next[j] = a[i - 1] == b[j - 1] ? row[j - 1] + 1 : std::max(row[j], next[j - 1]);
        std::swap(row, next);
    }
    return row[b.size()];
}

/* The calls must rebuild the new value and match as many bytes as an LCS. */
void expect_minimal(const std::string &a, const std::string &b) {
    recorder().reset();
    ASSERT_EQ(run_diff(a, b), 0);
    const calls_t &calls = recorder().calls;
    ASSERT_EQ(calls.back(), C((int32_t)a.size(), (int32_t)b.size()));
    ASSERT_EQ(rebuild_error(calls, a, b), "");
    int32_t matched = 0;
    for (const engine_call &c : calls) matched += c.kind == 'M' ? c.b : 0;
    ASSERT_EQ(matched, lcs_length(a, b)) << a.size() << " " << b.size();
}

struct sequence_case {
    std::string old_value, new_value;
    uint32_t quality;
    calls_t expected; /* without the close */
};

TEST(Execution, ExactCallSequences) {
    const sequence_case cases[] = {
        {"abcdef", "abXdef", 0, {M(0, 2), D(), I(2, 1), M(3, 3)}},
        {"abcdef", "abXdef", 4, {M(0, 2), I(2, 1), D(), M(3, 3)}},
        {"abcabba", "cbabac", 0, {D(), M(2, 1), D(), M(4, 1), I(2, 1), M(5, 1), M(6, 1), I(5, 1)}},
        {"ab", "b", 0, {D(), M(1, 1)}},
        {"abcXYZdef", "abcQdef", 4, {M(0, 3), I(3, 1), D(), M(6, 3)}},
        {"same bytes", "same bytes", 0, {M(0, 10)}},
        {"", "", 0, {}},
        {"", "new", 0, {I(0, 3)}},
        {"old", "", 0, {D()}},
        {"abc", "abcd", 0, {M(0, 3), I(3, 1)}},
        {"abc", "xxabc", 4, {I(0, 2), M(0, 3)}},
        {"xxabc", "abc", 0, {D(), M(2, 3)}},
    };
    for (const sequence_case &c : cases) {
        SCOPED_TRACE(c.old_value + " -> " + c.new_value + " q" + std::to_string(c.quality));
        recorder().reset();
        EXPECT_EQ(run_diff(c.old_value, c.new_value, c.quality), 0);
        calls_t expected = c.expected;
        expected.push_back(C((int32_t)c.old_value.size(), (int32_t)c.new_value.size()));
        EXPECT_EQ(recorder().calls, expected);
    }
}

TEST(Execution, WindowsUseAbsolutePositionsAndTheCloseResultIsPassedOn) {
    const std::string old_value = "0123abcdef89", new_value = "zzabXdefyy";
    buf o = buf_over(old_value), n = buf_over(new_value);
    for (int result : {0, 1, 2}) {
        recorder().reset();
        recorder().close_result = result;
        EXPECT_EQ(myers_binary_diff(&o, 4, 6, &n, 2, 6, nullptr, 2147483647, limit_word(0, 10000)), result);
        EXPECT_EQ(recorder().calls, (calls_t{M(4, 2), D(), I(4, 1), M(7, 3), C(6, 6)}));
    }
}

TEST(Execution, CheckBoundsAndInvalidRanges) {
    struct { int32_t start, length; uint64_t buffer_length; int expected; } cases[] = {
        {0, 0, 0, 1}, {0, 16, 16, 1}, {4, 12, 16, 1}, {16, 0, 16, 1}, {4, 13, 16, 0}, {17, 0, 16, 0},
        {-1, 1, 16, 0}, {1, -1, 16, 0}, {INT32_MIN, 0, 16, 0},
        /* a wrapping 32-bit end must not pass as a small one */
        {INT32_MAX, 1, 16, 0}, {2147483600, 100, 16, 0}, {1, INT32_MAX, 16, 0},
        /* the buffer length is read as a signed 32-bit value */
        {0, 1, 0x80000000ull, 0}, {0, 5, 0x100000005ull, 1}};
    static uint8_t bytes[16];
    for (const auto &c : cases) {
        buf b{bytes, c.buffer_length, 0};
        EXPECT_EQ(myers_binary_diff_check_bounds(&b, c.start, c.length), c.expected) << c.start << " " << c.length;
    }
    EXPECT_EQ(myers_binary_diff_check_bounds(nullptr, 0, 0), 0);

    const std::string v = "abcdef";
    buf o = buf_over(v), n = buf_over(v);
    const int32_t ranges[][4] = {{-1, 2, 0, 2}, {0, -2, 0, 2}, {0, 2, -1, 2}, {0, 2, 0, -3},
                                 {5, 2, 0, 2},  {0, 2, 0, 7},  {INT32_MAX, 1, 0, 1}, {0, 1, INT32_MAX, 1}};
    for (const auto &r : ranges) {
        recorder().reset();
        EXPECT_EQ(myers_binary_diff(&o, r[0], r[1], &n, r[2], r[3], nullptr, 2147483647, 10000), -1);
        EXPECT_TRUE(recorder().calls.empty());
    }
}

/* With no byte in common, a search that bails at the end of iteration d has its
 * furthest points at (d, 0) and (N, M - d): the last insert is the final d new bytes. */
TEST(Execution, IterationOfTheFirstBailOut) {
    struct { int32_t old_length, new_length; uint32_t quality; int32_t limit, bail_iteration; } cases[] = {
        /* limit L completes iterations 1 to L */
        {500, 500, 0, 10, 11}, {500, 400, 0, 0, 1}, {400, 500, 0, -1, 1},
        {500, 500, 3, 10000, 2}, {500, 500, 5, 10000, 1}, {500, 500, 1000, 10000, 1},
        /* quality 2: m >> 4 above 259, else 16 */
        {272, 272, 2, 10000, 18}, {260, 1000, 2, 10000, 17}, {1000, 259, 2, 10000, 17},
        {5000, 5000, 2, 320, 21}, {5000, 5000, 2, -5, 17},
        /* iteration 64 makes poor progress: the limit falls by 48 and that iteration is not tested */
        {500, 500, 0, 63, 65}, {500, 500, 0, 64, 65}, {500, 500, 0, 62, 63},
        /* quality 1: 1000 >> 2 = 250, less 48 at 64 and at 128 */
        {1000, 1000, 1, 10000, 155}, {1000, 1000, 1, -1, 65}, {2000, 2000, 0, 200, 129}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.old_length << "x" << c.new_length << " q" << c.quality << " L"
                                          << c.limit);
        const std::string a(c.old_length, 'a'), b(c.new_length, 'b');
        recorder().reset();
        ASSERT_EQ(run_diff(a, b, c.quality, c.limit), 0);
        const calls_t &calls = recorder().calls;
        ASSERT_GE(calls.size(), 3u);
        EXPECT_EQ(calls[0], D());
        EXPECT_EQ(calls[calls.size() - 2], I(c.new_length - c.bail_iteration, c.bail_iteration));
        EXPECT_EQ(rebuild_error(calls, a, b), "");
    }
}

TEST(Execution, StorageThatRefusesAnIterationStopsTheRun) {
    const std::string a(300, 'a'), b(300, 'b');
    recorder().reset();
    /* Limit 10 needs iteration 11: a maximum iteration of 10 stops the run, 11 does not. */
    EXPECT_EQ(run_diff(a, b, 0, 10, 4 * 10 + 3), 1);
    EXPECT_TRUE(recorder().calls.empty());
    EXPECT_EQ(run_diff(a, b, 0, 10, 4 * 11 + 3), 0);
    EXPECT_EQ(recorder().calls.back(), C(300, 300));
    /* Quality 4 never searches. */
    EXPECT_EQ(run_diff(a, b, 4, 10, 3), 0);
    EXPECT_EQ(recorder().calls, (calls_t{I(0, 300), D(), C(300, 300)}));
}

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
        /* the accepted calls plus the refused one, then nothing */
        ASSERT_EQ(recorder().calls.size(), (size_t)n + 1);
        EXPECT_TRUE(std::equal(recorder().calls.begin(), recorder().calls.end(), full.begin()));
    }
}

TEST(Execution, FailedAllocationsStopCleanly) {
    std::mt19937 rng(5);
    /* large enough for the storage to grow and the work stack to leave its inline room */
    const std::string a = random_bytes(rng, 20000), b = random_bytes(rng, 20000);
    recorder().reset();
    ASSERT_EQ(run_diff(a, b, 0, 300), 0);
    const calls_t full = recorder().calls;
    core_alloc_fail_after(-1);
    run_diff(a, b, 0, 300);
    const long attempts = core_alloc_attempts();
    ASSERT_GT(attempts, 3);
    for (long n = 0; n <= attempts; ++n) {
        core_alloc_fail_after(n);
        const int32_t result = run_diff(a, b, 0, 300);
        core_alloc_fail_after(-1);
        const calls_t &calls = recorder().calls;
        if (n == attempts) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(calls, full);
            break;
        }
        EXPECT_EQ(result, 1) << n;
        EXPECT_TRUE(calls.empty() || calls.back().kind != 'C') << n;
        EXPECT_TRUE(std::equal(calls.begin(), calls.end(), full.begin())) << n;
    }
}

TEST(ExecutionProperty, MinimalAgainstBruteForceLcs) {
    std::vector<std::string> binary; /* every binary string up to 6 bytes, all pairs */
    for (int len = 0; len <= 6; ++len)
        for (int bits = 0; bits < (1 << len); ++bits) {
            std::string s;
            for (int i = 0; i < len; ++i) s += (bits >> i) & 1 ? 'b' : 'a';
            binary.push_back(s);
        }
    for (const std::string &a : binary)
        for (const std::string &b : binary) {
            expect_minimal(a, b);
            if (HasFatalFailure()) return;
        }
    std::mt19937 rng(20240601);
    for (int round = 0; round < 3000; ++round) {
        const int alphabet = round % 3 == 0 ? 2 : (round % 3 == 1 ? 4 : 256);
        const std::string a = random_bytes(rng, rng() % 60, alphabet);
        const std::string b = round % 2 ? mutate(rng, a, 1 + (int)(rng() % 6), alphabet)
                                        : random_bytes(rng, rng() % 60, alphabet);
        expect_minimal(a, b);
        if (HasFatalFailure()) return;
    }
    for (int round = 0; round < 300; ++round) {
        const std::string a = text(rng, 50 + rng() % 1500);
        expect_minimal(a, mutate(rng, a, 1 + (int)(rng() % 12), 26));
        if (HasFatalFailure()) return;
    }
}

calls_t reference_calls(const std::string &a, const std::string &b, int32_t limit) {
    reference_engine ref{(const uint8_t *)a.data(), (const uint8_t *)b.data(), limit};
    recorder().reset();
    EXPECT_EQ(ref.diff(0, (int32_t)a.size(), 0, (int32_t)b.size()), 1);
    recorder().calls.push_back(C((int32_t)a.size(), (int32_t)b.size()));
    return recorder().calls;
}

/* The engine works on an explicit stack; it must make exactly the recursive model's calls,
 * through every kind of bail-out, split and bounded diff. */
TEST(ExecutionProperty, SameCallsAsTheRecursiveModel) {
    std::mt19937 rng(77);
    for (int round = 0; round < 706; ++round) {
        std::string a, b;
        int32_t limit;
        if (round < 400) { /* mixed sizes and limits, some unbounded */
            const int alphabet = round % 2 ? 4 : 256;
            a = random_bytes(rng, rng() % 3000, alphabet);
            b = round % 3 ? mutate(rng, a, 1 + (int)(rng() % 40), alphabet) : random_bytes(rng, rng() % 3000, alphabet);
            limit = rng() % 4 == 0 ? 10000 : (int32_t)(rng() % 80) - 2;
        } else if (round < 700) { /* tiny limits on small alphabets: bail-outs everywhere */
            const int alphabet = 2 + (int)(rng() % 6);
            a = random_bytes(rng, rng() % 1500, alphabet);
            b = random_bytes(rng, rng() % 1500, alphabet);
            limit = (int32_t)(rng() % 12) - 3;
        } else { /* past iteration 64: the progress check and bounded searches */
            const int alphabet = round % 2 ? 256 : 3;
            a = random_bytes(rng, 6000 + rng() % 4000, alphabet);
            b = round < 703 ? random_bytes(rng, 5000 + rng() % 4000, alphabet) : mutate(rng, a, 400, 256);
            limit = 70 + (int32_t)(rng() % 300);
        }
        const calls_t expected = reference_calls(a, b, limit);
        ASSERT_EQ(run_diff(a, b, 0, limit), 0);
        ASSERT_EQ(recorder().calls, expected) << "round " << round << " limit " << limit;
    }
}

/* The exported routines, called on their own, against the model's. */
TEST(ExecutionProperty, RoutinesCalledDirectlyMatchTheModel) {
    std::mt19937 rng(31);
    const std::string a = random_bytes(rng, 400, 4), b = mutate(rng, a, 20, 4);
    buf o = buf_over(a), n = buf_over(b);
    coallescing_script cs{};
    execution *e = execution_create(&o, &n, &cs, 2147483647, 30);
    ASSERT_NE(e, nullptr);
    reference_engine ref{(const uint8_t *)a.data(), (const uint8_t *)b.data(), 30};
    const int32_t on = (int32_t)a.size(), nn = (int32_t)b.size();
    for (int routine = 0; routine < 4; ++routine) {
        calls_t expected;
        for (bool model : {true, false}) {
            recorder().reset();
            switch (routine) {
            case 0: ASSERT_EQ(model ? ref.trim_prefix(10, on - 20, 5, nn - 30, 12)
                                    : execution_trim_prefix(e, 10, on - 20, 5, nn - 30, 12), 1); break;
            case 1: ASSERT_EQ(model ? ref.trim_suffix(3, on - 3, 3, nn - 3, 2, 7)
                                    : execution_trim_suffix(e, 3, on - 3, 3, nn - 3, 2, 7), 1); break;
            case 2: ASSERT_EQ(model ? ref.middlesnake(1, on - 2, 2, nn - 2, 9)
                                    : execution_middlesnake(e, 1, on - 2, 2, nn - 2, 9), 1); break;
            default: ASSERT_EQ(model ? ref.recurse(0, on, 0, nn, 100, 104, 0)
                                     : execution_recurse(e, 0, on, 0, nn, 100, 104, 0), 1); break;
            }
            if (model) expected = recorder().calls;
        }
        EXPECT_EQ(recorder().calls, expected) << routine;
    }
    execution_free(e);
}

/* The word- and block-wise comparisons against a byte loop, across block sizes. */
TEST(Execution, CommonPrefixAndSuffixAgreeWithBytewiseCounts) {
    std::mt19937 rng(8);
    for (int round = 0; round < 2000; ++round) {
        const size_t n = rng() % 70000 < 60000 ? rng() % 300 : rng() % 70000;
        std::string a = random_bytes(rng, n), b = a;
        if (n && round % 5) b[rng() % n] ^= (char)(1 << (rng() % 8));
        const uint8_t *pa = (const uint8_t *)a.data(), *pb = (const uint8_t *)b.data();
        int32_t front = 0, back = 0;
        while ((size_t)front < n && a[front] == b[front]) ++front;
        while ((size_t)back < n && a[n - 1 - back] == b[n - 1 - back]) ++back;
        EXPECT_EQ(_execution_common_prefix(pa, pb, (int32_t)n), front);
        EXPECT_EQ(_execution_common_suffix(pa + n, pb + n, (int32_t)n), back);
    }
    EXPECT_EQ(_execution_common_prefix(nullptr, nullptr, 0), 0);
    EXPECT_EQ(_execution_common_suffix(nullptr, nullptr, -3), 0);
}

}  // namespace
