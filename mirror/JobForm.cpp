// The main window's job control without its controls: the two clients as the window's stored
// design sets them, the page fetch, the folder-ID and member jobs, the cancel action and the
// one-second tick of the clock and the activity watchdog.
#include "mirror/JobForm.h"

#include "mirror/strutil.h"
#include "net/NMFtp.h"
#include "net/NMHttp.h"
#include "platform/Exception.h"
#include "platform/files.h"
#include "platform/messages.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

namespace {

constexpr int FetchTries = 5;
constexpr std::int32_t WatchdogLimit = 30;    // idle ticks of a download
constexpr std::int32_t PageStallLimit = 60;   // idle ticks of a page fetch
// Fewer bytes than this since the last sign of life is no sign of life: a server dripping a
// byte now and then must not keep the watchdog at bay.
constexpr long long ProgressFloor = 1024;

// Why a page request failed, for the log; the transport and client record it where it happens.
const char* StopReasonText(TStopReason reason)
{
    switch (reason) {
    case TStopReason::Watchdog: return "no progress";
    case TStopReason::ServerDrop: return "connection dropped by the server";
    case TStopReason::Cap: return "page larger than the limit";
    case TStopReason::BadReply: return "reply cannot be used";
    default: return "";
    }
}

bool IsFailedTry(TStopReason reason)
{
    return *StopReasonText(reason) != '\0';
}

std::unique_ptr<TNMHTTP> MakeHttpClient()
{
    auto http = std::make_unique<TNMHTTP>();
    http->InputFileMode = true;
    http->Body = "Default.htm";
    http->Header = "Head.txt";
    http->ReportLevel = 0;
    http->Port = 0;
    http->ProxyPort = 0;
    http->HeaderInfo.UserId = "Internet Explorer";
    http->HeaderInfo.LocalMailAddress = "ie 6.0.2800.1106IC";
    http->UnsizedBodyLimit = TJobForm::DefaultUnsizedBodyLimit;
    return http;
}

// The set job binds OnConnect and OnStatus itself: its handlers live in the layer above.
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

// Blanks, an optional plus sign, then decimal digits only: a whole number that is not negative.
bool IsLargeWholeNumber(const std::string& text)
{
    size_t i = text.find_first_not_of(' ');
    if (i != std::string::npos && text[i] == '+')
        ++i;
    return i < text.size() && text.find_first_not_of("0123456789", i) == std::string::npos;
}

// The current time of day in the locale's long time format.
std::string LongTimeText()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%X", &local);
    return std::string(text, length);
}

}  // namespace

TJobForm::TJobForm() : NMHTTP1(MakeHttpClient()), NMFTP1(MakeFtpClient())
{
    NMHTTP1->OnStatus = [this](TComponent* Sender, const std::string& Status) {
        NMHTTP1Status(Sender, Status);
    };
}

TJobForm::~TJobForm() = default;

void TJobTally::Retrying(const std::string& fileName)
{
    --Failed;
    std::erase(FirstFailures, fileName);
}

std::string TJobForm::DownloadProgress() const
{
    if (!Downloading)
        return {};
    const std::string received = std::to_string(NMHTTP1->BytesRecvd);
    if (NMHTTP1->BytesTotal > 0)
        return received + " of " + std::to_string(NMHTTP1->BytesTotal) + " bytes";
    return received + " bytes";
}

bool TJobForm::FetchPage(const std::string& url, const std::string& fileName)
{
    for (int tries = 0; tries < FetchTries; ++tries) {
        if (TryFetch(url, fileName)) {
            const std::string text = ReadPageText(fileName);
            if (Contains(text, "this.location.replace") || Contains(text, "<HTML>"))
                return true;
        }
        AppendLog("**Got a server error, trying to download again");
    }
    AppendLog("**Tried 5 times and got errors every time, skipping this folder");
    platform::DeleteFile(fileName);
    return false;
}

// A page is capped and watched; a stall, a drop, a cap or an unusable reply costs one try,
// while a failure to connect or the user's abort still ends the fetch.
bool TJobForm::TryFetch(const std::string& url, const std::string& fileName)
{
    TNMHTTP& http = *NMHTTP1;
    http.Body = fileName;
    http.MaxBodySize = static_cast<long long>(MaxPageBytes);
    IdleTicks = 0;
    FetchingPage = true;
    try {
        http.Get(url);
    } catch (const ESockError&) {
        http.MaxBodySize = 0;
        FetchingPage = false;
        if (!IsFailedTry(http.StopReason))
            throw;
        AppendLog(std::string("** Page transfer failed: ") + StopReasonText(http.StopReason));
        return false;
    }
    http.MaxBodySize = 0;
    FetchingPage = false;
    return true;
}

