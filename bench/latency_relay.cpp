// A delay line between two loopback ports for the latency benchmark: every connection accepted
// on --listen gets its own connection to --to, and each direction's bytes are passed on RTT/2
// after they arrived, in order and as fast as they came, so that every request and its answer
// cost one round trip more, as over a distant link. An end of stream or a reset is passed on
// the same way, once the bytes before it are through. SIGTERM or SIGINT ends it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

// What a chunk stands for: bytes, or the end of stream or reset that came after them.
enum class End { None, Fin, Reset };

struct Chunk {
    Clock::time_point due;
    std::string bytes;
    End end = End::None;
};

// Reading pauses while a direction holds this much, so that a receiver which stops reading
// cannot make the relay grow without bound; at 64 MiB per half round trip it is no throttle.
constexpr size_t kQueueCap = size_t{64} << 20;

// What one socket of a link sent, waiting for its time to be written to the other.
struct Direction {
    std::deque<Chunk> queue;
    size_t queued = 0;     // bytes in the queue
    size_t written = 0;    // of the front chunk
    bool reading = true;   // until the sender's end of stream or reset was read
    bool blocked = false;  // the receiver's socket buffer is full: wait until it drains
    bool done = false;     // the end of stream was passed on
};

// An accepted connection (fd[0]) and its own upstream connection (fd[1]); dir[i] carries what
// fd[i] sent to fd[1 - i].
struct Link {
    int fd[2];
    Direction dir[2];
    bool closed = false;
};

void Close(Link& link, bool reset)
{
    for (const int fd : link.fd) {
        if (reset) {
            const linger abort{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        close(fd);
    }
    link.closed = true;
}

// One read from fd[side]: its bytes, or the end of stream or reset it tells, become due later.
void Read(Link& link, int side, Clock::duration delay)
{
    Direction& d = link.dir[side];
    char buffer[65536];
    const ssize_t n = read(link.fd[side], buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    Chunk chunk{Clock::now() + delay, {}, n > 0 ? End::None : n == 0 ? End::Fin : End::Reset};
    if (n > 0) {
        chunk.bytes.assign(buffer, static_cast<size_t>(n));
        d.queued += static_cast<size_t>(n);
    } else {
        d.reading = false;
    }
    d.queue.push_back(std::move(chunk));
}

// The receiver of dir[side] is gone: what it was still to get is dropped, and the sender learns
// it by a reset, as it would have from the receiver itself.
void Lost(Link& link, int side, Clock::duration delay)
{
    Direction& d = link.dir[side];
    d.queue.clear();
    d.queued = 0;
    d.reading = false;
    d.done = true;
    Direction& back = link.dir[1 - side];
    if (back.done)
        return;
    if (back.reading) {
        back.reading = false;
        back.queue.push_back({Clock::now() + delay, {}, End::Reset});
    } else {
        back.queue.back().end = End::Reset;
    }
}

// Writes to fd[1 - side] what of dir[side] is due by `now`, as far as the receiver takes it.
void Flush(Link& link, int side, Clock::time_point now, Clock::duration delay)
{
    Direction& d = link.dir[side];
    const int to = link.fd[1 - side];
    while (!link.closed && !d.blocked && !d.queue.empty() && d.queue.front().due <= now) {
        Chunk& chunk = d.queue.front();
        if (chunk.end == End::Reset) {
            Close(link, true);
            return;
        }
        if (chunk.end == End::Fin) {
            shutdown(to, SHUT_WR);
            d.done = true;
            d.queue.pop_front();
            continue;
        }
        const ssize_t n = send(to, chunk.bytes.data() + d.written, chunk.bytes.size() - d.written, MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN) {
            d.blocked = true;
        } else if (n < 0) {
            Lost(link, side, delay);
        } else if ((d.written += static_cast<size_t>(n)) == chunk.bytes.size()) {
            d.queued -= chunk.bytes.size();
            d.written = 0;
            d.queue.pop_front();
        }
    }
}

// How long the wait for events may last: until the first chunk due that is not held up by its
// receiver. False when nothing is due at all.
bool NextDue(const std::list<Link>& links, timespec& wait)
{
    bool any = false;
    Clock::time_point first;
    for (const Link& link : links)
        for (const Direction& d : link.dir)
            if (!d.blocked && !d.queue.empty() && (!any || d.queue.front().due < first)) {
                first = d.queue.front().due;
                any = true;
            }
    if (!any)
        return false;
    const long long ns = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(first - Clock::now()).count());
    wait = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return true;
}

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// A new client gets its own upstream connection, or is closed at once when there is none. No
// coalescing of small writes on either: the relay must add its delay and nothing else.
void Accept(int listener, const sockaddr_in& upstream, std::list<Link>& links)
{
    const int client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
    if (client < 0)
        return;
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&upstream), sizeof upstream) != 0 ||
        fcntl(server, F_SETFL, O_NONBLOCK) != 0) {
        close(server);
        close(client);
        return;
    }
    const int one = 1;
    for (const int fd : {client, server})
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    links.push_back({{client, server}, {}, false});
}

}  // namespace

