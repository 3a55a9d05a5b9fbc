/* Keel hash table: byte-string keys mapped to byte-block values.
 *
 * Rules of this interface:
 *  - The table owns copies of keys and values. Keys are compared byte by byte
 *    with their length: "ab" and "ab\0" are different keys.
 *  - A stored key is followed by at least four zero bytes, so a text key added
 *    without its terminator still reads back as a terminated string.
 *  - Walks (hash_head, hash_next) visit entries in insertion order. To delete
 *    during a walk, continue from the result of hash_del.
 *  - No table call locks. Callers that share a table bracket their use with
 *    hash_lock and hash_unlock (re-entrant for the holder).
 *  - Pointers from hash_get_key and hash_get_value stay valid until their
 *    entry is modified or removed. Value sizes are not kept by the table.
 */
#ifndef KEEL_HASH_H
#define KEEL_HASH_H

#include <stdint.h>

#include "keel/export.h"

KEEL_BEGIN_DECLS

typedef struct hash_table hash_table_t;
typedef struct hash_node hash_node_t;

KEEL_API hash_table_t *hash_create(void);
KEEL_API int hash_destroy(hash_table_t *ht);
/* Removes every entry; the table stays usable. */
KEEL_API int hash_clear(hash_table_t *ht);

/* value may be NULL (the entry then has no value). Returns NULL when the key
 * is already present: duplicates are refused, not replaced. */
KEEL_API hash_node_t *hash_add(hash_table_t *ht, const void *key, int key_len,
                               const void *value, int size);
/* Replaces the value of a present key (a NULL value removes it). Returns NULL
 * when the key is absent, or when the new value cannot be stored; the old
 * value is kept then. */
KEEL_API hash_node_t *hash_mod(hash_table_t *ht, const void *key, int key_len,
                               const void *value, int size);
KEEL_API hash_node_t *hash_find(hash_table_t *ht, const void *key, int key_len);
/* Removes hn and returns the entry that followed it in insertion order. */
KEEL_API hash_node_t *hash_del(hash_table_t *ht, hash_node_t *hn);
/* Returns 1 whether or not the key was present. */
KEEL_API int hash_del_by_key(hash_table_t *ht, const void *key, int key_len);
KEEL_API uint32_t hash_count(hash_table_t *ht);

KEEL_API hash_node_t *hash_head(hash_table_t *ht);
KEEL_API hash_node_t *hash_next(hash_table_t *ht, hash_node_t *hn);
KEEL_API void *hash_get_key(hash_node_t *hn);
KEEL_API void *hash_get_value(hash_node_t *hn);

KEEL_API int hash_lock(hash_table_t *ht);
KEEL_API int hash_unlock(hash_table_t *ht);

KEEL_END_DECLS

#endif /* KEEL_HASH_H */
