// What a mutex's life needs beside the platform's lock calls: its storage.
#include <cstdlib>

#include "keel/os_sync.h"
#include "log/report.h"

extern "C" {

KEEL_API os_mutex_t *os_mutex_create(int recursive) {
    auto *mutex = static_cast<os_mutex_t *>(malloc(sizeof(os_mutex_t)));
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return nullptr;
    }
    if (!os_mutex_init(mutex, recursive)) {
        KEEL_INFO("!os_mutex_init(mutex, recursive)");
        free(mutex);
        return nullptr;
    }
    return mutex;
}

KEEL_API int os_mutex_free(os_mutex_t *mutex) {
    os_mutex_destroy(mutex);
    free(mutex);
    return 1;
}

}  // extern "C"
