#include "mirror/JobRun.h"

#include "platform/catalogue.h"

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

void TJobTally::Add(const TJobTally& other)
{
    Fetched += other.Fetched;
    Present += other.Present;
    Archived += other.Archived;
    Failed += other.Failed;
    Aborted += other.Aborted;
    Bytes += other.Bytes;
    PagesFailed += other.PagesFailed;
}

std::string TJobTally::PagesAndBytesText(std::chrono::steady_clock::duration took) const
{
    std::string text;
    if (Aborted > 0)
        text = platform::Fill(_(", %1 aborted"), {std::to_string(Aborted)});
    if (Archived > 0)
        text += platform::Fill(_(", %1 archived"), {std::to_string(Archived)});
    if (PagesFailed > 0)
        text += platform::Fill(platform::TranslatePlural(", %1 page failed", ", %1 pages failed", PagesFailed),
                              {std::to_string(PagesFailed)});
    char tenths[32];
    std::snprintf(tenths, sizeof tenths, "%.1f", std::chrono::duration<double>(took).count());
    return text + platform::Fill(_(", %1 bytes in %2 s"), {std::to_string(Bytes), tenths});
}

void TJobRun::Begin()
{
    *this = TJobRun();
}

std::string TJobRun::EndingText() const
{
    switch (Outcome) {
    case TJobOutcome::FirstPageFailed:
        return _("stopped, first page not obtained");
    case TJobOutcome::SetNumberRejected:
        return _("stopped, set number rejected");
    case TJobOutcome::SetNotFound:
        return _("stopped, set not found");
    case TJobOutcome::FolderNotFound:
        return _("stopped, folder ID not found");
    case TJobOutcome::MemberNotFound:
        return _("stopped, user directory not found");
    case TJobOutcome::Completed:
        break;
    }
    return Cancelled ? _("cancelled") : _("completed");
}

std::string TJobRun::SummaryLine(const std::string& ending) const
{
    std::string line = platform::Fill(_("Job %1: %2 fetched, %3 already present, %4 failed"),
                                      {ending, std::to_string(Tally.Fetched), std::to_string(Tally.Present),
                                       std::to_string(Tally.Failed)});
    if (!Tally.FirstFailures.empty()) {
        std::string names;
        for (const std::string& name : Tally.FirstFailures)
            names += (names.empty() ? "" : ", ") + name;
        const bool more = Tally.Failed > static_cast<int>(Tally.FirstFailures.size());
        line += " (" + names + (more ? ", ..." : "") + ")";
    }
    return line + Tally.PagesAndBytesText(std::chrono::steady_clock::now() - started_);
}
