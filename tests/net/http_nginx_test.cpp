// The HTTP client against a real nginx on loopback: static files byte for byte, error pages,
// redirects, and what nginx logs about our requests.
#include "net/NMHttp.h"

#include "fixtures/ScriptedServer.h"
#include "support/TempFolder.h"
#include "support/files.h"
#include "support/loopback.h"
#include "support/processes.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using support::FileBytes;
using support::WriteFile;

const char* const NginxPath = "/usr/sbin/nginx";

// An nginx child process serving a temporary root on a free loopback port.
class Nginx {
public:
    ~Nginx()
    {
        if (pid_ > 0)
            support::StopProcess(pid_, false, std::chrono::seconds(10));
    }

    bool Start()
    {
        fs::permissions(Dir(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        fs::create_directories(Root() / "dir");
        fs::create_directories(Dir() / "temp");
        port_ = support::FreeLoopbackPort();
        const std::string d = Dir().string();
        WriteFile(Dir() / "nginx.conf",
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
                  "  types { text/html html; image/jpeg jpg; application/octet-stream bin; }\n"
                  "  server {\n"
                  "    listen 127.0.0.1:" + std::to_string(port_) + ";\n"
                  "    root " + d + "/site;\n"
                  "    location = /old.html { return 301 /dir/index.html; }\n"
                  "  }\n"
                  "}\n");
        const std::string prefix = d + "/";
        const std::string config = d + "/nginx.conf";
        const std::string errorLog = d + "/error.log";
        std::vector<const char*> argv = {NginxPath, "-p", prefix.c_str(), "-c", config.c_str(),
                                         "-e", errorLog.c_str(), nullptr};
        if (posix_spawn(&pid_, NginxPath, nullptr, nullptr, const_cast<char* const*>(argv.data()), environ) != 0) {
            pid_ = -1;
            return false;
        }
        const support::StartOutcome outcome = support::WaitUntilListening(pid_, port_, std::chrono::seconds(10));
        if (outcome == support::StartOutcome::Exited)
            pid_ = -1;  // it gave up (port taken, bad config): see error.log
        return outcome == support::StartOutcome::Listening;
    }

    fs::path Root() const { return Dir() / "site"; }
    fs::path Dir() const { return dir_.Path(); }
    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string ErrorLog() const { return FileBytes(Dir() / "error.log"); }

private:
    support::TempFolder dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

class HttpNginxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (access(NginxPath, X_OK) != 0)
            return;
        nginx_ = std::make_unique<Nginx>();
        started_ = nginx_->Start();
        if (!started_)
            startError_ = nginx_->ErrorLog();
    }
    static void TearDownTestSuite()
    {
        nginx_.reset();
    }

    void SetUp() override
    {
        if (access(NginxPath, X_OK) != 0)
            GTEST_SKIP() << "nginx is not installed at " << NginxPath << "; the interop cases need it";
        ASSERT_TRUE(started_) << "nginx did not start: " << startError_;
        http_.HeaderInfo.LocalMailAddress = "ie 6.0.2800.1106IC";
        http_.HeaderInfo.UserId = "Internet Explorer";
        http_.InputFileMode = true;
        http_.Body = (nginx_->Dir() / "received.bin").string();
    }

    static std::unique_ptr<Nginx> nginx_;
    static bool started_;
    static std::string startError_;
    TNMHTTP http_;
};

std::unique_ptr<Nginx> HttpNginxTest::nginx_;
bool HttpNginxTest::started_ = false;
std::string HttpNginxTest::startError_;

TEST_F(HttpNginxTest, GetsFilesErrorsAndRedirects)
{
    const std::string binary = fixtures::Pattern(0, 300000);
    const std::string index = "<HTML><BODY>the dir index</BODY></HTML>\r\n";
    WriteFile(nginx_->Root() / "picture.jpg", binary);
    WriteFile(nginx_->Root() / "dir" / "index.html", index);

    struct Row {
        const char* path;
        int code;             // of the last reply
        int requests;         // how many the cycle sent
        std::string body;     // expected file, or empty to look for `contains`
        std::string contains;
    };
    const std::vector<Row> rows = {
        {"/picture.jpg", 200, 1, binary, ""},
        {"/missing.html", 404, 1, "", "404 Not Found"},
        {"/dir", 200, 2, index, ""},           // nginx adds the slash of a directory with a 301
        {"/old.html", 200, 2, index, ""},      // a configured 301
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        int sends = 0;
        http_.OnAboutToSend = [&](TComponent*) { ++sends; };
        http_.Get(nginx_->Url(row.path));
        EXPECT_EQ(http_.ReplyNumber, row.code);
        EXPECT_EQ(sends, row.requests);
        const std::string received = FileBytes(http_.Body);
        if (!row.body.empty()) {
            EXPECT_TRUE(received == row.body) << "received " << received.size() << " bytes";
        } else {
            EXPECT_NE(received.find(row.contains), std::string::npos) << received;
        }
        if (row.code == 200) {
            EXPECT_EQ(http_.BytesTotal, static_cast<long long>(row.body.size()));
        }
    }
}

TEST_F(HttpNginxTest, AccessLogShowsOurRequestServed)
{
    WriteFile(nginx_->Root() / "logged.html", "<HTML>logged</HTML>");
    http_.Get(nginx_->Url("/logged.html"));
    ASSERT_EQ(http_.ReplyNumber, 200);

    // nginx writes the line when the request ends, which may be just after our close.
    std::string log;
    const std::string expected = "\"GET /logged.html HTTP/1.0\" 200 ";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        log = FileBytes(nginx_->Dir() / "access.log");
        if (log.find(expected) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    const size_t at = log.find(expected);
    ASSERT_NE(at, std::string::npos) << log;
    const std::string line = log.substr(at, log.find('\n', at) - at);
    EXPECT_NE(line.find("\"ie 6.0.2800.1106IC\""), std::string::npos) << line;
}

}  // namespace
