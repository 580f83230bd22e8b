// The runner of a job without a window: it answers the job's questions from the resolved
// settings and reports on the terminal.
#pragma once

#include "app/HeadlessSettings.h"
#include "app/TerminalStatus.h"
#include "mirror/JobState.h"
#include "platform/messages.h"
#include "sets/SetJob.h"

#include <cstdio>
#include <memory>
#include <string>

class TThreadTimer;
class TInterruptWatch;

// Runs one job on the calling thread and reports it: log lines on `log`, status texts and
// errors on `status`.
class THeadlessRunner : public TJobState {
public:
    THeadlessRunner(const THeadlessSettings& settings, TInterruptWatch& interrupts,
                    std::FILE* log = stdout, std::FILE* status = stderr);
    ~THeadlessRunner() override;

    // Runs the job; its exit status.
    int Execute();

protected:
    void ShowLogLine(const std::string& line) override;
    void ClearLog() override {}
    void SetStatusText(const std::string& text) override;
    void SetProgressText(const std::string& text) override;
    void SetJobPhase(TJobPhase) override {}
    void ShowClock(const std::string&) override {}
    void PauseFor(unsigned milliseconds) override;

private:
    void RunJob();
    void OnInterrupt(int count);
    void ShowProgress();
    void Notice(const std::string& text);

    THeadlessSettings settings_;
    TInterruptWatch& interrupts_;
    std::FILE* log_;
    TTerminalStatus statusLine_;
    bool logOnTerminal_;
    std::unique_ptr<TThreadTimer> timer1_;
    platform::NotifyWindow interruptWindow_;
    TSetJob setJob_{*this};
};

// Says on standard error why the proxy cannot be used, if it cannot; the exit status when the
// job must not run for it (a gallery job: it would connect without the proxy the user asked
// for), else ExitDone.
int ReportProxyProblem(const THeadlessSettings& settings);
// Runs the job the command line names; the exit status.
int RunHeadless(const TCommandLine& commandLine);
// Records the mirror that --archive-import names in the --archive file, fetching nothing.
int RunArchiveImport(const TCommandLine& commandLine);
// --album-only DIR: the album's pages of the whole mirror in DIR, without any request.
int RunAlbumOnly(const TCommandLine& commandLine);
