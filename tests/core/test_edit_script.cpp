#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "alloc.h"
#include "coallescing_script.h"
#include "delta_reference.h"
#include "edit_script.h"

namespace {

using delta_reference::hex;

buf *make_buf(const std::string &s) {
    buf *b = buf_create();
    buf_write_bytes(b, s.data(), s.size());
    return b;
}

std::string content(const buf *b) {
    return b->length == 0 ? std::string() : std::string(reinterpret_cast<const char *>(b->data), b->length);
}

/* Old and new value with an edit script and the coalescing script in front
 * of it, set up as the engine does for whole values. */
struct Fixture {
    buf *old_value;
    buf *new_value;
    edit_script *script;
    coallescing_script cs;

    Fixture(const std::string &o, const std::string &n)
        : old_value(make_buf(o)), new_value(make_buf(n)), script(edit_script_create(old_value, new_value)),
          cs{script, 0, 0, COALLESCING_RUN_NONE, 0, 0, 1} {}
    ~Fixture() {
        edit_script_free(script);
        buf_free(old_value);
        buf_free(new_value);
    }
    std::string output() const { return content(script->output); }
};

const std::string kOld = "abcdefghijklmnopqrstuvwxyz0123";
const std::string kNew = "abcdefghijXYklmnopqrstxyz0123";

enum Call { MATCH, INSERT, DELETE, CLOSE };
struct Row {
    Call call;
    int32_t a, b;
    int result;
    std::string output_hex;
    int32_t budget;
};

int run(coallescing_script *cs, const Row &r) {
    switch (r.call) {
    case MATCH: return coallescing_script_match(cs, r.a, r.b);
    case INSERT: return coallescing_script_insert(cs, r.a, r.b);
    case DELETE: return coallescing_script_delete(cs);
    case CLOSE: return coallescing_script_close(cs, r.a, r.b);
    }
    return -1;
}

TEST(EditScript, WorkedExampleCallByCall) {
    Fixture f(kOld, kNew);
    ASSERT_NE(f.script, nullptr);
    EXPECT_EQ(f.script->budget, 29);
    const Row rows[] = {
        {MATCH, 0, 10, 1, "", 29},
        {INSERT, 10, 2, 1, "", 29},
        {MATCH, 10, 10, 1, "00 0A", 27},
        {DELETE, 0, 0, 1, "00 0A", 27},
        {MATCH, 23, 7, 1, "00 0A", 27},
        {CLOSE, 30, 29, 0, "00 0A 42 58 59 0A 0A 17 07", 20},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.call);
        EXPECT_EQ(run(&f.cs, r), r.result);
        EXPECT_EQ(hex(f.output()), r.output_hex);
        EXPECT_EQ(f.script->budget, r.budget);
    }
    // The run state the example walks through.
    EXPECT_EQ(f.cs.untouched, 0);
}

TEST(EditScript, WorkedExamplePendingState) {
    Fixture f(kOld, kNew);
    coallescing_script_match(&f.cs, 0, 10);
    coallescing_script_insert(&f.cs, 10, 2);
    EXPECT_EQ(f.script->copy_offset, 0);
    EXPECT_EQ(f.script->copy_length, 10);
    EXPECT_EQ(f.script->insert_offset, -1);
    coallescing_script_match(&f.cs, 10, 10);
    EXPECT_EQ(f.script->copy_offset, -1);
    EXPECT_EQ(f.script->insert_offset, 10);
    EXPECT_EQ(f.script->insert_length, 2);
    coallescing_script_delete(&f.cs);
    EXPECT_EQ(f.cs.run_kind, static_cast<uint32_t>(COALLESCING_RUN_NONE));
    EXPECT_EQ(f.script->copy_offset, 10);
    EXPECT_EQ(f.script->copy_length, 10);
}

TEST(EditScript, CreateState) {
    Fixture f("old", "a new value");
    ASSERT_NE(f.script, nullptr);
    EXPECT_EQ(f.script->insert_offset, -1);
    EXPECT_EQ(f.script->copy_offset, -1);
    EXPECT_EQ(f.script->budget, 11);
    EXPECT_EQ(f.script->old_value, f.old_value);
    EXPECT_EQ(f.script->new_value, f.new_value);
    ASSERT_NE(f.script->output, nullptr);
    EXPECT_EQ(f.script->output->length, 0u);
    edit_script_free(nullptr);
}

