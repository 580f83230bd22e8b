// Hostile and broken HTTP servers against the page fetch and the download step: each row ends
// in bounded time as a failure with its log lines, says why the transfer stopped, and leaves
// no file under the final name. The watchdog ticks every millisecond here instead of every
// second, so its limits are reached at once.
#include "FakeHost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using fixtures::HttpHead;
using fixtures::Ms;
using fixtures::Reply;
using fixtures::Step;
using Lines = std::vector<std::string>;

const std::string PageUrl = "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154";
const std::string PictureUrl = "http://www.fotoarchive.com/gallery/tessa/f/x.jpg";
const std::string Unsized = HttpHead(200, "OK");

struct HostileCase {
    const char* name;
    bool page;             // a page fetch (five tries) rather than a picture download
    Reply reply;           // the answer to every request
    TStopReason reason;    // why the client says the last transfer stopped
    std::string pageLine;  // the page fetch's line for each failed try
    long long unsizedLimit = 0;
};

Reply Steps(fixtures::Script steps) { return Reply::Steps(std::move(steps)); }

std::vector<HostileCase> Cases()
{
    const std::string drop = "** Page transfer failed: connection dropped by the server";
    const std::string stall = "** Page transfer failed: no progress";
    return {
        {"reset before the end of an unsized body", false,
         Steps({Step::Send(Unsized), Step::SendGenerated(100000), Step::Reset()}), TStopReason::ServerDrop, ""},
        {"chunked reply", false,
         Reply::Raw("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"),
         TStopReason::BadReply, ""},
        {"fewer bytes than announced", false,
         Steps({Step::Send(HttpHead(200, "OK", {{"Content-Length", "100000"}})), Step::SendGenerated(50000),
                Step::Close()}),
         TStopReason::BadReply, ""},
        {"endless unsized body", false, Steps({Step::Send(Unsized), Step::SendGenerated(1ull << 30, 65536)}),
         TStopReason::Cap, "", 65536},
        {"a byte now and then", false, Steps({Step::Send(Unsized), Step::SendGenerated(100000, 1, Ms{5})}),
         TStopReason::Watchdog, ""},
        {"silent after the head", false, Steps({Step::Send(Unsized), Step::Stall(Ms{20000})}),
         TStopReason::Watchdog, ""},
        {"page silent after connect", true, Steps({Step::Stall(Ms{20000})}), TStopReason::Watchdog, stall},
        {"page that sends 40 bytes and stops", true,
         Steps({Step::Send(Unsized + "<HTML>\n" + std::string(33, 'p')), Step::Stall(Ms{20000})}),
         TStopReason::Watchdog, stall},
        {"page reset in its body", true, Steps({Step::Send(Unsized + "<HTML>\n"), Step::Reset()}),
         TStopReason::ServerDrop, drop},
        {"page above 16 MiB", true, Steps({Step::Send(Unsized + "<HTML>\n"), Step::SendGenerated(17 << 20, 65536)}),
         TStopReason::Cap, "** Page transfer failed: page larger than the limit"},
    };
}

TEST(HostileHttp, EveryBrokenTransferFailsAndKeepsNoFile)
{
    for (const HostileCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        TempFolder scratch;
        FakeHost host;
        host.Destination = scratch.Text();
        fixtures::ScriptedHttpServer server([&c](const std::string&, int) { return c.reply; });
        host.UseProxy(server.Port());
        if (c.unsizedLimit > 0)
            host.NMHTTP1->UnsizedBodyLimit = c.unsizedLimit;
        // Only the rows about stalls tick, so that a slow machine cannot turn another row into one.
        TThreadTimer timer1;
        timer1.SetInterval(1);
        if (c.reason == TStopReason::Watchdog)
            timer1.SetOnTimer([&host](TComponent*) { host.Tick(); });

        Lines expected;
        if (c.page) {
            EXPECT_FALSE(FetchPage(host, PageUrl, scratch.Text() + "77154.html"));
            for (int i = 0; i < 5; ++i)
                expected.insert(expected.end(), {c.pageLine, "**Got a server error, trying to download again"});
            expected.push_back("**Tried 5 times and got errors every time, skipping this folder");
            EXPECT_EQ(server.RequestCount(), 5);
        } else {
            DownloadFile(host, host.Http, scratch.Text() + "\\gallery\\tessa\\f\\", PictureUrl, "x.jpg");
            expected = {"** Multimedia files have been temporarily disabled.", "** Deleting file x.jpg"};
        }
        EXPECT_EQ(host.Log, expected);
        EXPECT_EQ(host.NMHTTP1->StopReason, c.reason);
        EXPECT_FALSE(host.NMHTTP1->Connected);
        for (const auto& entry : fs::recursive_directory_iterator(scratch.Path()))
            EXPECT_FALSE(entry.is_regular_file()) << entry.path();
    }
}

}  // namespace
