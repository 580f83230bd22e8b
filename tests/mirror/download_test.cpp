// The file download step and MakeLocalFolders: skips, transports, failures, the pause, and
// what is left on the disk afterwards.
#include "FakeHost.h"

#include "fixtures/ScriptedFtpServer.h"
#include "net/NMFtp.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using support::FileBytes;

const std::string Site = "http://www.fotoarchive.com";
const std::string Folder = "/gallery/tessa/f/";

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host.Destination = scratch.Text();
        host.UseProxy(stub.Port());
    }

    std::string LocalFolder() const { return host.Destination + "\\gallery\\tessa\\f\\"; }
    fs::path LocalFile(const std::string& name) const { return scratch.Path() / "gallery/tessa/f" / name; }

    void Download(const std::string& name) { host.DownloadFile(LocalFolder(), Site + Folder + name, name); }

    void Serve(const std::string& name, const std::string& bytes)
    {
        stub.Set(Site + Folder + name, fixtures::Reply::Status(200, "OK", bytes, {{"Content-Type", "image/jpeg"}}));
    }

    void Write(const fs::path& path, const std::string& bytes) const
    {
        fs::create_directories(path.parent_path());
        support::WriteFile(path, bytes);
    }

    TempFolder scratch;
    GalleryStub stub;
    FakeHost host;
};

TEST_F(DownloadTest, StoresThePictureAndRestoresTheClientState)
{
    const std::string bytes = fixtures::Pattern(0, 100000);
    Serve("a.jpg", bytes);
    std::vector<int> levelsDuringTransfer;
    host.NMHTTP1->OnStatus = [this, &levelsDuringTransfer](TComponent* Sender, const std::string& Status) {
        levelsDuringTransfer.push_back(host.NMHTTP1->ReportLevel);
        host.NMHTTP1Status(Sender, Status);
    };
    host.IdleTicks = 17;

    Download("a.jpg");

    EXPECT_EQ(stub.Urls(), Lines{Site + Folder + "a.jpg"});
    EXPECT_EQ(FileBytes(LocalFile("a.jpg")), bytes);
    EXPECT_FALSE(fs::exists(LocalFile("a.jpg.part")));
    EXPECT_EQ(host.Log, Lines{});
    EXPECT_EQ(host.Statuses, Lines{"Downloading a.jpg. . ."});
    ASSERT_FALSE(levelsDuringTransfer.empty()) << "the transfer reports progress to the watchdog";
    EXPECT_EQ(levelsDuringTransfer, std::vector<int>(levelsDuringTransfer.size(), 8));
    EXPECT_EQ(host.NMHTTP1->ReportLevel, 1);
    EXPECT_FALSE(host.Downloading);
    EXPECT_EQ(host.IdleTicks, 0);
    EXPECT_FALSE(host.MultimediaLockout);
}

TEST_F(DownloadTest, ExistingFileCostsNoRequestAndNoPause)
{
    Write(LocalFile("a.jpg"), "kept");
    host.Pause = true;
    host.NMHTTP1->ReportLevel = 0;

    Download("a.jpg");

    EXPECT_EQ(stub.Urls(), Lines{});
    EXPECT_EQ(host.Events, Lines{});
    EXPECT_EQ(FileBytes(LocalFile("a.jpg")), "kept");
    EXPECT_EQ(host.NMHTTP1->ReportLevel, 1);
    EXPECT_FALSE(host.Downloading);
}

TEST_F(DownloadTest, LeftoverPartialFileIsNotTakenForThePicture)
{
    Write(LocalFile("a.jpg.part"), "cut sho");
    Serve("a.jpg", "whole picture");

    Download("a.jpg");

    EXPECT_EQ(FileBytes(LocalFile("a.jpg")), "whole picture");
    EXPECT_FALSE(fs::exists(LocalFile("a.jpg.part")));
}

