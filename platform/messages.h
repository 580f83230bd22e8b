// Hidden notification windows, posted messages and window timers: the single-threaded
// message queue on which the socket transport is built. Everything here runs on the thread
// that first used it (the UI thread), or on a worker thread with a loop of its own
// (platform/eventloop.h); only PostMessage may be called from other threads.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

namespace platform {

using HWND = std::uint32_t;  // 0 is no window
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using WindowProc = std::function<void(unsigned msg, WPARAM wParam, LPARAM lParam)>;

constexpr unsigned WM_TIMER = 0x0113;
constexpr unsigned WM_USER = 0x0400;

// A window that only receives messages. Destroying it drops the messages still queued for it.
HWND CreateNotifyWindow(WindowProc proc);
void DestroyNotifyWindow(HWND window);

// Queue a message for `window`; false when the window does not exist. Thread-safe.
bool PostMessage(HWND window, unsigned msg, WPARAM wParam, LPARAM lParam);

// A periodic WM_TIMER (wParam = id) every `intervalMs`; returns id, or 0 when refused.
unsigned SetTimer(HWND window, unsigned id, unsigned intervalMs);
bool KillTimer(HWND window, unsigned id);

// Dispatch every due socket notification, posted message and timer tick, then let the
// window toolkit process its own events through the hook.
void ProcessMessages();

// One pass of a waiting loop: sleep until a socket event, a posted message (also from another
// thread) or the next timer deadline, but at most `maxMs` milliseconds (-1: no bound of its
// own), then process everything pending. An idle wait costs no wake-ups.
void WaitPass(int maxMs = -1);
// Passes the calling thread's loop has made: one since a moment has read what every watched
// socket brought (or its close) up to its poll.
unsigned long long PassCount();

// The window toolkit's own event processing. Every pass ends with hook(0): process what is
// there. A pass that has to wait sleeps in hook(waitMs) instead of on its own, so that the
// toolkit's events wake it too; that sleep must end by `waitMs` (-1: no limit), at the
// toolkit's first event, or as soon as BackendFd() becomes readable.
using ToolkitHook = std::function<void(int waitMs)>;
void SetToolkitHook(ToolkitHook hook);

// Where an exception escaping a message handler goes (the application's standard error
// report); without a handler it is written to stderr.
void SetExceptionHandler(std::function<void(const std::exception&)> handler);
void HandleApplicationException(const std::exception& error);

// Hosting contract for another event loop: the descriptor becomes readable when socket
// events are pending; the timeout is the milliseconds until the next timer (-1 none, 0 now).
int BackendFd();
int BackendTimeout();

// A blocking pause.
void Sleep(unsigned ms);

// Owns a notification window for the lifetime of the object.
class NotifyWindow {
public:
    explicit NotifyWindow(WindowProc proc) : handle_(CreateNotifyWindow(std::move(proc))) {}
    ~NotifyWindow() { DestroyNotifyWindow(handle_); }
    NotifyWindow(const NotifyWindow&) = delete;
    NotifyWindow& operator=(const NotifyWindow&) = delete;
    HWND Handle() const { return handle_; }

private:
    HWND handle_;
};

}  // namespace platform
