// The file download step and MakeLocalFolders: skips, transports, failures, the pause, and
// what is left on the disk afterwards.
#include "FakeHost.h"

#include "fixtures/ScriptedFtpServer.h"
#include "mirror/ReceivingFile.h"
#include "net/NMFtp.h"
#include "platform/files.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
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

    void Download(const std::string& name) { DownloadFile(host, host.Http, LocalFolder(), Site + Folder + name, name); }

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
    host.NMHTTP1->OnStatus = [this, &levelsDuringTransfer](TComponent*, const std::string&) {
        levelsDuringTransfer.push_back(host.NMHTTP1->ReportLevel);
        host.HttpStatusReported();
    };
    host.IdleTicks = 17;

    Download("a.jpg");

    EXPECT_EQ(stub.Urls(), Lines{Site + Folder + "a.jpg"});
    EXPECT_EQ(FileBytes(LocalFile("a.jpg")), bytes);
    EXPECT_EQ(scratch.Tree(), (Lines{"gallery/", "gallery/tessa/", "gallery/tessa/f/", "gallery/tessa/f/a.jpg 100000"}));
    EXPECT_EQ(host.Run.Tally.Fetched, 1);
    EXPECT_EQ(host.Run.Tally.Bytes, 100000);
    EXPECT_EQ(host.Log, Lines{});
    EXPECT_EQ(host.Statuses, Lines{"Downloading a.jpg. . ."});
    ASSERT_FALSE(levelsDuringTransfer.empty()) << "the transfer reports progress to the watchdog";
    EXPECT_EQ(levelsDuringTransfer, std::vector<int>(levelsDuringTransfer.size(), 8));
    EXPECT_EQ(host.NMHTTP1->ReportLevel, 1);
    EXPECT_FALSE(host.Downloading);
    EXPECT_EQ(host.IdleTicks, 0);
    EXPECT_FALSE(host.MultimediaLockout);
}

// A picture bigger than the socket's buffers ends in bytes that come with the server's close;
// they are in the file, and they count.
TEST_F(DownloadTest, PictureWhoseEndComesWithTheCloseIsStoredWhole)
{
    const std::string bytes = fixtures::Pattern(0, 8 << 20);
    Serve("big.jpg", bytes);
    Download("big.jpg");
    EXPECT_EQ(host.Log, Lines{});
    EXPECT_EQ(host.Run.Tally.Fetched, 1);
    EXPECT_EQ(host.Run.Tally.Bytes, 8 << 20);
    EXPECT_TRUE(FileBytes(LocalFile("big.jpg")) == bytes);
}

// The cap for bodies without a length never cuts a body whose length was announced, whether
// the body is as long as the cap or longer.
TEST_F(DownloadTest, AnnouncedBodiesAtOrAboveTheUnsizedCapAreStoredWhole)
{
    host.NMHTTP1->UnsizedBodyLimit = 4096;
    for (const int size : {4096, 10000}) {
        SCOPED_TRACE(size);
        const std::string name = std::to_string(size) + ".jpg";
        const std::string bytes = fixtures::Pattern(0, size);
        Serve(name, bytes);
        Download(name);
        EXPECT_EQ(FileBytes(LocalFile(name)), bytes);
    }
    EXPECT_EQ(host.Log, Lines{});
    EXPECT_EQ(host.Run.Tally.Fetched, 2);
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
    EXPECT_EQ(host.Run.Tally.Present, 1);
    EXPECT_EQ(host.Run.Tally.Fetched, 0);
}

// Files arrive under names of their own: no file of another name is ever replaced or removed,
// and a name as long as the file system allows can be stored.
TEST_F(DownloadTest, NeighbouringFilesAreNeverOverwrittenOrDeleted)
{
    Write(LocalFile("b.jpg.part"), "a listed picture of its own");
    Write(LocalFile("a.gif.part"), "the user's file");
    const std::string longest = std::string(251, 'n') + ".jpg";
    Serve("b.jpg", "picture b");
    Serve(longest, "long name");

    Download("b.jpg");
    Download("a.gif");  // unknown to the server: fails
    Download(longest);

    EXPECT_EQ(FileBytes(LocalFile("b.jpg.part")), "a listed picture of its own");
    EXPECT_EQ(FileBytes(LocalFile("a.gif.part")), "the user's file");
    EXPECT_EQ(FileBytes(LocalFile("b.jpg")), "picture b");
    EXPECT_EQ(FileBytes(LocalFile(longest)), "long name");
    EXPECT_FALSE(fs::exists(LocalFile("a.gif")));
    EXPECT_EQ(scratch.Tree().size(), 7u) << "three folders, four files, nothing else";
}

