// The jobs without a window: the command line, the stored entries it starts from, and the
// runner that answers the jobs' questions from both and reports on the terminal.
#pragma once

#include "app/Proxy.h"
#include "app/StoredEntries.h"
#include "mirror/JobForm.h"
#include "sets/SetJob.h"
#include "platform/Exception.h"
#include "platform/messages.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

class TThreadTimer;
class TInterruptWatch;

// Exit statuses of a job run from the command line.
enum ExitStatus : int {
    ExitDone = 0,
    ExitError = 1,
    ExitUsage = 2,
    ExitNoWork = 3,       // the job stopped without doing its work
    ExitSomeFailed = 4,   // the job ran to its end but some files failed
    ExitInterrupted = 130,
};

// A command line that cannot be carried out; the message says why.
class EUsageError : public Exception {
public:
    using Exception::Exception;
};

enum class THeadlessJob { None, Folder, Member, Set };

// What the command line asks for, before the stored entries are read.
struct TCommandLine {
    bool Help = false;
    bool Version = false;
    THeadlessJob Job = THeadlessJob::None;
    std::string JobValue;  // folder ID, member name or set number, exactly as given
    std::optional<std::string> SettingsFile;
    std::optional<std::string> Destination;
    std::optional<bool> HostB;
    std::optional<int> PauseSeconds;  // 0: --no-pause
    std::optional<std::string> Proxy;
    std::optional<std::string> FtpHost;
    std::optional<std::string> WebBase;
    std::optional<long long> MaxSize;  // bytes of a body that announces no length
    // The first usage error met, reported unless --help or --version is given.
    std::string Error;
};

// Reads the arguments after the program name. Options take their value as the next argument
// or after "=".
TCommandLine ParseCommandLine(int argc, char** argv);
std::string UsageText();
// Program folder + "Tessary.ini", or the user's own one for an installed copy.
std::string DefaultSettingsFile();
// No job and no option that only a job reads: the window is wanted.
bool OpensWindow(const TCommandLine& commandLine);

// Everything a headless job runs with, resolved from the command line, the stored entries
// and the environment.
struct THeadlessSettings {
    THeadlessJob Job = THeadlessJob::None;
    TStoredEntries Entries;
    bool HostB = false;
    std::string ProxyHost;
    int ProxyPort = 0;
    std::optional<std::string> FtpHost;
    std::optional<int> FtpPort;
    std::optional<std::string> WebBase;
    std::optional<long long> MaxSize;
};
// Throws EUsageError when the command line cannot be carried out.
THeadlessSettings ResolveSettings(const TCommandLine& commandLine);

// Runs one job on the calling thread and reports it: log lines on `log`, status texts and
// errors on `status`.
class THeadlessRunner : public TJobForm {
public:
    THeadlessRunner(const THeadlessSettings& settings, TInterruptWatch& interrupts,
                    std::FILE* log = stdout, std::FILE* status = stderr);
    ~THeadlessRunner() override;

    // Runs the job; its exit status.
    int Execute();

protected:
    void AppendLog(const std::string& line) override;
    void ClearLog() override {}
    void SetStatusText(const std::string& text) override;
    std::string DestinationText() override { return settings_.Entries.Destination; }
    std::string FolderIdText() override { return settings_.Entries.FolderId; }
    std::string MemberText() override { return settings_.Entries.Member; }
    std::string SetNumberText() override { return settings_.Entries.SetNumber; }
    bool PauseChecked() override { return settings_.Entries.Pause; }
    std::string PauseText() override { return std::to_string(settings_.Entries.PauseSeconds); }
    void SetJobRunning(bool) override {}
    void ShowClock(const std::string&) override {}
    void PauseFor(unsigned milliseconds) override;

private:
    void RunJob();
    void OnInterrupt(int count);
    void ShowProgress();
    void DrawStatus(const std::string& text);
    void ClearStatus();
    void EndStatusLine();
    void Notice(const std::string& text);

    THeadlessSettings settings_;
    TInterruptWatch& interrupts_;
    std::FILE* log_;
    std::FILE* status_;
    bool statusOnTerminal_;
    bool logOnTerminal_;
    bool statusShown_ = false;  // an updating status line is on the terminal
    std::string statusText_;
    std::unique_ptr<TThreadTimer> timer1_;
    platform::NotifyWindow interruptWindow_;
    TSetJob setJob_{*this};
};

// Runs the job the command line names; the exit status.
int RunHeadless(const TCommandLine& commandLine);
