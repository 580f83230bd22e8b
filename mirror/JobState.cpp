#include "mirror/JobState.h"

#include "mirror/Archive.h"
#include "mirror/DownloadPool.h"
#include "mirror/pagelines.h"
#include "mirror/strutil.h"
#include "net/NMHttp.h"
#include "platform/Exception.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <algorithm>
#include <ctime>
#include <string_view>

namespace {

constexpr std::int32_t PageStallLimit = 60;   // idle ticks of a page fetch
// Fewer bytes than this since the last sign of life is no sign of life: a server dripping a
// byte now and then must not keep the watchdog at bay.
constexpr long long ProgressFloor = 1024;

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

}  // namespace

// As the window's stored design sets it.
std::unique_ptr<TNMHTTP> TJobState::NewHttpClient()
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
    http->UnsizedBodyLimit = TJobOptions::DefaultUnsizedBodyLimit;
    return http;
}

TJobState::TJobState() : NMHTTP1(NewHttpClient())
{
    NMHTTP1->OnStatus = [this](TComponent*, const std::string&) { HttpStatusReported(); };
}

TJobState::~TJobState() = default;

void TJobState::Cancel()
{
    StopRequested = true;
    if (pool_)
        pool_->Cancel();
    if (phase_ != TJobPhase::Running)
        return;
    phase_ = TJobPhase::Stopping;
    SetJobPhase(phase_);
    SetStatusText(StoppingText());
}

std::string TJobState::StoppingText() const
{
    std::string files;
    for (const TDownloadPool* pool : {ownPool_.get(), pool_.get()})
        for (const std::string& name : pool ? pool->OnTheirWay() : std::vector<std::string>{})
            files += (files.empty() ? "" : ", ") + name;
    if (!files.empty())
        return platform::Fill(_("Stopping: waiting for %1 to finish"), {files});
    return FetchingPage ? _("Stopping: waiting for the page being fetched") : _("Stopping . . .");
}

std::string TJobState::TimeText(const std::tm& time)
{
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, "%X", &time));
}

// Deliberately not tied to a request: a count left above the limit keeps aborting until a
// status report or the next page fetch resets it.
void TJobState::Tick()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    ShowClock(TimeText(local));
    if (FetchingPage)
        IdleTicks = MadeProgress() ? 0 : IdleTicks + 1;
    if (IdleTicks > (FetchingPage ? PageStallLimit : WatchdogLimit))
        NMHTTP1->Stop(TStopReason::Watchdog);
    if (ownPool_)
        ownPool_->Tick();
    if (pool_)
        pool_->Tick();
}

void TJobState::HttpStatusReported()
{
    if (MadeProgress())
        IdleTicks = 0;
}

bool TJobState::MadeProgress()
{
    return IsProgress(NMHTTP1->BytesArrived, ProgressMark);
}

bool TJobState::IsProgress(long long arrived, long long& mark)
{
    if (arrived - mark < ProgressFloor)
        return false;
    mark = arrived;
    return true;
}

TDownloadPool& TJobState::Downloads()
{
    if (Options.Connections <= 1 || Options.Pause) {
        // The pause switched on halfway: what is on its way over the other connections comes first.
        if (pool_)
            pool_->Finish();
        return OwnDownloads();
    }
    if (!pool_)
        pool_ = std::make_unique<TDownloadPool>(*this, Options.Connections);
    return *pool_;
}

TDownloadPool& TJobState::OwnDownloads()
{
    if (!ownPool_)
        ownPool_ = std::make_unique<TDownloadPool>(*this, 1);
    return *ownPool_;
}

void TJobState::AppendLog(const std::string& line)
{
    if (pool_ && pool_->Holds())
        pool_->AddLine(line);
    else
        ShowLogLine(line);
}

void TJobState::FinishWalk()
{
    if (Run.WalkNesting != 0)
        return;
    if (!FinishDownloads())
        AppendLog(CancelLine());
    if (pool_)
        pool_->RemoveDroppedFolders();
}

void TJobState::WhileDownloading(const std::function<void()>& work)
{
    if (pool_ && pool_->Parallel())
        pool_->Meanwhile(work);
    else
        work();
}

bool TJobState::FinishDownloads()
{
    const bool own = !ownPool_ || ownPool_->Finish();
    return (!pool_ || pool_->Finish()) && own;
}

