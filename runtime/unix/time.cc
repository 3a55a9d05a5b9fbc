// The monotonic clock, and a plain sleep of the calling thread.
#include <sched.h>
#include <time.h>

#include <cerrno>

#include "keel/os_runtime.h"
#include "runtime/platform.h"

namespace keel::rt {

int64_t monotonic_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace keel::rt

extern "C" KEEL_API void os_sleep(uint32_t ms) {
    if (ms == 0) {
        sched_yield();  // give up the rest of the time slice, as a zero sleep does
        return;
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
