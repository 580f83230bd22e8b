#include "mirror/DownloadPool.h"

#include "mirror/Archive.h"
#include "mirror/JobState.h"
#include "net/NMHttp.h"
#include "net/finally.h"
#include "platform/catalogue.h"
#include "platform/eventloop.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>

namespace {

// Pictures decided or on their way ahead of the first one not yet reported: enough to keep
// every connection busy behind a slow picture, few enough that a listing of thousands of
// pictures costs little memory and no more open files.
constexpr size_t MaxWaiting = 64;
// Transfers queued for the workers beyond one for each: a worker that ends one begins the next
// at once, and the job's thread, woken when fewer than one for each wait, queues several.
constexpr size_t QueuedPerConnection = 2;

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

// What the job's thread tells a worker: look at the queue (it was idle), stop a transfer, end
// the retries of the job's pictures (cancel), or end.
struct TLookAtQueue {};
struct TStopTransfer {
    unsigned Serial;
    TStopReason Reason;
};
struct TEndRetries {};
struct TQuit {};
using TWorkerMessage = std::variant<TLookAtQueue, TStopTransfer, TEndRetries, TQuit>;

}  // namespace

// Messages of one type for one thread's loop: posted from any thread, handled on the loop's
// thread in the order they came. One window message wakes the loop; the messages themselves
// travel typed.
template <typename TMessage>
class TMailbox {
public:
    using THandler = std::function<void(const TMessage&)>;
    explicit TMailbox(THandler handler)
        : handler_(std::move(handler)), loop_(platform::LoopHandle()), window_([this](unsigned, platform::WPARAM, platform::LPARAM) {
              Deliver();
          })
    {
    }
    TMailbox(const TMailbox&) = delete;
    TMailbox& operator=(const TMailbox&) = delete;

    void Post(const TMessage& message)
    {
        {
            const std::lock_guard lock(mutex_);
            waiting_.push_back(message);
        }
        loop_->Post(window_.Handle(), platform::WM_USER, 0, 0);
    }

private:
    void Deliver()
    {
        std::deque<TMessage> messages;
        {
            const std::lock_guard lock(mutex_);
            messages.swap(waiting_);
        }
        for (const TMessage& message : messages)
            handler_(message);
    }

    THandler handler_;
    std::shared_ptr<platform::EventLoop> loop_;
    platform::NotifyWindow window_;
    std::mutex mutex_;
    std::deque<TMessage> waiting_;
};

// A transfer for a worker; the job's thread leaves `receiving` alone until it has ended.
struct TTransferTask {
    unsigned Serial = 0;
    std::string Url;
    std::string FileName;
    TReceivingFile* Receiving = nullptr;
    long long ChangedAfter = -1;
};
struct TTransferResult {
    unsigned Serial = 0;
    TReceived Result;
};

// The transfers the job's thread admitted, in listing order, and those that ended. Workers take
// the next transfer themselves as one ends, so they begin in listing order and the job's thread
// is woken once for several pictures, when the queue runs low: a wake costs more than a small
// picture's transfer on a fast link.
class TTransferQueue {
public:
    TTransferQueue(TMailbox<TTransferEnded>& job, size_t wakeBelow) : job_(job), wakeBelow_(wakeBelow) {}

    // The job's side.
    void Push(TTransferTask task)
    {
        TMailbox<TWorkerMessage>* idle = nullptr;
        {
            const std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
            if (!idle_.empty()) {
                idle = idle_.back();
                idle_.pop_back();
            }
        }
        if (idle != nullptr)
            idle->Post(TLookAtQueue{});
    }
    std::vector<TTransferResult> TakeEnded()
    {
        const std::lock_guard lock(mutex_);
        jobWoken_ = false;
        return std::exchange(ended_, {});
    }
    // The serials of the transfers no worker has begun, in listing order; they will not begin.
    std::vector<unsigned> TakeBackWaiting()
    {
        const std::lock_guard lock(mutex_);
        std::vector<unsigned> serials;
        for (const TTransferTask& task : queue_)
            serials.push_back(task.Serial);
        queue_.clear();
        return serials;
    }