int main(int argc, char** argv)
{
    int listen_port = 0;
    int to_port = 0;
    int rtt_ms = -1;
    for (int i = 1; argc == 7 && i < argc; i += 2) {
        const int value = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--listen") == 0)
            listen_port = value;
        else if (std::strcmp(argv[i], "--to") == 0)
            to_port = value;
        else if (std::strcmp(argv[i], "--rtt-ms") == 0)
            rtt_ms = value;
    }
    if (listen_port <= 0 || listen_port > 65535 || to_port <= 0 || to_port > 65535 || rtt_ms < 0) {
        std::fprintf(stderr, "usage: bench_latency_relay --listen PORT --to PORT --rtt-ms N\n");
        return 2;
    }
    const Clock::duration delay = std::chrono::microseconds(rtt_ms * 500);
    const sockaddr_in upstream = Loopback(to_port);

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const int stop_fd = signalfd(-1, &stop, SFD_NONBLOCK);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in here = Loopback(listen_port);
    if (stop_fd < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&here), sizeof here) != 0 ||
        listen(listener, 128) != 0) {
        std::perror("bench_latency_relay");
        return 1;
    }

    std::list<Link> links;
    std::vector<pollfd> polled;
    for (;;) {
        polled.assign({{listener, POLLIN, 0}, {stop_fd, POLLIN, 0}});
        for (const Link& link : links)
            for (const int side : {0, 1}) {
                const Direction& in = link.dir[side];
                const short events = static_cast<short>((in.reading && in.queued < kQueueCap ? POLLIN : 0) |
                                                        (link.dir[1 - side].blocked ? POLLOUT : 0));
                polled.push_back({events != 0 ? link.fd[side] : -1, events, 0});
            }
        timespec wait{};
        const bool timed = NextDue(links, wait);
        if (ppoll(polled.data(), polled.size(), timed ? &wait : nullptr, nullptr) < 0 && errno != EINTR) {
            std::perror("bench_latency_relay");
            return 1;
        }
        if (polled[1].revents != 0)
            break;
        size_t i = 2;
        for (Link& link : links)
            for (const int side : {0, 1}) {
                const short got = polled[i++].revents;
                if ((got & (POLLIN | POLLHUP | POLLERR)) != 0 && link.dir[side].reading)
                    Read(link, side, delay);
                if ((got & (POLLOUT | POLLHUP | POLLERR)) != 0)
                    link.dir[1 - side].blocked = false;
            }
        const Clock::time_point now = Clock::now();
        for (Link& link : links) {
            Flush(link, 0, now, delay);
            Flush(link, 1, now, delay);
            if (!link.closed && link.dir[0].done && link.dir[1].done)
                Close(link, false);
        }
        links.remove_if([](const Link& link) { return link.closed; });
        if ((polled[0].revents & POLLIN) != 0)
            Accept(listener, upstream, links);
    }
    for (Link& link : links)
        Close(link, false);
    close(listener);
    return 0;
}
