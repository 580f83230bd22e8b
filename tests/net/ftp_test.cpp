// The FTP client against the scripted FTP server: the server runs on a background thread and
// records every command; the client runs on the test's thread with its own waiting loops.
#include "net/NMFtp.h"

#include "fixtures/ScriptedFtpServer.h"
#include "platform/winsock.h"
#include "support/TempFolder.h"
#include "support/files.h"
#include "support/ftp.h"
#include "support/loopback.h"
#include "support/params.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

using fixtures::FtpAction;
using fixtures::Ms;
using fixtures::ScriptedFtpServer;
using support::CarriesReply;
using support::FileBytes;
using support::FtpActionWith;
using support::FtpTranscript;
using ::testing::StartsWith;

namespace {

using support::PrintTo;

namespace fs = std::filesystem;

constexpr Ms kBound{10000};
const std::string kTimedOut = "10060:Connection timed out";

int Count(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

class FtpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.UserID = "tessa";
        ftp.Password = "secret";
        ftp.ReportLevel = 1;
        ftp.WaitLimit = static_cast<int>(kBound.count());  // no test waits for ever
        ftp.OnStatus = [this](TComponent*, const std::string& status) { statuses.push_back(status); };
    }

    bool HasStatus(const std::string& text) const { return Count(statuses, text) > 0; }

    // Index of the first status equal to `text`, or -1.
    int StatusIndex(const std::string& text) const
    {
        auto it = std::find(statuses.begin(), statuses.end(), text);
        return it == statuses.end() ? -1 : static_cast<int>(it - statuses.begin());
    }

    ScriptedFtpServer server;  // first: it outlives the client's good-bye
    support::TempFolder temp;
    const std::string dir = temp.Text();
    TNMFTP ftp;
    std::vector<std::string> statuses;
};

// ---------------------------------------------------------------------------------------------
// Log-in

TEST_F(FtpTest, MultiLineGreetingIsReadWholeBeforeUser)
{
    server.SetGreeting(FtpAction::Pieces(
        {"220-Wel", "come\r\n", " an indented line\r\n220-sec", "ond\r\n", "220", " ", "ready\r\n"}, Ms{20}));
    int connects = 0;
    ftp.OnConnect = [&](TComponent*) { ++connects; };

    ftp.Connect();

    EXPECT_TRUE(ftp.Connected);
    EXPECT_EQ(connects, 1);
    const int first = StatusIndex("220-Welcome\r\n");
    const int second = StatusIndex(" an indented line\r\n");
    const int third = StatusIndex("220-second\r\n");
    const int last = StatusIndex("220 ready\r\n");
    const int user = StatusIndex("USER tessa");
    ASSERT_GE(first, 0);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_LT(third, last);
    EXPECT_LT(last, user);
    EXPECT_EQ(FtpTranscript(server), (std::vector<std::string>{"USER tessa", "PASS secret"}));
}

struct LogInCase {
    const char* name;
    std::string userReply;
    std::string passReply;
    std::vector<std::string> commands;
    std::string refusal;  // empty: the log-in succeeds
};

class LogInTest : public FtpTest, public ::testing::WithParamInterface<LogInCase> {};

TEST_P(LogInTest, RepliesDecideThePasswordAndTheOutcome)
{
    const LogInCase& c = GetParam();
    server.SetReply("USER", c.userReply);
    if (!c.passReply.empty())
        server.SetReply("PASS", c.passReply);
    int connects = 0;
    int failures = 0;
    ftp.OnConnect = [&](TComponent*) { ++connects; };
    ftp.OnConnectionFailed = [&](TComponent*) { ++failures; };

    if (c.refusal.empty()) {
        ftp.Connect();
        EXPECT_TRUE(ftp.Connected);
        EXPECT_EQ(connects, 1);
        EXPECT_EQ(failures, 0);
    } else {
        try {
            ftp.Connect();
            ADD_FAILURE() << "the log-in was not refused";
        } catch (const FTPException& e) {
            EXPECT_THAT(e.Message(), CarriesReply(c.refusal));
        }
        EXPECT_FALSE(ftp.Connected);
        EXPECT_EQ(connects, 0);
        EXPECT_EQ(failures, 1);
        EXPECT_TRUE(HasStatus("切断しました"));
    }
    EXPECT_EQ(FtpTranscript(server), c.commands);
    EXPECT_EQ(HasStatus("PASS "), Count(c.commands, "PASS secret") == 1);
    for (const std::string& status : statuses)
        EXPECT_EQ(status.find("secret"), std::string::npos) << status;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LogInTest,
    ::testing::Values(
        LogInCase{"UserAlone230", "230 Logged in.\r\n", "", {"USER tessa"}, ""},
        LogInCase{"Password331", "331 Password please.\r\n", "230 In.\r\n", {"USER tessa", "PASS secret"}, ""},
        LogInCase{"MultiLine230", "230-Welcome\r\n230 In.\r\n", "", {"USER tessa"}, ""},
        LogInCase{"UserReply400IsNoRefusal", "400 Odd.\r\n", "", {"USER tessa"}, ""},
        LogInCase{"UserRefused", "530 Not you.\r\n", "", {"USER tessa", "QUIT"}, "530 Not you.\r\n"},
        LogInCase{"PasswordRefused", "331 Password please.\r\n", "530 Login incorrect.\r\n",
                  {"USER tessa", "PASS secret", "QUIT"}, "530 Login incorrect.\r\n"},
        LogInCase{"UserReply401Refused", "401 No.\r\n", "", {"USER tessa", "QUIT"}, "401 No.\r\n"}),
    support::CaseName);

