#include "mirror/FileTransfer.h"

#include "mirror/JobState.h"
#include "net/NMFtp.h"
#include "net/NMHttp.h"
#include "net/finally.h"
#include "net/httpdate.h"
#include "platform/Exception.h"
#include "platform/catalogue.h"

namespace {

// An exception's text as the reason of a failure, which is never an empty text.
std::string ReasonOf(const Exception& error)
{
    const std::string text = error.what();
    return text.empty() ? _("transfer failed") : text;
}

// A connection that failed may work the next time, unless the user stopped it or what came
// over it cannot be used.
bool MayPass(const Exception& error, TStopReason reason)
{
    return dynamic_cast<const ESockError*>(&error) != nullptr && reason != TStopReason::User &&
           reason != TStopReason::Cap && reason != TStopReason::BadReply;
}

}  // namespace

std::string ReplyStatusLine(const TNMHTTP& http)
{
    const std::string line = http.Header.substr(0, http.Header.find_first_of("\r\n"));
    return line.empty() ? "reply " + std::to_string(http.ReplyNumber) : line;
}

// A reply of 400 or above, a reply that does not answer what was asked, or a body shorter than
// the reply announced, is a failure. A refused continuation asks for the file whole at once.
std::string THttpFileTransfer::Receive(const std::string& url, const std::string&, TReceivingFile& file,
                                       long long changedAfter)
{
    unchanged_ = false;
    stoppedBy_ = TStopReason::None;
    TReplyVerdict verdict = TReplyVerdict::Refuse;
    try {
        verdict = Request(url, file, changedAfter);
        if (verdict == TReplyVerdict::Restart) {
            file.Restart();
            verdict = Request(url, file, changedAfter);
        }
    } catch (const Exception& error) {
        stoppedBy_ = http_.StopReason;
        // A body the server cut short came over a connection that broke, as a refusal recorded it.
        mayPass_ = MayPass(error, http_.StopReason) || http_.CutShort;
        return ReasonOf(error);
    }
    mayPass_ = http_.ReplyNumber >= 500 || http_.ReplyNumber == 429 || http_.ReplyNumber < 400;
    if (http_.ReplyNumber >= 400)
        return ReplyStatusLine(http_);
    if (verdict == TReplyVerdict::Unchanged) {
        unchanged_ = true;
        return {};
    }
    if (verdict != TReplyVerdict::Store && verdict != TReplyVerdict::Append) {
        mayPass_ = false;
        return platform::Fill(_("unusable reply: %1"), {ReplyStatusLine(http_)});
    }
    // The bytes that came with the server's close count too: they are in the file.
    if (http_.CapturedCount() < http_.BytesTotal)
        return platform::Fill(_("received %1 of %2 bytes"),
                              {std::to_string(http_.CapturedCount()), std::to_string(http_.BytesTotal)});
    return {};
}

// net/ sends what it is given and reports each reply's head; the file judges whether the reply
// answers the request, and only then is its body stored.
TReplyVerdict THttpFileTransfer::Request(const std::string& url, TReceivingFile& file, long long changedAfter)
{
    const net::Finally forget{[this] { http_.OnReplyHead = nullptr; }};
    const long long asked = file.ContinueFrom();
    TReplyVerdict verdict = TReplyVerdict::Refuse;
    // The data goes into the file's own descriptor, placed by the file: no second open of it.
    http_.Body = file.Path();
    http_.BodyFile = file.Descriptor();
    http_.ReportLevel = 8;
    if (changedAfter >= 0)
        http_.IfModifiedSince = FormatHttpDate(changedAfter);
    if (asked > 0) {
        http_.RangeFrom = asked;
        http_.IfRange = file.IfRange();
    }
    http_.OnReplyHead = [&](TComponent*) {
        const TFileVersion version{http_.BytesTotal > 0 ? http_.BytesTotal : -1, http_.ETag, http_.LastModified};
        verdict = file.Judge(http_.ReplyNumber, asked, changedAfter >= 0, http_.RangeStart, http_.RangeWhole, version);
        http_.DiscardBody = verdict != TReplyVerdict::Store && verdict != TReplyVerdict::Append;
        if (!http_.DiscardBody)
            file.Receiving(version, verdict == TReplyVerdict::Append);
    };
    http_.Get(url);
    return verdict;
}

bool THttpFileTransfer::Unchanged() const
{
    return unchanged_;
}

long long THttpFileTransfer::ModifiedTime() const
{
    return ParseHttpDate(http_.LastModified);
}

long long THttpFileTransfer::RetryAfter() const
{
    return http_.ReplyNumber == 429 || http_.ReplyNumber == 503 ? http_.RetryAfter : -1;
}

long long THttpFileTransfer::ReceivedBytes() const
{
    return http_.CapturedCount();
}

long long THttpFileTransfer::Arrived() const
{
    return http_.BytesArrived;
}

void THttpFileTransfer::Stop(TStopReason reason)
{
    if (reason == TStopReason::User)
        http_.Abort();
    else
        http_.Stop(reason);
}

void THttpFileTransfer::Failed(TJobState& job, const std::string& fileName)
{
    job.AppendLog(_("** Multimedia files have been temporarily disabled."));
    job.AppendLog(platform::Fill(_("** Deleting file %1"), {fileName}));
    job.MultimediaLockout = true;
}

// The client itself holds a file to the length its server announces; the file checks it
// against the listing's size too.
std::string TFtpFileTransfer::Receive(const std::string&, const std::string& fileName, TReceivingFile& file,
                                      long long changedAfter)
{
    lastFailure_.clear();
    stoppedBy_ = TStopReason::None;
    unchanged_ = changedAfter >= 0 && ListedTime >= 0 && ListedTime <= changedAfter;
    if (unchanged_)
        return {};
    const net::Finally forget{[this] { ftp_.OnTransactionStart = nullptr; }};
    ftp_.OnTransactionStart = [this, &file](TComponent*) { file.Receiving(Listed(), ftp_.Appended); };
    try {
        ftp_.Download(fileName, file.Path(), file.ContinueFrom());
    } catch (const Exception& error) {
        lastFailure_ = error.what();
        // The client's own stop (its time-out, a reply it could not use) ended the data too.
        stoppedBy_ = ftp_.StopReason != TStopReason::None ? ftp_.StopReason : ftp_.DataStopReason;
        // The server's 4xx replies say that the same command may succeed later. An abort is
        // the user's unless the client timed out.
        const bool passingReply = dynamic_cast<const FTPException*>(&error) != nullptr && lastFailure_.starts_with("4");
        const bool abort = dynamic_cast<const EAbortError*>(&error) != nullptr;
        mayPass_ = passingReply || (abort ? ftp_.StopReason == TStopReason::TimeOut : MayPass(error, ftp_.StopReason));
        return ReasonOf(error);
    }
    return {};
}

TFileVersion TFtpFileTransfer::Listed() const
{
    return {ListedSize, "", ListedTime >= 0 ? std::to_string(ListedTime) : ""};
}

long long TFtpFileTransfer::ReceivedBytes() const
{
    return ftp_.BytesTotal;
}

void TFtpFileTransfer::Failed(TJobState& job, const std::string&)
{
    job.AppendLog(_("error ftping file"));
}
