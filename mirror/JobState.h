// The state both jobs share and the job control around them: start and end of a job, the
// cancel action, the one-second tick of the clock and the activity watchdog, and the local
// folders and files a job writes. The jobs themselves live beside it (mirror/GalleryJob.h,
// sets/SetJob.h); the host that shows them derives from this class and answers TJobHost.
#pragma once

#include "mirror/JobHost.h"
#include "mirror/JobOptions.h"
#include "mirror/JobRun.h"
#include "platform/files.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TJobArchive;
class TComponent;
class TDownloadPool;
class TNMHTTP;

class TJobState : public TJobHost {
public:
    // The gallery hosts: every gallery URL begins "http://www." + tag + ".com".
    static constexpr const char* SiteTagA = "fotoarchive";
    static constexpr const char* SiteTagB = "pixhaven";
    // Idle seconds of a download before the watchdog aborts it.
    static constexpr std::int32_t WatchdogLimit = 30;

    TJobState();
    ~TJobState() override;
    TJobState(const TJobState&) = delete;
    TJobState& operator=(const TJobState&) = delete;

    std::string LastFolderPath;
    std::int32_t IdleTicks = 0;
    bool Downloading = false;
    bool MultimediaLockout = false;
    std::string SiteTag;
    bool StopRequested = false;
    TJobRun Run;
    // The page fetch's watchdog counts while this is set (the files' is the scheduler's).
    bool FetchingPage = false;

    // Pages and pictures come over this client; the set job falls back on it.
    std::unique_ptr<TNMHTTP> NMHTTP1;
    // What the job runs with; the host fills it before the job starts.
    TJobOptions Options;
    // The download archive of Options.ArchivePath, opened by each job that starts.
    std::unique_ptr<TJobArchive> Archive;
    // Whether the file is recorded in the download archive; false without one.
    bool IsArchived(const std::string& localFolder, const std::string& fileName);
    // Records a file fetched or found present in the download archive, when there is one.
    void ArchiveFile(const std::string& localFolder, const std::string& fileName);

    // A client set as the window's stored design sets the job's own one.
    static std::unique_ptr<TNMHTTP> NewHttpClient();
    // True (and `mark` moved on) when `arrived` bytes are enough past `mark` to count as progress.
    static bool IsProgress(long long arrived, long long& mark);

    // The cancel action: the running job stops between two files or lines. Until it has, the
    // status line says what it waits for and no control is offered.
    void Cancel();
    // What a cancelled job waits for before it ends: the files on their way, or the page.
    std::string StoppingText() const;
    TJobPhase JobPhase() const { return phase_; }
    // Once a second: the clock, the page fetch's watchdog, and the scheduler's tick.
    void Tick();
    // `time` as the clock shows it: in the locale's long time format.
    static std::string TimeText(const std::tm& time);
    // Every status report of the HTTP client; one that comes with enough new bytes is a sign
    // of life for the watchdog.
    void HttpStatusReported();
    // The scheduler of a listing's pictures: over Options.Connections connections, or over the job's
    // own one when the pause is on or there is one connection. Made at the first use.
    TDownloadPool& Downloads();
    // The scheduler of files that come over the job's own connection, one after the other.
    TDownloadPool& OwnDownloads();
    // Waits until the files started so far are reported; false when a cancel dropped pictures
    // that had not started.
    bool FinishDownloads();
    // A line of the job's log, in the order one connection gives: while pictures are on their
    // way over connections of their own, a line of the walk waits behind them.
    void AppendLog(const std::string& line);
    // The walk goes on while its pictures download over connections of their own: the outermost
    // walk waits for them at its end, and says so when a cancel left some of them unstarted.
    void FinishWalk();
    // Runs `work` (a page fetch of the walk) while the pictures on their way go on and start.
    void WhileDownloading(const std::function<void()>& work);
    // Aborts the transfers running now: the job's own one and the parallel ones.
    void AbortDownloads();

    // Every job's first step: start controls disabled, cancel enabled, StopRequested and the
    // run's counts cleared, the job's clock started.
    void BeginJob();
    // Every job's last step: records why it ended, then leaves it.
    void FinishJob(TJobOutcome outcome);
    // The end of a job, also of one that an error ended: its connections go, StopRequested is
    // set as the cancel action sets it, and the start controls are offered again.
    void LeaveJob();
    // The summary line of the run in the status line.
    void ShowSummary();
    void EndJob(TJobOutcome outcome);

    // The pause after each download, in seconds, brought into its range.
    int PauseSeconds() const;
    // How far the picture being downloaded has come: "N of M bytes", or "N bytes" when the
    // server announced no length; empty outside a download.
    std::string DownloadProgress() const;

    // Makes the destination's folders for a sub-path given with "\" separators.
    void MakeLocalFolders(const std::string& subPath);
    // A fresh file in `folder` for a page or a file on its way. The first time a job uses a
    // folder, the leftovers of killed runs there are removed.
    platform::TempFile NewTempFile(const std::string& folder);
    // The partial file at `path` in `folder`, claimed for a transfer (see platform::TempFile::Claim).
    platform::TempFile ClaimPartialFile(const std::string& folder, const std::string& path);
    // NewTempFile for a page; when the folder cannot hold it, a log line names the folder and
    // says why, and the walk skips the folder.
    platform::TempFile NewPageFile(const std::string& folder);

private:
    // True (and a new mark set) when enough bytes arrived since the last mark to count as progress.
    bool MadeProgress();
    // `open` in `folder`, after the first use of the folder in this job removed the leftovers there.
    platform::TempFile OpenInFolder(const std::string& folder, const std::function<platform::TempFile()>& open);
    long long ProgressMark = 0;
    TJobPhase phase_ = TJobPhase::Idle;
    std::unique_ptr<TDownloadPool> pool_;     // several connections
    std::unique_ptr<TDownloadPool> ownPool_;  // the job's own connection
};
