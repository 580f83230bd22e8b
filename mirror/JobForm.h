// The non-visual half of the main window: the jobs' shared state, the two network clients and
// the job operations. What the jobs need from the screen they ask through the pure virtual
// functions below; the Qt window, the headless runner and the tests each answer them.
#pragma once

#include "platform/files.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

class TComponent;
class TNMHTTP;
class TNMFTP;

// Why the last job ended. A job that stops without doing its work says so here, for callers
// that report more than the log (the headless runner's exit status).
enum class TJobOutcome {
    Completed,          // the job ran to its end, cancelled or not
    FirstPageFailed,    // the first gallery page was not obtained
    SetNumberRejected,  // the set number failed its checks
    SetNotFound,        // the set's folder does not exist on the server
};

// What a job did with its files, for the summary at its end.
struct TJobTally {
    int Fetched = 0;
    int Present = 0;  // already on the disk: not fetched again
    int Failed = 0;
    std::vector<std::string> FirstFailures;  // the names of the first few failed files
    long long Bytes = 0;                     // of the files fetched

    // A failed file that is about to be tried again counts once, by the outcome of that try.
    void Retrying(const std::string& fileName);
};

class TJobForm {
public:
    // The gallery hosts: every gallery URL begins "http://www." + tag + ".com".
    static constexpr const char* SiteTagA = "fotoarchive";
    static constexpr const char* SiteTagB = "pixhaven";

    TJobForm();
    virtual ~TJobForm();
    TJobForm(const TJobForm&) = delete;
    TJobForm& operator=(const TJobForm&) = delete;

    // The window's private state.
    std::string LastFolderPath;
    std::int32_t IdleTicks = 0;
    bool Downloading = false;
    bool MultimediaLockout = false;
    std::string SiteTag;
    bool StopRequested = false;
    TJobOutcome JobOutcome = TJobOutcome::Completed;
    TJobTally Tally;
    // A page fetch is running: the watchdog counts, with the page's longer limit.
    bool FetchingPage = false;

    // A body that announces no length stops at this many bytes (the command line sets it).
    static constexpr long long DefaultUnsizedBodyLimit = 256LL * 1024 * 1024;

    std::unique_ptr<TNMHTTP> NMHTTP1;
    std::unique_ptr<TNMFTP> NMFTP1;

    // Where the set job's FTP server and web pages live (fixed values, overridable for tests
    // and the command line).
    std::string FtpHost = "ftp.setscans.org";
    int FtpPort = 21;
    std::string WebBase = "http://www.setscans.org";

    // Job operations and handlers.
    bool FetchPage(const std::string& url, const std::string& fileName);
    void WalkGalleryPage(const std::string& folder, const std::string& name);
    void WalkPictureListing(const std::string& path);
    void DownloadFile(const std::string& localFolder, const std::string& url, const std::string& fileName);
    void MakeLocalFolders(const std::string& subPath);
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void NMFTP1Connect(TComponent* Sender);
    void NMFTP1Status(TComponent* Sender, const std::string& Status);
    void NMHTTP1Status(TComponent* Sender, const std::string& Status);
    void Timer1Timer();

    // The pause length as the download step reads it: PauseMin to PauseMax, a non-number
    // counts as PauseMin.
    static constexpr int PauseMin = 1;
    static constexpr int PauseMax = 15;
    int PauseSeconds();

    // How far the picture being downloaded has come: "N of M bytes", or "N bytes" when the
    // server announced no length; empty outside a download.
    std::string DownloadProgress() const;

    // Every job's first step: start buttons disabled, cancel enabled, StopRequested, JobOutcome,
    // the tally and the folders made cleared, the job's clock started.
    void BeginJob();
    // Every job's last step: records why it ended, performs the cancel action, closes the set
    // job's connection and shows the job's summary line in the status line.
    void EndJob(TJobOutcome outcome);
    // One line on what the current or last job did: its counts, bytes and time, and `ending`,
    // why it ended.
    std::string SummaryLine(const std::string& ending) const;

protected:
    // What the jobs ask of the screen.
    virtual void AppendLog(const std::string& line) = 0;
    virtual void ClearLog() = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual std::string DestinationText() = 0;  // Edit1
    virtual std::string FolderIdText() = 0;     // Edit3
    virtual std::string MemberText() = 0;       // Edit5
    virtual std::string SetNumberText() = 0;    // Edit2
    virtual bool PauseChecked() = 0;            // CheckBox1
    virtual std::string PauseText() = 0;        // SpinEdit1
    // Button1 enabled while a job runs; Button2, Button3 and Button4 enabled otherwise.
    virtual void SetJobRunning(bool running) = 0;
    virtual void ShowClock(const std::string& timeText) = 0;  // Label10
    // Process pending window messages once (the platform's queue and the toolkit's events).
    virtual void ProcessPendingMessages();
    // The blocking pause after a download.
    virtual void PauseFor(unsigned milliseconds);

private:
    // The folder-ID and member jobs: `queryKey` "f" or "m", `entry` the ID or member name.
    void RunGalleryJob(const std::string& queryKey, const std::string& entry);
    // WalkGalleryPage for a page fetched into `page`; `id` is the page's folder ID or member.
    void WalkFetchedPage(platform::TempFile page, const std::string& id);
    // A fresh file in `folder` for a page or a file on its way. The first time a job uses a
    // folder, the leftovers of killed runs there are removed.
    platform::TempFile NewTempFile(const std::string& folder);
    // NewTempFile for a page; when the folder cannot hold it, a log line names the folder and
    // says why, and the walk skips the folder.
    platform::TempFile NewPageFile(const std::string& folder);
    // Why the job ended, as its summary says it.
    std::string EndingText() const;

    // Helpers of the walks and the download step (mirror/walk.cpp, mirror/download.cpp).
    friend class TGalleryWalk;
    friend class TListingWalk;
    friend class TDownloadStep;
    // One request of FetchPage; false when the transfer failed in a way another try may mend.
    bool TryFetch(const std::string& url, const std::string& fileName);
    // True (and a new mark set) when enough bytes arrived since the last mark to count as progress.
    bool MadeProgress();
    long long ProgressMark = 0;

    // Folder IDs and pages walked in the current job, so that links that loop are walked once.
    std::set<std::string> WalkedPages;
    // Walks now running; the outermost one starts a fresh record of walked pages.
    int WalkNesting = 0;
    // The set number Button2Click checked; the job body works from it, not from the field.
    std::string SetJobNumber;
    // Folders this job has already made and cleared of leftovers, so that the files after the
    // first one cost no look at the folders.
    std::set<std::string> ReadyFolders;
    std::chrono::steady_clock::time_point JobStarted = std::chrono::steady_clock::now();
    bool CancelledJob = false;  // the last job ended because cancel was pressed
};
