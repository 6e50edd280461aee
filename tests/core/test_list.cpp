#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "alloc.h"
#include "list.h"

namespace {

using Items = std::vector<void *>;

char A[] = "A", B[] = "B", C[] = "C", D[] = "D", E[] = "E", X[] = "X";

std::vector<void *> g_released;
void record_release(void *data) { g_released.push_back(data); }

std::vector<void *> g_duplicated;
void *record_duplicate(void *data) {
    g_duplicated.push_back(data);
    /* Distinct pointers the test can predict. */
    return data == nullptr ? static_cast<void *>(X) : static_cast<char *>(data) + 1;
}

int same_text(void *a, void *b) { return strcmp(static_cast<char *>(a), static_cast<char *>(b)) == 0; }

/* Walks both directions and checks the end links, every prev/next pair and
 * the element sequence. */
::testing::AssertionResult links_hold(const list *l, const Items &expected) {
    if ((l->first == nullptr) != (l->last == nullptr)) return ::testing::AssertionFailure() << "first/last disagree";
    if (l->first != nullptr && l->first->prev != nullptr) return ::testing::AssertionFailure() << "first has a prev";
    if (l->last != nullptr && l->last->next != nullptr) return ::testing::AssertionFailure() << "last has a next";
    Items forward;
    const list_node *end = nullptr;
    for (const list_node *n = l->first; n != nullptr && forward.size() <= expected.size(); end = n, n = n->next) {
        if (n->next != nullptr && n->next->prev != n) return ::testing::AssertionFailure() << "broken prev link";
        forward.push_back(n->data);
    }
    if (end != l->last) return ::testing::AssertionFailure() << "next links do not end at last";
    Items backward;
    for (const list_node *n = l->last; n != nullptr && backward.size() <= expected.size(); n = n->prev) {
        backward.insert(backward.begin(), n->data);
    }
    if (forward != expected) return ::testing::AssertionFailure() << "forward walk differs";
    if (backward != expected) return ::testing::AssertionFailure() << "backward walk differs";
    return ::testing::AssertionSuccess();
}

list *make(const Items &items) {
    list *l = list_create();
    for (void *item : items) list_append_last(l, item);
    return l;
}

class List : public ::testing::Test {
  protected:
    void SetUp() override {
        g_released.clear();
        g_duplicated.clear();
    }
    void TearDown() override { core_alloc_fail_after(-1); }
};

TEST_F(List, SizeAndEnds) {
    EXPECT_EQ(list_get_size(nullptr), -1);
    list *l = list_create();
    EXPECT_EQ(list_get_size(l), 0);
    EXPECT_TRUE(links_hold(l, {}));
    EXPECT_EQ(list_get_data_first(l), nullptr);
    EXPECT_EQ(list_get_data_last(nullptr), nullptr);
    list_append_last(l, B);
    EXPECT_TRUE(links_hold(l, {B}));
    list_insert_first(l, A);
    list_append_last(l, C);
    EXPECT_TRUE(links_hold(l, {A, B, C}));
    EXPECT_EQ(list_get_size(l), 3);
    EXPECT_EQ(list_get_data_first(l), A);
    EXPECT_EQ(list_get_data_last(l), C);
    list_insert_first(nullptr, A);
    list_append_last(nullptr, A);
    list_free(l, nullptr);

    l = list_create();
    list_insert_first(l, A);
    EXPECT_TRUE(links_hold(l, {A}));
    list_free(l, nullptr);
}

TEST_F(List, InsertAndAppendAtNodes) {
    list *l = list_create();
    list_node *b = list_insert(l, nullptr, B);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(links_hold(l, {B}));
    list_node *d = list_append(l, b, D);
    EXPECT_TRUE(links_hold(l, {B, D}));
    EXPECT_EQ(list_insert(l, b, A)->data, A); /* before first */
    EXPECT_TRUE(links_hold(l, {A, B, D}));
    list_append(l, d, E); /* after last */
    EXPECT_TRUE(links_hold(l, {A, B, D, E}));
    list_insert(l, d, C); /* in the middle */
    EXPECT_TRUE(links_hold(l, {A, B, C, D, E}));
    list_append(l, b, X);
    EXPECT_TRUE(links_hold(l, {A, B, X, C, D, E}));
    /* A null anchor on a non-empty list would orphan its nodes: refused. */
    EXPECT_EQ(list_insert(l, nullptr, X), nullptr);
    EXPECT_EQ(list_append(l, nullptr, X), nullptr);
    EXPECT_EQ(list_insert(nullptr, nullptr, X), nullptr);
    EXPECT_TRUE(links_hold(l, {A, B, X, C, D, E}));
    list_free(l, nullptr);
}

TEST_F(List, IndexedGetters) {
    const std::vector<std::pair<int32_t, void *>> table = {
        {INT32_MIN, A}, {-5, A}, {-1, A}, {0, A}, {1, B}, {2, C}, {3, nullptr}, {100, nullptr}, {INT32_MAX, nullptr}};
    list *l = make({A, B, C});
    list *empty = list_create();
    for (const auto &[index, data] : table) {
        EXPECT_EQ(list_get_data_indexed(l, index), data) << index;
        list_node *node = list_get_node_indexed(l, index);
        EXPECT_EQ(node == nullptr ? nullptr : node->data, data) << index;
        EXPECT_EQ(list_get_node_indexed(empty, index), nullptr) << index;
        EXPECT_EQ(list_get_data_indexed(empty, index), nullptr) << index;
    }
    EXPECT_EQ(list_get_node_indexed(nullptr, 0), nullptr);
    list_free(empty, nullptr);
    list_free(l, nullptr);
}

TEST_F(List, IndexedModification) {
    /* replaced/removed: the element handed to the release callback, if any */
    struct Case { int32_t index; Items after_set; void *replaced; Items after_remove; void *removed; };
    const std::vector<Case> table = {
        {INT32_MIN, {A, B, C}, nullptr, {B, C}, A}, {-1, {A, B, C}, nullptr, {B, C}, A},
        {0, {X, B, C}, A, {B, C}, A}, {1, {A, X, C}, B, {A, C}, B}, {2, {A, B, X}, C, {A, B}, C},
        {3, {A, B, C}, nullptr, {A, B, C}, nullptr}, {INT32_MAX, {A, B, C}, nullptr, {A, B, C}, nullptr},
    };
    for (const Case &c : table) {
        g_released.clear();
        list *l = make({A, B, C});
        list_set_data_indexed(l, c.index, X, record_release);
        EXPECT_TRUE(links_hold(l, c.after_set)) << c.index;
        EXPECT_EQ(g_released, c.replaced ? Items{c.replaced} : Items{}) << c.index;
        list_free(l, nullptr);

        g_released.clear();
        l = make({A, B, C});
        list_remove_data_indexed(l, c.index, record_release);
        EXPECT_TRUE(links_hold(l, c.after_remove)) << c.index;
        EXPECT_EQ(g_released, c.removed ? Items{c.removed} : Items{}) << c.index;
        list_free(l, nullptr);
    }
    /* No release for a null old element; nothing at all on an empty list. */
    g_released.clear();
    list *l = make({nullptr});
    list_set_data_indexed(l, 0, A, record_release);
    EXPECT_TRUE(links_hold(l, {A}));
    EXPECT_TRUE(g_released.empty());
    list_clear(l, nullptr);
    list_set_data_indexed(l, 0, A, record_release);
    list_remove_data_indexed(l, 0, record_release);
    list_remove_data_indexed(nullptr, 0, record_release);
    EXPECT_TRUE(links_hold(l, {}));
    EXPECT_TRUE(g_released.empty());
    list_free(l, nullptr);
}

TEST_F(List, RemoveNodes) {
    list *l = make({A, B, C, D});
    list_remove(l, list_get_node_indexed(l, 1), nullptr);
    EXPECT_TRUE(links_hold(l, {A, C, D}));
    list_remove(l, l->last, record_release);
    EXPECT_TRUE(links_hold(l, {A, C}));
    list_remove(l, l->first, record_release);
    EXPECT_TRUE(links_hold(l, {C}));
    list_remove(l, nullptr, record_release);
    list_remove(nullptr, l->first, record_release);
    list_remove(l, l->first, record_release);
    EXPECT_TRUE(links_hold(l, {}));
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(g_released, (Items{D, A, C}));
    list_free(l, nullptr);
}

TEST_F(List, Compare) {
    list *abc = make({A, B, C});
    char a2[] = "A", b2[] = "B", c2[] = "C";
    list *abc2 = make({a2, b2, c2});
    list *abx = make({A, B, X});
    list *ab = make({A, B});
    list *empty = list_create(), *empty2 = list_create();
    struct Case { const list *a, *b; list_compare_fn compare; int32_t equal; };
    const Case table[] = {
        {abc, abc2, same_text, 1}, {abc, abx, same_text, 0}, {abc, ab, same_text, 0}, {ab, abc, same_text, 0},
        {abc, abc, nullptr, 0}, {nullptr, nullptr, same_text, 1}, {nullptr, empty, same_text, 0},
        {empty, empty2, same_text, 1}, {empty, empty2, nullptr, 0},
    };
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
        EXPECT_EQ(list_cmp(table[i].a, table[i].b, table[i].compare), table[i].equal) << "case " << i;
    }
    for (list *l : {abc, abc2, abx, ab, empty, empty2}) list_free(l, nullptr);
}

