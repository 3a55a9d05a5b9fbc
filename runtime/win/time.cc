// The monotonic clock (the performance counter), and a plain sleep of the
// calling thread.
#include <winsock2.h>  // before windows.h, which would bring the older socket header
#include <windows.h>

#include "keel/os_runtime.h"
#include "runtime/platform.h"

namespace keel::rt {

int64_t monotonic_us() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);  // never fails from Windows XP on
        return static_cast<int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // In two parts: the count times a million would pass 2^63 after some
    // weeks of a 10 MHz counter.
    const int64_t ticks = now.QuadPart;
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

}  // namespace keel::rt

// Sleep(0) gives up the rest of the time slice.
extern "C" KEEL_API void os_sleep(uint32_t ms) { Sleep(ms); }