    // A worker's side: the next transfer, or none, and then the worker is woken through its
    // mailbox when one comes.
    bool Next(TTransferTask& task, TMailbox<TWorkerMessage>& worker)
    {
        const std::lock_guard lock(mutex_);
        return TakeNext(task, worker);
    }
    // A transfer ended, and the worker takes the next one at once: whenever the job's thread
    // hears of an end, the transfer that followed it has begun.
    bool Ended(unsigned serial, TReceived result, TTransferTask& next, TMailbox<TWorkerMessage>& worker)
    {
        std::unique_lock lock(mutex_);
        ended_.push_back({serial, std::move(result)});
        const bool more = TakeNext(next, worker);
        const bool wake = !jobWoken_ && queue_.size() < wakeBelow_;
        jobWoken_ = jobWoken_ || wake;
        lock.unlock();
        if (wake)
            job_.Post(TTransferEnded{});
        return more;
    }

private:
    bool TakeNext(TTransferTask& task, TMailbox<TWorkerMessage>& worker)
    {
        if (queue_.empty()) {
            if (std::find(idle_.begin(), idle_.end(), &worker) == idle_.end())
                idle_.push_back(&worker);
            return false;
        }
        task = std::move(queue_.front());
        queue_.pop_front();
        return true;
    }

    TMailbox<TTransferEnded>& job_;
    const size_t wakeBelow_;
    std::mutex mutex_;
    std::deque<TTransferTask> queue_;
    std::vector<TTransferResult> ended_;
    std::vector<TMailbox<TWorkerMessage>*> idle_;  // workers waiting for a transfer
    bool jobWoken_ = false;                        // until the job's thread takes the ended ones
};

// One connection: a thread with a loop and a client of its own, which receives the queue's
// transfers one at a time, each into the file the job's thread opened.
class TDownloadWorker {
public:
    TDownloadWorker(const TClientSettings& settings, TTransferQueue& queue)
    {
        std::promise<void> ready;
        std::future<void> started = ready.get_future();
        thread_ = std::thread([this, settings, &queue, ready = std::move(ready)]() mutable {
            Run(settings, queue, ready);
        });
        started.wait();
    }

    ~TDownloadWorker()
    {
        mailbox_->Post(TQuit{});
        thread_.join();
    }

    TDownloadWorker(const TDownloadWorker&) = delete;
    TDownloadWorker& operator=(const TDownloadWorker&) = delete;

    void Stop(unsigned serial, TStopReason reason) { mailbox_->Post(TStopTransfer{serial, reason}); }

    // The job was cancelled: a back-off ends, and no picture is tried again.
    void EndRetries() { mailbox_->Post(TEndRetries{}); }

    // The serial of the running transfer, or 0, and its bytes, read by the job's thread at any
    // time.
    std::atomic<unsigned> Running{0};
    std::atomic<long long> Arrived{0};
    std::atomic<long long> Received{0};
    std::atomic<long long> Total{0};
    // Waiting to try the picture again: no transfer for the watchdog to watch.
    std::atomic<bool> BackingOff{false};
    // Tries begun since the worker started: a new one gets a fresh watchdog count.
    std::atomic<unsigned> Tries{0};

private:
    void Run(const TClientSettings& settings, TTransferQueue& queue, std::promise<void>& ready)
    {
        const platform::ThreadLoop ownLoop;
        std::unique_ptr<TNMHTTP> http = TJobState::NewHttpClient();
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
        bool cancelled = false;
        TMailbox<TWorkerMessage> mailbox([&](const TWorkerMessage& message) {
            const unsigned running = Running;
            if (std::holds_alternative<TQuit>(message)) {
                quit = noRetry_ = true;
                if (running != 0)
                    transfer.Stop(TStopReason::User);
            } else if (std::holds_alternative<TEndRetries>(message)) {
                cancelled = noRetry_ = true;
            } else if (const auto* stop = std::get_if<TStopTransfer>(&message); stop && running != 0 &&
                                                                                  stop->Serial == running) {
                noRetry_ = noRetry_ || stop->Reason == TStopReason::User;
                transfer.Stop(stop->Reason);
            }
        });
        mailbox_ = &mailbox;
        ready.set_value();
        TTransferTask task;
        bool haveTask = queue.Next(task, mailbox);
        while (!quit) {
            if (!haveTask) {
                platform::WaitPass();
                haveTask = queue.Next(task, mailbox);
                continue;
            }
            noRetry_ = cancelled;
            Arrived = 0;
            Received = 0;
            Total = 0;
            Running = task.Serial;
            TReceived result = Receive(transfer, *http, settings.Retries, task);
            Running = 0;
            haveTask = queue.Ended(task.Serial, std::move(result), task, mailbox);
        }
    }

