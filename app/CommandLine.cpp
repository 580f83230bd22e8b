#include "app/CommandLine.h"

#include "app/Proxy.h"
#include "mirror/JobState.h"
#include "platform/catalogue.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

bool IsDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// A number as large as this is beyond any count an option takes: its range has no top.
constexpr long long Unbounded = TJobOptions::MaxUnsizedBodyLimit;

using K = TValueKind;

constexpr TOption Options[] = {
    {.Name = "--folder", .Kind = K::Text, .ValueName = "ID",
     .Help = "mirror the gallery folder ID and everything below it",
     .ToLine = [](TCommandLine& line, const TOptionValue& value) { SetJob(line, THeadlessJob::Folder, value.Text); }},
    {.Name = "--member", .Kind = K::Text, .ValueName = "NAME",
     .Help = "mirror the gallery of member NAME",
     .ToLine = [](TCommandLine& line, const TOptionValue& value) { SetJob(line, THeadlessJob::Member, value.Text); }},
    {.Name = "--set", .Kind = K::Text, .ValueName = "NUMBER",
     .Help = "fetch the instruction pages of set NUMBER",
     .ToLine = [](TCommandLine& line, const TOptionValue& value) { SetJob(line, THeadlessJob::Set, value.Text); }},
    {.Name = "--input-file", .Kind = K::File, .ValueName = "FILE",
     .Help = "run the jobs FILE lists, one a line: folder ID, member NAME or set NUMBER; - is standard input",
     .ToLine = [](TCommandLine& line, const TOptionValue& value) { line.InputFile = value.Text; }},
    {.Name = "--dest", .Kind = K::Folder, .ValueName = "DIR",
     .Help = "destination folder text, used exactly as given",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) { job.Destination = value.Text; }},
    {.Name = "--host-a", .Help = "gallery host A (www.%1.com)",
     .ToJob = [](TJobOptions& job, const TOptionValue&) { job.HostB = false; }},
    {.Name = "--host-b", .Help = "gallery host B (www.%2.com)",
     .ToJob = [](TJobOptions& job, const TOptionValue&) { job.HostB = true; }},
    {.Name = "--pause", .Kind = K::Number, .ValueName = "SECONDS", .Min = TJobOptions::PauseMin,
     .Max = TJobOptions::PauseMax, .Help = "pause after every download, to spare the servers",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) {
         job.Pause = true;
         job.PauseSeconds = static_cast<int>(value.Number);
     }},
    {.Name = "--no-pause", .Help = "do not pause after downloads",
     .ToJob = [](TJobOptions& job, const TOptionValue&) { job.Pause = false; }},
    {.Name = "--proxy", .Kind = K::Proxy, .ValueName = "HOST:PORT", .DefaultText = "$http_proxy when set",
     .Help = "HTTP proxy, also as http://HOST:PORT/ or [IPv6]:PORT",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) {
         job.ProxyHost = value.Host;
         job.ProxyPort = value.Port;
     }},
    {.Name = "--ftp-host", .Kind = K::HostPort, .ValueName = "HOST[:PORT]", .DefaultPort = 21,
     .DefaultText = "ftp.setscans.org", .Help = "instruction-set FTP host",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) {
         job.FtpHost = value.Host;
         job.FtpPort = value.Port;
     }},
    {.Name = "--web-base", .Kind = K::Url, .ValueName = "URL", .DefaultText = "http://www.setscans.org",
     .Help = "instruction-set web page base URL",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) { job.WebBase = value.Text; }},
    {.Name = "--max-size", .Kind = K::Number, .ValueName = "BYTES", .Min = 1, .Max = Unbounded,
     .DefaultNumber = TJobOptions::DefaultUnsizedBodyLimit, .Help = "largest body without an announced length",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) { job.MaxSize = value.Number; }},
    {.Name = "--keep-alive", .Help = "keep each HTTP connection open for the next request",
     .ToJob = [](TJobOptions& job, const TOptionValue&) { job.KeepAlive = true; }},
    {.Name = "--connections", .Kind = K::Number, .ValueName = "N", .Min = 1, .Max = TJobOptions::MaxConnections,
     .DefaultNumber = 1, .Help = "download up to N pictures of a listing at once; the pause makes it 1",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) { job.Connections = static_cast<int>(value.Number); }},
    {.Name = "--archive", .Kind = K::File, .ValueName = "FILE",
     .Help = "skip every file recorded in this download archive (an SQLite database) and record "
             "every file fetched or present",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) { job.ArchivePath = value.Text; }},
    {.Name = "--archive-import", .Kind = K::Folder, .ValueName = "DIR",
     .Help = "with --archive: record the mirror in DIR, fetch nothing",
     .ToLine = [](TCommandLine& line, const TOptionValue& value) { line.ArchiveImport = value.Text; }},
    {.Name = "--update",
     .Help = "ask for files already there again, and replace those that changed on the server "
             "(their times are the server's)",
     .ToJob = [](TJobOptions& job, const TOptionValue&) { job.Update = true; }},
    {.Name = "--no-resume", .Help = "drop the data of a failed file instead of continuing it at the next attempt",
     .ToJob = [](TJobOptions& job, const TOptionValue&) { job.Resume = false; }},
    {.Name = "--retries", .Kind = K::Number, .ValueName = "N", .Min = 0, .Max = TJobOptions::MaxRetries,
     .DefaultNumber = 0, .Help = "try a file that failed for a passing cause N more times, after 1, 2, 4, ... s",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) { job.Retries = static_cast<int>(value.Number); }},
    {.Name = "--album", .Help = "after a gallery job, write a page of the album into every folder it touched",
     .ToJob = [](TJobOptions& job, const TOptionValue&) { job.Album = true; }},
    {.Name = "--album-index", .Kind = K::Text, .ValueName = "NAME", .DefaultText = "index.html",
     .Help = "the file name of the album's pages, for a gallery that has files of that name",
     .ToJob = [](TJobOptions& job, const TOptionValue& value) { job.AlbumIndex = value.Text; }},
    {.Name = "--album-only", .Kind = K::Folder, .ValueName = "DIR",
     .Help = "write the album's pages of the whole mirror in DIR, fetch nothing",
     .ToLine = [](TCommandLine& line, const TOptionValue& value) { line.AlbumOnly = value.Text; }},
    {.Name = "--settings", .Kind = K::File, .ValueName = "FILE",
     .Help = "stored entries to start from (default: the file named on the last line); a job "
             "without a window never writes it",
     .ToLine = [](TCommandLine& line, const TOptionValue& value) { line.SettingsFile = value.Text; }},
    {.Name = "--help", .ShortName = "-h", .Help = "print this help, then exit",
     .ToLine = [](TCommandLine& line, const TOptionValue&) { line.Help = true; }},
    {.Name = "--version", .ShortName = "-V", .Help = "print the version, then exit",
     .ToLine = [](TCommandLine& line, const TOptionValue&) { line.Version = true; }},
};

