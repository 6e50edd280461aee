#include <gtest/gtest.h>

#include <sys/time.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

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
    Value(const Value &) = delete;
    Value &operator=(const Value &) = delete;
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
    const int width = n < 256 ? 1 : n < 65536 ? 2 : n <= 0xFFFFFFFFu ? 4 : 8;
    std::string head(1, static_cast<char>(width == 1 ? 0x58 : width == 2 ? 0x59 : width == 4 ? 0x5A : 0x5B));
    for (int i = width - 1; i >= 0; --i) head += static_cast<char>((n >> (8 * i)) & 0xFF);
    return head + s;
}

std::string diff(const std::string &o, const std::string &n) {
    Value a(o), b(n);
    buf *d = diff_generate_binary(a.b, b.b);
    EXPECT_NE(d, nullptr);
    return d == nullptr ? std::string("<null>") : take(d);
}

/* Applies a delta; null becomes "<null: message>". */
std::string patch(const std::string &o, const std::string &delta) {
    Value a(o), d(delta);
    const char *error = "unset";
    buf *out = diff_apply_binary_ex(a.b, d.b, &error);
    if (out == nullptr) return std::string("<null: ") + (error ? error : "no message") + ">";
    EXPECT_EQ(error, nullptr);
    return take(out);
}

TEST(Diff, GenerateExactBytesAndRoundTrip) {
    const struct {
        std::string old_value, new_value, delta_hex;
    } cases[] = {
        {"abcdefghijklmnopqrstuvwxyz0123", "abcdefghijXYklmnopqrstxyz0123", "00 0A 42 58 59 0A 0A 17 07"},
        {"xxabc", "abc", "02 03"},
        {"abc", "abcd", "44 61 62 63 64"},  // the edit delta would need 4 bytes
        {"ab", "ab", "F6"}, {std::string(300, 'z'), std::string(300, 'z'), "F6"},
        {"a", "a", "41 61"},  // F6 is not shorter than the value
        {"", "", "40"}, {"abcdef", "", "40"}, {"", "xyz", "43 78 79 7A"}, {"aaaa", "bbbb", "44 62 62 62 62"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.old_value + " -> " + c.new_value);
        const std::string delta = diff(c.old_value, c.new_value);
        EXPECT_EQ(hex(delta), c.delta_hex);
        EXPECT_EQ(patch(c.old_value, delta), c.new_value);
    }
}

TEST(Diff, ReplacementHeadWidths) {
    for (size_t length : {0, 1, 23, 24, 255, 256, 65535, 65536}) {
        SCOPED_TRACE(length);
        std::string value(length, '\0');
        for (size_t i = 0; i < length; ++i) value[i] = static_cast<char>(i * 7 + 3);
        Value v(value);
        const std::string delta = take(_write_replacement_delta(v.b));
        EXPECT_EQ(delta, replacement_of(value));
        EXPECT_EQ(diff("", value), delta);
        EXPECT_EQ(patch("unrelated old value", delta), value);
    }
}

const std::string kNoLength = std::string("<null: ") + DIFF_ERROR_COPY_WITHOUT_LENGTH + ">";
const std::string kRange = std::string("<null: ") + DIFF_ERROR_COPY_OUT_OF_RANGE + ">";
const std::string kUnreadable = std::string("<null: ") + DIFF_ERROR_UNREADABLE_ITEM + ">";

/* Deltas are refused rather than half applied: a copy must have its length
 * and lie inside the old value, and an unreadable item is an error, not the
 * end of the delta. */
