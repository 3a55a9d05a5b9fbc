/* The public interface used from plain C11: every header must compile as C
 * and a few calls of each family must work. Prints "N passed, N failed". */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "keel.h"

static int passed, failed;

#define CHECK(cond)                                                   \
    do {                                                              \
        if (cond) {                                                   \
            ++passed;                                                 \
        } else {                                                      \
            ++failed;                                                 \
            fprintf(stdout, "FAILED: %s (line %d)\n", #cond, __LINE__); \
        }                                                             \
    } while (0)

static os_mutex_t shared_lock;
static int counter;

static uint32_t bump(void *arg) {
    int times = *(int *)arg;
    for (int i = 0; i < times; ++i) {
        os_mutex_lock(&shared_lock);
        os_mutex_lock(&shared_lock);
        ++counter;
        os_mutex_unlock(&shared_lock);
        os_mutex_unlock(&shared_lock);
    }
    return 0;
}

static void mark_ran(void *flag) { *(_Atomic int *)flag = 1; }

int main(void) {
    CHECK(log_start(0, LOG_LEVEL_ERROR) == 1);
    log_msg("not shown: below the threshold");

    CHECK(os_mutex_init(&shared_lock, 0) == 1);
    int times = 10000;
    os_thread_t a, b;
    CHECK(os_thread_create(&a, 0, bump, &times) == 1);
    CHECK(os_thread_create(&b, 0, bump, &times) == 1);
    CHECK(os_thread_join(&a) == 1);
    CHECK(os_thread_join(&b) == 1);
    CHECK(counter == 2 * times);
    CHECK(os_mutex_destroy(&shared_lock) == 1);

    os_native_condition_t cond;
    CHECK(os_native_condition_init(&cond) == 0);
    CHECK(os_native_condition_wait(&cond, 0) == -2);
    CHECK(os_native_condition_set(&cond, 1) == 0);
    CHECK(os_native_condition_wait(&cond, OS_WAIT_INFINITE) == 0);
    CHECK(os_native_condition_uninit(&cond) == 0);

    os_rwlock_t *rw = os_rwlock_create();
    CHECK(rw != NULL && os_rwlock_wrlock(rw) == 1 && rw->mode == 2);
    CHECK(os_rwlock_unlock(rw) == 1 && rw->mode == 0);
    CHECK(os_rwlock_free(rw) == 1);

    os_sleep(0);
    CHECK(os_thread_self() != 0);

    adt_dlist_t *list = adt_dlist_create(sizeof(int));
    int values[] = {1, 2, 3};
    for (int i = 0; i < 3; ++i) adt_dlist_add(list, NULL, &values[i]);
    CHECK(adt_dlist_lock(list) == 1 && adt_dlist_size(list) == 3);
    CHECK(*(int *)adt_dlist_getdata(adt_dlist_end(list)) == 3);
    CHECK(adt_dlist_delete_ex(list, adt_dlist_head(list)) == list->head);
    CHECK(adt_dlist_unlock(list) == 1 && adt_dlist_destroy(list) == 1);

    ringbuf_t *ring = ringbuf_create(8, RINGBUF_WRITE_OVERWRITE);
    char out[8] = {0};
    CHECK(ringbuf_write(10, "0123456789", ring) == 8);
    CHECK(ringbuf_read(7, out, ring) == 7 && memcmp(out, "2345678", 7) == 0);
    CHECK(ringbuf_datasize(ring) == 1 && ringbuf_capacity(ring) == 7);
    ringbuf_destroy(ring);

    hash_table_t *table = hash_create();
    CHECK(hash_add(table, "key", 3, "value", 6) != NULL);
    CHECK(hash_add(table, "key", 3, "other", 6) == NULL);
    CHECK(strcmp((const char *)hash_get_value(hash_find(table, "key", 3)), "value") == 0);
    CHECK(hash_count(table) == 1 && hash_del(table, hash_head(table)) == NULL);
    CHECK(hash_destroy(table) == 1);

    char ip[16];
    CHECK(get_valid_addr("::1") == 1 && os_get_ip_type("10.0.0.1") == 0);
    CHECK(os_ip_cmp("::1", "0:0:0:0:0:0:0:1") == 1);
    CHECK(os_inet_host_byte_to_ip(os_inet_ip_to_host_byte("1.2.3.4"), ip, sizeof ip) == 1 &&
          strcmp(ip, "1.2.3.4") == 0);

    char hex[5], latin1[8] = {0};
    unsigned char bytes[2] = {0x12, 0xEF}, back[2];
    CHECK(os_encode(bytes, 2, hex) == 1 && os_decode(hex, 4, back) == 1 && back[1] == 0xEF);
    CHECK(os_code_convert("UTF-8", "ISO-8859-1", latin1, sizeof latin1, "caf\xc3\xa9", 5) == 4);
    char *copy = os_strdup("text");
    os_free(&copy);
    CHECK(copy == NULL);
    os_localtime_t now;
    CHECK(os_get_localtime(&now) == 1 && now.month >= 1 && now.month <= 12);
    char dir[4096];
    CHECK(os_get_work_path(dir, sizeof dir) == 1 && dir[0] == '/');

    os_proc_t *child = os_exec_process_ex("sh -c \"exit 7\"");
    CHECK(child != NULL);
    for (int i = 0; i < 1000 && os_exec_query(child) == 1; ++i) os_sleep(10);
    CHECK(child != NULL && child->ended == 1 && child->exit_code == 7);
    CHECK(os_exec_destroy(child) == 0);
    CHECK(os_get_proc_mutex() == 0 && os_get_proc_mutex() == 1);

    os_comm_client_t *port = os_comm_client_create(0, 9600, 8, 'N', 1);
    CHECK(port != NULL && os_comm_client_create(MAX_COM_PORT_NUM + 1, 9600, 8, 'N', 1) == NULL);
    CHECK(os_comm_client_set_udata(port, &counter) == 1 && os_comm_client_get_udata(port) == &counter);
    CHECK(os_comm_client_get_status(port) == 0 && os_comm_client_send(port, "x", 1) == -1);
    if (getenv("KEEL_COM0") == NULL) CHECK(os_comm_client_open(port) == 0); /* COM0 has no default device */
    CHECK(os_comm_client_close(port) == 1 && os_comm_client_destroy(port) == 1);

    CHECK(os_startup(0, 0) == 1 && os_is_startup() == 1);
    static _Atomic int ran;
    CHECK(os_post_func(mark_ran, (void *)&ran) == 1);
    for (int i = 0; i < 500 && !ran; ++i) os_sleep(10);
    CHECK(ran == 1);
    os_timer_t *timer = os_timer_create(mark_ran, 1000, (void *)&ran);
    CHECK(timer != NULL && os_timer_destroy(timer) == 1);
    /* A server and a client of it on the loopback, as a C program sees them. */
    os_tcp_server_t *server = os_tcp_server_create();
    CHECK(os_tcp_server_set_local(server, "127.0.0.1", 0) == 1 && os_tcp_server_open(server) == 1);
    CHECK(os_tcp_server_get_status(server) == TCP_SERVER_STATUS_LISTEN);
    os_tcp_client_t *client = os_tcp_client_create();
    CHECK(os_tcp_client_set_remote(client, "::1", 9) == 1 && os_tcp_client_get_status(client) == 0);
    CHECK(os_tcp_client_destroy(client) == 1 && os_tcp_server_destroy(server) == 1);
    os_udp_client_t *udp = os_udp_client_create();
    CHECK(udp != NULL && os_udp_client_open(udp) == 1 && os_udp_client_get_status(udp) == UDP_CLIENT_STATUS_OPEN);
    CHECK(os_cleanup() == 1 && os_udp_client_get_status(udp) == UDP_CLIENT_STATUS_CLOSED);
    CHECK(os_udp_client_destroy(udp) == 1);
    log_v3_attr_t attr = {16, 0, 0, 0};
    log_get_v3_attr(&attr);
    CHECK(attr.single_file == 0 && log_set_log_with_pid(1) == 0);

    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
