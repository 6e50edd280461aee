#include <gtest/gtest.h>

#include <sys/time.h>

#include <cstdint>
#include <random>
#include <string>

#include "activity_history.h"
#include "alloc.h"
#include "delta_reference.h"
#include "diff.h"

namespace {

using delta_reference::from_hex;
using delta_reference::hex;

/* A buf owning a copy of s, freed at scope exit. */
struct Value {
    buf *b;
    explicit Value(const std::string &s) : b(buf_create()) { buf_write_bytes(b, s.data(), s.size()); }
    ~Value() { buf_free(b); }
};

std::string take(buf *b) {
    std::string s = b->length == 0 ? std::string() : std::string(reinterpret_cast<const char *>(b->data), b->length);
    buf_free(b);
    return s;
}

/* The replacement delta of s, built by hand from the CBOR head rules. */
std::string replacement_of(const std::string &s) {
    const uint64_t n = s.size();
    if (n < 24) return static_cast<char>(0x40 + n) + s;
    const int width = n < 256 ? 1 : n < 65536 ? 2 : 4;
    std::string head(1, static_cast<char>(width == 1 ? 0x58 : width == 2 ? 0x59 : 0x5A));
    for (int i = width - 1; i >= 0; --i) head += static_cast<char>((n >> (8 * i)) & 0xFF);
    return head + s;
}

std::string diff(const std::string &o, const std::string &n, uint64_t storage = 2147483647, int32_t limit = 10000) {
    Value a(o), b(n);
    return take(diff_generate_binary_ex(a.b, b.b, storage, limit));
}

/* Applies a delta; a failure becomes "<null: message>", and the plain entry point must agree. */
std::string patch(const std::string &o, const std::string &delta) {
    Value a(o), d(delta);
    diff_apply_error error = DIFF_APPLY_NULL_ARGUMENT;
    buf *out = diff_apply_binary_checked(a.b, d.b, &error);
    buf *plain = diff_apply_binary(a.b, d.b);
    EXPECT_EQ(plain == nullptr, out == nullptr);
    buf_free(plain);
    if (out == nullptr) return std::string("<null: ") + diff_apply_error_name(error) + ">";
    EXPECT_EQ(error, DIFF_APPLY_OK);
    return take(out);
}

TEST(Diff, GenerateExactBytesAndRoundTrip) {
    const struct {
        std::string old_value, new_value, delta_hex;
    } cases[] = {
        {"abcdefghijklmnopqrstuvwxyz0123", "abcdefghijXYklmnopqrstxyz0123", "00 0A 42 58 59 0A 0A 17 07"},
        {"xxabc", "abc", "02 03"},
        {"abc", "abcd", "44 61 62 63 64"}, /* the edit delta would need 4 bytes */
        {"ab", "ab", "F6"}, {std::string(300, 'z'), std::string(300, 'z'), "F6"},
        {"a", "a", "41 61"}, /* F6 is not shorter than the value */
        {"", "", "40"}, {"abcdef", "", "40"}, {"", "xyz", "43 78 79 7A"}, {"aaaa", "bbbb", "44 62 62 62 62"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.old_value + " -> " + c.new_value);
        const std::string delta = diff(c.old_value, c.new_value);
        EXPECT_EQ(hex(delta), c.delta_hex);
        EXPECT_EQ(patch(c.old_value, delta), c.new_value);
    }
    for (size_t length : {23, 24, 255, 256, 65535, 65536}) { /* replacement heads of every width */
        std::string value(length, '\0');
        for (size_t i = 0; i < length; ++i) value[i] = static_cast<char>(i * 7 + 3);
        Value v(value);
        EXPECT_EQ(take(_write_replacement_delta(v.b)), replacement_of(value)) << length;
        EXPECT_EQ(diff("", value), replacement_of(value)) << length;
    }
}

/* Deltas are refused rather than half applied: a copy must have its length and lie
 * inside the old value, and an unreadable item is an error, not the end of the delta. */
TEST(Diff, ApplyAndRefusedArguments) {
    const std::string kNoLength = std::string("<null: ") + DIFF_ERROR_COPY_WITHOUT_LENGTH + ">";
    const std::string kRange = std::string("<null: ") + DIFF_ERROR_COPY_OUT_OF_RANGE + ">";
    const std::string kUnreadable = std::string("<null: ") + DIFF_ERROR_UNREADABLE_ITEM + ">";
    const struct {
        std::string old_value, delta_hex, expected;
    } cases[] = {
        {"abc", "", ""}, {"abcdef", "01 03", "bcd"}, {std::string(300, 'x') + "YZ", "19 01 2C 02", "YZ"},
        {"abc", "42 58 59", "XY"}, {"abc", "63 61 62 63", "abc"}, {"0123456789", "05 02 41 2D 00 02", "56-01"},
        {"abcdef", "F6", "abcdef"}, {"", "F6", ""}, {"abc", "00 01 F6 41 7A", "az"}, {"abc", "F6 F6", ""},
        {"abc", "20 38 18 82 A1 C2 F4 F5 F7 F9 3C 00 FA 47 80 00 00 FF 00 02", "ab"}, /* other items add nothing */
        {"abc", "5F 41 61 42 62 63 FF", "abc"}, /* indefinite starts hold no bytes, chunks do */
        {"abc", "7F 62 78 79 60 FF 01 01", "xyb"}, {"abc", "5F FF", ""}, {"abc", "5F", ""},
        {"abc", "05", kNoLength}, {"abc", "05 41", kUnreadable}, {"abc", "00 41 61", kNoLength},
        {"abc", "00 F6", kNoLength}, {"abc", "00 18", kUnreadable}, {"abc", "00 03", "abc"}, {"abc", "03 00", ""},
        {"abc", "04 00", kRange}, {"abc", "01 03", kRange}, {"abc", "00 04", kRange}, {"", "00 01", kRange},
        {"abc", "1B FF FF FF FF FF FF FF FF 01", kRange}, {"abc", "01 1B FF FF FF FF FF FF FF FF", kRange},
        {"abc", "1B 00 00 00 01 00 00 00 00 01", kRange}, {"abc", "41 61 43 62", kUnreadable},
        {"abc", "00 03 19 01", kUnreadable}, {"abc", "5A FF FF FF FF 00", kUnreadable},
        {"abc", "1C", kUnreadable}, /* reserved heads give no value or length to trust */
        {"abc", "00 1F", kUnreadable}, {"abc", "5C 61", kUnreadable}, {"abc", "7E", kUnreadable},
    };
    for (const auto &c : cases) EXPECT_EQ(patch(c.old_value, from_hex(c.delta_hex)), c.expected) << c.delta_hex;
    Value small("12345");
    const char *message = nullptr;
    EXPECT_EQ(diff_apply_binary_ex(small.b, nullptr, &message), nullptr);
    EXPECT_STREQ(message, DIFF_ERROR_NULL_ARGUMENT);
    EXPECT_STREQ(diff_apply_error_name(DIFF_APPLY_OUT_OF_MEMORY), DIFF_ERROR_OUT_OF_MEMORY);
    /* Generation refuses null arguments and values of 2^31 bytes or more: only the
     * length field is large, the few bytes behind it must never be read. */
    EXPECT_EQ(diff_generate_binary(nullptr, small.b), nullptr);
    EXPECT_EQ(diff_generate_binary(small.b, nullptr), nullptr);
    EXPECT_EQ(_write_replacement_delta(nullptr), nullptr);
    uint8_t few[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    activity_history *h = corvantis_activity_history_create(4, 1000);
    for (uint64_t length : {UINT64_C(0x80000000), UINT64_C(0x100000005), UINT64_MAX}) {
        buf big = {few, length, 0};
        EXPECT_EQ(diff_generate_binary(&big, small.b), nullptr) << length;
        EXPECT_EQ(diff_generate_binary_with_activity_history_ex(h, small.b, &big, 1000, 10), nullptr) << length;
    }
    corvantis_activity_history_free(h);
}

/* A one-slot history whose utilisation at the next start is exactly u: its current
 * bucket lies ahead of the clock, so the start clears nothing (256 ms window). */
activity_history *history_reading(int32_t u) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    activity_history *h = corvantis_activity_history_create(1, 256);
    h->current_bucket = ((uint64_t)tv.tv_sec * 1000u + (uint64_t)tv.tv_usec / 1000u) / 256 + 1000;
    h->slots[0] = h->window_total = static_cast<uint32_t>(u);
    return h;
}

TEST(Diff, GenerateWithHistoryChoosesQuality) {
    std::mt19937 rng(7);
    std::string old_value(3000, ' ');
    for (char &ch : old_value) ch = static_cast<char>('a' + rng() % 3);
    const std::string new_value = old_value.substr(0, 1000) + "INSERTED" + old_value.substr(1100, 900) + old_value.substr(2500);
    for (int32_t u : {-256, 127, 128, 166, 204, 243, 400}) {
        activity_history *h = history_reading(u);
        Value a(old_value), b(new_value);
        const std::string delta = take(diff_generate_binary_with_activity_history(h, a.b, b.b));
        EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(h), diff_quality_for_utilisation(u)) << u;
        EXPECT_LT(delta.size(), new_value.size()) << u;
        EXPECT_EQ(patch(old_value, delta), new_value) << u;
        EXPECT_GE(h->window_total, static_cast<uint64_t>(static_cast<uint32_t>(u))) << u; /* the stop was recorded */
        corvantis_activity_history_free(h);
    }
    /* Quality 4 copies the common prefix and suffix only. */
    activity_history *h = history_reading(300);
    Value a("abcdefghijklmnopqrstuvwxyzXYZ0123456789abcdefghijklmnop"), b("abcdefghijklmnopqrstuvwxyzQ0123456789abcdefghijklmnop");
    EXPECT_EQ(hex(take(diff_generate_binary_with_activity_history(h, a.b, b.b))), "00 18 1A 41 51 18 1D 18 1A");
    corvantis_activity_history_free(h);
}

