// The records behind the opaque ring buffer and hash table handles. Only the
// container sources (and white-box tests) look inside them.
#pragma once

#include <cstdint>

#include "adt/jenkins_hash.h"
#include "keel/hash.h"
#include "keel/os_sync.h"
#include "keel/ringbuf.h"

// One heap block: the fields, then bufsize bytes of byte area.
struct ringbuf {
    os_mutex_t lock;
    int32_t write_type;    // RINGBUF_WRITE_BLOCK or RINGBUF_WRITE_OVERWRITE
    int32_t bufsize;       // above 0
    uint32_t read_index;   // running count of bytes consumed
    uint32_t write_index;  // running count of bytes written
    unsigned char data[];  // byte of running index i: data[i % bufsize]
};

// One heap block per entry: sizeof(hash_node) plus key_len, zero-filled, so
// the four-byte key area leaves at least four zero bytes after the key.
struct hash_node {
    UT_hash_handle hh;  // hh.key points at key below
    void *val;          // the table's own copy, or NULL
    int32_t key_len;
    char key[4];
};

struct hash_table {
    hash_node *head;  // first entry in insertion order; NULL while empty
    os_mutex_t *mutex;
};