void TJobState::AbortDownloads()
{
    NMHTTP1->Abort();
    if (pool_)
        pool_->Abort();
}

bool TJobState::IsArchived(const std::string& localFolder, const std::string& fileName)
{
    return Archive && Archive->Contains(localFolder, fileName);
}

void TJobState::ArchiveFile(const std::string& localFolder, const std::string& fileName)
{
    if (Archive)
        Archive->Record(localFolder, fileName);
}

// Each job starts its connections afresh, with the settings it runs with, and opens the archive
// first: an archive that cannot be used stops the job before it starts.
void TJobState::BeginJob()
{
    Archive.reset();
    if (!Options.ArchivePath.empty())
        Archive = std::make_unique<TJobArchive>(Options.ArchivePath, Options.Destination);
    pool_.reset();
    ownPool_.reset();
    phase_ = TJobPhase::Running;
    SetJobPhase(phase_);
    StopRequested = false;
    Run.Begin();
}

void TJobState::FinishJob(TJobOutcome outcome)
{
    Run.Outcome = outcome;
    Run.Cancelled = StopRequested;
    LeaveJob();
}

void TJobState::LeaveJob()
{
    pool_.reset();
    ownPool_.reset();
    StopRequested = true;
    phase_ = TJobPhase::Idle;
    SetJobPhase(phase_);
}

void TJobState::ShowSummary()
{
    SetStatusText(Run.SummaryLine(Run.EndingText()));
}

void TJobState::EndJob(TJobOutcome outcome)
{
    FinishJob(outcome);
    ShowSummary();
}

int TJobState::PauseSeconds() const
{
    return std::clamp(Options.PauseSeconds, TJobOptions::PauseMin, TJobOptions::PauseMax);
}

std::string TJobState::DownloadProgress() const
{
    if (!Downloading)
        return {};
    const std::string received = std::to_string(NMHTTP1->BytesRecvd);
    if (NMHTTP1->BytesTotal > 0)
        return platform::Fill(_("%1 of %2 bytes"), {received, std::to_string(NMHTTP1->BytesTotal)});
    return platform::Fill(_("%1 bytes"), {received});
}

void TJobState::MakeLocalFolders(const std::string& subPath)
{
    // The walks refuse such paths already; this keeps every other caller inside the destination.
    if (!IsSafeServerPath(subPath))
        return;
    std::string path = Options.Destination;
    if (Run.ReadyFolders.contains(FolderKey(path + "\\" + subPath)))
        return;
    // Level by level, the destination first; one pass over the separators, so that a hostile
    // path of very many levels costs no recount of them at each level.
    // One made while pictures are on their way goes again if a cancel drops them: one connection
    // would not have come to it.
    const auto makeLevel = [this, &path](std::string_view level) {
        path += '\\';
        path += level;
        if (!platform::DirectoryExists(path) && platform::CreateDir(path) && pool_ && pool_->Holds())
            pool_->AddMadeFolder(path);
    };
    makeLevel({});
    for (size_t start = 0; !subPath.empty();) {
        const size_t end = subPath.find('\\', start);
        makeLevel(std::string_view(subPath).substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
}

platform::TempFile TJobState::NewTempFile(const std::string& folder)
{
    return OpenInFolder(folder, [&folder] { return platform::TempFile::Create(folder); });
}

platform::TempFile TJobState::ClaimPartialFile(const std::string& folder, const std::string& path)
{
    return OpenInFolder(folder, [&path] { return platform::TempFile::Claim(path); });
}

platform::TempFile TJobState::OpenInFolder(const std::string& folder, const std::function<platform::TempFile()>& open)
{
    const std::string key = FolderKey(folder);
    const bool ready = Run.ReadyFolders.contains(key);
    if (!ready)
        platform::RemoveLeftovers(folder);
    platform::TempFile file = open();
    if (file && !ready)
        Run.ReadyFolders.insert(key);
    return file;
}

platform::TempFile TJobState::NewPageFile(const std::string& folder)
{
    platform::TempFile file = NewTempFile(folder);
    if (!file) {
        AppendLog(platform::Fill(_("** Skipping folder %1: %2"), {Printable(folder), platform::ErrorText(file.Error())}));
        ++Run.Tally.PagesFailed;
    }
    return file;
}
