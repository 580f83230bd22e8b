// The tessary program through a real squid on loopback, as a user behind a company proxy runs
// it: squid keeps its client connections open after a reply that states its length, whatever
// the client's HTTP version, so a job that read each body until the close would wait for squid's
// idle time-out. squid runs as a child process with a configuration of our own in a scratch
// folder, forwards every request to the sample gallery and is stopped by its process id.
#include "support/GalleryProcess.h"
#include "support/ProgramRun.h"
#include "support/TempFolder.h"
#include "support/files.h"
#include "support/loopback.h"
#include "support/params.h"
#include "support/processes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using support::FileBytes;
using support::PrintTo;
using support::ProgramRun;
using support::TempFolder;

const char* const SquidPath = "/usr/sbin/squid";

// One squid on a free loopback port that caches nothing and hands every request to the sample
// gallery as its origin server, so that no name is ever looked up. Its access log lists each
// request as "METHOD URL STATUS".
class Squid {
public:
    ~Squid()
    {
        if (pid_ > 0)
            support::StopProcess(pid_, false, std::chrono::seconds(10));
    }

    // Empty when it listens, otherwise why not.
    std::string Start(std::uint16_t galleryPort)
    {
        port_ = support::FreeLoopbackPort();
        // Started by root, squid runs as the user cache_effective_user names, and refuses root.
        std::string user;
        if (::geteuid() == 0) {
            const passwd* proxy = ::getpwnam("proxy");
            if (proxy == nullptr)
                return "squid started by root needs the user proxy, which is not there";
            if (::chown(Dir().c_str(), proxy->pw_uid, proxy->pw_gid) != 0)
                return "cannot hand the scratch folder to the user proxy";
            user = "cache_effective_user proxy\n";
        }
        const std::string d = Dir().string();
        support::WriteFile(Dir() / "squid.conf",
                           "http_port 127.0.0.1:" + std::to_string(port_) + "\n"
                           "http_access allow localhost\n"
                           "http_access deny all\n"
                           "cache deny all\n"
                           "cache_peer 127.0.0.1 parent " + std::to_string(galleryPort) +
                               " 0 no-query no-digest originserver default\n"
                           "never_direct allow all\n"
                           "dns_nameservers 127.0.0.1\n"
                           "icp_port 0\n"
                           "htcp_port 0\n"
                           "pinger_enable off\n"
                           "visible_hostname tessary-test\n"
                           "pid_filename " + d + "/squid.pid\n"
                           "logformat requests %rm %ru %>Hs\n"
                           "access_log stdio:" + d + "/access.log requests\n"
                           "strip_query_terms off\n"
                           "cache_log " + d + "/cache.log\n"
                           "cache_store_log none\n"
                           "coredump_dir " + d + "\n"
                           "shutdown_lifetime 0 seconds\n" + user);
        // Its shared memory segments are named after the service: one of its own per instance.
        const std::string service = "tessary" + std::to_string(port_);
        const std::string config = d + "/squid.conf";
        const std::string output = d + "/squid.out";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<const char*> argv = {SquidPath, "-N", "-n", service.c_str(), "-f", config.c_str(), nullptr};
        const int failed =
            posix_spawn(&pid_, SquidPath, &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            pid_ = -1;
            return "cannot start " + std::string(SquidPath);
        }
        const support::StartOutcome outcome = support::WaitUntilListening(pid_, port_, std::chrono::seconds(20));
        if (outcome == support::StartOutcome::Listening)
            return {};
        if (outcome == support::StartOutcome::Exited)
            pid_ = -1;
        return "squid did not listen: " + FileBytes(Dir() / "squid.out") + FileBytes(Dir() / "cache.log");
    }

    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string AccessLog() const { return FileBytes(Dir() / "access.log"); }

private:
    fs::path Dir() const { return dir_.Path(); }

    TempFolder dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// The requests for pictures that squid logged in `log`, sorted.
Lines PictureRequests(const std::string& log)
{
    Lines requests;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find(".jpg ") != std::string::npos)
            requests.push_back(line);
    std::sort(requests.begin(), requests.end());
    return requests;
}

