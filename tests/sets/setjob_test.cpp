// The set download job end to end against the scripted FTP server: what goes over the wire,
// what the log and the status line show, and what lands in the destination folder.
#include "fixtures/ScriptedFtpServer.h"
#include "mirror/FakeHost.h"
#include "net/NMFtp.h"
#include "net/FTPDirectoryList.h"
#include "platform/files.h"
#include "sets/SetJob.h"
#include "support/files.h"
#include "support/ftp.h"
#include "support/params.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <utility>

#include <time.h>

using fixtures::FtpAction;
using fixtures::Ms;
using fixtures::ScriptedFtpServer;
using support::FileBytes;
using support::FtpActionWith;

namespace {

using support::PrintTo;

namespace fs = std::filesystem;

const std::string kWeb = "http://www.setscans.org";

std::string Entry(const std::string& name, std::size_t size = 5)
{
    return "-rw-r--r--   1 ftp  ftp   " + std::to_string(size) + " Mar  3  1999 " + name + "\r\n";
}

class SetJobTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host.Destination = folder.Text();
        host.Options.FtpHost = "127.0.0.1";
        host.Options.FtpPort = server.Port();
        host.Options.WebBase = kWeb;  // only ever shown: the FTP connection stays up in these tests
        setJob.NMFTP1->WaitLimit = 10000;  // no test waits for ever
    }

    // The commands of every connection, the PORT address checked and its port dropped.
    std::vector<std::string> Transcript() const { return support::FtpTranscript(server); }

    bool HasLog(const std::string& line) const
    {
        return std::find(host.Log.begin(), host.Log.end(), line) != host.Log.end();
    }

    ScriptedFtpServer server;  // first: it outlives the client's good-bye
    TempFolder folder;
    FakeHost host;
    TSetJob setJob{host};
};

TEST(SetJob, ClientCarriesTheWindowsStoredSettings)
{
    FakeHost host;
    const TSetJob setJob(host);
    const TNMFTP& ftp = *setJob.NMFTP1;
    EXPECT_EQ(ftp.Port, 21);
    EXPECT_EQ(ftp.ReportLevel, 4);
    EXPECT_EQ(ftp.UserID, "Anonymous");
    EXPECT_EQ(ftp.Password, "Wayfarers");
    EXPECT_EQ(ftp.Vendor, TNMFTP::VendorDetect);
    EXPECT_FALSE(ftp.ParseList);
    EXPECT_EQ(ftp.TimeOut(), 0);
}

TEST_F(SetJobTest, CompleteJobGoesOverTheWireInOrder)
{
    server.SetListing("total 4\r\n" + Entry("8436-01.gif") + Entry("index.htm") + Entry("index.html") +
                      Entry("8436-02.gif", 6));
    server.SetFile("8436-01.gif", "first");
    server.SetFile("8436-02.gif", "second");
    host.SetNumber = "8436";

    setJob.Start();

    EXPECT_EQ(Transcript(), (std::vector<std::string>{
                                "USER Anonymous", "PASS Wayfarers", "TYPE I", "CWD /pub/brick/scans/08000/8436/",
                                "SYST", "PORT *", "LIST", "PORT *", "RETR 8436-01.gif", "PORT *", "RETR 8436-02.gif",
                                "QUIT"}));
    EXPECT_EQ(host.Log, (std::vector<std::string>{kWeb + "/scans/08000/8436/", "\\scans\\08000\\8436\\8436-01.gif",
                                                  "\\scans\\08000\\8436\\8436-02.gif"}));
    EXPECT_EQ(folder.Tree(), (std::vector<std::string>{"scans/", "scans/08000/", "scans/08000/8436/",
                                                       "scans/08000/8436/8436-01.gif 5",
                                                       "scans/08000/8436/8436-02.gif 6"}));
    EXPECT_EQ(FileBytes(folder.Path() / "scans/08000/8436/8436-02.gif"), "second");

    const auto& s = host.Statuses;
    auto at = [&](const std::string& text) { return std::find(s.begin(), s.end(), text) - s.begin(); };
    EXPECT_LT(at("Establishing conection . . ."), at("USER Anonymous"));
    EXPECT_LT(at("USER Anonymous"), at("PASS "));
    EXPECT_LT(at("Changing Directory . . ."), at("CWD /pub/brick/scans/08000/8436/"));
    EXPECT_LT(at("Getting Directory Listing . . ."), at("LIST"));
    EXPECT_LT(at("Downloading 8436-01.gif. . ."), at("受信 5 Bytes"));
    EXPECT_LT(at("受信 5 Bytes"), static_cast<long>(s.size()));
    EXPECT_LT(at("バッファを送信中"), static_cast<long>(s.size()));  // the transport's level 4
    EXPECT_EQ(std::count(s.begin(), s.end(), "PASS Wayfarers"), 0);
    EXPECT_LT(at(". . . done getting files"), at("QUIT"));  // the good-bye comes last
    EXPECT_FALSE(host.Running);
    EXPECT_TRUE(host.StopRequested);
    EXPECT_EQ(host.Run.Outcome, TJobOutcome::Completed);
    EXPECT_FALSE(setJob.NMFTP1->Connected);
    EXPECT_TRUE(setJob.NMFTP1->ParseList);
}

