// Ctrl+C for a job without a window: SIGINT is blocked in every thread and read from a signal
// descriptor by a watcher thread, which counts it and posts it to the runner's window, so the
// job sees it between two messages like a click.
#pragma once

#include "platform/UniqueFd.h"
#include "platform/messages.h"

#include <atomic>
#include <mutex>
#include <thread>

#include <signal.h>

class TInterruptWatch {
public:
    TInterruptWatch();
    ~TInterruptWatch();
    TInterruptWatch(const TInterruptWatch&) = delete;
    TInterruptWatch& operator=(const TInterruptWatch&) = delete;

    // Posts `msg` (wParam: the count) to `window` for every Ctrl+C, those already seen included.
    void Deliver(platform::HWND window, unsigned msg);
    int Count() const { return count_; }

private:
    void Watch();
    // The third Ctrl+C: whatever the job is stuck in, the user wants out now.
    [[noreturn]] static void Quit();

    sigset_t previous_{};
    platform::UniqueFd signals_;
    platform::UniqueFd stopper_;
    std::atomic<int> count_{0};
    std::mutex mutex_;
    platform::HWND window_ = 0;
    unsigned msg_ = 0;
    std::thread thread_;
};
