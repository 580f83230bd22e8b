// Debian's nginx as a child process of a test: a configuration of our own in the test's scratch
// folder, a free loopback port, and a stop by its process id.
#pragma once

#include "support/files.h"
#include "support/loopback.h"
#include "support/processes.h"

#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace support {

class Nginx {
public:
    static constexpr const char* Binary = "/usr/sbin/nginx";
    static bool Installed() { return ::access(Binary, X_OK) == 0; }

    // Everything it uses and serves lives in `folder`, which its workers (possibly another
    // user) may enter; `Root()` is what it serves.
    explicit Nginx(std::filesystem::path folder) : dir_(std::move(folder))
    {
        namespace fs = std::filesystem;
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        fs::create_directories(Root());
        fs::create_directories(dir_ / "temp");
    }
    ~Nginx() { Stop(); }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    // Starts it on a free port, `httpLines` added to its http block and `serverLines` to its
    // server block; false when it did not listen within 10 s (ErrorLog() says why). The access
    // log (combined format) is kept over restarts.
    bool Start(const std::string& httpLines = "", const std::string& serverLines = "")
    {
        Stop();
        port_ = FreeLoopbackPort();
        const std::string d = dir_.string();
        WriteFile(dir_ / "nginx.conf",
                  "daemon off;\n"
                  "worker_processes 1;\n"
                  "pid " + d + "/nginx.pid;\n"
                  "error_log " + d + "/error.log;\n"
                  "events { worker_connections 256; }\n"
                  "http {\n"
                  "  access_log " + d + "/access.log;\n"
                  "  client_body_temp_path " + d + "/temp/body;\n"
                  "  proxy_temp_path " + d + "/temp/proxy;\n"
                  "  fastcgi_temp_path " + d + "/temp/fastcgi;\n"
                  "  uwsgi_temp_path " + d + "/temp/uwsgi;\n"
                  "  scgi_temp_path " + d + "/temp/scgi;\n"
                  "  types { text/html html; image/jpeg jpg; application/octet-stream bin; }\n" +
                  httpLines +
                  "  server {\n"
                  "    listen 127.0.0.1:" + std::to_string(port_) + ";\n"
                  "    root " + d + "/site;\n" +
                  serverLines +
                  "  }\n"
                  "}\n");
        const std::string prefix = d + "/";
        const std::string config = d + "/nginx.conf";
        const std::string errorLog = d + "/error.log";
        std::vector<const char*> argv = {Binary, "-p", prefix.c_str(), "-c", config.c_str(),
                                         "-e", errorLog.c_str(), nullptr};
        if (::posix_spawn(&pid_, Binary, nullptr, nullptr, const_cast<char* const*>(argv.data()), environ) != 0) {
            pid_ = -1;
            return false;
        }
        const StartOutcome outcome = WaitUntilListening(pid_, port_, std::chrono::seconds(10));
        if (outcome == StartOutcome::Exited)
            pid_ = -1;  // it gave up (port taken, bad config): see error.log
        return outcome == StartOutcome::Listening;
    }

    // Ends it and its worker; every request it served is in its logs then.
    void Stop()
    {
        if (pid_ > 0)
            StopProcess(pid_, false, std::chrono::seconds(10));
        pid_ = -1;
    }

    std::filesystem::path Root() const { return dir_ / "site"; }
    const std::filesystem::path& Dir() const { return dir_; }
    std::uint16_t Port() const { return port_; }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::string ErrorLog() const { return FileBytes(dir_ / "error.log"); }

private:
    std::filesystem::path dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace support