TEST(Diff, Apply) {
    const struct {
        std::string old_value, delta_hex, expected;
    } cases[] = {
        {"abc", "", ""}, {"abcdef", "01 03", "bcd"}, {std::string(300, 'x') + "YZ", "19 01 2C 02", "YZ"},
        {"abc", "42 58 59", "XY"},
        {"abc", "63 61 62 63", "abc"},  // text inserts like bytes
        {"0123456789", "05 02 41 2D 00 02", "56-01"},
        {"abcdef", "F6", "abcdef"},  // the no-change delta stands for the old value
        {"", "F6", ""},
        {"abc", "00 01 F6 41 7A", "az"},  // null items inside a longer delta are skipped
        {"abc", "F6 F6", ""}, {"abc", "20 38 18 82 A1 C2 F4 F5 F7 F9 3C 00 FA 47 80 00 00 FF 00 02", "ab"},
        {"abc", "5F 41 61 42 62 63 FF", "abc"},  // indefinite starts hold no bytes, chunks do
        {"abc", "7F 62 78 79 60 FF 01 01", "xyb"}, {"abc", "5F FF", ""}, {"abc", "5F", ""},
        {"abc", "05", kNoLength}, {"abc", "05 41", kUnreadable}, {"abc", "00 41 61", kNoLength},
        {"abc", "00 F6", kNoLength}, {"abc", "00 18", kUnreadable}, {"abc", "00 03", "abc"}, {"abc", "03 00", ""},
        {"abc", "04 00", kRange}, {"abc", "01 03", kRange}, {"abc", "00 04", kRange}, {"", "00 01", kRange},
        {"abc", "1B FF FF FF FF FF FF FF FF 01", kRange}, {"abc", "01 1B FF FF FF FF FF FF FF FF", kRange},
        {"abc", "1B FF FF FF FF FF FF FF FF 1B FF FF FF FF FF FF FF FF", kRange},
        {"abc", "1B 00 00 00 01 00 00 00 00 01", kRange}, {"abc", "41 61 43 62", kUnreadable},
        {"abc", "00 01 63 61", kUnreadable}, {"abc", "00 03 19 01", kUnreadable},
        {"abc", "00 03 FB 00", kUnreadable}, {"abc", "5A FF FF FF FF 00", kUnreadable},
        {"abc", "1C", kUnreadable},  // reserved heads give no value or length to trust
        {"abc", "00 1F", kUnreadable}, {"abc", "5C 61", kUnreadable}, {"abc", "7E", kUnreadable},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.delta_hex);
        EXPECT_EQ(patch(c.old_value, from_hex(c.delta_hex)), c.expected);
        Value a(c.old_value), d(from_hex(c.delta_hex));  // the plain entry point agrees
        buf *out = diff_apply_binary(a.b, d.b);
        EXPECT_EQ(out == nullptr, c.expected.rfind("<null", 0) == 0);
        buf_free(out);
    }
}

/* Null arguments, and values of 2^31 bytes or more: only the length field is
 * large, the bytes behind it are a few and must never be read. */
TEST(Diff, RefusedArguments) {
    Value small("12345");
    const char *error = nullptr;
    EXPECT_EQ(diff_apply_binary_ex(nullptr, small.b, &error), nullptr);
    EXPECT_STREQ(error, DIFF_ERROR_NULL_ARGUMENT);
    EXPECT_EQ(diff_apply_binary(small.b, nullptr), nullptr);
    EXPECT_EQ(diff_generate_binary(nullptr, small.b), nullptr);
    EXPECT_EQ(diff_generate_binary(small.b, nullptr), nullptr);
    EXPECT_EQ(_write_replacement_delta(nullptr), nullptr);
    uint8_t few[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    activity_history *h = corvantis_activity_history_create(4, 1000);
    for (uint64_t length : {UINT64_C(0x80000000), UINT64_C(0xFFFFFFFF), UINT64_C(0x100000000),
                            UINT64_C(0x100000005), UINT64_MAX}) {
        buf big = {few, length, 0};
        SCOPED_TRACE(length);
        EXPECT_EQ(diff_generate_binary(&big, small.b), nullptr);
        EXPECT_EQ(diff_generate_binary(small.b, &big), nullptr);
        EXPECT_EQ(diff_generate_binary_ex(&big, &big, 1000, 10), nullptr);
        EXPECT_EQ(diff_generate_binary_with_activity_history(h, &big, small.b), nullptr);
        EXPECT_EQ(diff_generate_binary_with_activity_history_ex(h, small.b, &big, 1000, 10), nullptr);
    }
    corvantis_activity_history_free(h);
}

TEST(Diff, QualityThresholds) {
    const struct {
        int32_t utilisation;
        uint32_t quality;
    } table[] = {{INT32_MIN, 0}, {-1, 0}, {0, 0},   {127, 0}, {128, 1}, {165, 1},       {166, 2},
                 {203, 2},       {204, 3}, {242, 3}, {243, 4}, {256, 4}, {INT32_MAX, 4}};
    for (const auto &row : table) EXPECT_EQ(diff_quality_for_utilisation(row.utilisation), row.quality) << row.utilisation;
}

/* A one-slot history whose utilisation at the next start is exactly u: its
 * current bucket lies ahead of the clock, so the start clears nothing, and
 * with one slot the estimate is the window total, unshifted (256 ms window). */
activity_history *history_reading(int32_t u) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    const uint64_t now_ms = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
    activity_history *h = corvantis_activity_history_create(1, 256);
    h->current_bucket = (now_ms >> 8) + 1000;
    h->slots[0] = h->window_total = static_cast<uint32_t>(u);
    return h;
}