const TOption* FindOption(const std::string& name)
{
    for (const TOption& option : Options)
        if (name == option.Name || (option.ShortName != nullptr && name == option.ShortName))
            return &option;
    return nullptr;
}

std::string RangeText(const TOption& option)
{
    const std::string least = std::to_string(option.Min);
    if (option.Max >= Unbounded)
        return platform::Fill(_("from %1 up"), {least});
    return platform::Fill(_("%1 to %2"), {least, std::to_string(option.Max)});
}

TOptionValue ParseNumber(const TOption& option, const std::string& text)
{
    TOptionValue value{.Text = text};
    const bool number = IsDigits(text) && text.size() <= 18;
    value.Number = number ? std::stoll(text) : -1;
    if (!number || value.Number < option.Min || value.Number > option.Max)
        throw EUsageError(platform::Fill(_("%1 takes a whole number %2"), {option.Name, RangeText(option)}));
    return value;
}

TOptionValue ParseValue(const TOption& option, const std::string& text)
{
    TOptionValue value{.Text = text};
    const auto refuse = [&](const std::string& why) {
        return EUsageError(platform::Fill(_("%1=%2 cannot be used: %3"), {option.Name, text, why}));
    };
    switch (option.Kind) {
    case K::Number:
        return ParseNumber(option, text);
    case K::Folder:
        if (text.empty())
            throw EUsageError(platform::Fill(_("%1 needs a folder"), {option.Name}));
        break;
    case K::File:
        if (text.empty())
            throw EUsageError(platform::Fill(_("%1 needs a file"), {option.Name}));
        break;
    case K::HostPort:
        if (const std::string why = ParseHostPort(text, option.DefaultPort, value.Host, value.Port); !why.empty())
            throw refuse(why);
        break;
    case K::Proxy:
        if (const std::string why = ParseProxy(text, value.Host, value.Port); !why.empty())
            throw refuse(why);
        break;
    case K::Url:
        // The set folder that follows the base begins with its own "/".
        while (!value.Text.empty() && value.Text.back() == '/')
            value.Text.pop_back();
        if (value.Text.empty())
            throw EUsageError(platform::Fill(_("%1 takes a URL"), {option.Name}));
        break;
    case K::None:
    case K::Text:
        break;
    }
    return value;
}

void Apply(TCommandLine& line, const TOption& option, const std::string& text)
{
    TOptionValue value = ParseValue(option, text);
    if (option.ToJob != nullptr)
        line.JobOptions.push_back({&option, std::move(value)});
    else
        option.ToLine(line, value);
}

