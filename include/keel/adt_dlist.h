/** @file keel/adt_dlist.h
 * Keel doubly linked list of fixed-size elements.
 *
 * Rules of this interface:
 *  - Every element is data_size bytes, copied into its node when it is added;
 *    the caller's buffer may be reused at once. To keep pointers, create the
 *    list with data_size sizeof(void *) (8 on a 64-bit machine, 4 on a 32-bit
 *    one) and pass the address of the pointer variable; the list never owns
 *    what such a pointer points to.
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

/** One heap block per node: the two links, then data_size bytes of element. */
typedef struct adt_dlist_node {
    struct adt_dlist_node *next; /**< NULL at the tail */
    struct adt_dlist_node *prev; /**< NULL at the head */
} adt_dlist_node_t;

/** A list; its fields may be read, and are changed only by the list calls. */
typedef struct adt_dlist {
    adt_dlist_node_t *head; /**< NULL exactly when the list is empty */
    adt_dlist_node_t *tail; /**< the last node, NULL when empty */
    uint32_t data_size;     /**< bytes per element, fixed at creation */
    uint32_t count;         /**< nodes reachable from head */
    os_mutex_t lock;        /**< taken only through adt_dlist_lock */
} adt_dlist_t;

/** An empty list of elements of data_size bytes each.
 * @param data_size the element size (sizeof(void *) for a list of pointers; 0 makes
 *        nodes without an element).
 * @return the list, to be freed with adt_dlist_destroy.
 * @reports "malloc fail, dlist == NULL" (fatal) when no memory is left.
 */
KEEL_API adt_dlist_t *adt_dlist_create(unsigned int data_size);
/** Frees every node and the list.
 * @param dlist the list.
 * @return 1, or 0 for NULL.
 * @reports "adt_dlist_destroy dlist == NULL" (info).
 */
KEEL_API int adt_dlist_destroy(adt_dlist_t *dlist);
/** Frees every node; the list stays usable.
 * @param dlist the list.
 * @reports "dlist is null" (info).
 */
KEEL_API void adt_dlist_clear(adt_dlist_t *dlist);

/** Adds a copy of data before pos.
 *
 * insert puts the new node before pos, add after it. A NULL pos means the
 * front for insert and the end for add; pos is ignored in an empty list. Both
 * return NULL when the node cannot be made, leaving the list as it was.
 * @param dlist the list.
 * @param pos a node of the list, or NULL.
 * @param data data_size bytes to copy (may be NULL only for data_size 0).
 * @return the new node, or NULL.
 * @reports "adt_dlist_insert dlist == NULL", "adt_dlist_insert data == NULL"
 *          or "adt_dlist_insert malloc fail, node == NULL" (info).
 */
KEEL_API adt_dlist_node_t *adt_dlist_insert(adt_dlist_t *dlist, adt_dlist_node_t *pos,
                                            const void *data);
/** Adds a copy of data after pos (at the end for a NULL pos); otherwise as
 * adt_dlist_insert.
 * @param dlist the list.
 * @param pos a node of the list, or NULL.
 * @param data data_size bytes to copy (may be NULL only for data_size 0).
 * @return the new node, or NULL.
 * @reports "adt_dlist_add dlist == NULL", "adt_dlist_add data == NULL" or
 *          "adt_dlist_add malloc fail, node == NULL" (info).
 */
KEEL_API adt_dlist_node_t *adt_dlist_add(adt_dlist_t *dlist, adt_dlist_node_t *pos,
                                         const void *data);

/** The node after node.
 * @param node a node.
 * @return the next node; NULL at the tail and for NULL.
 */
KEEL_API adt_dlist_node_t *adt_dlist_next(adt_dlist_node_t *node);
/** The node before node.
 * @param node a node.
 * @return the previous node; NULL at the head and for NULL.
 */
KEEL_API adt_dlist_node_t *adt_dlist_prev(adt_dlist_node_t *node);
/** The first node.
 * @param dlist the list.
 * @return the head; NULL when empty and for NULL.
 */
KEEL_API adt_dlist_node_t *adt_dlist_head(adt_dlist_t *dlist);
/** The last node.
 * @param dlist the list.
 * @return the tail; NULL when empty and for NULL.
 * @reports "adt_dlist_end dlist == NULL" (info).
 */
KEEL_API adt_dlist_node_t *adt_dlist_end(adt_dlist_t *dlist);
/** The number of nodes.
 * @param dlist the list.
 * @return the count, 0 for NULL.
 * @reports "adt_dlist_size dlist == NULL" (info).
 */
KEEL_API unsigned int adt_dlist_size(adt_dlist_t *dlist);
/** 1 when empty; 0 when not, and for a NULL list.
 * @param dlist the list.
 * @return 1 or 0.
 * @reports "dlist is null" (info).
 */
KEEL_API int adt_dlist_empty(adt_dlist_t *dlist);

/** Deletes node from the list and frees it.
 * @param dlist the list.
 * @param node a node of that list.
 * @return 1 deleted, 0 not.
 * @reports "adt_dlist_delete dlist == NULL", "adt_dlist_delete node == NULL"
 *          or "adt_dlist_delete node not in dlist" (info).
 */
KEEL_API int adt_dlist_delete(adt_dlist_t *dlist, adt_dlist_node_t *node);
/** Deletes node and returns the one that followed it, so a walk can go on.
 * @param dlist the list.
 * @param node a node of that list.
 * @return the next node; NULL at the end or when nothing was deleted.
 * @reports "adt_dlist_delete_ex dlist == NULL", "adt_dlist_delete_ex node
 *          == NULL" or "dlist delete tmp failed!)" (info).
 */
KEEL_API adt_dlist_node_t *adt_dlist_delete_ex(adt_dlist_t *dlist, adt_dlist_node_t *node);
/** The element bytes inside the node; NULL for a NULL node.
 * @param node a node.
 * @return the element (data_size bytes).
 * @reports "adt_dlist_getdata node == NULL" (info).
 */
KEEL_API void *adt_dlist_getdata(adt_dlist_node_t *node);

/** Takes the list's lock (re-entrant).
 * @param dlist the list.
 * @return 1, or 0 for NULL.
 * @reports "adt_dlist_lock dlist == NULL" (info).
 */
KEEL_API int adt_dlist_lock(adt_dlist_t *dlist);
/** Releases one adt_dlist_lock of the calling thread.
 * @param dlist the list.
 * @return 1; 0 for NULL or a lock the thread does not hold.
 * @reports "adt_dlist_unlock dlist == NULL" or "mutex is not held by this
 *          thread" (info).
 */
KEEL_API int adt_dlist_unlock(adt_dlist_t *dlist);

KEEL_END_DECLS

#endif /* KEEL_ADT_DLIST_H */