struct RejectedCase {
    const char* name;
    std::string number;
    std::string line;
};

const std::string kLeadingZero = "Please remove the leading 0 from the set number and try again, download stopped.";
const std::string kTooShort = "I can't download sets that have less than 3 digits, download stopped.";
const std::string kTooLong = "I can't download sets that have more than 5 digits, download stopped.";
const std::string kUnsafe =
    "I can't download sets whose number holds \"/\", \"\\\" or control characters, download stopped.";

class RejectedNumberTest : public SetJobTest, public ::testing::WithParamInterface<RejectedCase> {};

TEST_P(RejectedNumberTest, RejectedNumberMakesNoConnection)
{
    host.SetNumber = GetParam().number;
    setJob.Start();
    EXPECT_EQ(host.Log, std::vector<std::string>{GetParam().line});
    EXPECT_EQ(host.Run.Outcome, TJobOutcome::SetNumberRejected);
    EXPECT_FALSE(host.Running);
    EXPECT_TRUE(host.StopRequested);
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_TRUE(folder.Tree().empty());
}

INSTANTIATE_TEST_SUITE_P(Numbers, RejectedNumberTest,
                         ::testing::Values(RejectedCase{"LeadingZero4", "0123", kLeadingZero},
                                           RejectedCase{"LeadingZero2", "05", kLeadingZero},
                                           RejectedCase{"LeadingZeroBeforeLength", "0123456", kLeadingZero},
                                           RejectedCase{"Two", "12", kTooShort},
                                           RejectedCase{"Empty", "", kTooShort},
                                           RejectedCase{"Six", "123456", kTooLong},
                                           RejectedCase{"Slash", "1/../", kUnsafe},
                                           RejectedCase{"Backslash", "a\\b", kUnsafe},
                                           RejectedCase{"LineBreak", "12\r\n", kUnsafe}),
                         support::CaseName);

struct FolderCase {
    const char* name;
    std::string number;
    std::string slashFolder;
};

class SetFolderTest : public SetJobTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(SetFolderTest, NumberNamesTheRemoteFolderAndAMissingOneEndsTheJob)
{
    server.SetReply("CWD", "550 No such directory.\r\n");
    host.SetNumber = GetParam().number;

    setJob.Start();

    EXPECT_EQ(Transcript(), (std::vector<std::string>{"USER Anonymous", "PASS Wayfarers", "TYPE I",
                                                      "CWD /pub/brick" + GetParam().slashFolder, "QUIT"}));
    EXPECT_EQ(host.Log, (std::vector<std::string>{kWeb + GetParam().slashFolder,
                                                  "Set does not exist, download stopped."}));
    EXPECT_EQ(host.Run.Outcome, TJobOutcome::SetNotFound);
    EXPECT_TRUE(IsSummary(host.Statuses.back(), "stopped, set not found: 0 fetched")) << host.Statuses.back();
    EXPECT_FALSE(host.Running);
    EXPECT_FALSE(setJob.NMFTP1->Connected);
}