// Only files named as this program names its own, that no running job holds, are leftovers.
TEST_F(DownloadTest, LeftoversOfAKilledRunAreRemovedByTheNextRunInThatFolder)
{
    const Lines kept = {".tessary-user.part", "x.tessary-Ab3dEf7h.part", ".tessary-Ab3dEf7h.part.jpg"};
    for (const std::string& name : kept)
        Write(LocalFile(name), "user");
    Write(LocalFile(".tessary-Ab3dEf7h.part"), "cut sh");
    // A note whose partial file is gone, and one whose partial file is still there.
    Write(LocalFile(".tessary-resume-gone.jpg.part.note"), "note");
    Write(LocalFile(".tessary-resume-b.jpg.part"), "data");
    Write(LocalFile(".tessary-resume-b.jpg.part.note"), "note");
    const platform::TempFile running = platform::TempFile::Create(LocalFolder());  // another job's
    ASSERT_TRUE(running);
    Serve("a.jpg", "picture");

    Download("a.jpg");

    EXPECT_FALSE(fs::exists(LocalFile(".tessary-Ab3dEf7h.part")));
    EXPECT_FALSE(fs::exists(LocalFile(".tessary-resume-gone.jpg.part.note")));
    EXPECT_TRUE(fs::exists(LocalFile(".tessary-resume-b.jpg.part.note")));
    EXPECT_TRUE(fs::exists(running.Path()));
    for (const std::string& name : kept)
        EXPECT_EQ(FileBytes(LocalFile(name)), "user") << name;
    EXPECT_EQ(FileBytes(LocalFile("a.jpg")), "picture");
}

TEST_F(DownloadTest, PauseFollowsEachTransferWithItsLength)
{
    struct Row {
        int value;
        int seconds;
    };
    const std::vector<Row> rows = {{4, 4}, {15, 15}, {16, 15}, {0, 1}, {1, 1}};
    host.Pause = true;
    // No transfer runs during a pause: the watchdog has nothing to count and nothing to abort.
    host.DuringPause = [this] {
        for (int tick = 0; tick < 40; ++tick)
            host.Tick();
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        host.Events.clear();
        host.Options.PauseSeconds = row.value;
        const std::string name = "p" + std::to_string(row.value) + ".jpg";
        Serve(name, "bytes");
        Download(name);
        const std::string seconds = std::to_string(row.seconds);
        EXPECT_EQ(host.Events, (Lines{"status Downloading " + name + ". . .",
                                      "status Sleeping for " + seconds + " seconds . . .",
                                      "pause " + std::to_string(row.seconds * 1000)}));
    }
    // The status text is painted before the pause: messages are processed in between.
    EXPECT_GE(host.MessageRounds, static_cast<int>(rows.size()));
    EXPECT_EQ(host.IdleTicks, 0);
    EXPECT_EQ(host.NMHTTP1->StopReason, TStopReason::None);
}

