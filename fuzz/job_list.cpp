// The job list of --input-file: any text read as jobs, one a line. Each job is a whole command
// line's job, a line without a job is one that is blank or a comment, and the message about a
// line that names no job says where it is and shows none of the list's control characters.
#include "harness.h"

#include "app/JobList.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string Name = "jobs.txt";

bool Blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool Control(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

bool Digits(const std::string& text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The lines of `text` that name a job: those with a word whose first word does not start with "#".
std::size_t JobLines(const std::string& text, std::size_t& lines)
{
    std::size_t jobs = 0;
    lines = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        ++lines;
        const auto first = std::find_if_not(line.begin(), line.end(), Blank);
        if (first != line.end() && *first != '#')
            ++jobs;
    }
    return jobs;
}

void CheckJob(const TCommandLine& job, const TCommandLine& base)
{
    fuzz::Expect(job.Job != THeadlessJob::None, "a listed job is a job");
    fuzz::Expect(!job.JobValue.empty() && std::none_of(job.JobValue.begin(), job.JobValue.end(), Blank) &&
                     job.JobValue.find('\n') == std::string::npos,
                 "a job's value is one word");
    if (job.Job == THeadlessJob::Folder)
        fuzz::Expect(Digits(job.JobValue) && job.JobValue.find_first_not_of('0') != std::string::npos,
                     "a folder ID is a positive number");
    if (job.Job == THeadlessJob::Set)
        fuzz::Expect(Digits(job.JobValue), "a set number is digits");
    TJobOptions options;
    TJobOptions baseOptions;
    job.ApplyTo(options);
    base.ApplyTo(baseOptions);
    fuzz::Expect(options.Destination == baseOptions.Destination && options.KeepAlive == baseOptions.KeepAlive &&
                     options.Destination == "pictures/" && options.KeepAlive,
                 "a job keeps the options of the command line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text = fuzz::Text(data, size);
    static char* arguments[] = {const_cast<char*>("tessary"), const_cast<char*>("--dest"),
                                const_cast<char*>("pictures/"), const_cast<char*>("--keep-alive")};
    static const TCommandLine base = ParseCommandLine(4, arguments);
    std::size_t lines = 0;
    const std::size_t named = JobLines(text, lines);
    try {
        const std::vector<TCommandLine> jobs = ListedJobs(text, Name, base);
        fuzz::Expect(jobs.size() == named, "every line with a word that is no comment is a job");
        for (const TCommandLine& job : jobs)
            CheckJob(job, base);
    } catch (const EUsageError& error) {
        const std::string message = error.Message();
        fuzz::Expect(std::none_of(message.begin(), message.end(), Control),
                     "a message shows none of the list's control characters");
        if (message.rfind(Name + ":", 0) != 0) {
            fuzz::Expect(named == 0, "a list that names no line says so");
            return 0;
        }
        const std::size_t number = std::stoul(message.substr(Name.size() + 1));
        fuzz::Expect(number >= 1 && number <= lines, "a message names a line of the list");
    }
    return 0;
}
