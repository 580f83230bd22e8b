#include "platform/UniqueFd.h"
#include "platform/eventloop.h"
#include "platform/messages.h"
#include "platform/winsock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned WM_WAKE = platform::WM_USER + 7;
constexpr int Bound = 20000;  // ms; a wait that nothing wakes ends here and fails the test

// A connected loopback pair: `ours` for the loop under test, `theirs` for the other side.
struct SocketPair {
    int ours = -1;
    int theirs = -1;
    SocketPair()
    {
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        theirs = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(theirs, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ours = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        close(listener);
    }
    ~SocketPair()
    {
        close(ours);
        close(theirs);
    }
};

// One pass with nothing pending sleeps until the awaited thing happens, then delivers it.
TEST(EventLoopTest, AWaitPassSleepsUntilSomethingHappens)
{
    struct Row {
        const char* what;
        unsigned expected;
        // Arranges the wake-up; returns the thread that causes it, if any.
        std::function<std::thread(platform::HWND, SocketPair&)> arrange;
    };
    const auto later = [](std::function<void()> act) {
        return std::thread([act] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            act();
        });
    };
    const Row rows[] = {
        {"a message posted by another thread", WM_WAKE,
         [&](platform::HWND window, SocketPair&) {
             return later([window] { platform::PostMessage(window, WM_WAKE, 0, 0); });
         }},
        {"a timer's deadline", platform::WM_TIMER,
         [](platform::HWND window, SocketPair&) {
             platform::SetTimer(window, 1, 50);
             return std::thread();
         }},
        {"data arriving on a socket", WM_WAKE,
         [&](platform::HWND window, SocketPair& pair) {
             platform::WSAAsyncSelect(pair.ours, window, WM_WAKE, platform::FD_READ);
             return later([&pair] { EXPECT_EQ(write(pair.theirs, "x", 1), 1); });
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<unsigned> seen;
        platform::NotifyWindow window([&](unsigned msg, platform::WPARAM, platform::LPARAM) { seen.push_back(msg); });
        SocketPair pair;
        std::thread cause = row.arrange(window.Handle(), pair);
        const auto start = Clock::now();
        platform::WaitPass(Bound);
        const auto slept = Clock::now() - start;
        if (cause.joinable())
            cause.join();
        platform::KillTimer(window.Handle(), 1);
        platform::SocketClose(pair.ours);
        pair.ours = -1;
        EXPECT_EQ(seen, std::vector<unsigned>{row.expected});
        EXPECT_LT(slept, std::chrono::milliseconds(Bound)) << "the pass slept through it";
    }
}

// A registration the system refuses must come back as an error, never as a socket that is
// silently never watched.
TEST(EventLoopTest, ARefusedRegistrationIsReported)
{
    platform::EventLoop loop;
    std::vector<int> acceptErrors;
    const platform::HWND window = loop.CreateWindow([&](unsigned, platform::WPARAM, platform::LPARAM lParam) {
        if (platform::SelectEvent(lParam) == platform::FD_ACCEPT)
            acceptErrors.push_back(platform::SelectError(lParam));
    });
    SocketPair pair;
    const int notEpoll = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(dup2(notEpoll, loop.Fd()), 0);
    close(notEpoll);
    EXPECT_EQ(loop.Select(pair.ours, window, WM_WAKE, platform::FD_READ), EINVAL);
    EXPECT_EQ(loop.MarkWriteBlocked(pair.ours), EINVAL);
    // A listener that cannot be watched again after an accept hears so at once.
    const platform::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(loop.MarkListening(listener.Get()), 0);
    EXPECT_EQ(loop.Select(listener.Get(), window, WM_WAKE, platform::FD_ACCEPT), EINVAL);
    loop.MarkAcceptCalled(listener.Get());
    loop.Pass(0);
    EXPECT_EQ(acceptErrors, std::vector<int>{platform::WSAEINVAL});
}

}  // namespace
