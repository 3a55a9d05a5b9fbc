// The doubly linked list: one allocation per node holding both links and a
// copy of the element. No call locks; callers bracket shared use with
// adt_dlist_lock/adt_dlist_unlock.
#include <cstdlib>
#include <cstring>

#include "keel/adt_dlist.h"
#include "log/report.h"

namespace {

unsigned char *element_of(adt_dlist_node_t *node) {
    return reinterpret_cast<unsigned char *>(node) + sizeof(adt_dlist_node_t);
}

// The element is the caller's, so a node that cannot be allocated is not worth
// ending the process for: the caller gets NULL and the list stays as it was.
adt_dlist_node_t *make_node(adt_dlist_t *dlist, const void *data, const char *who) {
    if (data == nullptr && dlist->data_size > 0) {
        KEEL_INFO("%s data == NULL", who);
        return nullptr;
    }
    auto *node = static_cast<adt_dlist_node_t *>(malloc(sizeof(adt_dlist_node_t) + dlist->data_size));
    if (node == nullptr) {
        KEEL_INFO("%s malloc fail, node == NULL", who);
        return nullptr;
    }
    if (dlist->data_size > 0) memcpy(element_of(node), data, dlist->data_size);
    node->next = nullptr;
    node->prev = nullptr;
    return node;
}

void free_nodes(adt_dlist_t *dlist) {
    adt_dlist_node_t *node = dlist->head;
    while (node != nullptr) {
        adt_dlist_node_t *next = node->next;
        free(node);
        node = next;
    }
    dlist->head = nullptr;
    dlist->tail = nullptr;
    dlist->count = 0;
}

}  // namespace