/* A scripted stream on the coalescing script and what close makes of it. */
struct StreamCase {
    const char *name;
    std::string old_value, new_value;
    std::vector<Row> calls; /* results of each call must be 1 */
    int close_result;
    std::string output_hex;
};

class CoalescingStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(CoalescingStream, CloseResultAndBytes) {
    const StreamCase &c = GetParam();
    Fixture f(c.old_value, c.new_value);
    for (const Row &r : c.calls) EXPECT_EQ(run(&f.cs, r), 1);
    EXPECT_EQ(coallescing_script_close(&f.cs, static_cast<int32_t>(c.old_value.size()),
                                       static_cast<int32_t>(c.new_value.size())),
              c.close_result);
    if (c.close_result != 1) {
        EXPECT_EQ(hex(f.output()), c.output_hex);
    }
}

const std::string k100(100, 'q');

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, CoalescingStream,
    ::testing::Values(
        StreamCase{"equal", "hello world", "hello world", {{MATCH, 0, 11, 1, "", 0}}, 2, ""},
        StreamCase{"equal_in_pieces", "hello world", "hello world",
                   {{MATCH, 0, 5, 1, "", 0}, {MATCH, 5, 6, 1, "", 0}}, 2, ""},
        StreamCase{"both_empty", "", "", {{MATCH, 0, 0, 1, "", 0}, {INSERT, 0, 0, 1, "", 0}}, 2, ""},
        StreamCase{"new_empty", "abc", "", {{DELETE, 0, 0, 1, "", 0}}, 0, ""},
        StreamCase{"old_empty", "", "abc", {{INSERT, 0, 3, 1, "", 0}}, 1, ""},
        StreamCase{"nothing_reused", "abc", "xyz", {{INSERT, 0, 3, 1, "", 0}, {DELETE, 0, 0, 1, "", 0}}, 1, ""},
        StreamCase{"drop_first_two", "xxabc", "abc", {{DELETE, 0, 0, 1, "", 0}, {MATCH, 2, 3, 1, "", 0}}, 0,
                   "02 03"},
        StreamCase{"prefix_of_old", "abcdefghij", "abcdefg", {{MATCH, 0, 7, 1, "", 0}, {DELETE, 0, 0, 1, "", 0}}, 0,
                   "00 07"},
        StreamCase{"small_values", "abc", "abcd", {{MATCH, 0, 3, 1, "", 0}, {INSERT, 3, 1, 1, "", 0}}, 1, ""},
        StreamCase{"zero_and_negative_lengths", "xxabc", "abc",
                   {{MATCH, 0, 0, 1, "", 0},
                    {INSERT, 0, -4, 1, "", 0},
                    {DELETE, 0, 0, 1, "", 0},
                    {MATCH, 2, 3, 1, "", 0},
                    {MATCH, 9, 0, 1, "", 0},
                    {INSERT, 3, 0, 1, "", 0}},
                   0, "02 03"},
        // A deletion inside an insert run does not split it: one insert of 7.
        StreamCase{"delete_inside_insert_run", std::string(40, 'o') + "0123456789",
                   std::string("ABCDEFG") + "0123456789" + "0123456789",
                   {{INSERT, 0, 3, 1, "", 0},
                    {DELETE, 0, 0, 1, "", 0},
                    {INSERT, 3, 4, 1, "", 0},
                    {MATCH, 40, 10, 1, "", 0},
                    {DELETE, 0, 0, 1, "", 0},
                    {MATCH, 40, 10, 1, "", 0}},
                   0, "47 41 42 43 44 45 46 47 18 28 0A 18 28 0A"},
        // A copy of 1 byte between two literal runs becomes literal bytes.
        StreamCase{"one_byte_copy_absorbed", "Z" + std::string(60, '.'), "ab" + std::string("Z") + "cd" +
                                                                           std::string(30, '.'),
                   {{INSERT, 0, 2, 1, "", 0}, {MATCH, 0, 1, 1, "", 0}, {INSERT, 3, 2, 1, "", 0},
                    {MATCH, 1, 30, 1, "", 0}},
                   0, "45 61 62 5A 63 64 01 18 1E"}),
    [](const ::testing::TestParamInfo<StreamCase> &info) { return std::string(info.param.name); });