TEST_F(DownloadTest, PauseFollowsEachTransferWithItsLength)
{
    struct Row {
        std::string value;
        int seconds;
    };
    const std::vector<Row> rows = {{"4", 4}, {"15", 15}, {"99", 15}, {"0", 1}, {"x", 1}};
    host.Pause = true;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        host.Events.clear();
        host.PauseValue = row.value;
        const std::string name = "p" + row.value + ".jpg";
        Serve(name, "bytes");
        Download(name);
        const std::string seconds = std::to_string(row.seconds);
        EXPECT_EQ(host.Events, (Lines{"status Downloading " + name + ". . .",
                                      "status Sleeping for " + seconds + " seconds . . .",
                                      "pause " + std::to_string(row.seconds * 1000)}));
    }
    // The status text is painted before the pause: messages are processed in between.
    EXPECT_GE(host.MessageRounds, static_cast<int>(rows.size()));
}

TEST_F(DownloadTest, FailedTransfersLeaveNoFileAndLockOutMultimedia)
{
    struct Row {
        const char* name;
        fixtures::Reply reply;
    };
    const std::vector<Row> rows = {
        {"not found", fixtures::Reply::Status(404, "Not Found", "<html>missing</html>")},
        {"server error", fixtures::Reply::Status(500, "Internal Server Error", "<html>oops</html>")},
        {"short body", fixtures::Reply::Raw(fixtures::HttpHead(200, "OK", {{"Content-Length", "100"}}) + "ten bytes.")},
        {"connection reset", fixtures::Reply::Steps({fixtures::Step::Reset()})},
    };
    host.Pause = true;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        host.Log.clear();
        host.Pauses.clear();
        host.MultimediaLockout = false;
        stub.Set(Site + Folder + "a.jpg", row.reply);

        Download("a.jpg");

        EXPECT_EQ(host.Log, (Lines{"** Multimedia files have been temporarily disabled.", "** Deleting file a.jpg"}));
        EXPECT_TRUE(host.MultimediaLockout);
        EXPECT_FALSE(fs::exists(LocalFile("a.jpg")));
        EXPECT_FALSE(fs::exists(LocalFile("a.jpg.part")));
        EXPECT_EQ(host.Pauses, std::vector<unsigned>{1000}) << "a failed attempt is paused after too";
        EXPECT_EQ(host.NMHTTP1->ReportLevel, 1);
        EXPECT_FALSE(host.Downloading);
    }
}

TEST_F(DownloadTest, TransferAbortedMidwayLeavesNoFile)
{
    stub.Set(Site + Folder + "big.jpg",
             fixtures::Reply::Steps({fixtures::Step::Send(fixtures::HttpHead(200, "OK", {{"Content-Length", "400000"}})),
                                     fixtures::Step::SendGenerated(400000, 16384, fixtures::Ms{5})}));
    bool aborted = false;
    host.NMHTTP1->OnStatus = [this, &aborted](TComponent*, const std::string&) {
        if (!aborted && host.NMHTTP1->BytesRecvd > 0) {
            aborted = true;
            host.NMHTTP1->Abort();  // as the watchdog does when the transfer stalls
        }
    };

    Download("big.jpg");

    EXPECT_TRUE(aborted);
    EXPECT_EQ(host.Log, (Lines{"** Multimedia files have been temporarily disabled.", "** Deleting file big.jpg"}));
    EXPECT_FALSE(fs::exists(LocalFile("big.jpg")));
    EXPECT_FALSE(fs::exists(LocalFile("big.jpg.part")));
}

