// What a job asks of the screen that hosts it: the window, the command line and the tests each
// answer these few questions in their own way.
#pragma once

#include <string>

// Where the host's job is: none runs (a job may start), one runs (it may be cancelled), or a
// cancelled one finishes what it was doing (nothing may be asked of it until it has ended).
enum class TJobPhase { Idle, Running, Stopping };

class TJobHost {
public:
    virtual ~TJobHost() = default;

    // Shows a line of the job's log (the job gives its lines through TJobState::AppendLog).
    virtual void ShowLogLine(const std::string& line) = 0;
    virtual void ClearLog() = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    // A status text that only says how far running downloads have come, shown again and again
    // while they run: a screen that keeps no line may leave it out. The status text by default.
    virtual void SetProgressText(const std::string& text);
    // Cancel is offered while a job runs, the start controls while none does.
    virtual void SetJobPhase(TJobPhase phase) = 0;
    virtual void ShowClock(const std::string& timeText) = 0;
    // Process pending window messages once (the platform's queue and the toolkit's events).
    virtual void ProcessPendingMessages();
    // The blocking pause after a download.
    virtual void PauseFor(unsigned milliseconds);
};
