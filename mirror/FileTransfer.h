// The transfers the download step can store a file with: the HTTP client for pictures (and
// for set files once the FTP connection is gone), the FTP client for set files.
#pragma once

#include "mirror/ReceivingFile.h"
#include "net/Psock.h"

#include <functional>
#include <string>

class TJobState;
class TNMFTP;
class TNMHTTP;

// The status line of the client's last reply, without its line end.
std::string ReplyStatusLine(const TNMHTTP& http);

class TFileTransfer {
public:
    virtual ~TFileTransfer() = default;
    // Fetches the file `fileName`, found at `url`, into `file`, continuing its data when the
    // file says so, and only when it changed after `changedAfter` (seconds since the epoch)
    // when that is not -1. Why it failed, or an empty text.
    virtual std::string Receive(const std::string& url, const std::string& fileName, TReceivingFile& file,
                                long long changedAfter = -1) = 0;
    // What a listing said of the version of the file about to be fetched; unknown by default.
    virtual TFileVersion Listed() const { return {}; }
    // After a success: the file did not change after `changedAfter`, so nothing came.
    virtual bool Unchanged() const { return false; }
    // After a success: the server's modification time of the file, -1 when it gave none.
    virtual long long ModifiedTime() const { return -1; }
    // Bytes of the file last received.
    virtual long long ReceivedBytes() const = 0;
    // The last failure may pass: a connection refused, reset or dropped, a time-out, the
    // watchdog, a server error or "too many requests"; never the user's abort or a refusal.
    bool FailureMayPass() const { return mayPass_; }
    // Who stopped the last failed transfer before its end, as its client recorded it (the
    // user's abort, the watchdog, ...); None when nobody did.
    TStopReason StoppedBy() const { return stoppedBy_; }
    // The seconds the server asked to wait before the next try; -1: it did not say.
    virtual long long RetryAfter() const { return -1; }
    // Logs a failed file, with what follows from it for the rest of the job.
    virtual void Failed(TJobState& job, const std::string& fileName) = 0;
    // The bytes that arrived over the transfer's connection so far, which the watchdog follows;
    // -1: a transfer the watchdog does not watch (it has time limits of its own).
    virtual long long Arrived() const { return -1; }
    // Stops the running transfer: the user's abort or the watchdog's stop.
    virtual void Stop(TStopReason) {}

protected:
    bool mayPass_ = false;
    TStopReason stoppedBy_ = TStopReason::None;
};

class THttpFileTransfer : public TFileTransfer {
public:
    explicit THttpFileTransfer(TNMHTTP& http) : http_(http) {}
    std::string Receive(const std::string& url, const std::string& fileName, TReceivingFile& file,
                        long long changedAfter = -1) override;
    long long ReceivedBytes() const override;
    long long RetryAfter() const override;
    bool Unchanged() const override;
    long long ModifiedTime() const override;
    // A failed picture locks the multimedia files out for the rest of the job.
    void Failed(TJobState& job, const std::string& fileName) override;
    long long Arrived() const override;
    void Stop(TStopReason reason) override;

private:
    // One request for the file; the verdict on its final reply.
    TReplyVerdict Request(const std::string& url, TReceivingFile& file, long long changedAfter);

    TNMHTTP& http_;
    bool unchanged_ = false;
};

class TFtpFileTransfer : public TFileTransfer {
public:
    explicit TFtpFileTransfer(TNMFTP& ftp) : ftp_(ftp) {}
    std::string Receive(const std::string& url, const std::string& fileName, TReceivingFile& file,
                        long long changedAfter = -1) override;
    long long ReceivedBytes() const override;
    void Failed(TJobState& job, const std::string& fileName) override;
    long long ModifiedTime() const override { return ListedTime; }
    bool Unchanged() const override { return unchanged_; }
    // The listing's size and date: the version a partial file continues.
    TFileVersion Listed() const override;
    // The time the listing gave the file about to be fetched; -1: none. A recheck compares it
    // with the file's: FTP has no conditional download.
    long long ListedTime = -1;
    // The size the listing gave it; -1: none.
    long long ListedSize = -1;
    // The message of the error that failed the last file, as the client raised it.
    const std::string& LastFailure() const { return lastFailure_; }

private:
    TNMFTP& ftp_;
    std::string lastFailure_;
    bool unchanged_ = false;
};
