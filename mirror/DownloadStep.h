// The pieces of a file's download that the scheduler (mirror/DownloadPool.h) puts together: the
// admission decision, the tries of a transfer, and the end that stores or fails the file.
#pragma once

#include "mirror/FileTransfer.h"

#include <functional>
#include <string>
#include <vector>

class TJobState;
class TFileTransfer;

// Movies and videos: a failed picture locks them out for the rest of the job.
bool IsMultimedia(const std::string& fileName);

// What the step does with a file, decided before anything is fetched.
// Recheck: present, but asked for again in case it changed (update).
enum class TFileAdmission { Fetch, Present, MultimediaLocked, UnsafeName, Archived, Recheck };
TFileAdmission AdmitFile(TJobState& job, const std::string& localFolder, const std::string& fileName);
// The log lines and count of a file that is refused (neither fetched nor present).
void ReportRefused(TJobState& job, TFileAdmission admission, const std::string& fileName);
// A file found present: counted, and recorded in the download archive when there is one.
void ReportPresent(TJobState& job, const std::string& localFolder, const std::string& fileName);

// How a file's transfer ended: why it failed (empty: it did not), the bytes received, and the
// log lines of the tries before the last.
struct TReceived {
    std::string Reason;
    long long Bytes = 0;
    std::vector<std::string> RetryLines;
    bool Unchanged = false;       // a recheck found the file as it was: nothing came
    long long ModifiedTime = -1;  // the server's time of the file, for the stored one
    TStopReason StoppedBy = TStopReason::None;  // who stopped the last try before its end
};

// Back-off before a file is tried again: 1, 2, 4, ... s, at most this long; a server's
// Retry-After is followed up to MaxRetryAfterSeconds.
constexpr int MaxBackOffSeconds = 60;
constexpr int MaxRetryAfterSeconds = 300;

// One file's transfer and how often it is tried.
struct TFileTries {
    std::string Url;
    std::string FileName;
    TReceivingFile* File = nullptr;  // where it is received
    long long ChangedAfter = -1;     // fetched only when changed after this time; -1: always
    int Retries = 0;
    std::function<bool()> Stopped;   // cancel: no further try, and a back-off ends at once
    std::function<void(const std::string&)> Retrying;  // the log line of each retry
    std::function<void(bool)> BackingOff;              // on and off around each back-off
    std::function<void()> Trying;                      // each try starts: a fresh watchdog count
};
// Receives the file over `transfer`; a failure that may pass is tried again after its back-off
// (or the server's Retry-After), continuing its partial data. How the last try ended.
TReceived ReceiveTrying(TFileTransfer& transfer, const TFileTries& tries);

// The end of a file's transfer: unless it failed (or its length is not the version's), the file
// takes its final name and the server's time; then the tally counts it (as present when a
// recheck found it unchanged), or the failure is logged (as `transfer` logs its failures) and
// counted. A transfer the user aborted is counted as aborted, and logs nothing.
void StoreReceived(TJobState& job, TFileTransfer& transfer, TReceivingFile& receiving, const std::string& localFolder,
                   const std::string& fileName, const TReceived& received);
