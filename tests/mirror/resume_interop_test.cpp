// The tessary program killed (SIGKILL) in the middle of a big picture that Debian's nginx serves
// as the gallery's proxy, then run again: the partial file is continued only when nginx confirms
// the version (If-Range with its ETag, or its date when it gives no tag), and whatever nginx
// answers, the picture that takes its final name is exactly one version of the server's file.
// nginx's own access log says what was asked and sent.
#include "fixtures/ScriptedServer.h"
#include "platform/files.h"
#include "support/ProgramRun.h"
#include "support/TempFolder.h"
#include "support/files.h"
#include "support/nginx.h"
#include "support/params.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using support::FileBytes;
using support::Holds;
using support::PrintTo;
using support::ProgramRun;
using support::WriteFile;

constexpr long long MiB = 1 << 20;
const std::string PicturePath = "/gallery/tessa/big.jpg";
const std::string PictureUrl = "http://www.fotoarchive.com" + PicturePath;

// The root folder 77154 of the sample gallery showing one picture, big.jpg: its page, which is
// also the listing of its server folder.
const std::string FolderPage =
    "<HTML>\n"
    "<HEAD>\n"
    "<TITLE>Gallery - tessa - tessa (page 1 of 1)</TITLE>\n"
    "</HEAD>\n"
    "<BODY BGCOLOR=\"#FFFFFF\">\n"
    "<H2>tessa</H2>\n"
    "<P>0 folders, 1 pictures</P>\n"
    "<TABLE BORDER=0 CELLPADDING=4>\n"
    "<TR><TD><CODE><A HREF=\"/cgi-bin/gallery.cgi?a=members\">Up</A></CODE></TD></TD></TR>\n"
    "<TR><TD><A HREF=\"/cgi-bin/gallery.cgi?i=500001\"><IMG SRC=/gallery/tessa/thumb/big_thumb.jpg WIDTH=96 "
    "HEIGHT=72 BORDER=0 ALT=\"big.jpg\"></A></TD><TD>big.jpg</TD></TR>\n"
    "</TABLE>\n"
    "</BODY>\n"
    "</HTML>\n";

// One request for the picture as nginx logged it.
struct Served {
    int status = 0;
    long long bodyBytes = 0;
    std::string range;    // the request's Range header, "" when none
    std::string ifRange;  // its If-Range header
    std::string protocol;
};

std::ostream& operator<<(std::ostream& os, const Served& s)
{
    return os << s.protocol << ' ' << s.status << " body " << s.bodyBytes << " Range \"" << s.range
              << "\" If-Range \"" << s.ifRange << '"';
}

// The HTTP mode of the program's runs.
struct ModeCase {
    const char* name;
    Lines options;
    const char* protocol;  // of its requests
};

class ResumeInteropTest : public ::testing::TestWithParam<ModeCase> {
protected:
    void SetUp() override
    {
        if (!support::Nginx::Installed())
            GTEST_SKIP() << "nginx is not installed at " << support::Nginx::Binary
                         << "; tools/setup.sh installs it for the interop tests";
        nginx = std::make_unique<support::Nginx>(serverFolder.Path());
        fs::create_directories(nginx->Root() / "pages");
        fs::create_directories(nginx->Root() / "gallery" / "tessa");
        WriteFile(nginx->Root() / "pages" / "f77154.html", FolderPage);
        WriteFile(nginx->Root() / "gallery" / "tessa" / "index.html", FolderPage);
        WriteFile(settings, "");
    }

    fs::path Picture() const { return nginx->Root() / PicturePath.substr(1); }

    // Starts nginx logging each request to `log`, at most 4 MiB/s for each request when
    // `slow`, without ETags when not `etag` (its Last-Modified is then the only validator).
    void StartServer(const std::string& log, bool slow, bool etag)
    {
        fs::remove(serverFolder.Path() / log);
        const std::string http = "  log_format requests escape=none "
                                 "'$uri|$status|$body_bytes_sent|$http_range|$http_if_range|$server_protocol';\n"
                                 "  access_log " + (serverFolder.Path() / log).string() + " requests;\n";
        std::string server = "    location = /cgi-bin/gallery.cgi { try_files /pages/f${arg_f}.html =404; }\n";
        if (slow)
            server += "    limit_rate 4m;\n";
        if (!etag)
            server += "    etag off;\n";
        ASSERT_TRUE(nginx->Start(http, server)) << "nginx did not start: " << nginx->ErrorLog();
    }