/* The cost rule at its boundaries, on the edit script directly: a pending
 * literal of k bytes followed by a copy (o, n) (match rule), and a pending
 * copy (o, m) followed by a literal of n bytes (insert rule). keep =
 * 1 + head(o), merge = head(k + n) + n - head(k); ties go to literal. */
struct CostCase {
    int32_t literal;
    int32_t copy_offset;
    int32_t copy_length;
    bool becomes_literal;
};

class CostRule : public ::testing::TestWithParam<CostCase> {};

TEST_P(CostRule, MatchAfterLiteral) {
    const CostCase c = GetParam();
    Fixture f(std::string(70000, 'o'), std::string(70000, 'n'));
    ASSERT_EQ(edit_script_insert(f.script, 0, c.literal), 1);
    ASSERT_EQ(edit_script_match(f.script, c.copy_offset, c.copy_length), 1);
    if (c.becomes_literal) {
        EXPECT_EQ(f.script->copy_offset, -1);
        EXPECT_EQ(f.script->insert_length, c.literal + c.copy_length);
    } else {
        EXPECT_EQ(f.script->copy_offset, c.copy_offset);
        EXPECT_EQ(f.script->copy_length, c.copy_length);
        EXPECT_EQ(f.script->insert_length, c.literal);
    }
    EXPECT_EQ(f.script->insert_offset, 0);
    EXPECT_EQ(f.output(), "");
}

