#include <gtest/gtest.h>

#include <sys/time.h>

#include <cstdio>

#include "base/alloc.h"
#include "delta/diff.h"
#include "delta/diff_compact.h"
#include "delta/fast/diff_fast.h"
#include "delta/policy/activity_history.h"
#include "delta_reference.h"

namespace {

using namespace delta_reference;

TEST(Diff, BothEnginesExactBytes) {
    const struct {
        std::string old_value, new_value, delta_hex;
    } cases[] = {
        {"abcdefghijklmnopqrstuvwxyz0123", "abcdefghijXYklmnopqrstxyz0123",
         "00 0A 42 58 59 0A 0A 17 07"},
        {"xxabc", "abc", "02 03"},
        {"abc", "abcd", "44 61 62 63 64"}, /* the edit delta would need 4 bytes */
    };
    for (const auto &c : cases) {
        const std::string delta = generate(diff_generate_binary, c.old_value, c.new_value);
        EXPECT_EQ(hex(delta), c.delta_hex) << c.new_value;
        EXPECT_EQ(hex(generate(diff_generate_binary_fast, c.old_value, c.new_value)), c.delta_hex)
            << c.new_value;
    }
}

/* Null arguments, and values of 2^31 bytes or more: only the length field is large, the
 * few bytes behind it must never be read. Malformed deltas are fuzz_apply's. */
TEST(Diff, RefusedArguments) {
    const std::string five = "12345";
    const buf small = view(five);
    const char *message = "unset";
    EXPECT_EQ(diff_apply_binary_ex(&small, nullptr, &message), nullptr);
    EXPECT_STREQ(message, DIFF_ERROR_NULL_ARGUMENT);
    EXPECT_EQ(diff_generate_binary(nullptr, &small), nullptr);
    EXPECT_EQ(diff_generate_binary(&small, nullptr), nullptr);
    EXPECT_EQ(_write_replacement_delta(nullptr), nullptr);
    for (uint64_t length : {UINT64_C(0x80000000), UINT64_C(0x100000005), UINT64_MAX}) {
        const buf big = {small.data, length, 0};
        EXPECT_EQ(diff_generate_binary(&big, &small), nullptr) << length;
        EXPECT_EQ(diff_generate_binary(&small, &big), nullptr) << length;
    }
    /* At exactly the limit the engine is tried: its first allocation is asked for. */
    const buf largest = {small.data, DIFF_MAX_VALUE_LENGTH, 0};
    core_alloc_fail_after(0);
    EXPECT_EQ(diff_generate_binary(&small, &largest), nullptr);
    EXPECT_EQ(diff_generate_binary(&largest, &small), nullptr);
    EXPECT_EQ(core_alloc_attempts(), 2);
    /* A copy of 2^64 - 1 bytes: the output block is still asked for, and the failure named. */
    const buf huge_old = {small.data, UINT64_MAX, 0};
    const std::string copy_all("\x00\x1B\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 10);
    const buf copy_delta = view(copy_all);
    diff_apply_error error = DIFF_APPLY_OK;
    core_alloc_fail_after(1);
    EXPECT_EQ(diff_apply_binary_checked(&huge_old, &copy_delta, &error), nullptr);
    EXPECT_EQ(core_alloc_attempts(), 2);
    core_alloc_fail_after(-1);
    EXPECT_EQ(error, DIFF_APPLY_OUT_OF_MEMORY);
}

/* The applier names the simple values it skips (e0 to f3, f8) once; its sizing walk is quiet. */
TEST(Diff, ApplierNamesUnimplementedSimpleValues) {
    const buf empty = view("");
    std::string expected;
    testing::internal::CaptureStderr();
    for (int b = 0xE0; b < 0xFC; ++b) {
        const std::string item =
            static_cast<char>(b) + std::string(b >= 0xF8 ? 1u << (b - 0xF8) : 0, ' ');
        const buf delta = view(item);
        EXPECT_EQ(take(diff_apply_binary(&empty, &delta)), "") << b;
        char line[40];
        snprintf(line, sizeof line, "Unimplemented CBOR code: %02x\n", b);
        if (b < 0xF4 || b == 0xF8) expected += line;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

/* A history of one 256 ms slot reading exactly u at the next start (its current bucket lies ahead
 * of the clock, so the start clears nothing): the quality for u, recorded with the activity. */
TEST(Diff, GenerateWithHistoryChoosesQuality) {
    std::mt19937_64 rng(7);
    const std::string o = random_bytes(rng, 3000, 3),
                      n = o.substr(0, 1000) + "INSERTED" + o.substr(1100, 900) + o.substr(2500);
    const buf a = view(o), b = view(n);
    const int32_t qualities[][2] = {{-256, 0}, {127, 0}, {128, 1}, {165, 1}, {166, 2},
                                    {203, 2},  {204, 3}, {242, 3}, {243, 4}, {400, 4}};
    /* utilisation in 256ths, and the quality it gives */
    for (const auto [u, quality] : qualities) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        activity_history *h = corvantis_activity_history_create(1, 256);
        h->current_bucket =
            ((uint64_t)tv.tv_sec * 1000u + (uint64_t)tv.tv_usec / 1000u) / 256 + 1000;
        h->slots[0] = h->window_total = static_cast<uint32_t>(u);
        const std::string delta = take(diff_generate_binary_with_activity_history(h, &a, &b));
        EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(h), (uint32_t)quality) << u;
        EXPECT_EQ(check_delta(o, n, delta), "") << u;
        EXPECT_NE(delta, replacement_of(n)) << u;
        /* the stop was recorded */
        EXPECT_GE(h->window_total, static_cast<uint64_t>(static_cast<uint32_t>(u))) << u;
        corvantis_activity_history_free(h);
    }
}

/* Every allocation failed in turn, in both formats: null or the right answer (from the bare
 * writer, a replacement too), the applier naming the failure, nothing leaked. */
TEST(Diff, FailedAllocationsGiveNullOrTheRightAnswer) {
    std::mt19937_64 rng(2);
    const std::string o = random_bytes(rng, 5000, 30), n = mutate(rng, o, 30, 30);
    const buf a = view(o), b = view(n);
    const auto write = [&](int compact) {
        return compact ? diff_generate_compact(&a, &b, 3) : diff_generate_binary(&a, &b);
    };
    const std::string deltas[] = {take(write(0)), take(write(1))};
    /* Memory that stays short, and one failure that passes. */
    for (const auto arm : {core_alloc_fail_after, core_alloc_fail_once})
        for (long k = 0;; ++k) {
            std::string made[2], applied[2];
            diff_apply_error errors[2] = {DIFF_APPLY_OK, DIFF_APPLY_OK};
            arm(k);
            for (int c : {0, 1}) {
                const buf d = view(deltas[c]);
                made[c] = take(write(c));
                applied[c] = take(diff_apply(&a, &d, &errors[c]));
            }
            const long attempts = core_alloc_attempts();
            core_alloc_fail_after(-1);
            for (int c : {0, 1}) {
                EXPECT_TRUE(made[c] == "<null>" || made[c] == deltas[c] ||
                            (c == 0 && made[c] == replacement_of(n)))
                    << k;
                EXPECT_TRUE(applied[c] == "<null>" ? errors[c] == DIFF_APPLY_OUT_OF_MEMORY
                                                   : applied[c] == n)
                    << k;
            }
            if (attempts <= k) break;
        }
}

} // namespace
