// The HTTP client against a real nginx on loopback: static files byte for byte, error pages,
// redirects, and what nginx logs about our requests.
#include "net/NMHttp.h"

#include "fixtures/ScriptedServer.h"
#include "support/TempFolder.h"
#include "support/files.h"
#include "support/nginx.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using support::FileBytes;
using support::WriteFile;

class HttpNginxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!support::Nginx::Installed())
            return;
        folder_ = std::make_unique<support::TempFolder>();
        nginx_ = std::make_unique<support::Nginx>(folder_->Path());
        fs::create_directories(nginx_->Root() / "dir");
        started_ = nginx_->Start("", "    location = /old.html { return 301 /dir/index.html; }\n");
        if (!started_)
            startError_ = nginx_->ErrorLog();
    }
    static void TearDownTestSuite()
    {
        nginx_.reset();
        folder_.reset();
    }

    void SetUp() override
    {
        if (!support::Nginx::Installed())
            GTEST_SKIP() << "nginx is not installed at " << support::Nginx::Binary << "; the interop cases need it";
        ASSERT_TRUE(started_) << "nginx did not start: " << startError_;
        http_.HeaderInfo.LocalMailAddress = "ie 6.0.2800.1106IC";
        http_.HeaderInfo.UserId = "Internet Explorer";
        http_.InputFileMode = true;
        http_.Body = (nginx_->Dir() / "received.bin").string();
    }

    static std::unique_ptr<support::TempFolder> folder_;
    static std::unique_ptr<support::Nginx> nginx_;
    static bool started_;
    static std::string startError_;
    TNMHTTP http_;
};

std::unique_ptr<support::TempFolder> HttpNginxTest::folder_;
std::unique_ptr<support::Nginx> HttpNginxTest::nginx_;
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