// An option's text in --help: its names and value, then its help, wrapped under each other.
std::string HelpEntry(const TOption& option)
{
    constexpr size_t HelpColumn = 24;
    constexpr size_t Width = 79;
    std::string names = "  ";
    if (option.ShortName != nullptr)
        names += std::string(option.ShortName) + ", ";
    names += option.Name;
    if (option.TakesValue())
        names += std::string(" ") + option.ValueName;
    std::string help = platform::Fill(_(option.Help), {TJobState::SiteTagA, TJobState::SiteTagB});
    if (option.Kind == K::Number)
        help += option.DefaultNumber < 0 ? " (" + RangeText(option) + ")"
                                         : platform::Fill(_(" (%1, default %2)"),
                                                          {RangeText(option), std::to_string(option.DefaultNumber)});
    else if (option.DefaultText != nullptr)
        help += platform::Fill(_(" (default %1)"), {option.DefaultText});
    std::string entry;
    std::string line = names;
    if (line.size() + 1 >= HelpColumn) {
        entry = line + "\n";
        line.clear();
    }
    line.resize(HelpColumn, ' ');
    bool lineStarted = false;
    for (std::string_view rest = help; !rest.empty();) {
        const size_t end = rest.find(' ');
        const std::string_view word = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (lineStarted && line.size() + 1 + word.size() > Width) {
            entry += line + "\n";
            line = std::string(HelpColumn, ' ');
            lineStarted = false;
        }
        if (lineStarted)
            line += ' ';
        line += word;
        lineStarted = true;
    }
    return entry + line + "\n";
}

}  // namespace

std::span<const TOption> CommandLineOptions()
{
    return Options;
}

bool TCommandLine::Given(const char* name) const
{
    return std::any_of(JobOptions.begin(), JobOptions.end(),
                       [name](const TGivenOption& given) { return std::string_view(given.Option->Name) == name; });
}

void TCommandLine::ApplyTo(TJobOptions& options) const
{
    for (const TGivenOption& given : JobOptions)
        given.Option->ToJob(options, given.Value);
}

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
    if (job == THeadlessJob::Member && value.empty())
        throw EUsageError(_("--member needs a member name"));
    line.Job = job;
    line.JobValue = value;
}

TCommandLine ParseCommandLine(int argc, char** argv)
{
    TCommandLine line;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::optional<std::string> value;
        const size_t equals = name.find('=');
        if (name.starts_with("--") && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        try {
            const TOption* known = FindOption(name);
            if (known == nullptr)
                throw EUsageError(platform::Fill(name.starts_with("-") ? _("unknown option %1") : _("unexpected argument %1"),
                                                 {name}));
            if (known->TakesValue() && !value) {
                if (i + 1 >= argc)
                    throw EUsageError(platform::Fill(_("%1 needs a value"), {name}));
                // "--member --no-pause" forgot the member's name; "-" alone is standard input.
                const std::string next = argv[i + 1];
                if (next.size() > 1 && next.starts_with("-"))
                    throw EUsageError(platform::Fill(_("%1 needs a value, and %2 is an option (write %1=%2 for a value "
                                                       "that begins with -)"),
                                                     {name, next}));
                value = argv[++i];
            } else if (!known->TakesValue() && value) {
                throw EUsageError(platform::Fill(_("%1 takes no value"), {name}));
            }
            Apply(line, *known, value.value_or(""));
        } catch (const EUsageError& error) {
            if (line.Error.empty())
                line.Error = error.Message();
        }
    }
    return line;
}

std::string UsageText()
{
    std::string text = _("usage:\n"
                         "  tessary [--settings FILE]                open the window\n"
                         "  tessary --folder ID   [options]         folder-ID job, no window\n"
                         "  tessary --member NAME [options]         member job, no window\n"
                         "  tessary --set NUMBER  [options]         set download job, no window\n"
                         "  tessary --input-file FILE [options]     the jobs listed in FILE, no window\n"
                         "options:\n");
    for (const TOption& option : Options)
        text += HelpEntry(option);
    // One text, so that a catalogue can lay the rule out for its language.
    text += _("Log lines go to standard output, status texts and the job's closing summary to\n"
              "standard error.\n"
              "Exit status: 0 all done; 1 the job could not run (the gallery, the FTP host,\n"
              "the proxy or the destination unreachable or refusing, the first page never\n"
              "obtained, an archive that cannot be used); 2 usage: the command line or an\n"
              "input file is wrong, nothing was asked of any server; 3 the server said there\n"
              "is nothing (an unknown folder, member or set); 4 some files or pages failed;\n"
              "130 interrupted.\n"
              "Ctrl+C once cancels (a pause ends at once), twice aborts the transfers, three\n"
              "times quits.\n");
    return text;
}

int ExitStatusOf(const TJobRun& run)
{
    switch (run.Outcome) {
    case TJobOutcome::Completed:
        return run.Tally.Failed > 0 || run.Tally.PagesFailed > 0 ? ExitSomeFailed : ExitDone;
    case TJobOutcome::FirstPageFailed:
        return ExitCouldNotRun;
    case TJobOutcome::SetNumberRejected:
    case TJobOutcome::SetNotFound:
    case TJobOutcome::FolderNotFound:
    case TJobOutcome::MemberNotFound:
        break;
    }
    return ExitNothingThere;
}

bool OpensWindow(const TCommandLine& line)
{
    return line.Job == THeadlessJob::None && line.JobOptions.empty() && !line.InputFile && !line.ArchiveImport &&
           !line.AlbumOnly;
}
