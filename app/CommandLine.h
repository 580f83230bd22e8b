// The command line of tessary: what it asks for and the exit statuses it answers with.
#pragma once

#include "platform/Exception.h"

#include <optional>
#include <string>

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
    std::optional<std::string> InputFile;  // a list of jobs, one a line; "-": standard input
    std::optional<std::string> Archive;        // the download archive's file
    std::optional<std::string> ArchiveImport;  // a mirror to record in the archive, fetching nothing
    std::optional<std::string> SettingsFile;
    std::optional<std::string> Destination;
    std::optional<bool> HostB;
    std::optional<int> PauseSeconds;  // 0: --no-pause
    std::optional<std::string> Proxy;
    std::optional<std::string> FtpHost;
    std::optional<std::string> WebBase;
    std::optional<long long> MaxSize;  // bytes of a body that announces no length
    bool KeepAlive = false;
    std::optional<int> Connections;  // pictures of a listing downloaded at once
    bool NoResume = false;
    bool Update = false;  // present files asked for again, replaced when changed
    int Retries = 0;  // further tries of a file that failed for a passing cause
    // The first usage error met, reported unless --help or --version is given.
    std::string Error;
};

// Reads the arguments after the program name. Options take their value as the next argument
// or after "=".
TCommandLine ParseCommandLine(int argc, char** argv);
std::string UsageText();
// The job of --folder, --member or --set with its value, checked as the option checks it;
// throws EUsageError.
void SetJob(TCommandLine& commandLine, THeadlessJob job, const std::string& value);
// Options that only a job without a window reads.
bool HasJobOptions(const TCommandLine& commandLine);
// No job and no option that only a job reads: the window is wanted.
bool OpensWindow(const TCommandLine& commandLine);
