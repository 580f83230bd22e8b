#include "mirror/FileTransfer.h"

#include "mirror/JobForm.h"
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

// A reply of 400 or above, or a body shorter than the reply announced, is a failure too.
std::string THttpFileTransfer::Receive(const std::string& url, const std::string&, const std::string& path,
                                       TResume* resume, long long changedAfter)
{
    const net::Finally forget{[this] { http_.OnReplyHead = nullptr; }};
    try {
        http_.Body = path;
        http_.ReportLevel = 8;
        if (changedAfter >= 0)
            http_.IfModifiedSince = FormatHttpDate(changedAfter);
        if (resume != nullptr)
            AskForTheRest(url, *resume);
        http_.Get(url);
    } catch (const Exception& error) {
        // A body the server cut short came over a connection that broke, as a refusal recorded it.
        mayPass_ = MayPass(error, http_.StopReason) || http_.CutShort;
        return ReasonOf(error);
    }
    mayPass_ = http_.ReplyNumber >= 500 || http_.ReplyNumber == 429 || http_.ReplyNumber < 400;
    if (http_.ReplyNumber >= 400)
        return ReplyStatusLine(http_);
    // The bytes that came with the server's close count too: they are in the file.
    if (http_.CapturedCount() < http_.BytesTotal)
        return platform::Fill(_("received %1 of %2 bytes"),
                              {std::to_string(http_.CapturedCount()), std::to_string(http_.BytesTotal)});
    return {};
}

// A reply that sends the file whole, with its length, or continues it, gives the note of the
// data; the server's date of the version makes sure a later attempt continues that version only.
void THttpFileTransfer::AskForTheRest(const std::string& url, TResume& resume)
{
    http_.RangeFrom = resume.From;
    http_.RangeTotal = resume.Note.Total;
    http_.RangeValidator = resume.Note.LastModified;
    http_.OnReplyHead = [this, &resume, url](TComponent*) {
        if (http_.ReplyNumber == 200 && http_.BytesTotal > 0)
            resume.Note = {url, http_.BytesTotal, http_.LastModified};
        else if (!http_.Appending)
            return;
        if (resume.Noted)
            resume.Noted();
    };
}

bool THttpFileTransfer::Unchanged() const
{
    return http_.ReplyNumber == 304;
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

void THttpFileTransfer::Failed(TJobForm& form, const std::string& fileName)
{
    form.AppendLog(_("** Multimedia files have been temporarily disabled."));
    form.AppendLog(platform::Fill(_("** Deleting file %1"), {fileName}));
    form.MultimediaLockout = true;
}

// The client itself holds a file to the length its server announces; the note names the file.
std::string TFtpFileTransfer::Receive(const std::string& url, const std::string& fileName, const std::string& path,
                                      TResume* resume, long long changedAfter)
{
    lastFailure_.clear();
    unchanged_ = changedAfter >= 0 && ListedTime >= 0 && ListedTime <= changedAfter;
    if (unchanged_)
        return {};
    const net::Finally forget{[this] { ftp_.OnTransactionStart = nullptr; }};
    if (resume != nullptr)
        ftp_.OnTransactionStart = [this, &resume, url](TComponent*) {
            if (!ftp_.Appended)
                resume->Note = {url, -1, ""};
            if (resume->Noted)
                resume->Noted();
        };
    try {
        ftp_.Download(fileName, path, resume != nullptr ? resume->From : 0);
    } catch (const Exception& error) {
        lastFailure_ = error.what();
        // The server's 4xx replies say that the same command may succeed later. An abort is
        // the user's unless the client timed out.
        const bool passingReply = dynamic_cast<const FTPException*>(&error) != nullptr && lastFailure_.starts_with("4");
        const bool abort = dynamic_cast<const EAbortError*>(&error) != nullptr;
        mayPass_ = passingReply || (abort ? ftp_.StopReason == TStopReason::TimeOut : MayPass(error, ftp_.StopReason));
        return ReasonOf(error);
    }
    return {};
}

long long TFtpFileTransfer::ReceivedBytes() const
{
    return ftp_.BytesTotal;
}

void TFtpFileTransfer::Failed(TJobForm& form, const std::string&)
{
    form.AppendLog(_("error ftping file"));
}