// The log lines stay those of a failed transfer; the status line says why it failed.
TEST_F(DownloadTest, FailedTransfersLeaveNoFileAndLockOutMultimedia)
{
    struct Row {
        const char* name;
        fixtures::Reply reply;
        std::string reason;     // the status text begins with it
        bool folderIsAFile = false;
    };
    const std::vector<Row> rows = {
        {"not found", fixtures::Reply::Status(404, "Not Found", "<html>missing</html>"),
         "a.jpg: HTTP/1.0 404 Not Found"},
        {"bad request", fixtures::Reply::Status(400, "Bad Request", "<html>no</html>"),
         "a.jpg: HTTP/1.0 400 Bad Request"},
        {"server error", fixtures::Reply::Status(500, "Internal Server Error", "<html>oops</html>"),
         "a.jpg: HTTP/1.0 500 Internal Server Error"},
        {"short body", fixtures::Reply::Raw(fixtures::HttpHead(200, "OK", {{"Content-Length", "100"}}) + "ten bytes."),
         "a.jpg: "},
        {"connection reset", fixtures::Reply::Steps({fixtures::Step::Reset()}), "a.jpg: "},
        {"206 to a request for the whole file",
         fixtures::Reply::Raw(fixtures::HttpHead(206, "Partial Content", {{"Content-Range", "bytes 0-8/10"},
                                                                          {"Content-Length", "9"}}) + "012345678"),
         "a.jpg: unusable reply: HTTP/1.0 206 Partial Content"},
        {"304 to a request that named no date", fixtures::Reply::Status(304, "Not Modified"),
         "a.jpg: unusable reply: HTTP/1.0 304 Not Modified"},
        {"status line without a code", fixtures::Reply::Raw("HTTP/1.0 OK\r\n\r\npicture"), "a.jpg: unusable reply"},
        {"folder is a file", fixtures::Reply::Status(200, "OK", "picture"),
         "a.jpg: cannot create a file in " + host.Destination + "\\gallery\\tessa\\file\\: Not a directory", true},
    };
    Write(scratch.Path() / "gallery/tessa/file", "a file where a folder should be");
    host.Pause = true;
    for (const bool keepAlive : {false, true})
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SCOPED_TRACE(keepAlive);
        host.NMHTTP1->KeepAlive = keepAlive;
        host.Log.clear();
        host.Statuses.clear();
        host.Pauses.clear();
        host.MultimediaLockout = false;
        stub.Set(Site + Folder + "a.jpg", row.reply);

        const std::string folder = row.folderIsAFile ? host.Destination + "\\gallery\\tessa\\file\\" : LocalFolder();
        DownloadFile(host, host.Http, folder, Site + Folder + "a.jpg", "a.jpg");

        EXPECT_EQ(host.Log, (Lines{"** Multimedia files have been temporarily disabled.", "** Deleting file a.jpg"}));
        ASSERT_EQ(host.Statuses.size(), 3u);
        EXPECT_EQ(host.Statuses[1].rfind(row.reason, 0), 0u) << host.Statuses[1];
        EXPECT_GT(host.Statuses[1].size(), std::string("a.jpg: ").size());
        EXPECT_TRUE(host.MultimediaLockout);
        EXPECT_FALSE(fs::exists(LocalFile("a.jpg")));
        EXPECT_EQ(host.Pauses, std::vector<unsigned>{1000}) << "a failed attempt is paused after too";
        EXPECT_EQ(host.NMHTTP1->ReportLevel, 1);
        EXPECT_FALSE(host.Downloading);
    }
    EXPECT_EQ(scratch.Tree(), (Lines{"gallery/", "gallery/tessa/", "gallery/tessa/f/", "gallery/tessa/file 31"}));
    EXPECT_EQ(host.Run.Tally.Failed, 2 * static_cast<int>(rows.size()));
    EXPECT_EQ(host.Run.Tally.Fetched, 0);
    EXPECT_EQ(host.Run.Tally.Present, 0) << "no reply counts as present that answers no date";
}

// The file's life touches only its own files: a note named like a partial file's, in the
// folder the program runs in, stays.
TEST_F(DownloadTest, SmallDownloadTouchesNoFileOfTheWorkingFolder)
{
    const fs::path working = scratch.Path() / "working";
    Write(working / platform::PartialNoteSuffix, "the user's");
    const fs::path before = fs::current_path();
    fs::current_path(working);
    Serve("a.jpg", "picture");
    Download("a.jpg");
    fs::current_path(before);
    EXPECT_EQ(FileBytes(LocalFile("a.jpg")), "picture");
    EXPECT_EQ(FileBytes(working / platform::PartialNoteSuffix), "the user's");
}

// A new version is noted only once the old version's data is gone, so that a kill at any
// moment never leaves one version's bytes under the other's note.
TEST_F(DownloadTest, NewVersionIsNotedOnlyAfterTheOldDataIsGone)
{
    const long long total = 3 * TReceivingFile::MinKeptBytes;
    const std::string url = Site + Folder + "big.jpg";
    const std::string partialPath = platform::PartialPath(LocalFolder(), "big.jpg");
    Write(platform::NativePath(partialPath), fixtures::Pattern(0, 2 * TReceivingFile::MinKeptBytes));
    ASSERT_TRUE(platform::WritePartialNote(partialPath, {url, total, "", "\"v1\""}));
    TReceivingFile file;
    ASSERT_EQ(file.Open(host, LocalFolder(), url, "big.jpg", true, false), "");
    EXPECT_EQ(file.ContinueFrom(), 2 * TReceivingFile::MinKeptBytes);
    EXPECT_EQ(file.IfRange(), "\"v1\"");

    file.Receiving({total, "\"v2\"", ""}, false);

    platform::PartialNote note;
    ASSERT_TRUE(platform::ReadPartialNote(partialPath, note));
    EXPECT_EQ(note.ETag, "\"v2\"");
    EXPECT_EQ(platform::FileSizeOf(partialPath), 0);
}

