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

bool IsMultimedia(const std::string& fileName)
{
    return Contains(fileName, ".mov") || Contains(fileName, ".avi") || Contains(fileName, ".mpg");
}

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
        if (IsMultimedia(fileName) && form_.MultimediaLockout) {
            form_.AppendLog(_("** Multimedia files have been temporarily disabled."));
            form_.AppendLog(platform::Fill(_("** Skipping file %1"), {fileName}));
            return;
        }
        if (!IsSafeName(fileName) || platform::IsTempFileName(fileName)) {
            form_.AppendLog(platform::Fill(_("** Skipping unsafe file name %1"), {Printable(fileName)}));
            return;
        }
        form_.Downloading = true;
        if (platform::FileExists(localFolder + fileName)) {
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
    void Transfer(const std::string& localFolder, const std::string& url, const std::string& fileName)
    {
        const std::string reason = Receive(localFolder, url, fileName);
        if (reason.empty()) {
            ++form_.Run.Tally.Fetched;
            form_.Run.Tally.Bytes += transfer_.ReceivedBytes();
            return;
        }
        transfer_.Failed(form_, fileName);
        form_.SetStatusText(platform::Fill(_("%1: %2"), {fileName, reason}));
        form_.Run.Tally.CountFailure(fileName);
    }

    // The file arrives under a name of its own and takes its final name only when complete.
    // Why it failed, or an empty text when it is stored.
    std::string Receive(const std::string& localFolder, const std::string& url, const std::string& fileName)
    {
        platform::TempFile file = ReceivingFile(localFolder);
        if (!file)
            return platform::Fill(_("cannot create a file in %1: %2"), {localFolder, platform::ErrorText(file.Error())});
        std::string reason = transfer_.Receive(url, fileName, file.Path());
        if (reason.empty() && !file.Commit(localFolder + fileName))
            reason = platform::Fill(_("cannot store %1: %2"), {fileName, platform::ErrorText(file.Error())});
        return reason;
    }

    // The folder and its missing parents are made only when the folder is missing.
    platform::TempFile ReceivingFile(const std::string& localFolder)
    {
        platform::TempFile file = form_.NewTempFile(localFolder);
        if (file || file.Error() != ENOENT)
            return file;
        platform::MakeFolders(localFolder);
        return form_.NewTempFile(localFolder);
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