TEST_F(DownloadTest, MultimediaLockOutSkipsOnlyLowerCaseMovieNames)
{
    host.MultimediaLockout = true;
    host.Pause = true;
    for (const char* name : {"clip.avi", "clip.mov", "clip.mpg", "clip.mov.jpg"})
        Download(name);
    Serve("clip.MOV", "movie");
    Serve("b.jpg", "picture");
    Download("clip.MOV");
    Download("b.jpg");

    EXPECT_EQ(host.Log, (Lines{"** Multimedia files have been temporarily disabled.", "** Skipping file clip.avi",
                               "** Multimedia files have been temporarily disabled.", "** Skipping file clip.mov",
                               "** Multimedia files have been temporarily disabled.", "** Skipping file clip.mpg",
                               "** Multimedia files have been temporarily disabled.", "** Skipping file clip.mov.jpg"}));
    EXPECT_EQ(stub.Urls(), (Lines{Site + Folder + "clip.MOV", Site + Folder + "b.jpg"}));
    EXPECT_EQ(host.Pauses.size(), 2u);
    EXPECT_EQ(FileBytes(LocalFile("clip.MOV")), "movie");
}

TEST_F(DownloadTest, LockOutFollowsTheFirstFailure)
{
    Serve("b.jpg", "picture");
    Download("a.jpg");  // unknown to the server: 404
    Download("clip.avi");
    Download("b.jpg");

    EXPECT_EQ(host.Log, (Lines{"** Multimedia files have been temporarily disabled.", "** Deleting file a.jpg",
                               "** Multimedia files have been temporarily disabled.", "** Skipping file clip.avi"}));
    EXPECT_EQ(FileBytes(LocalFile("b.jpg")), "picture");
}

TEST_F(DownloadTest, UnsafeFileNameIsRefused)
{
    host.DownloadFile(LocalFolder(), Site + Folder + "x", "../../escape.jpg");

    EXPECT_EQ(host.Log, Lines{"** Skipping unsafe file name ../../escape.jpg"});
    EXPECT_EQ(stub.Urls(), Lines{});
    EXPECT_EQ(scratch.Tree(), Lines{});
}

TEST_F(DownloadTest, MissingFoldersAreCreatedForTheFile)
{
    Serve("a.jpg", "picture");
    Download("a.jpg");
    EXPECT_EQ(FileBytes(LocalFile("a.jpg")), "picture");
}

TEST_F(DownloadTest, FtpDownloadWhileConnected)
{
    fixtures::ScriptedFtpServer ftp;
    ftp.SetFile("page1.jpg", "scanned page");
    host.NMFTP1->Host = "127.0.0.1";
    host.NMFTP1->Port = ftp.Port();
    host.NMFTP1->Connect();
    ASSERT_TRUE(host.NMFTP1->Connected);

    Download("page1.jpg");
    Download("page2.jpg");
    Download("page1.jpg");  // exists now: no command at all
    host.NMFTP1->Disconnect();

    EXPECT_EQ(FileBytes(LocalFile("page1.jpg")), "scanned page");
    EXPECT_FALSE(fs::exists(LocalFile("page2.jpg")));
    EXPECT_FALSE(fs::exists(LocalFile("page2.jpg.part")));
    EXPECT_EQ(host.Log, Lines{"error ftping file"});
    EXPECT_FALSE(host.MultimediaLockout) << "an FTP failure does not lock out multimedia files";
    EXPECT_EQ(stub.Urls(), Lines{});
    int retrs = 0;
    for (const std::string& command : ftp.Commands())
        retrs += command.rfind("RETR ", 0) == 0;
    EXPECT_EQ(retrs, 2);
}

TEST_F(DownloadTest, MakeLocalFoldersCreatesEachLevelBelowTheDestination)
{
    host.Destination = scratch.Text() + "dest/";
    fs::create_directories(scratch.Path() / "dest/gallery");
    host.MakeLocalFolders("\\gallery\\member\\folder");
    host.MakeLocalFolders("");
    host.MakeLocalFolders("\\gallery\\..\\..\\escape");

    EXPECT_EQ(scratch.Tree(), (Lines{"dest/", "dest/gallery/", "dest/gallery/member/", "dest/gallery/member/folder/"}));
}

}  // namespace
