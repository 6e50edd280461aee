#include "base/list.h"

#include <stdio.h>

#include "base/alloc.h"

static list_node *new_node(void *data) {
    list_node *node = static_cast<list_node *>(core_calloc(1, sizeof(list_node)));
    if (node != nullptr) node->data = data;
    return node;
}

/* Frees a chain of nodes linked by `next`, without touching their data. */
static void free_chain(list_node *node) {
    while (node != nullptr) {
        list_node *next = node->next;
        free(node);
        node = next;
    }
}

/* Builds an unattached chain of `count` empty nodes; null (and nothing left
 * allocated) when any of them cannot be allocated. */
static list_node *new_chain(int32_t count, list_node **tail) {
    list_node *head = nullptr;
    list_node *last = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        list_node *node = new_node(nullptr);
        if (node == nullptr) {
            free_chain(head);
            return nullptr;
        }
        node->prev = last;
        if (last == nullptr) {
            head = node;
        } else {
            last->next = node;
        }
        last = node;
    }
    *tail = last;
    return head;
}

static list_node *walk_to(const list *l, int32_t index) {
    list_node *node = l->first;
    for (int32_t step = 0; node != nullptr && step < index; ++step) node = node->next;
    return node;
}

extern "C" {

list *list_create(void) { return static_cast<list *>(core_calloc(1, sizeof(list))); }

void list_clear(list *l, list_release_fn release) {
    if (l == nullptr) return;
    list_node *node = l->first;
    while (node != nullptr) {
        list_node *next = node->next;
        if (release != nullptr) release(node->data);
        free(node);
        node = next;
    }
    l->first = nullptr;
    l->last = nullptr;
}

void list_free(list *l, list_release_fn release) {
    if (l == nullptr) return;
    list_clear(l, release);
    free(l);
}

void list_of_lists_free(list *l, list_release_fn release) {
    if (l == nullptr) return;
    list_node *outer = l->first;
    while (outer != nullptr) {
        list_node *next = outer->next;
        list_free(static_cast<list *>(outer->data), release);
        free(outer);
        outer = next;
    }
    free(l);
}

list *list_dup(const list *l, list_duplicate_fn duplicate) {
    if (l == nullptr) return nullptr;
    list *copy = list_create();
    if (copy == nullptr) return nullptr;
    /* All nodes first: the duplicate callback's results cannot be released
     * here, so it only runs once nothing can fail any more. */
    list_node *tail = nullptr;
    list_node *head = new_chain(list_get_size(l), &tail);
    if (head == nullptr && l->first != nullptr) {
        free(copy);
        return nullptr;
    }
    list_node *to = head;
    for (const list_node *from = l->first; from != nullptr; from = from->next, to = to->next) {
        to->data = duplicate != nullptr ? duplicate(from->data) : from->data;
    }
    copy->first = head;
    copy->last = tail;
    return copy;
}

list_node *list_insert(list *l, list_node *before, void *data) {
    if (l == nullptr) return nullptr;
    /* A null anchor on a non-empty list would orphan every node. */
    if (before == nullptr && l->first != nullptr) return nullptr;
    list_node *node = new_node(data);
    if (node == nullptr) return nullptr;
    if (before == nullptr) {
        l->first = node;
        l->last = node;
        return node;
    }
    node->next = before;
    node->prev = before->prev;
    if (before->prev != nullptr) {
        before->prev->next = node;
    } else {
        l->first = node;
    }
    before->prev = node;
    return node;
}

list_node *list_append(list *l, list_node *after, void *data) {
    if (l == nullptr) return nullptr;
    if (after == nullptr && l->first != nullptr) return nullptr;
    list_node *node = new_node(data);
    if (node == nullptr) return nullptr;
    if (after == nullptr) {
        l->first = node;
        l->last = node;
        return node;
    }
    node->prev = after;
    node->next = after->next;
    if (after->next != nullptr) {
        after->next->prev = node;
    } else {
        l->last = node;
    }
    after->next = node;
    return node;
}

void list_insert_first(list *l, void *data) {
    if (l == nullptr) return;
    list_insert(l, l->first, data);
}

void list_append_last(list *l, void *data) {
    if (l == nullptr) return;
    list_append(l, l->last, data);
}

void list_append_list(list *destination, const list *source) {
    if (destination == nullptr || source == nullptr) return;
    /* The copies are built apart and spliced in at the end, so a failed
     * allocation leaves the destination untouched and a list can be appended
     * to itself. An empty source makes no chain, and so changes nothing. */
    list_node *tail = nullptr;
    list_node *head = new_chain(list_get_size(source), &tail);
    if (head == nullptr) return;
    list_node *to = head;
    for (const list_node *from = source->first; from != nullptr; from = from->next, to = to->next) {
        to->data = from->data;
    }
    head->prev = destination->last;
    if (destination->last != nullptr) {
        destination->last->next = head;
    } else {
        destination->first = head;
    }
    destination->last = tail;
}

int32_t list_get_size(const list *l) {
    if (l == nullptr) return -1;
    int32_t size = 0;
    for (const list_node *node = l->first; node != nullptr; node = node->next) ++size;
    return size;
}

void *list_get_data_first(const list *l) {
    return l == nullptr || l->first == nullptr ? nullptr : l->first->data;
}

void *list_get_data_last(const list *l) {
    return l == nullptr || l->last == nullptr ? nullptr : l->last->data;
}

list_node *list_get_node_indexed(const list *l, int32_t index) {
    if (l == nullptr) return nullptr;
    return walk_to(l, index);
}

void *list_get_data_indexed(const list *l, int32_t index) {
    const list_node *node = list_get_node_indexed(l, index);
    return node == nullptr ? nullptr : node->data;
}

int32_t list_cmp(const list *a, const list *b, list_compare_fn compare) {
    if (compare == nullptr) return 0;
    const int32_t size = list_get_size(a);
    if (size != list_get_size(b)) return 0;
    if (size < 1) return 1;
    /* Walking both lists in step visits the same pairs as locating each
     * index afresh, in linear rather than quadratic time; being of one size,
     * they end together. */
    for (const list_node *x = a->first, *y = b->first; x != nullptr; x = x->next, y = y->next) {
        if (!compare(x->data, y->data)) return 0;
    }
    return 1;
}

void list_debug(const list *l) {
    if (l == nullptr) return;
    for (const list_node *node = l->first; node != nullptr; node = node->next) {
        /* A null element would be undefined behaviour for %s. */
        const char *text = node->data != nullptr ? static_cast<const char *>(node->data) : "(null)";
        printf("%s ", text);
    }
    putchar('\n');
}

void list_set_data_indexed(list *l, int32_t index, void *data, list_release_fn release) {
    if (l == nullptr || index < 0) return;
    list_node *node = walk_to(l, index);
    if (node == nullptr) return;
    if (release != nullptr && node->data != nullptr) release(node->data);
    node->data = data;
}

void list_remove(list *l, list_node *node, list_release_fn release) {
    if (l == nullptr || node == nullptr) return;
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        l->first = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        l->last = node->prev;
    }
    if (release != nullptr) release(node->data);
    free(node);
}

void list_remove_data_indexed(list *l, int32_t index, list_release_fn release) {
    if (l == nullptr) return;
    list_remove(l, list_get_node_indexed(l, index), release);
}
}