std::string random_value(std::mt19937 &rng, size_t n, int alphabet) {
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(alphabet >= 256 ? rng() & 0xFF : 'a' + rng() % alphabet);
    return s;
}

/* Every delta rebuilds the new value; all but the replacement and no-change deltas
 * are valid to the reference reader and shorter than the value, under any limits. */
TEST(Diff, RandomRoundTrips) {
    std::mt19937 rng(20240601);
    for (int round = 0; round < 600; ++round) {
        const size_t size = round < 500 ? rng() % 300 : rng() % 30000;
        const int alphabet = round % 3 == 0 ? 3 : round % 3 == 1 ? 26 : 256;
        const std::string o = random_value(rng, size, alphabet);
        std::string n = round % 4 == 0 ? random_value(rng, rng() % 300, alphabet) : o;
        for (int e = round % 4 ? (int)(rng() % 8) : 0; e > 0; --e) { /* a few replaced, dropped and added stretches */
            const size_t at = rng() % (n.size() + 1), span = rng() % (1 + std::min<size_t>(n.size() - at, 1 + n.size() / 10));
            n.replace(at, rng() % 3 ? span : 0, rng() % 3 ? random_value(rng, rng() % 50, alphabet) : "");
        }
        const int32_t limit = round % 5 == 0 ? static_cast<int32_t>(rng() % 8) - 2 : 10000;
        const uint64_t storage = round % 7 == 0 ? 64 + rng() % 4096 : 2147483647;
        const std::string delta = diff(o, n, storage, limit);
        SCOPED_TRACE(testing::Message() << "round " << round << " delta " << hex(delta.substr(0, 40)));
        ASSERT_EQ(patch(o, delta), n);
        EXPECT_TRUE(delta != "\xF6" || (o == n && n.size() >= 2));
        if (delta == replacement_of(n) || delta == "\xF6") continue;
        EXPECT_LT(delta.size(), n.size());
        std::string rebuilt;
        ASSERT_EQ(delta_reference::rebuild(o, delta, rebuilt), "");
    }
}

