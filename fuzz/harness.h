// What the fuzz targets share: a scratch folder, the server's end of a connection, and the
// check that turns a broken rule into a crash the fuzzer reports.
#pragma once

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fuzz {

// Inputs beyond this are skipped: the server side writes them whole into a socket buffer.
inline constexpr std::size_t MaxFeed = 64 * 1024;

inline std::string Text(const std::uint8_t* data, std::size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A rule of the code under test that the input broke: report it the way a crash is reported.
inline void Expect(bool holds, const char* rule)
{
    if (!holds) {
        std::fprintf(stderr, "broken rule: %s\n", rule);
        std::abort();
    }
}

// A folder of the run's own under the system's temporary folder, removed when the run ends.
class ScratchFolder {
public:
    static const std::string& Path()
    {
        static const ScratchFolder folder;
        return folder.path_;
    }

private:
    ScratchFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessary-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern + "/";
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string path_;
};

// The server's end of a connected pair of sockets, non-blocking like the transport's own; the
// client's end is handed over with Release.
class ServerEnd {
public:
    ServerEnd()
    {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
            std::perror("socketpair");
            std::abort();
        }
        client_ = ends[0];
        server_ = ends[1];
        const int size = static_cast<int>(MaxFeed) * 2;
        ::setsockopt(server_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    ~ServerEnd()
    {
        if (client_ >= 0)
            ::close(client_);
        ::close(server_);
    }
    ServerEnd(const ServerEnd&) = delete;
    ServerEnd& operator=(const ServerEnd&) = delete;

    std::uint16_t Release()
    {
        const int fd = client_;
        client_ = -1;
        return static_cast<std::uint16_t>(fd);
    }

    // Sends the whole of `bytes` at once; at most MaxFeed of them.
    void Say(const std::string& bytes)
    {
        Expect(::send(server_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()),
               "the socket takes the whole input");
    }
    // Ends the sending side, as a server does that hangs up.
    void HangUp() { ::shutdown(server_, SHUT_WR); }
    // Reads away what the client sent, so that its sending never waits.
    void Drain()
    {
        char scratch[4096];
        while (::recv(server_, scratch, sizeof scratch, 0) > 0) {
        }
    }

private:
    int client_ = -1;
    int server_ = -1;
};

}  // namespace fuzz