    // The requests for the picture in `log`; nginx is stopped first, so that every request it
    // served is written there.
    std::vector<Served> PictureRequests(const std::string& log)
    {
        nginx->Stop();
        std::vector<Served> requests;
        std::istringstream in(FileBytes(serverFolder.Path() / log));
        static const std::regex line(R"(([^|]*)\|(\d+)\|(\d+)\|([^|]*)\|([^|]*)\|([^|]*))");
        for (std::string text; std::getline(in, text);) {
            std::smatch m;
            if (!std::regex_match(text, m, line)) {
                ADD_FAILURE() << "unexpected log line: " << text;
                continue;
            }
            if (m[1] == PicturePath)
                requests.push_back({std::stoi(m[2]), std::stoll(m[3]), m[4], m[5], m[6]});
        }
        return requests;
    }

    Lines Arguments(const support::TempFolder& destination) const
    {
        Lines args = {"--folder", "77154", "--host-a", "--dest", destination.Text(), "--proxy",
                      "127.0.0.1:" + std::to_string(nginx->Port()), "--no-pause", "--settings", settings.string()};
        args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
        return args;
    }

    static fs::path StoredFolder(const support::TempFolder& destination)
    {
        return destination.Path() / "gallery" / "tessa";
    }
    static std::string PartialOf(const support::TempFolder& destination)
    {
        return platform::PartialPath(StoredFolder(destination).string() + "/", "big.jpg");
    }

    // What the partial file's note names its version by: the ETag, or the date without one.
    static std::string NotedValidator(const support::TempFolder& destination)
    {
        platform::PartialNote note;
        platform::ReadPartialNote(PartialOf(destination), note);
        return note.ETag.empty() ? note.LastModified : note.ETag;
    }