// A listing that gives a size but no date names no version: nothing is noted, so nothing of
// the file is ever continued against it.
TEST_F(DownloadTest, ListingWithoutADateNamesNoVersion)
{
    const long long size = 2 * TReceivingFile::MinKeptBytes;
    for (const TFileVersion& listed : {TFileVersion{size, "", ""}, TFileVersion{-1, "", "1796637600"}}) {
        SCOPED_TRACE(listed.Total);
        fs::remove_all(scratch.Path() / "gallery");
        TReceivingFile file;
        ASSERT_EQ(file.Open(host, LocalFolder(), Site + Folder + "p.jpg", "p.jpg", true, false, listed), "");
        file.Receiving(listed, false);
        platform::PartialNote note;
        EXPECT_FALSE(platform::ReadPartialNote(file.Path(), note));
        EXPECT_EQ(file.ContinueFrom(), 0);
    }
}

// A redirect's own body never reaches the file: the reply it leads to is the picture.
TEST_F(DownloadTest, RedirectedPictureIsStoredWithoutTheRedirectsBody)
{
    for (const bool keepAlive : {false, true}) {
        SCOPED_TRACE(keepAlive);
        fs::remove_all(scratch.Path() / "gallery");
        host.NMHTTP1->KeepAlive = keepAlive;
        stub.Set(Site + Folder + "a.jpg", fixtures::Reply::Status(302, "Found", "<html>moved</html>",
                                                                  {{"Location", Site + Folder + "b.jpg"}}));
        Serve("b.jpg", "picture");

        Download("a.jpg");

        EXPECT_EQ(FileBytes(LocalFile("a.jpg")), "picture");
        EXPECT_EQ(host.Run.Tally.Failed, 0);
    }
}

// A try cut short, then an error page, then the rest: the error page's body never reaches the
// data, and the rest continues the first try's bytes of the same version.
TEST_F(DownloadTest, RetriesNeverGlueAnErrorPageIntoThePicture)
{
    using fixtures::Step;
    const std::string url = Site + Folder + "a.jpg";
    const std::string tag = "\"v1\"";
    const std::string head = fixtures::HttpHead(200, "OK", {{"Content-Length", "30000"}, {"ETag", tag}});
    const std::vector<fixtures::Reply> replies = {
        fixtures::Reply::Steps({Step::Send(head + fixtures::Pattern(0, 357)), Step::Close()}),
        fixtures::Reply::Status(503, "Busy", "<html><body>Service temporarily unavailable</body></html>",
                                {{"Retry-After", "0"}}),
        fixtures::Reply::Raw(fixtures::HttpHead(206, "Partial Content", {{"Content-Range", "bytes 357-29999/30000"},
                                                                         {"Content-Length", "29643"}, {"ETag", tag}}) +
                             fixtures::Pattern(357, 29643))};
    stub.Set(url, replies[0]);
    const long before = stub.Count(url);
    stub.OnRequest([&](const std::string& asked) {
        const long n = stub.Count(url) - before;
        if (asked == url && n >= 2 && n <= 3)
            stub.Set(url, replies[static_cast<size_t>(n - 1)]);
    });
    host.Options.Retries = 3;

    Download("a.jpg");

    stub.OnRequest(nullptr);
    EXPECT_EQ(stub.Count(url) - before, 3);
    EXPECT_NE(stub.LastRequest().find("\r\nRange: bytes=357-\r\nIf-Range: " + tag + "\r\n"), std::string::npos);
    EXPECT_TRUE(FileBytes(LocalFile("a.jpg")) == fixtures::Pattern(0, 30000));
    EXPECT_EQ(host.Run.Tally.Fetched, 1);
}

