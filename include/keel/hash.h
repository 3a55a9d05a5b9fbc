/** @file keel/hash.h
 * Keel hash table: byte-string keys mapped to byte-block values.
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

/** A hash table. */
typedef struct hash_table hash_table_t;
/** One entry of a table. */
typedef struct hash_node hash_node_t;

/** An empty table with its own lock.
 * @return the table, to be freed with hash_destroy.
 * @reports "ht == NULL" (fatal) when no memory is left.
 */
KEEL_API hash_table_t *hash_create(void);
/** Removes every entry and frees the table.
 * @param ht the table.
 * @return 1, or 0 for NULL.
 * @reports "ht == NULL" (info).
 */
KEEL_API int hash_destroy(hash_table_t *ht);
/** Removes every entry; the table stays usable.
 * @param ht the table.
 * @return 1, or 0 for NULL.
 * @reports "ht == NULL" (info).
 */
KEEL_API int hash_clear(hash_table_t *ht);

/** Adds a copy of the key and of the value.
 *
 * value may be NULL (the entry then has no value). Returns NULL when the key
 * is already present: duplicates are refused, not replaced.
 * @param ht the table.
 * @param key the key's bytes.
 * @param key_len their count (0 is a valid, empty key).
 * @param value the value's bytes, or NULL.
 * @param size their count.
 * @return the new entry, or NULL.
 * @reports "ht == NULL || key == NULL", "key_len < 0" or "size < 0" (info);
 *          "hn == NULL" or "hn->val == NULL" (fatal) when no memory is left.
 *          A duplicate is not reported.
 */
KEEL_API hash_node_t *hash_add(hash_table_t *ht, const void *key, int key_len,
                               const void *value, int size);
/** Replaces the value of a present key (a NULL value removes it). Returns NULL
 * when the key is absent, or when the new value cannot be stored; the old
 * value is kept then.
 * @param ht the table.
 * @param key the key's bytes.
 * @param key_len their count.
 * @param value the new value's bytes, or NULL.
 * @param size their count.
 * @return the entry, or NULL.
 * @reports "ht == NULL || key == NULL", "key_len < 0", "size < 0" or
 *          "realloc fail, hn->val kept" (info). An absent key is not
 *          reported.
 */
KEEL_API hash_node_t *hash_mod(hash_table_t *ht, const void *key, int key_len,
                               const void *value, int size);
/** Looks a key up.
 * @param ht the table.
 * @param key the key's bytes.
 * @param key_len their count.
 * @return the entry, or NULL when absent.
 * @reports "ht == NULL", "key == NULL" or "key_len < 0" (info).
 */
KEEL_API hash_node_t *hash_find(hash_table_t *ht, const void *key, int key_len);
/** Removes hn and returns the entry that followed it in insertion order.
 * @param ht the table hn belongs to.
 * @param hn the entry.
 * @return the next entry, NULL at the end or when nothing was removed.
 * @reports "ht == NULL || hn == NULL" or "hn is not in ht" (info).
 */
KEEL_API hash_node_t *hash_del(hash_table_t *ht, hash_node_t *hn);
/** Removes the entry of a key. Returns 1 whether or not the key was present.
 * @param ht the table.
 * @param key the key's bytes.
 * @param key_len their count.
 * @return 1, or 0 for a NULL table or key or a negative length.
 * @reports "ht == NULL || key == NULL" or "key_len < 0" (info).
 */
KEEL_API int hash_del_by_key(hash_table_t *ht, const void *key, int key_len);
/** The number of entries.
 * @param ht the table.
 * @return the count, or 0 for NULL.
 * @reports "ht == NULL" (info).
 */
KEEL_API uint32_t hash_count(hash_table_t *ht);

/** The first entry in insertion order.
 * @param ht the table.
 * @return the entry, or NULL when the table is empty.
 * @reports "ht == NULL" (info).
 */
KEEL_API hash_node_t *hash_head(hash_table_t *ht);
/** The entry added after hn.
 * @param ht the table.
 * @param hn an entry of it.
 * @return the entry, or NULL at the end.
 * @reports "ht == NULL || hn == NULL" (info).
 */
KEEL_API hash_node_t *hash_next(hash_table_t *ht, hash_node_t *hn);
/** The entry's key bytes, followed by at least four zero bytes.
 * @param hn the entry.
 * @return the key, or NULL for NULL.
 * @reports "hn == NULL" (info).
 */
KEEL_API void *hash_get_key(hash_node_t *hn);
/** The entry's value bytes (NULL for an entry without a value).
 * @param hn the entry.
 * @return the value, or NULL.
 * @reports "hn == NULL" (info).
 */
KEEL_API void *hash_get_value(hash_node_t *hn);

/** Takes the table's lock (re-entrant).
 * @param ht the table.
 * @return 1, or 0 for NULL.
 * @reports "ht == NULL" (info).
 */
KEEL_API int hash_lock(hash_table_t *ht);
/** Releases one hash_lock of the calling thread.
 * @param ht the table.
 * @return 1; 0 for NULL or a lock the thread does not hold.
 * @reports "ht == NULL" or "mutex is not held by this thread" (info).
 */
KEEL_API int hash_unlock(hash_table_t *ht);

KEEL_END_DECLS

#endif /* KEEL_HASH_H */
