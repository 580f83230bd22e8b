#include "app/Headless.h"

#include "app/InterruptWatch.h"
#include "mirror/Album.h"
#include "mirror/Archive.h"
#include "mirror/GalleryJob.h"
#include "net/NMFtp.h"
#include "net/NMHttp.h"
#include "platform/catalogue.h"
#include "platform/files.h"
#include "platform/userdirs.h"

#include <chrono>

#include <unistd.h>

namespace {

constexpr unsigned WM_INTERRUPT = platform::WM_USER + 1;

}  // namespace

THeadlessRunner::THeadlessRunner(const THeadlessSettings& settings, TInterruptWatch& interrupts,
                                 std::FILE* log, std::FILE* status)
    : settings_(settings),
      interrupts_(interrupts),
      log_(log),
      statusLine_(status),
      logOnTerminal_(isatty(fileno(log)) != 0),
      timer1_(std::make_unique<TThreadTimer>()),
      interruptWindow_([this](unsigned msg, platform::WPARAM wParam, platform::LPARAM) {
          if (msg == WM_INTERRUPT)
              OnInterrupt(static_cast<int>(wParam));
      })
{
    Options = settings_.Options;
    SiteTag = Options.HostB ? SiteTagB : SiteTagA;
    NMHTTP1->Proxy = Options.ProxyHost;
    NMHTTP1->ProxyPort = Options.ProxyPort;
    NMHTTP1->KeepAlive = Options.KeepAlive;
    NMHTTP1->UnsizedBodyLimit = Options.MaxSize;
    NMHTTP1->OnStatus = [this](TComponent*, const std::string&) {
        HttpStatusReported();
        ShowProgress();
    };
    timer1_->SetInterval(1000);
    timer1_->SetOnTimer([this](TComponent*) { Tick(); });
    interrupts_.Deliver(interruptWindow_.Handle(), WM_INTERRUPT);
}

THeadlessRunner::~THeadlessRunner()
{
    interrupts_.Deliver(0, 0);
}

int THeadlessRunner::Execute()
{
    try {
        RunJob();
    } catch (const std::exception& error) {
        statusLine_.PrintLine(error.what());
        statusLine_.PrintLine(Run.SummaryLine(_("ended by an error")));
        return interrupts_.Count() > 0 ? ExitInterrupted : ExitCouldNotRun;
    }
    statusLine_.EndLine();
    if (interrupts_.Count() > 0)
        return ExitInterrupted;
    if (Run.Outcome != TJobOutcome::Completed)
        statusLine_.PrintLine("tessary: " + Run.Problem);
    return ExitStatusOf(Run);
}

void THeadlessRunner::RunJob()
{
    platform::PrepareDestination(Options.Destination);
    switch (settings_.Job) {
    case THeadlessJob::Folder:
        StartFolderJob(*this);
        break;
    case THeadlessJob::Member:
        StartMemberJob(*this);
        break;
    case THeadlessJob::Set:
        setJob_.Start();
        break;
    case THeadlessJob::None:
        break;
    }
}

// First Ctrl+C: the cancel action. Second: the transfer in progress is aborted as well.
void THeadlessRunner::OnInterrupt(int count)
{
    if (count == 1) {
        Notice(_("interrupted: stopping after the current transfer (Ctrl+C again aborts it)"));
        Cancel();
    } else {
        Notice(_("interrupted again: aborting the transfer in progress (Ctrl+C again quits)"));
        AbortDownloads();
        setJob_.NMFTP1->Abort();
    }
}

// The pause keeps its length, but a Ctrl+C is acted on at once: the first, the cancel action,
// ends the pause, and the job stops before the next file as after a pause run to its end.
void THeadlessRunner::PauseFor(unsigned milliseconds)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (!StopRequested) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return;
        platform::WaitPass(static_cast<int>(left));
    }
}

void THeadlessRunner::ShowLogLine(const std::string& line)
{
    const bool redraw = statusLine_.Shown() && logOnTerminal_;
    if (redraw)
        statusLine_.Clear();
    std::fwrite(line.data(), 1, line.size(), log_);
    std::fputc('\n', log_);
    std::fflush(log_);
    if (redraw)
        statusLine_.Draw(statusLine_.Text());
}

void THeadlessRunner::SetStatusText(const std::string& text)
{
    statusLine_.SetText(text);
}

// Off a terminal a line a second of progress would only fill a log.
void THeadlessRunner::SetProgressText(const std::string& text)
{
    if (statusLine_.OnTerminal())
        statusLine_.SetText(text);
}

// During a download every received packet reports; on a terminal it shows the bytes so far.
void THeadlessRunner::ShowProgress()
{
    if (!statusLine_.OnTerminal() || !Downloading)
        return;
    statusLine_.Draw(statusLine_.Text() + "  " + DownloadProgress());
}

void THeadlessRunner::Notice(const std::string& text)
{
    statusLine_.Notice(text);
}

int ReportProxyProblem(const THeadlessSettings& settings)
{
    if (settings.Proxy.Problem.empty())
        return ExitDone;
    std::fprintf(stderr, "tessary: %s\n", settings.Proxy.ProblemText().c_str());
    if (settings.Job == THeadlessJob::Set)
        return ExitDone;
    return settings.Proxy.Malformed ? ExitUsage : ExitCouldNotRun;
}

int RunArchiveImport(const TCommandLine& commandLine)
{
    if (!commandLine.Given("--archive"))
        throw EUsageError(_("--archive-import needs --archive FILE"));
    if (commandLine.Job != THeadlessJob::None || commandLine.InputFile)
        throw EUsageError(_("--archive-import fetches nothing: give it no job"));
    TJobOptions options;
    commandLine.ApplyTo(options);
    // A folder that is not there is no wrong command line: the mirror cannot be recorded.
    if (!platform::DirectoryExists(*commandLine.ArchiveImport))
        throw Exception(platform::Fill(_("no folder %1"), {*commandLine.ArchiveImport}));
    TArchive archive(options.ArchivePath);
    const int count = archive.Import(*commandLine.ArchiveImport);
    std::printf("%s\n", platform::Fill(platform::TranslatePlural("%1 file recorded in %2", "%1 files recorded in %2", count),
                                       {std::to_string(count), options.ArchivePath})
                            .c_str());
    return ExitDone;
}

int RunAlbumOnly(const TCommandLine& commandLine)
{
    if (commandLine.Job != THeadlessJob::None || commandLine.InputFile)
        throw EUsageError(_("--album-only fetches nothing: give it no job"));
    TJobOptions options;
    commandLine.ApplyTo(options);
    if (!platform::DirectoryExists(*commandLine.AlbumOnly))
        throw Exception(platform::Fill(_("no folder %1"), {*commandLine.AlbumOnly}));
    const TAlbumRequest request{*commandLine.AlbumOnly, options.AlbumIndex, true, {},
                                [](const std::string& line) { std::printf("%s\n", line.c_str()); }};
    std::printf("%s\n", AlbumSummary(BuildAlbum(request)).c_str());
    return ExitDone;
}

int RunHeadless(const TCommandLine& commandLine)
{
    const THeadlessSettings settings = ResolveSettings(commandLine);
    if (const int status = ReportProxyProblem(settings); status != ExitDone)
        return status;
    TInterruptWatch interrupts;
    THeadlessRunner runner(settings, interrupts);
    return runner.Execute();
}
