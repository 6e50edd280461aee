#include <gtest/gtest.h>

#include <sys/time.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "activity_history.h"
#include "alloc.h"
#include "cbor_parser.h"
#include "delta_reference.h"
#include "diff.h"

namespace {

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

std::string from_hex(const std::string &h) {
    std::string out;
    for (size_t i = 0; i < h.size();) {
        if (h[i] == ' ') {
            ++i;
            continue;
        }
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

/* The replacement delta of s, built by hand from the CBOR head rules. */
std::string replacement_of(const std::string &s) {
    std::string head;
    const uint64_t n = s.size();
    if (n < 24) {
        head += static_cast<char>(0x40 + n);
    } else {
        int width = n < 256 ? 1 : n < 65536 ? 2 : n <= 0xFFFFFFFFu ? 4 : 8;
        head += static_cast<char>(width == 1 ? 0x58 : width == 2 ? 0x59 : width == 4 ? 0x5A : 0x5B);
        for (int i = width - 1; i >= 0; --i) head += static_cast<char>((n >> (8 * i)) & 0xFF);
    }
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

struct GenerateCase {
    const char *name;
    std::string old_value, new_value, delta_hex;
};

class Generate : public ::testing::TestWithParam<GenerateCase> {};

TEST_P(Generate, ExactBytesAndRoundTrip) {
    const GenerateCase &c = GetParam();
    const std::string delta = diff(c.old_value, c.new_value);
    EXPECT_EQ(hex(delta), c.delta_hex);
    EXPECT_EQ(patch(c.old_value, delta), c.new_value);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, Generate,
    ::testing::Values(
        GenerateCase{"worked_example", "abcdefghijklmnopqrstuvwxyz0123", "abcdefghijXYklmnopqrstxyz0123",
                     "00 0A 42 58 59 0A 0A 17 07"},
        GenerateCase{"drop_first_two", "xxabc", "abc", "02 03"},
        GenerateCase{"one_byte_too_many", "abc", "abcd", "44 61 62 63 64"},
        GenerateCase{"equal_two_bytes", "ab", "ab", "F6"},
        GenerateCase{"equal_long", std::string(300, 'z'), std::string(300, 'z'), "F6"},
        GenerateCase{"equal_one_byte", "a", "a", "41 61"},
        GenerateCase{"both_empty", "", "", "40"},
        GenerateCase{"new_empty", "abcdef", "", "40"},
        GenerateCase{"old_empty", "", "xyz", "43 78 79 7A"},
        GenerateCase{"nothing_shared", "aaaa", "bbbb", "44 62 62 62 62"}),
    [](const ::testing::TestParamInfo<GenerateCase> &info) { return std::string(info.param.name); });

struct ReplacementCase {
    size_t length;
    std::string head_hex;
};

class Replacement : public ::testing::TestWithParam<ReplacementCase> {};

TEST_P(Replacement, HeadWidths) {
    const ReplacementCase &c = GetParam();
    std::string value(c.length, '\0');
    for (size_t i = 0; i < c.length; ++i) value[i] = static_cast<char>(i * 7 + 3);
    Value v(value);
    const std::string delta = take(_write_replacement_delta(v.b));
    const std::string head = from_hex(c.head_hex);
    ASSERT_EQ(delta.size(), head.size() + c.length);
    EXPECT_EQ(hex(delta.substr(0, head.size())), hex(head));
    EXPECT_EQ(delta.substr(head.size()), value);
    // Generation from an empty old value gives the same bytes.
    EXPECT_EQ(diff("", value), delta);
    // And the replacement delta rebuilds the value from any old value.
    EXPECT_EQ(patch("unrelated old value", delta), value);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, Replacement,
                         ::testing::Values(ReplacementCase{0, "40"}, ReplacementCase{1, "41"},
                                           ReplacementCase{23, "57"}, ReplacementCase{24, "58 18"},
                                           ReplacementCase{255, "58 FF"}, ReplacementCase{256, "59 01 00"},
                                           ReplacementCase{65535, "59 FF FF"},
                                           ReplacementCase{65536, "5A 00 01 00 00"}));

TEST(Diff, ReplacementOfNullIsNull) { EXPECT_EQ(_write_replacement_delta(nullptr), nullptr); }

struct ApplyCase {
    const char *name;
    std::string old_value;
    std::string delta_hex;
    std::string expected; /* "<null: message>" for a refused delta */
};

class Apply : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(Apply, Result) {
    const ApplyCase &c = GetParam();
    EXPECT_EQ(patch(c.old_value, from_hex(c.delta_hex)), c.expected);
    // The plain entry point agrees on success and failure.
    Value a(c.old_value), d(from_hex(c.delta_hex));
    buf *out = diff_apply_binary(a.b, d.b);
    EXPECT_EQ(out == nullptr, c.expected.rfind("<null", 0) == 0);
    buf_free(out);
}

const std::string kNoLength = std::string("<null: ") + DIFF_ERROR_COPY_WITHOUT_LENGTH + ">";
const std::string kRange = std::string("<null: ") + DIFF_ERROR_COPY_OUT_OF_RANGE + ">";
const std::string kUnreadable = std::string("<null: ") + DIFF_ERROR_UNREADABLE_ITEM + ">";

INSTANTIATE_TEST_SUITE_P(
    Format, Apply,
    ::testing::Values(
        ApplyCase{"empty_delta", "abc", "", ""},
        ApplyCase{"copy", "abcdef", "01 03", "bcd"},
        ApplyCase{"copy_wide_heads", std::string(300, 'x') + "YZ", "19 01 2C 02", "YZ"},
        ApplyCase{"insert", "abc", "42 58 59", "XY"},
        ApplyCase{"text_insert", "abc", "63 61 62 63", "abc"},
        ApplyCase{"copies_and_inserts", "0123456789", "05 02 41 2D 00 02", "56-01"},
        // The no-change delta stands for the old value.
        ApplyCase{"no_change", "abcdef", "F6", "abcdef"},
        ApplyCase{"no_change_empty_old", "", "F6", ""},
        // Null items inside a longer delta are skipped.
        ApplyCase{"null_inside", "abc", "00 01 F6 41 7A", "az"},
        ApplyCase{"two_nulls", "abc", "F6 F6", ""},
        // Items the format does not use contribute nothing.
        ApplyCase{"skipped_items", "abc", "20 38 18 82 A1 C2 F4 F5 F7 F9 3C 00 FA 47 80 00 00 FF 00 02", "ab"},
        // Indefinite-length strings: the start holds no bytes, the chunks do.
        ApplyCase{"indefinite_bytes", "abc", "5F 41 61 42 62 63 FF", "abc"},
        ApplyCase{"indefinite_text", "abc", "7F 62 78 79 60 FF 01 01", "xyb"},
        ApplyCase{"indefinite_empty", "abc", "5F FF", ""},
        ApplyCase{"indefinite_alone", "abc", "5F", ""},
        // Copy offsets without a length.
        ApplyCase{"offset_last", "abc", "05", kNoLength},
        ApplyCase{"offset_then_truncated_string", "abc", "05 41", kUnreadable},
        ApplyCase{"offset_then_string", "abc", "00 41 61", kNoLength},
        ApplyCase{"offset_then_null", "abc", "00 F6", kNoLength},
        ApplyCase{"offset_then_truncated_head", "abc", "00 18", kUnreadable},
        // Copy ranges: valid when offset + length <= old length.
        ApplyCase{"copy_to_the_end", "abc", "00 03", "abc"},
        ApplyCase{"empty_copy_at_end", "abc", "03 00", ""},
        ApplyCase{"empty_copy_past_end", "abc", "04 00", kRange},
        ApplyCase{"copy_one_past", "abc", "01 03", kRange},
        ApplyCase{"copy_too_long", "abc", "00 04", kRange},
        ApplyCase{"copy_from_empty", "", "00 01", kRange},
        ApplyCase{"huge_offset", "abc", "1B FF FF FF FF FF FF FF FF 01", kRange},
        ApplyCase{"huge_length_wraps", "abc", "01 1B FF FF FF FF FF FF FF FF", kRange},
        ApplyCase{"both_huge", "abc", "1B FF FF FF FF FF FF FF FF 1B FF FF FF FF FF FF FF FF", kRange},
        ApplyCase{"offset_2_pow_32", "abc", "1B 00 00 00 01 00 00 00 00 01", kRange},
        // Unreadable items are errors, not the end of the delta.
        ApplyCase{"truncated_string", "abc", "41 61 43 62", kUnreadable},
        ApplyCase{"truncated_text", "abc", "00 01 63 61", kUnreadable},
        ApplyCase{"truncated_head", "abc", "00 03 19 01", kUnreadable},
        ApplyCase{"truncated_float", "abc", "00 03 FB 00", kUnreadable},
        ApplyCase{"string_longer_than_delta", "abc", "5A FF FF FF FF 00", kUnreadable},
        // Reserved heads give no value or length to trust.
        ApplyCase{"reserved_uint", "abc", "1C", kUnreadable},
        ApplyCase{"reserved_length", "abc", "00 1F", kUnreadable},
        ApplyCase{"reserved_string", "abc", "5C 61", kUnreadable},
        ApplyCase{"reserved_text", "abc", "7E", kUnreadable}),
    [](const ::testing::TestParamInfo<ApplyCase> &info) { return std::string(info.param.name); });

TEST(Diff, ApplyRefusesNullArguments) {
    Value v("abc");
    const char *error = nullptr;
    EXPECT_EQ(diff_apply_binary_ex(nullptr, v.b, &error), nullptr);
    EXPECT_STREQ(error, DIFF_ERROR_NULL_ARGUMENT);
    EXPECT_EQ(diff_apply_binary(v.b, nullptr), nullptr);
}

TEST(Diff, GenerateRefusesNullArguments) {
    Value v("abc");
    EXPECT_EQ(diff_generate_binary(nullptr, v.b), nullptr);
    EXPECT_EQ(diff_generate_binary(v.b, nullptr), nullptr);
}

/* Values of 2^31 bytes or more: only the length field is large, the bytes
 * behind it are a few and must never be read. */
TEST(Diff, ValuesOfTwoGigabytesOrMoreAreRefused) {
    uint8_t few[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint64_t lengths[] = {UINT64_C(0x80000000), UINT64_C(0xFFFFFFFF), UINT64_C(0x100000000),
                                UINT64_C(0x100000005), UINT64_MAX};
    Value small("12345");
    activity_history *h = corvantis_activity_history_create(4, 1000);
    for (uint64_t length : lengths) {
        buf big = {few, length, 0};
        SCOPED_TRACE(length);
        EXPECT_EQ(diff_generate_binary(&big, small.b), nullptr);
        EXPECT_EQ(diff_generate_binary(small.b, &big), nullptr);
        EXPECT_EQ(diff_generate_binary_ex(&big, &big, 1000, 10), nullptr);
        EXPECT_EQ(diff_generate_binary_with_activity_history(h, &big, small.b), nullptr);
        EXPECT_EQ(diff_generate_binary_with_activity_history_ex(h, small.b, &big, 1000, 10), nullptr);
    }
    // 2^31 - 1 is the longest length the check lets through; not allocated here.
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

uint64_t wall_clock_ms() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

/* A one-slot history whose utilisation at the next start is exactly u: its
 * current bucket lies ahead of the clock, so the start clears nothing, and
 * with one slot the estimate is the window total, unshifted (256 ms window). */
activity_history *history_reading(int32_t u) {
    activity_history *h = corvantis_activity_history_create(1, 256);
    h->current_bucket = (wall_clock_ms() >> 8) + 1000;
    h->slots[0] = static_cast<uint32_t>(u);
    h->window_total = static_cast<uint32_t>(u);
    return h;
}

struct QualityCase {
    int32_t utilisation;
    uint32_t quality;
};

class GenerateWithHistory : public ::testing::TestWithParam<QualityCase> {};

TEST_P(GenerateWithHistory, ChoosesQualityAndStillRoundTrips) {
    const QualityCase c = GetParam();
    activity_history *h = history_reading(c.utilisation);
    ASSERT_EQ(corvantis_activity_history_utilisation(h), c.utilisation);
    std::mt19937 rng(static_cast<uint32_t>(c.utilisation + 1000));
    std::string old_value(3000, ' '), new_value;
    for (char &ch : old_value) ch = static_cast<char>('a' + rng() % 3);
    new_value = old_value.substr(0, 1000) + "INSERTED" + old_value.substr(1100, 900) + old_value.substr(2500);
    Value a(old_value), b(new_value);
    buf *d = diff_generate_binary_with_activity_history(h, a.b, b.b);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(h), c.quality);
    const std::string delta = take(d);
    EXPECT_LT(delta.size(), new_value.size());
    EXPECT_EQ(patch(old_value, delta), new_value);
    // The stop recorded the generation in the one slot.
    EXPECT_GE(h->window_total, static_cast<uint64_t>(static_cast<uint32_t>(c.utilisation)));
    corvantis_activity_history_free(h);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, GenerateWithHistory,
                         ::testing::Values(QualityCase{-256, 0}, QualityCase{0, 0}, QualityCase{127, 0},
                                           QualityCase{128, 1}, QualityCase{165, 1}, QualityCase{166, 2},
                                           QualityCase{203, 2}, QualityCase{204, 3}, QualityCase{242, 3},
                                           QualityCase{243, 4}, QualityCase{400, 4}));

TEST(Diff, QualityFourCopiesPrefixAndSuffixOnly) {
    activity_history *h = history_reading(300);
    const std::string o = "abcdefghijklmnopqrstuvwxyz" "XYZ" "0123456789abcdefghijklmnop";
    const std::string n = "abcdefghijklmnopqrstuvwxyz" "Q" "0123456789abcdefghijklmnop";
    Value a(o), b(n);
    const std::string delta = take(diff_generate_binary_with_activity_history(h, a.b, b.b));
    EXPECT_EQ(corvantis_activity_history_get_last_delta_quality(h), 4u);
    // copy (0, 26), insert Q, copy (29, 26)
    EXPECT_EQ(hex(delta), "00 18 1A 41 51 18 1D 18 1A");
    corvantis_activity_history_free(h);
}

TEST(Diff, NoHistoryRecordsNothingAndUsesQualityZero) {
    // The same pair as above searched fully gives the same small delta.
    const std::string o = "abcdefghijklmnopqrstuvwxyz" "XYZ" "0123456789abcdefghijklmnop";
    const std::string n = "abcdefghijklmnopqrstuvwxyz" "Q" "0123456789abcdefghijklmnop";
    EXPECT_EQ(hex(diff(o, n)), "00 18 1A 41 51 18 1D 18 1A");
}

/* Decodes a delta with the library's own CBOR parser into copies and inserts
 * and rebuilds the new value from them. */
std::string rebuild_with_parser(const std::string &old_value, const std::string &delta, bool *only_ops) {
    *only_ops = true;
    cbor_parser *p = cbor_parser_create(delta.data(), delta.size());
    std::string out;
    std::vector<uint64_t> pending;
    while (cbor_val *v = cbor_next_val(p)) {
        if (v->major_type == 0) {
            pending.push_back(v->value.u64);
            if (pending.size() == 2) {
                out += old_value.substr(static_cast<size_t>(pending[0]), static_cast<size_t>(pending[1]));
                pending.clear();
            }
        } else if (v->major_type == 2 && pending.empty() && v->length >= 0) {
            out.append(reinterpret_cast<const char *>(v->value.bytes), static_cast<size_t>(v->length));
        } else {
            *only_ops = false;
        }
        cbor_val_free(v);
    }
    if (!pending.empty()) *only_ops = false;
    cbor_parser_free(p);
    return out;
}

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
    bool only_ops = false;
    EXPECT_EQ(rebuild_with_parser(old_value, delta, &only_ops), new_value);
    EXPECT_TRUE(only_ops);
    const delta_reference::Decoded decoded = delta_reference::decode_edit_delta(delta);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(delta_reference::check_shape(decoded.ops), "");
    std::string rebuilt;
    ASSERT_TRUE(delta_reference::rebuild(old_value, decoded.ops, rebuilt));
    EXPECT_EQ(rebuilt, new_value);
}

std::string random_bytes(std::mt19937 &rng, size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string random_text(std::mt19937 &rng, size_t n) {
    static const char *words[] = {"the ", "delta ", "value ", "old ", "new ", "copy ", "insert ", "\n", "{\"k\": ",
                                  "1, ", "2]", "abc", "xyz "};
    std::string s;
    while (s.size() < n) s += words[rng() % (sizeof(words) / sizeof(words[0]))];
    s.resize(n);
    return s;
}

/* The new value as an edit of the old: a few replaced, dropped and added
 * stretches. */
std::string mutate(std::mt19937 &rng, const std::string &old_value, bool text) {
    std::string s = old_value;
    const int edits = static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
        const size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        const size_t span = rng() % (1 + std::min<size_t>(s.size() - at, 1 + s.size() / 10));
        const std::string piece = text ? random_text(rng, rng() % 50) : random_bytes(rng, rng() % 50);
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
    const size_t sizes[] = {0, 1, 2, 3, 5, 17, 24, 100, 255, 256, 1000, 4096, 20000, 100000};
    for (size_t size : sizes) {
        for (int round = 0; round < (size >= 20000 ? 3 : 12); ++round) {
            const bool text = round % 2 == 0;
            const std::string old_value = text ? random_text(rng, size) : random_bytes(rng, size);
            SCOPED_TRACE(testing::Message() << "size " << size << " round " << round);
            check_round_trip(old_value, mutate(rng, old_value, text));
            check_round_trip(old_value, old_value);
            if (size <= 4096) check_round_trip(old_value, text ? random_text(rng, size) : random_bytes(rng, size));
        }
    }
}

TEST(Diff, RandomSmallAlphabetRoundTrips) {
    // Few symbols give many short matches: the cost rule is busy here.
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
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
    const std::string old_value = random_text(rng, 5000);
    const std::string new_value = mutate(rng, old_value, true);
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

/* Every allocation made to fail in turn: generation gives null or the exact
 * delta, application null or the exact value; nothing crashes or leaks. */
TEST(Diff, FailedAllocationsGiveNullOrTheRightAnswer) {
    const std::string o = "abcdefghijklmnopqrstuvwxyz0123", n = "abcdefghijXYklmnopqrstxyz0123";
    const std::string expected = from_hex("00 0A 42 58 59 0A 0A 17 07");
    Value a(o), b(n), d(expected), f6("\xF6"), repl(replacement_of(n));
    int generated = 0, applied = 0;
    for (long k = 0; k < 80; ++k) {
        core_alloc_fail_after(k);
        buf *delta = diff_generate_binary(a.b, b.b);
        core_alloc_fail_after(k);
        buf *value = diff_apply_binary(a.b, d.b);
        core_alloc_fail_after(k);
        buf *same = diff_apply_binary(a.b, f6.b);
        core_alloc_fail_after(k);
        buf *replaced = diff_apply_binary(a.b, repl.b);
        core_alloc_fail_after(k);
        buf *replacement = _write_replacement_delta(b.b);
        core_alloc_fail_after(-1);
        SCOPED_TRACE(k);
        if (delta != nullptr) {
            // A failure inside the engine may fall back to the replacement delta.
            const std::string got = take(delta);
            EXPECT_TRUE(got == expected || got == replacement_of(n)) << hex(got);
            generated += got == expected;
        }
        if (value != nullptr) {
            EXPECT_EQ(take(value), n);
            ++applied;
        }
        if (same != nullptr) {
            EXPECT_EQ(take(same), o);
        }
        if (replaced != nullptr) {
            EXPECT_EQ(take(replaced), n);
        }
        if (replacement != nullptr) {
            EXPECT_EQ(take(replacement), replacement_of(n));
        }
    }
    EXPECT_GT(generated, 0);
    EXPECT_GT(applied, 0);
}

} // namespace
