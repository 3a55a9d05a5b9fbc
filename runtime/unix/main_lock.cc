// The main lock's storage: a re-entrant mutex usable from load, so an
// os_main_lock or a post that comes before os_startup neither crashes nor
// deadlocks.
#include <pthread.h>

#include "runtime/runtime_internal.h"

namespace keel::rt {

os_mutex_t s_main_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

}  // namespace keel::rt
