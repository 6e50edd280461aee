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

/* Old and new value with an edit script and the coalescing script in front
 * of it, set up as the engine does for whole values. */
struct Fixture {
    buf *old_value, *new_value;
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
    std::string output() const {
        const buf *b = script->output;
        return b->length == 0 ? std::string() : std::string(reinterpret_cast<const char *>(b->data), b->length);
    }
};

const std::string kOld = "abcdefghijklmnopqrstuvwxyz0123";
const std::string kNew = "abcdefghijXYklmnopqrstxyz0123";

enum Call { MATCH, INSERT, DELETE };
struct Event {
    Call call;
    int32_t a, b;
};

int run(coallescing_script *cs, const Event &e) {
    switch (e.call) {
    case MATCH: return coallescing_script_match(cs, e.a, e.b);
    case INSERT: return coallescing_script_insert(cs, e.a, e.b);
    case DELETE: return coallescing_script_delete(cs);
    }
    return -1;
}

TEST(EditScript, WorkedExampleCallByCall) {
    Fixture f(kOld, kNew);
    ASSERT_NE(f.script, nullptr);
    const struct {
        Event event;
        const char *output_hex;
    } rows[] = {{{MATCH, 0, 10}, ""}, {{INSERT, 10, 2}, ""}, {{MATCH, 10, 10}, "00 0A"}, {{DELETE, 0, 0}, "00 0A"},
                {{MATCH, 23, 7}, "00 0A"}};
    for (const auto &r : rows) {
        EXPECT_EQ(run(&f.cs, r.event), 1);
        EXPECT_EQ(hex(f.output()), r.output_hex);
    }
    EXPECT_EQ(coallescing_script_close(&f.cs, 30, 29), 0);
    EXPECT_EQ(hex(f.output()), "00 0A 42 58 59 0A 0A 17 07");
    EXPECT_EQ(f.script->budget, 20);
}

/* A scripted stream on the coalescing script and what close makes of it
 * (0: an edit delta, whose bytes are checked; 1: replacement; 2: no change). */
