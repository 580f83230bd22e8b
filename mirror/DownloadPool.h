// The scheduler of a job's files: the one path from a listing line to a final name. It decides
// each file when it starts (refused, present, archived or fetched), runs its transfer with its
// tries, watches it, pauses after it, and reports it in listing order.
//
// One connection is the job's own transfer, run on the job's thread, file after file: what the
// pause makes of every job, and how set files come. Several connections are worker threads,
// each with an event loop and an HTTP client of its own, so the client's blocking waits stay as
// they are and touch only that worker's sockets. They take the transfers the job's thread
// admitted from one queue, in listing order. Everything a job decides, logs and counts stays on
// the job's thread, so the log, the multimedia lock-out and the tally come out as with one
// connection.
#pragma once

#include "mirror/DownloadStep.h"
#include "mirror/FileTransfer.h"
#include "platform/files.h"

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TJobState;
class TDownloadWorker;
class TTransferQueue;
template <typename TMessage>
class TMailbox;

// A worker's word to the job's thread: transfers have ended, and few are left in the queue.
struct TTransferEnded {};

class TDownloadPool {
public:
    TDownloadPool(TJobState& job, int connections);
    ~TDownloadPool();
    TDownloadPool(const TDownloadPool&) = delete;
    TDownloadPool& operator=(const TDownloadPool&) = delete;

    // The file `fileName` from `url`, to be stored in `localFolder`; `logLine` opens its lines
    // in the log (none when empty). Over one connection the file comes over `over` (the job's
    // HTTP client when none) before Add returns; over several, Add waits only while too many
    // pictures are on their way.
    void Add(const std::string& logLine, const std::string& localFolder, const std::string& url,
             const std::string& fileName, TFileTransfer* over = nullptr);
    // Waits until every picture added has been reported. After a cancel, the pictures not yet
    // started are dropped and the running ones end; false when pictures were dropped.
    bool Finish();
    // The job was cancelled: nothing more starts, and the transfers running now end.
    void Cancel();
    // Aborts the transfers running now; their pictures are reported as aborted.
    void Abort();
    // Once a second: the watchdog of every running transfer, and the status line.
    void Tick();
    // The names of the files on their way now, in listing order.
    std::vector<std::string> OnTheirWay() const;
    // Whether the pictures come over connections of their own, beside the job's.
    bool Parallel() const { return !OwnConnection(); }
    // Pictures are on their way over connections of their own, and the job's thread is not
    // reporting them: a line the walk gives now waits behind them (AddLine).
    bool Holds() const { return Parallel() && !pumping_ && !pictures_.empty(); }
    // A line of the log reported in its turn, after the pictures added before it.
    void AddLine(const std::string& line);
    // A folder the walk made now: if a cancel drops the pictures added before it, it is removed
    // again by RemoveDroppedFolders when empty (the walk's page files in it are gone by then).
    void AddMadeFolder(const std::string& path);
    void RemoveDroppedFolders();
    // Runs `work` on the job's thread while the pictures added so far download: meanwhile
    // further pictures start and ended ones are reported, as the transfers end.
    void Meanwhile(const std::function<void()>& work);

private:
    struct TPicture {
        bool LineOnly = false;  // no file: only LogLine, in its turn
        std::string MadeFolder; // of an entry without a file: the folder the walk made there
        std::string LogLine;
        std::string LocalFolder;
        std::string Url;
        std::string FileName;
        TFileTransfer* Over = nullptr;  // over the job's own connection: its transfer
        TFileAdmission Admission = TFileAdmission::Fetch;
        unsigned Serial = 0;  // of its transfer over a worker
        bool Ended = false;
        TReceivingFile Receiving;
        TReceived Received;
    };
    // A worker thread's connection, or (without a worker) the job's own.
    struct TConnection {
        std::unique_ptr<TDownloadWorker> Worker;
        TPicture* Picture = nullptr;  // over the job's own: the picture on its way, or none
        unsigned Serial = 0;          // over a worker: the transfer the watchdog counts for
        unsigned Tries = 0;           // the worker's tries seen by the watchdog
        int IdleTicks = 0;
        long long ProgressMark = 0;
    };

    void Pump();
    bool MayStart(const TPicture& picture);
    // Whether a transfer is on its way over the connection.
    bool Busy(const TConnection& connection) const;
    // After a cancel or the archive's failure: the transfers no worker has begun do not begin,
    // and their pictures, with everything after them, are no longer started; after a cancel, no
    // picture is tried again.
    void EndStarting();
    void Start(TPicture& picture);
    void ReceiveHere(TConnection& connection, TPicture& picture, long long changedAfter);
    void Pause();
    void ReportEnded();
    // Takes the ends of the workers' transfers, without reporting them.
    void CollectEnded();
    void TransferEnded();
    void ShowStatus();
    // When the archive failed: waits for the pictures on their way, then throws its error.
    void ThrowArchiveError();
    // Waits until every picture added has been reported.
    void Drain();
    // The one connection is the job's own: no worker threads.
    bool OwnConnection() const { return !connections_.front().Worker; }

    TJobState& job_;
    // Reports the failures of pictures the way the job's own client does.
    THttpFileTransfer reporter_;
    std::unique_ptr<TMailbox<TTransferEnded>> mailbox_;
    std::unique_ptr<TTransferQueue> transfers_;  // the workers', when there are workers
    std::vector<TConnection> connections_;
    // Not yet reported, in listing order; the first `started_` have started.
    std::deque<TPicture> pictures_;
    size_t started_ = 0;
    size_t inFlight_ = 0;  // transfers queued for the workers and not yet ended
    unsigned serial_ = 0;
    size_t shownRunning_ = 0;
    // The job's own connection: the tries of its transfer, and whether the watchdog rests (a
    // back-off or the pause).
    unsigned ownTries_ = 0;
    bool resting_ = false;
    bool dropped_ = false;  // a cancel dropped pictures since the last Finish
    std::vector<std::string> droppedFolders_;  // made for entries a cancel dropped
    std::exception_ptr archiveError_;  // the archive failed: nothing more starts
    bool retriesEnded_ = false;  // the workers heard of the cancel
    bool meanwhile_ = false;     // the job's thread runs other work: an ended transfer pumps
    bool pumping_ = false;       // the lines logged now are the pool's own
    std::exception_ptr meanwhileError_;  // what such a pump threw, for after the work
};

// Stores `fileName` from `url` in `localFolder` over `transfer`, over the job's own connection,
// then pauses if the pause is on. A failure is a log line and a count in the tally, never an
// exception.
void DownloadFile(TJobState& job, TFileTransfer& transfer, const std::string& localFolder, const std::string& url,
                  const std::string& fileName);
