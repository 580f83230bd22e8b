// The folder-ID and member jobs, screenless, against the sample gallery server: the tree they
// leave must be the one the server says a complete mirror holds.
#include "FakeHost.h"

#include "platform/files.h"
#include "support/processes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// Beside the test programs in the build tree.
fs::path GalleryProgram()
{
    return fs::path(platform::ProgramFolder()) / ".." / "tools" / "gallery" / "sample-gallery";
}

// One run of the sample gallery program, its standard output read through a pipe. Every read
// has a time limit, and the process is stopped (and reaped) when the object goes.
class GalleryProcess {
public:
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

    void Stop()
    {
        if (pid_ <= 0)
            return;
        support::StopProcess(pid_, false, std::chrono::seconds(5));
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

Lines SplitLines(const std::string& text)
{
    Lines lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class MirrorEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(GalleryProgram()))
            GTEST_SKIP() << "sample-gallery is not built (target sample-gallery); nothing to mirror";
        host.Destination = scratch.Text();
    }

    // Starts the server with `options`; the jobs reach it as their HTTP proxy.
    void StartGallery(const Lines& options)
    {
        server = std::make_unique<GalleryProcess>(options);
        ASSERT_TRUE(server->Started());
        const std::string line = server->ReadLine();
        const std::string prefix = "listening on 127.0.0.1:";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        host.UseProxy(static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size()))));
    }

    static Lines ExpectedTree(const Lines& options)
    {
        Lines arguments = options;
        arguments.push_back("--print-tree");
        GalleryProcess printer(arguments);
        return SplitLines(printer.ReadAll());
    }

    Lines ProblemLines() const
    {
        Lines problems;
        for (const std::string& line : host.Log)
            if (line.rfind("**", 0) == 0 || line.rfind("Cancel", 0) == 0)
                problems.push_back(line);
        return problems;
    }

    TempFolder scratch;
    FakeHost host;
    std::unique_ptr<GalleryProcess> server;
};

TEST_F(MirrorEndToEnd, FolderJobMirrorsTheWholeGallery)
{
    StartGallery({});
    host.FolderId = "77154";

    StartFolderJob(host);

    EXPECT_EQ(scratch.Tree(), ExpectedTree({}));
    EXPECT_EQ(ProblemLines(), Lines{});
    ASSERT_FALSE(host.Log.empty());
    EXPECT_EQ(host.Log.front(), "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154");
    EXPECT_TRUE(IsSummary(host.Statuses.back(), "completed: ")) << host.Statuses.back();
    EXPECT_NE(host.Statuses.back().find(" 0 already present, 0 failed, "), std::string::npos);
    EXPECT_FALSE(host.Running);
}

TEST_F(MirrorEndToEnd, MemberJobOfALargerGalleryOverManyPages)
{
    const Lines options = {"--scale", "3", "--per-page", "4", "--member", "otto", "--root", "500"};
    StartGallery(options);
    host.Member = "otto";

    StartMemberJob(host);

    EXPECT_EQ(scratch.Tree(), ExpectedTree(options));
    EXPECT_EQ(ProblemLines(), Lines{});

    // Four connections kept open: the same tree and the same log.
    TempFolder parallel;
    FakeHost fourKept;
    fourKept.Destination = parallel.Text();
    fourKept.Member = "otto";
    fourKept.UseProxy(static_cast<std::uint16_t>(host.NMHTTP1->ProxyPort));
    fourKept.NMHTTP1->KeepAlive = true;
    fourKept.Connections = 4;
    StartMemberJob(fourKept);
    EXPECT_EQ(parallel.Tree(), ExpectedTree(options));
    EXPECT_EQ(fourKept.Log, host.Log);
}

TEST_F(MirrorEndToEnd, CutPictureIsDroppedAndFetchedByTheNextJob)
{
    const std::string cut = "/gallery/tessa/family/family002.jpg";
    StartGallery({"--truncate", cut + ",times=1"});

    StartFolderJob(host);

    Lines expected = ExpectedTree({});
    std::erase_if(expected, [&](const std::string& line) { return line.rfind(cut.substr(1) + " ", 0) == 0; });
    EXPECT_EQ(scratch.Tree(), expected);
    EXPECT_EQ(ProblemLines(), (Lines{"** Multimedia files have been temporarily disabled.",
                                     "** Deleting file family002.jpg"}));

    // The pictures already there are skipped; only the missing one is fetched again.
    StartFolderJob(host);
    EXPECT_EQ(scratch.Tree(), ExpectedTree({}));
    EXPECT_EQ(ProblemLines(), Lines{});
}

}  // namespace
