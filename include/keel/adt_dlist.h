/* Keel doubly linked list of fixed-size elements.
 *
 * Rules of this interface:
 *  - Every element is data_size bytes, copied into its node when it is added;
 *    the caller's buffer may be reused at once. To keep pointers, create the
 *    list with data_size 8 and pass the address of the pointer variable; the
 *    list never owns what such a pointer points to.
 *  - No list call locks. Callers that share a list bracket their use with
 *    adt_dlist_lock and adt_dlist_unlock (re-entrant for the holder).
 *  - A node handed to delete must belong to the list it is deleted from.
 */
#ifndef KEEL_ADT_DLIST_H
#define KEEL_ADT_DLIST_H

#include <stdint.h>

#include "keel/export.h"
#include "keel/os_sync.h"

KEEL_BEGIN_DECLS

/* One heap block per node: the two links, then data_size bytes of element. */
typedef struct adt_dlist_node {
    struct adt_dlist_node *next; /* NULL at the tail */
    struct adt_dlist_node *prev; /* NULL at the head */
} adt_dlist_node_t;

typedef struct adt_dlist {
    adt_dlist_node_t *head; /* NULL exactly when the list is empty */
    adt_dlist_node_t *tail;
    uint32_t data_size;     /* bytes per element, fixed at creation */
    uint32_t count;         /* nodes reachable from head */
    os_mutex_t lock;        /* taken only through adt_dlist_lock */
} adt_dlist_t;

KEEL_API adt_dlist_t *adt_dlist_create(unsigned int data_size);
KEEL_API int adt_dlist_destroy(adt_dlist_t *dlist);
/* Frees every node; the list stays usable. */
KEEL_API void adt_dlist_clear(adt_dlist_t *dlist);

/* insert puts the new node before pos, add after it. A NULL pos means the
 * front for insert and the end for add; pos is ignored in an empty list. Both
 * return NULL when the node cannot be made, leaving the list as it was. */
KEEL_API adt_dlist_node_t *adt_dlist_insert(adt_dlist_t *dlist, adt_dlist_node_t *pos,
                                            const void *data);
KEEL_API adt_dlist_node_t *adt_dlist_add(adt_dlist_t *dlist, adt_dlist_node_t *pos,
                                         const void *data);

KEEL_API adt_dlist_node_t *adt_dlist_next(adt_dlist_node_t *node);
KEEL_API adt_dlist_node_t *adt_dlist_prev(adt_dlist_node_t *node);
KEEL_API adt_dlist_node_t *adt_dlist_head(adt_dlist_t *dlist);
KEEL_API adt_dlist_node_t *adt_dlist_end(adt_dlist_t *dlist);
KEEL_API unsigned int adt_dlist_size(adt_dlist_t *dlist);
/* 1 when empty; 0 when not, and for a NULL list. */
KEEL_API int adt_dlist_empty(adt_dlist_t *dlist);

KEEL_API int adt_dlist_delete(adt_dlist_t *dlist, adt_dlist_node_t *node);
/* Deletes node and returns the one that followed it, so a walk can go on. */
KEEL_API adt_dlist_node_t *adt_dlist_delete_ex(adt_dlist_t *dlist, adt_dlist_node_t *node);
/* The element bytes inside the node; NULL for a NULL node. */
KEEL_API void *adt_dlist_getdata(adt_dlist_node_t *node);

KEEL_API int adt_dlist_lock(adt_dlist_t *dlist);
KEEL_API int adt_dlist_unlock(adt_dlist_t *dlist);

KEEL_END_DECLS

#endif /* KEEL_ADT_DLIST_H */
