#include "app/JobList.h"

#include "app/Headless.h"
#include "app/InterruptWatch.h"
#include "mirror/strutil.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A job list is a few lines a job; anything longer is not one (a device, a wrong file).
constexpr std::size_t MaxListBytes = 16 * 1024 * 1024;

struct TJobWord {
    const char* word;
    THeadlessJob job;
};

constexpr TJobWord JobWords[] = {
    {"folder", THeadlessJob::Folder},
    {"member", THeadlessJob::Member},
    {"set", THeadlessJob::Set},
};

const char* WordOf(THeadlessJob job)
{
    for (const TJobWord& known : JobWords)
        if (known.job == job)
            return known.word;
    return "";
}

std::string ReadList(const std::string& file, const std::string& name)
{
    try {
        std::string text = platform::ReadFileBytes(file == "-" ? "/dev/stdin" : file, MaxListBytes + 1);
        if (text.size() > MaxListBytes)
            throw EUsageError(platform::Fill(_("%1 is too long for a list of jobs"), {name}));
        return text;
    } catch (const EInOutError& error) {
        throw EUsageError(error.Message());
    }
}

// `base` with the job of one line, or nothing for a line without a job. The words of the line an
// error quotes show their control characters escaped: the message goes to a terminal.
std::optional<TCommandLine> ListedJob(const std::string& line, const TCommandLine& base)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty() || words[0][0] == '#')
        return std::nullopt;
    const auto known = std::find_if(std::begin(JobWords), std::end(JobWords),
                                    [&](const TJobWord& job) { return words[0] == job.word; });
    if (known == std::end(JobWords))
        throw EUsageError(
            platform::Fill(_("unknown job %1: a line starts with folder, member or set"), {Printable(words[0])}));
    if (words.size() < 2)
        throw EUsageError(platform::Fill(_("%1 needs a value"), {words[0]}));
    if (words.size() > 2)
        throw EUsageError(platform::Fill(_("%1 takes one value; %2 is one too many"), {words[0], Printable(words[2])}));
    TCommandLine job = base;
    SetJob(job, known->job, words[1]);
    return job;
}

// Interrupted, then could not run, then nothing there, then some files failed, then done.
int Severity(int status)
{
    switch (status) {
    case ExitDone:
        return 0;
    case ExitSomeFailed:
        return 1;
    case ExitNothingThere:
        return 2;
    case ExitInterrupted:
        return 4;
    default:
        return 3;
    }
}

std::string RunSummaryLine(size_t ran, size_t listed, const TJobTally& total, std::chrono::steady_clock::duration took)
{
    const unsigned long count = static_cast<unsigned long>(listed);
    const std::string jobs =
        ran == listed ? platform::Fill(platform::TranslatePlural("Run: %1 job", "Run: %1 jobs", count),
                                       {std::to_string(listed)})
                      : platform::Fill(platform::TranslatePlural("Run: %1 of %2 job", "Run: %1 of %2 jobs", count),
                                       {std::to_string(ran), std::to_string(listed)});
    const std::string counts = platform::Fill(_(", %1 fetched, %2 already present, %3 failed"),
                                              {std::to_string(total.Fetched), std::to_string(total.Present),
                                               std::to_string(total.Failed)});
    return jobs + counts + total.PagesAndBytesText(took);
}

}  // namespace

std::vector<TCommandLine> ListedJobs(const std::string& text, const std::string& name, const TCommandLine& base)
{
    std::vector<TCommandLine> jobs;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        try {
            if (std::optional<TCommandLine> job = ListedJob(line, base))
                jobs.push_back(std::move(*job));
        } catch (const EUsageError& error) {
            throw EUsageError(name + ":" + std::to_string(number) + ": " + error.Message());
        }
    }
    if (jobs.empty())
        throw EUsageError(platform::Fill(_("%1 lists no job"), {name}));
    return jobs;
}

int RunJobList(const TCommandLine& commandLine)
{
    if (commandLine.Job != THeadlessJob::None)
        throw EUsageError(_("--input-file cannot be given with --folder, --member or --set"));
    const std::string& file = *commandLine.InputFile;
    const std::string name = file == "-" ? _("standard input") : file;
    const std::vector<TCommandLine> listed = ListedJobs(ReadList(file, name), name, commandLine);
    std::vector<THeadlessSettings> jobs;
    for (const TCommandLine& job : listed)
        jobs.push_back(ResolveSettings(job));
    // A proxy a gallery job cannot use stops the whole run before it starts; the set jobs,
    // which seldom need it, only mention it, once.
    auto unusable = std::find_if(jobs.begin(), jobs.end(), [](const THeadlessSettings& job) {
        return !job.Proxy.Problem.empty() && job.Job != THeadlessJob::Set;
    });
    if (unusable == jobs.end())
        unusable = std::find_if(jobs.begin(), jobs.end(),
                                [](const THeadlessSettings& job) { return !job.Proxy.Problem.empty(); });
    if (unusable != jobs.end())
        if (const int status = ReportProxyProblem(*unusable); status != ExitDone)
            return status;

    const auto started = std::chrono::steady_clock::now();
    TInterruptWatch interrupts;
    TTerminalStatus status(stderr);
    TJobTally total;
    int worst = ExitDone;
    size_t ran = 0;
    // After a Ctrl+C the running job ends as it would alone, and no further job starts.
    for (; ran < jobs.size() && interrupts.Count() == 0; ++ran) {
        status.PrintLine(platform::Fill(_("[%1/%2] %3 %4"), {std::to_string(ran + 1), std::to_string(jobs.size()),
                                                             WordOf(listed[ran].Job), Printable(listed[ran].JobValue)}));
        THeadlessRunner runner(jobs[ran], interrupts);
        const int exitStatus = runner.Execute();
        if (Severity(exitStatus) > Severity(worst))
            worst = exitStatus;
        total.Add(runner.Run.Tally);
    }
    status.PrintLine(RunSummaryLine(ran, jobs.size(), total, std::chrono::steady_clock::now() - started));
    return worst;
}