// What squid logs for each file of `tree` when it passes a picture on whole: one GET answered 200.
Lines WholePictureRequests(const Lines& tree)
{
    Lines requests;
    for (const std::string& line : tree)
        if (line.back() != '/')
            requests.push_back("GET http://www.fotoarchive.com/" + line.substr(0, line.rfind(' ')) + " 200");
    std::sort(requests.begin(), requests.end());
    return requests;
}

struct SquidCase {
    const char* name;
    Lines job;
    Lines mode;
};

class SquidMirrorTest : public ::testing::TestWithParam<SquidCase> {
protected:
    static void SetUpTestSuite()
    {
        if (::access(SquidPath, X_OK) != 0)
            return;
        gallery_ = std::make_unique<support::GalleryProcess>(Lines{});
        const std::uint16_t galleryPort = gallery_->ListeningPort();
        squid_ = std::make_unique<Squid>();
        startError_ = galleryPort == 0 ? "the sample gallery did not say it listens" : squid_->Start(galleryPort);
    }
    static void TearDownTestSuite()
    {
        squid_.reset();
        gallery_.reset();
    }

    void SetUp() override
    {
        if (::access(SquidPath, X_OK) != 0)
            GTEST_SKIP() << "squid is not installed at " << SquidPath << "; the runs through it need it";
        ASSERT_TRUE(fs::exists(support::ProgramPath())) << support::ProgramPath() << ": build the tessary target first";
        ASSERT_EQ(startError_, "");
        support::WriteFile(settings_, "");
    }

    // The picture requests squid logged after the first `skipped` bytes of its log, once
    // `expected` many are there or ten seconds have passed: it writes a line when it has passed
    // a reply on, which may be just after the client has it.
    static Lines PictureRequestsAfter(size_t skipped, size_t expected)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        Lines requests = PictureRequests(squid_->AccessLog().substr(skipped));
        while (requests.size() < expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            requests = PictureRequests(squid_->AccessLog().substr(skipped));
        }
        return requests;
    }

    static std::unique_ptr<support::GalleryProcess> gallery_;
    static std::unique_ptr<Squid> squid_;
    static std::string startError_;
    TempFolder destination_;
    TempFolder scratch_;
    fs::path settings_ = scratch_.Path() / "Tessary.ini";  // empty: the stored defaults
};

std::unique_ptr<support::GalleryProcess> SquidMirrorTest::gallery_;
std::unique_ptr<Squid> SquidMirrorTest::squid_;
std::string SquidMirrorTest::startError_;

// Each mode ends every reply at its length: the job ends with the whole gallery, every picture
// having come through squid.
TEST_P(SquidMirrorTest, MirrorsTheWholeGallery)
{
    const size_t logged = squid_->AccessLog().size();
    Lines args = GetParam().job;
    args.insert(args.end(), {"--dest", destination_.Text(), "--proxy", squid_->Address(), "--no-pause", "--settings",
                             settings_.string()});
    args.insert(args.end(), GetParam().mode.begin(), GetParam().mode.end());
    ProgramRun run(args);

    const int status = run.Finish(std::chrono::seconds(60));
    ASSERT_NE(status, -1) << "the job did not end within 60 s; it was killed. Standard error:\n" << run.Err;
    EXPECT_EQ(status, 0) << run.Err;
    const Lines complete = support::CompleteMirror({});
    EXPECT_EQ(destination_.Tree(), complete);
    const Lines expected = WholePictureRequests(complete);
    ASSERT_EQ(expected.size(), 55u);
    EXPECT_EQ(PictureRequestsAfter(logged, expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, SquidMirrorTest,
    ::testing::Values(SquidCase{"FolderJob", {"--folder", "77154"}, {}},
                      SquidCase{"FolderJobKeepAlive", {"--folder", "77154"}, {"--keep-alive"}},
                      SquidCase{"MemberJob", {"--member", "tessa"}, {}},
                      SquidCase{"MemberJobKeepAlive", {"--member", "tessa"}, {"--keep-alive"}}),
    support::CaseName);

}  // namespace
