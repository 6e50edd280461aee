#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "alloc.h"
#include "list.h"

namespace {

using Items = std::vector<void *>;
char pool[8] = "ABCDEFG";  // the elements: &pool[k], and null
Items g_released;
void record_release(void *data) { g_released.push_back(data); }
int same(void *a, void *b) { return a == b; }

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
    void SetUp() override { g_released.clear(); }
    void TearDown() override { core_alloc_fail_after(-1); }
};

/* Random operations mirrored on a vector, at indices from before the start to past
 * the end, with null anchors; a negative index reads and removes the first element. */
TEST_F(List, RandomOperationsAgainstAVector) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        list *l = list_create();
        Items model;
        for (int step = 0; step < 30; ++step) {
            const int32_t n = static_cast<int32_t>(model.size()), index = static_cast<int32_t>(rng() % (n + 4)) - 2;
            const bool inside = index >= 0 && index < n;
            void *item = rng() % 8 ? &pool[rng() % 7] : nullptr;
            list_node *node = inside ? list_get_node_indexed(l, index) : nullptr;
            EXPECT_EQ(list_get_data_indexed(l, index), inside ? model[index] : index < 0 && n ? model[0] : nullptr);
            Items released;
            switch (const int op = rng() % 6) {
            case 0:
            case 1: {  // before or after the node at index (or at an end); a null anchor only on an empty list
                const bool after = op == 1, at_end = index == -2, taken = at_end || node || !n;
                if (at_end) after ? list_append_last(l, item) : list_insert_first(l, item);
                else EXPECT_EQ((after ? list_append : list_insert)(l, node, item) != nullptr, taken);
                if (taken) model.insert(model.begin() + (at_end ? after * n : node ? index + after : 0), item);
                break;
            }
            case 2:  // no release for a null old element
                list_set_data_indexed(l, index, item, record_release);
                if (inside && model[index]) released = {model[index]};
                if (inside) model[index] = item;
                break;
            case 3: {
                const int32_t at = std::max(index, 0);
                list_remove_data_indexed(l, index, record_release);
                if (at < n) released = {model[at]};
                if (at < n) model.erase(model.begin() + at);
                break;
            }
            case 4:
                list_remove(l, node, record_release);
                if (inside) released = {model[index]};
                if (inside) model.erase(model.begin() + index);
                break;
            default: {  // the list itself, or a copy of its first elements; cleared once long
                if (n >= 12) {
                    list_clear(l, record_release);
                    released.swap(model);
                    break;
                }
                const bool self = rng() % 2;
                const int32_t keep = self ? n : std::min(std::max(index, 0), n);
                list *copy = list_dup(l, nullptr);
                while (list_get_size(copy) > keep) list_remove(copy, copy->last, nullptr);
                list_append_list(l, self ? l : copy);
                const Items added(model.begin(), model.begin() + keep);
                model.insert(model.end(), added.begin(), added.end());
                list_free(copy, nullptr);
            }
            }
            ASSERT_TRUE(links_hold(l, model)) << round << "/" << step;
            EXPECT_EQ(g_released, released);
            g_released.clear();
            EXPECT_EQ(list_get_size(l), static_cast<int32_t>(model.size()));
            EXPECT_TRUE(list_get_data_first(l) == (model.empty() ? nullptr : model[0]) &&
                        list_get_data_last(l) == (model.empty() ? nullptr : model.back()));
        }
        Items other = model;
        if (!other.empty()) other[rng() % other.size()] = &pool[7];
        list *copy = list_dup(l, nullptr), *different = make(other);
        EXPECT_TRUE(links_hold(copy, model) && (model.empty() || copy->first != l->first));
        EXPECT_EQ(list_cmp(l, copy, same), 1);
        EXPECT_EQ(list_cmp(l, different, same), model.empty() ? 1 : 0);
        EXPECT_EQ(list_cmp(different, copy, nullptr), 0);  // no compare: never equal
        list_free(copy, nullptr);
        list_free(different, nullptr);
        list_free(l, record_release);  // once per element, in order, nulls included
        EXPECT_EQ(g_released, model);
        g_released.clear();
    }
}

TEST_F(List, NullListsEmptyListsAndReleases) {
    list *empty = list_create(), *outer = list_create();
    EXPECT_TRUE(list_get_size(nullptr) == -1 && list_get_size(empty) == 0 && list_get_node_indexed(nullptr, 0) == nullptr);
    EXPECT_TRUE(list_insert(nullptr, nullptr, pool) == nullptr && list_append(nullptr, nullptr, pool) == nullptr);
    list_insert_first(nullptr, pool);
    list_append_last(nullptr, pool);
    list_append_list(nullptr, empty);
    list_append_list(empty, nullptr);
    list_set_data_indexed(nullptr, 0, pool, record_release);
    list_remove_data_indexed(nullptr, 0, record_release);
    list_remove(nullptr, nullptr, record_release);
    EXPECT_TRUE(list_dup(nullptr, nullptr) == nullptr && list_cmp(nullptr, nullptr, same) == 1);
    EXPECT_TRUE(list_cmp(nullptr, empty, same) == 0 && list_cmp(empty, empty, nullptr) == 0);
    list_clear(nullptr, record_release);
    list_free(nullptr, record_release);
    list_of_lists_free(nullptr, record_release);
    for (list *inner : {make({pool, nullptr}), list_create(), make({pool + 1})}) list_append_last(outer, inner);
    list_of_lists_free(outer, record_release);
    EXPECT_EQ(g_released, (Items{pool, nullptr, pool + 1}));
    list *l = make({pool, nullptr, pool + 1});
    testing::internal::CaptureStdout();
    list_debug(l);
    list_debug(empty);
    list_debug(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ABCDEFG (null) BCDEFG \n\n");
    list_free(l, nullptr);
    list_free(empty, nullptr);
}

TEST_F(List, DupCallbackAndFailedAllocations) {
    auto next = [](void *data) -> void * {  // recorded, to see that a failed copy never calls it
        g_released.push_back(data);
        return data ? static_cast<char *>(data) + 1 : pool + 6;
    };
    list *l = make({pool, nullptr, pool + 2}), *source = make({pool + 3, pool + 4, pool + 5});
    list *deep = list_dup(l, next);
    EXPECT_TRUE(links_hold(deep, {pool + 1, pool + 6, pool + 3}));
    list_free(deep, nullptr);
    core_alloc_fail_after(0);
    EXPECT_EQ(list_create(), nullptr);
    EXPECT_TRUE(list_insert(l, l->first, pool) == nullptr && list_append(l, l->last, pool) == nullptr);
    for (long successes : {0, 1, 2}) {  // fails at the 1st, 2nd, 3rd new node: all or none
        core_alloc_fail_after(successes);
        list_append_list(l, source);
        EXPECT_TRUE(links_hold(l, {pool, nullptr, pool + 2})) << successes;
        core_alloc_fail_after(successes);  // the record, then each node: the callback never runs
        EXPECT_EQ(list_dup(source, next), nullptr) << successes;
    }
    core_alloc_fail_after(-1);
    EXPECT_EQ(g_released.size(), 3u);
    list_free(l, nullptr);
    list_free(source, nullptr);
}

}  // namespace
