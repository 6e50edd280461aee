#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "base/alloc.h"
#include "base/list.h"

namespace {

using Items = std::vector<void *>;
char pool[8] = "ABCDEFG"; // the elements: &pool[k], and null
Items g_seen;             // what the release and duplicate callbacks were handed
void record(void *data) { g_seen.push_back(data); }
int same(void *a, void *b) { return a == b; }

/* The elements in order, every node linked both ways, and the list's ends on its end nodes. */
bool links_hold(const list *l, const Items &expected) {
    Items seen;
    for (const list_node *n = l->first; n && seen.size() <= expected.size(); n = n->next) {
        if ((n->prev ? n->prev->next : l->first) != n || (n->next ? n->next->prev : l->last) != n)
            return false;
        seen.push_back(n->data);
    }
    return seen == expected && (l->last == nullptr) == expected.empty();
}

// Random operations against a vector, at indices around both ends, with null anchors and elements.
TEST(List, RandomOperationsAgainstAVector) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        list *l = list_create();
        Items model;
        for (int step = 0; step < 20; ++step) {
            const int32_t n = static_cast<int32_t>(model.size()),
                          index = static_cast<int32_t>(rng() % (n + 4)) - 2;
            const int32_t first = std::max(index, 0); // what a negative index reads and removes
            const bool inside = index >= 0 && index < n;
            void *item = rng() % 8 ? &pool[rng() % 7] : nullptr;
            list_node *node = inside ? list_get_node_indexed(l, index) : nullptr;
            EXPECT_EQ(list_get_data_indexed(l, index), first < n ? model[first] : nullptr);
            Items released;
            switch (const int op = rng() % 4) {
            case 0:
            case 1: { // next to the node at index, or at an end; null anchors on empty lists
                const bool after = op == 1, at_end = index == -2, taken = at_end || node || !n;
                if (at_end)
                    after ? list_append_last(l, item) : list_insert_first(l, item);
                else
                    EXPECT_EQ((after ? list_append : list_insert)(l, node, item) != nullptr, taken);
                if (taken)
                    model.insert(model.begin() + (at_end ? after * n
                                                  : node ? index + after
                                                         : 0),
                                 item);
                break;
            }
            case 2: // no release for a null old element
                list_set_data_indexed(l, index, item, record);
                if (inside && model[index]) released = {model[index]};
                if (inside) model[index] = item;
                break;
            default: // through list_remove
                list_remove_data_indexed(l, index, record);
                if (first < n) released = {model[first]};
                if (first < n) model.erase(model.begin() + first);
            }
            ASSERT_TRUE(links_hold(l, model)) << round << "/" << step;
            EXPECT_EQ(g_seen, released);
            g_seen.clear();
            EXPECT_EQ(list_get_size(l), static_cast<int32_t>(model.size()));
        }
        list *copy = list_dup(l, nullptr);
        EXPECT_TRUE(links_hold(copy, model) && (model.empty() || copy->first != l->first));
        // no compare: never equal
        EXPECT_TRUE(list_cmp(l, copy, same) == 1 && list_cmp(l, copy, nullptr) == 0);
        list_append_list(l, rng() % 2 ? l : copy); // itself, or its copy
        const Items once = model;
        model.insert(model.end(), once.begin(), once.end());
        ASSERT_TRUE(links_hold(l, model) && links_hold(copy, once));
        // the size: nothing changes
        const int32_t changed = static_cast<int32_t>(rng() % (once.size() + 1));
        list_set_data_indexed(copy, changed, &pool[7], nullptr);
        list_append_list(copy, copy);
        EXPECT_EQ(list_cmp(l, copy, same), changed == static_cast<int32_t>(once.size()));
        list_free(copy, nullptr);
        list_free(l, record); // once per element, in order, nulls included
        EXPECT_EQ(g_seen, model);
        g_seen.clear();
    }
}

TEST(List, NullListsCallbacksAndFailedAllocations) {
    list *l = list_create(), *empty = list_create(), *inner = list_create(), *outer = list_create();
    for (void *item : Items{pool, nullptr, pool + 2}) list_append_last(l, item);
    list_append_last(inner, pool + 3);
    list_append_last(outer, inner);
    EXPECT_TRUE(list_get_size(nullptr) == -1 && list_get_node_indexed(nullptr, 0) == nullptr &&
                !list_dup(nullptr, nullptr));
    EXPECT_TRUE(list_insert(nullptr, nullptr, pool) == nullptr &&
                list_append(nullptr, nullptr, pool) == nullptr);
    EXPECT_TRUE(list_get_data_first(l) == pool && list_get_data_last(l) == pool + 2 &&
                !list_get_data_last(empty));
    EXPECT_TRUE(list_cmp(nullptr, nullptr, same) == 1 && list_cmp(nullptr, empty, same) == 0 &&
                !list_cmp(empty, empty, nullptr) && !list_cmp(inner, outer, same)); // one each
    list_append_last(outer, empty);
    testing::internal::CaptureStdout();
    list_debug(l);
    list_debug(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ABCDEFG (null) CDEFG \n");
    list_of_lists_free(outer, record);
    auto shifted = [](void *data) -> void * {
        record(data);
        return data ? static_cast<char *>(data) + 1 : pool;
    };
    list *deep = list_dup(l, shifted);
    EXPECT_TRUE(links_hold(deep, {pool + 1, pool, pool + 3}) &&
                g_seen == Items({pool + 3, pool, nullptr, pool + 2}));
    list_free(deep, nullptr);
    core_alloc_fail_after(0);
    EXPECT_TRUE(list_create() == nullptr && list_insert(l, l->first, pool) == nullptr &&
                !list_append(l, l->last, pool));
    for (long successes : {0, 1, 2}) { // fails at the 1st, 2nd, 3rd new node: all or none
        core_alloc_fail_after(successes);
        list_append_list(l, l);
        EXPECT_TRUE(links_hold(l, {pool, nullptr, pool + 2})) << successes;
        core_alloc_fail_after(successes); // the record, then each node: the callback never runs
        EXPECT_EQ(list_dup(l, shifted), nullptr) << successes;
    }
    core_alloc_fail_after(-1);
    EXPECT_EQ(g_seen.size(), 4u);
    list_free(l, nullptr);
}

} // namespace
