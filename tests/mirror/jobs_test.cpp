// Job control without a window: the page fetch and its retries, the folder-ID and member jobs
// with their button states, the cancel action and the activity watchdog. The HTTP client goes
// through a scripted loopback server set as its proxy, so every request names its whole URL.
#include "FakeHost.h"

#include "net/NMFtp.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "support/files.h"
#include "support/loopback.h"
#include "support/params.h"
#include "support/waits.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;
using fixtures::Ms;
using fixtures::Reply;
using fixtures::Step;
using Lines = std::vector<std::string>;
using support::FileBytes;
using support::PrintTo;

const std::string RetryLine = "**Got a server error, trying to download again";
const std::string GiveUpLine = "**Tried 5 times and got errors every time, skipping this folder";

using Phases = std::vector<TJobPhase>;
constexpr TJobPhase Running = TJobPhase::Running;
constexpr TJobPhase Stopping = TJobPhase::Stopping;
constexpr TJobPhase Idle = TJobPhase::Idle;

// The fake host, recording every phase the job tells it as well.
class JobHost : public FakeHost {
public:
    Phases PhasesShown;
    using FakeHost::ProcessPendingMessages;

protected:
    void SetJobPhase(TJobPhase phase) override
    {
        FakeHost::SetJobPhase(phase);
        PhasesShown.push_back(phase);
    }
};

std::string RequestLine(const std::string& head)
{
    return head.substr(0, head.find("\r\n"));
}

Reply Page(int code, const std::string& body)
{
    return Reply::Status(code, code == 200 ? "OK" : "Error", body);
}

// A reply that sends its head and the start of a body, then holds the connection (bounded,
// so a test whose abort never comes fails instead of hanging).
Reply PartialThenStall(const std::string& bodyStart)
{
    return Reply::Steps({Step::Send(fixtures::HttpHead(200, "OK") + bodyStart), Step::Stall(Ms{20000})});
}

// Aborts the client's request once `bytes` bytes of the body have come in and its Body file
// exists, so that a transfer fails after the page file was created.
support::OneShot AbortOnceBodyHolds(TNMHTTP& http, std::size_t bytes)
{
    const auto ready = [&http, bytes] {
        return http.BytesRecvd >= static_cast<long long>(bytes) && fs::exists(http.Body);
    };
    return support::OneShot(ready, [&http] { http.Abort(); }, 2);
}

class JobsTest : public ::testing::Test {
protected:
    TempFolder temp;
    JobHost host;
};

// ---- The page fetch ------------------------------------------------------------------------

struct FetchCase {
    const char* name;
    int code;
    std::string body;
    bool accepted;
};

class FetchPageTest : public JobsTest, public ::testing::WithParamInterface<FetchCase> {};

