#include "platform/eventloop.h"

#include "platform/winsock.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace platform {

namespace {

// Set on a thread that runs a loop of its own (ThreadLoop); every other thread shares the first.
thread_local std::shared_ptr<EventLoop> threadLoop;
// Loops of their own alive now: threads that would need the CPU a spinning loop takes.
std::atomic<int> threadLoops{0};

// How long a loop looks again for an event before it sleeps, and how soon an event must have
// come after the last sleep for the next wait to look first.
constexpr auto SpinTime = std::chrono::microseconds(200);
constexpr auto QuickEvent = std::chrono::microseconds(1000);

std::shared_ptr<EventLoop>& SharedLoop()
{
    // Never destroyed: a host lookup still running on its own thread may post at exit.
    static auto* loop = new std::shared_ptr<EventLoop>(std::make_shared<EventLoop>());
    return *loop;
}

}  // namespace

EventLoop& Loop()
{
    return threadLoop ? *threadLoop : *SharedLoop();
}

std::shared_ptr<EventLoop> LoopHandle()
{
    return threadLoop ? threadLoop : SharedLoop();
}

bool OnThreadLoop()
{
    return threadLoop != nullptr;
}

ThreadLoop::ThreadLoop()
{
    threadLoop = std::make_shared<EventLoop>();
    ++threadLoops;
}

ThreadLoop::~ThreadLoop()
{
    --threadLoops;
    threadLoop.reset();
}

EventLoop::EventLoop()
    : epoll_(epoll_create1(EPOLL_CLOEXEC)),
      wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      owner_(std::this_thread::get_id())
{
    if (!epoll_ || !wake_)
        throw std::runtime_error("cannot create the event loop");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_.Get();
    if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &ev) != 0)
        throw std::runtime_error("cannot create the event loop");
}

HWND EventLoop::CreateWindow(WindowProc proc)
{
    std::lock_guard lock(mutex_);
    const HWND handle = nextWindow_++;
    windows_[handle] = std::make_shared<WindowProc>(std::move(proc));
    return handle;
}

void EventLoop::DestroyWindow(HWND window)
{
    {
        std::lock_guard lock(mutex_);
        windows_.erase(window);
        std::erase_if(queue_, [window](const Message& m) { return m.window == window; });
    }
    for (auto it = timers_.begin(); it != timers_.end();)
        it = it->first.first == window ? timers_.erase(it) : std::next(it);
    for (auto& [fd, s] : sockets_) {
        if (s.window == window) {
            s.events = 0;
            StopWatching(fd, s);
        }
    }
}

bool EventLoop::HasWindow(HWND window)
{
    std::lock_guard lock(mutex_);
    return windows_.count(window) != 0;
}

// A loop never sleeps while its queue holds messages (see Timeout), so only the message that
// finds the queue empty needs to wake it.
bool EventLoop::Post(HWND window, unsigned msg, WPARAM wParam, LPARAM lParam)
{
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        if (windows_.count(window) == 0)
            return false;
        first = queue_.empty();
        queue_.push_back(Message{window, msg, wParam, lParam, -1, 0});
    }
    if (first && !OnLoopThread()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake_.Get(), &one, sizeof one);
    }
    return true;
}

unsigned EventLoop::SetTimer(HWND window, unsigned id, unsigned intervalMs)
{
    if (id == 0 || !HasWindow(window))
        return 0;
    Timer& t = timers_[{window, id}];
    t.interval = std::max(1u, intervalMs);
    t.due = Clock::now() + std::chrono::milliseconds(t.interval);
    return id;
}

bool EventLoop::KillTimer(HWND window, unsigned id)
{
    return timers_.erase({window, id}) != 0;
}

