#include "mirror/DownloadStep.h"

#include "mirror/FileTransfer.h"
#include "mirror/JobState.h"
#include "mirror/strutil.h"
#include "net/NMHttp.h"
#include "platform/catalogue.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/userdirs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

// The seconds to wait before retry number `retry` (0 for the first) of a file whose transfer
// failed over `transfer`; -1 when the failure does not pass by waiting.
int RetryDelay(const TFileTransfer& transfer, int retry)
{
    if (!transfer.FailureMayPass())
        return -1;
    if (transfer.RetryAfter() >= 0)
        return static_cast<int>(std::min<long long>(transfer.RetryAfter(), MaxRetryAfterSeconds));
    return retry >= 6 ? MaxBackOffSeconds : std::min(1 << retry, MaxBackOffSeconds);
}

// Waits `seconds` while processing messages; false when `stopped` says so first.
bool WaitBeforeRetry(int seconds, const std::function<bool()>& stopped)
{
    using Clock = std::chrono::steady_clock;
    const auto due = Clock::now() + std::chrono::seconds(seconds);
    while (!stopped()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
        if (left <= 0)
            return true;
        platform::WaitPass(static_cast<int>(std::min<long long>(left, 250)));
    }
    return false;
}

}  // namespace

TReceived ReceiveTrying(TFileTransfer& transfer, const TFileTries& tries)
{
    TReceived received;
    for (int retry = 0;; ++retry) {
        if (tries.Trying)
            tries.Trying();
        received.Reason = transfer.Receive(tries.Url, tries.FileName, *tries.File, tries.ChangedAfter);
        const int delay = received.Reason.empty() || retry >= tries.Retries ? -1 : RetryDelay(transfer, retry);
        if (delay < 0 || tries.Stopped())
            break;
        tries.Retrying(platform::Fill(_("** Retrying %1 in %2 s: %3"),
                                      {tries.FileName, std::to_string(delay), received.Reason}));
        tries.BackingOff(true);
        const bool waited = WaitBeforeRetry(delay, tries.Stopped);
        tries.BackingOff(false);
        if (!waited)
            break;
    }
    received.Bytes = transfer.ReceivedBytes();
    received.Unchanged = received.Reason.empty() && transfer.Unchanged();
    received.ModifiedTime = transfer.ModifiedTime();
    received.StoppedBy = transfer.StoppedBy();
    return received;
}

bool IsMultimedia(const std::string& fileName)
{
    return Contains(fileName, ".mov") || Contains(fileName, ".avi") || Contains(fileName, ".mpg");
}

TFileAdmission AdmitFile(TJobState& job, const std::string& localFolder, const std::string& fileName)
{
    if (IsMultimedia(fileName) && job.MultimediaLockout)
        return TFileAdmission::MultimediaLocked;
    if (!IsSafeName(fileName) || platform::IsTempFileName(fileName) || platform::IsPartialName(fileName))
        return TFileAdmission::UnsafeName;
    // A file that is there is present (or, for an update, asked for again); one that is not is
    // skipped when the archive records it, however it went.
    if (platform::FileExists(localFolder + fileName))
        return job.Options.Update ? TFileAdmission::Recheck : TFileAdmission::Present;
    return job.IsArchived(localFolder, fileName) ? TFileAdmission::Archived : TFileAdmission::Fetch;
}

void ReportPresent(TJobState& job, const std::string& localFolder, const std::string& fileName)
{
    ++job.Run.Tally.Present;
    job.ArchiveFile(localFolder, fileName);
}

void ReportRefused(TJobState& job, TFileAdmission admission, const std::string& fileName)
{
    if (admission == TFileAdmission::MultimediaLocked) {
        job.AppendLog(_("** Multimedia files have been temporarily disabled."));
        job.AppendLog(platform::Fill(_("** Skipping file %1"), {fileName}));
    } else if (admission == TFileAdmission::Archived) {
        job.AppendLog(platform::Fill(_("** Skipping archived file %1"), {fileName}));
        ++job.Run.Tally.Archived;
    } else {
        job.AppendLog(platform::Fill(_("** Skipping unsafe file name %1"), {Printable(fileName)}));
    }
}

void StoreReceived(TJobState& job, TFileTransfer& transfer, TReceivingFile& receiving, const std::string& localFolder,
                   const std::string& fileName, const TReceived& received)
{
    if (received.Reason.empty() && received.Unchanged) {
        ReportPresent(job, localFolder, fileName);
        return;
    }
    const std::string reason = receiving.Store(localFolder, fileName, received.Reason, received.ModifiedTime);
    if (reason.empty()) {
        ++job.Run.Tally.Fetched;
        job.Run.Tally.Bytes += received.Bytes;
        job.ArchiveFile(localFolder, fileName);
        return;
    }
    // The user's abort says nothing against the server or the file: nothing is locked out, and
    // the data so far is kept or dropped as after any interrupted transfer.
    if (received.StoppedBy == TStopReason::User) {
        job.SetStatusText(platform::Fill(_("%1: aborted"), {fileName}));
        ++job.Run.Tally.Aborted;
        return;
    }
    transfer.Failed(job, fileName);
    job.SetStatusText(platform::Fill(_("%1: %2"), {fileName, reason}));
    job.Run.Tally.CountFailure(fileName);
}
