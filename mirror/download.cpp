// The file download step and the creation of local folders.
#include "mirror/JobForm.h"
#include "mirror/strutil.h"
#include "net/NMFtp.h"
#include "net/NMHttp.h"
#include "platform/Exception.h"
#include "platform/files.h"
#include "platform/userdirs.h"

#include <cerrno>
#include <string>

namespace {

// The summary names this many failed files; the count covers the rest.
constexpr size_t NamedFailures = 5;

bool IsMultimedia(const std::string& fileName)
{
    return Contains(fileName, ".mov") || Contains(fileName, ".avi") || Contains(fileName, ".mpg");
}

// `path` as the key of a folder: native separators, no runs of them, none at the end, so
// that every spelling the walks build of one folder is one key.
std::string FolderKey(const std::string& path)
{
    std::string key;
    for (const char c : platform::NativePath(path))
        if (c != '/' || key.empty() || key.back() != '/')
            key += c;
    if (key.size() > 1 && key.back() == '/')
        key.pop_back();
    return key;
}

// An exception's text as the reason of a failure, which is never an empty text.
std::string ReasonOf(const Exception& error)
{
    const std::string text = error.what();
    return text.empty() ? "transfer failed" : text;
}

// The status line of a reply head, without its line end.
std::string StatusLineOf(const std::string& head, int replyNumber)
{
    const std::string line = head.substr(0, head.find_first_of("\r\n"));
    return line.empty() ? "reply " + std::to_string(replyNumber) : line;
}

}  // namespace

class TDownloadStep {
public:
    explicit TDownloadStep(TJobForm& form) : form_(form) {}

    // Steps 1 to 9.
    void Run(const std::string& localFolder, const std::string& url, const std::string& fileName)
    {
        form_.IdleTicks = 0;
        if (IsMultimedia(fileName) && form_.MultimediaLockout) {
            form_.AppendLog("** Multimedia files have been temporarily disabled.");
            form_.AppendLog("** Skipping file " + fileName);
            return;
        }
        if (!IsSafeName(fileName) || platform::IsTempFileName(fileName)) {
            form_.AppendLog("** Skipping unsafe file name " + Printable(fileName));
            return;
        }
        form_.Downloading = true;
        if (platform::FileExists(localFolder + fileName)) {
            ++form_.Tally.Present;
        } else {
            form_.SetStatusText("Downloading " + fileName + ". . .");
            Transfer(localFolder, url, fileName);
            Pause();
        }
        form_.NMHTTP1->ReportLevel = 1;
        form_.Downloading = false;
    }

private:
    // Step 7: FTP while the set job's connection is open, HTTP otherwise.
    void Transfer(const std::string& localFolder, const std::string& url, const std::string& fileName)
    {
        const bool byFtp = form_.NMFTP1->Connected;
        const std::string reason = Receive(localFolder, url, fileName, byFtp);
        if (reason.empty()) {
            ++form_.Tally.Fetched;
            form_.Tally.Bytes += byFtp ? form_.NMFTP1->BytesTotal : form_.NMHTTP1->CapturedCount();
            return;
        }
        if (byFtp) {
            form_.AppendLog("error ftping file");
        } else {
            form_.AppendLog("** Multimedia files have been temporarily disabled.");
            form_.AppendLog("** Deleting file " + fileName);
            form_.MultimediaLockout = true;
        }
        form_.SetStatusText(fileName + ": " + reason);
        CountFailure(fileName);
    }

    // The file arrives under a name of its own and takes its final name only when complete.
    // Why it failed, or an empty text when it is stored.
    std::string Receive(const std::string& localFolder, const std::string& url, const std::string& fileName,
                        bool byFtp)
    {
        platform::TempFile file = ReceivingFile(localFolder);
        if (!file)
            return "cannot create a file in " + localFolder + ": " + platform::ErrorText(file.Error());
        std::string reason = byFtp ? TransferByFtp(fileName, file.Path()) : TransferByHttp(url, file.Path());
        if (reason.empty() && !file.Commit(localFolder + fileName))
            reason = "cannot store " + fileName + ": " + platform::ErrorText(file.Error());
        return reason;
    }

    // Step 6 (making the folder and its missing parents) only when the folder is missing.
    platform::TempFile ReceivingFile(const std::string& localFolder)
    {
        platform::TempFile file = form_.NewTempFile(localFolder);
        if (file || file.Error() != ENOENT)
            return file;
        platform::MakeFolders(localFolder);
        return form_.NewTempFile(localFolder);
    }

    // Why the transfer failed, or an empty text when it did not.
    std::string TransferByFtp(const std::string& fileName, const std::string& path)
    {
        try {
            form_.NMFTP1->Download(fileName, path);
        } catch (const Exception& error) {
            return ReasonOf(error);
        }
        return {};
    }

    // A reply of 400 or above, or a body shorter than the reply announced, is a failure too.
    std::string TransferByHttp(const std::string& url, const std::string& path)
    {
        TNMHTTP& http = *form_.NMHTTP1;
        try {
            http.Body = path;
            http.ReportLevel = 8;
            http.Get(url);
        } catch (const Exception& error) {
            return ReasonOf(error);
        }
        if (http.ReplyNumber >= 400)
            return StatusLineOf(http.Header, http.ReplyNumber);
        // The bytes that came with the server's close count too: they are in the file.
        if (http.CapturedCount() < http.BytesTotal)
            return "received " + std::to_string(http.CapturedCount()) + " of " + std::to_string(http.BytesTotal) +
                   " bytes";
        return {};
    }

    void CountFailure(const std::string& fileName)
    {
        TJobTally& tally = form_.Tally;
        ++tally.Failed;
        if (tally.FirstFailures.size() < NamedFailures)
            tally.FirstFailures.push_back(fileName);
    }

    // Step 8.
    void Pause()
    {
        if (!form_.PauseChecked())
            return;
        const int seconds = form_.PauseSeconds();
        form_.SetStatusText("Sleeping for " + std::to_string(seconds) + " seconds . . .");
        form_.ProcessPendingMessages();
        form_.PauseFor(static_cast<unsigned>(seconds) * 1000u);
    }

    TJobForm& form_;
};

void TJobForm::DownloadFile(const std::string& localFolder, const std::string& url, const std::string& fileName)
{
    TDownloadStep(*this).Run(localFolder, url, fileName);
}

platform::TempFile TJobForm::NewTempFile(const std::string& folder)
{
    const std::string key = FolderKey(folder);
    const bool ready = ReadyFolders.contains(key);
    if (!ready)
        platform::RemoveLeftovers(folder);
    platform::TempFile file = platform::TempFile::Create(folder);
    if (file && !ready)
        ReadyFolders.insert(key);
    return file;
}

void TJobForm::MakeLocalFolders(const std::string& subPath)
{
    // The walks refuse such paths already; this keeps every other caller inside the destination.
    if (!IsSafeServerPath(subPath))
        return;
    std::string path = DestinationText();
    if (ReadyFolders.contains(FolderKey(path + "\\" + subPath)))
        return;
    const int fields = CountFields(subPath, "\\");
    for (int i = 0; i <= fields; ++i) {
        path += '\\' + NthField(subPath, "\\", i);
        if (!platform::DirectoryExists(path))
            platform::CreateDir(path);
    }
}
