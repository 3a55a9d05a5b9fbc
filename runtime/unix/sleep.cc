// A plain sleep of the calling thread.
#include <sched.h>
#include <time.h>

#include <cerrno>

#include "keel/os_runtime.h"

extern "C" KEEL_API void os_sleep(uint32_t ms) {
    if (ms == 0) {
        sched_yield();  // give up the rest of the time slice, as a zero sleep does
        return;
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
