// The sample gallery server of tools/gallery as a child process of a test: its port read from
// its first line of output, the tree a complete mirror of it holds, and its stop.
#pragma once

#include "platform/files.h"
#include "support/processes.h"

#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace support {

// Beside the test programs in the build tree.
inline std::filesystem::path GalleryProgram()
{
    return std::filesystem::path(platform::ProgramFolder()) / ".." / "tools" / "gallery" / "sample-gallery";
}

// One run of the sample gallery program, its standard output read through a pipe. Every read
// has a time limit, and the process is stopped (and reaped) when the object goes.
class GalleryProcess {
public:
    using Lines = std::vector<std::string>;

    explicit GalleryProcess(const Lines& arguments)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe failed");
        output_ = fds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        const std::string program = GalleryProgram().string();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const int failed = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (failed != 0)
            pid_ = -1;
    }
    ~GalleryProcess()
    {
        Stop();
        ::close(output_);
    }
    GalleryProcess(const GalleryProcess&) = delete;
    GalleryProcess& operator=(const GalleryProcess&) = delete;

    bool Started() const { return pid_ > 0; }

    // Everything the process writes until it closes its output, or what came within `limitMs`.
    std::string ReadAll(int limitMs = 10000)
    {
        std::string text;
        while (ReadSome(text, limitMs) > 0) {
        }
        return text;
    }

    // The first line of output, or empty when none came within `limitMs`.
    std::string ReadLine(int limitMs = 10000)
    {
        while (pending_.find('\n') == std::string::npos)
            if (ReadSome(pending_, limitMs) <= 0)
                return {};
        const size_t end = pending_.find('\n');
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
    }

    // The port of "listening on 127.0.0.1:PORT", the first line a server prints; 0 when that
    // line did not come.
    std::uint16_t ListeningPort(int limitMs = 10000)
    {
        const std::string line = ReadLine(limitMs);
        const std::string prefix = "listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) != 0)
            return 0;
        return static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
    }

    void Stop()
    {
        if (pid_ <= 0)
            return;
        StopProcess(pid_, false, std::chrono::seconds(5));
        pid_ = -1;
    }

private:
    long ReadSome(std::string& into, int limitMs)
    {
        pollfd ready{output_, POLLIN, 0};
        if (::poll(&ready, 1, limitMs) <= 0)
            return -1;
        char buffer[4096];
        const ssize_t got = ::read(output_, buffer, sizeof buffer);
        if (got > 0)
            into.append(buffer, static_cast<size_t>(got));
        return got;
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::string pending_;
};

// The folders and files a complete mirror of the gallery that `options` describe holds, as
// TempFolder::Tree lists them.
inline std::vector<std::string> CompleteMirror(const std::vector<std::string>& options)
{
    std::vector<std::string> arguments = options;
    arguments.push_back("--print-tree");
    GalleryProcess printer(arguments);
    const std::string text = printer.ReadAll();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace support
