// The hash table: a thin wrapper over uthash's buckets, Jenkins hash and
// insertion-order list. Each entry is one block holding the key; the value is
// a separate copy. No call locks; callers bracket shared use with hash_lock.
#include <cstdlib>
#include <cstring>

#include "adt/adt_internal.h"
#include "log/report.h"

namespace {

hash_node *find_node(hash_table *ht, const void *key, int key_len) {
    hash_node *hn = nullptr;
    HASH_FIND(hh, ht->head, key, static_cast<unsigned>(key_len), hn);
    return hn;
}

// Deleting the last entry lets uthash release its buckets and set head NULL.
void remove_node(hash_table *ht, hash_node *hn) {
    HASH_DELETE(hh, ht->head, hn);
    free(hn->val);
    free(hn);
}

// A zero-size value still gets a block of its own, so that a value given is
// never confused with no value, and realloc never sees 0 (which frees).
size_t block_size(int size) { return size > 0 ? static_cast<size_t>(size) : 1; }

// Negative lengths cannot describe any bytes; they are refused before they
// reach a copy or the hash function.
bool lengths_ok(int key_len, const void *value, int size) {
    if (key_len < 0) {
        KEEL_INFO("key_len < 0");
        return false;
    }
    if (value != nullptr && size < 0) {
        KEEL_INFO("size < 0");
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

KEEL_API hash_table_t *hash_create(void) {
    auto *ht = static_cast<hash_table *>(calloc(1, sizeof(hash_table)));
    if (ht == nullptr) KEEL_FATAL("ht == NULL");
    ht->mutex = os_mutex_create(1);
    return ht;
}

KEEL_API int hash_clear(hash_table_t *ht) {
    if (ht == nullptr) {
        KEEL_INFO("ht == NULL");
        return 0;
    }
    while (ht->head != nullptr) remove_node(ht, ht->head);
    return 1;
}

KEEL_API int hash_destroy(hash_table_t *ht) {
    if (ht == nullptr) {
        KEEL_INFO("ht == NULL");
        return 0;
    }
    hash_clear(ht);
    os_mutex_free(ht->mutex);
    free(ht);
    return 1;
}

KEEL_API hash_node_t *hash_add(hash_table_t *ht, const void *key, int key_len, const void *value,
                               int size) {
    if (ht == nullptr || key == nullptr) {
        KEEL_INFO("ht == NULL || key == NULL");
        return nullptr;
    }
    if (!lengths_ok(key_len, value, size)) return nullptr;
    // One hash serves both the duplicate check and the insertion.
    auto len = static_cast<unsigned>(key_len);
    unsigned hashv;
    HASH_VALUE(key, len, hashv);
    hash_node *dup = nullptr;
    HASH_FIND_BYHASHVALUE(hh, ht->head, key, len, hashv, dup);
    if (dup != nullptr) return nullptr;

    auto *hn = static_cast<hash_node *>(calloc(1, sizeof(hash_node) + static_cast<size_t>(key_len)));
    if (hn == nullptr) KEEL_FATAL("hn == NULL");
    if (value != nullptr) {
        hn->val = calloc(1, block_size(size));
        if (hn->val == nullptr) KEEL_FATAL("hn->val == NULL");
        if (size > 0) memcpy(hn->val, value, static_cast<size_t>(size));
    }
    hn->key_len = key_len;
    memcpy(hn->key, key, static_cast<size_t>(key_len));
    HASH_ADD_KEYPTR_BYHASHVALUE(hh, ht->head, hn->key, len, hashv, hn);
    return hn;
}

KEEL_API hash_node_t *hash_mod(hash_table_t *ht, const void *key, int key_len, const void *value,
                               int size) {
    if (ht == nullptr || key == nullptr) {
        KEEL_INFO("ht == NULL || key == NULL");
        return nullptr;
    }
    if (!lengths_ok(key_len, value, size)) return nullptr;
    hash_node *hn = find_node(ht, key, key_len);
    if (hn == nullptr) return nullptr;
    if (value == nullptr) {
        free(hn->val);
        hn->val = nullptr;
        return hn;
    }
    // A failed resize leaves the old block in place: the entry keeps its old
    // value intact and the caller learns of the failure from the NULL.
    void *resized = realloc(hn->val, block_size(size));
    if (resized == nullptr) {
        KEEL_INFO("realloc fail, hn->val kept");
        return nullptr;
    }
    hn->val = resized;
    if (size > 0) memcpy(hn->val, value, static_cast<size_t>(size));
    return hn;
}

// A NULL key matches nothing whatever its length; hashing it would read
// through address zero.
KEEL_API hash_node_t *hash_find(hash_table_t *ht, const void *key, int key_len) {
    if (ht == nullptr) {
        KEEL_INFO("ht == NULL");
        return nullptr;
    }
    if (key == nullptr) {
        KEEL_INFO("key == NULL");
        return nullptr;
    }
    if (!lengths_ok(key_len, nullptr, 0)) return nullptr;
    return find_node(ht, key, key_len);
}

KEEL_API hash_node_t *hash_del(hash_table_t *ht, hash_node_t *hn) {
    if (ht == nullptr || hn == nullptr) {
        KEEL_INFO("ht == NULL || hn == NULL");
        return nullptr;
    }
    // An entry of another table (or of none) would be unlinked from the wrong
    // buckets and corrupt both tables.
    if (ht->head == nullptr || hn->hh.tbl != ht->head->hh.tbl) {
        KEEL_INFO("hn is not in ht");
        return nullptr;
    }
    auto *next = static_cast<hash_node *>(hn->hh.next);
    remove_node(ht, hn);
    return next;
}

KEEL_API int hash_del_by_key(hash_table_t *ht, const void *key, int key_len) {
    if (ht == nullptr || key == nullptr) {
        KEEL_INFO("ht == NULL || key == NULL");
        return 0;
    }
    if (!lengths_ok(key_len, nullptr, 0)) return 0;
    hash_node *hn = find_node(ht, key, key_len);
    if (hn != nullptr) remove_node(ht, hn);
    return 1;
}

KEEL_API uint32_t hash_count(hash_table_t *ht) {
    if (ht == nullptr) {
        KEEL_INFO("ht == NULL");
        return 0;
    }
    return ht->head != nullptr ? ht->head->hh.tbl->num_items : 0;
}

KEEL_API hash_node_t *hash_head(hash_table_t *ht) {
    if (ht == nullptr) {
        KEEL_INFO("ht == NULL");
        return nullptr;
    }
    return ht->head;
}

KEEL_API hash_node_t *hash_next(hash_table_t *ht, hash_node_t *hn) {
    if (ht == nullptr || hn == nullptr) {
        KEEL_INFO("ht == NULL || hn == NULL");
        return nullptr;
    }
    return static_cast<hash_node *>(hn->hh.next);
}

KEEL_API void *hash_get_key(hash_node_t *hn) {
    if (hn == nullptr) {
        KEEL_INFO("hn == NULL");
        return nullptr;
    }
    return hn->key;
}

KEEL_API void *hash_get_value(hash_node_t *hn) {
    if (hn == nullptr) {
        KEEL_INFO("hn == NULL");
        return nullptr;
    }
    return hn->val;
}

KEEL_API int hash_lock(hash_table_t *ht) {
    if (ht == nullptr) {
        KEEL_INFO("ht == NULL");
        return 0;
    }
    return os_mutex_lock(ht->mutex);
}

KEEL_API int hash_unlock(hash_table_t *ht) {
    if (ht == nullptr) {
        KEEL_INFO("ht == NULL");
        return 0;
    }
    return os_mutex_unlock(ht->mutex);
}

}  // extern "C"