INSTANTIATE_TEST_SUITE_P(Numbers, SetFolderTest,
                         ::testing::Values(FolderCase{"Three", "123", "/scans/00000/0123/"},
                                           FolderCase{"Four", "8436", "/scans/08000/8436/"},
                                           FolderCase{"Five", "10179", "/scans/10000/10179/"},
                                           FolderCase{"FiveGroupIsTenThousands", "12345", "/scans/10000/12345/"},
                                           FolderCase{"Nines", "99999", "/scans/90000/99999/"},
                                           FolderCase{"Letters", "abc", "/scans/00000/0abc/"}),
                         support::CaseName);

TEST_F(SetJobTest, ThreeDigitSetLandsInItsZeroPaddedFolder)
{
    server.SetListing(Entry("123-1.gif"));
    server.SetFile("123-1.gif", "12345");
    host.SetNumber = "123";
    setJob.Start();
    EXPECT_EQ(FileBytes(folder.Path() / "scans/00000/0123/123-1.gif"), "12345");
    EXPECT_TRUE(HasLog("\\scans\\00000\\0123\\123-1.gif"));
    // The file takes the time the listing gave it, 1999-03-03.
    EXPECT_EQ(platform::ModifiedTimeOf((folder.Path() / "scans/00000/0123/123-1.gif").string()), 920419200);
}

TEST_F(SetJobTest, ExistingFileIsLoggedButNotFetched)
{
    server.SetListing(Entry("8436-01.gif") + Entry("8436-02.gif"));
    server.SetFile("8436-01.gif", "fresh");
    server.SetFile("8436-02.gif", "fresh");
    fs::create_directories(folder.Path() / "scans/08000/8436");
    support::WriteFile(folder.Path() / "scans/08000/8436/8436-01.gif", "kept");

    setJob.Start();

    EXPECT_TRUE(HasLog("\\scans\\08000\\8436\\8436-01.gif"));
    const std::vector<std::string> transcript = Transcript();
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "RETR 8436-01.gif"), 0);
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "RETR 8436-02.gif"), 1);
    EXPECT_EQ(transcript.back(), "QUIT");
    EXPECT_EQ(FileBytes(folder.Path() / "scans/08000/8436/8436-01.gif"), "kept");
    EXPECT_EQ(FileBytes(folder.Path() / "scans/08000/8436/8436-02.gif"), "fresh");
}

// An update asks again only for the files the listing dates after the stored ones (1999-03-03):
// FTP has no conditional download, the listing's date stands in for one.
TEST_F(SetJobTest, UpdateFetchesOnlyFilesListedAsNewer)
{
    server.SetListing(Entry("8436-01.gif") + Entry("8436-02.gif"));
    server.SetFile("8436-01.gif", "fresh");
    server.SetFile("8436-02.gif", "fresh");
    const fs::path kept = folder.Path() / "scans/08000/8436";
    fs::create_directories(kept);
    support::WriteFile(kept / "8436-01.gif", "kept");
    support::WriteFile(kept / "8436-02.gif", "older");
    ASSERT_TRUE(platform::SetModifiedTime((kept / "8436-02.gif").string(), 631152000));  // 1990
    host.Options.Update = true;

    setJob.Start();

    const std::vector<std::string> transcript = Transcript();
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "RETR 8436-01.gif"), 0);
    EXPECT_EQ(FileBytes(kept / "8436-01.gif"), "kept");
    EXPECT_EQ(FileBytes(kept / "8436-02.gif"), "fresh");
    EXPECT_EQ(host.Run.Tally.Present, 1);
    EXPECT_EQ(host.Run.Tally.Fetched, 1);
}

struct RestartCase {
    const char* name;
    std::string restReply;                // to "REST 8"
    std::optional<FtpAction> firstRetr;   // the first RETR's action; none: the whole file
    std::vector<std::string> transfer;    // the commands after the listing's
};

class RestartTest : public SetJobTest, public ::testing::WithParamInterface<RestartCase> {};

