/* The public interface used from plain C11: every header must compile as C
 * and a few calls of each family must work. Prints "N passed, N failed". */
#include <stdio.h>
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

    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
