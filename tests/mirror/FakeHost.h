// Test support for the jobs: a screenless host that records every log line, status text and
// pause in the order they happen and never sleeps; a loopback gallery stub that answers
// proxy-style requests from a table of URLs; a scratch folder that goes with the test.
#pragma once

#include "fixtures/ScriptedServer.h"
#include "mirror/DownloadPool.h"
#include "mirror/DownloadStep.h"
#include "mirror/FileTransfer.h"
#include "mirror/GalleryJob.h"
#include "mirror/GalleryWalk.h"
#include "mirror/JobState.h"
#include "mirror/ListingWalk.h"
#include "mirror/PageFetch.h"
#include "net/NMHttp.h"
#include "support/TempFolder.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

class FakeHost : public TJobState {
public:
    FakeHost()
    {
        SiteTag = SiteTagA;
        Options.PauseSeconds = 1;
    }

    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // Entry fields and settings the jobs read, by the names the tests use.
    std::string& Destination = Options.Destination;
    std::string& FolderId = Options.FolderId;
    std::string& Member = Options.Member;
    std::string& SetNumber = Options.SetNumber;
    bool& Pause = Options.Pause;

    // What the jobs showed.
    std::vector<std::string> Log;
    std::vector<std::string> Statuses;
    std::vector<unsigned> Pauses;       // milliseconds asked for
    std::vector<std::string> Events;    // "log ...", "status ...", "pause N", in order
    std::vector<std::string> Clock;
    bool Running = false;
    int MessageRounds = 0;              // calls of ProcessPendingMessages

    // The transfer of pictures, for tests that run the download step alone.
    THttpFileTransfer Http{*NMHTTP1};

    // Runs each time a job processes pending messages (once per walked line, before a pause).
    std::function<void()> OnMessages;
    // Runs inside every pause after a download.
    std::function<void()> DuringPause;

    // Sends every HTTP request through the loopback server on `port`, whatever its URL's host.
    void UseProxy(std::uint16_t port)
    {
        NMHTTP1->Proxy = "127.0.0.1";
        NMHTTP1->ProxyPort = port;
    }

protected:
    void ShowLogLine(const std::string& line) override
    {
        Log.push_back(line);
        Events.push_back("log " + line);
    }
    void ClearLog() override { Log.clear(); }
    void SetStatusText(const std::string& text) override
    {
        Statuses.push_back(text);
        Events.push_back("status " + text);
    }
    void SetJobPhase(TJobPhase phase) override { Running = phase != TJobPhase::Idle; }
    void ShowClock(const std::string& timeText) override { Clock.push_back(timeText); }
    void ProcessPendingMessages() override
    {
        TJobHost::ProcessPendingMessages();
        ++MessageRounds;
        if (OnMessages)
            OnMessages();
    }
    void PauseFor(unsigned milliseconds) override
    {
        if (DuringPause)
            DuringPause();
        Pauses.push_back(milliseconds);
        Events.push_back("pause " + std::to_string(milliseconds));
    }
};

// Answers each request by its URL from a table (a proxy request names the whole URL); a URL it
// does not know gets a 404 error page. It records the URLs asked for, in order.
class GalleryStub {
public:
    explicit GalleryStub(fixtures::ServerOptions options = {})
        : server_([this](const std::string& head, int) { return Answer(head); }, options)
    {
    }

    void Page(const std::string& url, const std::string& html)
    {
        Set(url, fixtures::Reply::Status(200, "OK", html, {{"Content-Type", "text/html"}}));
    }
    void Set(const std::string& url, fixtures::Reply reply)
    {
        std::lock_guard lock(mutex_);
        replies_[url] = std::move(reply);
    }
    // Runs on the server thread before a request is answered.
    void OnRequest(std::function<void(const std::string& url)> hook)
    {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }
    std::vector<std::string> Urls() const
    {
        std::lock_guard lock(mutex_);
        return urls_;
    }
    long Count(const std::string& url) const
    {
        const auto urls = Urls();
        return std::count(urls.begin(), urls.end(), url);
    }
    std::uint16_t Port() const { return server_.Port(); }
    // The head of the latest request.
    std::string LastRequest() const { return server_.Sequence().back().second; }
    std::vector<std::string> Heads() const
    {
        std::vector<std::string> heads;
        for (const auto& [connection, head] : server_.Sequence())
            heads.push_back(head);
        return heads;
    }
    // Requests read, counted before their URL is recorded.
    int RequestCount() const { return server_.RequestCount(); }
    int Connections() const { return server_.Connections(); }
    bool WaitForRequests(int n, fixtures::Ms timeout) const { return server_.WaitForRequests(n, timeout); }

    // The URL of a request head's request line.
    static std::string UrlOf(const std::string& head)
    {
        const size_t start = head.find(' ') + 1;
        return head.substr(start, head.find(" HTTP/", start) - start);
    }

private:
    fixtures::Reply Answer(const std::string& head)
    {
        const std::string url = UrlOf(head);
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(mutex_);
            urls_.push_back(url);
            hook = hook_;
        }
        if (hook)
            hook(url);
        std::lock_guard lock(mutex_);
        const auto found = replies_.find(url);
        if (found != replies_.end())
            return found->second;
        return fixtures::Reply::Status(404, "Not Found", "<html><body>not found</body></html>\n");
    }

    mutable std::mutex mutex_;
    std::map<std::string, fixtures::Reply> replies_;
    std::vector<std::string> urls_;
    std::function<void(const std::string&)> hook_;
    fixtures::ScriptedHttpServer server_;  // last: its thread stops before the table goes
};

// A job's summary line: "Job " + `start` ... " in " + seconds with one decimal + " s".
inline bool IsSummary(const std::string& line, const std::string& start)
{
    static const std::regex time(".* in [0-9]+\\.[0-9] s");
    return line.rfind("Job " + start, 0) == 0 && std::regex_match(line, time);
}

// The scratch folder of the job tests.
using support::TempFolder;
