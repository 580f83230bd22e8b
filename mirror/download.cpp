// The file download step and the creation of local folders.
#include "mirror/JobForm.h"
#include "mirror/strutil.h"
#include "net/NMFtp.h"
#include "net/NMHttp.h"
#include "platform/files.h"

#include <filesystem>
#include <string>
#include <system_error>

namespace {

// A file is received under this suffix and takes its own name only when complete, so a
// broken transfer never leaves a truncated file that the existing-file skip would keep.
const std::string PartialSuffix = ".part";

bool IsMultimedia(const std::string& fileName)
{
    return Contains(fileName, ".mov") || Contains(fileName, ".avi") || Contains(fileName, ".mpg");
}

long long SizeOf(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(platform::NativePath(path), error);
    return error ? -1 : static_cast<long long>(size);
}

// Creates `folder` and every missing folder above it.
void ForceFolders(const std::string& folder)
{
    std::error_code ignored;
    std::filesystem::create_directories(platform::NativePath(folder), ignored);
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
        if (!IsSafeName(fileName)) {
            form_.AppendLog("** Skipping unsafe file name " + Printable(fileName));
            return;
        }
        form_.Downloading = true;
        if (!platform::FileExists(localFolder + fileName)) {
            form_.SetStatusText("Downloading " + fileName + ". . .");
            ForceFolders(localFolder);
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
        const std::string target = localFolder + fileName;
        const std::string partial = target + PartialSuffix;
        const bool byFtp = form_.NMFTP1->Connected;
        const bool done = byFtp ? TransferByFtp(fileName, partial) : TransferByHttp(url, partial);
        if (done && platform::RenameFile(partial, target))
            return;
        if (byFtp) {
            form_.AppendLog("error ftping file");
        } else {
            form_.AppendLog("** Multimedia files have been temporarily disabled.");
            form_.AppendLog("** Deleting file " + fileName);
            form_.MultimediaLockout = true;
        }
        platform::DeleteFile(partial);
    }

    bool TransferByFtp(const std::string& fileName, const std::string& partial)
    {
        try {
            form_.NMFTP1->Download(fileName, partial);
        } catch (const Exception&) {
            return false;
        }
        return true;
    }

    // A reply of 400 or above, or a body shorter than the reply announced, is a failure too.
    bool TransferByHttp(const std::string& url, const std::string& partial)
    {
        TNMHTTP& http = *form_.NMHTTP1;
        try {
            http.Body = partial;
            http.ReportLevel = 8;
            http.Get(url);
        } catch (const Exception&) {
            return false;
        }
        return http.ReplyNumber < 400 && SizeOf(partial) >= http.BytesTotal;
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

void TJobForm::MakeLocalFolders(const std::string& subPath)
{
    // The walks refuse such paths already; this keeps every other caller inside the destination.
    if (!IsSafeServerPath(subPath))
        return;
    const int fields = CountFields(subPath, "\\");
    std::string path = DestinationText();
    for (int i = 0; i <= fields; ++i) {
        path += "\\" + NthField(subPath, "\\", i);
        if (!platform::DirectoryExists(path))
            platform::CreateDir(path);
    }
}
