#include "mirror/DownloadStep.h"

#include "mirror/FileTransfer.h"
#include "mirror/JobForm.h"
#include "mirror/strutil.h"
#include "net/NMHttp.h"
#include "platform/catalogue.h"
#include "platform/files.h"
#include "platform/userdirs.h"

#include <cerrno>

namespace {

// Sets a flag for as long as it lives, however its scope ends.
class TPausing {
public:
    explicit TPausing(bool& flag) : flag_(flag) { flag_ = true; }
    ~TPausing() { flag_ = false; }
    TPausing(const TPausing&) = delete;
    TPausing& operator=(const TPausing&) = delete;

private:
    bool& flag_;
};

class TDownloadStep {
public:
    TDownloadStep(TJobForm& form, TFileTransfer& transfer) : form_(form), transfer_(transfer) {}

    void Run(const std::string& localFolder, const std::string& url, const std::string& fileName)
    {
        form_.IdleTicks = 0;
        const TFileAdmission admission = AdmitFile(form_, localFolder, fileName);
        if (admission == TFileAdmission::MultimediaLocked || admission == TFileAdmission::UnsafeName) {
            ReportRefused(form_, admission, fileName);
            return;
        }
        form_.Downloading = true;
        if (admission == TFileAdmission::Present) {
            ++form_.Run.Tally.Present;
        } else {
            form_.SetStatusText(platform::Fill(_("Downloading %1. . ."), {fileName}));
            Transfer(localFolder, url, fileName);
            Pause();
        }
        form_.NMHTTP1->ReportLevel = 1;
        form_.Downloading = false;
    }

private:
    // The file arrives under a name of its own and takes its final name only when complete.
    void Transfer(const std::string& localFolder, const std::string& url, const std::string& fileName)
    {
        platform::TempFile file;
        std::string reason = OpenReceivingFile(form_, localFolder, file);
        if (reason.empty())
            reason = transfer_.Receive(url, fileName, file.Path());
        StoreReceived(form_, transfer_, file, localFolder, fileName, {reason, transfer_.ReceivedBytes()});
    }

    // The watchdog rests while the pause runs: no transfer is there to abort.
    void Pause()
    {
        if (!form_.PauseChecked())
            return;
        const int seconds = form_.PauseSeconds();
        form_.SetStatusText(platform::Fill(_("Sleeping for %1 seconds . . ."), {std::to_string(seconds)}));
        form_.ProcessPendingMessages();
        const TPausing pausing(form_.Pausing);
        form_.PauseFor(static_cast<unsigned>(seconds) * 1000u);
    }

    TJobForm& form_;
    TFileTransfer& transfer_;
};

}  // namespace

void DownloadFile(TJobForm& form, TFileTransfer& transfer, const std::string& localFolder, const std::string& url,
                  const std::string& fileName)
{
    TDownloadStep(form, transfer).Run(localFolder, url, fileName);
}

bool IsMultimedia(const std::string& fileName)
{
    return Contains(fileName, ".mov") || Contains(fileName, ".avi") || Contains(fileName, ".mpg");
}

TFileAdmission AdmitFile(const TJobForm& form, const std::string& localFolder, const std::string& fileName)
{
    if (IsMultimedia(fileName) && form.MultimediaLockout)
        return TFileAdmission::MultimediaLocked;
    if (!IsSafeName(fileName) || platform::IsTempFileName(fileName))
        return TFileAdmission::UnsafeName;
    return platform::FileExists(localFolder + fileName) ? TFileAdmission::Present : TFileAdmission::Fetch;
}

void ReportRefused(TJobForm& form, TFileAdmission admission, const std::string& fileName)
{
    if (admission == TFileAdmission::MultimediaLocked) {
        form.AppendLog(_("** Multimedia files have been temporarily disabled."));
        form.AppendLog(platform::Fill(_("** Skipping file %1"), {fileName}));
    } else {
        form.AppendLog(platform::Fill(_("** Skipping unsafe file name %1"), {Printable(fileName)}));
    }
}

// The folder and its missing parents are made only when the folder is missing.
std::string OpenReceivingFile(TJobForm& form, const std::string& localFolder, platform::TempFile& file)
{
    file = form.NewTempFile(localFolder);
    if (!file && file.Error() == ENOENT) {
        platform::MakeFolders(localFolder);
        file = form.NewTempFile(localFolder);
    }
    if (file)
        return {};
    return platform::Fill(_("cannot create a file in %1: %2"), {localFolder, platform::ErrorText(file.Error())});
}

void StoreReceived(TJobForm& form, TFileTransfer& transfer, platform::TempFile& file, const std::string& localFolder,
                   const std::string& fileName, const TReceived& received)
{
    std::string reason = received.Reason;
    if (reason.empty() && !file.Commit(localFolder + fileName))
        reason = platform::Fill(_("cannot store %1: %2"), {fileName, platform::ErrorText(file.Error())});
    if (reason.empty()) {
        ++form.Run.Tally.Fetched;
        form.Run.Tally.Bytes += received.Bytes;
        return;
    }
    transfer.Failed(form, fileName);
    form.SetStatusText(platform::Fill(_("%1: %2"), {fileName, reason}));
    form.Run.Tally.CountFailure(fileName);
}
