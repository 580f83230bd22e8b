#include "mirror/PageFetch.h"

#include "mirror/FileTransfer.h"
#include "mirror/JobForm.h"
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
    explicit TWatchedPageRequest(TJobForm& form) : form_(form)
    {
        form_.NMHTTP1->MaxBodySize = static_cast<long long>(MaxPageBytes);
        form_.IdleTicks = 0;
        form_.FetchingPage = true;
    }
    ~TWatchedPageRequest()
    {
        form_.NMHTTP1->MaxBodySize = 0;
        form_.FetchingPage = false;
    }
    TWatchedPageRequest(const TWatchedPageRequest&) = delete;
    TWatchedPageRequest& operator=(const TWatchedPageRequest&) = delete;

private:
    TJobForm& form_;
};

// One request; false when the transfer failed in a way another try may mend. A stall, a drop,
// a cap or an unusable reply costs one try, while a failure to connect or the user's abort
// still ends the fetch.
bool TryFetch(TJobForm& form, const std::string& url, const std::string& fileName)
{
    TNMHTTP& http = *form.NMHTTP1;
    http.Body = fileName;
    try {
        const TWatchedPageRequest watched(form);
        http.Get(url);
    } catch (const ESockError&) {
        if (!IsFailedTry(http.StopReason))
            throw;
        form.AppendLog(platform::Fill(_("** Page transfer failed: %1"), {StopReasonText(http.StopReason)}));
        form.Run.LastPageFailure = StopReasonText(http.StopReason);
        return false;
    }
    return true;
}

}  // namespace

bool FetchPageOfWalk(TJobForm& form, const std::string& url, const std::string& fileName)
{
    if (FetchPage(form, url, fileName))
        return true;
    ++form.Run.Tally.PagesFailed;
    return false;
}

bool FetchPage(TJobForm& form, const std::string& url, const std::string& fileName)
{
    for (int tries = 0; tries < FetchTries; ++tries) {
        if (TryFetch(form, url, fileName)) {
            const std::string text = ReadPageText(fileName);
            if (Contains(text, "this.location.replace") || Contains(text, "<HTML>"))
                return true;
            form.Run.LastPageFailure = platform::Fill(_("%1, no gallery page"), {ReplyStatusLine(*form.NMHTTP1)});
        }
        form.AppendLog(_("**Got a server error, trying to download again"));
    }
    form.AppendLog(_("**Tried 5 times and got errors every time, skipping this folder"));
    platform::DeleteFile(fileName);
    return false;
}