TEST(Diff, GenerateWithHistoryChoosesQualityAndStillRoundTrips) {
    for (int32_t u : {-256, 127, 128, 166, 204, 243, 400}) {
        SCOPED_TRACE(u);
        activity_history *h = history_reading(u);
        ASSERT_EQ(corvantis_activity_history_utilisation(h), u);
        std::mt19937 rng(static_cast<uint32_t>(u + 1000));
        std::string old_value(3000, ' ');
        for (char &ch : old_value) ch = static_cast<char>('a' + rng() % 3);
        const std::string new_value =
            old_value.substr(0, 1000) + "INSERTED" + old_value.substr(1100, 900) + old_value.substr(2500);
        Value a(old_value), b(new_value);
        buf *d = diff_generate_binary_with_activity_history(h, a.b, b.b);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(h), diff_quality_for_utilisation(u));
        const std::string delta = take(d);
        EXPECT_LT(delta.size(), new_value.size());
        EXPECT_EQ(patch(old_value, delta), new_value);
        EXPECT_GE(h->window_total, static_cast<uint64_t>(static_cast<uint32_t>(u)));  // the stop was recorded
        corvantis_activity_history_free(h);
    }
    // Quality 4 copies the common prefix and suffix only; the full search finds the same here.
    const std::string o = "abcdefghijklmnopqrstuvwxyz" "XYZ" "0123456789abcdefghijklmnop";
    const std::string n = "abcdefghijklmnopqrstuvwxyz" "Q" "0123456789abcdefghijklmnop";
    activity_history *h = history_reading(300);
    Value a(o), b(n);
    EXPECT_EQ(hex(take(diff_generate_binary_with_activity_history(h, a.b, b.b))), "00 18 1A 41 51 18 1D 18 1A");
    EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(h), 4u);
    EXPECT_EQ(hex(diff(o, n)), "00 18 1A 41 51 18 1D 18 1A");
    corvantis_activity_history_free(h);
}

/* Round trip, and every delta other than the replacement and no-change ones
 * is a valid edit delta to the reference reader and shorter than the value. */
void check_round_trip(const std::string &old_value, const std::string &new_value) {
    const std::string delta = diff(old_value, new_value);
    ASSERT_EQ(patch(old_value, delta), new_value) << "sizes " << old_value.size() << " " << new_value.size();
    if (delta == replacement_of(new_value)) return;
    if (delta == "\xF6") {
        EXPECT_EQ(old_value, new_value);
        EXPECT_GE(new_value.size(), 2u);
        return;
    }
    EXPECT_LT(delta.size(), new_value.size());
    std::string rebuilt;
    ASSERT_EQ(delta_reference::rebuild(old_value, delta, rebuilt), "") << hex(delta);
    EXPECT_EQ(rebuilt, new_value);
}

std::string random_value(std::mt19937 &rng, size_t n, bool text) {
    static const char *words[] = {"the ", "delta ", "value ", "old ", "new ", "copy ", "insert ", "\n",
                                  "{\"k\": ", "1, ", "2]", "abc", "xyz "};
    std::string s;
    while (s.size() < n) s += text ? words[rng() % 13] : std::string(1, static_cast<char>(rng() & 0xFF));
    s.resize(n);
    return s;
}

