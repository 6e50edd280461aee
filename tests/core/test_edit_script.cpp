#include <gtest/gtest.h>

#include <sstream>

#include "delta/exact/coalescing_script.h"
#include "delta/exact/edit_script.h"
#include "delta_reference.h"

namespace {

using namespace delta_reference;

/* Old and new value, an edit script and the coalescing script in front, as for whole values. */
struct Fixture {
    const std::string old_s, new_s;
    const buf old_value, new_value;
    edit_script *script;
    coallescing_script cs;

    Fixture(const std::string &o, const std::string &n)
        : old_s(o), new_s(n), old_value(view(old_s)), new_value(view(new_s)),
          script(edit_script_create(&old_value, &new_value)), cs{script, 0, 0, COALESCING_RUN_NONE,
                                                                 0,      0, 1, nullptr} {}
    ~Fixture() { edit_script_free(script); }
    std::string output() const { return str(*script->output); }
    /* Calls "M<old>,<length>", "I<new>,<length>", "D", then close: its result, or 1 if refused. */
    int stream(const std::string &calls) {
        std::istringstream in(calls);
        char kind, comma;
        for (int32_t a = 0, b = 0; in >> kind;) {
            if (kind != 'D') in >> a >> comma >> b;
            if (!(kind == 'M'   ? coallescing_script_match(&cs, a, b)
                  : kind == 'I' ? coallescing_script_insert(&cs, a, b)
                                : coallescing_script_delete(&cs)))
                return 1;
        }
        return coallescing_script_close(&cs, (int32_t)old_s.size(), (int32_t)new_s.size());
    }
};

/* A stream and what close makes of it (0: an edit delta, its bytes; 1: replace; 2: no change). */
TEST(EditScript, CoalescingStreams) {
    const struct {
        std::string old_value, new_value, calls;
        int close_result;
        std::string output_hex;
    } cases[] = {
        {"abcdefghijklmnopqrstuvwxyz0123", "abcdefghijXYklmnopqrstxyz0123",
         "M0,10 I10,2 M10,10 D M23,7", 0, "00 0A 42 58 59 0A 0A 17 07"},
        {"hello world", "hello world", "M0,5 M5,6", 2, ""},
        {"abc", "", "D", 0, ""},
        {"", "abc", "I0,3", 1, ""},
        {"abc", "abcd", "M0,3 I3,1", 1, ""}, /* the insert would leave no byte saved */
        {"xxabc", "abc", "M0,0 I0,-4 D M2,3 M9,0 I3,0", 0, "02 03"},
        /* a copy (24, 3) encodes to 18 18 03: it fits a 4-byte new value, not a 3-byte one */
        {std::string(24, 'x') + "abc", "abcQ", "M24,3", 0, "18 18 03"},
        {std::string(24, 'x') + "abc", "abc", "M24,3", 1, ""},
    };
    for (const auto &c : cases) {
        Fixture f(c.old_value, c.new_value);
        EXPECT_EQ(f.stream(c.calls), c.close_result) << c.calls;
        EXPECT_EQ(c.close_result == 1 ? "" : hex(f.output()), c.output_hex) << c.calls;
    }
}

/* The cost rule at its boundaries, a literal of k bytes before and after a copy (o, n): keep =
 * 1 + head(o), merge = head(k + n) + n - head(k); ties go to the literal. */
TEST(EditScript, CostRuleBoundaries) {
    const int32_t cases[][4] = {/* literal, copy offset, copy length, becomes literal */
                                {5, 23, 3, 0},    {5, 24, 3, 1},    {22, 7, 2, 0},
                                {21, 7, 2, 1},    {23, 0, 1, 1},    {255, 0, 2, 0},
                                {255, 24, 2, 1},  {65535, 0, 1, 0}, {65535, 256, 1, 1},
                                {5, 65536, 6, 1}, {5, 65536, 7, 0}, {5, 255, 4, 0}};
    const std::string o(70000, 'o'), n(70000, 'n');
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c[0] << " " << c[1] << " " << c[2]);
        const int32_t merged = c[0] + (c[3] ? c[2] : 0);
        Fixture f(o, n), g(o, n);
        ASSERT_EQ(edit_script_insert(f.script, 0, c[0]) + edit_script_match(f.script, c[1], c[2]),
                  2);
        EXPECT_EQ(f.script->copy_offset, c[3] ? -1 : c[1]);
        EXPECT_EQ(f.script->insert_length, merged);
        ASSERT_EQ(edit_script_match(g.script, c[1], c[2]) +
                      edit_script_insert(g.script, 100 + c[2], c[0]),
                  2);
        EXPECT_EQ(g.script->insert_offset, c[3] ? 100 : 100 + c[2]);
        EXPECT_EQ(g.script->insert_length, merged);
        EXPECT_EQ(g.output().empty(), c[3] != 0); /* otherwise the copy was written */
    }
}

TEST(EditScript, BadArguments) {
    Fixture f("abcdef", "abcdefgh");
    for (int32_t n : {0, -1, INT32_MIN}) /* change nothing */
        EXPECT_EQ(edit_script_match(f.script, 0, n) + edit_script_insert(f.script, 0, n), 2);
    EXPECT_EQ(f.script->budget, 8);
    EXPECT_EQ(edit_script_match(f.script, -3, 2) + edit_script_insert(f.script, -1, 2), 0);
    Fixture g("abc", "abcdefgh");
    ASSERT_EQ(edit_script_insert(g.script, 6, 5), 1); /* not inside the new value */
    EXPECT_EQ(edit_script_close(g.script), 0);
    EXPECT_EQ(g.output(), "");
    EXPECT_EQ(edit_script_match(nullptr, 0, 1) + edit_script_insert(nullptr, 0, 1) +
                  edit_script_close(nullptr),
              0);
}

} // namespace
