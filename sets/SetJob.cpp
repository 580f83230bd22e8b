// The set download job: a set number names a folder under "/pub/brick/" on the instruction-set
// FTP host, and every file listed there is stored in the same folder under "\scans\".
#include "mirror/JobForm.h"
#include "mirror/strutil.h"
#include "net/NMFtp.h"
#include "platform/files.h"

#include <string>
#include <vector>

namespace {

const std::string RemoteBase = "/pub/brick/";

// Why a set number cannot be used, or an empty text when it can. Only a number of 3 to 5
// characters has a folder, and a "/" or "\" in it would lead out of the set's own folder.
std::string RejectionOf(const std::string& number)
{
    if (!number.empty() && number[0] == '0')
        return "Please remove the leading 0 from the set number and try again, download stopped.";
    if (number.size() < 3)
        return "I can't download sets that have less than 3 digits, download stopped.";
    if (number.size() > 5)
        return "I can't download sets that have more than 5 digits, download stopped.";
    if (!IsSafeName(number))
        return "I can't download sets whose number holds \"/\", \"\\\" or control characters, download stopped.";
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

}  // namespace

void TJobForm::Button2Click()
{
    BeginJob();
    const std::string number = SetNumberText();
    const std::string refusal = RejectionOf(number);
    if (!refusal.empty()) {
        AppendLog(refusal);
        EndJob(TJobOutcome::SetNumberRejected);
        return;
    }
    SetJobNumber = number;
    const std::string slashFolder = SlashFolder(RelativeFolder(number));
    if (NMFTP1->Connected)
        NMFTP1->Disconnect();
    SetStatusText("Establishing conection . . .");
    AppendLog(WebBase + slashFolder);
    NMFTP1->OnConnect = [this](TComponent* Sender) { NMFTP1Connect(Sender); };
    NMFTP1->OnStatus = [this](TComponent* Sender, const std::string& Status) { NMFTP1Status(Sender, Status); };
    NMFTP1->Host = FtpHost;
    NMFTP1->Port = FtpPort;
    NMFTP1->Connect();  // runs the log-in and then NMFTP1Connect, the job's body
    SetStatusText(". . . done getting files");
    EndJob(JobOutcome);
    if (NMFTP1->Connected)
        NMFTP1->Disconnect();
}

void TJobForm::NMFTP1Connect(TComponent*)
{
    TNMFTP& ftp = *NMFTP1;
    const std::string relativeFolder = RelativeFolder(SetJobNumber);
    const std::string slashFolder = SlashFolder(relativeFolder);

    SetStatusText("Changing Directory . . .");
    try {
        ftp.ChangeDirectory(RemoteFolder(slashFolder));
    } catch (const std::exception&) {
        if (ftp.TimedOut())
            throw;  // a silent server is not a missing set
        AppendLog("Set does not exist, download stopped.");
        JobOutcome = TJobOutcome::SetNotFound;
        ftp.Disconnect();
        return;
    }

    ftp.ParseList = true;
    ftp.Vendor = TNMFTP::VendorDetect;
    SetStatusText("Getting Directory Listing . . .");
    ftp.ListDirectory();

    // A copy: a Disconnect inside the loop frees the list.
    const std::vector<std::string> names = ftp.DirectoryList ? ftp.DirectoryList->FileNames : std::vector<std::string>{};
    for (const std::string& name : names) {
        if (StopRequested) {
            ftp.Disconnect();
            AppendLog("Cancel button pressed, download stopped.");
            break;
        }
        if (Contains(name, "index.htm"))
            continue;
        if (!IsSafeName(name)) {
            AppendLog("** Skipping unsafe file name " + Printable(name));
            continue;
        }
        AppendLog(relativeFolder + name);
        MakeLocalFolders(relativeFolder);
        const std::string localFolder = DestinationText() + relativeFolder;
        const std::string url = WebBase + slashFolder + name;
        const bool overFtp = ftp.Connected;
        DownloadFile(localFolder, url, name);
        // The download step keeps failures to itself; a server gone silent ends the job.
        if (ftp.TimedOut())
            throw ESockError(ftp.ErrorText(platform::WSAETIMEDOUT));
        // The control connection went down under this file: it comes over HTTP with the rest.
        if (overFtp && !ftp.Connected && !StopRequested && !platform::FileExists(localFolder + name)) {
            Tally.Retrying(name);
            DownloadFile(localFolder, url, name);
        }
    }
}

void TJobForm::NMFTP1Status(TComponent*, const std::string& Status)
{
    SetStatusText(Status);
}
