// The command line of tessary: its options, declared once in one table, what a command line
// asks for, and the exit statuses it answers with.
#pragma once

#include "mirror/JobOptions.h"
#include "mirror/JobRun.h"
#include "platform/Exception.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

// Exit statuses of the command line, one rule for every job.
enum ExitStatus : int {
    ExitDone = 0,
    // The job could not run: a server, the proxy, the destination or the archive unreachable or
    // refusing, or the first page never obtained.
    ExitCouldNotRun = 1,
    // The command line or an input file is wrong; nothing was asked of any server.
    ExitUsage = 2,
    // The server said there is nothing: an unknown folder, member or set.
    ExitNothingThere = 3,
    // The job ran to its end but some files or pages failed.
    ExitSomeFailed = 4,
    ExitInterrupted = 130,
};

// The exit status of a job that ran and ended as `run` says (not interrupted, no error).
int ExitStatusOf(const TJobRun& run);

// A command line that cannot be carried out; the message says why.
class EUsageError : public Exception {
public:
    using Exception::Exception;
};

enum class THeadlessJob { None, Folder, Member, Set };

// What an option's value is, for its parsing and its completion.
enum class TValueKind {
    None,      // a switch
    Text,      // any text, an empty one included
    Folder,    // a folder's path, not empty
    File,      // a file's path, not empty
    Number,    // a whole number in [Min, Max]
    HostPort,  // HOST[:PORT], the port DefaultPort when left out
    Proxy,     // HOST:PORT or http://HOST:PORT/, as http_proxy
    Url,       // a URL, not empty
};

// An option's value, parsed by its kind.
struct TOptionValue {
    std::string Text{};
    long long Number = 0;
    std::string Host{};
    int Port = 0;
};

struct TCommandLine;

// One option: its names, its value, its help, and where it goes.
struct TOption {
    const char* Name;
    const char* ShortName = nullptr;
    TValueKind Kind = TValueKind::None;
    const char* ValueName = "";  // as --help shows the value: "N", "FILE"
    long long Min = 0;
    long long Max = 0;
    int DefaultPort = 0;
    // The default --help names; a number's default is DefaultNumber when not negative.
    const char* DefaultText = nullptr;
    long long DefaultNumber = -1;
    const char* Help = "";
    // A job option goes into the job's typed options, over the stored entries; any other
    // option into the command line itself.
    void (*ToJob)(TJobOptions&, const TOptionValue&) = nullptr;
    void (*ToLine)(TCommandLine&, const TOptionValue&) = nullptr;

    bool TakesValue() const { return Kind != TValueKind::None; }
};

// Every option of the command line, in the order --help lists them.
std::span<const TOption> CommandLineOptions();

// A job option as it was given.
struct TGivenOption {
    const TOption* Option;
    TOptionValue Value;
};

// What the command line asks for, before the stored entries are read.
struct TCommandLine {
    bool Help = false;
    bool Version = false;
    THeadlessJob Job = THeadlessJob::None;
    std::string JobValue;  // folder ID, member name or set number, exactly as given
    std::optional<std::string> InputFile;      // a list of jobs, one a line; "-": standard input
    std::optional<std::string> ArchiveImport;  // a mirror to record in the archive, fetching nothing
    std::optional<std::string> AlbumOnly;      // a mirror to write the album of, fetching nothing
    std::optional<std::string> SettingsFile;
    // The job options in the order given; a later one overrides an earlier one.
    std::vector<TGivenOption> JobOptions;
    // The first usage error met, reported unless --help or --version is given.
    std::string Error;

    // Whether the job option named `name` was given.
    bool Given(const char* name) const;
    // `options` with the job options given laid over them.
    void ApplyTo(TJobOptions& options) const;
};

// Reads the arguments after the program name. Options take their value as the next argument
// or after "="; an option word where a value is expected is an error.
TCommandLine ParseCommandLine(int argc, char** argv);
std::string UsageText();
// The job of --folder, --member or --set with its value, checked as the option checks it;
// throws EUsageError.
void SetJob(TCommandLine& commandLine, THeadlessJob job, const std::string& value);
// No job and no option that only a job reads: the window is wanted.
bool OpensWindow(const TCommandLine& commandLine);
