// The event loop behind the message functions: a message queue, window procedures, timers and
// the socket registrations, multiplexed on one epoll descriptor. The threads share one loop,
// except a worker thread that makes a loop of its own (ThreadLoop).
#pragma once

#include "platform/UniqueFd.h"
#include "platform/messages.h"

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

struct epoll_event;

namespace platform {

class EventLoop {
public:
    EventLoop();

    HWND CreateWindow(WindowProc proc);
    void DestroyWindow(HWND window);
    bool HasWindow(HWND window);
    bool Post(HWND window, unsigned msg, WPARAM wParam, LPARAM lParam);
    unsigned SetTimer(HWND window, unsigned id, unsigned intervalMs);
    bool KillTimer(HWND window, unsigned id);
    void SetHook(ToolkitHook hook) { hook_ = std::move(hook); }
    int Fd() const { return epoll_.Get(); }
    int Timeout();

    // Sleep until anything is pending, at most maxMs (-1: until then), then dispatch it.
    void Pass(int maxMs);
    // Passes made so far.
    unsigned long long Passes() const { return passes_; }

    // Socket registrations; those with a result return 0, or the errno of a registration the
    // system refused.
    int Select(int fd, HWND window, unsigned msg, long events);
    void Forget(int fd);
    int MarkConnecting(int fd);
    int MarkListening(int fd);
    int MarkWriteBlocked(int fd);
    void MarkAcceptCalled(int fd);
    void MarkAccepted(int fd);

private:
    unsigned long long passes_ = 0;
    using Clock = std::chrono::steady_clock;
    struct Message {
        HWND window;
        unsigned msg;
        WPARAM wParam;
        LPARAM lParam;
        int fd;       // socket whose notification this is, or -1
        long event;   // its event code
    };
    struct Timer {
        unsigned interval;
        Clock::time_point due;
        bool queued = false;
    };
    struct Socket {
        HWND window = 0;
        unsigned msg = 0;
        long events = 0;
        bool connecting = false;
        bool listening = false;
        bool established = false;  // connected: an unconnected socket polls as hung up
        bool accepted = false;     // came from accept(): connected, even if already reset
        bool resetAtConnect = false;  // the reset read at connect is the close's error, later
        bool writeBlocked = false;
        bool closed = false;       // FD_CLOSE delivered or connection failed: no more events
        bool readQueued = false;
        bool acceptReported = false;  // FD_ACCEPT given: no other until accept() is called
        unsigned epollMask = 0;
        bool inEpoll = false;
    };

    void Poll(int timeoutMs);
    int Wait(::epoll_event* events, int count, int timeoutMs);
    void HandleSocket(int fd, unsigned ready);
    void QueueSocketEvent(int fd, Socket& s, long event, int error);
    void Unwatch(int fd);
    void StopWatching(int fd, Socket& s);
    int UpdateEpoll(int fd, Socket& s);
    void KeepWatching(int fd, Socket& s);
    static unsigned EpollMask(const Socket& s);
    int PassWait(int maxMs);
    void QueueDueTimers();
    void Dispatch();
    bool OnLoopThread() const { return std::this_thread::get_id() == owner_; }

    UniqueFd epoll_;
    UniqueFd wake_;  // eventfd for posts from other threads
    std::thread::id owner_;
    bool quickEvents_ = false;  // the last sleep ended with an event soon
    std::mutex mutex_;  // guards queue_ and windows_ against posting threads
    std::deque<Message> queue_;
    std::unordered_map<HWND, std::shared_ptr<WindowProc>> windows_;
    HWND nextWindow_ = 1;
    std::map<std::pair<HWND, unsigned>, Timer> timers_;
    std::unordered_map<int, Socket> sockets_;
    ToolkitHook hook_;
};

// The calling thread's loop: its own one while a ThreadLoop lives on it, else the shared one.
EventLoop& Loop();
// The same loop, kept alive for a thread that posts to it later (a host lookup).
std::shared_ptr<EventLoop> LoopHandle();
// True on a thread that runs a loop of its own: no toolkit and no application error report there.
bool OnThreadLoop();

// Gives the thread that makes it a loop of its own for as long as it lives, so that a worker
// thread's sockets, windows and timers wait and dispatch apart from the other threads'. Only
// Post reaches it from other threads, through the handle its thread got from LoopHandle().
class ThreadLoop {
public:
    ThreadLoop();
    ~ThreadLoop();
    ThreadLoop(const ThreadLoop&) = delete;
    ThreadLoop& operator=(const ThreadLoop&) = delete;
};

}  // namespace platform