TEST_P(CostRule, InsertAfterCopy) {
    // The same weighing from the other side: copy (o, n) pending, then the
    // literal of k bytes arrives right after it in the new value.
    const CostCase c = GetParam();
    Fixture f(std::string(70000, 'o'), std::string(70000, 'n'));
    ASSERT_EQ(edit_script_match(f.script, c.copy_offset, c.copy_length), 1);
    ASSERT_EQ(edit_script_insert(f.script, 100 + c.copy_length, c.literal), 1);
    if (c.becomes_literal) {
        EXPECT_EQ(f.script->copy_offset, -1);
        EXPECT_EQ(f.script->insert_offset, 100);
        EXPECT_EQ(f.script->insert_length, c.literal + c.copy_length);
        EXPECT_EQ(f.output(), "");
    } else {
        // The copy was written and the literal is pending on its own.
        EXPECT_EQ(f.script->copy_offset, -1);
        EXPECT_EQ(f.script->insert_offset, 100 + c.copy_length);
        EXPECT_EQ(f.script->insert_length, c.literal);
        EXPECT_NE(f.output(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, CostRule,
    ::testing::Values(
        // literal 5 + copy of 3: merge 3; keep 2 below offset 24, 3 or 4 up to 65535, 6 above.
        CostCase{5, 0, 3, false}, CostCase{5, 23, 3, false}, CostCase{5, 24, 3, true}, CostCase{5, 255, 3, true},
        CostCase{5, 256, 3, true}, CostCase{5, 65535, 3, true}, CostCase{5, 65536, 3, true},
        // copy of 1 beside a literal of 100: merge 1, keep at least 2.
        CostCase{100, 0, 1, true}, CostCase{100, 69000, 1, true},
        // copy of 2 at offset < 24: merge 2 <= keep 2 (tie goes to literal) ...
        CostCase{5, 7, 2, true},
        // ... unless the literal's head grows: 22 + 2 = 24 needs a 2-byte head, merge 3.
        CostCase{22, 7, 2, false}, CostCase{21, 7, 2, true},
        // 23 + 1 = 24: merge = 2 + 1 - 1 = 2, a tie.
        CostCase{23, 0, 1, true},
        // 255 + 2: head 2 -> 3, merge 3 > keep 2 (offset 0) but <= keep 3 (offset 24).
        CostCase{255, 0, 2, false}, CostCase{255, 24, 2, true},
        // 65535 + 1: head 3 -> 5, merge 3 > keep 2, <= keep 4 at offset 256.
        CostCase{65535, 0, 1, false}, CostCase{65535, 256, 1, true},
        // Longer copies stay copies unless the offset is expensive.
        CostCase{5, 65536, 6, true}, CostCase{5, 65536, 7, false}, CostCase{5, 255, 4, false}));

TEST(EditScript, HeadSizeBoundaries) {
    const struct {
        int32_t n;
        int32_t size;
    } table[] = {{0, 1},     {23, 1},     {24, 2},        {255, 2},        {256, 3},       {65535, 3},
                 {65536, 5}, {-23, 1},    {-24, 2},       {-65536, 5},     {INT32_MAX, 5}, {INT32_MIN, 5}};
    for (const auto &row : table) EXPECT_EQ(_edit_script_head_size(row.n), row.size) << row.n;
}

TEST(EditScript, ZeroAndNegativeLengthsChangeNothing) {
    Fixture f("abcdef", "abcdef");
    for (int32_t n : {0, -1, INT32_MIN}) {
        EXPECT_EQ(edit_script_match(f.script, 0, n), 1);
        EXPECT_EQ(edit_script_insert(f.script, 0, n), 1);
    }
    EXPECT_EQ(f.script->copy_offset, -1);
    EXPECT_EQ(f.script->insert_offset, -1);
    EXPECT_EQ(f.script->budget, 6);
}

TEST(EditScript, BudgetStopsBeforeTheOutputReachesTheNewLength) {
    // New value of 4 bytes: copy 00 03 leaves 2; the insert 41 64 would leave 0.
    Fixture f("abc", "abcd");
    ASSERT_EQ(edit_script_match(f.script, 0, 3), 1);
    EXPECT_EQ(f.output(), "");
    // merge 3 > keep 2: the copy is written, the literal becomes pending.
    ASSERT_EQ(edit_script_insert(f.script, 3, 1), 1);
    EXPECT_EQ(hex(f.output()), "00 03");
    EXPECT_EQ(f.script->budget, 2);
    EXPECT_EQ(edit_script_close(f.script), 0);
    EXPECT_EQ(hex(f.output()), "00 03");
    EXPECT_EQ(f.script->budget, 0);
    // Both still pending: nothing is written once the budget is gone.
    EXPECT_EQ(f.script->insert_offset, 3);
}

TEST(EditScript, BudgetFailsOnlyBelowOne) {
    // A copy (24, 3) encodes to 3 bytes (18 18 03): it fits a 4-byte new
    // value with one byte to spare, but not a 3-byte one.
    const struct {
        std::string new_value;
        int result;
        int32_t budget;
        std::string output_hex;
    } table[] = {{"abcQ", 1, 1, "18 18 03"}, {"abc", 0, 0, ""}};
    for (const auto &row : table) {
        Fixture f(std::string(24, 'x') + "abc", row.new_value);
        ASSERT_EQ(edit_script_match(f.script, 24, 3), 1);
        EXPECT_EQ(edit_script_close(f.script), row.result) << row.new_value;
        EXPECT_EQ(f.script->budget, row.budget);
        EXPECT_EQ(hex(f.output()), row.output_hex);
    }
}

TEST(EditScript, InsertThatDoesNotLieInTheNewValueStops) {
    Fixture f("abc", "abcdefgh");
    ASSERT_EQ(edit_script_insert(f.script, 6, 5), 1);
    EXPECT_EQ(edit_script_close(f.script), 0);
    EXPECT_EQ(f.output(), "");
}

TEST(EditScript, NegativeOffsetsStop) {
    Fixture f("abc", "abcdefgh");
    EXPECT_EQ(edit_script_match(f.script, -3, 2), 0);
    EXPECT_EQ(edit_script_insert(f.script, -1, 2), 0);
}

TEST(EditScript, NullScriptStops) {
    EXPECT_EQ(edit_script_match(nullptr, 0, 1), 0);
    EXPECT_EQ(edit_script_insert(nullptr, 0, 1), 0);
    EXPECT_EQ(edit_script_close(nullptr), 0);
}

TEST(EditScript, CreateReturnsNullWhenAllocationFails) {
    buf *o = make_buf("abc");
    buf *n = make_buf("abcd");
    for (long k = 0; k < 2; ++k) {
        core_alloc_fail_after(k);
        edit_script *s = edit_script_create(o, n);
        core_alloc_fail_after(-1);
        EXPECT_EQ(s, nullptr) << k;
        edit_script_free(s);
    }
    buf_free(o);
    buf_free(n);
}

TEST(EditScript, FailedWritesNeverReportSuccess) {
    // Every allocation of the worked example made to fail in turn: the run
    // either completes with the exact delta or reports that it cannot.
    bool completed = false;
    for (long k = 0; k < 64 && !completed; ++k) {
        Fixture f(kOld, kNew);
        ASSERT_NE(f.script, nullptr);
        core_alloc_fail_after(k);
        int ok = coallescing_script_match(&f.cs, 0, 10) && coallescing_script_insert(&f.cs, 10, 2) &&
                 coallescing_script_match(&f.cs, 10, 10) && coallescing_script_delete(&f.cs) &&
                 coallescing_script_match(&f.cs, 23, 7);
        const int result = ok ? coallescing_script_close(&f.cs, 30, 29) : 1;
        core_alloc_fail_after(-1);
        if (result == 0) {
            EXPECT_EQ(hex(f.output()), "00 0A 42 58 59 0A 0A 17 07") << k;
            completed = true;
        } else {
            EXPECT_EQ(result, 1) << k;
        }
    }
    EXPECT_TRUE(completed);
}

/* Random event streams built from a known edit of a random old value. Every
 * complete delta must decode (by the reference reader) to operations that
 * rebuild the new value, be shorter than it, and leave the budget at exactly
 * the bytes it saved. */
TEST(EditScript, RandomStreamsRebuildTheNewValue) {
    std::mt19937 rng(12345);
    int complete = 0;
    for (int round = 0; round < 3000; ++round) {
        const size_t old_size = rng() % 400;
        std::string old_value;
        for (size_t i = 0; i < old_size; ++i) old_value += static_cast<char>('a' + rng() % 4);

        struct Event {
            Call call;
            int32_t a, b;
        };
        std::vector<Event> events;
        std::string new_value;
        bool last_was_copy = false;
        const int segments = static_cast<int>(rng() % 12);
        for (int s = 0; s < segments; ++s) {
            if (old_size > 0 && rng() % 3 != 0) {
                const size_t offset = rng() % old_size;
                const size_t length = 1 + rng() % std::min<size_t>(old_size - offset, rng() % 2 ? 4 : 200);
                if (last_was_copy) events.push_back({DELETE, 0, 0}); // copies meet only across a deletion
                events.push_back({MATCH, static_cast<int32_t>(offset), static_cast<int32_t>(length)});
                new_value += old_value.substr(offset, length);
                last_was_copy = true;
            } else {
                const size_t length = 1 + rng() % (rng() % 2 ? 3 : 40);
                const size_t at = new_value.size();
                for (size_t i = 0; i < length; ++i) new_value += static_cast<char>('A' + rng() % 26);
                events.push_back({INSERT, static_cast<int32_t>(at), static_cast<int32_t>(length)});
                if (rng() % 2) events.push_back({DELETE, 0, 0});
                last_was_copy = false;
            }
        }
        Fixture f(old_value, new_value);
        int go = 1;
        for (const Event &e : events) {
            if (!go) break;
            go = run(&f.cs, Row{e.call, e.a, e.b, 0, "", 0});
        }
        const int result = go ? coallescing_script_close(&f.cs, static_cast<int32_t>(old_value.size()),
                                                         static_cast<int32_t>(new_value.size()))
                              : 1;
        SCOPED_TRACE(round);
        if (result == 2) {
            EXPECT_EQ(new_value, old_value);
            continue;
        }
        if (result != 0) continue;
        ++complete;
        const std::string delta = f.output();
        // Only a deletion of everything gives an empty delta for an empty
        // new value; every other complete delta saved at least one byte.
        if (!new_value.empty()) EXPECT_LT(delta.size(), new_value.size());
        else EXPECT_EQ(delta, "");
        EXPECT_EQ(f.script->budget, static_cast<int32_t>(new_value.size() - delta.size()));
        const delta_reference::Decoded decoded = delta_reference::decode_edit_delta(delta);
        ASSERT_TRUE(decoded.ok) << decoded.error << ": " << hex(delta);
        EXPECT_EQ(delta_reference::check_shape(decoded.ops), "") << hex(delta);
        std::string rebuilt;
        ASSERT_TRUE(delta_reference::rebuild(old_value, decoded.ops, rebuilt));
        EXPECT_EQ(rebuilt, new_value);
    }
    EXPECT_GT(complete, 500);
}

} // namespace
