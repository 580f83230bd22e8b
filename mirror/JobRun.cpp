#include "mirror/JobRun.h"

#include <algorithm>
#include <cstdio>

namespace {

// The summary names this many failed files; the count covers the rest.
constexpr size_t NamedFailures = 5;

}  // namespace

void TJobTally::CountFailure(const std::string& fileName)
{
    ++Failed;
    if (FirstFailures.size() < NamedFailures)
        FirstFailures.push_back(fileName);
}

void TJobTally::Retrying(const std::string& fileName)
{
    --Failed;
    std::erase(FirstFailures, fileName);
}

void TJobRun::Begin()
{
    *this = TJobRun();
}

std::string TJobRun::EndingText() const
{
    switch (Outcome) {
    case TJobOutcome::FirstPageFailed:
        return "stopped, first page not obtained";
    case TJobOutcome::SetNumberRejected:
        return "stopped, set number rejected";
    case TJobOutcome::SetNotFound:
        return "stopped, set not found";
    case TJobOutcome::FolderNotFound:
        return "stopped, folder ID not found";
    case TJobOutcome::MemberNotFound:
        return "stopped, user directory not found";
    case TJobOutcome::Completed:
        break;
    }
    return Cancelled ? "cancelled" : "completed";
}

std::string TJobRun::SummaryLine(const std::string& ending) const
{
    std::string line = "Job " + ending + ": " + std::to_string(Tally.Fetched) + " fetched, " +
                       std::to_string(Tally.Present) + " already present, " + std::to_string(Tally.Failed) +
                       " failed";
    if (!Tally.FirstFailures.empty()) {
        std::string names;
        for (const std::string& name : Tally.FirstFailures)
            names += (names.empty() ? "" : ", ") + name;
        const bool more = Tally.Failed > static_cast<int>(Tally.FirstFailures.size());
        line += " (" + names + (more ? ", ..." : "") + ")";
    }
    if (Tally.PagesFailed > 0)
        line += ", " + std::to_string(Tally.PagesFailed) + (Tally.PagesFailed == 1 ? " page failed" : " pages failed");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    char tail[64];
    std::snprintf(tail, sizeof tail, ", %lld bytes in %.1f s", Tally.Bytes, seconds);
    return line + tail;
}
