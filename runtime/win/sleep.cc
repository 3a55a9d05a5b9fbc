// A plain sleep of the calling thread.
#include <windows.h>

#include "keel/os_runtime.h"

// Sleep(0) gives up the rest of the time slice.
extern "C" KEEL_API void os_sleep(uint32_t ms) { Sleep(ms); }
