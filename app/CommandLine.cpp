#include "app/CommandLine.h"

#include "mirror/JobState.h"
#include "platform/catalogue.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Few enough digits for an int.
bool IsDecimal(const std::string& text)
{
    return IsDigits(text) && text.size() <= 9;
}

struct TOptionInfo {
    const char* name;
    bool takesValue;
};

constexpr TOptionInfo Options[] = {
    {"--help", false},     {"--version", false},      {"--folder", true},     {"--member", true},
    {"--set", true},       {"--dest", true},          {"--host-a", false},    {"--host-b", false},
    {"--pause", true},     {"--no-pause", false},     {"--proxy", true},      {"--ftp-host", true},
    {"--web-base", true},  {"--settings", true},      {"--max-size", true},   {"--keep-alive", false},
    {"--connections", true}, {"--no-resume", false},  {"--retries", true},   {"--input-file", true},
    {"--archive", true},   {"--archive-import", true}, {"--update", false},   {"-h", false},
    {"-V", false},
};

const TOptionInfo* FindOption(const std::string& name)
{
    for (const TOptionInfo& known : Options)
        if (name == known.name)
            return &known;
    return nullptr;
}

}  // namespace

void SetJob(TCommandLine& line, THeadlessJob job, const std::string& value)
{
    if (line.Job != THeadlessJob::None)
        throw EUsageError(_("only one of --folder, --member and --set may be given"));
    // A gallery folder ID is a positive number; anything else would only ask the gallery in vain.
    if (job == THeadlessJob::Folder &&
        (!IsDigits(value) || value.size() > 18 || value.find_first_not_of('0') == std::string::npos))
        throw EUsageError(_("--folder takes a folder ID, a positive decimal number"));
    // The set job checks the number's length and leading zero itself, as in the window.
    if (job == THeadlessJob::Set && !IsDigits(value))
        throw EUsageError(_("--set takes a set number, decimal digits only"));
    line.Job = job;
    line.JobValue = value;
}

namespace {

void ApplyOption(TCommandLine& line, const std::string& name, const std::string& value)
{
    if (name == "--help" || name == "-h")
        line.Help = true;
    else if (name == "--version" || name == "-V")
        line.Version = true;
    else if (name == "--folder")
        SetJob(line, THeadlessJob::Folder, value);
    else if (name == "--member")
        SetJob(line, THeadlessJob::Member, value);
    else if (name == "--set")
        SetJob(line, THeadlessJob::Set, value);
    else if (name == "--dest")
        line.Destination = value;
    else if (name == "--host-a" || name == "--host-b")
        line.HostB = name == "--host-b";
    else if (name == "--no-pause")
        line.PauseSeconds = 0;
    else if (name == "--pause") {
        const int seconds = IsDecimal(value) ? std::stoi(value) : 0;
        if (seconds < TJobState::PauseMin || seconds > TJobState::PauseMax)
            throw EUsageError(_("--pause takes a whole number of seconds from 1 to 15"));
        line.PauseSeconds = seconds;
    } else if (name == "--proxy")
        line.Proxy = value;
    else if (name == "--ftp-host")
        line.FtpHost = value;
    else if (name == "--web-base")
        line.WebBase = value;
    else if (name == "--settings")
        line.SettingsFile = value;
    else if (name == "--input-file")
        line.InputFile = value;
    else if (name == "--keep-alive")
        line.KeepAlive = true;
    else if (name == "--connections") {
        const int count = IsDigits(value) && value.size() <= 2 ? std::stoi(value) : 0;
        if (count < 1 || count > TJobState::MaxConnections)
            throw EUsageError(_("--connections takes a whole number from 1 to 8"));
        line.Connections = count;
    } else if (name == "--archive") {
        if (value.empty())
            throw EUsageError(_("--archive needs a file"));
        line.Archive = value;
    } else if (name == "--archive-import") {
        line.ArchiveImport = value;
    } else if (name == "--update") {
        line.Update = true;
    } else if (name == "--no-resume") {
        line.NoResume = true;
    } else if (name == "--retries") {
        const int count = IsDigits(value) && value.size() <= 2 ? std::stoi(value) : -1;
        if (count < 0 || count > TJobState::MaxRetries)
            throw EUsageError(_("--retries takes a whole number from 0 to 20"));
        line.Retries = count;
    }
    else if (name == "--max-size") {
        const long long bytes = IsDigits(value) && value.size() <= 18 ? std::stoll(value) : 0;
        if (bytes < 1)
            throw EUsageError(_("--max-size takes a number of bytes from 1 up"));
        line.MaxSize = bytes;
    }
}

}  // namespace

