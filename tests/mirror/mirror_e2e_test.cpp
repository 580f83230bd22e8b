// The folder-ID and member jobs, screenless, against the sample gallery server: the tree they
// leave must be the one the server says a complete mirror holds.
#include "FakeHost.h"

#include "support/GalleryProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using support::CompleteMirror;
using support::GalleryProcess;
using support::GalleryProgram;

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
        const std::uint16_t port = server->ListeningPort();
        ASSERT_NE(port, 0) << "the gallery did not say it listens";
        host.UseProxy(port);
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

    EXPECT_EQ(scratch.Tree(), CompleteMirror({}));
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

    EXPECT_EQ(scratch.Tree(), CompleteMirror(options));
    EXPECT_EQ(ProblemLines(), Lines{});

    // Four connections kept open: the same tree and the same log.
    TempFolder parallel;
    FakeHost fourKept;
    fourKept.Destination = parallel.Text();
    fourKept.Member = "otto";
    fourKept.UseProxy(static_cast<std::uint16_t>(host.NMHTTP1->ProxyPort));
    fourKept.NMHTTP1->KeepAlive = true;
    fourKept.Options.Connections = 4;
    StartMemberJob(fourKept);
    EXPECT_EQ(parallel.Tree(), CompleteMirror(options));
    EXPECT_EQ(fourKept.Log, host.Log);
}

TEST_F(MirrorEndToEnd, CutPictureIsDroppedAndFetchedByTheNextJob)
{
    const std::string cut = "/gallery/tessa/family/family002.jpg";
    StartGallery({"--truncate", cut + ",times=1"});

    StartFolderJob(host);

    Lines expected = CompleteMirror({});
    std::erase_if(expected, [&](const std::string& line) { return line.rfind(cut.substr(1) + " ", 0) == 0; });
    EXPECT_EQ(scratch.Tree(), expected);
    EXPECT_EQ(ProblemLines(), (Lines{"** Multimedia files have been temporarily disabled.",
                                     "** Deleting file family002.jpg"}));

    // The pictures already there are skipped; only the missing one is fetched again.
    StartFolderJob(host);
    EXPECT_EQ(scratch.Tree(), CompleteMirror({}));
    EXPECT_EQ(ProblemLines(), Lines{});
}

}  // namespace