// The watchdog's stop is a failure, which locks the movies out; the user's abort is counted as
// aborted, logs nothing and locks nothing out. Either way the data so far is kept for later.
TEST_F(DownloadTest, TransferStoppedMidwayKeepsItsDataAndCountsByWhoStoppedIt)
{
    const std::uint64_t size = 3 * TReceivingFile::MinKeptBytes;
    stub.Set(Site + Folder + "big.jpg",
             fixtures::Reply::Steps({fixtures::Step::Send(fixtures::HttpHead(
                                         200, "OK", {{"Content-Length", std::to_string(size)}, {"ETag", "\"v1\""}})),
                                     fixtures::Step::SendGenerated(size, 65536, fixtures::Ms{5})}));
    Serve("clip.mov", "movie");
    for (const TStopReason reason : {TStopReason::Watchdog, TStopReason::User}) {
        const bool failure = reason == TStopReason::Watchdog;
        SCOPED_TRACE(failure);
        fs::remove_all(scratch.Path() / "gallery");
        host.Log.clear();
        host.Run.Tally = {};
        host.MultimediaLockout = false;
        bool stopped = false;
        const long long from = host.NMHTTP1->BytesArrived + 1000;  // past the reply's head
        host.NMHTTP1->OnStatus = [&](TComponent*, const std::string&) {
            if (host.NMHTTP1->BytesArrived - from > static_cast<long long>(TReceivingFile::MinKeptBytes) &&
                !std::exchange(stopped, true))
                host.Http.Stop(reason);  // as the scheduler stops the job's own transfer
        };

        Download("big.jpg");
        host.NMHTTP1->OnStatus = nullptr;
        Download("clip.mov");

        EXPECT_EQ(host.Log.empty(), !failure);  // else the lock-out's and deletion's lines, the movie's skip
        EXPECT_EQ(host.Run.Tally.Failed, failure ? 1 : 0);
        EXPECT_EQ(host.Run.Tally.Aborted, failure ? 0 : 1);
        EXPECT_EQ(host.MultimediaLockout, failure);
        EXPECT_EQ(fs::exists(LocalFile("clip.mov")), !failure);
        EXPECT_FALSE(fs::exists(LocalFile("big.jpg")));
        const auto kept = fs::file_size(platform::NativePath(platform::PartialPath(LocalFolder(), "big.jpg")));
        EXPECT_TRUE(kept >= TReceivingFile::MinKeptBytes && kept < size) << kept;
    }
}