TCommandLine ParseCommandLine(int argc, char** argv)
{
    TCommandLine line;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::optional<std::string> value;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        try {
            const TOptionInfo* known = FindOption(name);
            if (known == nullptr)
                throw EUsageError(platform::Fill(name.rfind("-", 0) == 0 ? _("unknown option %1") : _("unexpected argument %1"),
                                                 {name}));
            if (known->takesValue && !value) {
                if (i + 1 >= argc)
                    throw EUsageError(platform::Fill(_("%1 needs a value"), {name}));
                value = argv[++i];
            } else if (!known->takesValue && value) {
                throw EUsageError(platform::Fill(_("%1 takes no value"), {name}));
            }
            ApplyOption(line, name, value.value_or(""));
        } catch (const EUsageError& error) {
            if (line.Error.empty())
                line.Error = error.Message();
        }
    }
    return line;
}

std::string UsageText()
{
    // One text, so that a catalogue can lay the whole usage out for its language.
    return platform::Fill(
        _("usage:\n"
           "  tessary [--settings FILE]                 open the window\n"
           "  tessary --folder ID   [options]           folder-ID job, no window\n"
           "  tessary --member NAME [options]           member job, no window\n"
           "  tessary --set NUMBER  [options]           set download job, no window\n"
           "  tessary --input-file FILE [options]       the jobs listed in FILE, no window\n"
           "          FILE: lines folder ID, member NAME, set NUMBER; - is standard input\n"
           "options:\n"
           "  --dest DIR            destination folder text, used exactly as given\n"
           "  --host-a | --host-b   gallery host A (%1.com) or B (%2.com)\n"
           "  --pause SECONDS | --no-pause\n"
           "                        pause 1 to 15 seconds after every download, or not\n"
           "  --proxy HOST:PORT     HTTP proxy (default: $http_proxy when set)\n"
           "  --ftp-host HOST[:PORT]   instruction-set FTP host\n"
           "  --web-base URL        instruction-set web page base URL\n"
           "  --max-size BYTES      largest body without an announced length (default %3)\n"
           "  --keep-alive          keep each HTTP connection open for the next request\n"
           "  --connections N       download up to N pictures of a listing at once, 1 to 8\n"
           "                        (default 1; the pause makes it 1)\n"
           "  --archive FILE        skip every file recorded in this download archive (an\n"
           "                        SQLite database) and record every file fetched or present\n"
           "  --archive-import DIR  with --archive: record the mirror in DIR, fetch nothing\n"
           "  --update              ask for files already there again, and replace those that\n"
           "                        changed on the server (their times are the server's)\n"
           "  --no-resume           drop the data of a failed file instead of continuing it\n"
           "                        at the next attempt\n"
           "  --retries N           try a file that failed for a passing cause N more times,\n"
           "                        after 1, 2, 4, ... s (default 0)\n"
           "  --settings FILE       stored entries to start from (default: the file named on\n"
           "                        the last line); a job without a window never writes it\n"
           "  -h, --help | -V, --version\n"
           "Log lines go to standard output, status texts and the job's closing summary to\n"
           "standard error.\n"
           "Exit status: 0 done, 1 error, 2 usage error, 3 the job could not do its work,\n"
           "4 the job ran to its end but some files or pages failed, 130 interrupted.\n"
           "Ctrl+C once cancels, twice aborts the transfer, three times quits.\n"),
        {TJobState::SiteTagA, TJobState::SiteTagB, std::to_string(TJobState::DefaultUnsizedBodyLimit)});
}

bool HasJobOptions(const TCommandLine& line)
{
    return line.Destination || line.HostB || line.PauseSeconds || line.Proxy || line.FtpHost ||
           line.WebBase || line.MaxSize || line.KeepAlive || line.Connections || line.NoResume || line.Retries > 0 || line.Archive || line.Update;
}

bool OpensWindow(const TCommandLine& line)
{
    return line.Job == THeadlessJob::None && !HasJobOptions(line) && !line.InputFile && !line.ArchiveImport;
}
