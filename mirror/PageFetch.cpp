#include "mirror/PageFetch.h"

#include "mirror/FileTransfer.h"
#include "mirror/JobState.h"
#include "mirror/strutil.h"
#include "net/NMHttp.h"
#include "platform/catalogue.h"
#include "platform/files.h"

namespace {

constexpr int FetchTries = 5;

// Why a page request failed, for the log; the transport and client record it where it happens.
const char* StopReasonText(TStopReason reason)
{
    switch (reason) {
    case TStopReason::Watchdog: return _("no progress");
    case TStopReason::ServerDrop: return _("connection dropped by the server");
    case TStopReason::Cap: return _("page larger than the limit");
    case TStopReason::BadReply: return _("reply cannot be used");
    default: return "";
    }
}

bool IsFailedTry(TStopReason reason)
{
    return *StopReasonText(reason) != '\0';
}

// A page is capped and watched while it arrives, and neither outlives the request, however
// the request ends.
class TWatchedPageRequest {
public:
    explicit TWatchedPageRequest(TJobState& job) : job_(job)
    {
        job_.NMHTTP1->MaxBodySize = static_cast<long long>(MaxPageBytes);
        job_.IdleTicks = 0;
        job_.FetchingPage = true;
    }
    ~TWatchedPageRequest()
    {
        job_.NMHTTP1->MaxBodySize = 0;
        job_.FetchingPage = false;
    }
    TWatchedPageRequest(const TWatchedPageRequest&) = delete;
    TWatchedPageRequest& operator=(const TWatchedPageRequest&) = delete;

private:
    TJobState& job_;
};

// One request; false when the transfer failed in a way another try may mend. A stall, a drop,
// a cap or an unusable reply costs one try, while a failure to connect or the user's abort
// still ends the fetch.
bool TryFetch(TJobState& job, const std::string& url, const std::string& fileName)
{
    TNMHTTP& http = *job.NMHTTP1;
    http.Body = fileName;
    try {
        const TWatchedPageRequest watched(job);
        http.Get(url);
    } catch (const ESockError&) {
        if (!IsFailedTry(http.StopReason))
            throw;
        job.AppendLog(platform::Fill(_("** Page transfer failed: %1"), {StopReasonText(http.StopReason)}));
        job.Run.LastPageFailure = StopReasonText(http.StopReason);
        return false;
    }
    return true;
}

}  // namespace

bool FetchPage(TJobState& job, const std::string& url, const std::string& fileName)
{
    for (int tries = 0; tries < FetchTries; ++tries) {
        if (TryFetch(job, url, fileName)) {
            const std::string text = ReadPageText(fileName);
            if (Contains(text, "this.location.replace") || Contains(text, "<HTML>"))
                return true;
            job.Run.LastPageFailure = platform::Fill(_("%1, no gallery page"), {ReplyStatusLine(*job.NMHTTP1)});
        }
        job.AppendLog(_("**Got a server error, trying to download again"));
    }
    job.AppendLog(_("**Tried 5 times and got errors every time, skipping this folder"));
    platform::DeleteFile(fileName);
    return false;
}

bool FetchPageOfWalk(TJobState& job, const std::string& url, const std::string& fileName)
{
    bool obtained = false;
    job.WhileDownloading([&] { obtained = FetchPage(job, url, fileName); });
    if (!obtained)
        ++job.Run.Tally.PagesFailed;
    return obtained;
}
