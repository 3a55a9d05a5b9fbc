// The platform layer's queue, tick and deadline on Windows' own services: the
// queue is a message-only worker window's (the main thread makes it, and
// takes its messages with GetMessage), the tick is a multimedia timer, and the
// precise timers' deadline is a high-resolution waitable timer that a thread
// of its own waits on. The contract is in platform.h.
#include <winsock2.h>  // before windows.h, which would bring the older socket header
#include <windows.h>
#include <mmsystem.h>

#include <atomic>

#include "log/report.h"
#include "runtime/win/platform_win.h"
#include "sync/sync_internal.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace keel::rt {
namespace {

constexpr char kWindowClass[] = "keel_worker_window";

std::atomic<HWND> s_window{nullptr};
DWORD s_owner_thread = 0;

// At most one WM_TIMER waits: set by the tick when it posts, cleared when
// the owner takes the message.
std::atomic<bool> s_tick_waiting{false};

HANDLE s_deadline_timer = nullptr;  // made with the window, never closed

LRESULT CALLBACK worker_window_proc(HWND window, UINT number, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcA(window, number, wparam, lparam);
}

// The module the library lives in, which owns its window class.
HINSTANCE own_module() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&worker_window_proc), &module);
    return module;
}

// A synchronisation timer (reset by the wait it ends) of the finest
// resolution the system has; systems before Windows 10 1803, and wine, know
// only the plain one.
HANDLE make_deadline_timer() {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer == nullptr) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    return timer;
}

// Waits for each deadline and posts WM_DEADLINE for it: GetMessage alone
// waits on nothing but messages.
uint32_t deadline_waiter(void *) {
    for (;;) {
        if (WaitForSingleObject(s_deadline_timer, INFINITE) != WAIT_OBJECT_0) {
            KEEL_ERROR("WaitForSingleObject(deadline) err=[%lu]", GetLastError());
            return 1;
        }
        PostMessageA(s_window.load(std::memory_order_acquire), WM_DEADLINE, 0, 0);
    }
}

void CALLBACK on_timer_proc(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (!s_tick_waiting.exchange(true, std::memory_order_acq_rel) && !queue_post(WM_TIMER, 0, 0))
        s_tick_waiting.store(false, std::memory_order_release);
}

}  // namespace

HWND worker_window() { return s_window.load(std::memory_order_acquire); }

bool queue_open() {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = worker_window_proc;
    window_class.hInstance = own_module();
    window_class.lpszClassName = kWindowClass;
    if (RegisterClassA(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, window_class.hInstance,
                                  nullptr);
    if (window == nullptr) return false;
    s_deadline_timer = make_deadline_timer();
    os_thread_t waiter{};
    if (s_deadline_timer == nullptr || !keel::sync::thread_start(&waiter, 64 * 1024, deadline_waiter, nullptr)) {
        DestroyWindow(window);
        return false;
    }
    keel::sync::thread_detach(&waiter);
    s_owner_thread = GetCurrentThreadId();
    s_window.store(window, std::memory_order_release);
    return true;
}

bool queue_post(uint32_t number, uintptr_t wparam, LParam lparam) {
    HWND window = s_window.load(std::memory_order_acquire);
    return window != nullptr && PostMessageA(window, number, wparam, static_cast<LPARAM>(lparam)) != 0;
}

int queue_get(Message *out) {
    MSG msg;
    BOOL rc = GetMessageA(&msg, nullptr, 0, 0);
    if (rc == -1) return -1;
    // WM_QUIT (rc 0) is nobody's to send here: taken as any unknown message.
    if (socket_message(msg, out)) return 1;
    *out = Message{msg.message, msg.wParam, static_cast<LParam>(msg.lParam)};
    if (msg.message == WM_TIMER) s_tick_waiting.store(false, std::memory_order_release);
    return 1;
}

bool tick_start() {
    // The tick keeps its period for the life of the process: nothing kills it.
    return timeSetEvent(1000, 10, on_timer_proc, 0, TIME_PERIODIC | TIME_CALLBACK_FUNCTION) != 0;
}

bool deadline_set(int64_t due_us) {
    if (s_window.load(std::memory_order_acquire) == nullptr) return false;
    if (due_us == 0) return CancelWaitableTimer(s_deadline_timer) != 0;
    // Relative, in 100 ns units: the waitable timer's absolute times are the
    // wall clock's, which may be set back or forward.
    int64_t wait_us = due_us - monotonic_us();
    LARGE_INTEGER due;
    due.QuadPart = -(wait_us > 0 ? wait_us * 10 : 1);
    return SetWaitableTimer(s_deadline_timer, &due, 0, nullptr, nullptr, FALSE) != 0;
}

}  // namespace keel::rt