/* The new value as an edit of the old: a few replaced, dropped and added stretches. */
std::string mutate(std::mt19937 &rng, const std::string &old_value, bool text) {
    std::string s = old_value;
    for (int e = static_cast<int>(rng() % 8); e > 0; --e) {
        const size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        const size_t span = rng() % (1 + std::min<size_t>(s.size() - at, 1 + s.size() / 10));
        const std::string piece = random_value(rng, rng() % 50, text);
        switch (rng() % 3) {
        case 0: s.replace(at, span, piece); break;
        case 1: s.erase(at, span); break;
        default: s.insert(at, piece); break;
        }
    }
    return s;
}

TEST(Diff, RandomRoundTrips) {
    std::mt19937 rng(20240601);
    for (size_t size : {0, 1, 2, 3, 5, 17, 24, 100, 255, 256, 1000, 4096, 20000, 100000}) {
        for (int round = 0; round < (size >= 20000 ? 3 : 12); ++round) {
            const bool text = round % 2 == 0;
            const std::string old_value = random_value(rng, size, text);
            SCOPED_TRACE(testing::Message() << "size " << size << " round " << round);
            check_round_trip(old_value, mutate(rng, old_value, text));
            check_round_trip(old_value, old_value);
            if (size <= 4096) check_round_trip(old_value, random_value(rng, size, text));
        }
    }
    for (int round = 0; round < 400; ++round) {  // few symbols, many short matches: the cost rule is busy
        std::string a(rng() % 300, ' '), b(rng() % 300, ' ');
        for (char &c : a) c = static_cast<char>('a' + rng() % 3);
        for (char &c : b) c = static_cast<char>('a' + rng() % 3);
        SCOPED_TRACE(round);
        check_round_trip(a, b);
        check_round_trip(a, mutate(rng, a, true));
    }
}

TEST(Diff, SmallLimitsStillGiveCorrectDeltas) {
    std::mt19937 rng(99);
    const std::string old_value = random_value(rng, 5000, true), new_value = mutate(rng, old_value, true);
    Value a(old_value), b(new_value);
    for (int32_t bailout : {-1, 0, 1, 5, 100}) {
        for (uint64_t storage : {UINT64_C(0), UINT64_C(64), UINT64_C(4096), UINT64_C(0x7FFFFFFF)}) {
            buf *d = diff_generate_binary_ex(a.b, b.b, storage, bailout);
            ASSERT_NE(d, nullptr);
            const std::string delta = take(d);
            EXPECT_EQ(patch(old_value, delta), new_value) << bailout << " " << storage;
            EXPECT_TRUE(delta.size() < new_value.size() || delta == replacement_of(new_value));
        }
    }
}

/* Every allocation failed in turn: generation gives null or the exact delta
 * (or the replacement one), application null or the exact value. */
TEST(Diff, FailedAllocationsGiveNullOrTheRightAnswer) {
    const std::string o = "abcdefghijklmnopqrstuvwxyz0123", n = "abcdefghijXYklmnopqrstxyz0123";
    const std::string expected = from_hex("00 0A 42 58 59 0A 0A 17 07");
    Value a(o), b(n), d(expected), f6("\xF6"), repl(replacement_of(n));
    int generated = 0, applied = 0;
    for (long k = 0; k < 80; ++k) {
        SCOPED_TRACE(k);
        const struct {
            buf *(*apply)(const buf *, const buf *);
            const buf *first, *second;
            std::string result, alternative;
            int *count;
        } calls[] = {
            {diff_generate_binary, a.b, b.b, expected, replacement_of(n), &generated},
            {diff_apply_binary, a.b, d.b, n, n, &applied},
            {diff_apply_binary, a.b, f6.b, o, o, nullptr},
            {diff_apply_binary, a.b, repl.b, n, n, nullptr},
            {[](const buf *v, const buf *) { return _write_replacement_delta(v); }, b.b, nullptr,
             replacement_of(n), replacement_of(n), nullptr},
        };
        for (const auto &c : calls) {
            core_alloc_fail_after(k);
            buf *out = c.apply(c.first, c.second);
            core_alloc_fail_after(-1);
            if (out == nullptr) continue;
            const std::string got = take(out);
            EXPECT_TRUE(got == c.result || got == c.alternative) << hex(got);
            if (c.count) *c.count += got == c.result;
        }
    }
    EXPECT_GT(generated, 0);
    EXPECT_GT(applied, 0);
}

} // namespace
