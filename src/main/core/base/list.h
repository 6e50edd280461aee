/* list: a doubly linked list of untyped element pointers.
 *
 * The list never looks inside its elements; copying, comparing and releasing
 * them goes through the callbacks below. There is no stored count: sizes and
 * indexed positions are found by walking from `first`, so every positional
 * operation is linear. Records and nodes are allocated zero-filled and freed
 * with free(). */
#ifndef CORVANTIS_LIST_H
#define CORVANTIS_LIST_H

#include <stdint.h>

#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

typedef struct list_node {
    struct list_node *prev; /* null for the first node */
    struct list_node *next; /* null for the last node */
    void *data;             /* the caller's element */
} list_node;

typedef struct list {
    list_node *first; /* null when empty (then `last` is null too) */
    list_node *last;
} list;

/* Called with an element's data when it leaves the list (free() fits). */
typedef void (*list_release_fn)(void *data);
/* Returns the data for the copy of an element. */
typedef void *(*list_duplicate_fn)(void *data);
/* Non-zero when the two elements are equal (first list's element first). */
typedef int (*list_compare_fn)(void *a, void *b);

/* Returns a new empty list, or null when it cannot be allocated. */
CORVANTIS_API list *list_create(void);
/* Frees every node (releasing each element first when `release` is given,
 * null elements included) and leaves the record empty. Accepts null. */
CORVANTIS_API void list_clear(list *l, list_release_fn release);
/* list_clear, then frees the record. Accepts null. */
CORVANTIS_API void list_free(list *l, list_release_fn release);
/* For a list whose elements are lists: frees every inner list (releasing its
 * elements when `release` is given) and then the outer list. */
CORVANTIS_API void list_of_lists_free(list *l, list_release_fn release);
/* A new list with one node per node of `l`, in order, carrying
 * duplicate(data), or the same data when `duplicate` is null. Null for a null
 * list or when an allocation fails; `duplicate` is only called once every
 * node of the copy has been allocated. */
CORVANTIS_API list *list_dup(const list *l, list_duplicate_fn duplicate);

/* Link a new node holding `data` before `before` / after `after` and return
 * it. A null `before`/`after` is only for an empty list, where the node
 * becomes both first and last; on a non-empty list it is refused. Returns null,
 * leaving the list unchanged, when refused or when the node cannot be
 * allocated. */
CORVANTIS_API list_node *list_insert(list *l, list_node *before, void *data);
CORVANTIS_API list_node *list_append(list *l, list_node *after, void *data);
/* Prepend / append `data`. Null list: nothing. */
CORVANTIS_API void list_insert_first(list *l, void *data);
CORVANTIS_API void list_append_last(list *l, void *data);
/* Appends a shallow copy of every node of `source` to `destination` (which
 * may be the same list). Either all nodes are appended or, when an allocation
 * fails, none. Null arguments: nothing. */
CORVANTIS_API void list_append_list(list *destination, const list *source);

/* -1 for a null list, else the number of nodes. */
CORVANTIS_API int32_t list_get_size(const list *l);
/* Data of the first / last node; null for a null or empty list. */
CORVANTIS_API void *list_get_data_first(const list *l);
CORVANTIS_API void *list_get_data_last(const list *l);
/* The node (its data) at `index`: a negative index gives the first node, an
 * index at or past the size gives null. */
CORVANTIS_API list_node *list_get_node_indexed(const list *l, int32_t index);
CORVANTIS_API void *list_get_data_indexed(const list *l, int32_t index);
/* 1 when both lists have the same size and compare() holds for every pair of
 * elements at the same position (two null or two empty lists are equal);
 * 0 otherwise, and always 0 without a compare callback. */
CORVANTIS_API int32_t list_cmp(const list *a, const list *b, list_compare_fn compare);
/* Prints each element as a string followed by a space, then a line feed, on
 * standard output. For lists of strings only. Null list: prints nothing. */
CORVANTIS_API void list_debug(const list *l);

/* Replaces the data at 0 <= index < size, releasing the old data first when
 * both it and `release` are not null. Any other index: nothing. */
CORVANTIS_API void list_set_data_indexed(list *l, int32_t index, void *data,
                                         list_release_fn release);
/* Unlinks `node` (which must belong to `l`), releases its data when
 * `release` is given and frees the node. Null list or node: nothing. */
CORVANTIS_API void list_remove(list *l, list_node *node, list_release_fn release);
/* Removes the node list_get_node_indexed finds (a negative index removes the
 * first node); nothing when there is none. */
CORVANTIS_API void list_remove_data_indexed(list *l, int32_t index, list_release_fn release);

CORVANTIS_EXTERN_C_END

#endif
