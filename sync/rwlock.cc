// What a read-write lock's life needs beside the platform's lock calls: its storage.
#include <cstdlib>

#include "keel/os_sync.h"
#include "log/report.h"

extern "C" {

// A zero-filled lock is a valid unlocked lock, so the record is usable at once.
KEEL_API os_rwlock_t *os_rwlock_create(void) {
    auto *lock = static_cast<os_rwlock_t *>(calloc(1, sizeof(os_rwlock_t)));
    if (lock == nullptr) KEEL_FATAL("mp_lock == NUL");
    return lock;
}

KEEL_API int os_rwlock_free(os_rwlock_t *lock) {
    free(lock);
    return 1;
}

}  // extern "C"
