// The transport against scripted loopback peers: the peer runs on a background thread, the
// component on the test's thread with its own waiting loops, exactly as in the program.
#include "net/Psock.h"

#include "fixtures/ScriptedServer.h"
#include "platform/messages.h"
#include "platform/winsock.h"
#include "support/TempFolder.h"
#include "support/files.h"
#include "support/loopback.h"
#include "support/waits.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

using fixtures::Ms;
using fixtures::ScriptedServer;
using fixtures::Step;
using support::OneShot;
using ::testing::StartsWith;

namespace {

// Connects `sock` to the scripted server.
void ConnectTo(TPowersock& sock, const ScriptedServer& server)
{
    sock.Host = "127.0.0.1";
    sock.Port = server.Port();
    sock.Connect();
    ASSERT_TRUE(sock.Connected);
}

struct RecordedStatus {
    std::vector<std::string> texts;
    void Attach(TPowersock& sock)
    {
        sock.OnStatus = [this](TComponent*, const std::string& s) { texts.push_back(s); };
    }
    bool Has(const std::string& text) const
    {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
};

}  // namespace

TEST(StringHelpers, ExtractFieldAndNthCharPosition)
{
    struct Case {
        std::string text;
        char sep;
        int n;
        std::string field;
    };
    const Case cases[] = {
        {"a b  c d", ' ', 3, ""},
        {"a b  c d", ' ', 4, "c"},
        {"abc", ' ', 2, ""},
        {"abc", ' ', 1, "abc"},
        {"abc", ' ', 0, ""},
        {"", ' ', 1, ""},
        {"http://h/p", '/', 1, "http:"},
        {"http://h/p", '/', 2, ""},
        {"http://h/p", '/', 3, "h"},
        {"http://h/p", '/', 4, "p"},
        {"http://h/p", '/', 5, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExtractField(c.text, c.sep, c.n), c.field) << c.text << " field " << c.n;

    EXPECT_EQ(NthCharPosition("http://host/", '/', 3), 12);  // the last character
    EXPECT_EQ(NthCharPosition("http://host/a", '/', 3), 12);
    EXPECT_EQ(NthCharPosition("abc", '/', 1), 4);
    EXPECT_EQ(NthCharPosition("a/b", '/', 2), 4);
    EXPECT_EQ(NthCharPosition("", '/', 1), 1);
}

TEST(SocketErrors, ErrorTextAndCheckSocketError)
{
    TPowersock sock;
    EXPECT_EQ(sock.ErrorText(10061), "10061:Connection refused");
    EXPECT_EQ(sock.ErrorText(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(sock.ErrorText(12345), "不明なエラー No. 12345");
    EXPECT_EQ(sock.ErrorText(0), "");
    EXPECT_EQ(std::size(SocketErrorTable), 51u);

    std::string message = "old";
    platform::WSASetLastError(10035);
    EXPECT_NO_THROW(sock.CheckSocketError(10035, message));
    EXPECT_EQ(message, "");

    int errorEvents = 0;
    sock.OnError = [&](TComponent*, std::uint16_t number, const std::string& text) {
        ++errorEvents;
        EXPECT_EQ(number, 10047);
        EXPECT_EQ(text, "10047:Address family not supported by protocol family");
    };
    platform::WSASetLastError(10047);
    try {
        sock.CheckSocketError(10035, message);
        FAIL() << "no exception";
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "10047:Address family not supported by protocol family");
    }
    EXPECT_EQ(errorEvents, 1);
    EXPECT_EQ(sock.LastError, 10047);
}

TEST(SocketErrors, ErrnoAndLookupCodesMapToWinsockNumbers)
{
    EXPECT_EQ(platform::WinsockErrorFromErrno(EINPROGRESS), 10035);
    EXPECT_EQ(platform::WinsockErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(platform::WinsockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(platform::WinsockErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(platform::WinsockErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(platform::WinsockErrorFromLookup(EAI_NONAME), 11001);
    EXPECT_EQ(platform::WinsockErrorFromLookup(EAI_AGAIN), 11002);
    EXPECT_EQ(platform::WinsockErrorFromLookup(EAI_FAIL), 11003);
}

TEST(Lifecycle, InstanceCountAndWinsockInfo)
{
    const int before = TPowersock::InstanceCount();
    {
        TPowersock first;
        EXPECT_EQ(TPowersock::InstanceCount(), before + 1);
        if (before == 0) {
            ASSERT_EQ(first.WinsockInfo.size(), 6u);
            EXPECT_EQ(first.WinsockInfo[0], "バージョン= 1.1");
            EXPECT_EQ(first.WinsockInfo[5].rfind("最大Udpパケットサイズ= ", 0), 0u);
        }
        TPowersock second;
        EXPECT_EQ(TPowersock::InstanceCount(), before + 2);
        EXPECT_NE(first.SocketHandle, TPowersock::NoSocket);
        EXPECT_NE(first.SocketHandle, second.SocketHandle);
    }
    EXPECT_EQ(TPowersock::InstanceCount(), before);
    TPowersock sock;
    EXPECT_THROW(sock.SetTimeOut(-1), ESockError);
}

TEST(Connecting, DottedAddressLineFramingAndReplyNumbers)
{
    ScriptedServer server({{
        Step::ReadUntil("\r\n"),
        Step::Send("250-ok\r\n"),
        Step::ReadUntil("\r\n"),
        Step::Send("Hello!\r\nX\nY"),
        Step::ReadUntil("\r\n"),
        Step::Send("ok 1\r\n"),
        Step::Stall(Ms{5000}),
    }});
    TPowersock sock;
    bool resolved = false, connected = false;
    sock.OnHostResolved = [&](TComponent*) { resolved = true; };
    sock.OnConnect = [&](TComponent*) { connected = true; };
    RecordedStatus status;
    status.Attach(sock);
    sock.ReportLevel = 1;
    ConnectTo(sock, server);
    EXPECT_FALSE(resolved);
    EXPECT_TRUE(connected);

    EXPECT_EQ(sock.SendCommand("FIRST"), "250-ok\r\n");
    EXPECT_EQ(sock.ReplyNumber, 250);
    EXPECT_EQ(status.texts, std::vector<std::string>{"250-ok\r\n"});

    EXPECT_EQ(sock.SendCommand("SECOND"), "Hello!\r\n");
    EXPECT_EQ(sock.ReplyNumber, 0);
    EXPECT_EQ(sock.ReadLn(), "X\n");
    EXPECT_EQ(sock.Read(0), "Y");
    EXPECT_EQ(sock.Read(0), "");

    sock.Writeln("THIRD");
    EXPECT_EQ(sock.Read(6), "ok 1\r\n");
    ASSERT_TRUE(server.WaitForReceived(0, "FIRST\r\nSECOND\r\nTHIRD\r\n", Ms{2000}));

    try {
        sock.Connect();
        FAIL() << "second Connect did not raise";
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "既に接続しています");
    }
    sock.Disconnect();
    EXPECT_FALSE(sock.Connected);
}

TEST(Connecting, HostNameIsLookedUpAndReported)
{
    ScriptedServer server({{Step::Send("hi\r\n")}});
    TPowersock sock;
    int resolved = 0;
    sock.OnHostResolved = [&](TComponent*) { ++resolved; };
    sock.Host = "localhost";
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(platform::InetNtoa(sock.RemoteAddress.address), "127.0.0.1");
    EXPECT_EQ(sock.ReadLn(), "hi\r\n");
}

TEST(Connecting, ProxyReplacesHostAndPort)
{
    ScriptedServer server({{Step::Send("via proxy\r\n")}});
    TPowersock sock;
    sock.Host = "host.invalid";
    sock.Port = 1;
    sock.Proxy = "127.0.0.1";
    sock.ProxyPort = server.Port();
    sock.Connect();
    EXPECT_EQ(sock.ReadLn(), "via proxy\r\n");
}

TEST(Connecting, RefusedConnectFailsAfterTheEvent)
{
    const int port = support::FreeLoopbackPort();
    TPowersock sock;
    int failed = 0;
    sock.OnConnectionFailed = [&](TComponent*) { ++failed; };
    sock.Host = "127.0.0.1";
    sock.Port = port;
    try {
        sock.Connect();
        FAIL() << "refused connect did not raise";
    } catch (const ESockError& e) {
        EXPECT_THAT(e.what(), StartsWith("接続が失敗しました: "));
    }
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(sock.ErrorText(static_cast<std::uint16_t>(sock.LastError)), "10061:Connection refused");
    EXPECT_FALSE(sock.Connected);

    // The same component connects once somebody listens.
    ScriptedServer server({{Step::Send("up\r\n")}});
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_EQ(sock.ReadLn(), "up\r\n");
}

TEST(Connecting, InvalidHostIsOfferedOnce)
{
    ScriptedServer server({{Step::Send("fixed\r\n")}});
    struct Case {
        std::string host;
        bool handled;
        bool fixes;
        int expectedCalls;
        bool connects;
    };
    const Case cases[] = {
        {"0.0.0.0", false, false, 0, false},  // no handler assigned
        {"0.0.0.0", false, false, 1, false},  // declined
        {"0.0.0.0", true, false, 1, false},   // accepted but not fixed
        {"0.0.0.0", true, true, 1, true},     // fixed
        {std::string(200, 'h'), true, true, 1, true},  // a name too long to look up
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        TPowersock sock;
        sock.Host = c.host;
        sock.Port = server.Port();
        int calls = 0;
        if (i > 0) {
            sock.OnInvalidHost = [&](bool& handled) {
                ++calls;
                handled = c.handled;
                if (c.fixes)
                    sock.Host = "127.0.0.1";
            };
        }
        if (c.connects) {
            EXPECT_NO_THROW(sock.Connect()) << i;
            EXPECT_TRUE(sock.Connected) << i;
        } else {
            try {
                sock.Connect();
                ADD_FAILURE() << "case " << i << " connected";
            } catch (const ESockError& e) {
                EXPECT_THAT(e.what(), StartsWith("リモートアドレスが Null です: ")) << i;
            }
        }
        EXPECT_EQ(calls, c.expectedCalls) << i;
    }
}

// A listener whose backlog is full: a further connect is never answered.
class FullBacklog {
public:
    FullBacklog()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = support::LoopbackAddress();
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 0);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        for (int i = 0; i < 4; ++i) {
            const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers_.push_back(c);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~FullBacklog()
    {
        for (int c : fillers_)
            close(c);
        close(listener_);
    }
    int Port() const { return port_; }

private:
    int listener_;
    int port_;
    std::vector<int> fillers_;
};

TEST(Connecting, TimeOutAndCancelOfASetUpThatNeverCompletes)
{
    FullBacklog backlog;
    {
        TPowersock sock;
        int failed = 0;
        sock.OnConnectionFailed = [&](TComponent*) { ++failed; };
        sock.Host = "127.0.0.1";
        sock.Port = backlog.Port();
        sock.SetTimeOut(200);
        try {
            sock.Connect();
            FAIL() << "connect did not time out";
        } catch (const ESockError& e) {
            EXPECT_THAT(e.what(), StartsWith("コネクションタイムアウト: "));
        }
        EXPECT_TRUE(sock.TimedOut());
        EXPECT_EQ(failed, 1);
    }
    {
        TPowersock sock;
        sock.Host = "127.0.0.1";
        sock.Port = backlog.Port();
        OneShot cancel(100, [&] { sock.Cancel(); });
        try {
            sock.Connect();
            FAIL() << "connect was not cancelled";
        } catch (const ESockError& e) {
            EXPECT_STREQ(e.what(), "接続がキャンセルされました");
        }
        EXPECT_TRUE(cancel.Fired());
    }
}

class SlowLookup : public testing::Test {
protected:
    void SetUp() override
    {
        platform::SetLookupFunction([](const std::string& name, std::uint32_t& address) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            if (name == "nowhere")
                return platform::WSAHOST_NOT_FOUND;
            address = htonl(INADDR_LOOPBACK);
            return 0;
        });
    }
    void TearDown() override { platform::SetLookupFunction(nullptr); }
};

TEST_F(SlowLookup, TimeOutCancelAndFailureOfALookup)
{
    TPowersock sock;
    sock.Host = "slow.example";
    sock.Port = 9;
    sock.SetTimeOut(100);
    try {
        sock.Connect();
        FAIL() << "lookup did not time out";
    } catch (const ESockError& e) {
        EXPECT_THAT(e.what(), StartsWith("ホスト接続タイムアウト: "));
    }

    sock.SetTimeOut(0);
    OneShot cancel(50, [&] { sock.Cancel(); });
    try {
        sock.Connect();
        FAIL() << "lookup was not cancelled";
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "ホスト接続キャンセル");
    }

    // The abandoned lookups complete later; they must not pass for the next one's result.
    ScriptedServer server({{Step::Send("late\r\n")}});
    sock.Host = "nowhere";
    sock.Port = server.Port();
    int invalid = 0;
    sock.OnInvalidHost = [&](bool& handled) {
        ++invalid;
        handled = true;
        sock.Host = "localhost.example";
    };
    int resolved = 0;
    sock.OnHostResolved = [&](TComponent*) { ++resolved; };
    sock.Connect();
    EXPECT_EQ(invalid, 1);
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(sock.ReadLn(), "late\r\n");
}

TEST(Receiving, ReadLnEndsWhenThePeerClosesOrTheLineIsTooLong)
{
    {
        ScriptedServer server({{Step::Send("complete\r\npartial"), Step::Close()}});
        TPowersock sock;
        ConnectTo(sock, server);
        EXPECT_EQ(sock.ReadLn(), "complete\r\n");
        EXPECT_EQ(sock.ReadLn(), "partial");
        try {
            sock.ReadLn();
            FAIL() << "ReadLn after the last line did not raise";
        } catch (const ESockError& e) {
            EXPECT_THAT(e.what(), StartsWith("接続が閉じられました: "));
        }
    }
    {
        ScriptedServer server({{Step::SendGenerated(2 * 1024 * 1024), Step::Stall(Ms{10000})}});
        TPowersock sock;
        ConnectTo(sock, server);
        // The generated stream holds LFs; only the part before the first counts as a line.
        const std::string first = sock.ReadLn();
        EXPECT_EQ(first.back(), '\n');
        EXPECT_EQ(first.find('\n'), first.size() - 1);
    }
    {
        ScriptedServer server({{Step::Send(std::string(2 * 1024 * 1024, 'x')), Step::Stall(Ms{10000})}});
        TPowersock sock;
        ConnectTo(sock, server);
        try {
            sock.ReadLn();
            FAIL() << "a 2 MiB line was accepted";
        } catch (const ESockError& e) {
            EXPECT_THAT(e.what(), StartsWith("受信した行が長すぎます: "));
        }
    }
    {
        ScriptedServer server({{Step::Send(std::string("a\0b\r\n", 5)), Step::Stall(Ms{5000})}});
        TPowersock sock;
        ConnectTo(sock, server);
        EXPECT_EQ(sock.ReadLn(), std::string("a\0b\r\n", 5));
    }
}

TEST(Receiving, ReadWithCountZeroTakesAtMost65535Bytes)
{
    ScriptedServer server({{Step::Send(std::string(100000, 'r')), Step::Close()}});
    TPowersock sock;
    ConnectTo(sock, server);
    support::PumpUntil([&] { return sock.BufferedCount() >= 100000; });
    EXPECT_EQ(sock.Read(0).size(), 65535u);
    EXPECT_EQ(sock.Read(0).size(), 100000u - 65535u);
    EXPECT_EQ(sock.Read(0), "");
}

TEST(Receiving, CaptureStringTakesWholeChunks)
{
    ScriptedServer server({{Step::Send(std::string(TPowersock::ChunkSize, 'c')), Step::Stall(Ms{10000})}});
    TPowersock sock;
    ConnectTo(sock, server);
    std::string text;
    // Wait until the whole chunk is buffered, so it is taken in one piece.
    support::PumpUntil([&] { return sock.BufferedCount() >= static_cast<size_t>(TPowersock::ChunkSize); });
    sock.CaptureString(text, 10);
    EXPECT_EQ(text.size(), static_cast<size_t>(TPowersock::ChunkSize));
}

TEST(Receiving, CaptureFileStoresEveryByteAndCountsAllButTheCloseDrain)
{
    const std::uint64_t size = 8 * 1024 * 1024 + 123;
    ScriptedServer server({{Step::Send("head"), Step::SendGenerated(size), Step::Close()}});
    TPowersock sock;
    ConnectTo(sock, server);
    EXPECT_EQ(sock.Read(4), "head");
    int packets = 0;
    sock.OnPacketRecvd = [&](TComponent*) { ++packets; };
    const support::TempFolder temp;
    const std::string path = temp.Text() + "capture.bin";
    sock.CaptureFile(path);
    const std::string body = support::FileBytes(path);
    ASSERT_EQ(body.size(), size);
    EXPECT_EQ(fixtures::HashOf(body), fixtures::PatternHash(size));
    EXPECT_GT(packets, 0);
    EXPECT_LE(sock.BytesRecvd, static_cast<long long>(size));
    EXPECT_FALSE(sock.TransferActive);
}

// A file that cannot be made, or that takes no bytes (a full device, which cannot be spliced to
// either), fails the capture.
TEST(Receiving, CaptureFileThatCannotBeWrittenRaises)
{
    const support::TempFolder temp;
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {temp.Text() + "missing/dir/file", "ファイル " + temp.Text() + "missing/dir/file を作成できません"},
        {"/dev/full", "ファイル /dev/full に書き込めません"},
    };
    for (const Case& c : cases) {
        ScriptedServer server({{Step::Send("x"), Step::SendGenerated(4 << 20), Step::Close()}});
        TPowersock sock;
        ConnectTo(sock, server);
        try {
            sock.CaptureFile(c.path);
            ADD_FAILURE() << c.path << ": no error";
        } catch (const EInOutError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_FALSE(sock.TransferActive);
    }
}

TEST(Receiving, CappedCaptureNeverWritesPastItsCap)
{
    const long long cap = 100000;
    ScriptedServer server({{Step::SendGenerated(8 << 20), Step::Close()}});
    TPowersock sock;
    ConnectTo(sock, server);
    sock.CaptureLimit = cap;
    const support::TempFolder temp;
    const std::string path = temp.Text() + "capped.bin";
    try {
        sock.CaptureFile(path);
        FAIL() << "the cap was passed";
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "受信データが上限 (100000 バイト) を超えました");
    }
    EXPECT_EQ(sock.StopReason, TStopReason::Cap);
    EXPECT_TRUE(support::FileBytes(path) == fixtures::Pattern(0, cap));
}

TEST(Sending, SendFileToASlowReaderSendsEveryByte)
{
    const support::TempFolder temp;
    const std::string path = temp.Text() + "upload.bin";
    const std::uint64_t size = 64ull * 1024 * 1024;
    {
        std::ofstream out(path, std::ios::binary);
        for (std::uint64_t at = 0; at < size; at += 1 << 20)
            out << fixtures::Pattern(at, 1 << 20);
    }
    fixtures::ServerOptions options;
    options.receiveBuffer = 16384;
    ScriptedServer server({{Step::ReadSlowly(1 << 20, Ms{1}, 8 << 20), Step::CountAll()}}, options);
    TPowersock sock;
    ConnectTo(sock, server);
    int sent = 0;
    sock.OnPacketSent = [&](TComponent*) { ++sent; };
    sock.SendFile(path);
    EXPECT_EQ(sock.BytesSent, static_cast<long long>(size));
    EXPECT_EQ(sock.BytesTotal, static_cast<long long>(size));
    EXPECT_GE(sent, static_cast<int>(size / TPowersock::ChunkSize));
    // Closing resets the connection at once, so let the peer take everything first.
    ASSERT_TRUE(server.WaitUntil([&] { return (8ull << 20) + server.CountedBytes(0) >= size; }, Ms{20000}));
    EXPECT_EQ((8ull << 20) + server.CountedBytes(0), size);
    sock.Disconnect();
}

TEST(Sending, SendToAPeerThatResetAfterwardsFails)
{
    ScriptedServer server({{Step::Reset()}});
    TPowersock sock;
    ConnectTo(sock, server);
    ASSERT_TRUE(server.WaitForFinished(1, Ms{5000}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The reset is seen as a close; the next send cannot go anywhere and must not hang.
    EXPECT_THROW(
        {
            for (int i = 0; i < 100; ++i)
                sock.Writeln(std::string(16000, 'z'));
        },
        ESockError);
}

TEST(Cancelling, EveryWaitEndsWithItsOwnError)
{
    struct Case {
        const char* name;
        std::function<void(TPowersock&)> wait;
        std::string message;
        bool abortClass;
        bool cancelledAfter;
    };
    std::string text;
    const support::TempFolder temp;
    const std::string path = temp.Text() + "cancel.bin";
    const Case cases[] = {
        {"Read", [](TPowersock& s) { s.Read(100); }, "ソケット送信失敗", true, true},
        {"ReadLn", [](TPowersock& s) { s.ReadLn(); }, "ソケット読込失敗", true, true},
        {"CaptureFile", [&](TPowersock& s) { s.CaptureFile(path); }, "ソケット送信失敗", true, true},
        {"CaptureString", [&](TPowersock& s) { s.CaptureString(text, -1); }, "ソケットキャプチャ失敗", true, true},
    };
    for (const auto& c : cases) {
        ScriptedServer server({{Step::Send("x"), Step::Stall(Ms{10000})}});
        TPowersock sock;
        ConnectTo(sock, server);
        OneShot cancel(100, [&] { sock.Cancel(); });
        try {
            c.wait(sock);
            ADD_FAILURE() << c.name << " was not cancelled";
        } catch (const EAbortError& e) {
            EXPECT_TRUE(c.abortClass) << c.name;
            EXPECT_EQ(e.what(), c.message) << c.name;
        } catch (const ESockError& e) {
            EXPECT_FALSE(c.abortClass) << c.name;
            EXPECT_EQ(e.what(), c.message) << c.name;
        }
        EXPECT_EQ(sock.Cancelled(), c.cancelledAfter) << c.name;
    }

    // A send into a peer that does not read fills the buffers and then waits.
    const std::string big = temp.Text() + "cancel_upload.bin";
    support::WriteFile(big, std::string(32 << 20, 's'));
    fixtures::ServerOptions options;
    options.receiveBuffer = 4096;
    ScriptedServer server({{Step::Stall(Ms{10000})}}, options);
    TPowersock sock;
    ConnectTo(sock, server);
    OneShot cancel(200, [&] { sock.Cancel(); });
    try {
        sock.SendFile(big);
        FAIL() << "SendFile was not cancelled";
    } catch (const EAbortError& e) {
        EXPECT_STREQ(e.what(), "ソケット送信失敗");
    }
    EXPECT_TRUE(sock.Cancelled());  // the stop stays on record until the next operation begins
    EXPECT_LT(sock.BytesSent, 32 << 20);

    // SendBuffer returns at once, without an exception, when a cancel is already pending.
    sock.Cancel();
    EXPECT_NO_THROW(sock.Write("ignored"));
}

// A reset that cuts the data short is not a close: every reading wait says so.
TEST(Receiving, ResetBeforeTheEndRaisesTheSocketError)
{
    std::string text;
    const support::TempFolder temp;
    const std::string path = temp.Text() + "reset.bin";
    const std::function<void(TPowersock&)> waits[] = {
        [](TPowersock& s) { s.Read(100000); },
        [](TPowersock& s) { s.ReadLn(); },
        [&](TPowersock& s) { s.CaptureFile(path); },
        [&](TPowersock& s) { s.CaptureString(text, -1); },
    };
    for (const auto& wait : waits) {
        ScriptedServer server({{Step::Send(std::string(50000, 'r')), Step::Reset()}});
        TPowersock sock;
        ConnectTo(sock, server);
        try {
            wait(sock);
            ADD_FAILURE() << "the reset passed for a close";
        } catch (const EAbortError& e) {
            ADD_FAILURE() << e.what();
        } catch (const ESockError& e) {
            EXPECT_THAT(e.what(), StartsWith("10054:Connection reset by peer: "));
        }
        EXPECT_EQ(sock.StopReason, TStopReason::ServerDrop);
    }
}

// The cancel lands while the connect completes: the attempt is abandoned, and the component
// connects again at once.
TEST(Cancelling, CancelInThePassOfTheConnectLeavesTheComponentReady)
{
    ScriptedServer server({{Step::Stall(Ms{10000})}, {Step::Send("again\r\n"), Step::Stall(Ms{10000})}});
    TPowersock sock;
    sock.OnConnect = [&](TComponent*) { sock.Cancel(); };
    sock.Host = "127.0.0.1";
    sock.Port = server.Port();
    EXPECT_THROW(sock.Connect(), ESockError);
    EXPECT_FALSE(sock.Connected);
    EXPECT_EQ(sock.SocketHandle, TPowersock::NoSocket) << "the next socket is made by the next Connect";
    sock.OnConnect = nullptr;
    ASSERT_TRUE(server.WaitForConnections(1, Ms{5000}));
    sock.Connect();
    EXPECT_EQ(sock.ReadLn(), "again\r\n");
}

// What a cancelled send left unsent must not lead the next connection's bytes.
TEST(Cancelling, CancelledSendLeavesNothingForTheNextConnection)
{
    fixtures::ServerOptions options;
    options.receiveBuffer = 4096;
    ScriptedServer server({{Step::Stall(Ms{10000})}, {Step::ReadUntil("NEXT\r\n"), Step::Close()}}, options);
    TPowersock sock;
    ConnectTo(sock, server);
    OneShot cancel(200, [&] { sock.Cancel(); });
    try {
        while (!sock.Cancelled())
            sock.Write(std::string(16000, 'z'));
    } catch (const EAbortError&) {
    }
    ASSERT_TRUE(cancel.Fired());
    sock.Disconnect();
    ConnectTo(sock, server);
    sock.Writeln("NEXT");
    ASSERT_TRUE(server.WaitForReceived(1, "NEXT\r\n", Ms{5000}));
    EXPECT_EQ(server.Received(1), "NEXT\r\n");
}

TEST(DataConnections, ListenAcceptAndTheExpectedPeerOnly)
{
    TPowersock listener;
    listener.Port = 0;
    listener.AcceptFrom = platform::InetAddr("127.0.0.1");
    listener.Listen(true, platform::InetAddr("127.0.0.1"));
    const std::string portText = listener.LocalPortText();
    const int high = std::atoi(portText.c_str() + 1);
    const int low = std::atoi(portText.c_str() + portText.find(',', 1) + 1);
    const int port = high * 256 + low;
    ASSERT_GT(port, 0);
    EXPECT_EQ(portText, "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF));

    ScriptedServer helper;  // owns the outgoing connections' lifetime
    std::thread callers([&] {
        auto stranger = fixtures::Connection::ConnectTo(helper, "127.0.0.1", static_cast<std::uint16_t>(port), "127.0.0.2");
        if (stranger)
            stranger->Send("stranger\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto expected = fixtures::Connection::ConnectTo(helper, "127.0.0.1", static_cast<std::uint16_t>(port));
        if (expected)
            expected->Send("expected\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    const std::uint16_t handle = listener.Accept();
    listener.AdoptSocket(handle);
    EXPECT_EQ(platform::InetNtoa(listener.RemoteAddress.address), "127.0.0.1");
    EXPECT_EQ(listener.ReadLn(), "expected\r\n");
    callers.join();

    TPowersock other;
    other.Listen(false);
    OneShot cancel(50, [&] { other.Cancel(); });
    try {
        other.Accept();
        FAIL() << "Accept was not cancelled";
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "キャンセル受入中");
    }
}

TEST(DataConnections, LocalAddressTextUsesCommas)
{
    ScriptedServer server({{Step::Stall(Ms{5000})}});
    TPowersock sock;
    ConnectTo(sock, server);
    EXPECT_EQ(sock.LocalAddressText(), "127,0,0,1");
}

TEST(Status, ReportLevelFiltersReports)
{
    struct Case {
        int level;
        bool wantsReply, wantsSend, wantsTrace;
    };
    for (const Case c : {Case{0, false, false, false}, Case{1, true, false, false}, Case{4, true, true, false},
                         Case{8, true, true, true}}) {
        ScriptedServer server({{Step::ReadUntil("\r\n"), Step::Send("200 fine\r\n"), Step::Stall(Ms{5000})}});
        TPowersock sock;
        ConnectTo(sock, server);
        RecordedStatus status;
        status.Attach(sock);
        sock.ReportLevel = c.level;
        sock.SendCommand("NOOP");
        EXPECT_EQ(status.Has("200 fine\r\n"), c.wantsReply) << c.level;
        EXPECT_EQ(status.Has("バッファを送信中"), c.wantsSend) << c.level;
        EXPECT_EQ(status.Has("処理中"), c.wantsTrace) << c.level;
        if (c.level == 0) {
            EXPECT_TRUE(status.texts.empty());
        }
    }
}

TEST(Status, RequireConnectionOffersTheEventOnce)
{
    TPowersock sock;
    EXPECT_THROW(sock.RequireConnection(), Exception);
    int offers = 0;
    sock.OnConnectionRequired = [&](bool& handled) {
        ++offers;
        handled = true;  // claims to have connected, but has not
    };
    try {
        sock.RequireConnection();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "接続されていません");
    }
    EXPECT_EQ(offers, 1);

    ScriptedServer server({{Step::Stall(Ms{5000})}});
    sock.OnConnectionRequired = [&](bool& handled) {
        ConnectTo(sock, server);
        handled = true;
    };
    EXPECT_NO_THROW(sock.RequireConnection());
}

TEST(Timer, ThreadTimerTicksOnlyWhenArmed)
{
    TThreadTimer timer;
    int ticks = 0;
    timer.SetInterval(10);
    timer.SetOnTimer([&](TComponent*) { ++ticks; });
    support::PumpUntil([&] { return ticks >= 3; }, std::chrono::milliseconds(200));
    EXPECT_GE(ticks, 3);
    timer.SetEnabled(false);
    const int stopped = ticks;
    for (int i = 0; i < 20; ++i)
        platform::WaitPass(2);
    EXPECT_EQ(ticks, stopped);
}
