#include "app/Headless.h"

#include "mirror/GalleryJob.h"
#include "net/NMFtp.h"
#include "net/NMHttp.h"
#include "platform/files.h"
#include "platform/userdirs.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr unsigned WM_INTERRUPT = platform::WM_USER + 1;

bool IsDecimal(const std::string& text)
{
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Ctrl+C: SIGINT is blocked in every thread and read from a signal descriptor by a watcher
// thread, which counts it and posts it to the runner's window, so the job sees it between two
// messages like a click.

class TInterruptWatch {
public:
    TInterruptWatch()
    {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        pthread_sigmask(SIG_BLOCK, &signals, &previous_);
        signals_ = signalfd(-1, &signals, SFD_CLOEXEC);
        stopper_ = eventfd(0, EFD_CLOEXEC);
        if (signals_ < 0 || stopper_ < 0)
            throw Exception(std::string("cannot watch for Ctrl+C: ") + std::strerror(errno));
        thread_ = std::thread([this] { Watch(); });
    }
    ~TInterruptWatch()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(stopper_, &one, sizeof one);
        thread_.join();
        close(signals_);  // a Ctrl+C after the job ended has nothing left to stop
        close(stopper_);
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    TInterruptWatch(const TInterruptWatch&) = delete;
    TInterruptWatch& operator=(const TInterruptWatch&) = delete;

    // Posts `msg` (wParam: the count) to `window` for every Ctrl+C, those already seen included.
    void Deliver(platform::HWND window, unsigned msg)
    {
        const std::lock_guard lock(mutex_);
        window_ = window;
        msg_ = msg;
        for (int n = 1; n <= count_; ++n)
            platform::PostMessage(window_, msg_, static_cast<platform::WPARAM>(n), 0);
    }
    int Count() const { return count_; }

private:
    void Watch()
    {
        pollfd fds[2] = {{signals_, POLLIN, 0}, {stopper_, POLLIN, 0}};
        for (;;) {
            // An interrupted poll leaves stale revents; reading on them could block the stop.
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents != 0)
                return;
            signalfd_siginfo info{};
            if (fds[0].revents == 0 || read(signals_, &info, sizeof info) != sizeof info)
                continue;
            const std::lock_guard lock(mutex_);
            const int n = ++count_;
            if (n >= 3)
                Quit();
            if (window_ != 0)
                platform::PostMessage(window_, msg_, static_cast<platform::WPARAM>(n), 0);
        }
    }

    // The third Ctrl+C: whatever the job is stuck in, the user wants out now.
    [[noreturn]] static void Quit()
    {
        static const char text[] = "\ninterrupted\n";
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, sizeof text - 1);
        std::_Exit(ExitInterrupted);
    }

    sigset_t previous_{};
    int signals_ = -1;
    int stopper_ = -1;
    std::atomic<int> count_{0};
    std::mutex mutex_;
    platform::HWND window_ = 0;
    unsigned msg_ = 0;
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// The command line