// A page is judged by the text before its first CR or Ctrl-Z only, whatever the status code.
TEST_P(FetchPageTest, JudgesThePageTextAndRetriesFiveTimes)
{
    const FetchCase& c = GetParam();
    // One reply more than the limit, of another kind, shows any request too many.
    std::vector<Reply> replies(5, Page(c.code, c.body));
    replies.push_back(Page(200, "<HTML>one request too many\n"));
    fixtures::ScriptedHttpServer server(replies);
    host.UseProxy(server.Port());
    const std::string url = "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154";
    const std::string file = temp.Text() + "77154.html";

    const bool accepted = FetchPage(host, url, file);

    EXPECT_EQ(accepted, c.accepted);
    const int expectedRequests = c.accepted ? 1 : 5;
    ASSERT_EQ(server.RequestCount(), expectedRequests);
    for (int i = 0; i < expectedRequests; ++i)
        EXPECT_EQ(RequestLine(server.Request(i)), "GET " + url + " HTTP/1.0");
    if (c.accepted) {
        EXPECT_TRUE(host.Log.empty());
        EXPECT_EQ(FileBytes(file), c.body);
    } else {
        Lines expected(5, RetryLine);
        expected.push_back(GiveUpLine);
        EXPECT_EQ(host.Log, expected);
        EXPECT_FALSE(fs::exists(file));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pages, FetchPageTest,
    ::testing::Values(
        FetchCase{"HtmlFirstLineOfAServerError", 500, "<HTML>\r\n<BODY>Internal error</BODY>\r\n</HTML>\r\n", true},
        FetchCase{"ScriptRedirectOfANotFound", 404,
                  "<script>this.location.replace('/gallery/tessa/')</script>\r\n<HTML>\r\n", true},
        FetchCase{"BareLfPageWithHtmlFurtherDown", 200,
                  "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2//EN\">\n<HEAD></HEAD>\n<HTML>\n</HTML>\n", true},
        FetchCase{"CrLfDoctypeFirstLine", 200,
                  "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2//EN\">\r\n<HTML>\r\n</HTML>\r\n", false},
        FetchCase{"LowerCaseTag", 200, "<html>\n<body>gallery</body>\n</html>\n", false},
        FetchCase{"EmptyBody", 200, "", false},
        FetchCase{"MarkerAfterCtrlZ", 200, "junk\x1a<HTML>\n", false},
        FetchCase{"ErrorPageWithoutMarker", 503, "Service Unavailable\n", false}),
    support::CaseName);

TEST_F(JobsTest, FetchPageAcceptsAPageAfterTwoRejections)
{
    fixtures::ScriptedHttpServer server({Page(500, "oops\n"), Page(500, "oops\n"), Page(200, "<HTML>\ngood\n")});
    host.UseProxy(server.Port());
    const std::string file = temp.Text() + "p.html";

    EXPECT_TRUE(FetchPage(host, "http://www.pixhaven.com/cgi-bin/gallery.cgi?m=tessa", file));

    EXPECT_EQ(server.RequestCount(), 3);
    EXPECT_EQ(host.Log, Lines(2, RetryLine));
    EXPECT_EQ(FileBytes(file), "<HTML>\ngood\n");
}

// An error that is no socket error ends the fetch too, and leaves neither the page cap nor the
// watchdog's page count behind.
TEST_F(JobsTest, FetchPageEndedByEndlessRedirectsLeavesNoWatchState)
{
    const auto redirect = Reply::Status(302, "Found", "", {{"Location", "/cgi-bin/gallery.cgi?f=1"}});
    fixtures::ScriptedHttpServer server(std::vector<Reply>(25, redirect));
    host.UseProxy(server.Port());

    EXPECT_THROW(FetchPage(host, "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=1", temp.Text() + "1.html"),
                 Exception);

    EXPECT_FALSE(host.FetchingPage);
    EXPECT_EQ(host.NMHTTP1->MaxBodySize, 0);
}

// An exception from the client is not a rejected page: no retry, no log line, the file stays.
TEST_F(JobsTest, FetchPagePassesAnExceptionFromGetAndKeepsTheFile)
{
    fixtures::ScriptedHttpServer server({PartialThenStall("<HTML>partial"), Page(200, "<HTML>\n")});
    host.UseProxy(server.Port());
    const std::string file = temp.Text() + "77154.html";
    const auto abort = AbortOnceBodyHolds(*host.NMHTTP1, std::string_view("<HTML>partial").size());

    EXPECT_THROW(FetchPage(host, "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154", file), EAbortError);

    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_TRUE(host.Log.empty());
    EXPECT_EQ(FileBytes(file), "<HTML>partial");
}

// ---- The folder-ID and member jobs ---------------------------------------------------------

struct UrlCase {
    const char* name;
    bool hostB;
    bool memberJob;
    std::string url;
    std::string member = "tessa";
};

class GalleryJobUrlTest : public JobsTest, public ::testing::WithParamInterface<UrlCase> {};

// The page file lies inside the destination folder, typed with or without a trailing
// separator, under a name of its own that goes with the job, however the job ends.
TEST_P(GalleryJobUrlTest, BuildsTheUrlAndKeepsThePageFileInsideTheDestination)
{
    const UrlCase& c = GetParam();
    fixtures::ScriptedHttpServer server({PartialThenStall("<HTML>partial")});
    host.UseProxy(server.Port());
    host.SiteTag = c.hostB ? TJobState::SiteTagB : TJobState::SiteTagA;
    host.Destination = (temp.Path() / "Pics").string();
    host.Member = c.member;
    const auto abort = AbortOnceBodyHolds(*host.NMHTTP1, std::string_view("<HTML>partial").size());

    if (c.memberJob)
        EXPECT_THROW(StartMemberJob(host), EAbortError);
    else
        EXPECT_THROW(StartFolderJob(host), EAbortError);

    ASSERT_EQ(server.RequestCount(), 1);
    EXPECT_EQ(RequestLine(server.Request(0)), "GET " + c.url + " HTTP/1.0");
    const fs::path pageFile = host.NMHTTP1->Body;
    EXPECT_EQ(pageFile.parent_path(), temp.Path() / "Pics");
    EXPECT_TRUE(pageFile.filename().string().starts_with(platform::TempFilePrefix)) << pageFile;
    EXPECT_EQ(temp.Tree(), Lines{"Pics/"});  // the destination is created first; nothing beside it
    // The URL is logged only once the page is in; an escaped error leaves the job running.
    EXPECT_TRUE(host.Log.empty());
    EXPECT_EQ(host.PhasesShown, Phases{Running});
    EXPECT_FALSE(host.StopRequested);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, GalleryJobUrlTest,
    ::testing::Values(
        UrlCase{"FolderOnHostA", false, false, "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154"},
        UrlCase{"FolderOnHostB", true, false, "http://www.pixhaven.com/cgi-bin/gallery.cgi?f=77154"},
        UrlCase{"MemberOnHostA", false, true, "http://www.fotoarchive.com/cgi-bin/gallery.cgi?m=tessa"},
        UrlCase{"MemberOnHostB", true, true, "http://www.pixhaven.com/cgi-bin/gallery.cgi?m=tessa"},
        // A member name is one query value, whatever it holds; letters, digits and -._~ stay.
        UrlCase{"MemberWithBlankAndQuery", false, true,
                "http://www.fotoarchive.com/cgi-bin/gallery.cgi?m=a%20b%26f%3D77155%23x%25", "a b&f=77155#x%"},
        UrlCase{"MemberInUtf8", false, true, "http://www.fotoarchive.com/cgi-bin/gallery.cgi?m=%E3%81%9Fz-._~AZ09",
                "\xE3\x81\x9Fz-._~AZ09"}),
    support::CaseName);

const std::string EmptyFolderPage =
    "<HTML>\n"
    "<TR><TD><CODE><A HREF=\"/cgi-bin/gallery.cgi?a=members\">Up</A></CODE></TD></TD></TR>\n"
    "</HTML>\n";

TEST_F(JobsTest, JobThatEndsNormallyLeavesTheHostIdle)
{
    fixtures::ScriptedHttpServer server({Page(200, EmptyFolderPage)});
    host.UseProxy(server.Port());
    host.Destination = temp.Text() + "new/";  // does not exist yet
    // Leftovers of an earlier job that this one must reset.
    host.StopRequested = true;
    host.LastFolderPath = "\\gallery\\old";
    host.Run.Outcome = TJobOutcome::FirstPageFailed;
    host.Log = {"line of the earlier job"};

    StartFolderJob(host);

    const std::string url = "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154";
    EXPECT_EQ(host.Log, Lines{url});  // no cancel line: StopRequested was cleared at the start
    ASSERT_EQ(host.Statuses.size(), 4u);
    EXPECT_EQ(Lines(host.Statuses.begin(), host.Statuses.begin() + 3),
              (Lines{"getting list . . . ", "Finding directories . . .", ". . . done getting files"}));
    EXPECT_TRUE(IsSummary(host.Statuses.back(), "completed: 0 fetched, 0 already present, 0 failed, 0 bytes"))
        << host.Statuses.back();
    EXPECT_EQ(host.PhasesShown, (Phases{Running, Idle}));
    EXPECT_TRUE(host.StopRequested);
    EXPECT_EQ(host.Run.Outcome, TJobOutcome::Completed);
    EXPECT_EQ(host.LastFolderPath, "");
    EXPECT_EQ(temp.Tree(), Lines{"new/"});  // the page file is gone with the walk
}

// The summary counts what came of every picture and names the first few that failed.
TEST_F(JobsTest, SummarySaysWhatCameOfTheJobsFiles)
{
    GalleryStub stub;
    host.UseProxy(stub.Port());
    host.Destination = temp.Text();
    const std::string site = "http://www.fotoarchive.com";
    const std::string folder = "/gallery/tessa/f/";
    std::string listing = "<HTML>\n";
    for (const char* name : {"a.jpg", "b.jpg", "c1.jpg", "c2.jpg", "c3.jpg", "c4.jpg", "c5.jpg", "c6.jpg"})
        listing += "<IMG SRC=" + folder + "thumb/x_thumb.jpg ALT=\"" + name + "\">\n";
    stub.Page(site + "/cgi-bin/gallery.cgi?f=77154", "<HTML>\n<A HREF=\"/cgi-bin/gallery.cgi?a=members\">Up</A>\n"
                                                     "<A HREF=\"/cgi-bin/gallery.cgi?i=5\"><IMG SRC=" + folder +
                                                     "thumb/x_thumb.jpg></A>\n</HTML>\n");
    stub.Page(site + folder, listing + "</HTML>\n");
    stub.Set(site + folder + "a.jpg", Reply::Status(200, "OK", "12345"));
    fs::create_directories(temp.Path() / "gallery/tessa/f");
    support::WriteFile(temp.Path() / "gallery/tessa/f/b.jpg", "kept");

    StartFolderJob(host);

    EXPECT_TRUE(IsSummary(host.Statuses.back(), "completed: 1 fetched, 1 already present, 6 failed "
                                                "(c1.jpg, c2.jpg, c3.jpg, c4.jpg, c5.jpg, ...), 5 bytes"))
        << host.Statuses.back();
}

TEST_F(JobsTest, JobWhoseFirstPageFailsPerformsTheCancelAction)
{
    fixtures::ScriptedHttpServer server(std::vector<Reply>(5, Page(500, "<html>error</html>\n")));
    host.UseProxy(server.Port());
    host.Destination = temp.Text();
    host.Member = "someone";

    StartMemberJob(host);

    Lines expected(5, RetryLine);
    expected.push_back(GiveUpLine);
    EXPECT_EQ(host.Log, expected);
    EXPECT_EQ(server.RequestCount(), 5);
    ASSERT_EQ(host.Statuses.size(), 2u);
    EXPECT_EQ(host.Statuses[0], "getting list . . . ");
    EXPECT_TRUE(IsSummary(host.Statuses[1], "stopped, first page not obtained: 0 fetched, 0 already present, 0 failed, 0 bytes"))
        << host.Statuses[1];
    EXPECT_EQ(host.PhasesShown, (Phases{Running, Idle}));
    EXPECT_TRUE(host.StopRequested);
    EXPECT_EQ(host.Run.Outcome, TJobOutcome::FirstPageFailed);
    EXPECT_TRUE(temp.Tree().empty());
}

TEST_F(JobsTest, ErrorThatEscapesTheJobLeavesItRunning)
{
    host.UseProxy(support::FreeLoopbackPort());
    host.Destination = temp.Text();

    EXPECT_THROW(StartFolderJob(host), ESockError);

    EXPECT_EQ(host.PhasesShown, Phases{Running});
    EXPECT_FALSE(host.StopRequested);
    EXPECT_TRUE(host.Log.empty());
    host.LeaveJob();  // what the window does once the error is shown
    EXPECT_EQ(host.PhasesShown, (Phases{Running, Idle}));
    EXPECT_TRUE(host.StopRequested);
}

// The cancel action only sets a flag: the page being fetched still arrives, and the walk stops
// at its first check. Meanwhile the job is stopping, and says what for.
TEST_F(JobsTest, CancelDuringTheFirstFetchLetsItFinishAndStopsTheWalk)
{
    fixtures::ScriptedHttpServer server(
        {Reply::Steps({Step::Delay(Ms{200}), Step::Send(fixtures::HttpHead(200, "OK") + EmptyFolderPage)})});
    host.UseProxy(server.Port());
    host.Destination = temp.Text();
    const support::OneShot cancel([this] { return host.NMHTTP1->Connected && !host.StopRequested; },
                                  [this] { host.Cancel(); }, 2);

    StartFolderJob(host);

    EXPECT_EQ(host.Log, (Lines{"http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154",
                               "Cancel button pressed, download stopped."}));
    EXPECT_EQ(host.PhasesShown, (Phases{Running, Stopping, Idle}));
    EXPECT_EQ(host.Statuses.at(1), "Stopping: waiting for the page being fetched");
    EXPECT_TRUE(IsSummary(host.Statuses.back(), "cancelled: 0 fetched")) << host.Statuses.back();
    EXPECT_TRUE(host.StopRequested);
}

// Without a job the cancel action only sets the flag; a job it stops once.
TEST_F(JobsTest, CancelActionAndJobStartSwitchThePhaseAndTheFlag)
{
    host.Cancel();
    EXPECT_EQ(host.PhasesShown, Phases{});
    EXPECT_TRUE(host.StopRequested);

    host.Run.Outcome = TJobOutcome::SetNotFound;
    host.BeginJob();
    EXPECT_EQ(host.PhasesShown, Phases{Running});
    EXPECT_FALSE(host.StopRequested);
    EXPECT_EQ(host.Run.Outcome, TJobOutcome::Completed);

    host.Cancel();
    host.Cancel();
    EXPECT_EQ(host.PhasesShown, (Phases{Running, Stopping}));
    EXPECT_EQ(host.Statuses, Lines{"Stopping . . ."});

    host.EndJob(TJobOutcome::SetNumberRejected);
    EXPECT_EQ(host.PhasesShown, (Phases{Running, Stopping, Idle}));
    EXPECT_TRUE(host.StopRequested);
    EXPECT_EQ(host.Run.Outcome, TJobOutcome::SetNumberRejected);
}

// ---- The clock and the activity watchdog ---------------------------------------------------

TEST_F(JobsTest, WatchdogAbortsAtTheSixtyFirstIdleTickOfAPageFetch)
{
    host.FetchingPage = true;
    for (int tick = 1; tick <= 60; ++tick)
        host.Tick();
    EXPECT_EQ(host.IdleTicks, 60);
    EXPECT_FALSE(host.NMHTTP1->Cancelled());

    host.Tick();
    EXPECT_EQ(host.IdleTicks, 61);
    EXPECT_TRUE(host.NMHTTP1->Cancelled());
    EXPECT_EQ(host.Clock.size(), 61u);  // the clock is shown at every tick
    EXPECT_FALSE(host.Clock.back().empty());
}

TEST_F(JobsTest, StatusReportResetsTheIdleCount)
{
    host.FetchingPage = true;
    for (int tick = 1; tick <= 20; ++tick)
        host.Tick();
    host.HttpStatusReported();
    EXPECT_EQ(host.IdleTicks, 20) << "a report without 1 KiB of progress is no sign of life";
    host.NMHTTP1->BytesArrived += 1024;
    host.HttpStatusReported();
    EXPECT_EQ(host.IdleTicks, 0);
    for (int tick = 1; tick <= 60; ++tick)
        host.Tick();
    EXPECT_FALSE(host.NMHTTP1->Cancelled());
    host.Tick();
    EXPECT_TRUE(host.NMHTTP1->Cancelled());
}

TEST_F(JobsTest, TicksOutsideADownloadAreNotCounted)
{
    for (int tick = 1; tick <= 40; ++tick)
        host.Tick();
    EXPECT_EQ(host.IdleTicks, 0);
    EXPECT_FALSE(host.NMHTTP1->Cancelled());
    EXPECT_EQ(host.Clock.size(), 40u);
}

// A count left above the limit keeps aborting at every tick, downloading or not.
TEST_F(JobsTest, CountLeftAboveTheLimitAbortsAtEveryTick)
{
    host.IdleTicks = 31;
    for (int tick = 1; tick <= 2; ++tick) {
        host.NMHTTP1->StopReason = TStopReason::None;  // as a new request would begin
        host.Tick();
        EXPECT_TRUE(host.NMHTTP1->Cancelled()) << "tick " << tick;
    }
    EXPECT_EQ(host.IdleTicks, 31);
}

// The scheduler's watchdog stops a picture's request at its thirty-first idle tick.
TEST_F(JobsTest, WatchdogEndsAStalledPictureAtTheThirtyFirstIdleTick)
{
    fixtures::ScriptedHttpServer server({Reply::Steps({Step::Stall(Ms{20000})})});
    host.UseProxy(server.Port());
    int ticks = 0;
    int abortedAtTick = 0;
    TThreadTimer timer1;
    timer1.SetInterval(1);
    // Ticks count from the moment the request is out and the reply is awaited.
    timer1.SetOnTimer([&](TComponent*) {
        if (server.RequestCount() == 0 || abortedAtTick != 0)
            return;
        host.Tick();
        ++ticks;
        if (host.NMHTTP1->StopReason == TStopReason::Watchdog)
            abortedAtTick = ticks;
    });

    DownloadFile(host, host.Http, temp.Text() + "\\gallery\\tessa\\", "http://www.fotoarchive.com/gallery/tessa/big.jpg",
                 "big.jpg");

    EXPECT_EQ(abortedAtTick, 31);
    EXPECT_EQ(host.Run.Tally.Failed, 1);
}

// The client's reports reach the watchdog through the handler the constructor binds.
TEST_F(JobsTest, ReportsOfARealRequestResetTheIdleCount)
{
    fixtures::ScriptedHttpServer server({Page(200, "<HTML>\n")});
    host.UseProxy(server.Port());
    host.NMHTTP1->ReportLevel = 8;
    host.IdleTicks = 25;

    EXPECT_TRUE(FetchPage(host, "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=1", temp.Text() + "1.html"));
    EXPECT_EQ(host.IdleTicks, 0);
}

// ---- The window's settings and small services ----------------------------------------------

TEST_F(JobsTest, ClientsCarryTheWindowsStoredSettings)
{
    const TNMHTTP& http = *host.NMHTTP1;
    EXPECT_TRUE(http.InputFileMode);
    EXPECT_FALSE(http.OutputFileMode);
    EXPECT_EQ(http.ReportLevel, 0);
    EXPECT_EQ(http.Port, 0);
    EXPECT_EQ(http.ProxyPort, 0);
    EXPECT_EQ(http.Body, "Default.htm");
    EXPECT_EQ(http.Header, "Head.txt");
    EXPECT_EQ(http.HeaderInfo.UserId, "Internet Explorer");
    EXPECT_EQ(http.HeaderInfo.LocalMailAddress, "ie 6.0.2800.1106IC");
    EXPECT_EQ(http.HeaderInfo.Password, "");
}

TEST_F(JobsTest, ProcessingPendingMessagesDispatchesPostedMessages)
{
    int delivered = 0;
    platform::NotifyWindow window([&](unsigned msg, platform::WPARAM, platform::LPARAM) {
        if (msg == platform::WM_USER + 7)
            ++delivered;
    });
    ASSERT_TRUE(platform::PostMessage(window.Handle(), platform::WM_USER + 7, 0, 0));
    host.ProcessPendingMessages();
    EXPECT_EQ(delivered, 1);
}

}  // namespace
