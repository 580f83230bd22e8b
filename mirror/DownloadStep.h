// The file download step: stores one file under the destination, unless it is there already.
// Its pieces serve the parallel downloads too (mirror/DownloadPool.h), which decide a file
// when it starts and report it when its turn in the listing comes.
#pragma once

#include "mirror/FileTransfer.h"
#include "platform/files.h"

#include <string>

class TJobForm;
class TFileTransfer;

// Stores `fileName` from `url` in `localFolder` over `transfer`, then pauses if the pause is
// on. A failure is a log line and a count in the tally, never an exception.
void DownloadFile(TJobForm& form, TFileTransfer& transfer, const std::string& localFolder, const std::string& url,
                  const std::string& fileName);

// Movies and videos: a failed picture locks them out for the rest of the job.
bool IsMultimedia(const std::string& fileName);

// What the step does with a file, decided before anything is fetched.
enum class TFileAdmission { Fetch, Present, MultimediaLocked, UnsafeName };
TFileAdmission AdmitFile(const TJobForm& form, const std::string& localFolder, const std::string& fileName);
// The log lines of a file that is refused (neither fetched nor present).
void ReportRefused(TJobForm& form, TFileAdmission admission, const std::string& fileName);

// What a file is received into until it is complete: a fresh temporary file, or (with resume
// on) the file's partial file, whose data a failed transfer leaves for the next attempt.
struct TReceivingFile {
    platform::TempFile File;
    bool Partial = false;
    TResume Resume;
};
// Partial data below this is dropped with its failed transfer: fetching it again costs less
// than a file left behind.
constexpr long long MinKeptPartialBytes = 1024 * 1024;

// The file to receive `fileName` from `url` into, in `localFolder`, the folder made when it is
// missing; why it cannot be had, or an empty text.
std::string OpenReceivingFile(TJobForm& form, const std::string& localFolder, const std::string& url,
                              const std::string& fileName, TReceivingFile& receiving);
// How a file's transfer ended: why it failed (empty: it did not), and the bytes received.
struct TReceived {
    std::string Reason;
    long long Bytes = 0;
};
// The end of a file's transfer: unless it failed (or a continued file falls short of its
// length), the file takes its final name; then the tally counts it, or the failure is logged
// (as `transfer` logs its failures) and counted.
void StoreReceived(TJobForm& form, TFileTransfer& transfer, TReceivingFile& receiving, const std::string& localFolder,
                   const std::string& fileName, const TReceived& received);