namespace {

struct TOptionInfo {
    const char* name;
    bool takesValue;
};

constexpr TOptionInfo Options[] = {
    {"--help", false},    {"--version", false},  {"--folder", true},   {"--member", true},
    {"--set", true},      {"--dest", true},      {"--host-a", false},  {"--host-b", false},
    {"--pause", true},    {"--no-pause", false}, {"--proxy", true},    {"--ftp-host", true},
    {"--web-base", true}, {"--settings", true},    {"--max-size", true},
};

const TOptionInfo* FindOption(const std::string& name)
{
    for (const TOptionInfo& known : Options)
        if (name == known.name)
            return &known;
    return nullptr;
}

void SetJob(TCommandLine& line, THeadlessJob job, const std::string& value)
{
    if (line.Job != THeadlessJob::None)
        throw EUsageError("only one of --folder, --member and --set may be given");
    line.Job = job;
    line.JobValue = value;
}

void ApplyOption(TCommandLine& line, const std::string& name, const std::string& value)
{
    if (name == "--help")
        line.Help = true;
    else if (name == "--version")
        line.Version = true;
    else if (name == "--folder")
        SetJob(line, THeadlessJob::Folder, value);
    else if (name == "--member")
        SetJob(line, THeadlessJob::Member, value);
    else if (name == "--set")
        SetJob(line, THeadlessJob::Set, value);
    else if (name == "--dest")
        line.Destination = value;
    else if (name == "--host-a" || name == "--host-b")
        line.HostB = name == "--host-b";
    else if (name == "--no-pause")
        line.PauseSeconds = 0;
    else if (name == "--pause") {
        const int seconds = IsDecimal(value) ? std::stoi(value) : 0;
        if (seconds < TJobForm::PauseMin || seconds > TJobForm::PauseMax)
            throw EUsageError("--pause takes a whole number of seconds from 1 to 15");
        line.PauseSeconds = seconds;
    } else if (name == "--proxy")
        line.Proxy = value;
    else if (name == "--ftp-host")
        line.FtpHost = value;
    else if (name == "--web-base")
        line.WebBase = value;
    else if (name == "--settings")
        line.SettingsFile = value;
    else if (name == "--max-size") {
        const long long bytes = IsDecimal(value) && value.size() <= 18 ? std::stoll(value) : 0;
        if (bytes < 1)
            throw EUsageError("--max-size takes a number of bytes from 1 up");
        line.MaxSize = bytes;
    }
}

}  // namespace

TCommandLine ParseCommandLine(int argc, char** argv)
{
    TCommandLine line;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::optional<std::string> value;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        try {
            const TOptionInfo* known = FindOption(name);
            if (known == nullptr)
                throw EUsageError(name.rfind("-", 0) == 0 ? "unknown option " + name
                                                          : "unexpected argument " + name);
            if (known->takesValue && !value) {
                if (i + 1 >= argc)
                    throw EUsageError(name + " needs a value");
                value = argv[++i];
            } else if (!known->takesValue && value) {
                throw EUsageError(name + " takes no value");
            }
            ApplyOption(line, name, value.value_or(""));
        } catch (const EUsageError& error) {
            if (line.Error.empty())
                line.Error = error.Message();
        }
    }
    return line;
}

std::string UsageText()
{
    return "usage:\n"
           "  tessary [--settings FILE]                 open the window\n"
           "  tessary --folder ID   [options]           folder-ID job, no window\n"
           "  tessary --member NAME [options]           member job, no window\n"
           "  tessary --set NUMBER  [options]           set download job, no window\n"
           "options:\n"
           "  --dest DIR            destination folder text, used exactly as given\n"
           "  --host-a | --host-b   gallery host A (" + std::string(TJobForm::SiteTagA) +
           ".com) or B (" + TJobForm::SiteTagB + ".com)\n"
           "  --pause SECONDS | --no-pause\n"
           "                        pause 1 to 15 seconds after every download, or not\n"
           "  --proxy HOST:PORT     HTTP proxy (default: $http_proxy when set)\n"
           "  --ftp-host HOST[:PORT]   instruction-set FTP host\n"
           "  --web-base URL        instruction-set web page base URL\n"
           "  --max-size BYTES      largest body without an announced length (default " +
           std::to_string(TJobForm::DefaultUnsizedBodyLimit) + ")\n"
           "  --settings FILE       stored entries to start from (default: program folder +\n"
           "                        Tessary.ini); a job without a window never writes it\n"
           "  --help | --version\n"
           "Log lines go to standard output, status texts and the job's closing summary to\n"
           "standard error.\n"
           "Exit status: 0 done, 1 error, 2 usage error, 3 the job could not do its work,\n"
           "4 the job ran to its end but some files failed, 130 interrupted.\n"
           "Ctrl+C once cancels, twice aborts the transfer, three times quits.\n";
}

std::string DefaultSettingsFile()
{
    return platform::SettingsFile();
}