// A partial file from an earlier attempt is continued only by a reply that continues its
// version exactly, confirmed by its tag (preferred) or date. A refused continuation drops the
// partial data and asks for the file whole in the same try; two versions are never glued.
TEST_F(DownloadTest, PartialFileIsContinuedOnlyByTheRestOfTheSameVersion)
{
    using fixtures::HttpHead;
    using fixtures::Reply;
    const std::string date = "Mon, 07 Dec 2026 10:00:00 GMT";
    const std::string tag = "\"v1\"";
    const auto partial = [&](const std::string& range, const std::string& rest,
                             std::vector<std::pair<std::string, std::string>> fields = {}) {
        fields.push_back({"Content-Range", "bytes " + range});
        fields.push_back({"Content-Length", std::to_string(rest.size())});
        return Reply::Raw(HttpHead(206, "Partial Content", fields) + rest);
    };
    const Reply whole = Reply::Status(200, "OK", "ABCDEFGHIJ");
    const struct Row {
        const char* name;
        std::string noteTag;
        std::string noteDate;
        Reply first;           // the second request gets the whole new version
        std::string ifRange;   // empty: the first request asks for the whole file
        int requests;
        std::string stored;    // empty: the file failed
    } rows[] = {{"206 with the rest", "", date, partial("3-9/10", "3456789", {{"Last-Modified", date}}), date, 1,
                 "0123456789"},
                {"the tag is preferred", tag, date, partial("3-9/10", "3456789", {{"ETag", tag}}), tag, 1, "0123456789"},
                {"a weak tag leaves it to the date", "W/" + tag, date, partial("3-9/10", "3456789"), date, 1,
                 "0123456789"},
                {"200 to If-Range: the new version whole", "", date, whole, date, 1, "ABCDEFGHIJ"},
                {"206 of another range", "", date, partial("5-9/10", "56789"), date, 2, "ABCDEFGHIJ"},
                {"206 of another length", "", date, partial("3-10/11", "34567890"), date, 2, "ABCDEFGHIJ"},
                {"206 of another date", "", date, partial("3-9/10", "3456789", {{"Last-Modified", "Tue, 08 Dec 2026 10:00:00 GMT"}}),
                 date, 2, "ABCDEFGHIJ"},
                {"206 of another tag", tag, "", partial("3-9/10", "3456789", {{"ETag", "\"v2\""}}), tag, 2, "ABCDEFGHIJ"},
                {"416: the partial data holds every byte or the file shrank", "", date,
                 Reply::Status(416, "Range Not Satisfiable", "<html>no</html>"), date, 2, "ABCDEFGHIJ"},
                {"503: no error page glued to the data", "", date, Reply::Status(503, "Busy", "<html>later</html>"), date, 1,
                 ""},
                {"no validator: fetched whole", "", "", whole, "", 1, "ABCDEFGHIJ"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(scratch.Path() / "gallery");
        host.Run.Tally = {};
        const std::string partialPath = platform::PartialPath(LocalFolder(), "a.jpg");
        Write(platform::NativePath(partialPath), "012");
        ASSERT_TRUE(platform::WritePartialNote(partialPath, {Site + Folder + "a.jpg", 10, row.noteDate, row.noteTag}));
        stub.Set(Site + Folder + "a.jpg", row.first);
        const size_t requests = stub.Urls().size();
        stub.OnRequest([&](const std::string& url) {
            if (stub.Urls().size() == requests + 2)
                stub.Set(url, whole);
        });

        Download("a.jpg");

        stub.OnRequest(nullptr);
        const std::vector<std::string> heads = stub.Heads();
        ASSERT_EQ(heads.size(), requests + row.requests);
        const std::string asked = row.ifRange.empty() ? "" : "\r\nRange: bytes=3-\r\nIf-Range: " + row.ifRange + "\r\n";
        EXPECT_EQ(heads[requests].find(asked.empty() ? "Range:" : asked) != std::string::npos, !asked.empty())
            << heads[requests];
        EXPECT_EQ(heads.back().find("Range:") == std::string::npos, row.requests > 1 || asked.empty()) << heads.back();
        EXPECT_EQ(fs::exists(LocalFile("a.jpg")) ? FileBytes(LocalFile("a.jpg")) : "", row.stored);
        EXPECT_EQ(host.Run.Tally.Failed > 0, row.stored.empty());
        EXPECT_EQ(fs::exists(platform::NativePath(partialPath) + platform::PartialNoteSuffix), false);
        EXPECT_EQ(fs::exists(platform::NativePath(partialPath)), false);
    }
}

// A transfer cut short keeps a partial file large enough to be worth it, and the next attempt
// asks only for the rest; with resume off, nothing is kept.
TEST_F(DownloadTest, CutTransferIsResumedWhereItStopped)
{
    using fixtures::Step;
    const std::uint64_t least = TReceivingFile::MinKeptBytes;
    const struct Row {
        const char* name;
        bool resume;
        std::uint64_t size;
        std::uint64_t cut;
        bool kept;
    } rows[] = {{"resumed", true, 3 * least, 2 * least, true},
                {"resume off", false, 3 * least, 2 * least, false},
                {"just enough kept", true, least + 10, least, true},
                {"a byte short of enough", true, least + 10, least - 1, false},
                {"too small a file for a note", true, least - 1, least - 2, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(scratch.Path() / "gallery");
        host.Options.Resume = row.resume;
        const std::string head =
            fixtures::HttpHead(200, "OK", {{"Content-Length", std::to_string(row.size)}, {"ETag", "\"v1\""}});
        stub.Set(Site + Folder + "big.jpg", fixtures::Reply::Steps({Step::Send(head), Step::SendGenerated(row.cut), Step::Close()}));

        Download("big.jpg");

        const std::string partialPath = platform::NativePath(platform::PartialPath(LocalFolder(), "big.jpg"));
        ASSERT_EQ(fs::exists(partialPath), row.kept);
        EXPECT_EQ(fs::exists(partialPath + platform::PartialNoteSuffix), row.kept);
        if (!row.kept)
            continue;
        EXPECT_EQ(fs::file_size(partialPath), row.cut);
        const std::string rest = std::to_string(row.cut) + "-" + std::to_string(row.size - 1) + "/" + std::to_string(row.size);
        stub.Set(Site + Folder + "big.jpg",
                 fixtures::Reply::Raw(fixtures::HttpHead(206, "Partial Content",
                                                         {{"Content-Range", "bytes " + rest},
                                                          {"Content-Length", std::to_string(row.size - row.cut)}}) +
                                      fixtures::Pattern(row.cut, row.size - row.cut)));
        Download("big.jpg");
        EXPECT_NE(stub.LastRequest().find("\r\nRange: bytes=" + std::to_string(row.cut) + "-\r\n"), std::string::npos);
        EXPECT_EQ(fixtures::HashOf(FileBytes(LocalFile("big.jpg"))), fixtures::PatternHash(row.size));
        EXPECT_EQ(scratch.Tree(), (Lines{"gallery/", "gallery/tessa/", "gallery/tessa/f/",
                                         "gallery/tessa/f/big.jpg " + std::to_string(row.size)}));
    }
}

// A failure that may pass is tried again after its back-off (or the server's Retry-After);
// one that will not pass is not, and cancel ends the back-off at once.
TEST_F(DownloadTest, RetriesFollowTheBackOffAndEndWithCancel)
{
    using fixtures::Reply;
    const Reply busy = Reply::Status(503, "Busy", "later", {{"Retry-After", "1"}});
    const std::string retried = "** Retrying a.jpg in 1 s: ";
    const struct Row {
        const char* name;
        Reply first;
        bool cancel;
        Lines log;
        int requests;
    } rows[] = {{"503 and Retry-After", busy, false, {retried + "HTTP/1.0 503 Busy"}, 2},
                {"429 without Retry-After", Reply::Status(429, "Too Many Requests"), false,
                 {retried + "HTTP/1.0 429 Too Many Requests"}, 2},
                {"body cut short", Reply::Steps({fixtures::Step::Send(fixtures::HttpHead(200, "OK", {{"Content-Length", "10"}}) + "12345"),
                                                 fixtures::Step::Close()}),
                 false, {retried}, 2},
                {"404 is not retried", Reply::Status(404, "Not Found"), false,
                 {"** Multimedia files have been temporarily disabled.", "** Deleting file a.jpg"}, 1},
                {"cancel ends the back-off",
                 Reply::Status(503, "Busy", "later", {{"Retry-After", "30"}}), true,
                 {"** Retrying a.jpg in 30 s: HTTP/1.0 503 Busy", "** Multimedia files have been temporarily disabled.",
                  "** Deleting file a.jpg"}, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(scratch.Path() / "gallery");
        host.Log.clear();
        host.StopRequested = false;
        host.Options.Retries = 3;
        stub.Set(Site + Folder + "a.jpg", row.first);
        const long before = stub.Count(Site + Folder + "a.jpg");  // the second request gets the picture
        stub.OnRequest([&](const std::string& url) {
            if (url == Site + Folder + "a.jpg" && stub.Count(url) == before + 2)
                stub.Set(url, Reply::Status(200, "OK", "picture"));
        });
        TThreadTimer cancel;
        cancel.SetInterval(200);
        cancel.SetOnTimer([&](TComponent*) { host.StopRequested = row.cancel; });
        const auto started = std::chrono::steady_clock::now();

        Download("a.jpg");

        // A line given in part names the cause only by its beginning.
        ASSERT_EQ(host.Log.size(), row.log.size());
        for (size_t i = 0; i < row.log.size(); ++i)
            EXPECT_EQ(host.Log[i].substr(0, row.log[i].size()), row.log[i]);
        EXPECT_EQ(stub.Count(Site + Folder + "a.jpg") - before, row.requests);
        EXPECT_EQ(fs::exists(LocalFile("a.jpg")), row.log.size() == 1);
        if (row.log.size() == 1) {
            EXPECT_EQ(FileBytes(LocalFile("a.jpg")), "picture") << "nothing of the try before";
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        stub.OnRequest(nullptr);
    }
}

// A stored file takes the server's time. With update, a file already there is asked for
// again since its time: unchanged (304) it stays as it is, changed it is replaced whole.
TEST_F(DownloadTest, StoredFileHasTheServersTimeAndUpdateReplacesOnlyAChangedOne)
{
    const std::string date = "Mon, 07 Dec 2026 10:00:00 GMT";
    const long long seconds = 1796637600;
    stub.Set(Site + Folder + "a.jpg", fixtures::Reply::Status(200, "OK", "old", {{"Last-Modified", date}}));
    Download("a.jpg");
    EXPECT_EQ(platform::ModifiedTimeOf(LocalFile("a.jpg").string()), seconds);

    host.Options.Update = true;
    const struct Row {
        const char* name;
        fixtures::Reply reply;
        std::string stored;
    } rows[] = {{"not modified", fixtures::Reply::Status(304, "Not Modified"), "old"},
                {"changed", fixtures::Reply::Status(200, "OK", "new!", {{"Last-Modified", date}}), "new!"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        stub.Set(Site + Folder + "a.jpg", row.reply);
        host.Run.Tally = {};

        Download("a.jpg");

        EXPECT_NE(stub.LastRequest().find("\r\nIf-Modified-Since: " + date + "\r\n"), std::string::npos);
        EXPECT_EQ(FileBytes(LocalFile("a.jpg")), row.stored);
        EXPECT_EQ(host.Run.Tally.Present, row.stored == "old" ? 1 : 0);
        EXPECT_EQ(scratch.Tree().size(), 4u) << "no temporary file left";
    }
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

// A name like those of the files on their way would be taken for a leftover and removed.
TEST_F(DownloadTest, UnsafeFileNameIsRefused)
{
    DownloadFile(host, host.Http, LocalFolder(), Site + Folder + "x", "../../escape.jpg");
    DownloadFile(host, host.Http, LocalFolder(), Site + Folder + "x", ".tessary-Ab3dEf7h.part");

    EXPECT_EQ(host.Log, (Lines{"** Skipping unsafe file name ../../escape.jpg",
                               "** Skipping unsafe file name .tessary-Ab3dEf7h.part"}));
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
    TNMFTP client;
    client.Host = "127.0.0.1";
    client.Port = ftp.Port();
    client.Connect();
    ASSERT_TRUE(client.Connected);
    TFtpFileTransfer overFtp(client);
    const auto download = [&](const std::string& name) {
        DownloadFile(host, overFtp, LocalFolder(), Site + Folder + name, name);
    };

    download("page1.jpg");
    download("page2.jpg");
    download("page1.jpg");  // exists now: no command at all
    client.Disconnect();

    EXPECT_EQ(FileBytes(LocalFile("page1.jpg")), "scanned page");
    EXPECT_EQ(scratch.Tree(), (Lines{"gallery/", "gallery/tessa/", "gallery/tessa/f/", "gallery/tessa/f/page1.jpg 12"}));
    EXPECT_EQ(host.Log, Lines{"error ftping file"});
    EXPECT_EQ(host.Run.Tally.Fetched, 1);
    EXPECT_EQ(host.Run.Tally.Bytes, 12);
    EXPECT_EQ(host.Run.Tally.Present, 1);
    EXPECT_EQ(host.Run.Tally.FirstFailures, Lines{"page2.jpg"});
    EXPECT_FALSE(host.MultimediaLockout) << "an FTP failure does not lock out multimedia files";
    EXPECT_EQ(stub.Urls(), Lines{});
    int retrs = 0;
    for (const std::string& command : ftp.Commands())
        retrs += command.rfind("RETR ", 0) == 0;
    EXPECT_EQ(retrs, 2);
}

// Over FTP the partial file's rest is asked for with REST only while the listing gives the
// size and date recorded when it was started; the stored file must have the listed length.
TEST_F(DownloadTest, FtpContinuesAPartialFileOnlyOfTheListedVersion)
{
    const long long date = 1796637600;
    const struct Row {
        const char* name;
        long long listedSize;
        long long listedTime;
        bool restarts;        // the server agrees to REST
        std::string served;   // the server's file
        bool rest;            // REST 8 is asked
        std::string stored;   // empty: the file failed
    } rows[] = {{"same version, restarted", 12, date, true, "scanned page", true, "scanned page"},
                {"same version, no restart", 12, date, false, "scanned page", true, "scanned page"},
                {"listing dated otherwise", 12, date + 60, false, "scanned page", false, "scanned page"},
                {"listing sized otherwise", 13, date, false, "scanned page!", false, "scanned page!"},
                {"listing without a size", -1, date, false, "scanned page", false, "scanned page"},
                {"longer than listed", 11, date + 60, false, "scanned page", false, ""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(scratch.Path() / "gallery");
        host.Run.Tally = {};
        fixtures::ScriptedFtpServer ftp;
        ftp.SetFile("page1.jpg", row.served);
        if (row.restarts) {
            ftp.SetReply("REST", "350 Restarting at 8.\r\n");
            fixtures::FtpAction rest;
            rest.data = row.served.substr(8);
            ftp.SetAction("RETR", 1, rest);
        }
        const std::string partialPath = platform::PartialPath(LocalFolder(), "page1.jpg");
        Write(platform::NativePath(partialPath), "scanned ");
        ASSERT_TRUE(platform::WritePartialNote(partialPath, {Site + Folder + "page1.jpg", 12, std::to_string(date), ""}));
        TNMFTP client;
        client.Host = "127.0.0.1";
        client.Port = ftp.Port();
        client.Connect();
        TFtpFileTransfer overFtp(client);
        overFtp.ListedSize = row.listedSize;
        overFtp.ListedTime = row.listedTime;

        DownloadFile(host, overFtp, LocalFolder(), Site + Folder + "page1.jpg", "page1.jpg");
        client.Disconnect();

        EXPECT_EQ(fs::exists(LocalFile("page1.jpg")) ? FileBytes(LocalFile("page1.jpg")) : "", row.stored);
        EXPECT_EQ(host.Run.Tally.Failed, row.stored.empty() ? 1 : 0);
        const Lines commands = ftp.Commands();
        EXPECT_EQ(std::find(commands.begin(), commands.end(), "REST 8") != commands.end(), row.rest);
        EXPECT_FALSE(fs::exists(platform::NativePath(partialPath) + platform::PartialNoteSuffix));
    }
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
