// Acting from inside a running wait, and waiting on the platform loop with a bound: the code
// under test runs its own waiting loops on the test's thread, so a test reaches into them
// through timer ticks.
#pragma once

#include "platform/messages.h"

#include <chrono>
#include <functional>
#include <utility>

namespace support {

// Runs `action` once, from a timer tick of whatever wait is running then.
class OneShot {
public:
    // At the first tick `ms` after construction.
    OneShot(unsigned ms, std::function<void()> action) : OneShot([] { return true; }, std::move(action), ms) {}
    // At the first tick on which `ready` holds; ticks come every `intervalMs`.
    OneShot(std::function<bool()> ready, std::function<void()> action, unsigned intervalMs = 10)
        : ready_(std::move(ready)),
          action_(std::move(action)),
          window_([this](unsigned msg, platform::WPARAM, platform::LPARAM) {
              if (msg == platform::WM_TIMER)
                  Tick();
          })
    {
        platform::SetTimer(window_.Handle(), 1, intervalMs);
    }
    bool Fired() const { return fired_; }

private:
    void Tick()
    {
        if (fired_ || !ready_())
            return;
        fired_ = true;
        platform::KillTimer(window_.Handle(), 1);
        action_();
    }

    std::function<bool()> ready_;
    std::function<void()> action_;
    bool fired_ = false;
    platform::NotifyWindow window_;  // last: no tick reaches a half-built or half-gone object
};

// Runs passes of the platform's waiting loop until `done` holds or `bound` has passed.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds bound = std::chrono::milliseconds(10000))
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done() && std::chrono::steady_clock::now() < end)
        platform::WaitPass(2);
    return done();
}

}  // namespace support