namespace {

void ResolveProxy(const TCommandLine& line, THeadlessSettings& settings)
{
    if (line.Proxy) {
        if (!ParseHostPort(*line.Proxy, 0, settings.ProxyHost, settings.ProxyPort))
            throw EUsageError("--proxy takes HOST:PORT");
        return;
    }
    const TEnvironmentProxy proxy = ProxyFromEnvironment();
    if (!proxy.Ignored.empty())
        std::fprintf(stderr, "tessary: ignoring http_proxy=%s: not a HOST:PORT proxy\n", proxy.Ignored.c_str());
    settings.ProxyHost = proxy.Host;
    settings.ProxyPort = proxy.Port;
}

void ResolveFtp(const TCommandLine& line, THeadlessSettings& settings)
{
    if (line.FtpHost) {
        std::string host;
        int port = 0;
        if (!ParseHostPort(*line.FtpHost, 21, host, port))
            throw EUsageError("--ftp-host takes HOST or HOST:PORT");
        settings.FtpHost = host;
        settings.FtpPort = port;
    }
    if (line.WebBase) {
        std::string base = *line.WebBase;
        // The set folder that follows the base begins with its own "/".
        while (!base.empty() && base.back() == '/')
            base.pop_back();
        if (base.empty())
            throw EUsageError("--web-base takes a URL");
        settings.WebBase = base;
    }
}

// Options that only a job without a window reads.
bool HasJobOptions(const TCommandLine& line)
{
    return line.Destination || line.HostB || line.PauseSeconds || line.Proxy || line.FtpHost ||
           line.WebBase || line.MaxSize;
}

}  // namespace

bool OpensWindow(const TCommandLine& line)
{
    return line.Job == THeadlessJob::None && !HasJobOptions(line);
}

THeadlessSettings ResolveSettings(const TCommandLine& line)
{
    if (line.Job == THeadlessJob::None)
        throw EUsageError(HasJobOptions(line) ? "these options need --folder, --member or --set"
                                              : "no job given");
    const std::string file = line.SettingsFile.value_or(DefaultSettingsFile());
    if (line.SettingsFile && !platform::FileExists(file))
        throw EUsageError("no settings file " + file);
    THeadlessSettings settings;
    settings.Job = line.Job;
    settings.Entries = ReadStoredEntries(file);
    TStoredEntries& entries = settings.Entries;
    if (line.Job == THeadlessJob::Folder)
        entries.FolderId = line.JobValue;
    else if (line.Job == THeadlessJob::Member)
        entries.Member = line.JobValue;
    else
        entries.SetNumber = line.JobValue;
    if (line.Destination) {
        // An empty destination would put the gallery's folders at the root of the disk.
        if (line.Destination->empty())
            throw EUsageError("--dest needs a folder");
        entries.Destination = *line.Destination;
    }
    if (line.PauseSeconds) {
        entries.Pause = *line.PauseSeconds != 0;
        if (entries.Pause)
            entries.PauseSeconds = *line.PauseSeconds;
    }
    settings.HostB = line.HostB.value_or(entries.HostB());
    ResolveProxy(line, settings);
    ResolveFtp(line, settings);
    settings.MaxSize = line.MaxSize;
    return settings;
}

// ---------------------------------------------------------------------------------------------
// The runner

namespace {

// Columns of the terminal, or 0 when unknown.
int TerminalColumns(std::FILE* stream)
{
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

// `text` cut to fit `columns` on one line; a character of three or more bytes counts as wide.
std::string FitLine(const std::string& text, int columns)
{
    if (columns <= 1)
        return text;
    int used = 0;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        const int width = length >= 3 ? 2 : 1;
        if (used + width > columns - 1)
            break;
        used += width;
        i += length;
    }
    return text.substr(0, std::min(i, text.size()));
}

// A text without the line end that a server's reply line brings along.
std::string MessageLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

}  // namespace

