// Real servers run as child processes by the interop tests: waiting for one to listen, and
// stopping it so that none outlives its test.
#pragma once

#include "support/loopback.h"

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace support {

enum class StartOutcome { Listening, Exited, TimedOut };

// Waits until something accepts on 127.0.0.1:`port` while process `pid` still runs. An
// exited process is reaped.
inline StartOutcome WaitUntilListening(pid_t pid, std::uint16_t port, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return StartOutcome::Exited;
        if (Accepts(port))
            return StartOutcome::Listening;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return StartOutcome::TimedOut;
}

// Asks `pid` to end (its whole process group when `group`), kills it when it is still there
// after `grace`, and reaps it.
inline void StopProcess(pid_t pid, bool group, std::chrono::milliseconds grace)
{
    const pid_t target = group ? -pid : pid;
    ::kill(target, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(target, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace support
