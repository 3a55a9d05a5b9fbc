// The main lock's storage: a critical section, which has no static
// initialiser, so it is made as the DLL loads, before any caller can reach
// it. An os_main_lock or a post that comes before os_startup then neither
// crashes nor deadlocks.
#include "runtime/runtime_internal.h"
#include "sync/sync_internal.h"

namespace keel::rt {

os_mutex_t s_main_mutex;

namespace {
[[maybe_unused]] const bool s_main_mutex_made = keel::sync::mutex_init(&s_main_mutex);
}  // namespace

}  // namespace keel::rt