int EventLoop::Timeout()
{
    {
        std::lock_guard lock(mutex_);
        if (!queue_.empty())
            return 0;
    }
    if (timers_.empty())
        return -1;
    auto next = Clock::time_point::max();
    for (const auto& [key, t] : timers_)
        next = std::min(next, t.due);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

void EventLoop::Pass(int maxMs)
{
    QueueDueTimers();
    int wait = PassWait(maxMs);
    if (wait != 0 && hook_) {
        // The toolkit sleeps for both loops: its own events wake it, and so does our descriptor.
        hook_(wait);
        wait = 0;
    }
    Poll(wait);
    QueueDueTimers();
    Dispatch();
    if (hook_)
        hook_(0);
    ++passes_;
}

// How long a pass may sleep: until the next timer is due, within the caller's bound.
int EventLoop::PassWait(int maxMs)
{
    if (maxMs == 0)
        return 0;
    const int timers = Timeout();
    if (timers < 0)
        return maxMs;
    return maxMs < 0 ? timers : std::min(maxMs, timers);
}

// A reply from a server on this machine or the next one comes within tens of microseconds,
// sooner than a sleeping thread is woken: while events keep coming that quickly, a wait looks
// again for a moment before it sleeps. Only the one loop of a job without worker threads does,
// with a core to spare: the server and the workers need the CPU a spinning loop takes.
int EventLoop::Wait(::epoll_event* events, int count, int timeoutMs)
{
    static const bool spareCore = std::thread::hardware_concurrency() > 1;
    int n = 0;
    if (timeoutMs == 0) {
        do {
            n = epoll_wait(epoll_.Get(), events, count, 0);
        } while (n < 0 && errno == EINTR);
        return n;
    }
    if (quickEvents_ && spareCore && !hook_ && threadLoops == 0) {
        const auto until = Clock::now() + SpinTime;
        do {
            n = epoll_wait(epoll_.Get(), events, count, 0);
        } while (n == 0 && Clock::now() < until);
        if (n != 0)
            return n;
    }
    const auto slept = Clock::now();
    do {
        n = epoll_wait(epoll_.Get(), events, count, timeoutMs);
    } while (n < 0 && errno == EINTR);
    quickEvents_ = n > 0 && Clock::now() - slept <= QuickEvent;
    return n;
}

void EventLoop::Poll(int timeoutMs)
{
    epoll_event events[64];
    const int n = Wait(events, 64, timeoutMs);
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_.Get()) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t r = read(wake_.Get(), &count, sizeof count);
            continue;
        }
        HandleSocket(fd, events[i].events);
    }
}

static int PendingSocketError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    return err;
}

void EventLoop::HandleSocket(int fd, unsigned ready)
{
    auto it = sockets_.find(fd);
    if (it == sockets_.end()) {
        Unwatch(fd);
        return;
    }
    Socket& s = it->second;
    if (s.connecting) {
        int err = PendingSocketError(fd);
        s.connecting = false;
        // A reset means the connection was made and then dropped before we looked: report the
        // connect, and let the next pass report the close.
        if (err == ECONNRESET) {
            s.resetAtConnect = true;
            err = 0;
        }
        QueueSocketEvent(fd, s, FD_CONNECT, err ? WinsockErrorFromErrno(err) : 0);
        if (err) {
            s.closed = true;  // a failed connect reports nothing further
        } else {
            s.established = true;
            QueueSocketEvent(fd, s, FD_WRITE, 0);
        }
        KeepWatching(fd, s);
        return;
    }
    if (s.listening) {
        // Winsock's rule: one FD_ACCEPT until the program calls accept(). A pending connection
        // that stayed readable would otherwise wake every wait at once and spin it.
        if ((ready & EPOLLIN) && !s.acceptReported) {
            QueueSocketEvent(fd, s, FD_ACCEPT, 0);
            KeepWatching(fd, s);
        }
        return;
    }
    if ((ready & EPOLLOUT) && s.writeBlocked) {
        s.writeBlocked = false;
        QueueSocketEvent(fd, s, FD_WRITE, 0);
        KeepWatching(fd, s);
    }
    if (ready & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        // Whatever arrived before the close is still readable; the close handling drains it.
        // Reading the error clears it: one read at connect leaves none for the close to find.
        int err = (ready & EPOLLERR) ? PendingSocketError(fd) : 0;
        if (err == 0 && s.resetAtConnect)
            err = ECONNRESET;
        s.closed = true;
        QueueSocketEvent(fd, s, FD_CLOSE, err ? WinsockErrorFromErrno(err) : 0);
        KeepWatching(fd, s);
        return;
    }
    if ((ready & EPOLLIN) && !s.readQueued)
        QueueSocketEvent(fd, s, FD_READ, 0);
}

void EventLoop::QueueSocketEvent(int fd, Socket& s, long event, int error)
{
    if ((s.events & event) == 0 || s.window == 0)
        return;
    if (event == FD_READ)
        s.readQueued = true;
    if (event == FD_ACCEPT)
        s.acceptReported = true;
    std::lock_guard lock(mutex_);
    queue_.push_back(Message{s.window, s.msg, static_cast<WPARAM>(fd), MakeSelectReply(event, error), fd, event});
}

unsigned EventLoop::EpollMask(const Socket& s)
{
    if (s.closed || s.events == 0)
        return 0;
    if (s.connecting)
        return static_cast<unsigned>(EPOLLOUT);
    if (s.listening)
        return (s.events & FD_ACCEPT) && !s.acceptReported ? static_cast<unsigned>(EPOLLIN) : 0u;
    unsigned mask = 0;
    if (s.established) {
        if (s.events & (FD_READ | FD_CLOSE | FD_OOB))
            mask |= EPOLLIN | EPOLLRDHUP;
        if (s.writeBlocked && (s.events & FD_WRITE))
            mask |= EPOLLOUT;
    }
    return mask;
}

// Removal fails only for a descriptor that is not in the set or no longer open, which its close
// took out of the set (no descriptor here is duplicated): either way nothing is left to watch.
void EventLoop::Unwatch(int fd)
{
    epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
}

