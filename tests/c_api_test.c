/* Every public header compiles as plain C11, and a call of each family links and works with the records
 * as C sees them (what each call does is the C++ tests' job). Prints "N passed, N failed". */
#include <stdio.h>
#include <string.h>

#include "keel.h"

static int passed, failed;
#define CHECK(cond) ((cond) ? (void)++passed : (void)(++failed, printf("FAILED: %s (line %d)\n", #cond, __LINE__)))

static uint32_t count_up(void *arg) { return (uint32_t)(*(int *)arg += 1) * 0; }
static void mark_ran(void *flag) { *(_Atomic int *)flag = 1; }

int main(void) {
    CHECK(log_start(0, LOG_LEVEL_ERROR) == 1);
    log_msg("not shown: below the threshold");
    os_mutex_t lock;
    os_thread_t thread;
    os_native_condition_t cond;
    int counter = 0, values[] = {1, 2, 3};
    CHECK(os_mutex_init(&lock, 0) == 1 && os_mutex_lock(&lock) == 1 && os_mutex_unlock(&lock) == 1);
    CHECK(os_thread_create(&thread, 0, count_up, &counter) == 1 && os_thread_join(&thread) == 1 && counter == 1);
    CHECK(os_mutex_destroy(&lock) == 1 && os_native_condition_init(&cond) == 0 && os_native_condition_set(&cond, 1) == 0);
    CHECK(os_native_condition_wait(&cond, OS_WAIT_INFINITE) == 0 && os_native_condition_uninit(&cond) == 0);
    os_rwlock_t *rw = os_rwlock_create();
    CHECK(rw != NULL && os_rwlock_wrlock(rw) == 1 && rw->mode == 2 && os_rwlock_unlock(rw) == 1 && os_rwlock_free(rw) == 1);
    adt_dlist_t *list = adt_dlist_create(sizeof(int));
    for (int i = 0; i < 3; ++i) adt_dlist_add(list, NULL, &values[i]);
    CHECK(adt_dlist_size(list) == 3 && *(int *)adt_dlist_getdata(adt_dlist_end(list)) == 3 && adt_dlist_destroy(list) == 1);
    ringbuf_t *ring = ringbuf_create(8, RINGBUF_WRITE_OVERWRITE);
    char out[8] = {0}, ip[16], latin1[8] = {0};
    CHECK(ringbuf_write(10, "0123456789", ring) == 8 && ringbuf_read(7, out, ring) == 7 && memcmp(out, "2345678", 7) == 0);
    ringbuf_destroy(ring);
    hash_table_t *table = hash_create();
    CHECK(hash_add(table, "key", 3, "value", 6) != NULL);
    CHECK(strcmp((const char *)hash_get_value(hash_find(table, "key", 3)), "value") == 0 && hash_destroy(table) == 1);
    CHECK(get_valid_addr("::1") == 1 && os_ip_cmp("::1", "0:0:0:0:0:0:0:1") == 1);
    CHECK(os_inet_host_byte_to_ip(os_inet_ip_to_host_byte("1.2.3.4"), ip, sizeof ip) == 1 && strcmp(ip, "1.2.3.4") == 0);
    CHECK(os_code_convert("UTF-8", "ISO-8859-1", latin1, sizeof latin1, "caf\xc3\xa9", 5) == 4);
    os_localtime_t now;
    CHECK(os_get_localtime(&now) == 1 && now.month >= 1 && now.month <= 12);
    os_proc_t *child = os_exec_process_ex("sh -c \"exit 7\"");
    for (int i = 0; i < 1000 && child != NULL && os_exec_query(child) == 1; ++i) os_sleep(10);
    CHECK(child != NULL && child->ended == 1 && child->exit_code == 7 && os_exec_destroy(child) == 0);
    os_comm_client_t *port = os_comm_client_create(0, 9600, 8, 'N', 1);
    CHECK(port != NULL && os_comm_client_get_status(port) == 0 && os_comm_client_destroy(port) == 1);
    static _Atomic int ran;
    CHECK(os_startup(0, 0) == 1 && os_post_func(mark_ran, (void *)&ran) == 1);
    for (int i = 0; i < 500 && !ran; ++i) os_sleep(10);
    os_tcp_server_t *server = os_tcp_server_create();
    CHECK(ran == 1 && os_tcp_server_set_local(server, "127.0.0.1", 0) == 1 && os_tcp_server_open(server) == 1);
    CHECK(os_tcp_server_get_status(server) == TCP_SERVER_STATUS_LISTEN && os_tcp_server_destroy(server) == 1);
    os_tcp_client_t *client = os_tcp_client_create();
    CHECK(os_tcp_client_set_remote(client, "::1", 9) == 1 && os_tcp_client_destroy(client) == 1);
    os_udp_client_t *udp = os_udp_client_create();
    CHECK(udp != NULL && os_udp_client_open(udp) == 1 && os_udp_client_get_status(udp) == UDP_CLIENT_STATUS_OPEN);
    log_v3_attr_t attr = {16, 0, 0, 0};
    log_get_v3_attr(&attr);
    CHECK(os_udp_client_destroy(udp) == 1 && attr.single_file == 0);
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