TEST_F(FtpTest, ProxyUserLineNamesTheHostWhileTheStatusDoesNot)
{
    ftp.Proxy = "127.0.0.1";
    ftp.ProxyPort = server.Port();
    ftp.Host = "files.example";  // never contacted: the proxy is
    ftp.Port = 21;

    ftp.Connect();

    ASSERT_TRUE(ftp.Connected);
    EXPECT_EQ(FtpTranscript(server), (std::vector<std::string>{"USER tessa@files.example", "PASS secret"}));
    EXPECT_TRUE(HasStatus("USER tessa"));
    for (const std::string& status : statuses)
        EXPECT_EQ(status.find("@files.example"), std::string::npos) << status;
}

TEST_F(FtpTest, ConnectWhileConnectedDoesNothing)
{
    int connects = 0;
    ftp.OnConnect = [&](TComponent*) { ++connects; };
    ftp.Connect();
    ftp.Connect();
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(FtpTranscript(server).size(), 2u);
}

TEST_F(FtpTest, ErrorInsideOnConnectDisconnectsAndPassesOn)
{
    ftp.OnConnect = [](TComponent*) { throw Exception("job failed"); };
    try {
        ftp.Connect();
        ADD_FAILURE() << "the handler's error was swallowed";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "job failed");
    }
    EXPECT_FALSE(ftp.Connected);
    EXPECT_TRUE(HasStatus("切断しました"));
    EXPECT_EQ(FtpTranscript(server).back(), "QUIT");
}

// ---------------------------------------------------------------------------------------------
// Commands

TEST(FtpCommandType, FirstWordSelectsTheType)
{
    const std::pair<const char*, TCmdType> table[] = {
        {"CWD /pub", TCmdType::CmdCwd},  {"MKD new", TCmdType::CmdMkd},    {"DELE old", TCmdType::CmdDele},
        {"RMD gone", TCmdType::CmdRmd},  {"PWD", TCmdType::CmdPwd},        {"PWD now", TCmdType::CmdOther},
        {"SYST", TCmdType::CmdOther},    {"cwd /pub", TCmdType::CmdOther}, {"CWDX /pub", TCmdType::CmdOther},
        {"CWD", TCmdType::CmdCwd},       {"", TCmdType::CmdOther},
    };
    for (const auto& [command, type] : table)
        EXPECT_EQ(TNMFTP::CommandType(command), type) << command;
}

struct CwdCase {
    const char* name;
    std::string reply;
    bool raises;
    bool unsupported;  // OnUnSupportedFunction fires
};

class CwdTest : public FtpTest, public ::testing::WithParamInterface<CwdCase> {};

TEST_P(CwdTest, ReplyNumberDecidesSuccessOrRefusal)
{
    const CwdCase& c = GetParam();
    server.SetReply("CWD", c.reply);
    std::vector<TCmdType> successes;
    int unsupported = 0;
    ftp.OnSuccess = [&](TCmdType type) { successes.push_back(type); };
    ftp.OnUnSupportedFunction = [&](TCmdType type) {
        EXPECT_EQ(type, TCmdType::CmdCwd);
        ++unsupported;
    };
    ftp.Connect();

    if (c.raises) {
        try {
            ftp.ChangeDirectory("/pub/brick");
            ADD_FAILURE() << "no refusal";
        } catch (const FTPException& e) {
            EXPECT_THAT(e.Message(), CarriesReply(c.reply));
        }
        EXPECT_TRUE(successes.empty());
    } else {
        ftp.ChangeDirectory("/pub/brick");
        EXPECT_EQ(successes, std::vector<TCmdType>{TCmdType::CmdCwd});
    }
    EXPECT_EQ(unsupported, c.unsupported ? 1 : 0);
    EXPECT_TRUE(ftp.Connected);
    EXPECT_EQ(FtpTranscript(server).back(), "CWD /pub/brick");
    EXPECT_TRUE(HasStatus("CWD /pub/brick"));
}

INSTANTIATE_TEST_SUITE_P(Replies, CwdTest,
                         ::testing::Values(CwdCase{"Ok250", "250 Okay.\r\n", false, false},
                                           CwdCase{"Missing550", "550 No such directory.\r\n", true, false},
                                           CwdCase{"Busy400", "400 Try later.\r\n", true, false},
                                           CwdCase{"Unknown502", "502 Not implemented.\r\n", true, true},
                                           CwdCase{"Drop421", "421 Service closing.\r\n", true, false},
                                           CwdCase{"Odd399", "399 Hmm.\r\n", false, false}),
                         support::CaseName);

// The type is one command, reported like any other; a refusal raises and leaves the session.
TEST_F(FtpTest, TransferTypeIsOneCommandAndItsRefusalRaises)
{
    std::vector<TCmdType> successes;
    ftp.OnSuccess = [&](TCmdType type) { successes.push_back(type); };
    ftp.Connect();

    ftp.TransferType("I");
    EXPECT_EQ(FtpTranscript(server), (std::vector<std::string>{"USER tessa", "PASS secret", "TYPE I"}));
    EXPECT_TRUE(HasStatus("TYPE I"));
    EXPECT_EQ(successes, std::vector<TCmdType>{TCmdType::CmdOther});

    server.SetReply("TYPE", "504 Type not implemented.\r\n");
    try {
        ftp.TransferType("L 8");
        ADD_FAILURE() << "no refusal";
    } catch (const FTPException& e) {
        EXPECT_THAT(e.Message(), CarriesReply("504 Type not implemented.\r\n"));
        EXPECT_THAT(e.Message(), ::testing::HasSubstr("(command TYPE at 127.0.0.1:"));
    }
    EXPECT_EQ(FtpTranscript(server).back(), "TYPE L 8");
    EXPECT_EQ(successes.size(), 1u);
    EXPECT_TRUE(ftp.Connected);
}

