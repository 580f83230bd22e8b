// The tessary program without a window, run as a user's script would run it: its exit status,
// the log on standard output, the status texts on standard error, and Ctrl+C. Its HTTP goes
// to a loopback gallery stub through --proxy (or $http_proxy).
#include "FakeHost.h"

#include "fixtures/ScriptedFtpServer.h"

#include "support/ProgramRun.h"
#include "support/files.h"
#include "support/loopback.h"
#include "support/params.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using fixtures::Ms;
using fixtures::Reply;
using Lines = std::vector<std::string>;
using support::FileBytes;
using support::PrintTo;
using support::ProgramPath;
using support::ProgramRun;
using support::WriteFile;

Lines SplitLines(const std::string& text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

const std::string FolderPage =
    "<HTML>\n"
    "<TR><TD><CODE><A HREF=\"/cgi-bin/gallery.cgi?a=members\">Up</A></CODE></TD></TD></TR>\n"
    "<TR><TD><A HREF=\"/cgi-bin/gallery.cgi?i=5\"><IMG SRC=/gallery/tessa/trips/thumb/pic1_thumb.jpg></A></TD></TR>\n"
    "</HTML>\n";
const std::string ListingPage =
    "<HTML>\n"
    "<TR><TD><A HREF=\"pic1.jpg\"><IMG SRC=/gallery/tessa/trips/thumb/pic1_thumb.jpg ALT=\"pic1.jpg\"></A></TD></TR>\n"
    "</HTML>\n";
const std::string Picture = std::string("\xFF\xD8\xFF\xE0 picture bytes \x00\x01\x02", 22);

class HeadlessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(ProgramPath())) << ProgramPath() << ": build the tessary target first";
        WriteFile(settings, "");
    }

    // A gallery whose first page shows one picture of the folder /gallery/tessa/FOLDER/.
    void ServeGallery(const std::string& site, const std::string& firstPageQuery, const std::string& folder = "trips")
    {
        const auto inFolder = [&](const std::string& page) {
            return std::regex_replace(page, std::regex("trips"), folder);
        };
        stub.Page(site + "/cgi-bin/gallery.cgi?" + firstPageQuery, inFolder(FolderPage));
        stub.Page(site + "/gallery/tessa/" + folder + "/", inFolder(ListingPage));
        stub.Set(site + "/gallery/tessa/" + folder + "/pic1.jpg", Reply::Status(200, "OK", Picture));
    }
    // The listing of /gallery/tessa/trips/ shows, after pic1.jpg, the pictures `names`, each
    // with the thumbnail `thumb`.
    void ListMorePictures(const std::string& site, const std::string& thumb, const Lines& names)
    {
        std::string listing = ListingPage.substr(0, ListingPage.rfind("</HTML>"));
        for (const std::string& name : names)
            listing += "<IMG SRC=/gallery/tessa/trips/thumb/" + thumb + " ALT=\"" + name + "\">\n";
        stub.Page(site + "/gallery/tessa/trips/", listing + "</HTML>\n");
    }
    // True once the gallery has been asked for a page, within a bound.
    bool WaitForRequest() const { return stub.WaitForRequests(1, Ms{20000}); }
    // Runs the program while the gallery holds back its answers, and presses Ctrl+C once the
    // first request has come; the answers go on once the program said it was interrupted,
    // which `noticed` tells.
    std::unique_ptr<ProgramRun> RunInterruptedOnce(const Lines& args, bool& noticed)
    {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        stub.OnRequest([released](const std::string&) { released.wait_for(std::chrono::seconds(20)); });
        auto run = std::make_unique<ProgramRun>(args);
        noticed = WaitForRequest();
        if (noticed) {
            run->Signal(SIGINT);
            noticed = run->WaitForError("interrupted");
        }
        release.set_value();
        return run;
    }
    std::string Proxy() const { return "127.0.0.1:" + std::to_string(stub.Port()); }
    std::string Destination() const { return destination.Text(); }
    fs::path PictureFile() const { return destination.Path() / "gallery/tessa/trips/pic1.jpg"; }

    // Several connections at once: a kept one and those of parallel downloads.
    GalleryStub stub{fixtures::ServerOptions{.concurrent = true}};
    TempFolder destination;
    TempFolder scratch;
    fs::path settings = scratch.Path() / "Tessary.ini";  // empty: the stored defaults
};

