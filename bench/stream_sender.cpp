// A loopback sender for the transport benchmark: every connection gets its request head read,
// then an HTTP/1.0 reply of SIZE bytes, then a close. With SIZE 0 it answers nothing and holds
// the connection until the client goes (for the idle-wait measurement).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static void Serve(int fd, unsigned long long size)
{
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 && read(fd, &c, 1) == 1)
        head += c;
    if (size == 0) {
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 60000) > 0 && read(fd, &c, 1) > 0) {
        }
        return;
    }
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                              std::to_string(size) + "\r\n\r\n";
    if (write(fd, reply.data(), reply.size()) < 0)
        return;
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 131) ^ (i >> 9));
    for (unsigned long long left = size; left > 0;) {
        const size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
        const ssize_t w = write(fd, block.data(), n);
        if (w <= 0)
            return;
        left -= static_cast<unsigned long long>(w);
    }
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_stream_sender SIZE\n");
        return 2;
    }
    const unsigned long long size = std::strtoull(argv[1], nullptr, 10);
    signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 16) != 0)
        return 1;
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::printf("%d\n", ntohs(a.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        Serve(fd, size);
        close(fd);
    }
}