    // As the download step tries a file, with the retry lines kept for the picture's report.
    TReceived Receive(THttpFileTransfer& transfer, TNMHTTP& http, int retries, const TTransferTask& task)
    {
        std::vector<std::string> retryLines;
        const TFileTries tries{task.Url,
                               task.FileName,
                               task.Receiving,
                               task.ChangedAfter,
                               retries,
                               [this] { return noRetry_; },
                               [&retryLines](const std::string& line) { retryLines.push_back(line); },
                               [this](bool on) { BackingOff = on; },
                               [this] { ++Tries; }};
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

    TMailbox<TWorkerMessage>* mailbox_ = nullptr;  // lives on the worker's thread while it runs
    bool noRetry_ = false;  // the worker's own: set by its messages
    std::thread thread_;
};

TDownloadPool::TDownloadPool(TJobState& job, int connections)
    : job_(job),
      reporter_(*job.NMHTTP1),
      mailbox_(std::make_unique<TMailbox<TTransferEnded>>([this](const TTransferEnded&) { TransferEnded(); }))
{
    connections_.resize(static_cast<size_t>(std::clamp(connections, 1, TJobOptions::MaxConnections)));
    if (connections_.size() == 1)
        return;
    const TNMHTTP& own = *job.NMHTTP1;
    const TClientSettings settings{own.Proxy, own.ProxyPort, own.KeepAlive, own.UnsizedBodyLimit, job.Options.Retries};
    transfers_ = std::make_unique<TTransferQueue>(*mailbox_, connections_.size());
    for (TConnection& connection : connections_)
        connection.Worker = std::make_unique<TDownloadWorker>(settings, *transfers_);
}

// The workers end (a running transfer aborted) before the files they write into go.
TDownloadPool::~TDownloadPool()
{
    connections_.clear();
}

void TDownloadPool::Add(const std::string& logLine, const std::string& localFolder, const std::string& url,
                        const std::string& fileName, TFileTransfer* over)
{
    TPicture& picture = pictures_.emplace_back();
    picture.LogLine = logLine;
    picture.LocalFolder = localFolder;
    picture.Url = url;
    picture.FileName = fileName;
    picture.Over = over != nullptr ? over : &reporter_;
    Pump();
    while (pictures_.size() >= MaxWaiting) {
        platform::WaitPass();
        Pump();
    }
    ThrowArchiveError();
}

void TDownloadPool::AddLine(const std::string& line)
{
    TPicture& entry = pictures_.emplace_back();
    entry.LineOnly = true;
    entry.LogLine = line;
    Pump();
}

void TDownloadPool::AddMadeFolder(const std::string& path)
{
    TPicture& entry = pictures_.emplace_back();
    entry.LineOnly = true;
    entry.MadeFolder = path;
}

// Deepest first: a folder made inside another came after it.
void TDownloadPool::RemoveDroppedFolders()
{
    for (auto folder = droppedFolders_.rbegin(); folder != droppedFolders_.rend(); ++folder)
        platform::RemoveEmptyFolder(*folder);
    droppedFolders_.clear();
}

bool TDownloadPool::Finish()
{
    Drain();
    ThrowArchiveError();
    return !std::exchange(dropped_, false);
}

void TDownloadPool::Drain()
{
    Pump();
    while (!pictures_.empty()) {
        platform::WaitPass();
        Pump();
    }
}

// The pictures on their way when the archive failed end and are stored first: their data is
// not thrown away for want of a record.
void TDownloadPool::ThrowArchiveError()
{
    if (!archiveError_)
        return;
    Drain();
    std::rethrow_exception(std::exchange(archiveError_, nullptr));
}

void TDownloadPool::Abort()
{
    for (TConnection& connection : connections_) {
        if (!Busy(connection))
            continue;
        if (connection.Worker)
            connection.Worker->Stop(connection.Worker->Running, TStopReason::User);
        else
            connection.Picture->Over->Stop(TStopReason::User);
    }
}

// One count for each transfer: a try without 1 KiB of progress for WatchdogLimit ticks is
// stopped. A new try starts a fresh count; a back-off and the pause are not counted.
void TDownloadPool::Tick()
{
    for (TConnection& connection : connections_) {
        if (!Busy(connection))
            continue;
        TDownloadWorker* worker = connection.Worker.get();
        if (worker && worker->Running != connection.Serial) {
            connection.Serial = worker->Running;
            connection.IdleTicks = 0;
            connection.ProgressMark = 0;
        }
        const long long arrived = worker ? worker->Arrived.load() : connection.Picture->Over->Arrived();
        if ((worker ? worker->BackingOff.load() : resting_) || arrived < 0)
            continue;
        const unsigned tries = worker ? worker->Tries.load() : ownTries_;
        if (tries != connection.Tries) {
            connection.Tries = tries;
            connection.IdleTicks = 0;
        }
        const bool moved = TJobState::IsProgress(arrived, connection.ProgressMark);
        connection.IdleTicks = moved ? 0 : connection.IdleTicks + 1;
        if (connection.IdleTicks <= TJobState::WatchdogLimit)
            continue;
        if (worker)
            worker->Stop(connection.Serial, TStopReason::Watchdog);
        else
            connection.Picture->Over->Stop(TStopReason::Watchdog);
    }
    ShowStatus();
}

std::vector<std::string> TDownloadPool::OnTheirWay() const
{
    std::vector<std::string> names;
    for (size_t i = 0; i < started_; ++i)
        if (!pictures_[i].Ended)
            names.push_back(pictures_[i].FileName);
    return names;
}

// Called where the job's thread waits, never from a message handler, so a report never runs
// inside another.
void TDownloadPool::Pump()
{
    const bool outer = std::exchange(pumping_, true);
    const net::Finally done{[this, outer] { pumping_ = outer; }};
    CollectEnded();
    ReportEnded();
    while (started_ < pictures_.size() && MayStart(pictures_[started_])) {
        Start(pictures_[started_]);
        ReportEnded();
    }
    if (job_.StopRequested || archiveError_)
        EndStarting();
    if ((job_.StopRequested || archiveError_) && started_ < pictures_.size()) {
        dropped_ = true;
        for (size_t i = started_; i < pictures_.size(); ++i)
            if (!pictures_[i].MadeFolder.empty())
                droppedFolders_.push_back(pictures_[i].MadeFolder);
        pictures_.erase(pictures_.begin() + static_cast<std::ptrdiff_t>(started_), pictures_.end());
    }
    const size_t running = std::count_if(connections_.begin(), connections_.end(),
                                         [this](const TConnection& c) { return Busy(c); });
    if (running != shownRunning_)
        ShowStatus();
}

// In listing order. A multimedia file waits for every picture before it, whose failure would
// lock it out; a file waits for an earlier picture of the same name, which would make it present.
// Over the job's own connection the caller has decided already: the file is taken at once.
bool TDownloadPool::MayStart(const TPicture& picture)
{
    if (OwnConnection())
        return true;
    if (job_.StopRequested || archiveError_)
        return false;
    if (picture.LineOnly)
        return true;
    if (IsMultimedia(picture.FileName) && started_ > 0)
        return false;
    for (size_t i = 0; i < started_; ++i)
        if (pictures_[i].FileName == picture.FileName && pictures_[i].LocalFolder == picture.LocalFolder)
            return false;
    return inFlight_ < connections_.size() * (1 + QueuedPerConnection);
}

bool TDownloadPool::Busy(const TConnection& connection) const
{
    return connection.Worker ? connection.Worker->Running != 0 : connection.Picture != nullptr;
}

// The one admission decision of a file.
void TDownloadPool::Start(TPicture& picture)
{
    ++started_;
    if (picture.LineOnly) {
        picture.Ended = true;
        return;
    }
    const bool own = OwnConnection();
    if (own && !picture.LogLine.empty())
        job_.AppendLog(std::exchange(picture.LogLine, {}));
    picture.Admission = AdmitFile(job_, picture.LocalFolder, picture.FileName);
    const bool recheck = picture.Admission == TFileAdmission::Recheck;
    picture.Ended = picture.Admission != TFileAdmission::Fetch && !recheck;
    // What the window shows the progress of, and the terminal's status line follows.
    job_.Downloading = own && (!picture.Ended || picture.Admission == TFileAdmission::Present);
    if (picture.Ended)
        return;
    if (own)
        job_.SetStatusText(platform::Fill(_("Downloading %1. . ."), {picture.FileName}));
    picture.Received.Reason = picture.Receiving.Open(job_, picture.LocalFolder, picture.Url, picture.FileName,
                                                     job_.Options.Resume, recheck, picture.Over->Listed());
    picture.Ended = !picture.Received.Reason.empty();
    if (picture.Ended)
        return;
    const long long changedAfter = recheck ? platform::ModifiedTimeOf(picture.LocalFolder + picture.FileName) : -1;
    if (own) {
        ReceiveHere(connections_.front(), picture, changedAfter);
        return;
    }
    picture.Serial = ++serial_;
    ++inFlight_;
    transfers_->Push({picture.Serial, picture.Url, picture.FileName, &picture.Receiving, changedAfter});
}

// Over the job's own connection, on the job's thread: the picture's lines come as they happen.
void TDownloadPool::ReceiveHere(TConnection& connection, TPicture& picture, long long changedAfter)
{
    connection.Picture = &picture;
    connection.IdleTicks = 0;
    connection.ProgressMark = picture.Over->Arrived();
    connection.Tries = ownTries_;
    const TFileTries tries{picture.Url,
                           picture.FileName,
                           &picture.Receiving,
                           changedAfter,
                           job_.Options.Retries,
                           [this] { return job_.StopRequested; },
                           [this](const std::string& line) { job_.AppendLog(line); },
                           [this](bool on) { resting_ = on; },
                           [this] { ++ownTries_; }};
    picture.Received = ReceiveTrying(*picture.Over, tries);
    picture.Ended = true;
    connection.Picture = nullptr;
}

// The watchdog rests while the pause runs: no transfer is there to abort.
void TDownloadPool::Pause()
{
    if (!job_.Options.Pause)
        return;
    const int seconds = job_.PauseSeconds();
    job_.SetStatusText(platform::Fill(_("Sleeping for %1 seconds . . ."), {std::to_string(seconds)}));
    job_.ProcessPendingMessages();
    job_.PauseFor(static_cast<unsigned>(seconds) * 1000u);
}

void TDownloadPool::ReportEnded()
{
    while (started_ > 0 && pictures_.front().Ended) {
        TPicture& picture = pictures_.front();
        const bool own = OwnConnection();
        const bool fetched = picture.Admission == TFileAdmission::Fetch || picture.Admission == TFileAdmission::Recheck;
        if (!picture.LogLine.empty())
            job_.AppendLog(picture.LogLine);
        if (picture.LineOnly) {
            pictures_.pop_front();
            --started_;
            continue;
        }
        for (const std::string& line : picture.Received.RetryLines)
            job_.AppendLog(line);
        if (job_.Options.Album)
            job_.Run.AlbumListed[picture.LocalFolder].push_back(picture.FileName);
        try {
            if (picture.Admission == TFileAdmission::Present)
                ReportPresent(job_, picture.LocalFolder, picture.FileName);
            else if (!fetched)
                ReportRefused(job_, picture.Admission, picture.FileName);
            else
                StoreReceived(job_, *picture.Over, picture.Receiving, picture.LocalFolder, picture.FileName,
                              picture.Received);
        } catch (const EArchiveError&) {
            if (!archiveError_)
                archiveError_ = std::current_exception();
        }
        pictures_.pop_front();
        --started_;
        if (!own)
            continue;
        if (fetched)
            Pause();
        job_.Downloading = false;
        job_.NMHTTP1->ReportLevel = 1;
    }
}
void TDownloadPool::CollectEnded()
{
    if (!transfers_)
        return;
    for (TTransferResult& ended : transfers_->TakeEnded()) {
        const auto picture = std::find_if(pictures_.begin(), pictures_.begin() + static_cast<std::ptrdiff_t>(started_),
                                          [&ended](const TPicture& p) { return p.Serial == ended.Serial; });
        picture->Received = std::move(ended.Result);
        picture->Ended = true;
        --inFlight_;
    }
}

void TDownloadPool::Cancel()
{
    CollectEnded();
    EndStarting();
}

void TDownloadPool::EndStarting()
{
    if (job_.StopRequested && !retriesEnded_) {
        retriesEnded_ = true;
        for (TConnection& connection : connections_)
            if (connection.Worker)
                connection.Worker->EndRetries();
    }
    if (!transfers_)
        return;
    const std::vector<unsigned> serials = transfers_->TakeBackWaiting();
    if (serials.empty())
        return;
    inFlight_ -= serials.size();
    const auto first = std::find_if(pictures_.begin(), pictures_.begin() + static_cast<std::ptrdiff_t>(started_),
                                    [&serials](const TPicture& p) { return p.Serial == serials.front(); });
    // Queued in listing order and begun in that order, so every transfer queued after the first
    // taken back was taken back too.
    for (auto picture = first; picture != pictures_.begin() + static_cast<std::ptrdiff_t>(started_); ++picture)
        if (picture->Serial != 0)
            picture->Receiving.Abandon();
    started_ = static_cast<size_t>(first - pictures_.begin());
}

void TDownloadPool::TransferEnded()
{
    // The job's thread waits inside other work, not in a pump of its own; a parallel pump
    // neither waits nor pauses, so it cannot run inside itself. What it throws is the job's, not
    // the work's: it waits until the work is done.
    if (!meanwhile_)
        return;
    try {
        Pump();
    } catch (...) {
        if (!meanwhileError_)
            meanwhileError_ = std::current_exception();
    }
}

void TDownloadPool::Meanwhile(const std::function<void()>& work)
{
    const bool outer = std::exchange(meanwhile_, true);
    {
        const net::Finally done{[this, outer] { meanwhile_ = outer; }};
        work();
    }
    if (!outer && meanwhileError_)
        std::rethrow_exception(std::exchange(meanwhileError_, nullptr));
}

// "3 downloads, 1.2 MB of 4.0 MB": the running transfers and their bytes, counting the received
// bytes of a transfer whose length the server did not announce as its length.
void TDownloadPool::ShowStatus()
{
    if (OwnConnection())
        return;  // the job's own connection names its file instead
    size_t running = 0;
    long long received = 0;
    long long total = 0;
    for (const TConnection& connection : connections_) {
        if (!Busy(connection))
            continue;
        ++running;
        received += connection.Worker->Received;
        total += std::max<long long>(connection.Worker->Total, connection.Worker->Received);
    }
    shownRunning_ = running;
    if (running == 0)
        return;
    job_.SetProgressText(platform::Fill(
        platform::TranslatePlural("%1 download, %2 of %3", "%1 downloads, %2 of %3", running),
        {std::to_string(running), Megabytes(received), Megabytes(total)}));
}

void DownloadFile(TJobState& job, TFileTransfer& transfer, const std::string& localFolder, const std::string& url,
                  const std::string& fileName)
{
    job.OwnDownloads().Add({}, localFolder, url, fileName, &transfer);
}
