// A program's life in one call: os_run waits for os_stop. And what the
// program tells its service manager of that life (the messages themselves
// are the platform's: service_manager.cc).
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {
namespace {

std::mutex s_run_lock;
std::condition_variable s_run_stopped;
bool s_stop_waits = false;  // a stop that no run has taken yet
int s_stop_code = 0;

// The limit keeps one message to one datagram, far below any socket's.
constexpr size_t kStatusMax = 1024;

}  // namespace
}  // namespace keel::rt

using namespace keel::rt;

extern "C" {

KEEL_API int os_run(void) {
    if (!os_is_startup()) {
        KEEL_INFO("os_is_startup() == 0");
        return -1;
    }
    if (t_main_thread) {
        KEEL_INFO("os_run on the main thread would wait forever");
        return -1;
    }
    std::unique_lock<std::mutex> lock(s_run_lock);
    s_run_stopped.wait(lock, [] { return s_stop_waits; });
    s_stop_waits = false;
    return s_stop_code;
}

KEEL_API int os_stop(int code) {
    {
        std::lock_guard<std::mutex> guard(s_run_lock);
        if (!s_stop_waits) s_stop_code = code;
        s_stop_waits = true;
    }
    s_run_stopped.notify_all();
    service_notify("STOPPING=1");
    return 1;
}

KEEL_API int os_service_ready(void) { return service_notify("READY=1") ? 1 : 0; }

KEEL_API int os_service_status(const char *text) {
    if (text == nullptr) {
        KEEL_INFO("text == NULL");
        return 0;
    }
    std::string message = "STATUS=";
    message.append(text, strnlen(text, kStatusMax));
    for (char &c : message)
        if (c == '\n') c = ' ';  // one message is one line
    return service_notify(message.c_str()) ? 1 : 0;
}

}  // extern "C"
