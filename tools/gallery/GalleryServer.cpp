#include "GalleryServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace gallery {

namespace {

constexpr std::size_t kMaxHead = 16 * 1024;
constexpr int kRequestTimeoutMs = 30000;
constexpr int kLingerTimeoutMs = 2000;
constexpr std::size_t kMaxWorkers = 64;
constexpr std::size_t kSlowChunk = 512;

std::runtime_error SystemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

std::string Head(const Reply& reply, std::size_t length)
{
    return "HTTP/1.0 " + std::to_string(reply.code) + " " + reply.reason + "\r\nServer: sample-gallery\r\n" +
           "Content-Type: " + reply.contentType + "\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: close\r\n\r\n";
}

std::size_t HeadEnd(const std::string& data)
{
    const std::size_t crlf = data.find("\r\n\r\n");
    const std::size_t lf = data.find("\n\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return crlf + 4;
    return lf == std::string::npos ? std::string::npos : lf + 2;
}

const char* KnobName(KnobKind kind)
{
    switch (kind) {
    case KnobKind::Error: return "error";
    case KnobKind::Stall: return "stall";
    case KnobKind::Truncate: return "truncate";
    }
    return "";
}

}  // namespace

GalleryServer::GalleryServer(const Gallery& gallery, std::vector<Knob> knobs, int slowMs)
    : gallery_(gallery), knobs_(std::move(knobs)), slowMs_(slowMs)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw SystemError("pipe");
    wakeRead_.Reset(fds[0]);
    wakeWrite_.Reset(fds[1]);
}

GalleryServer::~GalleryServer()
{
    Stop();
    ReapWorkers(true);
}

std::uint16_t GalleryServer::Listen(std::uint16_t port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.Get() < 0) throw SystemError("socket");
    const int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw SystemError("bind 127.0.0.1:" + std::to_string(port));
    if (::listen(fd.Get(), 64) != 0) throw SystemError("listen");
    socklen_t length = sizeof address;
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw SystemError("getsockname");
    listener_ = std::move(fd);
    return ntohs(address.sin_port);
}

void GalleryServer::Stop() noexcept
{
    // The pipe is never drained, so every poll that watches it wakes up from now on.
    const char byte = 'x';
    [[maybe_unused]] auto written = ::write(wakeWrite_.Get(), &byte, 1);
}

bool GalleryServer::Stopping() const
{
    pollfd wake{wakeRead_.Get(), POLLIN, 0};
    return ::poll(&wake, 1, 0) > 0;
}

void GalleryServer::Run()
{
    if (listener_.Get() < 0) throw std::logic_error("Run before Listen");
    for (;;) {
        pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {wakeRead_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throw SystemError("poll");
        }
        if (fds[1].revents) break;
        UniqueFd connection(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (connection.Get() < 0) continue;
        ReapWorkers(false);
        if (workers_.size() >= kMaxWorkers) continue;  // closing it is the cheapest answer to a flood
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread thread([this, done, fd = connection.Release()] {
            Serve(UniqueFd(fd));
            *done = true;
        });
        workers_.push_back({std::move(thread), std::move(done)});
    }
    listener_.Reset();
    ReapWorkers(true);
}

void GalleryServer::ReapWorkers(bool all)
{
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (all || *it->done) {
            if (it->thread.joinable()) it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

bool GalleryServer::WaitFor(int fd, short events, int timeoutMs) const
{
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakeRead_.Get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || fds[1].revents) return false;
        return true;
    }
}

bool GalleryServer::ReadRequest(int fd, std::string& head) const
{
    char buffer[4096];
    while (HeadEnd(head) == std::string::npos) {
        if (head.size() > kMaxHead || !WaitFor(fd, POLLIN, kRequestTimeoutMs)) return false;
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) return false;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    head.resize(HeadEnd(head));
    return true;
}

bool GalleryServer::SendAll(int fd, const std::string& data) const
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        std::size_t piece = data.size() - sent;
        if (slowMs_ > 0) {
            piece = std::min(piece, kSlowChunk);
            if (sent > 0) {
                pollfd wake{wakeRead_.Get(), POLLIN, 0};
                if (::poll(&wake, 1, slowMs_) != 0) return false;
            }
        }
        if (!WaitFor(fd, POLLOUT, -1)) return false;
        const ssize_t put = ::send(fd, data.data() + sent, piece, MSG_NOSIGNAL);
        if (put < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (put <= 0) return false;
        sent += static_cast<std::size_t>(put);
    }
    return true;
}

