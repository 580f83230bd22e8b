#include "sets/SetJob.h"

#include "mirror/DownloadPool.h"
#include "mirror/FileTransfer.h"
#include "mirror/JobState.h"
#include "mirror/pagelines.h"
#include "mirror/strutil.h"
#include "net/FTPDirectoryList.h"
#include "net/NMFtp.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <ctime>
#include <string>
#include <vector>

namespace {

const std::string RemoteBase = "/pub/brick/";

std::unique_ptr<TNMFTP> MakeFtpClient()
{
    auto ftp = std::make_unique<TNMFTP>();
    ftp->Port = 21;
    ftp->ReportLevel = 4;
    ftp->UserID = "Anonymous";
    ftp->Password = "Wayfarers";
    ftp->Vendor = TNMFTP::VendorDetect;
    ftp->ParseList = false;
    return ftp;
}

// Why a set number cannot be used, or an empty text when it can. Only a number of 3 to 5
// characters has a folder, and a "/" or "\" in it would lead out of the set's own folder.
std::string RejectionOf(const std::string& number)
{
    if (!number.empty() && number[0] == '0')
        return _("Please remove the leading 0 from the set number and try again, download stopped.");
    if (number.size() < 3)
        return _("I can't download sets that have less than 3 digits, download stopped.");
    if (number.size() > 5)
        return _("I can't download sets that have more than 5 digits, download stopped.");
    if (!IsSafeName(number))
        return _("I can't download sets whose number holds \"/\", \"\\\" or control characters, download stopped.");
    return {};
}

// "\scans\" + five-character group folder + set folder + "\".
std::string RelativeFolder(const std::string& number)
{
    const std::string first = number.substr(0, 1);
    switch (number.size()) {
    case 3:
        return "\\scans\\00000\\0" + number + "\\";
    case 4:
        return "\\scans\\0" + first + "000\\" + number + "\\";
    default:
        return "\\scans\\" + first + "0000\\" + number + "\\";
    }
}

std::string SlashFolder(const std::string& relativeFolder)
{
    return ReplaceAll(relativeFolder, "\\", "/");
}

// The base and the folder joined with one slash between them.
std::string RemoteFolder(const std::string& slashFolder)
{
    return RemoteBase + slashFolder.substr(1);
}

// A listing's size field: digits only, else not given.
long long ListedSize(const std::string& field)
{
    if (field.empty() || field.size() > 18 || field.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(field);
}

}  // namespace

TSetJob::TSetJob(TJobState& job) : NMFTP1(MakeFtpClient()), job_(job) {}

TSetJob::~TSetJob() = default;

void TSetJob::Start()
{
    job_.BeginJob();
    const std::string number = job_.Options.SetNumber;
    const std::string refusal = RejectionOf(number);
    if (!refusal.empty()) {
        job_.AppendLog(refusal);
        job_.Run.Outcome = TJobOutcome::SetNumberRejected;
        job_.Run.Problem = refusal;
        End();
        return;
    }
    number_ = number;
    if (NMFTP1->Connected)
        NMFTP1->Disconnect();
    job_.SetStatusText(_("Establishing conection . . ."));
    job_.AppendLog(job_.Options.WebBase + SlashFolder(RelativeFolder(number)));
    // The client's reports show in the status line, and its log-in leads into the job's body,
    // from the first job on.
    NMFTP1->OnConnect = [this](TComponent*) { FetchSetFiles(); };
    NMFTP1->OnStatus = [this](TComponent*, const std::string& Status) { job_.SetStatusText(Status); };
    NMFTP1->Host = job_.Options.FtpHost;
    NMFTP1->Port = job_.Options.FtpPort;
    NMFTP1->Connect();  // logs in, then runs FetchSetFiles before it returns
    job_.SetStatusText(_(". . . done getting files"));
    End();
}

void TSetJob::End()
{
    job_.FinishJob(job_.Run.Outcome);
    if (NMFTP1->Connected)
        NMFTP1->Disconnect();
    job_.ShowSummary();
}

void TSetJob::FetchSetFiles()
{
    TNMFTP& ftp = *NMFTP1;
    // Scans are binary: in the server's default ASCII type some servers convert their line ends,
    // others refuse to continue a partial file.
    ftp.TransferType("I");
    if (!ChangeToSetFolder())
        return;
    ftp.ParseList = true;
    ftp.Vendor = TNMFTP::VendorDetect;
    job_.SetStatusText(_("Getting Directory Listing . . ."));
    ftp.ListDirectory();

    // Copies: a Disconnect inside the loop frees the list.
    const std::vector<std::string> names = ftp.DirectoryList ? ftp.DirectoryList->FileNames : std::vector<std::string>{};
    const std::vector<std::string> dates = ftp.DirectoryList ? ftp.DirectoryList->FileDates : std::vector<std::string>{};
    const std::vector<std::string> sizes = ftp.DirectoryList ? ftp.DirectoryList->FileSizes : std::vector<std::string>{};
    const long long now = static_cast<long long>(std::time(nullptr));
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (job_.StopRequested) {
            ftp.Disconnect();
            job_.AppendLog(CancelLine());
            break;
        }
        if (Contains(name, "index.htm"))
            continue;
        if (!IsSafeName(name)) {
            job_.AppendLog(platform::Fill(_("** Skipping unsafe file name %1"), {Printable(name)}));
            continue;
        }
        FetchFile(name, i < dates.size() ? ParseListingDate(dates[i], now) : -1,
                  i < sizes.size() ? ListedSize(sizes[i]) : -1);
    }
}

bool TSetJob::ChangeToSetFolder()
{
    TNMFTP& ftp = *NMFTP1;
    const std::string remoteFolder = RemoteFolder(SlashFolder(RelativeFolder(number_)));
    job_.SetStatusText(_("Changing Directory . . ."));
    try {
        ftp.ChangeDirectory(remoteFolder);
    } catch (const std::exception&) {
        if (ftp.TimedOut())
            throw;  // a silent server is not a missing set
        job_.AppendLog(_("Set does not exist, download stopped."));
        job_.Run.Outcome = TJobOutcome::SetNotFound;
        job_.Run.Problem = platform::Fill(_("no folder %1 on %2"), {remoteFolder, job_.Options.FtpHost});
        ftp.Disconnect();
        return false;
    }
    return true;
}

void TSetJob::FetchFile(const std::string& name, long long listedTime, long long listedSize)
{
    TNMFTP& ftp = *NMFTP1;
    const std::string relativeFolder = RelativeFolder(number_);
    job_.AppendLog(relativeFolder + name);
    job_.MakeLocalFolders(relativeFolder);
    const std::string localFolder = job_.Options.Destination + relativeFolder;
    const std::string url = job_.Options.WebBase + SlashFolder(relativeFolder) + name;
    TFtpFileTransfer overFtp(ftp);
    overFtp.ListedTime = listedTime;
    overFtp.ListedSize = listedSize;
    THttpFileTransfer overHttp(*job_.NMHTTP1);
    const bool wasConnected = ftp.Connected;
    DownloadFile(job_, wasConnected ? static_cast<TFileTransfer&>(overFtp) : overHttp, localFolder, url, name);
    // The download step keeps failures to itself; a server gone silent ends the job, with the
    // time-out as the client raised it.
    if (ftp.TimedOut())
        throw ESockError(overFtp.LastFailure());
    // The control connection went down under this file: it comes over HTTP with the rest.
    if (wasConnected && !ftp.Connected && !job_.StopRequested && !platform::FileExists(localFolder + name)) {
        job_.Run.Tally.Retrying(name);
        DownloadFile(job_, overHttp, localFolder, url, name);
    }
}