TEST(EditScript, CoalescingStreams) {
    const struct {
        const char *name;
        std::string old_value, new_value;
        std::vector<Event> calls;
        int close_result;
        std::string output_hex;
    } cases[] = {
        {"equal", "hello world", "hello world", {{MATCH, 0, 11}}, 2, ""},
        {"equal_in_pieces", "hello world", "hello world", {{MATCH, 0, 5}, {MATCH, 5, 6}}, 2, ""},
        {"both_empty", "", "", {{MATCH, 0, 0}, {INSERT, 0, 0}}, 2, ""},
        {"new_empty", "abc", "", {{DELETE, 0, 0}}, 0, ""},
        {"old_empty", "", "abc", {{INSERT, 0, 3}}, 1, ""},
        {"nothing_reused", "abc", "xyz", {{INSERT, 0, 3}, {DELETE, 0, 0}}, 1, ""},
        {"drop_first_two", "xxabc", "abc", {{DELETE, 0, 0}, {MATCH, 2, 3}}, 0, "02 03"},
        {"prefix_of_old", "abcdefghij", "abcdefg", {{MATCH, 0, 7}, {DELETE, 0, 0}}, 0, "00 07"},
        {"small_values", "abc", "abcd", {{MATCH, 0, 3}, {INSERT, 3, 1}}, 1, ""},
        {"zero_and_negative_lengths", "xxabc", "abc",
         {{MATCH, 0, 0}, {INSERT, 0, -4}, {DELETE, 0, 0}, {MATCH, 2, 3}, {MATCH, 9, 0}, {INSERT, 3, 0}}, 0, "02 03"},
        // A deletion inside an insert run does not split it: one insert of 7.
        {"delete_inside_insert_run", std::string(40, 'o') + "0123456789", "ABCDEFG0123456789" "0123456789",
         {{INSERT, 0, 3}, {DELETE, 0, 0}, {INSERT, 3, 4}, {MATCH, 40, 10}, {DELETE, 0, 0}, {MATCH, 40, 10}}, 0,
         "47 41 42 43 44 45 46 47 18 28 0A 18 28 0A"},
        // A copy of 1 byte between two literal runs becomes literal bytes.
        {"one_byte_copy_absorbed", "Z" + std::string(60, '.'), "abZcd" + std::string(30, '.'),
         {{INSERT, 0, 2}, {MATCH, 0, 1}, {INSERT, 3, 2}, {MATCH, 1, 30}}, 0, "45 61 62 5A 63 64 01 18 1E"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(c.old_value, c.new_value);
        for (const Event &e : c.calls) EXPECT_EQ(run(&f.cs, e), 1);
        EXPECT_EQ(coallescing_script_close(&f.cs, static_cast<int32_t>(c.old_value.size()),
                                           static_cast<int32_t>(c.new_value.size())),
                  c.close_result);
        if (c.close_result != 1) {
            EXPECT_EQ(hex(f.output()), c.output_hex);
        }
    }
}

/* The cost rule at its boundaries, from both sides: a pending literal of k
 * bytes then a copy (o, n), and a pending copy (o, n) then a literal of k
 * bytes. keep = 1 + head(o), merge = head(k + n) + n - head(k); ties go to
 * the literal. */
TEST(EditScript, CostRuleBoundaries) {
    const struct {
        int32_t literal, copy_offset, copy_length;
        bool becomes_literal;
    } cases[] = {
        // literal 5 + copy of 3: merge 3; keep 2 below offset 24, 3 or 4 up to 65535, 6 above.
        {5, 0, 3, false}, {5, 23, 3, false}, {5, 24, 3, true}, {5, 255, 3, true}, {5, 256, 3, true},
        {5, 65535, 3, true}, {5, 65536, 3, true},
        {100, 0, 1, true}, {100, 69000, 1, true},  // merge 1, keep at least 2
        {5, 7, 2, true}, {22, 7, 2, false}, {21, 7, 2, true},  // 22 + 2 = 24 needs a 2-byte head
        {23, 0, 1, true},                                       // merge = 2 + 1 - 1 = 2, a tie
        {255, 0, 2, false}, {255, 24, 2, true}, {65535, 0, 1, false}, {65535, 256, 1, true},
        {5, 65536, 6, true}, {5, 65536, 7, false}, {5, 255, 4, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.literal << " " << c.copy_offset << " " << c.copy_length);
        Fixture f(std::string(70000, 'o'), std::string(70000, 'n'));
        ASSERT_EQ(edit_script_insert(f.script, 0, c.literal), 1);
        ASSERT_EQ(edit_script_match(f.script, c.copy_offset, c.copy_length), 1);
        EXPECT_EQ(f.script->copy_offset, c.becomes_literal ? -1 : c.copy_offset);
        EXPECT_EQ(f.script->insert_length, c.literal + (c.becomes_literal ? c.copy_length : 0));
        EXPECT_EQ(f.output(), "");

        Fixture g(std::string(70000, 'o'), std::string(70000, 'n'));
        ASSERT_EQ(edit_script_match(g.script, c.copy_offset, c.copy_length), 1);
        ASSERT_EQ(edit_script_insert(g.script, 100 + c.copy_length, c.literal), 1);
        EXPECT_EQ(g.script->copy_offset, -1);
        EXPECT_EQ(g.script->insert_offset, c.becomes_literal ? 100 : 100 + c.copy_length);
        EXPECT_EQ(g.script->insert_length, c.literal + (c.becomes_literal ? c.copy_length : 0));
        EXPECT_EQ(g.output().empty(), c.becomes_literal);  // otherwise the copy was written
    }
}

TEST(EditScript, HeadSizeBoundaries) {
    const struct {
        int32_t n, size;
    } table[] = {{0, 1},     {23, 1},  {24, 2},  {255, 2},     {256, 3},       {65535, 3},
                 {65536, 5}, {-23, 1}, {-24, 2}, {-65536, 5}, {INT32_MAX, 5}, {INT32_MIN, 5}};
    for (const auto &row : table) EXPECT_EQ(_edit_script_head_size(row.n), row.size) << row.n;
}

TEST(EditScript, BudgetStopsBeforeTheOutputReachesTheNewLength) {
    // New value of 4 bytes: copy 00 03 leaves 2; the insert 41 64 would leave 0.
    Fixture f("abc", "abcd");
    ASSERT_EQ(edit_script_match(f.script, 0, 3), 1);
    ASSERT_EQ(edit_script_insert(f.script, 3, 1), 1);
    EXPECT_EQ(hex(f.output()), "00 03");
    EXPECT_EQ(f.script->budget, 2);
    EXPECT_EQ(edit_script_close(f.script), 0);
    EXPECT_EQ(hex(f.output()), "00 03");
    EXPECT_EQ(f.script->budget, 0);
    // A copy (24, 3) encodes to 18 18 03: it fits a 4-byte new value, not a 3-byte one.
    for (const std::string n : {"abcQ", "abc"}) {
        Fixture g(std::string(24, 'x') + "abc", n);
        ASSERT_EQ(edit_script_match(g.script, 24, 3), 1);
        EXPECT_EQ(edit_script_close(g.script), n.size() == 4 ? 1 : 0) << n;
        EXPECT_EQ(g.script->budget, n.size() == 4 ? 1 : 0);
        EXPECT_EQ(hex(g.output()), n.size() == 4 ? "18 18 03" : "");
    }
}

TEST(EditScript, BadArguments) {
    Fixture f("abcdef", "abcdefgh");
    for (int32_t n : {0, -1, INT32_MIN}) { /* change nothing */
        EXPECT_EQ(edit_script_match(f.script, 0, n), 1);
        EXPECT_EQ(edit_script_insert(f.script, 0, n), 1);
    }
    EXPECT_EQ(f.script->budget, 8);
    EXPECT_EQ(edit_script_match(f.script, -3, 2), 0);
    EXPECT_EQ(edit_script_insert(f.script, -1, 2), 0);
    Fixture g("abc", "abcdefgh");
    ASSERT_EQ(edit_script_insert(g.script, 6, 5), 1); /* not inside the new value */
    EXPECT_EQ(edit_script_close(g.script), 0);
    EXPECT_EQ(g.output(), "");
    EXPECT_EQ(edit_script_match(nullptr, 0, 1) + edit_script_insert(nullptr, 0, 1) + edit_script_close(nullptr), 0);
}

/* Every allocation of the worked example failed in turn: creation gives null, or
 * the run completes with the exact delta or reports that it cannot. */
TEST(EditScript, FailedAllocationsNeverReportSuccess) {
    Fixture values(kOld, kNew);
    for (long k = 0; k < 2; ++k) { /* the record, then its output */
        core_alloc_fail_after(k);
        EXPECT_EQ(edit_script_create(values.old_value, values.new_value), nullptr) << k;
        core_alloc_fail_after(-1);
    }
    bool completed = false;
    for (long k = 0; k < 64 && !completed; ++k) {
        Fixture f(kOld, kNew);
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
 * complete delta must rebuild the new value by the reference reader, be
 * shorter than it, and leave the budget at exactly the bytes it saved. */
TEST(EditScript, RandomStreamsRebuildTheNewValue) {
    std::mt19937 rng(12345);
    int complete = 0;
    for (int round = 0; round < 3000; ++round) {
        const size_t old_size = rng() % 400;
        std::string old_value, new_value;
        for (size_t i = 0; i < old_size; ++i) old_value += static_cast<char>('a' + rng() % 4);
        std::vector<Event> events;
        bool last_was_copy = false;
        for (int s = static_cast<int>(rng() % 12); s > 0; --s) {
            if (old_size > 0 && rng() % 3 != 0) {
                const size_t offset = rng() % old_size;
                const size_t length = 1 + rng() % std::min<size_t>(old_size - offset, rng() % 2 ? 4 : 200);
                if (last_was_copy) events.push_back({DELETE, 0, 0});  // copies meet only across a deletion
                events.push_back({MATCH, static_cast<int32_t>(offset), static_cast<int32_t>(length)});
                new_value += old_value.substr(offset, length);
                last_was_copy = true;
            } else {
                const size_t length = 1 + rng() % (rng() % 2 ? 3 : 40), at = new_value.size();
                for (size_t i = 0; i < length; ++i) new_value += static_cast<char>('A' + rng() % 26);
                events.push_back({INSERT, static_cast<int32_t>(at), static_cast<int32_t>(length)});
                if (rng() % 2) events.push_back({DELETE, 0, 0});
                last_was_copy = false;
            }
        }
        Fixture f(old_value, new_value);
        int go = 1;
        for (size_t i = 0; i < events.size() && go; ++i) go = run(&f.cs, events[i]);
        const int result = go ? coallescing_script_close(&f.cs, static_cast<int32_t>(old_value.size()),
                                                         static_cast<int32_t>(new_value.size()))
                              : 1;
        SCOPED_TRACE(round);
        if (result == 2) {
            EXPECT_EQ(new_value, old_value);
        }
        if (result != 0) continue;
        ++complete;
        const std::string delta = f.output();
        // Only a deletion of everything gives an empty delta, for an empty new value.
        if (!new_value.empty()) {
            EXPECT_LT(delta.size(), new_value.size());
        } else {
            EXPECT_EQ(delta, "");
        }
        EXPECT_EQ(f.script->budget, static_cast<int32_t>(new_value.size() - delta.size()));
        std::string rebuilt;
        ASSERT_EQ(delta_reference::rebuild(old_value, delta, rebuilt), "") << hex(delta);
        EXPECT_EQ(rebuilt, new_value);
    }
    EXPECT_GT(complete, 500);
}

} // namespace