void TJobForm::BeginJob()
{
    SetJobRunning(true);
    StopRequested = false;
    JobOutcome = TJobOutcome::Completed;
    Tally = {};
    ReadyFolders.clear();
    JobStarted = std::chrono::steady_clock::now();
}

// The set job's connection says good-bye before the summary, so that the summary is the text
// the status line keeps.
void TJobForm::EndJob(TJobOutcome outcome)
{
    JobOutcome = outcome;
    CancelledJob = StopRequested;
    Button1Click();
    if (NMFTP1->Connected)
        NMFTP1->Disconnect();
    SetStatusText(SummaryLine(EndingText()));
}

void TJobForm::Button1Click()
{
    SetJobRunning(false);
    StopRequested = true;
}

std::string TJobForm::EndingText() const
{
    switch (JobOutcome) {
    case TJobOutcome::FirstPageFailed:
        return "stopped, first page not obtained";
    case TJobOutcome::SetNumberRejected:
        return "stopped, set number rejected";
    case TJobOutcome::SetNotFound:
        return "stopped, set not found";
    case TJobOutcome::Completed:
        break;
    }
    return CancelledJob ? "cancelled" : "completed";
}

std::string TJobForm::SummaryLine(const std::string& ending) const
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
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - JobStarted).count();
    char tail[64];
    std::snprintf(tail, sizeof tail, ", %lld bytes in %.1f s", Tally.Bytes, seconds);
    return line + tail;
}

void TJobForm::Button3Click()
{
    RunGalleryJob("f", FolderIdText());
}

void TJobForm::Button4Click()
{
    RunGalleryJob("m", MemberText());
}

// The entry, destination and host are read once, so that an edit made while the job waits
// cannot make the walk look for a page other than the one fetched. The page file lies inside
// the destination folder, whether or not its text ends in a separator.
void TJobForm::RunGalleryJob(const std::string& queryKey, const std::string& entry)
{
    BeginJob();
    SetStatusText("getting list . . . ");
    const std::string destination = DestinationText();
    if (!platform::DirectoryExists(destination))
        platform::CreateDir(destination);
    ClearLog();
    LastFolderPath.clear();
    platform::TempFile pageFile = NewTempFile(destination);
    if (!pageFile)
        throw EInOutError("cannot create a file in " + destination + ": " + platform::ErrorText(pageFile.Error()));
    const std::string url = "http://www." + SiteTag + ".com/cgi-bin/gallery.cgi?" + queryKey + "=" + entry;
    if (!FetchPage(url, pageFile.Path())) {
        EndJob(TJobOutcome::FirstPageFailed);
        return;
    }
    AppendLog(url);
    WalkFetchedPage(std::move(pageFile), entry);
    SetStatusText(". . . done getting files");
    EndJob(TJobOutcome::Completed);
}

void TJobForm::NMHTTP1Status(TComponent*, const std::string&)
{
    if (MadeProgress())
        IdleTicks = 0;
}

bool TJobForm::MadeProgress()
{
    const long long arrived = NMHTTP1->BytesArrived;
    if (arrived - ProgressMark < ProgressFloor)
        return false;
    ProgressMark = arrived;
    return true;
}

// Deliberately not tied to Downloading: a count left above the limit keeps aborting until a
// status report or the next download step or page fetch resets it.
void TJobForm::Timer1Timer()
{
    ShowClock(LongTimeText());
    if (Downloading || FetchingPage)
        IdleTicks = MadeProgress() ? 0 : IdleTicks + 1;
    if (IdleTicks > (FetchingPage ? PageStallLimit : WatchdogLimit))
        NMHTTP1->Stop(TStopReason::Watchdog);
}

// A whole number too large for an integer is still outside the range on its side.
int TJobForm::PauseSeconds()
{
    const std::string text = PauseText();
    try {
        return std::clamp(StrToInt(text), PauseMin, PauseMax);
    } catch (const EConvertError&) {
        return IsLargeWholeNumber(text) ? PauseMax : PauseMin;
    }
}

void TJobForm::ProcessPendingMessages()
{
    platform::ProcessMessages();
}

void TJobForm::PauseFor(unsigned milliseconds)
{
    platform::Sleep(milliseconds);
}
