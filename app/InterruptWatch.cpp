#include "app/InterruptWatch.h"

#include "app/CommandLine.h"
#include "platform/catalogue.h"
#include "platform/Exception.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

TInterruptWatch::TInterruptWatch()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, &previous_);
    signals_.Reset(signalfd(-1, &signals, SFD_CLOEXEC));
    stopper_.Reset(eventfd(0, EFD_CLOEXEC));
    if (!signals_ || !stopper_)
        throw Exception(platform::Fill(_("cannot watch for Ctrl+C: %1"), {std::strerror(errno)}));
    thread_ = std::thread([this] { Watch(); });
}

TInterruptWatch::~TInterruptWatch()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(stopper_.Get(), &one, sizeof one);
    thread_.join();
    // A Ctrl+C after the job ended has nothing left to stop: it has its usual effect again.
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void TInterruptWatch::Deliver(platform::HWND window, unsigned msg)
{
    const std::lock_guard lock(mutex_);
    window_ = window;
    msg_ = msg;
    for (int n = 1; n <= count_; ++n)
        platform::PostMessage(window_, msg_, static_cast<platform::WPARAM>(n), 0);
}

void TInterruptWatch::Watch()
{
    pollfd fds[2] = {{signals_.Get(), POLLIN, 0}, {stopper_.Get(), POLLIN, 0}};
    for (;;) {
        // An interrupted poll leaves stale revents; reading on them could block the stop.
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        signalfd_siginfo info{};
        if (fds[0].revents == 0 || read(signals_.Get(), &info, sizeof info) != sizeof info)
            continue;
        const std::lock_guard lock(mutex_);
        const int n = ++count_;
        if (n >= 3)
            Quit();
        if (window_ != 0)
            platform::PostMessage(window_, msg_, static_cast<platform::WPARAM>(n), 0);
    }
}

void TInterruptWatch::Quit()
{
    static const char text[] = "\ninterrupted\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, sizeof text - 1);
    std::_Exit(ExitInterrupted);
}