TEST_F(List, AppendList) {
    list *destination = make({A, B});
    list *source = make({C, D, E});
    list_append_list(destination, source);
    EXPECT_TRUE(links_hold(destination, {A, B, C, D, E}));
    EXPECT_TRUE(links_hold(source, {C, D, E}));

    list *empty = list_create();
    list_node *first = destination->first, *last = destination->last;
    list_append_list(destination, empty);
    list_append_list(destination, nullptr);
    list_append_list(nullptr, source);
    EXPECT_EQ(destination->first, first);
    EXPECT_EQ(destination->last, last);

    list_append_list(empty, source);
    EXPECT_TRUE(links_hold(empty, {C, D, E}));
    list_append_list(source, source);
    EXPECT_TRUE(links_hold(source, {C, D, E, C, D, E}));
    for (list *l : {destination, source, empty}) list_free(l, nullptr);
}

TEST_F(List, Dup) {
    list *l = make({A, nullptr, C});
    list *shallow = list_dup(l, nullptr);
    EXPECT_TRUE(links_hold(shallow, {A, nullptr, C}));
    EXPECT_NE(shallow->first, l->first);
    list *deep = list_dup(l, record_duplicate);
    EXPECT_EQ(g_duplicated, (Items{A, nullptr, C}));
    EXPECT_TRUE(links_hold(deep, {A + 1, X, C + 1}));
    EXPECT_EQ(list_dup(nullptr, nullptr), nullptr);
    list *empty = list_create();
    list *empty_copy = list_dup(empty, record_duplicate);
    ASSERT_NE(empty_copy, nullptr);
    EXPECT_NE(empty_copy, empty);
    EXPECT_TRUE(links_hold(empty_copy, {}));
    for (list *x : {l, shallow, deep, empty, empty_copy}) list_free(x, nullptr);
}

