// The state both jobs share and the job control around them: start and end of a job, the
// cancel action, the one-second tick of the clock and the activity watchdog, and the local
// folders and files a job writes. The jobs themselves live beside it (mirror/GalleryJob.h,
// sets/SetJob.h); the host that shows them derives from this class and answers TJobHost.
#pragma once

#include "mirror/JobHost.h"
#include "mirror/JobRun.h"
#include "platform/files.h"

#include <cstdint>
#include <memory>
#include <string>

class TComponent;
class TNMHTTP;

class TJobForm : public TJobHost {
public:
    // The gallery hosts: every gallery URL begins "http://www." + tag + ".com".
    static constexpr const char* SiteTagA = "fotoarchive";
    static constexpr const char* SiteTagB = "pixhaven";
    // A body that announces no length stops at this many bytes (the command line sets it).
    static constexpr long long DefaultUnsizedBodyLimit = 256LL * 1024 * 1024;
    // The pause length as the download step reads it: PauseMin to PauseMax, a non-number
    // counts as PauseMin.
    static constexpr int PauseMin = 1;
    static constexpr int PauseMax = 15;

    TJobForm();
    ~TJobForm() override;
    TJobForm(const TJobForm&) = delete;
    TJobForm& operator=(const TJobForm&) = delete;

    std::string LastFolderPath;
    std::int32_t IdleTicks = 0;
    bool Downloading = false;
    bool MultimediaLockout = false;
    std::string SiteTag;
    bool StopRequested = false;
    TJobRun Run;
    // The watchdog counts during a page fetch too, with the page's longer limit; it never
    // counts during the pause after a download.
    bool FetchingPage = false;
    bool Pausing = false;

    // Pages and pictures come over this client; the set job falls back on it.
    std::unique_ptr<TNMHTTP> NMHTTP1;

    // The cancel action: start controls offered again, and the running job stops between two
    // files or lines.
    void Cancel();
    // Once a second: the clock, and the watchdog that aborts a transfer without progress.
    void Tick();
    // Every status report of the HTTP client; one that comes with enough new bytes is a sign
    // of life for the watchdog.
    void HttpStatusReported();

    // Every job's first step: start controls disabled, cancel enabled, StopRequested and the
    // run's counts cleared, the job's clock started.
    void BeginJob();
    // Every job's last step: records why it ended and performs the cancel action.
    void FinishJob(TJobOutcome outcome);
    // The summary line of the run in the status line.
    void ShowSummary();
    void EndJob(TJobOutcome outcome);

    int PauseSeconds();
    // How far the picture being downloaded has come: "N of M bytes", or "N bytes" when the
    // server announced no length; empty outside a download.
    std::string DownloadProgress() const;

    // Makes the destination's folders for a sub-path given with "\" separators.
    void MakeLocalFolders(const std::string& subPath);
    // A fresh file in `folder` for a page or a file on its way. The first time a job uses a
    // folder, the leftovers of killed runs there are removed.
    platform::TempFile NewTempFile(const std::string& folder);
    // NewTempFile for a page; when the folder cannot hold it, a log line names the folder and
    // says why, and the walk skips the folder.
    platform::TempFile NewPageFile(const std::string& folder);

private:
    // True (and a new mark set) when enough bytes arrived since the last mark to count as progress.
    bool MadeProgress();
    long long ProgressMark = 0;
};
