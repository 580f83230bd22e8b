// The scripted loopback servers do what their knobs say; every other test relies on them.
#include "fixtures/ScriptedFtpServer.h"
#include "fixtures/ScriptedServer.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace {

using namespace fixtures;
using namespace std::chrono_literals;

constexpr Ms kWait = 5s;

// Blocking calls on `fd` (connect, accept, send, recv) give up after `limit`.
void Limit(int fd, Ms limit)
{
    timeval t{static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

// A plain blocking socket whose every call gives up after `limit`.
class Client {
public:
    explicit Client(int fd, Ms limit = kWait) : fd_(fd) { Limit(fd_, limit); }
    static Client To(std::uint16_t port, Ms limit = kWait)
    {
        Client c(socket(AF_INET, SOCK_STREAM, 0), limit);
        sockaddr_in a = support::LoopbackAddress(port);
        EXPECT_EQ(connect(c.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return c;
    }
    Client(Client&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ~Client()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    bool Send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // Through the next LF; whatever came when the peer closed, failed or the limit passed.
    std::string Line()
    {
        std::string line;
        char c;
        while (recv(fd_, &c, 1, 0) == 1) {
            line += c;
            if (c == '\n')
                break;
        }
        return line;
    }
    // Everything until the peer closes; `error` gets errno when the read fails instead.
    std::string Rest(int* error = nullptr)
    {
        std::string all;
        char buffer[65536];
        for (;;) {
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                all.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (error)
                *error = n == 0 ? 0 : errno;
            return all;
        }
    }
    std::string Command(const std::string& line)
    {
        Send(line + "\r\n");
        return Line();
    }
    void ShutdownWrite() { shutdown(fd_, SHUT_WR); }
    void Close()
    {
        close(std::exchange(fd_, -1));
    }
    int Fd() const { return fd_; }

private:
    int fd_;
};

// Where the FTP server connects back to, as the client under test would listen.
class DataListener {
public:
    DataListener() : fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a = support::LoopbackAddress();
        socklen_t length = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 1);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        Limit(fd_, kWait);
    }
    ~DataListener() { close(fd_); }
    std::string PortCommand() const
    {
        return "PORT 127,0,0,1," + std::to_string(port_ / 256) + "," + std::to_string(port_ % 256);
    }
    // The next incoming connection and its peer address; fd -1 when none came in time.
    std::pair<Client, std::string> Accept()
    {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = accept(fd_, reinterpret_cast<sockaddr*>(&peer), &length);
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        return {Client(fd), fd >= 0 ? text : ""};
    }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

TEST(ScriptedServer, RunsScriptsOneConnectionAfterAnother)
{
    ScriptedServer server({
        {Step::ReadUntil("\r\n"), Step::SendPieces({"ab", "c"}, 10ms), Step::SendGenerated(300000, 4096),
         Step::Close()},
        {Step::ReadUntil("\r\n"), Step::Reset()},
        {Step::Stall()},
    });

    Client first = Client::To(server.Port());
    first.Send("hello\r\nmore");
    int error = -1;
    EXPECT_EQ(first.Rest(&error), "abc" + Pattern(0, 300000));
    EXPECT_EQ(error, 0);
    first.ShutdownWrite();
    ASSERT_TRUE(server.WaitForFinished(1, kWait));
    EXPECT_EQ(server.Received(0), "hello\r\nmore");
    EXPECT_TRUE(server.PeerClosed(0));

    Client second = Client::To(server.Port());
    second.Send("x\r\n");
    second.Rest(&error);
    EXPECT_EQ(error, ECONNRESET);

    Client third = Client::To(server.Port());
    third.Send("unanswered");
    ASSERT_TRUE(server.WaitForReceived(2, "unanswered", kWait));
    server.Stop();  // must end the stall
    EXPECT_EQ(third.Rest(&error), "");
    EXPECT_EQ(error, 0);
    EXPECT_EQ(server.Connections(), 3);
    EXPECT_EQ(server.Finished(), 3);
}

TEST(ScriptedServer, ReadsSlowlyThenCountsAnUploadWithoutStoringIt)
{
    const std::size_t head = 64 * 1024, size = 4 * 1024 * 1024;
    ServerOptions options;
    options.receiveBuffer = 4096;
    ScriptedServer server({{Step::ReadSlowly(1024, 1ms, head), Step::CountAll()}}, options);

    Client client = Client::To(server.Port());
    ASSERT_TRUE(client.Send(Pattern(0, size)));
    client.ShutdownWrite();
    ASSERT_TRUE(server.WaitForFinished(1, kWait));
    EXPECT_EQ(server.Received(0), Pattern(0, head));
    EXPECT_EQ(server.CountedBytes(0), size - head);
    EXPECT_EQ(server.CountedHash(0), HashOf(Pattern(head, size - head)));
}

TEST(ScriptedServer, ListenOnlyNeverAccepts)
{
    ServerOptions options;
    options.mode = ServerOptions::Mode::ListenOnly;
    ScriptedServer server({{Step::Send("never")}}, options);

    Client client = Client::To(server.Port(), 200ms);  // the backlog completes the handshake
    int error = 0;
    EXPECT_EQ(client.Rest(&error), "");
    EXPECT_EQ(error, EAGAIN);
    EXPECT_EQ(server.Connections(), 0);
}

TEST(ScriptedHttpServer, RecordsRequestsAndAnswersByScriptOrResponder)
{
    ScriptedHttpServer server({
        Reply::Status(200, "OK", "hi", {{"X-Test", "1"}}),
        Reply::Steps({Step::Send(HttpHead(200, "OK")), Step::SendGenerated(100000), Step::Close()}),
    });
    const std::string post = "POST /a HTTP/1.0\r\nContent-Length: 3\r\n\r\n";
    const std::string get = "GET /b HTTP/1.0\r\nHost: x\r\n\r\n";

    Client first = Client::To(server.Port());
    first.Send(post + "abc");
    EXPECT_EQ(first.Rest(), "HTTP/1.0 200 OK\r\nX-Test: 1\r\nContent-Length: 2\r\n\r\nhi");
    first.Close();
    Client second = Client::To(server.Port());
    second.Send(get);
    EXPECT_EQ(second.Rest(), "HTTP/1.0 200 OK\r\n\r\n" + Pattern(0, 100000));
    second.Close();
    Client third = Client::To(server.Port());
    third.Send(get);
    EXPECT_EQ(third.Line(), "HTTP/1.0 500 No scripted reply\r\n");

    ASSERT_TRUE(server.WaitForRequests(3, kWait));
    EXPECT_EQ(server.Requests(), (std::vector<std::string>{post, get, get}));
    EXPECT_EQ(server.RequestBody(0), "abc");

    ScriptedHttpServer gallery([](const std::string& head, int index) {
        return Reply::Raw("HTTP/1.0 200 OK\r\n\r\n" + std::to_string(index) + " " + head.substr(0, head.find('\r')));
    });
    Client proxied = Client::To(gallery.Port());
    proxied.Send("GET http://server/x HTTP/1.0\r\n\r\n");
    EXPECT_EQ(proxied.Rest(), "HTTP/1.0 200 OK\r\n\r\n0 GET http://server/x HTTP/1.0");
}

TEST(ScriptedFtpServer, AnswersTheTranscriptAndConnectsBack)
{
    ScriptedFtpServer server;
    server.SetGreeting(FtpAction::Pieces({"220-Welcome\r\n", "220", " ", "ready\r\n"}, 10ms));
    server.SetAction("CWD", 1, FtpAction::Text("550 No such directory.\r\n"));
    server.SetListing("-rw-r--r-- 1 u g 5 Jan 1 00:00 a\r\nno line end");
    server.SetGeneratedFile("big.bin", 200000);
    FtpAction foreign;
    foreign.dataSource = "127.0.0.2";
    foreign.finalReply = "451 Local error.\r\n";
    server.SetAction("RETR", 2, foreign);
    DataListener data;

    Client control = Client::To(server.Port());
    EXPECT_EQ(control.Line(), "220-Welcome\r\n");
    EXPECT_EQ(control.Line(), "220 ready\r\n");
    EXPECT_EQ(control.Command("USER u"), "331 Password required.\r\n");
    EXPECT_EQ(control.Command("PASS p"), "230 User logged in.\r\n");
    EXPECT_EQ(control.Command("CWD x"), "550 No such directory.\r\n");
    EXPECT_EQ(control.Command("SYST"), "215 UNIX Type: L8\r\n");

    EXPECT_EQ(control.Command(data.PortCommand()), "200 PORT command successful.\r\n");
    EXPECT_EQ(control.Command("LIST").substr(0, 4), "150 ");
    auto [listing, listingPeer] = data.Accept();
    EXPECT_EQ(listing.Rest(), "-rw-r--r-- 1 u g 5 Jan 1 00:00 a\r\nno line end");
    EXPECT_EQ(control.Line(), "226 Transfer complete.\r\n");

    control.Command(data.PortCommand());
    EXPECT_EQ(control.Command("RETR big.bin"),
              "150 Opening BINARY mode data connection for big.bin (200000 bytes).\r\n");
    auto [file, filePeer] = data.Accept();
    EXPECT_EQ(HashOf(file.Rest()), PatternHash(200000));
    EXPECT_EQ(control.Line(), "226 Transfer complete.\r\n");

    control.Command(data.PortCommand());
    control.Command("RETR big.bin");
    auto [again, againPeer] = data.Accept();
    EXPECT_EQ(againPeer, "127.0.0.2");
    again.Rest();
    EXPECT_EQ(control.Line(), "451 Local error.\r\n");
    EXPECT_EQ(control.Command("QUIT"), "221 Goodbye.\r\n");
    EXPECT_EQ(control.Rest(), "");

    const std::string port = data.PortCommand();
    EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER u", "PASS p", "CWD x", "SYST", port, "LIST",
                                                           port, "RETR big.bin", port, "RETR big.bin", "QUIT"}));
    ASSERT_TRUE(server.WaitForTransfers(3, kWait));
    auto transfers = server.Transfers();
    EXPECT_EQ(listingPeer, "127.0.0.1");
    EXPECT_EQ(transfers[0].sent, "-rw-r--r-- 1 u g 5 Jan 1 00:00 a\r\nno line end");
    EXPECT_TRUE(transfers[1].complete);
    EXPECT_EQ(transfers[1].bytesSent, 200000u);
    EXPECT_EQ(transfers[2].command, "RETR big.bin");
}

TEST(ScriptedFtpServer, AbortsAndDropsInMidTransfer)
{
    ScriptedFtpServer server;
    server.SetFile("f", std::string(5000, 'x'));
    FtpAction aborted;
    aborted.midReplyAfter = 1000;
    aborted.midReply = "426 Transfer aborted.\r\n";
    aborted.dataLimit = 1000;
    aborted.finalReply = "";
    server.SetAction("RETR", 1, aborted);
    FtpAction dropped;
    dropped.closeControlAfter = 2000;
    server.SetAction("RETR", 2, dropped);
    DataListener data;

    Client control = Client::To(server.Port());
    control.Line();
    control.Command(data.PortCommand());
    control.Command("RETR f");
    auto [first, firstPeer] = data.Accept();
    EXPECT_EQ(control.Line(), "426 Transfer aborted.\r\n");
    EXPECT_EQ(first.Rest().size(), 1000u);
    EXPECT_EQ(control.Command("NOOP"), "200 NOOP command successful.\r\n");

    control.Command(data.PortCommand());
    control.Command("RETR f");
    auto [second, secondPeer] = data.Accept();
    EXPECT_EQ(control.Rest(), "");  // the control connection closed after 2000 data bytes
    EXPECT_EQ(second.Rest(), std::string(5000, 'x'));
    ASSERT_TRUE(server.WaitForTransfers(2, kWait));
    EXPECT_FALSE(server.Transfers()[0].complete);
    EXPECT_EQ(server.Transfers()[1].bytesSent, 5000u);
}

}  // namespace