TEST_F(List, ReleaseOrderOnClearAndFree) {
    list *l = make({A, nullptr, B});
    list_clear(l, record_release);
    EXPECT_TRUE(links_hold(l, {}));
    EXPECT_EQ(g_released, (Items{A, nullptr, B}));
    g_released.clear();
    list_append_last(l, C);
    list_append_last(l, nullptr);
    list_free(l, record_release);
    EXPECT_EQ(g_released, (Items{C, nullptr}));
    list_free(nullptr, record_release);
    list_clear(nullptr, record_release);

    g_released.clear();
    list *outer = list_create();
    list_append_last(outer, make({A, B}));
    list_append_last(outer, list_create());
    list_append_last(outer, make({C}));
    list_of_lists_free(outer, record_release);
    list_of_lists_free(nullptr, record_release);
    EXPECT_EQ(g_released, (Items{A, B, C}));
}

TEST_F(List, Debug) {
    char x[] = "x", y[] = "y";
    list *l = make({x, y});
    list *empty = list_create();
    testing::internal::CaptureStdout();
    list_debug(l);
    list_debug(empty);
    list_debug(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "x y \n\n");
    list_free(l, nullptr);
    list_free(empty, nullptr);
}

TEST_F(List, FailedAllocationsLeaveListsConsistent) {
    core_alloc_fail_after(0);
    EXPECT_EQ(list_create(), nullptr);
    core_alloc_fail_after(-1);

    list *l = make({A, B});
    list *source = make({C, D, E});
    core_alloc_fail_after(0);
    EXPECT_EQ(list_insert(l, l->first, X), nullptr);
    EXPECT_EQ(list_append(l, l->last, X), nullptr);
    list_insert_first(l, X);
    list_append_last(l, X);
    EXPECT_TRUE(links_hold(l, {A, B}));
    for (long successes : {0, 1, 2}) { /* fails at the 1st, 2nd, 3rd new node */
        core_alloc_fail_after(successes);
        list_append_list(l, source);
        EXPECT_TRUE(links_hold(l, {A, B})) << successes;
    }
    /* The record, then each node: duplicate is never called on failure. */
    for (long successes : {0, 1, 2}) {
        core_alloc_fail_after(successes);
        EXPECT_EQ(list_dup(source, record_duplicate), nullptr) << successes;
    }
    EXPECT_TRUE(g_duplicated.empty());
    core_alloc_fail_after(-1);
    list_free(l, nullptr);
    list_free(source, nullptr);
}

}  // namespace