// Half-close and read until the client closes, so that unread request bytes cannot reset the reply.
void GalleryServer::Linger(int fd) const
{
    ::shutdown(fd, SHUT_WR);
    char buffer[1024];
    while (WaitFor(fd, POLLIN, kLingerTimeoutMs)) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) return;
    }
}

GalleryServer::Exchange GalleryServer::Answer(const std::string& request)
{
    Exchange exchange;
    const std::string line = request.substr(0, request.find_first_of("\r\n"));
    const std::size_t blank = line.find(' ');
    exchange.method = line.substr(0, blank);
    const std::string rawTarget =
        blank == std::string::npos ? std::string() : line.substr(blank + 1, line.find(' ', blank + 1) - blank - 1);
    exchange.target = NormalizeTarget(rawTarget);
    if (exchange.method != "GET" && exchange.method != "HEAD") {
        exchange.reply = Gallery::ErrorReply(exchange.method.empty() || rawTarget.empty() ? 400 : 501);
        return exchange;
    }
    exchange.reply = gallery_.Answer(exchange.target);
    exchange.knob = knobs_.Take(exchange.target);
    const std::optional<Knob>& knob = exchange.knob;
    if (knob && knob->kind == KnobKind::Error)
        exchange.reply = knob->code == 0 ? Gallery::ClientErrorReply() : Gallery::ErrorReply(knob->code);
    return exchange;
}

// The bytes that go on the wire, with what a stall or truncate knob leaves of them.
std::string GalleryServer::Exchange::Wire(std::size_t& bodyBytes) const
{
    const std::string body = method == "HEAD" ? std::string() : reply.body;
    bodyBytes = body.size();
    bool sendHead = true;
    if (knob && knob->kind == KnobKind::Stall) {
        sendHead = knob->after >= 0;
        bodyBytes = sendHead ? std::min(bodyBytes, static_cast<std::size_t>(knob->after)) : 0;
    } else if (knob && knob->kind == KnobKind::Truncate) {
        bodyBytes = knob->after >= 0 ? std::min(bodyBytes, static_cast<std::size_t>(knob->after)) : bodyBytes / 2;
    }
    return (sendHead ? Head(reply, reply.body.size()) : std::string()) + body.substr(0, bodyBytes);
}

void GalleryServer::Serve(UniqueFd connection)
{
    const int fd = connection.Get();
    std::string request;
    if (!ReadRequest(fd, request)) return;
    const Exchange exchange = Answer(request);
    std::size_t bodyBytes = 0;
    const bool sent = SendAll(fd, exchange.Wire(bodyBytes));
    const bool stall = exchange.knob && exchange.knob->kind == KnobKind::Stall;
    Report(exchange.method + " " + exchange.target + " " + std::to_string(exchange.reply.code) + " " +
           std::to_string(bodyBytes) + "/" + std::to_string(exchange.reply.body.size()) +
           (exchange.knob ? std::string(" ") + KnobName(exchange.knob->kind) : "") + (sent ? "" : " (not sent)"));
    if (!sent) return;
    if (stall) HoldUntilClosed(fd);
    else Linger(fd);
}

void GalleryServer::HoldUntilClosed(int fd) const
{
    char buffer[1024];
    while (WaitFor(fd, POLLIN, -1)) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
}

void GalleryServer::Report(const std::string& line)
{
    if (!OnRequest) return;
    std::lock_guard lock(reportMutex_);
    OnRequest(*this, line);
}

}  // namespace gallery
