// TThreadTimer: a periodic timer whose ticks arrive through the message queue, so they are
// handled inside any wait, as every other notification is.
#include "net/Psock.h"
#include "platform/catalogue.h"

using namespace platform;

TThreadTimer::TThreadTimer()
    : window_([this](unsigned msg, WPARAM, LPARAM) {
          if (msg == WM_TIMER && onTimer_)
              onTimer_(this);
      })
{
}

TThreadTimer::~TThreadTimer()
{
    KillTimer(window_.Handle(), 1);
}

void TThreadTimer::SetEnabled(bool value)
{
    if (value == enabled_)
        return;
    enabled_ = value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(unsigned value)
{
    if (value == interval_)
        return;
    interval_ = value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler)
{
    onTimer_ = std::move(handler);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer()
{
    KillTimer(window_.Handle(), 1);
    if (interval_ != 0 && enabled_ && onTimer_ && SetTimer(window_.Handle(), 1, interval_) == 0)
        throw Exception(_("タイマがありません"));
}
