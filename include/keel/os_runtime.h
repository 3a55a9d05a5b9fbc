/* Keel runtime: start-up, the main thread, posted functions and timers. */
#ifndef KEEL_OS_RUNTIME_H
#define KEEL_OS_RUNTIME_H

#include <stdint.h>

#include "keel/export.h"

KEEL_BEGIN_DECLS

/* Sleeps the calling thread for ms milliseconds; 0 yields the processor. */
KEEL_API void os_sleep(uint32_t ms);

KEEL_END_DECLS

#endif /* KEEL_OS_RUNTIME_H */