// A partial file is continued when the server restarts; a restart it refuses, at REST or only at
// RETR, fetches the file whole over the same connection.
TEST_P(RestartTest, PartialFileEndsAsTheServersFile)
{
    const RestartCase& c = GetParam();
    server.SetListing(Entry("8436-01.gif", 12));
    server.SetFile("8436-01.gif", "scanned page");
    server.SetReply("REST", c.restReply);
    if (c.firstRetr)
        server.SetAction("RETR", 1, *c.firstRetr);
    const fs::path setFolder = folder.Path() / "scans/08000/8436";
    fs::create_directories(setFolder);
    const std::string partial = platform::PartialPath(setFolder.string() + "/", "8436-01.gif");
    support::WriteFile(partial, "scanned ");
    // The note of the version the listing still gives: its size and date.
    const long long listedTime = ParseListingDate("Mar  3  1999", std::time(nullptr));
    ASSERT_TRUE(platform::WritePartialNote(partial, {kWeb + "/scans/08000/8436/8436-01.gif", 12, std::to_string(listedTime), ""}));

    setJob.Start();

    const std::vector<std::string> transcript = Transcript();
    const auto listed = std::find(transcript.begin(), transcript.end(), "LIST");
    ASSERT_NE(listed, transcript.end());
    EXPECT_EQ(std::vector<std::string>(listed + 1, transcript.end()), c.transfer);
    EXPECT_EQ(FileBytes(setFolder / "8436-01.gif"), "scanned page");
    EXPECT_EQ(folder.Tree(), (std::vector<std::string>{"scans/", "scans/08000/", "scans/08000/8436/",
                                                       "scans/08000/8436/8436-01.gif 12"}));
    EXPECT_EQ(host.Run.Tally.Fetched, 1);
    EXPECT_EQ(host.Run.Tally.Failed, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RestartTest,
    ::testing::Values(
        RestartCase{"Continued", "350 Restarting at 8.\r\n", FtpActionWith([](FtpAction& a) { a.data = "page"; }),
                    {"PORT *", "REST 8", "RETR 8436-01.gif", "QUIT"}},
        RestartCase{"RefusedAtRest", "502 Command not implemented.\r\n", std::nullopt,
                    {"PORT *", "REST 8", "RETR 8436-01.gif", "QUIT"}},
        RestartCase{"RefusedAtRetr", "350 Restarting at 8.\r\n",
                    FtpAction::Text("550 No support for resume of ASCII transfer.\r\n"),
                    {"PORT *", "REST 8", "RETR 8436-01.gif", "PORT *", "RETR 8436-01.gif", "QUIT"}}),
    support::CaseName);

TEST_F(SetJobTest, HostileNamesAreNamedAndNeverFetched)
{
    server.SetListing(Entry("..") + Entry(".") + Entry("../../up.gif") + Entry("a\\b.gif") + Entry("bad\x01name") +
                      Entry("trail.gif ") + Entry("good.gif"));
    server.SetFile("good.gif", "fine!");

    setJob.Start();

    for (const char* shown : {"..", ".", "../../up.gif", "a\\b.gif", "bad\\x01name", ""})
        EXPECT_TRUE(HasLog(std::string("** Skipping unsafe file name ") + shown)) << shown;
    for (const std::string& line : host.Log)  // one line names each, and no folder line leads to it
        EXPECT_TRUE(line.rfind("\\scans\\", 0) != 0 || line == "\\scans\\08000\\8436\\good.gif") << line;
    std::vector<std::string> retrieved;
    for (const std::string& line : Transcript())
        if (line.rfind("RETR ", 0) == 0)
            retrieved.push_back(line);
    EXPECT_EQ(retrieved, std::vector<std::string>{"RETR good.gif"});
    EXPECT_EQ(folder.Tree(), (std::vector<std::string>{"scans/", "scans/08000/", "scans/08000/8436/",
                                                       "scans/08000/8436/good.gif 5"}));
}

TEST_F(SetJobTest, TransferAbortedBy426IsLoggedRemovedAndTheJobGoesOn)
{
    server.SetListing(Entry("cut.gif", 5000) + Entry("whole.gif", 5000));
    server.SetGeneratedFile("cut.gif", 5000);
    server.SetGeneratedFile("whole.gif", 5000);
    FtpAction abort;
    abort.midReplyAfter = 1000;
    abort.midReply = "426 Connection closed; transfer aborted.\r\n";
    abort.dataLimit = 1000;
    abort.finalReply = "";
    server.SetAction("RETR", 1, abort);

    setJob.Start();

    EXPECT_EQ(host.Log, (std::vector<std::string>{kWeb + "/scans/08000/8436/", "\\scans\\08000\\8436\\cut.gif",
                                                  "error ftping file", "\\scans\\08000\\8436\\whole.gif"}));
    EXPECT_EQ(folder.Tree(), (std::vector<std::string>{"scans/", "scans/08000/", "scans/08000/8436/",
                                                       "scans/08000/8436/whole.gif 5000"}));
    EXPECT_FALSE(host.MultimediaLockout);
    EXPECT_EQ(std::count(host.Statuses.begin(), host.Statuses.end(), ". . . done getting files"), 1);
}

TEST_F(SetJobTest, CancelDuringATransferStopsBeforeTheNextFile)
{
    server.SetListing(Entry("1.gif") + Entry("2.gif") + Entry("3.gif"));
    for (const char* name : {"1.gif", "2.gif", "3.gif"})
        server.SetFile(name, "bytes");
    setJob.NMFTP1->OnTransactionStop = [this](TComponent*) {
        if (host.Downloading)  // pressed while the first file comes in, not during the listing
            host.Cancel();
    };

    setJob.Start();

    EXPECT_EQ(Transcript(), (std::vector<std::string>{"USER Anonymous", "PASS Wayfarers", "TYPE I",
                                                      "CWD /pub/brick/scans/08000/8436/", "SYST", "PORT *", "LIST",
                                                      "PORT *", "RETR 1.gif", "QUIT"}));
    EXPECT_EQ(host.Log.back(), "Cancel button pressed, download stopped.");
    EXPECT_EQ(FileBytes(folder.Path() / "scans/08000/8436/1.gif"), "bytes");
    EXPECT_TRUE(IsSummary(host.Statuses.back(), "cancelled: 1 fetched")) << host.Statuses.back();
}

TEST_F(SetJobTest, ConnectionLeftOpenIsClosedBeforeTheNewOne)
{
    server.SetListing("");
    setJob.NMFTP1->Host = "127.0.0.1";
    setJob.NMFTP1->Port = server.Port();
    setJob.NMFTP1->Connect();
    ASSERT_TRUE(setJob.NMFTP1->Connected);

    setJob.Start();

    std::vector<std::string> first;
    for (const auto& record : server.CommandRecords())
        if (record.connection == 0)
            first.push_back(record.line);
    EXPECT_EQ(first, (std::vector<std::string>{"USER Anonymous", "PASS Wayfarers", "QUIT"}));
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(SetJobTest, RefusedLogInEscapesTheJobAndLeavesTheButtonsRunning)
{
    server.SetReply("PASS", "530 Login incorrect.\r\n");
    try {
        setJob.Start();
        ADD_FAILURE() << "the refusal did not escape";
    } catch (const FTPException& e) {
        EXPECT_THAT(e.Message(), support::CarriesReply("530 Login incorrect.\r\n"));
    }
    EXPECT_TRUE(host.Running);
    EXPECT_EQ(host.Statuses.back(), "切断しました");
    EXPECT_FALSE(setJob.NMFTP1->Connected);
}

struct RefusedCommandCase {
    const char* name;
    std::string verb;
    std::string reply;
    std::string refused;  // the command line the reply answered
};

class RefusedCommandTest : public SetJobTest, public ::testing::WithParamInterface<RefusedCommandCase> {};

// A server that will not list the set, or not send its files as they are, ends the job there.
TEST_P(RefusedCommandTest, RefusalEscapesTheJobAndTheSessionEnds)
{
    const RefusedCommandCase& c = GetParam();
    server.SetListing(Entry("8436-01.gif"));
    server.SetFile("8436-01.gif", "first");
    server.SetReply(c.verb, c.reply);
    try {
        setJob.Start();
        ADD_FAILURE() << "the refusal did not escape";
    } catch (const FTPException& e) {
        EXPECT_THAT(e.Message(), support::CarriesReply(c.reply));
    }
    EXPECT_TRUE(host.Running);
    EXPECT_FALSE(setJob.NMFTP1->Connected);
    const std::vector<std::string> transcript = Transcript();
    ASSERT_GE(transcript.size(), 2u);
    EXPECT_EQ(transcript[transcript.size() - 2], c.refused);
    EXPECT_EQ(transcript.back(), "QUIT");
    EXPECT_TRUE(folder.Tree().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RefusedCommandTest,
    ::testing::Values(RefusedCommandCase{"Listing", "LIST", "550 Cannot list.\r\n", "LIST"},
                      RefusedCommandCase{"BinaryType", "TYPE", "504 Type not implemented.\r\n", "TYPE I"}),
    support::CaseName);

const std::string kTimedOut = "10060:Connection timed out";

// One hostile or broken server behaviour and what the job must make of it.
struct HostileCase {
    const char* name;
    const char* verb;  // whose action is set; "" the greeting
    int nth;           // its occurrence, 0 every one
    FtpAction action;
    int waitLimit;     // milliseconds: short where the server is meant to outlast it
    std::vector<std::string> log;    // after the web line
    std::vector<std::string> files;  // in the set's folder, "name size"
    std::string error;               // what escapes the job; empty: it ends normally
    bool abortMidway = false;        // cancel, then abort the first file's transfer
    bool quietWaits = false;         // the waits must not keep the processor busy
};

class HostileServerTest : public SetJobTest, public ::testing::WithParamInterface<HostileCase> {
protected:
    // Files in the set's folder, as "name size".
    std::vector<std::string> SetFiles() const
    {
        const std::string setFolder = "scans/08000/8436/";
        std::vector<std::string> files;
        for (const std::string& line : folder.Tree())
            if (line.rfind(setFolder, 0) == 0 && line.size() > setFolder.size())
                files.push_back(line.substr(setFolder.size()));
        return files;
    }

    GalleryStub web;  // where the files come from once the FTP connection is gone
};

double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST_P(HostileServerTest, JobKeepsOnlyWholeFilesAndEndsInBoundedTime)
{
    const HostileCase& c = GetParam();
    server.SetListing(Entry("1.gif", 5000) + Entry("2.gif", 5000));
    server.SetGeneratedFile("1.gif", 5000);
    server.SetGeneratedFile("2.gif", 5000);
    if (std::string(c.verb).empty())
        server.SetGreeting(c.action);
    else
        server.SetAction(c.verb, c.nth, c.action);
    web.Set(kWeb + "/scans/08000/8436/1.gif", fixtures::Reply::Status(200, "OK", "web 1"));
    web.Set(kWeb + "/scans/08000/8436/2.gif", fixtures::Reply::Status(200, "OK", "web 2"));
    host.UseProxy(web.Port());
    setJob.NMFTP1->WaitLimit = c.waitLimit;
    bool aborted = false;
    if (c.abortMidway) {
        setJob.NMFTP1->OnPacketRecvd = [&](TComponent*) {  // Ctrl+C twice while the file comes in
            if (!std::exchange(aborted, true)) {
                host.Cancel();
                setJob.NMFTP1->Abort();
            }
        };
    }

    const double cpuBefore = ThreadCpuSeconds();
    std::string error;
    try {
        setJob.Start();
    } catch (const Exception& e) {
        error = e.Message();
    }
    const double cpu = ThreadCpuSeconds() - cpuBefore;

    EXPECT_THAT(error, ::testing::StartsWith(c.error));  // the old text, then where and why
    EXPECT_EQ(error.empty(), c.error.empty());
    std::vector<std::string> log{kWeb + "/scans/08000/8436/"};
    log.insert(log.end(), c.log.begin(), c.log.end());
    EXPECT_EQ(host.Log, log);
    EXPECT_EQ(SetFiles(), c.files);
    EXPECT_EQ(host.Running, !c.error.empty());
    if (c.error.empty() && !c.abortMidway) {  // a job that ran to its end: each missing file failed once
        EXPECT_EQ(host.Run.Tally.Failed, 2 - static_cast<int>(c.files.size()));
    }
    EXPECT_EQ(host.Run.Tally.Aborted, c.abortMidway ? 1 : 0);
    EXPECT_FALSE(setJob.NMFTP1->Connected);
    if (c.quietWaits) {  // the server keeps every PORT reply back 1.5 s in all
        EXPECT_LT(cpu, 0.75);
    }
}

const std::string k1 = "\\scans\\08000\\8436\\1.gif";
const std::string k2 = "\\scans\\08000\\8436\\2.gif";
const std::string kFtpError = "error ftping file";
const std::string kListingTooLong = "ディレクトリ一覧が長すぎます";

// `count` listing lines of `size` bytes each, line end included.
std::string Lines(std::size_t count, std::size_t size)
{
    std::string line(size - 2, 'x');
    line += "\r\n";
    std::string text;
    text.reserve(count * size);
    for (std::size_t i = 0; i < count; ++i)
        text += line;
    return text;
}

// A reply line sent over and over before the real reply, `gap` apart.
FtpAction Flood(const char* line, int count, Ms gap)
{
    FtpAction a;
    a.floodLine = line;
    a.floodCount = count;
    a.floodGap = gap;
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Servers, HostileServerTest,
    ::testing::Values(
        HostileCase{"SilentDirectoryChange", "CWD", 0, FtpAction::Stall(), 300, {}, {}, kTimedOut},
        HostileCase{"ListingNeverConnects", "LIST", 0, FtpActionWith([](FtpAction& a) { a.connectBack = false; }),
                    300, {}, {}, kTimedOut},
        HostileCase{"DownloadStalls", "RETR", 0, FtpActionWith([](FtpAction& a) { a.stallAfter = 2000; }), 300,
                    {k1, kFtpError}, {}, kTimedOut},
        HostileCase{"EndlessGreeting", "", 0, Flood("220-Welcome\r\n", 1000000, Ms{20}), 300, {}, {}, kTimedOut},
        HostileCase{"EndlessPreliminaryReply", "RETR", 1, Flood("150-Wait\r\n", 1000000, Ms{20}), 300,
                    {k1, kFtpError}, {}, kTimedOut},
        HostileCase{"RunawayPreliminaryReply", "RETR", 1, Flood("150-x\r\n", 5000, Ms{0}), 10000,
                    {k1, kFtpError, k2}, {"1.gif 5", "2.gif 5"}, ""},
        HostileCase{"ListingOfTooManyEntries", "LIST", 0,
                    FtpActionWith([](FtpAction& a) { a.data = Lines(TNMFTP::MaxListingEntries + 1, 3); }), 10000,
                    {}, {}, kListingTooLong},
        HostileCase{"ListingOfTooManyBytes", "LIST", 0,
                    FtpActionWith([](FtpAction& a) { a.data = Lines(TNMFTP::MaxListingBytes / 1000 + 1, 1000); }),
                    10000, {}, {}, kListingTooLong},
        HostileCase{"DataConnectionBeforePortReply", "PORT", 0, FtpActionWith([](FtpAction& a) {
                        a.connectOnPort = true;
                        a.delay = Ms{500};
                    }),
                    10000, {k1, k2}, {"1.gif 5000", "2.gif 5000"}, "", false, true},
        HostileCase{"DataResetThenComplete", "RETR", 1, FtpActionWith([](FtpAction& a) {
                        a.dataLimit = 2000;
                        a.resetData = true;
                    }),
                    10000, {k1, kFtpError, k2}, {"2.gif 5000"}, ""},
        HostileCase{"FewerBytesThanAnnouncedThenComplete", "RETR", 1,
                    FtpActionWith([](FtpAction& a) { a.dataLimit = 2500; }), 10000, {k1, kFtpError, k2},
                    {"2.gif 5000"}, ""},
        HostileCase{"LateAbortReplyAfterSecondCtrlC", "RETR", 1, FtpActionWith([](FtpAction& a) {
                        a.chunk = 500;
                        a.chunkGap = Ms{20};
                        a.finalReply = "426 Transfer aborted.\r\n";
                        a.finalDelay = Ms{200};
                    }),
                    10000, {k1, "Cancel button pressed, download stopped."}, {}, "", true},
        HostileCase{"ControlDropMidFile", "RETR", 1, FtpActionWith([](FtpAction& a) { a.closeControlAfter = 2000; }),
                    10000, {k1, kFtpError, k2}, {"1.gif 5", "2.gif 5"}, ""}),
    support::CaseName);

}  // namespace