TEST_F(FtpTest, HandledFailureSuppressesTheRefusalAndTheSuccess)
{
    server.SetReply("MKD", "550 Exists.\r\n");
    int successes = 0;
    std::vector<TCmdType> failures;
    ftp.OnSuccess = [&](TCmdType) { ++successes; };
    ftp.OnFailure = [&](bool& handled, TCmdType type) {
        failures.push_back(type);
        handled = true;
    };
    ftp.Connect();
    ftp.IssueCommand("MKD new");
    EXPECT_EQ(failures, std::vector<TCmdType>{TCmdType::CmdMkd});
    EXPECT_EQ(successes, 0);
}

TEST_F(FtpTest, IssueCommandWithoutConnectionRaisesAndSendsNothing)
{
    EXPECT_THROW(ftp.IssueCommand("PWD"), Exception);
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(FtpTest, DisconnectSendsQuitOnceAndNothingWhenNotConnected)
{
    ftp.Disconnect();
    EXPECT_EQ(server.Connections(), 0);

    ftp.Connect();
    ftp.Disconnect();
    EXPECT_FALSE(ftp.Connected);
    ftp.Disconnect();
    EXPECT_EQ(Count(FtpTranscript(server), "QUIT"), 1);
    EXPECT_TRUE(HasStatus("QUIT"));
    EXPECT_TRUE(HasStatus("221 Goodbye.\r\n"));
}

TEST_F(FtpTest, RefusedQuitRaisesButStillDisconnects)
{
    server.SetReply("QUIT", "500 No.\r\n");
    ftp.Connect();
    try {
        ftp.Disconnect();
        ADD_FAILURE() << "no refusal";
    } catch (const FTPException& e) {
        EXPECT_THAT(e.Message(), CarriesReply("500 No.\r\n"));
    }
    EXPECT_FALSE(ftp.Connected);
}

// ---------------------------------------------------------------------------------------------
// System type and listings

TEST(FtpVendor, FirstWordFoundInTheSystemReplyWins)
{
    const std::pair<const char*, int> table[] = {
        {"215 UNIX Type: L8\r\n", 2400},    {"215 NETWARE\r\n", 2416},       {"215 MSDOS\r\n", 2401},
        {"215 VMS V5.5\r\n", 2406},         {"215 MVS is the system\r\n", 2408},
        {"215 VM/ESA\r\n", 2402},           {"215 MACOS Peter's Server\r\n", 2404},
        {"215 OS/400 V4R3\r\n", 2414},      {"215 Windows_NT\r\n", 2410},
        {"215 unix\r\n", 2410},             {"500 SYST not understood\r\n", 2410},
        {"215 UNIX emulated by VMS\r\n", 2400},
    };
    for (const auto& [reply, vendor] : table)
        EXPECT_EQ(TNMFTP::VendorFromSystem(reply), vendor) << reply;
}

TEST_F(FtpTest, SystIsAskedOncePerConnection)
{
    server.SetReply("SYST", "215 VMS V5.5\r\n");
    ftp.Connect();
    ftp.ParseList = true;
    ftp.ListDirectory();
    EXPECT_EQ(ftp.Vendor, 2406);
    ftp.ListDirectory();
    ftp.Disconnect();
    EXPECT_EQ(ftp.Vendor, TNMFTP::VendorDetect);
    EXPECT_EQ(ftp.DirectoryList, nullptr);
    ftp.Connect();
    ftp.ListDirectory();

    EXPECT_EQ(FtpTranscript(server),
              (std::vector<std::string>{"USER tessa", "PASS secret", "SYST", "PORT *", "LIST", "PORT *", "LIST",
                                        "QUIT", "USER tessa", "PASS secret", "SYST", "PORT *", "LIST"}));
}

TEST_F(FtpTest, FailedSystStillListsWithTheUnixParser)
{
    server.SetReply("SYST", "500 Unknown command.\r\n");
    server.SetListing("-rw-r--r-- 1 ftp ftp 5 Mar 3 1999 a.gif\r\n");
    ftp.Connect();
    ftp.ParseList = true;
    ftp.ListDirectory();
    EXPECT_EQ(ftp.Vendor, 2410);
    ASSERT_NE(ftp.DirectoryList, nullptr);
    EXPECT_EQ(ftp.DirectoryList->FileNames, std::vector<std::string>{"a.gif"});
}

TEST_F(FtpTest, KnownOrUnknownPresetVendorSkipsSystAndStillParses)
{
    server.SetListing("-rw-r--r-- 1 ftp ftp 5 Mar 3 1999 a.gif\r\n");
    for (int vendor : {2400, 2405}) {
        ftp.Vendor = vendor;
        ftp.ParseList = true;
        ftp.Connect();
        ftp.ListDirectory();
        ASSERT_NE(ftp.DirectoryList, nullptr);
        EXPECT_EQ(ftp.DirectoryList->FileNames, std::vector<std::string>{"a.gif"}) << vendor;
        ftp.Disconnect();
    }
    EXPECT_EQ(Count(FtpTranscript(server), "SYST"), 0);
}

TEST_F(FtpTest, ListingLinesArriveWhateverTheirShapeAndCuts)
{
    const std::string longName(300, 'n');
    server.SetListing("total 5\r\n"
                      "-rw-r--r--   1 ftp  ftp   51234 Mar  3  1999 8436-01.gif\r\n"
                      "x\n"
                      "\r\n"
                      "  -rw-r--r-- 1 ftp ftp 10 Mar 3 1999 lead.gif\r\n"
                      "-rw-r--r-- 1 ftp ftp 11 Mar 3 1999 trail.gif \r\n"
                      "-rw-r--r-- 1 ftp ftp 12 Mar 3 1999 my file.gif\r\n"
                      "-rw-r--r-- 1 ftp ftp 13 Mar 3 1999 " + longName + "\n"
                      "-rw-r--r-- 1 ftp ftp 77 Mar 3 1999 last.gif");
    FtpAction slow;
    slow.chunk = 7;  // lines cut at awkward places
    slow.chunkGap = Ms{2};
    server.SetAction("LIST", 0, slow);
    std::vector<std::string> items;
    ftp.OnListItem = [&](const std::string& line) { items.push_back(line); };
    ftp.ParseList = true;
    ftp.Connect();

    ftp.ListDirectory();

    EXPECT_EQ(items, (std::vector<std::string>{
                         "total 5",
                         "-rw-r--r--   1 ftp  ftp   51234 Mar  3  1999 8436-01.gif",
                         "x\n",
                         "\r\n",
                         "  -rw-r--r-- 1 ftp ftp 10 Mar 3 1999 lead.gif",
                         "-rw-r--r-- 1 ftp ftp 11 Mar 3 1999 trail.gif ",
                         "-rw-r--r-- 1 ftp ftp 12 Mar 3 1999 my file.gif",
                         "-rw-r--r-- 1 ftp ftp 13 Mar 3 1999 " + longName,
                         "-rw-r--r-- 1 ftp ftp 77 Mar 3 1999 last.gif",
                     }));
    ASSERT_NE(ftp.DirectoryList, nullptr);
    const TFTPDirectoryList& list = *ftp.DirectoryList;
    EXPECT_EQ(list.FileNames, (std::vector<std::string>{"8436-01.gif", "lead.gif", "", "file.gif",
                                                        std::string(255, 'n'), "last.gif"}));
    EXPECT_EQ(list.FileSizes, (std::vector<std::string>{"51234", "10", "Mar", "Mar", "13", "77"}));
    EXPECT_EQ(list.FileModes[1], "");
    EXPECT_TRUE(HasStatus("受信 0 Bytes"));
    EXPECT_TRUE(HasStatus("226 Transfer complete.\r\n"));
    EXPECT_EQ(ftp.DataSocket, nullptr);
}

TEST_F(FtpTest, ListingClearsTheEntriesOfTheLastOne)
{
    server.SetListing("-rw-r--r-- 1 ftp ftp 5 Mar 3 1999 a.gif\r\n-rw-r--r-- 1 ftp ftp 5 Mar 3 1999 b.gif\r\n");
    ftp.ParseList = true;
    ftp.Connect();
    ftp.ListDirectory();
    ftp.ListDirectory();
    ASSERT_NE(ftp.DirectoryList, nullptr);
    EXPECT_EQ(ftp.DirectoryList->FileNames, (std::vector<std::string>{"a.gif", "b.gif"}));
}

TEST_F(FtpTest, DataSocketListensOnlyWhereTheServerReachedUs)
{
    std::uint32_t bound = 1;
    std::uint32_t accepted = 1;
    ftp.OnTransactionStart = [&](TComponent*) {  // a listing's start comes before the accept
        ASSERT_NE(ftp.DataSocket, nullptr);
        platform::SockAddrIn local;
        ASSERT_EQ(platform::SocketGetName(ftp.DataSocket->SocketHandle, local), 0);
        bound = local.address;
        accepted = ftp.DataSocket->AcceptFrom;
    };
    ftp.Connect();
    ftp.ListDirectory();
    EXPECT_EQ(bound, inet_addr("127.0.0.1"));
    EXPECT_EQ(accepted, inet_addr("127.0.0.1"));
}

TEST_F(FtpTest, RefusedPortOrListRaisesAndFreesTheDataSocket)
{
    for (const char* verb : {"PORT", "LIST"}) {
        ScriptedFtpServer refusing;
        refusing.SetReply(verb, "500 Nope.\r\n");
        TNMFTP client;
        client.Host = "127.0.0.1";
        client.Port = refusing.Port();
        client.WaitLimit = static_cast<int>(kBound.count());
        client.Connect();
        try {
            client.ListDirectory();
            ADD_FAILURE() << verb << " not refused";
        } catch (const FTPException& e) {
            EXPECT_THAT(e.Message(), CarriesReply("500 Nope.\r\n"));
        }
        EXPECT_EQ(client.DataSocket, nullptr);
        EXPECT_TRUE(client.Connected) << verb;
    }
}

// ---------------------------------------------------------------------------------------------
// Downloads

TEST_F(FtpTest, DownloadWritesTheFileAndReportsTheCounts)
{
    const std::string bytes = fixtures::Pattern(0, 70000);
    server.SetFile("8436-01.gif", bytes);
    FtpAction paced;  // chunks apart, so that not all of it comes with the close
    paced.chunkGap = Ms{20};
    server.SetAction("RETR", 0, paced);
    long long announced = -1;
    int packets = 0;
    std::vector<TCmdType> successes;
    ftp.OnTransactionStart = [&](TComponent*) { announced = ftp.BytesTotal; };
    ftp.OnPacketRecvd = [&](TComponent*) { ++packets; };
    ftp.OnSuccess = [&](TCmdType type) { successes.push_back(type); };
    ftp.Connect();

    ftp.Download("8436-01.gif", dir + "8436-01.gif");

    EXPECT_EQ(FileBytes(dir + "8436-01.gif"), bytes);
    EXPECT_EQ(announced, 70000);
    EXPECT_EQ(ftp.BytesTotal, 70000);
    EXPECT_GT(packets, 0);
    EXPECT_EQ(successes, std::vector<TCmdType>{TCmdType::CmdRetr});
    EXPECT_TRUE(HasStatus("RETR 8436-01.gif"));
    EXPECT_TRUE(HasStatus("受信 70000 Bytes"));
    EXPECT_LT(StatusIndex("受信 70000 Bytes"), StatusIndex("226 Transfer complete.\r\n"));
    EXPECT_EQ(ftp.DataSocket, nullptr);
    EXPECT_EQ(FtpTranscript(server),
              (std::vector<std::string>{"USER tessa", "PASS secret", "PORT *", "RETR 8436-01.gif"}));
}

TEST_F(FtpTest, DownloadReadsContinuationLinesAndTakesTheirByteCount)
{
    const std::string bytes = fixtures::Pattern(0, 5000);  // more than announced is no fault
    server.SetFile("a.gif", bytes);
    server.SetAction("RETR", 0, FtpAction::Text("150-Here it comes\r\n 4096 bytes follow\r\n150 Go.\r\n"));
    long long announced = -1;
    ftp.OnTransactionStart = [&](TComponent*) { announced = ftp.BytesTotal; };
    ftp.Connect();

    ftp.Download("a.gif", dir + "a.gif");

    EXPECT_EQ(announced, 4096);
    EXPECT_EQ(ftp.BytesTotal, 5000);
    EXPECT_TRUE(HasStatus(" 4096 bytes follow\r\n"));
    EXPECT_TRUE(HasStatus("150 Go.\r\n"));
    EXPECT_EQ(FileBytes(dir + "a.gif"), bytes);
}

TEST(FtpReplyByteCount, NumberBeforeTheWordBytes)
{
    const std::pair<const char*, long long> table[] = {
        {"150 Opening data connection for x (12345 bytes)\r\n", 12345},
        {"150 Opening BINARY mode data connection for f (0 bytes).\r\n", 0},
        {"150 12 BYTES\r\n", 12},
        {"150 Here come the bytes\r\n", 150},
        {"150 Ok.\r\n", 0},
        {"Bytes: 99\r\n", 0},
        {"150 (123456789012345678901234567890 bytes)\r\n", 0},
        {"150 x (77 bytes) and (88 bytes)\r\n", 77},
        {"", 0},
    };
    for (const auto& [reply, count] : table)
        EXPECT_EQ(TNMFTP::ReplyByteCount(reply), count) << reply;
}

// Only "(N bytes)" at the end of the line is an announcement: never the reply code, never the
// digits of a name.
TEST(FtpAnnouncedByteCount, OnlyAParenthesisedCountAtTheLineEnd)
{
    const std::pair<const char*, long long> table[] = {
        {"150 Opening BINARY mode data connection for x (12345 bytes).\r\n", 12345},
        {"150 Opening BINARY mode data connection for x (12345 bytes)\r\n", 12345},
        {"150 Opening BINARY mode data connection for f (0 bytes).\r\n", 0},
        {"150-Opening for x (77 Bytes)\r\n", 77},
        {"150 x (77 bytes) and (88 bytes)\r\n", 88},
        {"150 Sending bytes now.\r\n", 0},
        {"150 Here come the bytes\r\n", 0},
        {"150 Opening BINARY mode data connection for 12bytes.txt\r\n", 0},
        {"150 12 BYTES\r\n", 0},
        {" 4096 bytes follow\r\n", 0},
        {"150 Opening for a (7 bytes).gif\r\n", 0},
        {"150 Opening for x(12 bytes)\r\n", 0},
        {"150 ( bytes)\r\n", 0},
        {"150 (123456789012345678901234567890 bytes)\r\n", 0},
        {"150 (5 bytes)\r\n", 5},
        {"", 0},
    };
    for (const auto& [reply, count] : table)
        EXPECT_EQ(TNMFTP::AnnouncedByteCount(reply), count) << reply;
}

// A byte count that the server did not announce as "(N bytes)" never fails a whole file.
struct StoredDownloadCase {
    const char* name;
    std::string reply;  // the preliminary reply; empty: the server's "(N bytes)" one
    std::string file;
};

class StoredDownloadTest : public FtpTest, public ::testing::WithParamInterface<StoredDownloadCase> {};

TEST_P(StoredDownloadTest, FileOfFiveBytesIsStored)
{
    const StoredDownloadCase& c = GetParam();
    server.SetFile(c.file, "12345");
    if (!c.reply.empty())
        server.SetAction("RETR", 0, FtpAction::Text(c.reply));
    std::vector<TCmdType> successes;
    ftp.OnSuccess = [&](TCmdType type) { successes.push_back(type); };
    ftp.Connect();

    EXPECT_NO_THROW(ftp.Download(c.file, dir + "stored.bin"));

    EXPECT_EQ(FileBytes(dir + "stored.bin"), "12345");
    EXPECT_EQ(ftp.BytesTotal, 5);
    EXPECT_EQ(successes, std::vector<TCmdType>{TCmdType::CmdRetr});
}

INSTANTIATE_TEST_SUITE_P(
    Counts, StoredDownloadTest,
    ::testing::Values(
        StoredDownloadCase{"Announced", "", "a.gif"},
        StoredDownloadCase{"ReplyCodeBeforeTheWordBytes", "150 Sending bytes now.\r\n", "a.gif"},
        StoredDownloadCase{"DigitsOfTheNameBeforeBytes",
                           "150 Opening BINARY mode data connection for 12bytes.txt\r\n", "12bytes.txt"},
        StoredDownloadCase{"CountInsideTheName", "150 Opening for a (7 bytes).gif\r\n", "a (7 bytes).gif"}),
    support::CaseName);

struct FailedDownloadCase {
    const char* name;
    FtpAction action;
    std::string message;  // FTPException text; empty: another error
    bool staysConnected;
    std::string local = "big.bin";  // under the scratch folder
};

class FailedDownloadTest : public FtpTest, public ::testing::WithParamInterface<FailedDownloadCase> {};

TEST_P(FailedDownloadTest, EndWithoutACompleteReplyIsAFailure)
{
    const FailedDownloadCase& c = GetParam();
    server.SetGeneratedFile("big.bin", 200000);
    server.SetAction("RETR", 0, c.action);
    int successes = 0;
    ftp.OnSuccess = [&](TCmdType) { ++successes; };
    ftp.Connect();

    bool failed = false;
    try {
        ftp.Download("big.bin", dir + c.local);
    } catch (const FTPException& e) {
        failed = true;
        EXPECT_THAT(e.Message(), CarriesReply(c.message));
    } catch (const Exception& e) {
        failed = true;
        EXPECT_TRUE(c.message.empty()) << e.Message();
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(successes, 0);
    EXPECT_EQ(ftp.DataSocket, nullptr);
    EXPECT_EQ(ftp.Connected, c.staysConnected);
    if (c.staysConnected) {
        ftp.ChangeDirectory("/next");  // the control connection is still in step
        EXPECT_EQ(ftp.LastReply, "250 CWD command successful.\r\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, FailedDownloadTest,
    ::testing::Values(
        FailedDownloadCase{"Refused550", FtpAction::Text("550 No such file.\r\n"), "550 No such file.\r\n", true},
        FailedDownloadCase{"Aborted426", FtpActionWith([](FtpAction& a) {
                               a.midReplyAfter = 40000;
                               a.midReply = "426 Connection closed; transfer aborted.\r\n";
                               a.dataLimit = 40000;
                               a.finalReply = "";
                           }),
                           "426 Connection closed; transfer aborted.\r\n", true},
        FailedDownloadCase{"LocalError451", FtpActionWith([](FtpAction& a) { a.finalReply = "451 Local error.\r\n"; }),
                           "451 Local error.\r\n", true},
        FailedDownloadCase{"NoDataConnection425", FtpActionWith([](FtpAction& a) {
                               a.reply = "150 Opening.\r\n425 Can't open data connection.\r\n";
                               a.connectBack = false;
                           }),
                           "425 Can't open data connection.\r\n", true},
        // A 421 while the data connection is awaited is that reply, however it was cut.
        FailedDownloadCase{"Drop421WhileAwaitingData", FtpActionWith([](FtpAction& a) {
                               a.reply = "150 Opening.\r\n421 Service closing.\r\n";
                               a.connectBack = false;
                           }),
                           "421 Service closing.\r\n", true},
        FailedDownloadCase{"Drop421SplitWhileAwaitingData", FtpActionWith([](FtpAction& a) {
                               a.pieces = {"150 Opening.\r\n", "421 Service", " closing.\r\n"};
                               a.connectBack = false;
                           }),
                           "421 Service closing.\r\n", true},
        FailedDownloadCase{"FewerBytesThanAnnounced", FtpActionWith([](FtpAction& a) {
                               a.reply = "150 Opening BINARY mode data connection for big.bin (100 bytes).\r\n";
                               a.data = "12345";
                           }),
                           "", true},
        FailedDownloadCase{"ControlDropped", FtpActionWith([](FtpAction& a) { a.closeControlAfter = 40000; }), "",
                           false},
        FailedDownloadCase{"LocalFileCannotBeCreated",
                           FtpActionWith([](FtpAction& a) { a.finalDelay = Ms{300}; }),  // the 226 comes late
                           "", true, "no/such/folder/big.bin"}),
    support::CaseName);

struct RestartCase {
    const char* name;
    std::string restReply;                          // to "REST 8"
    std::vector<std::pair<int, FtpAction>> retrs;   // RETR actions by occurrence, 0 every one
    std::vector<std::string> commands;              // after the log-in
    std::string refusal;                            // what raises; empty: the download succeeds
    bool appended;                                  // after a success
    std::string local;                              // the local file afterwards
};

class RestartTest : public FtpTest, public ::testing::WithParamInterface<RestartCase> {};

// A restart the server accepts appends to the local file; one it refuses at REST, or accepts and
// then refuses at RETR with a 5xx reply, gets the whole file, and Appended says which came.
TEST_P(RestartTest, AppendedSaysWhereTheBytesStart)
{
    const RestartCase& c = GetParam();
    server.SetFile("a.gif", "scanned page");
    server.SetReply("REST", c.restReply);
    for (const auto& [nth, action] : c.retrs)
        server.SetAction("RETR", nth, action);
    support::WriteFile(dir + "a.gif", "scanned ");
    int failures = 0;
    ftp.OnFailure = [&](bool&, TCmdType) { ++failures; };
    ftp.Connect();

    std::string refusal;
    try {
        ftp.Download("a.gif", dir + "a.gif", 8);
    } catch (const FTPException& e) {
        refusal = e.Message();
    }

    if (c.refusal.empty()) {
        EXPECT_EQ(refusal, "");
        EXPECT_EQ(ftp.Appended, c.appended);
    } else {
        EXPECT_THAT(refusal, CarriesReply(c.refusal));
    }
    EXPECT_EQ(failures, c.refusal.empty() ? 0 : 1);  // a refusal answered by the whole file is none
    EXPECT_EQ(FileBytes(dir + "a.gif"), c.local);
    std::vector<std::string> commands = FtpTranscript(server);
    commands.erase(commands.begin(), commands.begin() + 2);
    EXPECT_EQ(commands, c.commands);
    EXPECT_EQ(ftp.DataSocket, nullptr);
    EXPECT_TRUE(ftp.Connected);
}

const std::string kRestarting = "350 Restarting at 8.\r\n";
const std::string kNoAsciiResume = "550 No support for resume of ASCII transfer.\r\n";

INSTANTIATE_TEST_SUITE_P(
    Replies, RestartTest,
    ::testing::Values(
        RestartCase{"Accepted", kRestarting, {{1, FtpActionWith([](FtpAction& a) { a.data = "page"; })}},
                    {"PORT *", "REST 8", "RETR a.gif"}, "", true, "scanned page"},
        RestartCase{"RefusedAtRest", "502 Command not implemented.\r\n", {},
                    {"PORT *", "REST 8", "RETR a.gif"}, "", false, "scanned page"},
        RestartCase{"RefusedAtRetr", kRestarting, {{1, FtpAction::Text(kNoAsciiResume)}},
                    {"PORT *", "REST 8", "RETR a.gif", "PORT *", "RETR a.gif"}, "", false, "scanned page"},
        // A passing refusal is no answer to the restart: the next try may continue.
        RestartCase{"BusyAtRetr", kRestarting, {{1, FtpAction::Text("450 File busy.\r\n")}},
                    {"PORT *", "REST 8", "RETR a.gif"}, "450 File busy.\r\n", false, "scanned "},
        RestartCase{"RefusedWholeToo", kRestarting, {{0, FtpAction::Text("550 Gone.\r\n")}},
                    {"PORT *", "REST 8", "RETR a.gif", "PORT *", "RETR a.gif"}, "550 Gone.\r\n", false,
                    "scanned "}),
    support::CaseName);

TEST_F(FtpTest, TimeOutEndsTheSessionSoTheNextLogInDetectsTheSystemAgain)
{
    server.SetAction("LIST", 2, FtpActionWith([](FtpAction& a) { a.connectBack = false; }));
    ftp.ParseList = true;
    ftp.WaitLimit = 300;
    ftp.Connect();
    ftp.ListDirectory();
    EXPECT_THROW(ftp.ListDirectory(), ESockError);
    EXPECT_FALSE(ftp.Connected);

    ftp.Connect();
    ftp.ListDirectory();

    EXPECT_EQ(Count(FtpTranscript(server), "SYST"), 2);
}

TEST_F(FtpTest, AbortEndsARunningDownload)
{
    server.SetGeneratedFile("big.bin", 4 << 20);
    FtpAction slow;
    slow.chunkGap = Ms{5};
    server.SetAction("RETR", 0, slow);
    ftp.OnPacketRecvd = [&](TComponent*) { ftp.Abort(); };
    ftp.Connect();
    EXPECT_THROW(ftp.Download("big.bin", dir + "big.bin"), EAbortError);
    EXPECT_EQ(ftp.DataSocket, nullptr);
    EXPECT_EQ(ftp.DataStopReason, TStopReason::User);  // kept for the caller to tell from a failure
    EXPECT_LT(fs::file_size(dir + "big.bin"), std::uintmax_t{4 << 20});
}

// ---------------------------------------------------------------------------------------------
// Data connections from elsewhere

// Connects from 127.0.0.2 to the port of the client's first PORT command; true when the
// client hung up on it.
bool CallFromElsewhere(ScriptedFtpServer& server)
{
    if (!server.Server().WaitUntil(
            [&] {
                for (const std::string& line : server.Commands())
                    if (line.rfind("PORT ", 0) == 0)
                        return true;
                return false;
            },
            kBound))
        return false;
    int h1, h2, h3, h4, p1, p2;
    for (const std::string& line : server.Commands())
        if (std::sscanf(line.c_str(), "PORT %d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2) == 6)
            break;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in source = support::LoopbackAddress(0, "127.0.0.2");
    sockaddr_in target = support::LoopbackAddress(static_cast<std::uint16_t>(p1 * 256 + p2));
    bool hungUp = false;
    if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
        pollfd p{fd, POLLIN, 0};
        char byte;
        hungUp = poll(&p, 1, static_cast<int>(kBound.count())) == 1 && recv(fd, &byte, 1, 0) <= 0;
    }
    close(fd);
    return hungUp;
}

TEST_F(FtpTest, ForeignCallerOnTheDataPortIsTurnedAwayAndTheServerStillServed)
{
    server.SetFile("a.gif", "picture bytes");
    FtpAction late;
    late.delay = Ms{1000};  // the stranger calls first
    server.SetAction("RETR", 0, late);
    ftp.Connect();
    bool hungUp = false;
    std::thread stranger([&] { hungUp = CallFromElsewhere(server); });

    ftp.Download("a.gif", dir + "a.gif");
    stranger.join();

    EXPECT_TRUE(hungUp);
    EXPECT_EQ(FileBytes(dir + "a.gif"), "picture bytes");
}

TEST_F(FtpTest, DataConnectionFromAnotherAddressIsNeverTaken)
{
    server.SetFile("a.gif", "picture bytes");
    FtpAction foreign;
    foreign.dataSource = "127.0.0.2";
    server.SetAction("RETR", 0, foreign);
    ftp.WaitLimit = 400;
    ftp.Connect();
    try {
        ftp.Download("a.gif", dir + "a.gif");
        ADD_FAILURE() << "a foreign data connection was taken";
    } catch (const ESockError& e) {
        EXPECT_THAT(e.Message(), StartsWith(kTimedOut + ": "));
    }
    EXPECT_NE(FileBytes(dir + "a.gif"), "picture bytes");
}

// ---------------------------------------------------------------------------------------------
// Bounded waits

struct SilenceCase {
    const char* name;
    const char* verb;  // whose action is set; "" the greeting
    FtpAction action;
    bool listing;
};

class SilenceTest : public FtpTest, public ::testing::WithParamInterface<SilenceCase> {
protected:
    // The server stays silent where the row says; the session runs until that wait times out.
    void RunIntoTheSilence(int waitLimit)
    {
        const SilenceCase& c = GetParam();
        server.SetGeneratedFile("big.bin", 200000);
        server.SetListing("-rw-r--r-- 1 ftp ftp 5 Mar 3 1999 a.gif\r\n");
        if (std::string(c.verb).empty())
            server.SetGreeting(c.action);
        else
            server.SetAction(c.verb, 0, c.action);
        ftp.WaitLimit = waitLimit;
        try {
            ftp.Connect();
            ftp.ChangeDirectory("/pub");
            if (c.listing)
                ftp.ListDirectory();
            else
                ftp.Download("big.bin", dir + "big.bin");
            ADD_FAILURE() << "nothing timed out";
        } catch (const ESockError& e) {
            EXPECT_THAT(e.Message(), StartsWith(kTimedOut + ": "));
        }
    }
};

TEST_P(SilenceTest, SilentServerEndsTheWaitWithATimeOut)
{
    RunIntoTheSilence(300);
    EXPECT_TRUE(ftp.TimedOut());
    EXPECT_EQ(ftp.StopReason, TStopReason::TimeOut);  // a time-out, not a user's stop
    EXPECT_FALSE(ftp.Connected);
    EXPECT_EQ(ftp.DataSocket, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, SilenceTest,
    ::testing::Values(
        SilenceCase{"Greeting", "", FtpAction::Stall(), false},
        SilenceCase{"Reply", "CWD", FtpAction::Stall(), false},
        SilenceCase{"PortReply", "PORT", FtpAction::Stall(), false},
        SilenceCase{"DataConnection", "RETR", FtpActionWith([](FtpAction& a) { a.connectBack = false; }), false},
        SilenceCase{"Transfer", "RETR", FtpActionWith([](FtpAction& a) { a.stallAfter = 30000; }), false},
        SilenceCase{"CompleteReply", "RETR", FtpActionWith([](FtpAction& a) { a.finalReply = ""; }), false},
        SilenceCase{"Listing", "LIST", FtpActionWith([](FtpAction& a) { a.stallAfter = 10; }), true}),
    support::CaseName);

// The window lowers the limit as it closes: a wait already running under a limit of a minute
// ends soon after, whichever wait it is.
TEST_P(SilenceTest, LoweredLimitBoundsTheWaitAlreadyRunning)
{
    using Clock = std::chrono::steady_clock;
    const std::string verb = GetParam().verb;
    // Lowered from inside the wait: once the client waits for the greeting, or once the server
    // has the command that it answers with silence.
    auto waiting = [&] {
        if (verb.empty())
            return ftp.Connected;
        for (const std::string& line : server.Commands())
            if (line.rfind(verb, 0) == 0)
                return true;
        return false;
    };
    std::optional<Clock::time_point> lowered;
    TThreadTimer timer;
    timer.SetInterval(50);
    timer.SetOnTimer([&](TComponent*) {
        if (!lowered && waiting()) {
            ftp.WaitLimit = 400;
            lowered = Clock::now();
        }
    });

    RunIntoTheSilence(60000);
    ASSERT_TRUE(lowered.has_value());
    EXPECT_LT(Clock::now() - *lowered, std::chrono::seconds(5));
    EXPECT_TRUE(ftp.TimedOut());
    EXPECT_FALSE(ftp.Connected);
}

// ---------------------------------------------------------------------------------------------
// Failure messages

struct FailureCase {
    const char* name;
    std::function<void(ScriptedFtpServer&, TNMFTP&)> arrange;
    std::string text;    // what the message said before it named where and why: its first part
    std::string reason;
};

class FailureMessageTest : public FtpTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureMessageTest, NamesTheServerAndTheReasonAfterTheOldText)
{
    const FailureCase& c = GetParam();
    platform::SetLookupFunction([](const std::string&, std::uint32_t&) { return platform::WSAHOST_NOT_FOUND; });
    server.SetGeneratedFile("big.bin", 200000);
    c.arrange(server, ftp);
    std::string message;
    try {
        ftp.Connect();
        ftp.Download("big.bin", dir + "big.bin");
    } catch (const Exception& e) {
        message = e.Message();
    }
    platform::SetLookupFunction(nullptr);

    EXPECT_THAT(message, StartsWith(c.text));
    EXPECT_THAT(message, ::testing::HasSubstr(" " + ftp.Host + ":" + std::to_string(ftp.Port)));
    EXPECT_THAT(message, ::testing::HasSubstr(c.reason));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FailureMessageTest,
    ::testing::Values(
        FailureCase{"ConnectRefused", [](ScriptedFtpServer&, TNMFTP& f) { f.Port = support::FreeLoopbackPort(); },
                    "接続が失敗しました: cannot connect to", "connection refused"},
        FailureCase{"LookupFailed", [](ScriptedFtpServer&, TNMFTP& f) { f.Host = "files.invalid"; },
                    "リモートアドレスが Null です: cannot look up", "no such host"},
        FailureCase{"ResetMidTransfer",
                    [](ScriptedFtpServer& s, TNMFTP&) {
                        s.SetAction("RETR", 0, FtpActionWith([](FtpAction& a) {
                                        a.dataLimit = 50000;
                                        a.resetData = true;
                                    }));
                    },
                    "10054:Connection reset by peer: download of big.bin from", "connection reset by peer"},
        FailureCase{"TimeOut",
                    [](ScriptedFtpServer& s, TNMFTP& f) {
                        s.SetGreeting(FtpAction::Stall());
                        f.WaitLimit = 300;
                    },
                    kTimedOut + ": greeting from", "timed out after 0.3 s"},
        FailureCase{"GreetingRefused",
                    [](ScriptedFtpServer& s, TNMFTP&) { s.SetGreeting(FtpAction::Text("421 Too many users.\r\n")); },
                    "421 Too many users. (greeting from", ")\r\n"},
        FailureCase{"LogInRefused",
                    [](ScriptedFtpServer& s, TNMFTP&) { s.SetReply("PASS", "530 Login incorrect.\r\n"); },
                    "530 Login incorrect. (log-in to", ")\r\n"},
        FailureCase{"WebServer",
                    [](ScriptedFtpServer& s, TNMFTP&) {
                        s.SetGreeting(FtpAction::Text("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"));
                    },
                    "unexpected greeting from", ": HTTP/1.1 400 Bad Request (a web server"}),
    support::CaseName);

TEST_F(FtpTest, SlowButSteadyTransferIsNoTimeOut)
{
    server.SetGeneratedFile("slow.bin", 40000);
    FtpAction slow;
    slow.chunk = 1000;
    slow.chunkGap = Ms{20};  // longer in all than the limit, but never near it without a byte
    server.SetAction("RETR", 0, slow);
    ftp.WaitLimit = 400;
    ftp.Connect();
    ftp.Download("slow.bin", dir + "slow.bin");
    EXPECT_EQ(fs::file_size(dir + "slow.bin"), 40000u);
    EXPECT_FALSE(ftp.TimedOut());
}

}  // namespace
