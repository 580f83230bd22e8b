#include "mirror/DownloadPool.h"

#include "mirror/JobForm.h"
#include "net/NMHttp.h"
#include "platform/catalogue.h"
#include "platform/eventloop.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <thread>
#include <utility>

namespace {

constexpr unsigned WM_TRANSFER_ENDED = platform::WM_USER + 1;
constexpr unsigned WM_START = platform::WM_USER + 2;
constexpr unsigned WM_STOP = platform::WM_USER + 3;
constexpr unsigned WM_QUIT = platform::WM_USER + 4;
constexpr unsigned WM_NO_RETRY = platform::WM_USER + 5;

// Pictures decided or on their way ahead of the first one not yet reported: enough to keep
// every connection busy behind a slow picture, few enough that a listing of thousands of
// pictures costs little memory and no more open files.
constexpr size_t MaxWaiting = 64;

// What a worker's client takes over from the job's own client, and the job's tries of a file.
struct TClientSettings {
    std::string Proxy;
    int ProxyPort = 0;
    bool KeepAlive = false;
    long long UnsizedBodyLimit = 0;
    int Retries = 0;
};

std::string Megabytes(long long bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

// One connection: a thread with a loop and a client of its own, which receives one picture at a
// time into the file the job's thread opened and posts back when the picture has ended.
class TDownloadWorker {
public:
    TDownloadWorker(const TClientSettings& settings, platform::HWND jobWindow, size_t index)
        : jobLoop_(platform::LoopHandle())
    {
        std::promise<void> ready;
        std::future<void> started = ready.get_future();
        thread_ = std::thread([this, settings, jobWindow, index, ready = std::move(ready)]() mutable {
            Run(settings, jobWindow, index, ready);
        });
        started.wait();
    }

    ~TDownloadWorker()
    {
        loop_->Post(window_, WM_STOP, current_, static_cast<platform::LPARAM>(TStopReason::User));
        loop_->Post(window_, WM_QUIT, 0, 0);
        thread_.join();
    }

    TDownloadWorker(const TDownloadWorker&) = delete;
    TDownloadWorker& operator=(const TDownloadWorker&) = delete;

    // The job's thread hands over a transfer; the worker reads these after the post.
    void Start(unsigned serial, const std::string& url, const std::string& fileName, TReceivingFile& receiving,
               long long changedAfter)
    {
        changedAfter_ = changedAfter;
        url_ = url;
        fileName_ = fileName;
        path_ = receiving.File.Path();
        resume_ = receiving.Partial ? &receiving.Resume : nullptr;
        Arrived = 0;
        Received = 0;
        Total = 0;
        current_ = serial;
        loop_->Post(window_, WM_START, serial, 0);
    }

    void Stop(unsigned serial, TStopReason reason)
    {
        loop_->Post(window_, WM_STOP, serial, static_cast<platform::LPARAM>(reason));
    }

    // The job was cancelled: a back-off ends, and the picture is not tried again.
    void EndRetries() { loop_->Post(window_, WM_NO_RETRY, 0, 0); }

    // How the last transfer ended; the job's thread reads it once the worker has posted.
    TReceived Result;
    // The running transfer's bytes, read by the job's thread at any time.
    std::atomic<long long> Arrived{0};
    std::atomic<long long> Received{0};
    std::atomic<long long> Total{0};
    // Waiting to try the picture again: no transfer for the watchdog to watch.
    std::atomic<bool> BackingOff{false};

private:
    void Run(const TClientSettings& settings, platform::HWND jobWindow, size_t index, std::promise<void>& ready)
    {
        const platform::ThreadLoop ownLoop;
        std::unique_ptr<TNMHTTP> http = TJobForm::NewHttpClient();
        http->Proxy = settings.Proxy;
        http->ProxyPort = settings.ProxyPort;
        http->KeepAlive = settings.KeepAlive;
        http->UnsizedBodyLimit = settings.UnsizedBodyLimit;
        http->OnStatus = [this, &http](TComponent*, const std::string&) {
            Arrived = http->BytesArrived;
            Received = http->BytesRecvd;
            Total = http->BytesTotal;
        };
        THttpFileTransfer transfer(*http);
        bool quit = false;
        unsigned start = 0;
        unsigned running = 0;
        const platform::NotifyWindow window([&](unsigned msg, platform::WPARAM wParam, platform::LPARAM lParam) {
            if (msg == WM_START) {
                start = static_cast<unsigned>(wParam);
                noRetry_ = false;
            } else if (msg == WM_QUIT) {
                quit = noRetry_ = true;
            } else if (msg == WM_NO_RETRY) {
                noRetry_ = true;
            } else if (msg == WM_STOP && running != 0 && wParam == running) {
                noRetry_ = noRetry_ || static_cast<TStopReason>(lParam) == TStopReason::User;
                Stop(*http, static_cast<TStopReason>(lParam));
            }
        });
        loop_ = platform::LoopHandle();
        window_ = window.Handle();
        ready.set_value();
        while (!quit) {
            platform::WaitPass();
            if (start == 0 || quit)
                continue;
            running = std::exchange(start, 0);
            Result = Receive(transfer, *http, settings.Retries);
            running = 0;
            jobLoop_->Post(jobWindow, WM_TRANSFER_ENDED, index, 0);
        }
    }

    // As the download step tries a file, with the retry lines kept for the picture's report.
    TReceived Receive(THttpFileTransfer& transfer, TNMHTTP& http, int retries)
    {
        std::vector<std::string> retryLines;
        const TFileTries tries{url_,
                               fileName_,
                               path_,
                               resume_,
                               changedAfter_,
                               retries,
                               [this] { return noRetry_; },
                               [&retryLines](const std::string& line) { retryLines.push_back(line); },
                               [this](bool on) { BackingOff = on; }};
        TReceived result;
        try {
            result = ReceiveTrying(transfer, tries);
        } catch (const std::exception& error) {
            result.Reason = error.what();
        }
        result.RetryLines = std::move(retryLines);
        http.ReportLevel = 1;
        return result;
    }

    // As the job's own client is stopped: the user's abort, or the watchdog's stop.
    static void Stop(TNMHTTP& http, TStopReason reason)
    {
        if (reason == TStopReason::User)
            http.Abort();
        else
            http.Stop(reason);
    }

    std::shared_ptr<platform::EventLoop> jobLoop_;
    std::shared_ptr<platform::EventLoop> loop_;
    platform::HWND window_ = 0;
    std::string url_;
    std::string fileName_;
    std::string path_;
    TResume* resume_ = nullptr;  // the picture's, which the job's thread leaves alone meanwhile
    long long changedAfter_ = -1;
    bool noRetry_ = false;       // the worker's own: set by its messages
    unsigned current_ = 0;
    std::thread thread_;
};

TDownloadPool::TDownloadPool(TJobForm& form, int connections)
    : form_(form),
      reporter_(*form.NMHTTP1),
      window_([this](unsigned msg, platform::WPARAM wParam, platform::LPARAM) {
          if (msg == WM_TRANSFER_ENDED)
              TransferEnded(static_cast<size_t>(wParam));
      })
{
    const TNMHTTP& own = *form.NMHTTP1;
    const TClientSettings settings{own.Proxy, own.ProxyPort, own.KeepAlive, own.UnsizedBodyLimit, form.Retries};
    connections_.resize(static_cast<size_t>(std::clamp(connections, 1, TJobForm::MaxConnections)));
    for (size_t i = 0; i < connections_.size(); ++i)
        connections_[i].Worker = std::make_unique<TDownloadWorker>(settings, window_.Handle(), i);
}

// The workers end (a running transfer aborted) before the files they write into go.
TDownloadPool::~TDownloadPool()
{
    connections_.clear();
}

void TDownloadPool::Add(const std::string& logLine, const std::string& localFolder, const std::string& url,
                        const std::string& fileName)
{
    TPicture& picture = pictures_.emplace_back();
    picture.LogLine = logLine;
    picture.LocalFolder = localFolder;
    picture.Url = url;
    picture.FileName = fileName;
    Pump();
    while (pictures_.size() >= MaxWaiting) {
        platform::WaitPass();
        Pump();
    }
}

bool TDownloadPool::Finish()
{
    Pump();
    while (!pictures_.empty()) {
        platform::WaitPass();
        Pump();
    }
    return !std::exchange(dropped_, false);
}

void TDownloadPool::Abort()
{
    for (TConnection& connection : connections_)
        if (connection.Picture != nullptr)
            connection.Worker->Stop(connection.Serial, TStopReason::User);
}

// The same watchdog as for the job's own client, one count for each transfer.
void TDownloadPool::Tick()
{
    for (TConnection& connection : connections_) {
        if (connection.Picture == nullptr || connection.Worker->BackingOff)
            continue;
        const bool moved = TJobForm::IsProgress(connection.Worker->Arrived, connection.ProgressMark);
        connection.IdleTicks = moved ? 0 : connection.IdleTicks + 1;
        if (connection.IdleTicks > TJobForm::WatchdogLimit)
            connection.Worker->Stop(connection.Serial, TStopReason::Watchdog);
    }
    ShowStatus();
}

// Called where the job's thread waits, never from a message handler, so a report never runs
// inside another.
void TDownloadPool::Pump()
{
    ReportEnded();
    while (started_ < pictures_.size() && MayStart(pictures_[started_])) {
        Start(pictures_[started_]);
        ReportEnded();
    }
    if (form_.StopRequested && !retriesEnded_) {
        retriesEnded_ = true;
        for (TConnection& connection : connections_)
            connection.Worker->EndRetries();
    }
    if (form_.StopRequested && started_ < pictures_.size()) {
        dropped_ = true;
        pictures_.erase(pictures_.begin() + static_cast<std::ptrdiff_t>(started_), pictures_.end());
    }
    const size_t running = std::count_if(connections_.begin(), connections_.end(),
                                         [](const TConnection& c) { return c.Picture != nullptr; });
    if (running != shownRunning_)
        ShowStatus();
}

// In listing order. A multimedia file waits for every picture before it, whose failure would
// lock it out; a file waits for an earlier picture of the same name, which would make it present.
bool TDownloadPool::MayStart(const TPicture& picture)
{
    if (form_.StopRequested)
        return false;
    if (IsMultimedia(picture.FileName) && started_ > 0)
        return false;
    for (size_t i = 0; i < started_; ++i)
        if (pictures_[i].FileName == picture.FileName && pictures_[i].LocalFolder == picture.LocalFolder)
            return false;
    return FreeConnection() != nullptr;
}

TDownloadPool::TConnection* TDownloadPool::FreeConnection()
{
    for (TConnection& connection : connections_)
        if (connection.Picture == nullptr)
            return &connection;
    return nullptr;
}

void TDownloadPool::Start(TPicture& picture)
{
    ++started_;
    picture.Admission = AdmitFile(form_, picture.LocalFolder, picture.FileName);
    const bool recheck = picture.Admission == TFileAdmission::Recheck;
    picture.Ended = picture.Admission != TFileAdmission::Fetch && !recheck;
    if (picture.Ended)
        return;
    picture.Receiving.Replace = recheck;
    picture.Received.Reason = OpenReceivingFile(form_, picture.LocalFolder, picture.Url, picture.FileName, picture.Receiving);
    picture.Ended = !picture.Received.Reason.empty();
    if (picture.Ended)
        return;
    TConnection& connection = *FreeConnection();
    connection.Picture = &picture;
    connection.Serial = ++serial_;
    connection.IdleTicks = 0;
    connection.ProgressMark = 0;
    connection.Worker->Start(connection.Serial, picture.Url, picture.FileName, picture.Receiving,
                             recheck ? platform::ModifiedTimeOf(picture.LocalFolder + picture.FileName) : -1);
}

void TDownloadPool::ReportEnded()
{
    while (started_ > 0 && pictures_.front().Ended) {
        TPicture& picture = pictures_.front();
        form_.AppendLog(picture.LogLine);
        for (const std::string& line : picture.Received.RetryLines)
            form_.AppendLog(line);
        if (picture.Admission == TFileAdmission::Present)
            ReportPresent(form_, picture.LocalFolder, picture.FileName);
        else if (picture.Admission != TFileAdmission::Fetch && picture.Admission != TFileAdmission::Recheck)
            ReportRefused(form_, picture.Admission, picture.FileName);
        else
            StoreReceived(form_, reporter_, picture.Receiving, picture.LocalFolder, picture.FileName, picture.Received);
        pictures_.pop_front();
        --started_;
    }
}

void TDownloadPool::TransferEnded(size_t index)
{
    TConnection& connection = connections_.at(index);
    if (connection.Picture == nullptr)
        return;
    connection.Picture->Received = connection.Worker->Result;
    connection.Picture->Ended = true;
    connection.Picture = nullptr;
}

// "3 downloads, 1.2 MB of 4.0 MB": the running transfers and their bytes, counting the received
// bytes of a transfer whose length the server did not announce as its length.
void TDownloadPool::ShowStatus()
{
    size_t running = 0;
    long long received = 0;
    long long total = 0;
    for (const TConnection& connection : connections_) {
        if (connection.Picture == nullptr)
            continue;
        ++running;
        received += connection.Worker->Received;
        total += std::max<long long>(connection.Worker->Total, connection.Worker->Received);
    }
    shownRunning_ = running;
    if (running == 0)
        return;
    form_.SetStatusText(platform::Fill(
        platform::TranslatePlural("%1 download, %2 of %3", "%1 downloads, %2 of %3", running),
        {std::to_string(running), Megabytes(received), Megabytes(total)}));
}