    // Serves `bytes` as the picture, runs the program against nginx slowed down, and kills it
    // once its partial file holds more than 1 MiB. The partial file and its note stay, the
    // note naming the picture's version by its ETag, or by its date when `etag` is off; the
    // server is stopped. Sets `kept` to the partial file's size.
    void KillMidTransfer(const support::TempFolder& destination, const std::string& bytes, bool etag, long long& kept)
    {
        WriteFile(Picture(), bytes);
        ASSERT_NO_FATAL_FAILURE(StartServer("killed.log", true, etag));
        const std::string partial = PartialOf(destination);
        {
            ProgramRun killed(Arguments(destination));
            const auto end = Clock::now() + std::chrono::seconds(60);
            while (killed.Running() && platform::FileSizeOf(partial) <= MiB && Clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_TRUE(killed.Running()) << "the run ended before its partial file held 1 MiB: "
                                          << killed.Output();
            ASSERT_GT(platform::FileSizeOf(partial), MiB) << "the partial file did not pass 1 MiB within 60 s";
            killed.Kill();
        }
        nginx->Stop();
        kept = platform::FileSizeOf(partial);
        ASSERT_LT(kept, static_cast<long long>(bytes.size())) << "the kill came after the whole picture";
        EXPECT_FALSE(fs::exists(StoredFolder(destination) / "big.jpg"));
        platform::PartialNote note;
        ASSERT_TRUE(platform::ReadPartialNote(partial, note))
            << "no note beside the partial file: "
            << ::testing::PrintToString(support::TempFolder::TreeOf(StoredFolder(destination)));
        EXPECT_EQ(note.Url, PictureUrl);
        EXPECT_EQ(note.Total, static_cast<long long>(bytes.size()));
        EXPECT_NE(note.LastModified, "");
        EXPECT_EQ(note.ETag.empty(), !etag) << note.ETag;
    }

    // Runs the program to its end against nginx at full speed, which logs to "next.log";
    // expects it to succeed and to leave `bytes` as the picture and nothing else.
    void RunToTheEnd(const support::TempFolder& destination, const std::string& bytes, bool etag)
    {
        ASSERT_NO_FATAL_FAILURE(StartServer("next.log", false, etag));
        ProgramRun next(Arguments(destination));
        ASSERT_EQ(next.Finish(std::chrono::seconds(60)), 0) << next.Output();
        EXPECT_TRUE(Holds(StoredFolder(destination) / "big.jpg", bytes));
        EXPECT_EQ(destination.Tree(),
                  (Lines{"gallery/", "gallery/tessa/", "gallery/tessa/big.jpg " + std::to_string(bytes.size())}));
    }

    support::TempFolder serverFolder;
    const fs::path settings = serverFolder.Path() / "none.ini";
    std::unique_ptr<support::Nginx> nginx;
};

// The next run asks for the rest, naming the version it holds, and nginx sends exactly that.
TEST_P(ResumeInteropTest, KilledRunIsContinuedWithTheRest)
{
    const std::string picture = fixtures::Pattern(0, 24 * MiB);
    for (const bool etag : {true, false}) {
        SCOPED_TRACE(etag ? "nginx gives an ETag" : "nginx gives only Last-Modified");
        support::TempFolder destination;
        long long kept = 0;
        ASSERT_NO_FATAL_FAILURE(KillMidTransfer(destination, picture, etag, kept));
        const std::string validator = NotedValidator(destination);

        RunToTheEnd(destination, picture, etag);

        const std::vector<Served> requests = PictureRequests("next.log");
        ASSERT_EQ(requests.size(), 1u) << ::testing::PrintToString(requests);
        EXPECT_EQ(requests[0].status, 206) << requests[0];
        EXPECT_EQ(requests[0].range, "bytes=" + std::to_string(kept) + "-") << requests[0];
        EXPECT_EQ(requests[0].ifRange, validator) << requests[0];
        EXPECT_EQ(requests[0].bodyBytes, static_cast<long long>(picture.size()) - kept) << requests[0];
        EXPECT_EQ(requests[0].protocol, GetParam().protocol);
    }
}

// Between the runs the server's picture becomes another version: the next run stores exactly
// that version, never the old head with the new tail.
struct ChangeRow {
    const char* name;
    bool etag;                    // nginx gives ETags; else its date is the only validator
    long long newSize;            // of the new version
    bool newDate;                 // the new version has another modification time
    std::vector<int> statuses;    // of the requests for the picture in the next run
};

TEST_P(ResumeInteropTest, ChangedFileIsStoredWholeInItsNewVersion)
{
    const std::string old = fixtures::Pattern(0, 24 * MiB);
    const std::vector<ChangeRow> rows = {
        // If-Range names the old tag: nginx ignores the range and sends the new file whole.
        {"other bytes, same length and a new date", true, 24 * MiB, true, {200}},
        {"shorter than the partial data, a new date", true, MiB / 2, true, {200}},
        {"other bytes, same length and a new date; no ETag", false, 24 * MiB, true, {200}},
        // The same date confirms the range, which lies beyond the new end: a 416, then the
        // file is asked for whole.
        {"shorter than the partial data, the same date; no ETag", false, MiB / 2, false, {416, 200}},
    };
    for (const ChangeRow& row : rows) {
        SCOPED_TRACE(row.name);
        support::TempFolder destination;
        long long kept = 0;
        ASSERT_NO_FATAL_FAILURE(KillMidTransfer(destination, old, row.etag, kept));
        const std::string validator = NotedValidator(destination);

        const fs::file_time_type oldTime = fs::last_write_time(Picture());
        const std::string changed = fixtures::Pattern(7777777, static_cast<std::size_t>(row.newSize));
        WriteFile(Picture(), changed);
        fs::last_write_time(Picture(), row.newDate ? oldTime - std::chrono::hours(24) : oldTime);

        RunToTheEnd(destination, changed, row.etag);

        const std::vector<Served> requests = PictureRequests("next.log");
        std::vector<int> statuses;
        for (const Served& request : requests)
            statuses.push_back(request.status);
        EXPECT_EQ(statuses, row.statuses) << ::testing::PrintToString(requests);
        if (requests.empty())
            continue;
        // The first request asked for the rest of the version held, and the server decided.
        EXPECT_EQ(requests.front().range, "bytes=" + std::to_string(kept) + "-") << requests.front();
        EXPECT_EQ(requests.front().ifRange, validator) << requests.front();
        // A request after a refused range asks for the file whole.
        if (requests.size() > 1) {
            EXPECT_EQ(requests.back().range, "") << requests.back();
        }
        EXPECT_EQ(requests.back().bodyBytes, row.newSize) << requests.back();
    }
}

// A partial file whose note is gone names no version: the next run asks for the picture whole
// and drops the data it held.
TEST_P(ResumeInteropTest, PartialFileWithoutItsNoteIsFetchedWhole)
{
    const std::string picture = fixtures::Pattern(0, 24 * MiB);
    support::TempFolder destination;
    long long kept = 0;
    ASSERT_NO_FATAL_FAILURE(KillMidTransfer(destination, picture, true, kept));
    ASSERT_TRUE(fs::remove(PartialOf(destination) + platform::PartialNoteSuffix));

    RunToTheEnd(destination, picture, true);

    const std::vector<Served> requests = PictureRequests("next.log");
    ASSERT_EQ(requests.size(), 1u) << ::testing::PrintToString(requests);
    EXPECT_EQ(requests[0].status, 200) << requests[0];
    EXPECT_EQ(requests[0].range, "") << requests[0];
    EXPECT_EQ(requests[0].ifRange, "") << requests[0];
    EXPECT_EQ(requests[0].bodyBytes, static_cast<long long>(picture.size())) << requests[0];
}

INSTANTIATE_TEST_SUITE_P(Modes, ResumeInteropTest,
                         ::testing::Values(ModeCase{"OneRequestPerConnection", {}, "HTTP/1.0"},
                                           ModeCase{"KeepAlive", {"--keep-alive"}, "HTTP/1.1"}),
                         support::CaseName);

}  // namespace