THeadlessRunner::THeadlessRunner(const THeadlessSettings& settings, TInterruptWatch& interrupts,
                                 std::FILE* log, std::FILE* status)
    : settings_(settings),
      interrupts_(interrupts),
      log_(log),
      status_(status),
      statusOnTerminal_(isatty(fileno(status)) != 0),
      logOnTerminal_(isatty(fileno(log)) != 0),
      timer1_(std::make_unique<TThreadTimer>()),
      interruptWindow_([this](unsigned msg, platform::WPARAM wParam, platform::LPARAM) {
          if (msg == WM_INTERRUPT)
              OnInterrupt(static_cast<int>(wParam));
      })
{
    SiteTag = settings_.HostB ? SiteTagB : SiteTagA;
    NMHTTP1->Proxy = settings_.ProxyHost;
    NMHTTP1->ProxyPort = settings_.ProxyPort;
    NMHTTP1->OnStatus = [this](TComponent*, const std::string&) {
        HttpStatusReported();
        ShowProgress();
    };
    if (settings_.FtpHost)
        setJob_.FtpHost = *settings_.FtpHost;
    if (settings_.FtpPort)
        setJob_.FtpPort = *settings_.FtpPort;
    if (settings_.WebBase)
        setJob_.WebBase = *settings_.WebBase;
    if (settings_.MaxSize)
        NMHTTP1->UnsizedBodyLimit = *settings_.MaxSize;
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
        EndStatusLine();
        std::fprintf(status_, "%s\n%s\n", MessageLine(error.what()).c_str(),
                     Run.SummaryLine("ended by an error").c_str());
        std::fflush(status_);
        return interrupts_.Count() > 0 ? ExitInterrupted : ExitError;
    }
    EndStatusLine();
    if (interrupts_.Count() > 0)
        return ExitInterrupted;
    if (Run.Outcome != TJobOutcome::Completed)
        return ExitNoWork;
    return Run.Tally.Failed > 0 ? ExitSomeFailed : ExitDone;
}

void THeadlessRunner::RunJob()
{
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
        Notice("interrupted: stopping after the current transfer (Ctrl+C again aborts it)");
        Cancel();
    } else {
        Notice("interrupted again: aborting the transfer in progress (Ctrl+C again quits)");
        NMHTTP1->Abort();
        setJob_.NMFTP1->Abort();
    }
}

// The pause ends early once the user has asked for the transfer to be aborted.
void THeadlessRunner::PauseFor(unsigned milliseconds)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (interrupts_.Count() < 2) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return;
        platform::Sleep(static_cast<unsigned>(std::min<long long>(left, 50)));
    }
}

void THeadlessRunner::AppendLog(const std::string& line)
{
    const bool redraw = statusShown_ && logOnTerminal_;
    if (redraw)
        ClearStatus();
    std::fwrite(line.data(), 1, line.size(), log_);
    std::fputc('\n', log_);
    std::fflush(log_);
    if (redraw)
        DrawStatus(statusText_);
}

// Reported reply lines come with their line end, which would break the one-line display.
void THeadlessRunner::SetStatusText(const std::string& text)
{
    statusText_ = MessageLine(text);
    if (statusOnTerminal_) {
        DrawStatus(statusText_);
        return;
    }
    std::fprintf(status_, "%s\n", statusText_.c_str());
    std::fflush(status_);
}

// During a download every received packet reports; on a terminal it shows the bytes so far.
void THeadlessRunner::ShowProgress()
{
    if (!statusOnTerminal_ || !Downloading)
        return;
    DrawStatus(statusText_ + "  " + DownloadProgress());
}

void THeadlessRunner::DrawStatus(const std::string& text)
{
    const std::string line = FitLine(text, TerminalColumns(status_));
    std::fprintf(status_, "\r%s\x1b[K", line.c_str());
    std::fflush(status_);
    statusShown_ = true;
}

void THeadlessRunner::ClearStatus()
{
    std::fputs("\r\x1b[K", status_);
    std::fflush(status_);
}

// The updating line stays on the screen; whatever follows starts on a line of its own.
void THeadlessRunner::EndStatusLine()
{
    if (!statusShown_)
        return;
    std::fputc('\n', status_);
    std::fflush(status_);
    statusShown_ = false;
}

void THeadlessRunner::Notice(const std::string& text)
{
    EndStatusLine();
    std::fprintf(status_, "%s\n", text.c_str());
    std::fflush(status_);
    if (statusOnTerminal_ && !statusText_.empty())
        DrawStatus(statusText_);
}

int RunHeadless(const TCommandLine& commandLine)
{
    const THeadlessSettings settings = ResolveSettings(commandLine);
    TInterruptWatch interrupts;
    THeadlessRunner runner(settings, interrupts);
    return runner.Execute();
}