TEST_F(HeadlessTest, VersionNamesTheProgramAndItsVersion)
{
    ProgramRun run({"-V"});
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_TRUE(std::regex_match(run.Out, std::regex("tessary [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << run.Out;
    EXPECT_EQ(run.Err, "");
}

// What the completion offers for the words typed, the program's path first; through bash, as a
// user's TAB runs it, from a script in `folder`.
Lines Completions(const fs::path& folder, const Lines& words)
{
    std::string script = "source '" + (fs::path(TESSARY_SOURCE_DIR) / "dist/tessary.bash-completion").string() +
                         "'\nCOMP_WORDS=(";
    for (const std::string& word : words)
        script += "'" + word + "' ";
    script += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) + "\n_tessary\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    const fs::path file = folder / "complete.sh";
    WriteFile(file, script);
    std::string out;
    if (FILE* pipe = ::popen(("timeout 20 bash '" + file.string() + "' 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, got);
        ::pclose(pipe);
    }
    const Lines lines = SplitLines(out);
    return lines == Lines{""} ? Lines{} : lines;
}

// The options of --help come from the program's one table. The completion takes them from
// --help; the manual page and the README each name every one of them, and nothing else.
TEST_F(HeadlessTest, HelpListsEveryOptionAndTheDocumentsFollowIt)
{
    ProgramRun run({"--bogus", "-h"});
    EXPECT_EQ(run.Finish(), 0);
    std::set<std::string> options;
    const std::regex entry("^  ((-[a-zA-Z]), )?(--[a-z-]+)( [A-Z][^ ]*)?( |$).*");
    for (const std::string& line : SplitLines(run.Out)) {
        // A terminal of 80 columns shows it unbroken; the settings file's path is the user's.
        if (!line.starts_with("Settings file: ")) {
            EXPECT_LE(line.size(), 79u) << line;
        }
        std::smatch match;
        if (!std::regex_match(line, match, entry))
            continue;
        options.insert(match[3]);
        if (match[2].matched)
            options.insert(match[2]);
    }
    EXPECT_GE(options.size(), 24u);
    const auto namesIn = [](const std::string& text) {
        std::set<std::string> names;
        const std::regex name("(^|[^a-zA-Z-])(--[a-z][a-z-]*[a-z]|-[hV])\\b");
        for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it)
            names.insert((*it)[2]);
        return names;
    };
    const auto between = [](const std::string& text, const std::string& from, const std::string& to) {
        const size_t start = text.find(from);
        return start == std::string::npos ? std::string() : text.substr(start, text.find(to, start + from.size()) - start);
    };
    const fs::path source = TESSARY_SOURCE_DIR;
    const std::string manual = std::regex_replace(FileBytes(source / "dist/tessary.1"), std::regex("\\\\-"), "-");
    const std::string readme = FileBytes(source / "README.md");
    EXPECT_EQ(namesIn(between(manual, ".SH OPTIONS", ".SH EXIT")), options) << "manual page";
    EXPECT_EQ(namesIn(between(readme, "## Command line\n\n```", "```\n\n")), options) << "README";

    const std::string program = support::ProgramPath();
    const Lines offered = Completions(scratch.Path(), {program, "-"});
    EXPECT_EQ(std::set<std::string>(offered.begin(), offered.end()), options);
    EXPECT_EQ(Completions(scratch.Path(), {program, "--re"}), Lines{"--retries"});
    // A value after an option that takes one: its whole range when it is short, a folder, or
    // nothing to offer; never the options.
    EXPECT_EQ(Completions(scratch.Path(), {program, "--pause", ""}), (Lines{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                                                            "12", "13", "14", "15"}));
    EXPECT_EQ(Completions(scratch.Path(), {program, "--connections", "1"}), Lines{"1"});
    EXPECT_EQ(Completions(scratch.Path(), {program, "--member", ""}), Lines{});
    EXPECT_EQ(Completions(scratch.Path(), {program, "--dest", source.string() + "/dis"}), Lines{source.string() + "/dist"});
}

// Without a display the window cannot open: one sentence says what is missing and how to run a
// job instead, and the program ends with 1 rather than Qt's abort.
TEST_F(HeadlessTest, WindowWithoutADisplayExitsWithOneAndOneSentence)
{
    const std::string howTo = "; to run a job without a window, give tessary --folder ID, --member NAME or --set "
                              "NUMBER (see tessary --help).\n";
    const std::pair<std::string, std::string> rows[] = {
        {"DISPLAY=", "tessary: cannot open the window, no display is set (DISPLAY is empty)" + howTo},
        {"DISPLAY=:7319", "tessary: cannot open the window, no display answers at :7319" + howTo},
    };
    for (const auto& [display, err] : rows) {
        SCOPED_TRACE(display);
        ProgramRun run({"--settings", settings.string()},
                       {display, "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "LANG=C"});
        EXPECT_EQ(run.Finish(), 1);
        EXPECT_EQ(run.Err, err);
    }
}

struct UsageCase {
    const char* name;
    Lines args;
    std::string httpProxy = "PROXY";  // "PROXY": the gallery stub as the proxy
    std::string err{};                // all of standard error, when given
};

class UsageTest : public HeadlessTest, public ::testing::WithParamInterface<UsageCase> {};

// A command line that cannot be carried out runs nothing: no request reaches the gallery.
TEST_P(UsageTest, ExitsWithTwoAndDoesNoWork)
{
    ServeGallery("http://www.fotoarchive.com", "f=1");
    Lines args = GetParam().args;
    for (std::string& arg : args)
        if (arg == "SETTINGS")
            arg = settings.string();
        else if (arg == "MISSING")
            arg = (scratch.Path() / "missing.ini").string();
    const std::string httpProxy = GetParam().httpProxy;
    ProgramRun run(args, {"http_proxy=" + (httpProxy == "PROXY" ? "http://" + Proxy() + "/" : httpProxy)});

    EXPECT_EQ(run.Finish(), 2);
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(run.Err.rfind("tessary: ", 0), 0u) << run.Err;
    if (!GetParam().err.empty()) {
        EXPECT_EQ(run.Err, GetParam().err);
    }
    EXPECT_TRUE(stub.Urls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UsageTest,
    ::testing::Values(
        UsageCase{"MissingValue", {"--folder"}},
        UsageCase{"FolderNotANumber", {"--folder", "abc"}},
        UsageCase{"FolderNegative", {"--folder", "-5"}},
        UsageCase{"FolderZero", {"--folder", "0"}},
        UsageCase{"SetNotANumber", {"--set", "abc"}},
        UsageCase{"UnknownOption", {"--bogus", "--folder", "1"}},
        UsageCase{"StrayArgument", {"--folder", "1", "stray"}},
        UsageCase{"TwoJobs", {"--folder", "1", "--member", "tessa"}},
        UsageCase{"PauseZero", {"--folder", "1", "--pause", "0"}},
        UsageCase{"PauseTooLong", {"--folder", "1", "--pause", "16"}},
        UsageCase{"PauseNotANumber", {"--folder", "1", "--pause", "four"}},
        UsageCase{"ProxyPortOutOfRange", {"--folder", "1", "--proxy", "http://127.0.0.1:99999/"}, "PROXY",
                  "tessary: --proxy=http://127.0.0.1:99999/ cannot be used: the port 99999 is not between 1 and "
                  "65535\nTry 'tessary --help' for more information.\n"},
        UsageCase{"ProxyPortNotANumber", {"--folder", "1", "--proxy", "127.0.0.1:http"}},
        UsageCase{"OptionWordForAValue", {"--member", "--no-pause"}, "PROXY",
                  "tessary: --member needs a value, and --no-pause is an option (write --member=--no-pause for a "
                  "value that begins with -)\nTry 'tessary --help' for more information.\n"},
        UsageCase{"EmptyMember", {"--member="}},
        UsageCase{"FtpPortOutOfRange", {"--set", "8436", "--ftp-host", "127.0.0.1:99999"}},
        UsageCase{"EmptyDestination", {"--folder", "1", "--dest", ""}},
        UsageCase{"MaxSizeNotABytesCount", {"--folder", "1", "--max-size", "0"}},
        UsageCase{"ConnectionsZero", {"--folder", "1", "--connections", "0"}},
        UsageCase{"ConnectionsAboveEight", {"--folder", "1", "--connections", "9"}},
        UsageCase{"RetriesAboveTwenty", {"--folder", "1", "--retries", "21"}},
        UsageCase{"ImportWithoutArchive", {"--archive-import", "SETTINGS"}},
        UsageCase{"AlbumOnlyWithAJob", {"--folder", "1", "--album-only", "SETTINGS"}},
        UsageCase{"FlagWithValue", {"--folder", "1", "--no-pause=yes"}},
        UsageCase{"JobOptionWithoutAJob", {"--dest", "pictures/", "--settings", "SETTINGS"}},
        UsageCase{"MissingSettingsFile", {"--folder", "1", "--settings", "MISSING"}},
        UsageCase{"HttpProxyWithoutHost", {"--folder", "1"}, ":8080",
                  "tessary: http_proxy=:8080 cannot be used: it names no host, as in HOST:PORT\n"},
        UsageCase{"HttpProxyPortNotANumber", {"--member", "tessa"}, "http://127.0.0.1:http/",
                  "tessary: http_proxy=http://127.0.0.1:http/ cannot be used: the port http is not a number\n"},
        UsageCase{"HttpProxyPortOutOfRange", {"--member", "tessa"}, "127.0.0.1:99999",
                  "tessary: http_proxy=127.0.0.1:99999 cannot be used: the port 99999 is not between 1 and 65535\n"},
        UsageCase{"HttpProxyOfAnotherKind", {"--folder", "1"}, "socks5://127.0.0.1:1080",
                  "tessary: http_proxy=socks5://127.0.0.1:1080 cannot be used: only http:// proxies are "
                  "supported\n"}),
    support::CaseName);

TEST_F(HeadlessTest, FolderJobMirrorsThePictureAndLogsOnStandardOutput)
{
    ServeGallery("http://www.fotoarchive.com", "f=77154");
    // A cap above 1 GB (ten digits) is a cap like any other.
    ProgramRun run({"--folder", "77154", "--dest", Destination(), "--proxy", Proxy(), "--no-pause", "--max-size",
                    "4294967296", "--settings", settings.string()});

    EXPECT_EQ(run.Finish(), 0) << run.Err;
    EXPECT_EQ(SplitLines(run.Out),
              (Lines{"http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154", "/gallery/tessa/trips/pic1.jpg"}));
    EXPECT_EQ(FileBytes(PictureFile()), Picture);
    EXPECT_EQ(stub.Urls(), (Lines{"http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154",
                                  "http://www.fotoarchive.com/gallery/tessa/trips/",
                                  "http://www.fotoarchive.com/gallery/tessa/trips/pic1.jpg"}));
    // Not a terminal: one status text a line, from the first to the last.
    const Lines statuses = SplitLines(run.Err);
    ASSERT_GE(statuses.size(), 3u) << run.Err;
    EXPECT_EQ(statuses.front(), "getting list . . . ");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Downloading pic1.jpg. . ."), statuses.end());
    EXPECT_EQ(statuses[statuses.size() - 2], ". . . done getting files");
    EXPECT_TRUE(IsSummary(statuses.back(), "completed: 1 fetched, 0 already present, 0 failed, 22 bytes"))
        << statuses.back();
    // Only the picture stays: the page files are gone.
    EXPECT_EQ(destination.Tree(), (Lines{"gallery/", "gallery/tessa/", "gallery/tessa/trips/",
                                         "gallery/tessa/trips/pic1.jpg " + std::to_string(Picture.size())}));
}

// Persistent connections, with parallel downloads or without: the same files from fewer
// connections than requests.
TEST_F(HeadlessTest, KeepAliveMirrorsTheSameFilesOverFewerConnections)
{
    const auto kept = [](const std::string& body) {
        Reply reply = Reply::Raw("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        reply.keepOpen = true;
        return reply;
    };
    const std::string site = "http://www.fotoarchive.com";
    stub.Set(site + "/cgi-bin/gallery.cgi?f=77154", kept(FolderPage));
    stub.Set(site + "/gallery/tessa/trips/", kept(ListingPage));
    stub.Set(site + "/gallery/tessa/trips/pic1.jpg", kept(Picture));
    for (const char* connections : {"1", "4"}) {
        SCOPED_TRACE(connections);
        fs::remove_all(PictureFile());
        const size_t requests = stub.Urls().size();
        const int connectionsBefore = stub.Connections();
        ProgramRun run({"--folder", "77154", "--dest", Destination(), "--proxy", Proxy(), "--no-pause", "--keep-alive",
                        "--connections", connections, "--settings", settings.string()});

        EXPECT_EQ(run.Finish(), 0) << run.Err;
        EXPECT_EQ(FileBytes(PictureFile()), Picture);
        EXPECT_EQ(stub.Urls().size(), requests + 3);
        EXPECT_LT(stub.Connections() - connectionsBefore, 3);
    }
}

// Parallel downloads off a terminal, as in a cron job: their progress ("2 downloads, 0.0 MB of
// 0.0 MB"), which they show every second and whenever one starts or ends, stays off the log of
// standard error. The pictures take longer than a second, so that the running count is shown.
TEST_F(HeadlessTest, ParallelDownloadsShowNoProgressLinesOffATerminal)
{
    const std::string site = "http://www.fotoarchive.com";
    ServeGallery(site, "f=77154");
    ListMorePictures(site, "pic2_thumb.jpg", {"pic2.jpg"});
    const std::string head =
        fixtures::HttpHead(200, "OK", {{"Content-Length", std::to_string(Picture.size())}});
    for (const char* name : {"pic1.jpg", "pic2.jpg"})
        stub.Set(site + "/gallery/tessa/trips/" + name,
                 Reply::Steps({fixtures::Step::Send(head + Picture.substr(0, 10)), fixtures::Step::Delay(Ms{1500}),
                               fixtures::Step::Send(Picture.substr(10))}));
    ProgramRun run({"--folder", "77154", "--dest", Destination(), "--proxy", Proxy(), "--no-pause", "--connections",
                    "4", "--settings", settings.string()});

    EXPECT_EQ(run.Finish(), 0) << run.Err;
    EXPECT_EQ(FileBytes(destination.Path() / "gallery/tessa/trips/pic2.jpg"), Picture);
    const Lines statuses = SplitLines(run.Err);
    const std::regex progress("[0-9]+ downloads?, .*");
    for (const std::string& line : statuses)
        EXPECT_FALSE(std::regex_match(line, progress)) << line;
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), "getting list . . . ");
    EXPECT_TRUE(IsSummary(statuses.back(), "completed: 2 fetched")) << run.Err;
}

// The archive records the picture; deleted, it is not fetched again. An archive that cannot
// be used ends the job before it starts and is left as it is. An import records a mirror.
TEST_F(HeadlessTest, ArchivedPictureIsNotFetchedAgain)
{
    ServeGallery("http://www.fotoarchive.com", "f=77154");
    const std::string archive = (scratch.Path() / "archive.db").string();
    const Lines job = {"--folder", "77154", "--dest", Destination(), "--proxy", Proxy(), "--no-pause",
                       "--settings", settings.string(), "--archive", archive};
    ASSERT_EQ(ProgramRun(job).Finish(), 0);
    ProgramRun imported({"--archive", (scratch.Path() / "imported.db").string(), "--archive-import", Destination()});
    EXPECT_EQ(imported.Finish(), 0) << imported.Err;
    EXPECT_EQ(imported.Out, "1 file recorded in " + (scratch.Path() / "imported.db").string() + "\n");
    fs::remove(PictureFile());
    const size_t requests = stub.Urls().size();

    ProgramRun again(job);
    EXPECT_EQ(again.Finish(), 0) << again.Err;
    EXPECT_EQ(SplitLines(again.Out).back(), "** Skipping archived file pic1.jpg");
    EXPECT_NE(again.Err.find(", 1 archived, "), std::string::npos) << again.Err;
    EXPECT_EQ(stub.Urls().size(), requests + 2) << "the two pages, not the picture";

    support::WriteFile(archive, "not an archive");
    ProgramRun damaged(job);
    EXPECT_EQ(damaged.Finish(), 1);
    EXPECT_NE(damaged.Err.find("cannot use the archive " + archive), std::string::npos) << damaged.Err;
    EXPECT_EQ(FileBytes(archive), "not an archive");
}

struct StoredCase {
    const char* name;
    std::string storedHostLines;
    Lines hostArgs;
    std::string site;
};

class StoredEntriesTest : public HeadlessTest, public ::testing::WithParamInterface<StoredCase> {};

// The stored entries are the starting point, the options override them, and the file is only
// read.
TEST_P(StoredEntriesTest, StartsFromTheSettingsFileAndNeverWritesIt)
{
    const StoredCase& c = GetParam();
    const std::string stored = "[TForm1]\r\nEdit1_Text= " + Destination() + " \r\nEdit5_Text=nobody\r\n" +
                               "CheckBox1_Checked=False\r\n" + c.storedHostLines;
    WriteFile(settings, stored);
    ServeGallery(c.site, "m=tessa");
    Lines args{"--member", "tessa", "--proxy", Proxy(), "--settings", settings.string()};
    args.insert(args.end(), c.hostArgs.begin(), c.hostArgs.end());
    ProgramRun run(args);

    EXPECT_EQ(run.Finish(), 0) << run.Err;
    EXPECT_EQ(SplitLines(run.Out).front(), c.site + "/cgi-bin/gallery.cgi?m=tessa");
    EXPECT_EQ(FileBytes(PictureFile()), Picture);  // in the stored destination, blanks trimmed
    EXPECT_EQ(FileBytes(settings), stored);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, StoredEntriesTest,
    ::testing::Values(
        StoredCase{"StoredHostB", "RadioButton1_Checked=False\r\nRadioButton2_Checked=True\r\n", {},
                   "http://www.pixhaven.com"},
        StoredCase{"StoredHostBOverridden", "RadioButton1_Checked=False\r\nRadioButton2_Checked=true\r\n",
                   {"--host-a"}, "http://www.fotoarchive.com"},
        StoredCase{"StoredHostA", "RadioButton1_Checked=TRUE\r\nRadioButton2_Checked=False\r\n", {},
                   "http://www.fotoarchive.com"},
        StoredCase{"NeitherButtonOn", "RadioButton1_Checked=False\r\nRadioButton2_Checked=False\r\n", {},
                   "http://www.pixhaven.com"},
        StoredCase{"UnknownValueLeavesHostA", "RadioButton1_Checked=yes\r\nRadioButton2_Checked=no\r\n", {},
                   "http://www.fotoarchive.com"},
        StoredCase{"HostBOption", "", {"--host-b"}, "http://www.pixhaven.com"}),
    support::CaseName);

// --proxy wins over $http_proxy, also over one that cannot be used.
TEST_F(HeadlessTest, ProxyComesFromHttpProxyWhenNotGiven)
{
    ServeGallery("http://www.fotoarchive.com", "f=42");
    const std::pair<Lines, std::string> rows[] = {{{}, "http://" + Proxy() + "/"},
                                                  {{"--proxy", Proxy()}, ":8080"},
                                                  {{"--proxy", "http://user@" + Proxy() + "/"}, ""}};
    for (const auto& [proxyArgs, httpProxy] : rows) {
        SCOPED_TRACE(httpProxy);
        Lines args{"--folder", "42", "--dest", Destination(), "--no-pause", "--settings", settings.string()};
        args.insert(args.end(), proxyArgs.begin(), proxyArgs.end());
        ProgramRun run(args, {"http_proxy=" + httpProxy});

        EXPECT_EQ(run.Finish(), 0) << run.Err;
        EXPECT_EQ(run.Err.find("http_proxy"), std::string::npos) << run.Err;
        EXPECT_EQ(FileBytes(PictureFile()), Picture);
        fs::remove(PictureFile());
    }
    EXPECT_EQ(stub.Count("http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=42"), 3);
}

TEST_F(HeadlessTest, FirstPageNotObtainedExitsWithOne)
{
    stub.Set("http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=404",
             Reply::Status(500, "Error", "<html>server error</html>\n"));
    ProgramRun run({"--folder", "404", "--dest", Destination(), "--proxy", Proxy(), "--settings", settings.string()});

    EXPECT_EQ(run.Finish(), 1) << run.Err;
    Lines expected(5, "**Got a server error, trying to download again");
    expected.push_back("**Tried 5 times and got errors every time, skipping this folder");
    EXPECT_EQ(SplitLines(run.Out), expected);
    EXPECT_EQ(stub.Urls().size(), 5u);
    EXPECT_EQ(SplitLines(run.Err).back(), "tessary: first page not obtained: "
                                          "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=404: "
                                          "HTTP/1.0 500 Error, no gallery page");
}

// A job that could not run exits with 1 and says why in one line, whichever source named what it
// could not use; no usage hint follows, and no request reaches the gallery.
TEST_F(HeadlessTest, WhatCannotBeReachedExitsWithOne)
{
    ServeGallery("http://www.fotoarchive.com", "f=1");
    const std::string archive = (scratch.Path() / "archive.db").string();
    const std::string missing = (scratch.Path() / "missing").string();
    const std::string ipv6 = "::1 is an IPv6 address, and connections are made over IPv4 only";
    const std::vector<std::tuple<Lines, std::string, std::string>> rows = {
        {{"--folder", "1", "--proxy", "[::1]:8080"}, "", "tessary: --proxy=[::1]:8080 cannot be used: " + ipv6},
        {{"--folder", "1"}, "[::1]:8080", "tessary: http_proxy=[::1]:8080 cannot be used: " + ipv6},
        {{"--archive-import", missing, "--archive", archive}, "", "no folder " + missing},
        {{"--album-only", missing}, "", "no folder " + missing},
        {{"--album-only", scratch.Text(), "--album-index", "../up.html"}, "",
         "the album's page name cannot be used: ../up.html"},
    };
    for (const auto& [args, httpProxy, err] : rows) {
        SCOPED_TRACE(err);
        Lines all = args;
        all.insert(all.end(), {"--dest", Destination(), "--settings", settings.string()});
        ProgramRun run(all, {"http_proxy=" + httpProxy});
        EXPECT_EQ(run.Finish(), 1) << run.Err;
        EXPECT_EQ(run.Err, err + "\n");
    }
    EXPECT_TRUE(stub.Urls().empty());
    EXPECT_FALSE(fs::exists(archive));
}

// The locale settings choose the language of the log and of the messages on standard error:
// the source texts in Japanese locales, English in every other, the C locales included.
TEST_F(HeadlessTest, LocaleChoosesTheSourceTextsOrEnglish)
{
    struct Row {
        std::string locale;
        std::string log;
        std::string problem;
    };
    const std::string url = "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=99999";
    const std::vector<Row> rows = {
        {"LANG=C", "** ERROR - I can't find this folder ID. Please check the folder ID.",
         "the gallery knows no such folder ID"},
        {"LC_ALL=C.UTF-8", "** ERROR - I can't find this folder ID. Please check the folder ID.",
         "the gallery knows no such folder ID"},
        {"LC_ALL=POSIX", "** ERROR - I can't find this folder ID. Please check the folder ID.",
         "the gallery knows no such folder ID"},
        {"LANG=ja_JP.UTF-8", "** ERROR - i can't find this folder ID.  Please check the folder ID.",
         "the gallery knows no such folder ID"},
        {"LANG=en_US.UTF-8", "** ERROR - I can't find this folder ID. Please check the folder ID.",
         "the gallery knows no such folder ID"},
    };
    stub.Page(url, "<HTML>\n<H1>Client Error</H1>\n</HTML>\n");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.locale);
        ProgramRun run({"--folder", "99999", "--dest", Destination(), "--proxy", Proxy(), "--settings",
                        settings.string()},
                       {row.locale});
        EXPECT_EQ(run.Finish(), 3) << run.Err;
        EXPECT_EQ(SplitLines(run.Out), (Lines{url, row.log}));
        EXPECT_EQ(SplitLines(run.Err).back(), "tessary: " + url + ": " + row.problem);
    }
    // An error message: the fixed text in the chosen language, then the same detail.
    const std::string closed = "127.0.0.1:" + std::to_string(support::FreeLoopbackPort());
    for (const auto& [locale, text] : {std::pair<std::string, std::string>{"LANG=ja_JP.UTF-8", "接続が失敗しました"},
                                       {"LANG=C", "the connection failed"},
                                       {"LANG=en_US.UTF-8", "the connection failed"}}) {
        SCOPED_TRACE(locale);
        ProgramRun run({"--folder", "1", "--dest", Destination(), "--proxy", closed, "--settings", settings.string()},
                       {locale});
        EXPECT_EQ(run.Finish(), 1);
        const Lines errors = SplitLines(run.Err);
        ASSERT_GE(errors.size(), 2u);
        EXPECT_EQ(errors[errors.size() - 2], text + ": cannot connect to www.fotoarchive.com:80 via proxy " + closed +
                                                  ": connection refused");
    }
}

// A first page on which the gallery says it knows no such folder or member is no work done; a
// sub-folder given up is a job that ran to its end with a page missing.
TEST_F(HeadlessTest, GalleryErrorPagesExitWithThreeAndGivenUpPagesWithFour)
{
    struct Row {
        Lines args;
        std::string firstPage;
        int status;
        std::string lastErr;
    };
    const std::string site = "http://www.fotoarchive.com";
    const std::string subFolder = "<TR><TD><A HREF=\"/cgi-bin/gallery.cgi?f=9\"><IMG SRC=/gallery/tessa/sub/thumb/"
                                  "a_thumb.jpg></A></TD></TR>\n";
    const std::vector<Row> rows = {
        {{"--folder", "99999"}, "<HTML>\n<H1>Client Error</H1>\n</HTML>\n", 3,
         "tessary: " + site + "/cgi-bin/gallery.cgi?f=99999: the gallery knows no such folder ID"},
        {{"--member", "nosuchmember"}, "<HTML>\n</HTML>\n", 3,
         "tessary: " + site + "/cgi-bin/gallery.cgi?m=nosuchmember: the gallery shows no such user directory"},
        {{"--folder", "5"}, "<HTML>\n" + subFolder + "</HTML>\n", 4, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[1]);
        const std::string query = (row.args[0] == "--folder" ? "f=" : "m=") + row.args[1];
        stub.Page(site + "/cgi-bin/gallery.cgi?" + query, row.firstPage);
        Lines args = row.args;
        args.insert(args.end(), {"--dest", Destination(), "--proxy", Proxy(), "--no-pause", "--settings",
                                 settings.string()});
        ProgramRun run(args);

        EXPECT_EQ(run.Finish(), row.status) << run.Err;
        const Lines errors = SplitLines(run.Err);
        ASSERT_FALSE(errors.empty());
        if (row.status == 3)
            EXPECT_EQ(errors.back(), row.lastErr);
        else
            EXPECT_TRUE(IsSummary(errors.back(), "completed: 0 fetched, 0 already present, 0 failed, 1 page failed"))
                << errors.back();
    }
}

TEST_F(HeadlessTest, RejectedSetNumberExitsWithThreeWithoutConnecting)
{
    fixtures::ScriptedServer ftp;  // would see the connection of a job that went on
    ProgramRun run({"--set", "0123", "--dest", Destination(), "--ftp-host", "127.0.0.1:" + std::to_string(ftp.Port()),
             "--settings", settings.string()});

    EXPECT_EQ(run.Finish(), 3) << run.Err;
    EXPECT_EQ(run.Out, "Please remove the leading 0 from the set number and try again, download stopped.\n");
    EXPECT_EQ(ftp.Connections(), 0);
}

TEST_F(HeadlessTest, ErrorThatEscapesTheJobExitsWithOneAndItsMessage)
{
    const std::uint16_t closed = support::FreeLoopbackPort();
    ProgramRun run({"--folder", "1", "--dest", Destination(), "--proxy", "127.0.0.1:" + std::to_string(closed),
             "--settings", settings.string()});

    EXPECT_EQ(run.Finish(), 1);
    EXPECT_EQ(run.Out, "");
    const Lines errors = SplitLines(run.Err);
    ASSERT_GE(errors.size(), 3u);
    EXPECT_EQ(errors.front(), "getting list . . . ");
    EXPECT_FALSE(errors[errors.size() - 2].empty());  // the error's text, then the summary
    EXPECT_TRUE(IsSummary(errors.back(), "ended by an error: 0 fetched")) << errors.back();
}

// A job that ran to its end with files missing exits with 4 and says which and why.
TEST_F(HeadlessTest, FailedFilesExitWithFourAndAreNamedInTheSummary)
{
    ServeGallery("http://www.fotoarchive.com", "f=77154");
    ListMorePictures("http://www.fotoarchive.com", "x_thumb.jpg", {"gone.jpg", "short.jpg"});
    stub.Set("http://www.fotoarchive.com/gallery/tessa/trips/short.jpg",
             Reply::Raw(fixtures::HttpHead(200, "OK", {{"Content-Length", "100"}}) + "ten bytes."));
    ProgramRun gallery({"--folder", "77154", "--dest", Destination(), "--proxy", Proxy(), "--no-pause", "--settings",
                        settings.string()});

    EXPECT_EQ(gallery.Finish(), 4) << gallery.Err;
    Lines statuses = SplitLines(gallery.Err);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "gone.jpg: HTTP/1.0 404 Not Found"), statuses.end())
        << gallery.Err;
    EXPECT_TRUE(IsSummary(statuses.back(), "completed: 1 fetched, 0 already present, 2 failed (gone.jpg, short.jpg)"))
        << statuses.back();

    fixtures::ScriptedFtpServer ftp;
    ftp.SetListing("-rw-r--r--   1 ftp  ftp   5 Mar  3  1999 8436-01.gif\r\n"
                   "-rw-r--r--   1 ftp  ftp   5 Mar  3  1999 8436-02.gif\r\n");
    ftp.SetFile("8436-01.gif", "first");
    ProgramRun set({"--set", "8436", "--dest", Destination(), "--ftp-host", "127.0.0.1:" + std::to_string(ftp.Port()),
                    "--no-pause", "--settings", settings.string()});

    EXPECT_EQ(set.Finish(), 4) << set.Err;
    statuses = SplitLines(set.Err);
    EXPECT_TRUE(IsSummary(statuses.back(), "completed: 1 fetched, 0 already present, 1 failed (8436-02.gif), 5 bytes"))
        << statuses.back();
}

// The first Ctrl+C is the cancel action: the page being fetched still arrives, the walk stops.
TEST_F(HeadlessTest, FirstInterruptCancelsAndExitsWith130)
{
    ServeGallery("http://www.fotoarchive.com", "f=77154");
    bool noticed = false;
    const auto interrupted = RunInterruptedOnce(
        {"--folder", "77154", "--dest", Destination(), "--proxy", Proxy(), "--settings", settings.string()}, noticed);
    ProgramRun& run = *interrupted;
    ASSERT_TRUE(noticed) << run.Err;

    EXPECT_EQ(run.Finish(), 130) << run.Err;
    EXPECT_EQ(SplitLines(run.Out), (Lines{"http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154",
                                          "Cancel button pressed, download stopped."}));
    EXPECT_FALSE(fs::exists(PictureFile()));
}

// Ctrl+C while the job waits. The second aborts the transfer in progress: a page that never
// comes, or a picture, which is then aborted, not failed. The first ends a pause at once: the
// bound of the run is well below the 15 s that a pause run to its end would take.
TEST_F(HeadlessTest, InterruptWhileTheJobWaitsExitsWith130)
{
    const std::string site = "http://www.fotoarchive.com";
    const std::string firstPage = site + "/cgi-bin/gallery.cgi?f=77154";
    const std::string pic2 = site + "/gallery/tessa/trips/pic2.jpg";
    const fixtures::Step silence = fixtures::Step::Stall(Ms{20000});
    const Lines cancelled = {firstPage, "/gallery/tessa/trips/pic1.jpg", "Cancel button pressed, download stopped."};
    const struct Row {
        const char* name;
        std::string stalled;  // answered with `reply`, the others as they come
        Reply reply;
        Lines presses;        // Ctrl+C once the gallery was asked (empty text) or standard error holds it
        Lines out;
        std::string summary;
    } rows[] = {{"second aborts a page fetch", firstPage, Reply::Steps({silence}), {"", "interrupted"}, {},
                 "ended by an error: 0 fetched, 0 already present, 0 failed, 0 bytes"},
                {"second aborts a picture", site + "/gallery/tessa/trips/pic1.jpg",
                 Reply::Steps({fixtures::Step::Send(fixtures::HttpHead(200, "OK", {{"Content-Length", "22"}}) + "part"),
                               silence}),
                 {"Downloading pic1.jpg", "interrupted"}, cancelled,
                 "cancelled: 0 fetched, 0 already present, 0 failed, 1 aborted, 0 bytes"},
                {"first ends a pause", pic2, Reply::Steps({silence}), {"Sleeping for 15 seconds"}, cancelled,
                 "cancelled: 1 fetched, 0 already present, 0 failed, 22 bytes"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServeGallery(site, "f=77154");
        ListMorePictures(site, "pic1_thumb.jpg", {"pic2.jpg"});
        stub.Set(row.stalled, row.reply);
        const int asked = stub.RequestCount();
        ProgramRun run({"--folder", "77154", "--dest", Destination(), "--proxy", Proxy(), "--pause", "15", "--settings",
                        settings.string()});
        for (const std::string& text : row.presses) {
            ASSERT_TRUE(text.empty() ? stub.WaitForRequests(asked + 1, Ms{20000}) : run.WaitForError(text)) << run.Err;
            run.Signal(SIGINT);
        }

        EXPECT_EQ(run.Finish(Ms{10000}), 130) << run.Err;
        EXPECT_EQ(SplitLines(run.Out), row.out);
        EXPECT_TRUE(IsSummary(SplitLines(run.Err).back(), row.summary)) << run.Err;
        EXPECT_EQ(stub.Count(pic2), 0);
    }
}

// The lines of a run of a list that name its jobs and sum them up, without their times.
Lines RunLines(const std::string& err)
{
    Lines lines;
    for (const std::string& line : SplitLines(err))
        if (line.rfind('[', 0) == 0 || IsSummary(line, "") || line.rfind("Run: ", 0) == 0)
            lines.push_back(std::regex_replace(line, std::regex(" in [0-9]+\\.[0-9] s$"), ""));
    return lines;
}

struct JobListCase {
    const char* name;
    std::string jobs;
    Lines args;
    std::string err;  // the first line on standard error; JOBS stands for the list's path
    std::string httpProxy{};  // empty: the gallery stub
};

class JobListUsageTest : public HeadlessTest, public ::testing::WithParamInterface<JobListCase> {};

// A list that cannot be carried out as a whole runs none of its jobs.
TEST_P(JobListUsageTest, ExitsWithTwoBeforeAnyJobRuns)
{
    const JobListCase& c = GetParam();
    ServeGallery("http://www.fotoarchive.com", "f=1");
    const std::string jobs = (scratch.Path() / "jobs.txt").string();
    WriteFile(jobs, c.jobs);
    Lines args{"--input-file", jobs, "--dest", Destination(), "--settings", settings.string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProgramRun run(args, {"http_proxy=" + (c.httpProxy.empty() ? Proxy() : c.httpProxy)});

    EXPECT_EQ(run.Finish(), 2);
    EXPECT_EQ(SplitLines(run.Err).front(), std::regex_replace(c.err, std::regex("JOBS"), jobs));
    EXPECT_TRUE(stub.Urls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lists, JobListUsageTest,
    ::testing::Values(
        JobListCase{"UnknownWord", "folder 1\nfoldr 2\n", {},
                    "tessary: JOBS:2: unknown job foldr: a line starts with folder, member or set"},
        JobListCase{"MissingValue", "# members\n\n  member \n", {}, "tessary: JOBS:3: member needs a value"},
        JobListCase{"ExtraValue", "set 8436 8437\n", {}, "tessary: JOBS:1: set takes one value; 8437 is one too many"},
        JobListCase{"ControlCharactersInAnUnknownWord", "folder 1\n\x1b[2J\x1b]0;x\x07" "folder 2\n", {},
                    "tessary: JOBS:2: unknown job \\x1B[2J\\x1B]0;x\\x07folder: a line starts with folder, member or set"},
        JobListCase{"ControlCharactersInAnExtraValue", "set 8436 \x1b[31m\x7f\n", {},
                    "tessary: JOBS:1: set takes one value; \\x1B[31m\\x7F is one too many"},
        JobListCase{"FolderZero", "member tessa\nfolder 000\n", {},
                    "tessary: JOBS:2: --folder takes a folder ID, a positive decimal number"},
        JobListCase{"NoJob", "  # none yet\n\n", {}, "tessary: JOBS lists no job"},
        JobListCase{"WithAJobOption", "folder 1\n", {"--folder", "1"},
                    "tessary: --input-file cannot be given with --folder, --member or --set"},
        JobListCase{"ProxyAGalleryJobCannotUse", "set 8436\nfolder 1\n", {},
                    "tessary: http_proxy=:8080 cannot be used: it names no host, as in HOST:PORT", ":8080"}),
    support::CaseName);

// The jobs of a list (here on standard input) run in its order, each with its summary, and one
// more line sums them up.
TEST_F(HeadlessTest, JobListRunsItsJobsInOrderAndSumsThemUp)
{
    const std::string site = "http://www.fotoarchive.com";
    ServeGallery(site, "f=77154");
    ServeGallery(site, "m=tessa", "home");
    WriteFile(scratch.Path() / "jobs.txt", "# nightly\n\n  folder 77154\n\tmember   tessa \r\n");
    ProgramRun run({"--input-file", "-", "--dest", Destination(), "--proxy", Proxy(), "--no-pause", "--settings",
                    settings.string()},
                   {}, (scratch.Path() / "jobs.txt").string());

    EXPECT_EQ(run.Finish(), 0) << run.Err;
    EXPECT_EQ(SplitLines(run.Out), (Lines{site + "/cgi-bin/gallery.cgi?f=77154", "/gallery/tessa/trips/pic1.jpg",
                                          site + "/cgi-bin/gallery.cgi?m=tessa", "/gallery/tessa/home/pic1.jpg"}));
    const std::string summary = "Job completed: 1 fetched, 0 already present, 0 failed, 22 bytes";
    EXPECT_EQ(RunLines(run.Err), (Lines{"[1/2] folder 77154", summary, "[2/2] member tessa", summary,
                                        "Run: 2 jobs, 2 fetched, 0 already present, 0 failed, 44 bytes"}));
}

// A list exits with the worst status of its jobs, whichever comes first: some files failed
// over done, no work done over some files failed, an error over no work done.
TEST_F(HeadlessTest, JobListExitsWithTheWorstStatusOfItsJobs)
{
    const std::string site = "http://www.fotoarchive.com";
    ServeGallery(site, "f=77154");
    ListMorePictures(site, "x_thumb.jpg", {"gone.jpg"});
    ServeGallery(site, "m=tessa", "home");
    stub.Page(site + "/cgi-bin/gallery.cgi?f=99999", "<HTML>\n<H1>Client Error</H1>\n</HTML>\n");
    const std::string closedFtp = "127.0.0.1:" + std::to_string(support::FreeLoopbackPort());
    const fs::path jobs = scratch.Path() / "jobs.txt";
    for (const auto& [list, status] : {std::pair<std::string, int>{"member tessa\nfolder 77154\n", 4},
                                       {"folder 99999\nfolder 77154\n", 3},
                                       {"set 8436\nfolder 99999\n", 1}}) {
        SCOPED_TRACE(list);
        WriteFile(jobs, list);
        ProgramRun run({"--input-file", jobs.string(), "--dest", Destination(), "--proxy", Proxy(), "--ftp-host",
                        closedFtp, "--no-pause", "--settings", settings.string()});

        EXPECT_EQ(run.Finish(), status) << run.Err;
        EXPECT_EQ(SplitLines(run.Err).back().rfind("Run: 2 jobs, ", 0), 0u) << run.Err;
    }
}

// Ctrl+C cancels the running job of a list, and no further job starts.
TEST_F(HeadlessTest, JobListInterruptedStartsNoFurtherJob)
{
    ServeGallery("http://www.fotoarchive.com", "f=77154");
    WriteFile(scratch.Path() / "jobs.txt", "folder 77154\nmember tessa\n");
    bool noticed = false;
    const auto interrupted = RunInterruptedOnce({"--input-file", (scratch.Path() / "jobs.txt").string(), "--dest",
                                                 Destination(), "--proxy", Proxy(), "--settings", settings.string()},
                                                noticed);
    ProgramRun& run = *interrupted;
    ASSERT_TRUE(noticed) << run.Err;

    EXPECT_EQ(run.Finish(), 130) << run.Err;
    EXPECT_EQ(stub.Urls(), Lines{"http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154"});
    EXPECT_EQ(RunLines(run.Err).back(), "Run: 1 of 2 jobs, 0 fetched, 0 already present, 0 failed, 0 bytes");
}

}  // namespace
