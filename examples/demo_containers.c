/* The containers at work: a ring buffer that overwrites and one that makes a
 * writer wait for its reader, and a hash table walked in insertion order. */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "keel.h"

static void show_overwrite(void) {
    ringbuf_t *ring = ringbuf_create(8, RINGBUF_WRITE_OVERWRITE);
    char out[9] = {0};
    ringbuf_write(5, "hello", ring);
    ringbuf_write(6, "-world", ring);
    printf("overwrite: wrote \"hello\" and \"-world\" into 8 bytes, %d stored\n",
           ringbuf_datasize(ring));
    ringbuf_read(8, out, ring);
    printf("overwrite: reading gives \"%s\" (the 3 oldest bytes were dropped)\n", out);
    ringbuf_destroy(ring);
}

static ringbuf_t *s_pipe;

static uint32_t slow_reader(void *arg) {
    char *got = arg;
    size_t have = 0;
    while (have < 26) {
        os_sleep(5);
        int n = ringbuf_read(have + 4 <= 26 ? 4 : (int)(26 - have), got + have, s_pipe);
        if (n > 0) have += (size_t)n;
    }
    return 0;
}

static void show_block(void) {
    const char *letters = "abcdefghijklmnopqrstuvwxyz";
    char got[27] = {0};
    os_thread_t reader;
    s_pipe = ringbuf_create(4, RINGBUF_WRITE_BLOCK);
    os_thread_create(&reader, 0, slow_reader, got);
    /* 26 bytes through a 4-byte buffer: the write returns once the reader has
     * taken all but what fits. */
    ringbuf_write(26, letters, s_pipe);
    os_thread_join(&reader);
    printf("block: 26 letters through a 4-byte buffer arrived as \"%s\"\n", got);
    ringbuf_destroy(s_pipe);
}

static void show_hash(void) {
    static const char *const names[] = {"tcp", "udp", "serial", "timer"};
    hash_table_t *table = hash_create();
    for (int i = 0; i < 4; ++i)
        hash_add(table, names[i], (int)strlen(names[i]), &i, (int)sizeof i);
    int port = 8080;
    hash_mod(table, "udp", 3, &port, (int)sizeof port);
    hash_del_by_key(table, "serial", 6);
    printf("hash: %u entries after one change and one removal; \"tcp\" added again: %s\n",
           hash_count(table), hash_add(table, "tcp", 3, NULL, 0) ? "yes" : "refused");
    for (hash_node_t *hn = hash_head(table); hn != NULL; hn = hash_next(table, hn))
        printf("hash:   %-6s -> %d\n", (const char *)hash_get_key(hn),
               *(const int *)hash_get_value(hn));
    hash_destroy(table);
}

void demo_containers(void) {
    fflush(stderr);
    demo_section("ring buffer and hash table");
    show_overwrite();
    show_block();
    show_hash();
    fflush(stdout);
}