void EventLoop::StopWatching(int fd, Socket& s)
{
    if (s.inEpoll)
        Unwatch(fd);
    s.inEpoll = false;
    s.epollMask = 0;
}

int EventLoop::UpdateEpoll(int fd, Socket& s)
{
    const unsigned mask = EpollMask(s);
    if (mask == 0) {
        StopWatching(fd, s);
        return 0;
    }
    if (s.inEpoll && mask == s.epollMask)
        return 0;
    epoll_event ev{};
    ev.events = mask;
    ev.data.fd = fd;
    if (epoll_ctl(epoll_.Get(), s.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0)
        return errno;
    s.inEpoll = true;
    s.epollMask = mask;
    return 0;
}

// A change of registration inside a pass has nobody to raise to. A socket that can no longer be
// watched would wait for ever, so it is reported closed, with the system's reason.
void EventLoop::KeepWatching(int fd, Socket& s)
{
    const int err = UpdateEpoll(fd, s);
    if (err == 0)
        return;
    s.closed = true;
    QueueSocketEvent(fd, s, FD_CLOSE, WinsockErrorFromErrno(err));
    StopWatching(fd, s);
}

void EventLoop::QueueDueTimers()
{
    const auto now = Clock::now();
    for (auto& [key, t] : timers_) {
        if (t.queued || t.due > now)
            continue;
        t.queued = true;
        t.due = now + std::chrono::milliseconds(t.interval);
        std::lock_guard lock(mutex_);
        queue_.push_back(Message{key.first, WM_TIMER, key.second, 0, -1, 0});
    }
}

void EventLoop::Dispatch()
{
    // Only what is pending now: a handler that posts again is served by the next pass, so a
    // stream of self-posted requests cannot keep a waiting loop from testing its condition.
    size_t count;
    {
        std::lock_guard lock(mutex_);
        count = queue_.size();
    }
    for (; count > 0; --count) {
        Message m;
        std::shared_ptr<WindowProc> proc;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                return;
            m = queue_.front();
            queue_.pop_front();
            auto w = windows_.find(m.window);
            if (w != windows_.end())
                proc = w->second;
        }
        if (m.fd >= 0) {
            auto s = sockets_.find(m.fd);
            if (s != sockets_.end()) {
                if (m.event == FD_READ)
                    s->second.readQueued = false;
            }
        }
        if (m.msg == WM_TIMER) {
            auto t = timers_.find({m.window, static_cast<unsigned>(m.wParam)});
            if (t == timers_.end())
                continue;  // killed after the tick was queued
            t->second.queued = false;
        }
        if (!proc || !*proc)
            continue;
        try {
            (*proc)(m.msg, m.wParam, m.lParam);
        } catch (const std::exception& error) {
            HandleApplicationException(error);
        }
    }
}

int EventLoop::Select(int fd, HWND window, unsigned msg, long events)
{
    Socket& s = sockets_[fd];
    s.window = window;
    s.msg = msg;
    s.events = events;
    s.acceptReported = false;
    if (!s.connecting && !s.listening && !s.closed && !s.established) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        // A connection reset between accept() and here has no peer name any more, but it must
        // still report its close, error included.
        if (s.accepted || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
            // An accepted connection: connected, and writable at once.
            s.established = true;
            QueueSocketEvent(fd, s, FD_WRITE, 0);
        }
    }
    return UpdateEpoll(fd, s);
}

void EventLoop::Forget(int fd)
{
    auto it = sockets_.find(fd);
    if (it == sockets_.end())
        return;
    StopWatching(fd, it->second);
    sockets_.erase(it);
    std::lock_guard lock(mutex_);
    std::erase_if(queue_, [fd](const Message& m) { return m.fd == fd; });
}

int EventLoop::MarkConnecting(int fd)
{
    Socket& s = sockets_[fd];
    s.connecting = true;
    s.closed = false;
    return UpdateEpoll(fd, s);
}

int EventLoop::MarkListening(int fd)
{
    Socket& s = sockets_[fd];
    s.listening = true;
    return UpdateEpoll(fd, s);
}

// A listener that cannot be watched again would leave the next accept waiting for ever, so its
// next accept notification comes at once, with the system's reason.
void EventLoop::MarkAcceptCalled(int fd)
{
    Socket& s = sockets_[fd];
    s.acceptReported = false;
    if (const int err = UpdateEpoll(fd, s))
        QueueSocketEvent(fd, s, FD_ACCEPT, WinsockErrorFromErrno(err));
}

void EventLoop::MarkAccepted(int fd)
{
    sockets_[fd].accepted = true;
}

int EventLoop::MarkWriteBlocked(int fd)
{
    Socket& s = sockets_[fd];
    s.writeBlocked = true;
    return UpdateEpoll(fd, s);
}

}  // namespace platform
