#include <gtest/gtest.h>

#include <vector>

#include "alloc.h"
#include "list.h"

namespace {

using Items = std::vector<void *>;
char A[] = "A", B[] = "B", C[] = "C", D[] = "D", E[] = "E", X[] = "X";
Items g_released, g_duplicated;
void record_release(void *data) { g_released.push_back(data); }
void *record_duplicate(void *data) {  // distinct pointers the test can predict
    g_duplicated.push_back(data);
    return data == nullptr ? static_cast<void *>(X) : static_cast<char *>(data) + 1;
}
int same_text(void *a, void *b) { return strcmp(static_cast<char *>(a), static_cast<char *>(b)) == 0; }

/* Both walks give the expected elements and end at the list's own ends. */
bool links_hold(const list *l, const Items &expected) {
    Items forward, backward;
    const list_node *tail = nullptr, *head = nullptr;
    for (const list_node *n = l->first; n && forward.size() <= expected.size(); tail = n, n = n->next)
        forward.push_back(n->data);
    for (const list_node *n = l->last; n && backward.size() <= expected.size(); head = n, n = n->prev)
        backward.insert(backward.begin(), n->data);
    return forward == expected && backward == expected && tail == l->last && head == l->first;
}

list *make(const Items &items) {
    list *l = list_create();
    for (void *item : items) list_append_last(l, item);
    return l;
}

class List : public ::testing::Test {
  protected:
    void SetUp() override { g_released.clear(), g_duplicated.clear(); }
    void TearDown() override { core_alloc_fail_after(-1); }
};

TEST_F(List, InsertAppendAndCompare) {
    EXPECT_EQ(list_get_size(nullptr), -1);
    list *l = list_create();
    EXPECT_TRUE(list_get_size(l) == 0 && list_get_data_first(l) == nullptr);
    list_insert_first(l, B);
    EXPECT_TRUE(links_hold(l, {B}));
    list_insert_first(l, A);
    list_node *d = list_append(l, l->last, D);        // after last
    EXPECT_EQ(list_insert(l, l->first, X)->data, X);  // before first
    list_insert(l, d, C);
    list_append(l, d, E);
    EXPECT_TRUE(links_hold(l, {X, A, B, C, D, E}));
    EXPECT_TRUE(list_get_size(l) == 6 && list_get_data_first(l) == X && list_get_data_last(l) == E);
    // A null anchor on a non-empty list would orphan its nodes: refused.
    EXPECT_EQ(list_insert(l, nullptr, X), nullptr);
    EXPECT_EQ(list_append(l, nullptr, X), nullptr);
    EXPECT_EQ(list_insert(nullptr, nullptr, X), nullptr);
    list_insert_first(nullptr, A);
    list_append_last(nullptr, A);
    EXPECT_TRUE(links_hold(l, {X, A, B, C, D, E}));
    list_free(l, nullptr);

    char a2[] = "A", b2[] = "B", c2[] = "C";
    list *abc = make({A, B, C}), *abc2 = make({a2, b2, c2}), *abx = make({A, B, X}), *ab = make({A, B});
    list *empty = list_create(), *empty2 = list_create();
    const struct { const list *a, *b; list_compare_fn compare; int32_t equal; } cmp[] = {
        {abc, abc2, same_text, 1}, {abc, abx, same_text, 0}, {abc, ab, same_text, 0}, {ab, abc, same_text, 0},
        {abc, abc, nullptr, 0}, {nullptr, nullptr, same_text, 1}, {nullptr, empty, same_text, 0},
        {empty, empty2, same_text, 1}, {empty, empty2, nullptr, 0}};
    for (const auto &c : cmp) EXPECT_EQ(list_cmp(c.a, c.b, c.compare), c.equal) << &c - cmp;
    for (list *x : {abc, abc2, abx, ab, empty, empty2}) list_free(x, nullptr);
}

// Get, set and remove at an index: what is left, and what the release callback is handed.
TEST_F(List, IndexedAccess) {
    const struct { int32_t index; void *data; Items after_set; Items after_remove; } table[] = {
        {INT32_MIN, nullptr, {A, B, C}, {B, C}}, {-1, nullptr, {A, B, C}, {B, C}}, {0, A, {X, B, C}, {B, C}},
        {1, B, {A, X, C}, {A, C}}, {2, C, {A, B, X}, {A, B}}, {3, nullptr, {A, B, C}, {A, B, C}},
        {INT32_MAX, nullptr, {A, B, C}, {A, B, C}}};
    for (const auto &c : table) {
        list *l = make({A, B, C});
        void *got = list_get_data_indexed(l, c.index);
        list_node *node = list_get_node_indexed(l, c.index);
        EXPECT_EQ(got, c.index < 0 ? A : c.data) << c.index;  // a negative index reads the first element
        EXPECT_EQ(node ? node->data : nullptr, got) << c.index;
        list_set_data_indexed(l, c.index, X, record_release);
        EXPECT_TRUE(links_hold(l, c.after_set)) << c.index;
        EXPECT_EQ(g_released, c.data ? Items{c.data} : Items{}) << c.index;
        list_free(l, nullptr);
        g_released.clear();
        l = make({A, B, C});
        list_remove_data_indexed(l, c.index, record_release);
        EXPECT_TRUE(links_hold(l, c.after_remove)) << c.index;
        EXPECT_EQ(g_released.size(), 3 - c.after_remove.size()) << c.index;
        list_free(l, nullptr);
        g_released.clear();
    }
    // No release for a null old element; nothing at all on an empty or null list.
    list *l = make({nullptr}), *empty = list_create();
    EXPECT_TRUE(list_get_node_indexed(empty, -1) == nullptr && list_get_node_indexed(nullptr, 0) == nullptr);
    list_set_data_indexed(l, 0, A, record_release);
    list_set_data_indexed(empty, 0, A, record_release);
    list_remove_data_indexed(empty, 0, record_release);
    list_remove_data_indexed(nullptr, 0, record_release);
    list_remove(l, nullptr, record_release);
    list_remove(nullptr, l->first, record_release);
    EXPECT_TRUE(links_hold(l, {A}) && links_hold(empty, {}) && g_released.empty());
    list_remove(l, l->first, record_release);
    EXPECT_TRUE(links_hold(l, {}) && g_released == Items{A});
    list_free(l, nullptr);
    list_free(empty, nullptr);
}

TEST_F(List, AppendListAndDup) {
    list *destination = make({A, B}), *source = make({C, D, E}), *empty = list_create();
    list_append_list(destination, source);
    EXPECT_TRUE(links_hold(destination, {A, B, C, D, E}) && links_hold(source, {C, D, E}));
    list_append_list(destination, empty);
    list_append_list(destination, nullptr);
    list_append_list(nullptr, source);
    EXPECT_TRUE(links_hold(destination, {A, B, C, D, E}));
    list_append_list(empty, source);
    EXPECT_TRUE(links_hold(empty, {C, D, E}));
    list_append_list(source, source);
    EXPECT_TRUE(links_hold(source, {C, D, E, C, D, E}));
    for (list *l : {destination, source, empty}) list_free(l, nullptr);

    list *l = make({A, nullptr, C}), *none = list_create();
    list *shallow = list_dup(l, nullptr), *deep = list_dup(l, record_duplicate), *none_copy = list_dup(none, nullptr);
    EXPECT_TRUE(links_hold(shallow, {A, nullptr, C}) && shallow->first != l->first);
    EXPECT_EQ(g_duplicated, (Items{A, nullptr, C}));
    EXPECT_TRUE(links_hold(deep, {A + 1, X, C + 1}));
    EXPECT_TRUE(none_copy != nullptr && none_copy != none && links_hold(none_copy, {}));
    EXPECT_EQ(list_dup(nullptr, nullptr), nullptr);
    for (list *x : {l, shallow, deep, none, none_copy}) list_free(x, nullptr);
}

TEST_F(List, ReleaseOrderAndDebug) {
    list *l = make({A, nullptr, B});
    list_clear(l, record_release);
    EXPECT_TRUE(links_hold(l, {}));
    list_append_last(l, C);
    list_append_last(l, nullptr);
    list_free(l, record_release);
    list_free(nullptr, record_release);
    list_clear(nullptr, record_release);
    list *outer = list_create();
    for (list *inner : {make({D, E}), list_create(), make({X})}) list_append_last(outer, inner);
    list_of_lists_free(outer, record_release);
    list_of_lists_free(nullptr, record_release);
    EXPECT_EQ(g_released, (Items{A, nullptr, B, C, nullptr, D, E, X}));

    char x[] = "x", y[] = "y";
    l = make({x, y});
    testing::internal::CaptureStdout();
    list_debug(l);
    list_clear(l, nullptr);
    list_debug(l);
    list_debug(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "x y \n\n");
    list_free(l, nullptr);
}

TEST_F(List, FailedAllocationsLeaveListsConsistent) {
    core_alloc_fail_after(0);
    EXPECT_EQ(list_create(), nullptr);
    core_alloc_fail_after(-1);
    list *l = make({A, B}), *source = make({C, D, E});
    core_alloc_fail_after(0);
    EXPECT_EQ(list_insert(l, l->first, X), nullptr);
    EXPECT_EQ(list_append(l, l->last, X), nullptr);
    for (long successes : {0, 1, 2}) {  // fails at the 1st, 2nd, 3rd new node: all or none
        core_alloc_fail_after(successes);
        list_append_list(l, source);
        EXPECT_TRUE(links_hold(l, {A, B})) << successes;
        core_alloc_fail_after(successes);  // the record, then each node: duplicate is never called
        EXPECT_EQ(list_dup(source, record_duplicate), nullptr) << successes;
    }
    EXPECT_TRUE(g_duplicated.empty());
    core_alloc_fail_after(-1);
    list_free(l, nullptr);
    list_free(source, nullptr);
}

}  // namespace