extern "C" {

KEEL_API adt_dlist_t *adt_dlist_create(unsigned int data_size) {
    auto *dlist = static_cast<adt_dlist_t *>(malloc(sizeof(adt_dlist_t)));
    if (dlist == nullptr) KEEL_FATAL("malloc fail, dlist == NULL");
    dlist->head = nullptr;
    dlist->tail = nullptr;
    dlist->data_size = data_size;
    dlist->count = 0;
    os_mutex_init(&dlist->lock, 1);
    return dlist;
}

KEEL_API int adt_dlist_destroy(adt_dlist_t *dlist) {
    if (dlist == nullptr) {
        KEEL_INFO("adt_dlist_destroy dlist == NULL");
        return 0;
    }
    free_nodes(dlist);
    os_mutex_destroy(&dlist->lock);
    free(dlist);
    return 1;
}

KEEL_API void adt_dlist_clear(adt_dlist_t *dlist) {
    if (dlist == nullptr) {
        KEEL_INFO("dlist is null");
        return;
    }
    free_nodes(dlist);
}

KEEL_API adt_dlist_node_t *adt_dlist_insert(adt_dlist_t *dlist, adt_dlist_node_t *pos,
                                            const void *data) {
    if (dlist == nullptr) {
        KEEL_INFO("adt_dlist_insert dlist == NULL");
        return nullptr;
    }
    adt_dlist_node_t *node = make_node(dlist, data, "adt_dlist_insert");
    if (node == nullptr) return nullptr;
    if (dlist->head == nullptr) {
        dlist->head = node;
        dlist->tail = node;
    } else if (pos == nullptr || pos == dlist->head) {
        dlist->head->prev = node;
        node->next = dlist->head;
        dlist->head = node;
    } else {
        node->prev = pos->prev;
        if (node->prev != nullptr) node->prev->next = node;
        node->next = pos;
        pos->prev = node;
    }
    ++dlist->count;
    return node;
}

KEEL_API adt_dlist_node_t *adt_dlist_add(adt_dlist_t *dlist, adt_dlist_node_t *pos,
                                         const void *data) {
    if (dlist == nullptr) {
        KEEL_INFO("adt_dlist_add dlist == NULL");
        return nullptr;
    }
    adt_dlist_node_t *node = make_node(dlist, data, "adt_dlist_add");
    if (node == nullptr) return nullptr;
    if (dlist->head == nullptr) {
        dlist->head = node;
        dlist->tail = node;
    } else if (pos == nullptr || pos == dlist->tail) {
        dlist->tail->next = node;
        node->prev = dlist->tail;
        dlist->tail = node;
    } else {
        node->prev = pos;
        if (pos->next != nullptr) pos->next->prev = node;
        node->next = pos->next;
        pos->next = node;
    }
    ++dlist->count;
    return node;
}

KEEL_API adt_dlist_node_t *adt_dlist_next(adt_dlist_node_t *node) {
    return node != nullptr ? node->next : nullptr;
}

KEEL_API adt_dlist_node_t *adt_dlist_prev(adt_dlist_node_t *node) {
    return node != nullptr ? node->prev : nullptr;
}

KEEL_API adt_dlist_node_t *adt_dlist_head(adt_dlist_t *dlist) {
    return dlist != nullptr ? dlist->head : nullptr;
}

KEEL_API adt_dlist_node_t *adt_dlist_end(adt_dlist_t *dlist) {
    if (dlist == nullptr) {
        KEEL_INFO("adt_dlist_end dlist == NULL");
        return nullptr;
    }
    return dlist->tail;
}

KEEL_API unsigned int adt_dlist_size(adt_dlist_t *dlist) {
    if (dlist == nullptr) {
        KEEL_INFO("adt_dlist_size dlist == NULL");
        return 0;
    }
    return dlist->count;
}

KEEL_API int adt_dlist_empty(adt_dlist_t *dlist) {
    if (dlist == nullptr) {
        KEEL_INFO("dlist is null");
        return 0;
    }
    return dlist->head == nullptr ? 1 : 0;
}

KEEL_API int adt_dlist_delete(adt_dlist_t *dlist, adt_dlist_node_t *node) {
    if (dlist == nullptr) {
        KEEL_INFO("adt_dlist_delete dlist == NULL");
        return 0;
    }
    if (node == nullptr) {
        KEEL_INFO("adt_dlist_delete node == NULL");
        return 0;
    }
    // Membership is the caller's promise, but a node whose open ends disagree
    // with this list's ends cannot be one of its nodes; unlinking it would
    // corrupt both lists, so it is refused.
    if (dlist->head == nullptr || (node->prev == nullptr && node != dlist->head) ||
        (node->next == nullptr && node != dlist->tail)) {
        KEEL_INFO("adt_dlist_delete node not in dlist");
        return 0;
    }
    if (node == dlist->head) {
        dlist->head = node->next;
        if (dlist->head != nullptr)
            dlist->head->prev = nullptr;
        else
            dlist->tail = nullptr;
    } else if (node == dlist->tail) {
        dlist->tail = node->prev;
        if (dlist->tail != nullptr) dlist->tail->next = nullptr;
    } else {
        node->prev->next = node->next;
        if (node->next != nullptr) node->next->prev = node->prev;
    }
    free(node);
    --dlist->count;
    return 1;
}

KEEL_API adt_dlist_node_t *adt_dlist_delete_ex(adt_dlist_t *dlist, adt_dlist_node_t *node) {
    if (dlist == nullptr) {
        KEEL_INFO("adt_dlist_delete_ex dlist == NULL");
        return nullptr;
    }
    if (node == nullptr) {
        KEEL_INFO("adt_dlist_delete_ex node == NULL");
        return nullptr;
    }
    adt_dlist_node_t *next = node->next;
    if (!adt_dlist_delete(dlist, node)) {
        KEEL_INFO("dlist delete tmp failed!)");
        return nullptr;
    }
    return next;
}

// A NULL node has no element: NULL back, with a report, rather than a pointer
// just past address zero that would fault at the caller's first read.
KEEL_API void *adt_dlist_getdata(adt_dlist_node_t *node) {
    if (node == nullptr) {
        KEEL_INFO("adt_dlist_getdata node == NULL");
        return nullptr;
    }
    return element_of(node);
}

KEEL_API int adt_dlist_lock(adt_dlist_t *dlist) {
    if (dlist == nullptr) {
        KEEL_INFO("adt_dlist_lock dlist == NULL");
        return 0;
    }
    return os_mutex_lock(&dlist->lock);
}

KEEL_API int adt_dlist_unlock(adt_dlist_t *dlist) {
    if (dlist == nullptr) {
        KEEL_INFO("adt_dlist_unlock dlist == NULL");
        return 0;
    }
    return os_mutex_unlock(&dlist->lock);
}

}  // extern "C"