/* Every allocation failed in turn: each call gives null or the right answer, and the
 * applier names the failure. */
TEST(Diff, FailedAllocationsGiveNullOrTheRightAnswer) {
    const std::string o = "abcdefghijklmnopqrstuvwxyz0123", n = "abcdefghijXYklmnopqrstxyz0123";
    const std::string expected = from_hex("00 0A 42 58 59 0A 0A 17 07");
    Value a(o), b(n), d(expected);
    int exact[2] = {0, 0};
    for (long k = 0; k < 80; ++k) {
        for (int applying : {0, 1}) {
            core_alloc_fail_after(k);
            diff_apply_error error = DIFF_APPLY_OK;
            buf *out = applying ? diff_apply_binary_checked(a.b, d.b, &error) : diff_generate_binary(a.b, b.b);
            core_alloc_fail_after(-1);
            EXPECT_EQ(error, out || !applying ? DIFF_APPLY_OK : DIFF_APPLY_OUT_OF_MEMORY) << k;
            if (out == nullptr) continue;
            const std::string got = take(out);
            exact[applying] += got == (applying ? n : expected);
            EXPECT_TRUE(got == (applying ? n : expected) || (!applying && got == replacement_of(n))) << k << hex(got);
        }
    }
    EXPECT_TRUE(exact[0] && exact[1]);
}

} // namespace
