// The gallery walk and the picture listing walk against a loopback gallery stub: what they
// log, what they fetch and in which order, and what they leave on the disk.
#include "FakeHost.h"

#include "mirror/Archive.h"
#include "mirror/strutil.h"
#include "platform/files.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sqlite3.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const std::string Site = "http://www.fotoarchive.com";

std::string FolderUrl(const std::string& id)
{
    return Site + "/cgi-bin/gallery.cgi?f=" + id;
}

// A gallery page: the lines between the document's head and its end.
std::string Page(const Lines& lines)
{
    std::string html = "<HTML>\n<HEAD><TITLE>Gallery</TITLE></HEAD>\n<BODY>\n<TABLE>\n";
    for (const std::string& line : lines)
        html += line + "\n";
    return html + "</TABLE>\n</BODY>\n</HTML>\n";
}

std::string UpLine()
{
    return "<TR><TD><CODE><A HREF=\"/cgi-bin/gallery.cgi?a=members\">Up</A></CODE></TD></TD></TR>";
}

std::string Thumb(const std::string& folderPath)
{
    return folderPath + "thumb/folder_thumb.jpg WIDTH=96 HEIGHT=72";
}

const std::string FolderIcon = "/icons/folder.gif WIDTH=32 HEIGHT=32";

std::string FolderLine(const std::string& id, const std::string& image)
{
    const std::string link = "/cgi-bin/gallery.cgi?f=" + id;
    return "<TR><TD><A HREF=\"" + link + "\"><IMG SRC=" + image + " BORDER=0></A></TD><TD><A HREF=\"" + link +
           "\"><B>folder " + id + "</B></A></TD></TR>";
}

std::string PictureLine(const std::string& folderPath, const std::string& name)
{
    const std::string stem = name.substr(0, name.rfind('.'));
    return "<TR><TD><A HREF=\"/cgi-bin/gallery.cgi?i=500001\"><IMG SRC=" + folderPath + "thumb/" + stem +
           "_thumb.jpg WIDTH=96 HEIGHT=72 BORDER=0 ALT=\"" + name + "\"></A></TD><TD>" + name + "</TD></TR>";
}

std::string NextLine(const std::string& link)
{
    return "<TR><TD COLSPAN=2><A HREF=\"" + link + "\"><B>Next</B></A></TD></TR>";
}

std::string PictureBytes(const std::string& name)
{
    return "JPEG bytes of " + name;
}

// Whether `count` (raised on another thread) rises above 0 within ten seconds.
bool Counted(const std::atomic<int>& count)
{
    for (int waited = 0; count == 0 && waited < 1000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return count > 0;
}

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(destination);
        host.Destination = scratch.Text() + "dest/";
        host.UseProxy(stub.Port());
        // A walk that never ends fails the test instead of hanging it.
        host.OnMessages = [this] {
            if (host.MessageRounds > 200000)
                host.StopRequested = true;
        };
    }

    // The page file of a walk's first page, as the job's page fetch leaves it.
    void WriteFirstPage(const std::string& name, const std::string& html)
    {
        support::WriteFile(destination / (name + ".html"), html);
    }

    void ServePicture(const std::string& folderPath, const std::string& name)
    {
        stub.Set(Site + folderPath + name, fixtures::Reply::Status(200, "OK", PictureBytes(name)));
    }

    // A listing page of `folderPath` that names these pictures.
    void ServeListing(const std::string& folderPath, const Lines& names)
    {
        Lines lines = {UpLine()};
        for (const std::string& name : names)
            lines.push_back(PictureLine(folderPath, name));
        stub.Page(Site + folderPath, Page(lines));
    }

    // The folders (relative to the destination, "." for itself) that held a page file of the
    // walk, remembered each time the walk treats a line.
    void WatchPageFiles()
    {
        host.OnMessages = [this] {
            for (const auto& entry : fs::recursive_directory_iterator(destination))
                if (entry.path().filename().string().starts_with(platform::TempFilePrefix))
                    pageFoldersSeen.insert(fs::relative(entry.path().parent_path(), destination).generic_string());
        };
    }

    // Page files still there: those of the walk and those a test wrote.
    Lines PageFilesLeft() const
    {
        Lines left;
        for (const std::string& line : TempFolder::TreeOf(destination))
            if (line.find(".htm") != std::string::npos || line.find(platform::TempFilePrefix) != std::string::npos)
                left.push_back(line);
        return left;
    }

    // `run`, a job beside `host`, into the same (emptied) destination through the same stub,
    // over `connections` connections.
    void PrepareRun(FakeHost& run, int connections)
    {
        run.Destination = host.Destination;
        run.UseProxy(stub.Port());
        run.Options.Connections = connections;
        fs::remove_all(destination);
    }

    std::string ReadLocal(const std::string& relative) const { return support::FileBytes(destination / relative); }

    TempFolder scratch;
    fs::path destination = scratch.Path() / "dest";
    // Parallel downloads need a server that answers several connections at once.
    GalleryStub stub{fixtures::ServerOptions{.concurrent = true}};
    FakeHost host;
    std::set<std::string> pageFoldersSeen;
};

// ---- gallery walk ----

TEST_F(WalkTest, MemberPageWalksItsThreeSubFoldersInPageOrder)
{
    WriteFirstPage("tessa", Page({UpLine(), FolderLine("101", Thumb("/gallery/tessa/one/")),
                                  FolderLine("102", Thumb("/gallery/tessa/two/")),
                                  FolderLine("103", Thumb("/gallery/tessa/three/"))}));
    for (const char* id : {"101", "102", "103"})
        stub.Page(FolderUrl(id), Page({UpLine()}));

    WalkGalleryPage(host, host.Destination, "tessa");

    const Lines urls = {FolderUrl("101"), FolderUrl("102"), FolderUrl("103")};
    EXPECT_EQ(host.Log, urls);
    EXPECT_EQ(stub.Urls(), urls);
    EXPECT_EQ(TempFolder::TreeOf(destination),
              (Lines{"gallery/", "gallery/tessa/", "gallery/tessa/one/", "gallery/tessa/three/", "gallery/tessa/two/"}));
    EXPECT_EQ(host.LastFolderPath, "\\gallery\\tessa\\three");
    ASSERT_FALSE(host.Statuses.empty());
    EXPECT_EQ(host.Statuses.front(), "Finding directories . . .");
}

TEST_F(WalkTest, SubFolderWithoutThumbnailInheritsLastFolderPath)
{
    WriteFirstPage("tessa", Page({UpLine(), FolderLine("101", Thumb("/gallery/tessa/one/")),
                                  FolderLine("102", FolderIcon)}));
    stub.Page(FolderUrl("101"), Page({UpLine()}));
    stub.Page(FolderUrl("102"), Page({UpLine()}));
    WatchPageFiles();

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(host.Log, (Lines{FolderUrl("101"), FolderUrl("102")}));
    EXPECT_TRUE(pageFoldersSeen.count("gallery/tessa/one")) << "102's page lies in 101's folder";
    EXPECT_EQ(host.LastFolderPath, "\\gallery\\tessa\\one");
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

TEST_F(WalkTest, FirstSubFolderWithoutThumbnailLiesInTheDestination)
{
    WriteFirstPage("tessa", Page({UpLine(), FolderLine("201", FolderIcon)}));
    stub.Page(FolderUrl("201"), Page({UpLine()}));
    WatchPageFiles();

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(host.Log, Lines{FolderUrl("201")});
    EXPECT_EQ(pageFoldersSeen, std::set<std::string>{"."});
    EXPECT_EQ(TempFolder::TreeOf(destination), Lines{});
}

TEST_F(WalkTest, HeaderErrorsEndTheWalk)
{
    const std::string folderIdError = "** ERROR - i can't find this folder ID.  Please check the folder ID.";
    const std::string userError = "** ERROR - i can't find this user directory.  Please check the USER ID.";
    struct Row {
        const char* name;
        std::string page;
        Lines log;
    };
    const std::vector<Row> rows = {
        {"client error twice",
         "<HTML>\n<H1>Client Error</H1>\n<P>Client Error</P>\n" + UpLine() + "\n" +
             FolderLine("101", Thumb("/gallery/t/a/")) + "\n</HTML>\n",
         {folderIdError, folderIdError}},
        {"no gallery link", "<HTML>\n<P>There is no member with this name.</P>\n</HTML>\n", {userError}},
        {"text runs out in the header", "<HTML>\n<P>cut short", {}},
        {"first line ends in a carriage return", "<HTML>\r\n" + UpLine() + "\n" +
                                                     FolderLine("101", Thumb("/gallery/t/a/")) + "\n</HTML>\n",
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        host.Log.clear();
        WriteFirstPage("77154", row.page);
        WalkGalleryPage(host, host.Destination, "77154");
        EXPECT_EQ(host.Log, row.log);
        EXPECT_FALSE(fs::exists(destination / "77154.html"));
    }
    EXPECT_EQ(stub.Urls(), Lines{});
}

TEST_F(WalkTest, PageWhoseTextRunsOutEndsAfterItsLastLine)
{
    WriteFirstPage("tessa", "<HTML>\n" + UpLine() + "\n" + FolderLine("101", Thumb("/gallery/t/a/")));
    stub.Page(FolderUrl("101"), "<HTML>\n" + UpLine() + "\n");

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(host.Log, Lines{FolderUrl("101")});
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

TEST_F(WalkTest, FirstPictureLineHandsOverAndIgnoresTheRestOfThePage)
{
    WriteFirstPage("tessa", Page({UpLine(), PictureLine("/gallery/tessa/f/", "a.jpg"),
                                  FolderLine("101", Thumb("/gallery/tessa/g/")),
                                  NextLine("/cgi-bin/gallery.cgi?m=tessa&f=100&n=2")}));
    stub.Page(Site + "/gallery/tessa/f/", Page({UpLine(), PictureLine("/gallery/tessa/f/", "a.jpg")}));
    ServePicture("/gallery/tessa/f/", "a.jpg");

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(stub.Urls(), (Lines{Site + "/gallery/tessa/f/", Site + "/gallery/tessa/f/a.jpg"}));
    EXPECT_EQ(host.Log, Lines{"/gallery/tessa/f/a.jpg"});
    EXPECT_EQ(ReadLocal("gallery/tessa/f/a.jpg"), PictureBytes("a.jpg"));
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

TEST_F(WalkTest, NextPageIsFetchedAndWalked)
{
    const std::string next = Site + "/cgi-bin/gallery.cgi?m=tessa&f=123&n=2";
    WriteFirstPage("tessa", Page({UpLine(), NextLine("/cgi-bin/gallery.cgi?m=tessa&f=123&n=2")}));
    stub.Page(next, Page({UpLine(), FolderLine("104", Thumb("/gallery/tessa/four/"))}));
    stub.Page(FolderUrl("104"), Page({UpLine()}));
    WatchPageFiles();

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(stub.Urls(), (Lines{next, FolderUrl("104")}));
    EXPECT_EQ(host.Log, Lines{FolderUrl("104")});
    EXPECT_TRUE(pageFoldersSeen.count("."));
    EXPECT_EQ(PageFilesLeft(), Lines{});
    // After the next page's walk, the page that linked to it hands on its own (empty) sub-path.
    EXPECT_EQ(host.LastFolderPath, "");
}

TEST_F(WalkTest, NextPageThatLinksBackIsNotWalkedAgain)
{
    const auto link = [](int n) { return "/cgi-bin/gallery.cgi?m=tessa&f=123&n=" + std::to_string(n); };
    WriteFirstPage("tessa", Page({UpLine(), NextLine(link(2))}));
    stub.Page(Site + link(2), Page({UpLine(), NextLine(link(3))}));
    stub.Page(Site + link(3), Page({UpLine(), NextLine(link(2))}));
    host.OnMessages = [this] {  // a walk that loops is stopped, so that it fails instead of hanging
        if (stub.Urls().size() > 10)
            host.Cancel();
    };

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(stub.Urls(), (Lines{Site + link(2), Site + link(3)}));
    EXPECT_EQ(host.Log, Lines{"** Skipping already walked page " + Site + link(2)});
}

TEST_F(WalkTest, NextPageOfASubFolderLandsInThatSubFoldersFolder)
{
    const std::string next = Site + "/cgi-bin/gallery.cgi?m=tessa&f=101&n=3";
    WriteFirstPage("tessa", Page({UpLine(), FolderLine("101", Thumb("/gallery/tessa/one/")),
                                  NextLine("/cgi-bin/gallery.cgi?m=tessa&f=101&n=3")}));
    stub.Page(FolderUrl("101"), Page({UpLine()}));
    stub.Page(next, Page({UpLine()}));
    WatchPageFiles();

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(stub.Urls(), (Lines{FolderUrl("101"), next}));
    EXPECT_TRUE(pageFoldersSeen.count("gallery/tessa/one"));
    EXPECT_EQ(host.LastFolderPath, "\\gallery\\tessa\\one");
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

TEST_F(WalkTest, SubFolderPageThatCannotBeFetchedEndsThatPage)
{
    WriteFirstPage("tessa", Page({UpLine(), FolderLine("101", Thumb("/gallery/tessa/one/")),
                                  FolderLine("102", Thumb("/gallery/tessa/two/"))}));
    stub.Page(FolderUrl("102"), Page({UpLine()}));  // never asked for

    WalkGalleryPage(host, host.Destination, "tessa");

    Lines log = {FolderUrl("101")};
    log.insert(log.end(), 5, "**Got a server error, trying to download again");
    log.push_back("**Tried 5 times and got errors every time, skipping this folder");
    EXPECT_EQ(host.Log, log);
    EXPECT_EQ(stub.Urls(), Lines(5, FolderUrl("101")));
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

// A folder whose page file cannot be made is named in the log with the reason and passed over.
TEST_F(WalkTest, FolderThatCannotHoldItsPageIsSkippedAndTheWalkGoesOn)
{
    const std::string tooLong(300, 'x');
    std::string deep = "/gallery/t";
    while (deep.size() < 5000)
        deep += "/" + std::string(200, 'd');
    fs::create_directories(destination / "gallery/t");
    support::WriteFile(destination / "gallery/t/plain", "a file");
    WriteFirstPage("tessa", Page({UpLine(), FolderLine("101", Thumb("/gallery/t/" + tooLong + "/")),
                                  FolderLine("102", Thumb("/gallery/t/plain/")),
                                  FolderLine("103", Thumb(deep + "/")),
                                  FolderLine("104", Thumb("/gallery/t/good/"))}));
    stub.Page(FolderUrl("104"), Page({UpLine(), PictureLine("/gallery/t/plain/", "a.jpg")}));

    WalkGalleryPage(host, host.Destination, "tessa");

    const std::string skip = "** Skipping folder " + host.Destination;
    EXPECT_EQ(host.Log, (Lines{FolderUrl("101"), skip + "\\gallery\\t\\" + tooLong + "\\: File name too long",
                               FolderUrl("102"), skip + "\\gallery\\t\\plain\\: Not a directory",
                               FolderUrl("103"), skip + ReplaceAll(deep, "/", "\\") + "\\: File name too long",
                               FolderUrl("104"), skip + "\\gallery\\t\\plain\\: Not a directory"}));
    EXPECT_EQ(stub.Urls(), Lines{FolderUrl("104")});
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

// Pictures may bear the names the walk once gave its page files.
TEST_F(WalkTest, PicturesNamedLikePageFilesAreStored)
{
    const std::string folder = "/gallery/tessa/one/";
    WriteFirstPage("tessa", Page({UpLine(), FolderLine("101", Thumb(folder))}));
    stub.Page(FolderUrl("101"), Page({UpLine(), PictureLine(folder, "101.html")}));
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "101.html"), PictureLine(folder, "temp2.htm")}));
    ServePicture(folder, "101.html");
    ServePicture(folder, "temp2.htm");

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(ReadLocal("gallery/tessa/one/101.html"), PictureBytes("101.html"));
    EXPECT_EQ(ReadLocal("gallery/tessa/one/temp2.htm"), PictureBytes("temp2.htm"));
    EXPECT_EQ(TempFolder::TreeOf(destination).size(), 5u) << "three folders and the two pictures";
}

TEST_F(WalkTest, CancelEndsEveryWalkLevelAtItsNextLine)
{
    WriteFirstPage("tessa", Page({UpLine(), FolderLine("101", Thumb("/gallery/t/a/")),
                                  FolderLine("102", Thumb("/gallery/t/b/"))}));
    stub.Page(FolderUrl("101"), Page({UpLine(), FolderLine("103", Thumb("/gallery/t/a/c/")),
                                      FolderLine("104", Thumb("/gallery/t/a/d/"))}));
    stub.Page(FolderUrl("103"), Page({UpLine()}));
    host.OnMessages = [this] {
        if (stub.Count(FolderUrl("103")) > 0)
            host.StopRequested = true;
    };

    WalkGalleryPage(host, host.Destination, "tessa");

    const std::string cancel = "Cancel button pressed, download stopped.";
    EXPECT_EQ(host.Log, (Lines{FolderUrl("101"), FolderUrl("103"), cancel, cancel, cancel}));
    EXPECT_EQ(stub.Urls(), (Lines{FolderUrl("101"), FolderUrl("103")}));
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

TEST_F(WalkTest, FolderAlreadyWalkedInThisJobIsNotWalkedAgain)
{
    WriteFirstPage("77154", Page({UpLine(), FolderLine("101", Thumb("/gallery/t/a/")),
                                  FolderLine("102", Thumb("/gallery/t/b/"))}));
    stub.Page(FolderUrl("101"), Page({UpLine(), FolderLine("101", Thumb("/gallery/t/a/")),
                                      FolderLine("77154", Thumb("/gallery/t/"))}));
    stub.Page(FolderUrl("102"), Page({UpLine(), FolderLine("101", Thumb("/gallery/t/a/"))}));

    WalkGalleryPage(host, host.Destination, "77154");

    const std::string again = "** Skipping already walked page ";
    EXPECT_EQ(host.Log, (Lines{FolderUrl("101"), again + FolderUrl("101"), again + FolderUrl("77154"),
                               FolderUrl("102"), again + FolderUrl("101")}));
    EXPECT_EQ(stub.Urls(), (Lines{FolderUrl("101"), FolderUrl("102")}));

    // The record belongs to one job: the next job walks the same folders again.
    host.Log.clear();
    WriteFirstPage("77154", Page({UpLine(), FolderLine("102", Thumb("/gallery/t/b/"))}));
    WalkGalleryPage(host, host.Destination, "77154");
    EXPECT_EQ(host.Log, (Lines{FolderUrl("102"), FolderUrl("101"), again + FolderUrl("101"),
                               again + FolderUrl("77154")}));
}

TEST_F(WalkTest, HostileGalleryEntriesAreLoggedAndSkipped)
{
    WriteFirstPage("tessa", Page({UpLine(),
                                  FolderLine("../../x", Thumb("/gallery/tessa/one/")),
                                  FolderLine("105", Thumb("/gallery/../../outside/")),
                                  FolderLine("106", Thumb("/gallery/..\\..\\outside/")),
                                  FolderLine("1\x01" "07", Thumb("/gallery/tessa/one/")),
                                  FolderLine("108", Thumb("/gallery/tessa/\x1b[2J/")),
                                  NextLine("/cgi-bin/gallery.cgi?m=tessa&n=/../../evil"),
                                  NextLine("/cgi-bin/gallery.cgi?m=tessa&n=.."),
                                  NextLine("/cgi-bin/../../gallery.cgi?m=tessa&n=4"),
                                  PictureLine("/gallery/../../outside/", "a.jpg")}));

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(host.Log, (Lines{"** Skipping unsafe folder ID ../../x",
                               "** Skipping unsafe path /gallery/../../outside",
                               "** Skipping unsafe path /gallery/..\\..\\outside",
                               "** Skipping unsafe folder ID 1\\x0107",
                               "** Skipping unsafe path /gallery/tessa/\\x1B[2J",
                               "** Skipping unsafe page number /../../evil",
                               "** Skipping unsafe page number ..",
                               "** Skipping unsafe path cgi-bin/../../gallery.cgi?m=tessa&n=4",
                               "** Skipping unsafe path /gallery/../../outside/"}));
    EXPECT_EQ(stub.Urls(), Lines{});
    EXPECT_EQ(TempFolder::TreeOf(scratch.Path()), Lines{"dest/"});
}

TEST_F(WalkTest, LongChainOfNextPagesCompletes)
{
    constexpr int pages = 10000;
    const auto link = [](int n) { return "/cgi-bin/gallery.cgi?m=tessa&f=9&n=" + std::to_string(n); };
    WriteFirstPage("tessa", Page({UpLine(), NextLine(link(2))}));
    Lines expected;
    for (int n = 2; n <= pages; ++n) {
        stub.Page(Site + link(n), Page({UpLine(), n < pages ? NextLine(link(n + 1)) : "<P>last page</P>"}));
        expected.push_back(Site + link(n));
    }

    WalkGalleryPage(host, host.Destination, "tessa");

    EXPECT_EQ(stub.Urls(), expected);
    EXPECT_EQ(host.Log, Lines{});
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

// ---- picture listing walk ----

TEST_F(WalkTest, ListingOfTwoPagesFetchesBothAndLeavesNoListingFile)
{
    const std::string folder = "/gallery/tessa/f/";
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "a.jpg"),
                                   NextLine("/cgi-bin/gallery.cgi?f=123&n=2")}));
    stub.Page(Site + "/cgi-bin/gallery.cgi?f=123&n=2", Page({UpLine(), PictureLine(folder, "b.jpg")}));
    ServePicture(folder, "a.jpg");
    ServePicture(folder, "b.jpg");
    WatchPageFiles();

    WalkPictureListing(host, folder);

    EXPECT_EQ(stub.Urls(), (Lines{Site + folder, Site + folder + "a.jpg", Site + "/cgi-bin/gallery.cgi?f=123&n=2",
                                  Site + folder + "b.jpg"}));
    EXPECT_EQ(host.Log, (Lines{folder + "a.jpg", folder + "b.jpg"}));
    EXPECT_EQ(pageFoldersSeen, std::set<std::string>{"gallery/tessa/f"});
    EXPECT_EQ(TempFolder::TreeOf(destination),
              (Lines{"gallery/", "gallery/tessa/", "gallery/tessa/f/",
                     "gallery/tessa/f/a.jpg " + std::to_string(PictureBytes("a.jpg").size()),
                     "gallery/tessa/f/b.jpg " + std::to_string(PictureBytes("b.jpg").size())}));
    ASSERT_FALSE(host.Statuses.empty());
    EXPECT_EQ(host.Statuses.front(), "Getting directory listing . . .");
}

TEST_F(WalkTest, ListingScriptRedirectIsFollowedOnce)
{
    const std::string folder = "/gallery/tessa/birds/";
    stub.Page(Site + folder, "<HTML>\n<SCRIPT>\nthis.location.replace('/cgi-bin/gallery.cgi?f=88');\n</SCRIPT>\n</HTML>\n");
    stub.Page(Site + "/cgi-bin/gallery.cgi?f=88", Page({UpLine(), PictureLine(folder, "owl.jpg")}));
    ServePicture(folder, "owl.jpg");

    WalkPictureListing(host, folder);

    EXPECT_EQ(stub.Urls(), (Lines{Site + folder, Site + "/cgi-bin/gallery.cgi?f=88", Site + folder + "owl.jpg"}));
    EXPECT_EQ(ReadLocal("gallery/tessa/birds/owl.jpg"), PictureBytes("owl.jpg"));
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

TEST_F(WalkTest, ListingPassesOverFolderIconsAndForeignThumbnails)
{
    const std::string folder = "/gallery/tessa/f/";
    stub.Page(Site + folder,
              Page({"<P><IMG SRC=/members/tessa_thumb.jpg ALT=\"tessa\"> tessa</P>",
                    "<TR><TD><A HREF=\"/cgi?f=7\"><IMG SRC=/gallery/tessa/f/g/thumb/x_thumb.jpg ALT=\"x.jpg\"></A></TD></TR>",
                    PictureLine(folder, "a.jpg")}));
    ServePicture(folder, "a.jpg");

    WalkPictureListing(host, folder);

    EXPECT_EQ(stub.Urls(), (Lines{Site + folder, Site + folder + "a.jpg"}));
    EXPECT_EQ(host.Log, Lines{folder + "a.jpg"});
}

TEST_F(WalkTest, ListingWithoutThumbnailsOrWithATruncatedTextEnds)
{
    const std::string folder = "/gallery/tessa/f/";
    stub.Page(Site + folder, "<HTML>\n" + PictureLine(folder, "a.jpg") + "\n" +
                                 NextLine("/cgi-bin/gallery.cgi?f=5&n=2") + "\n");
    stub.Page(Site + "/gallery/tessa/empty/", Page({UpLine(), NextLine("/cgi-bin/gallery.cgi?f=6&n=2")}));
    stub.Page(Site + "/cgi-bin/gallery.cgi?f=5&n=2", Page({UpLine()}));
    ServePicture(folder, "a.jpg");

    WalkPictureListing(host, folder);
    WalkPictureListing(host, "/gallery/tessa/empty/");

    // The cut-short page still names its next page; the page without thumbnails follows none.
    EXPECT_EQ(stub.Urls(), (Lines{Site + folder, Site + folder + "a.jpg", Site + "/cgi-bin/gallery.cgi?f=5&n=2",
                                  Site + "/gallery/tessa/empty/"}));
    EXPECT_EQ(host.Log, Lines{folder + "a.jpg"});
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

TEST_F(WalkTest, CancelDuringAListingLetsThePictureFinishAndFollowsNoNextPage)
{
    const std::string folder = "/gallery/tessa/f/";
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "a.jpg"), PictureLine(folder, "b.jpg"),
                                   NextLine("/cgi-bin/gallery.cgi?f=5&n=2")}));
    ServePicture(folder, "a.jpg");
    host.Pause = true;
    host.OnMessages = [this] {
        if (stub.Count(Site + "/gallery/tessa/f/a.jpg") > 0)
            host.StopRequested = true;
    };

    WalkPictureListing(host, folder);

    EXPECT_EQ(stub.Urls(), (Lines{Site + folder, Site + folder + "a.jpg"}));
    EXPECT_EQ(host.Log, (Lines{folder + "a.jpg", "Cancel button pressed, download stopped."}));
    EXPECT_EQ(host.Pauses, std::vector<unsigned>{1000});
    EXPECT_EQ(ReadLocal("gallery/tessa/f/a.jpg"), PictureBytes("a.jpg"));
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

TEST_F(WalkTest, HostileListingEntriesAreLoggedAndSkipped)
{
    const std::string folder = "/gallery/tessa/f/";
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "../evil.jpg"), PictureLine(folder, ".."),
                                   PictureLine(folder, "sub\\x.jpg"), PictureLine(folder, "ctl\x1b.jpg"),
                                   PictureLine(folder, ""), PictureLine(folder, "ok.jpg"),
                                   NextLine("/../../../cgi-bin/gallery.cgi?f=5&n=2")}));
    ServePicture(folder, "ok.jpg");
    stub.Page(Site + "/gallery/tessa/r/", "<HTML>\nthis.location.replace('/a/../../b\x01');\n</HTML>\n");

    WalkPictureListing(host, folder);
    WalkPictureListing(host, "/gallery/tessa/r/");
    WalkPictureListing(host, "/gallery/tessa/../../../");

    EXPECT_EQ(host.Log, (Lines{"** Skipping unsafe file name ../evil.jpg", "** Skipping unsafe file name ..",
                               "** Skipping unsafe file name sub\\x.jpg", "** Skipping unsafe file name ctl\\x1B.jpg",
                               "** Skipping unsafe file name ", folder + "ok.jpg",
                               "** Skipping unsafe path /gallery/tessa/f/../../../cgi-bin/gallery.cgi?f=5&n=2",
                               "** Skipping unsafe path /a/../../b\\x01",
                               "** Skipping unsafe path /gallery/tessa/../../../"}));
    EXPECT_EQ(stub.Urls(), (Lines{Site + folder, Site + folder + "ok.jpg", Site + "/gallery/tessa/r/"}));
    EXPECT_EQ(TempFolder::TreeOf(scratch.Path()),
              (Lines{"dest/", "dest/gallery/", "dest/gallery/tessa/", "dest/gallery/tessa/f/",
                     "dest/gallery/tessa/f/ok.jpg " + std::to_string(PictureBytes("ok.jpg").size()),
                     "dest/gallery/tessa/r/"}));
}

TEST_F(WalkTest, ListingPageThatLinksBackIsNotWalkedAgain)
{
    const std::string folder = "/gallery/tessa/f/";
    const std::string second = Site + "/cgi-bin/gallery.cgi?f=5&n=2";
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "a.jpg"), NextLine("/cgi-bin/gallery.cgi?f=5&n=2")}));
    stub.Page(second, Page({UpLine(), PictureLine(folder, "b.jpg"), NextLine("/cgi-bin/gallery.cgi?f=5&n=2")}));
    ServePicture(folder, "a.jpg");
    ServePicture(folder, "b.jpg");

    WalkPictureListing(host, folder);

    EXPECT_EQ(stub.Urls(), (Lines{Site + folder, Site + folder + "a.jpg", second, Site + folder + "b.jpg"}));
    EXPECT_EQ(host.Log, (Lines{folder + "a.jpg", folder + "b.jpg", "** Skipping already walked page " + second}));
}

// ---- parallel downloads ----

// Four connections: a slow first picture is overtaken, yet the log, the multimedia lock-out
// after a failed picture, the skip of a present file and the tally are those of one connection.
TEST_F(WalkTest, FourConnectionsLogAndCountAsOneWould)
{
    const std::string folder = "/gallery/tessa/f/";
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "a.jpg"), PictureLine(folder, "b.jpg"),
                                   PictureLine(folder, "c.jpg"), PictureLine(folder, "d.mov"),
                                   PictureLine(folder, "e.jpg"), PictureLine(folder, "f.jpg")}));
    for (const char* name : {"a.jpg", "c.jpg", "d.mov", "e.jpg", "f.jpg"})
        ServePicture(folder, name);
    Lines logs[2];
    bool overtaken = false;
    for (const int connections : {1, 4}) {
        SCOPED_TRACE(connections);
        FakeHost run;
        PrepareRun(run, connections);
        fs::create_directories(destination / "gallery/tessa/f");
        support::WriteFile(destination / "gallery/tessa/f/e.jpg", "kept");
        const int before = stub.RequestCount();
        // The first picture answers only once the third has been asked for: a second connection did.
        stub.OnRequest([&](const std::string& url) {
            if (connections > 1 && url == Site + folder + "a.jpg")
                overtaken = stub.WaitForRequests(before + 4, fixtures::Ms{10000});
        });

        WalkPictureListing(run, folder);

        logs[connections > 1] = run.Log;
        EXPECT_EQ(run.Run.Tally.Fetched, 3);
        EXPECT_EQ(run.Run.Tally.Present, 1);
        EXPECT_EQ(run.Run.Tally.Failed, 1);
        EXPECT_EQ(ReadLocal("gallery/tessa/f/f.jpg"), PictureBytes("f.jpg"));
    }
    EXPECT_TRUE(overtaken);
    EXPECT_EQ(logs[1], logs[0]);
    EXPECT_EQ(logs[1], (Lines{folder + "a.jpg", folder + "b.jpg", "** Multimedia files have been temporarily disabled.",
                              "** Deleting file b.jpg", folder + "c.jpg", folder + "d.mov",
                              "** Multimedia files have been temporarily disabled.", "** Skipping file d.mov",
                              folder + "e.jpg", folder + "f.jpg"}));
    EXPECT_EQ(stub.Count(Site + folder + "d.mov"), 0);
}

// The pause makes one connection of four: each picture is asked for only after the one before
// it has been stored and paused after.
TEST_F(WalkTest, PauseMakesFourConnectionsOne)
{
    const std::string folder = "/gallery/tessa/f/";
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "a.jpg"), PictureLine(folder, "b.jpg")}));
    ServePicture(folder, "a.jpg");
    ServePicture(folder, "b.jpg");
    host.Options.Connections = 4;
    host.Pause = true;
    std::vector<int> requestsAtPause;
    host.DuringPause = [&] { requestsAtPause.push_back(stub.RequestCount()); };

    WalkPictureListing(host, folder);

    EXPECT_EQ(requestsAtPause, (std::vector<int>{2, 3}));
    EXPECT_EQ(host.Log, (Lines{folder + "a.jpg", folder + "b.jpg"}));
}

// Cancel starts no new picture: the running ones end and are stored, and those queued behind
// them never begin (a partial file there before stays as it was). Abort (a second Ctrl+C) ends
// them at once, counted as aborted: no failure, no lock-out. The watchdog ends a stalled picture
// and no other, as a failure, also one its connection took after another.
TEST_F(WalkTest, FourConnectionsCancelAbortAndWatchdog)
{
    using fixtures::Reply;
    using fixtures::Step;
    const std::string folder = "/gallery/tessa/f/";
    const Lines names = {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg", "f.jpg"};
    ServeListing(folder, names);
    const Reply stall = Reply::Steps({Step::Stall(fixtures::Ms{20000})});
    const Reply slow = Reply::Steps({Step::Delay(fixtures::Ms{500}), Step::Send(fixtures::HttpHead(200, "OK") + "x")});
    const Reply quick = Reply::Status(200, "OK", "x");
    // Answers in the end: only the watchdog makes it a failure.
    const Reply stallThenAnswer =
        Reply::Steps({Step::Stall(fixtures::Ms{5000}), Step::Send(fixtures::HttpHead(200, "OK") + "x")});
    const Lines aFailed = {folder + "a.jpg", "** Multimedia files have been temporarily disabled.",
                           "** Deleting file a.jpg"};
    const Lines fFailed = {folder + "a.jpg", folder + "b.jpg", folder + "c.jpg", folder + "d.jpg", folder + "e.jpg",
                           folder + "f.jpg", "** Multimedia files have been temporarily disabled.",
                           "** Deleting file f.jpg"};
    struct Row {
        const char* name;
        Reply first, others;
        enum { Cancel, Abort, Watchdog } how;
        int fetched, failed, aborted;
        Lines firstLines;
        std::string special = "a.jpg";  // answered with `first`
    } rows[] = {{"cancel lets them end", slow, slow, Row::Cancel, 4, 0, 0, {folder + "a.jpg", folder + "b.jpg"}},
                {"abort ends them", stall, stall, Row::Abort, 0, 0, 4, {folder + "a.jpg", folder + "b.jpg"}},
                {"watchdog ends a stalled one", stall, quick, Row::Watchdog, 5, 1, 0, aFailed},
                {"watchdog ends a stalled one taken after another", stallThenAnswer, slow, Row::Watchdog, 5, 1, 0,
                 fFailed, "f.jpg"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeHost run;
        PrepareRun(run, 4);
        run.BeginJob();
        for (const std::string& name : names)
            stub.Set(Site + folder + name, name == row.special ? row.first : row.others);
        const std::string partial = platform::PartialPath(destination.string() + folder, "f.jpg");
        run.Options.Resume = row.how != Row::Watchdog;
        if (run.Options.Resume) {
            fs::create_directories(destination.string() + folder);
            std::ofstream(partial) << "12345";
            ASSERT_TRUE(platform::WritePartialNote(partial, {Site + folder + "f.jpg", 10, "", "\"v\""}));
        }
        const int requests = stub.RequestCount() + 5;  // the listing and one picture for each connection
        TThreadTimer ticks;
        ticks.SetInterval(20);
        ticks.SetOnTimer([&](TComponent*) {
            if (row.how == Row::Watchdog) {
                run.Tick();
            } else if (!run.StopRequested && stub.RequestCount() >= requests) {
                run.Cancel();
                if (row.how == Row::Abort)
                    run.AbortDownloads();
            }
        });

        WalkPictureListing(run, folder);

        EXPECT_EQ(run.Run.Tally.Fetched, row.fetched);
        EXPECT_EQ(run.Run.Tally.Failed, row.failed);
        EXPECT_EQ(run.Run.Tally.Aborted, row.aborted);
        EXPECT_EQ(run.MultimediaLockout, row.failed > 0);
        ASSERT_GE(run.Log.size(), row.firstLines.size());
        EXPECT_EQ(Lines(run.Log.begin(), run.Log.begin() + row.firstLines.size()), row.firstLines);
        if (row.how != Row::Watchdog) {
            EXPECT_EQ(run.Log.back(), "Cancel button pressed, download stopped.");
            EXPECT_EQ(stub.RequestCount(), requests);
            EXPECT_TRUE(std::count(run.Statuses.begin(), run.Statuses.end(),
                                   "Stopping: waiting for a.jpg, b.jpg, c.jpg, d.jpg to finish"));
            EXPECT_EQ(support::FileBytes(partial), "12345");
            platform::PartialNote note;
            EXPECT_TRUE(platform::ReadPartialNote(partial, note));
        }
    }
}

// Over four connections the walk goes on to the next listing page, and its pictures start,
// while the pictures of the page before it download, yet the log is line for line that of one
// connection: a retried page and a refused name wait behind the pictures before them, a failed
// picture locks out a movie of the next page. A cancel while the next page comes ends the walk
// there: the page is never walked and leaves no file.
TEST_F(WalkTest, FourConnectionsFetchTheNextPageAheadAndLogAsOneWould)
{
    const std::string folder = "/gallery/tessa/f/";
    const std::string second = Site + "/cgi-bin/gallery.cgi?f=5&n=2";
    const std::string third = Site + "/cgi-bin/gallery.cgi?f=5&n=3";
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "a.jpg"), PictureLine(folder, "b.jpg"),
                                   PictureLine(folder, "c.jpg"), PictureLine(folder, "d.jpg"),
                                   PictureLine(folder, "e.jpg"), NextLine("/cgi-bin/gallery.cgi?f=5&n=2")}));
    const std::string secondPage = Page({UpLine(), PictureLine(folder, "../x.jpg"), PictureLine(folder, "g.jpg"),
                                         PictureLine(folder, "f.mov"), NextLine("/cgi-bin/gallery.cgi?f=5&n=3")});
    stub.Page(third, Page({UpLine(), PictureLine(folder, "h.jpg")}));
    for (const char* name : {"a.jpg", "c.jpg", "d.jpg", "e.jpg", "f.mov", "g.jpg", "h.jpg"})
        ServePicture(folder, name);
    Lines logs[2];
    bool overtaken = false;
    for (const int connections : {1, 4}) {
        SCOPED_TRACE(connections);
        // The second page fails once; the first picture answers only once the second page's
        // picture has been asked for.
        stub.Set(second, fixtures::Reply::Status(500, "Error", "<html>busy</html>"));
        std::atomic<int> secondAsked = 0;
        std::atomic<int> gAsked = 0;
        stub.OnRequest([&](const std::string& url) {
            if (url == second && ++secondAsked == 2)
                stub.Page(second, secondPage);
            if (url == Site + folder + "g.jpg")
                ++gAsked;
            if (connections > 1 && url == Site + folder + "a.jpg")
                overtaken = Counted(gAsked);
        });
        FakeHost run;
        PrepareRun(run, connections);

        WalkPictureListing(run, folder);

        logs[connections > 1] = run.Log;
        EXPECT_EQ(run.Run.Tally.Fetched, 6);
        EXPECT_EQ(run.Run.Tally.Failed, 1);
    }
    EXPECT_TRUE(overtaken);
    EXPECT_EQ(logs[1], logs[0]);
    EXPECT_EQ(logs[1], (Lines{folder + "a.jpg", folder + "b.jpg", "** Multimedia files have been temporarily disabled.",
                              "** Deleting file b.jpg", folder + "c.jpg", folder + "d.jpg", folder + "e.jpg",
                              "**Got a server error, trying to download again", "** Skipping unsafe file name ../x.jpg",
                              folder + "g.jpg", folder + "f.mov", "** Multimedia files have been temporarily disabled.",
                              "** Skipping file f.mov", folder + "h.jpg"}));

    // Cancelled while the second page comes: the pictures not yet started are dropped.
    stub.OnRequest([](const std::string&) {});
    FakeHost run;
    PrepareRun(run, 4);
    run.BeginJob();
    const long secondBefore = stub.Count(second);
    const long gBefore = stub.Count(Site + folder + "g.jpg");
    TThreadTimer ticks;
    ticks.SetInterval(10);
    ticks.SetOnTimer([&](TComponent*) {
        if (!run.StopRequested && stub.Count(second) > secondBefore)
            run.Cancel();
    });
    const auto late = [](const std::string& bytes) {
        return fixtures::Reply::Steps({fixtures::Step::Delay(fixtures::Ms{300}), fixtures::Step::Send(bytes)});
    };
    stub.Set(Site + folder + "a.jpg", late(fixtures::HttpHead(200, "OK") + "a"));
    stub.Set(second, late(fixtures::HttpHead(200, "OK") + secondPage));

    WalkPictureListing(run, folder);

    EXPECT_EQ(run.Log.back(), "Cancel button pressed, download stopped.");
    EXPECT_EQ(std::count(run.Log.begin(), run.Log.end(), folder + "g.jpg"), 0);
    EXPECT_EQ(stub.Count(Site + folder + "g.jpg"), gBefore);
    EXPECT_EQ(stub.Count(second) - secondBefore, 1);
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

// While the walk fetches a page, pictures that end make room for the next ones: the fifth
// picture starts before the next page has come.
TEST_F(WalkTest, PicturesStartWhileTheWalkFetchesAPage)
{
    const std::string folder = "/gallery/tessa/f/";
    const std::string second = Site + "/cgi-bin/gallery.cgi?f=5&n=2";
    const Lines names = {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"};
    Lines lines = {UpLine()};
    for (const std::string& name : names) {
        lines.push_back(PictureLine(folder, name));
        ServePicture(folder, name);
    }
    lines.push_back(NextLine("/cgi-bin/gallery.cgi?f=5&n=2"));
    stub.Page(Site + folder, Page(lines));
    stub.Page(second, Page({UpLine()}));
    std::atomic<int> secondAsked = 0;
    std::atomic<int> eAsked = 0;
    bool startedMeanwhile = false;
    // The first four answer once the next page is asked for, which answers once the fifth is.
    stub.OnRequest([&](const std::string& url) {
        if (url == second) {
            ++secondAsked;
            startedMeanwhile = Counted(eAsked);
        } else if (url == Site + folder + "e.jpg") {
            ++eAsked;
        } else if (url != Site + folder) {
            Counted(secondAsked);
        }
    });
    host.Options.Connections = 4;

    WalkPictureListing(host, folder);

    EXPECT_TRUE(startedMeanwhile);
    EXPECT_EQ(host.Run.Tally.Fetched, 5);
}

// The page of the next sub-folder comes while the last pictures of the folder before it
// download, its retry line kept for its place in the log: the log is that of one connection.
TEST_F(WalkTest, FourConnectionsFetchTheNextSubFolderAheadAndLogAsOneWould)
{
    const std::string one = "/gallery/tessa/one/";
    const std::string two = "/gallery/tessa/two/";
    stub.Page(FolderUrl("101"), Page({UpLine(), PictureLine(one, "a.jpg")}));
    stub.Page(Site + one, Page({UpLine(), PictureLine(one, "a.jpg"), PictureLine(one, "b.jpg")}));
    stub.Page(Site + two, Page({UpLine(), PictureLine(two, "c.jpg")}));
    ServePicture(one, "a.jpg");
    ServePicture(one, "b.jpg");
    ServePicture(two, "c.jpg");
    Lines logs[2];
    bool ahead = false;
    for (const int connections : {1, 4}) {
        SCOPED_TRACE(connections);
        stub.Set(FolderUrl("102"), fixtures::Reply::Status(500, "Error", "<html>busy</html>"));
        std::atomic<int> twoAsked = 0;
        stub.OnRequest([&](const std::string& url) {
            if (url == FolderUrl("102") && ++twoAsked == 2)
                stub.Page(FolderUrl("102"), Page({UpLine(), PictureLine(two, "c.jpg")}));
            if (connections > 1 && url == Site + one + "b.jpg")
                ahead = Counted(twoAsked);
        });
        FakeHost run;
        PrepareRun(run, connections);
        fs::create_directories(destination);
        WriteFirstPage("tessa", Page({UpLine(), FolderLine("101", Thumb(one)), FolderLine("102", Thumb(two))}));

        WalkGalleryPage(run, run.Destination, "tessa");

        logs[connections > 1] = run.Log;
        EXPECT_EQ(run.Run.Tally.Fetched, 3);
        EXPECT_EQ(PageFilesLeft(), Lines{});
    }
    EXPECT_TRUE(ahead);
    EXPECT_EQ(logs[1], logs[0]);
    EXPECT_EQ(logs[1], (Lines{FolderUrl("101"), one + "a.jpg", one + "b.jpg", FolderUrl("102"),
                              "**Got a server error, trying to download again", two + "c.jpg"}));
}

// A cancel drops the pictures not yet started: a folder the walk made past them, which one
// connection would not have come to, goes again; the pictures that were running are stored.
TEST_F(WalkTest, CancelRemovesTheFolderMadePastTheDroppedPictures)
{
    const std::string one = "/gallery/tessa/one/";
    const std::string two = "/gallery/tessa/two/";
    const Lines names = {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"};
    for (const std::string& name : names)
        stub.Set(Site + one + name, fixtures::Reply::Steps({fixtures::Step::Delay(fixtures::Ms{500}),
                                                             fixtures::Step::Send(fixtures::HttpHead(200, "OK") + "x")}));
    ServeListing(one, names);
    ServeListing(two, {"f.jpg"});
    stub.Page(FolderUrl("101"), Page({UpLine(), PictureLine(one, "a.jpg")}));
    stub.Page(FolderUrl("102"), Page({UpLine(), PictureLine(two, "f.jpg")}));
    ServePicture(two, "f.jpg");
    FakeHost run;
    PrepareRun(run, 4);
    fs::create_directories(destination);
    WriteFirstPage("tessa", Page({UpLine(), FolderLine("101", Thumb(one)), FolderLine("102", Thumb(two))}));
    TThreadTimer ticks;
    ticks.SetInterval(10);
    ticks.SetOnTimer([&](TComponent*) {
        if (!run.StopRequested && stub.Count(FolderUrl("102")) > 0)
            run.Cancel();
    });

    WalkGalleryPage(run, run.Destination, "tessa");

    EXPECT_EQ(run.Run.Tally.Fetched, 4);
    EXPECT_FALSE(fs::exists(destination / "gallery/tessa/two")) << "made past the dropped e.jpg";
    EXPECT_TRUE(fs::exists(destination / "gallery/tessa/one/d.jpg"));
    EXPECT_EQ(std::count(run.Log.begin(), run.Log.end(), FolderUrl("102")), 0);
    EXPECT_EQ(run.Log.back(), "Cancel button pressed, download stopped.");
    EXPECT_EQ(PageFilesLeft(), Lines{});
}

// A retry over one of four connections: its line stands among its picture's lines, in order.
TEST_F(WalkTest, FourConnectionsKeepARetryWithItsPicture)
{
    const std::string folder = "/gallery/tessa/f/";
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "a.jpg"), PictureLine(folder, "b.jpg"),
                                   PictureLine(folder, "c.jpg")}));
    for (const char* name : {"a.jpg", "c.jpg"})
        ServePicture(folder, name);
    stub.Set(Site + folder + "b.jpg", fixtures::Reply::Status(503, "Busy", "", {{"Retry-After", "1"}}));
    stub.OnRequest([this, folder](const std::string& url) {
        if (url == Site + folder + "b.jpg" && stub.Count(url) == 2)
            ServePicture(folder, "b.jpg");  // the retry finds it
    });
    host.Options.Connections = 4;
    host.Options.Retries = 1;

    WalkPictureListing(host, folder);

    EXPECT_EQ(host.Log, (Lines{folder + "a.jpg", folder + "b.jpg", "** Retrying b.jpg in 1 s: HTTP/1.0 503 Busy",
                               folder + "c.jpg"}));
    EXPECT_EQ(ReadLocal("gallery/tessa/f/b.jpg"), PictureBytes("b.jpg"));
}

// A try that the watchdog stopped leaves no idle count behind: the next try gets its own, over
// one connection and over several.
TEST_F(WalkTest, EachTryStartsWithAFreshWatchdogCount)
{
    using fixtures::Step;
    const std::string folder = "/gallery/tessa/f/";
    stub.Page(Site + folder, Page({UpLine(), PictureLine(folder, "a.jpg")}));
    for (const int connections : {1, 4}) {
        SCOPED_TRACE(connections);
        FakeHost run;
        PrepareRun(run, connections);
        run.Options.Retries = 1;
        const std::string url = Site + folder + "a.jpg";
        stub.Set(url, fixtures::Reply::Steps({Step::Stall(fixtures::Ms{20000})}));
        const long before = stub.Count(url);
        stub.OnRequest([&](const std::string& asked) {
            if (asked == url && stub.Count(url) == before + 2)
                stub.Set(url, fixtures::Reply::Steps({Step::Delay(fixtures::Ms{100}),
                                                      Step::Send(fixtures::HttpHead(200, "OK") + "x")}));
        });
        TThreadTimer ticks;
        ticks.SetInterval(5);
        ticks.SetOnTimer([&run](TComponent*) { run.Tick(); });

        WalkPictureListing(run, folder);

        stub.OnRequest(nullptr);
        EXPECT_EQ(run.Run.Tally.Fetched, 1);
        EXPECT_EQ(run.Run.Tally.Failed, 0);
        EXPECT_EQ(stub.Count(url) - before, 2);
    }
}

// The archive fails with the first picture's record, while four pictures are on their way (the
// first's connection took the next queued one as the first ended): they end and are stored
// whole, nothing more starts, and the walk ends with the archive's error, leaving no partial file
// or note behind.
TEST_F(WalkTest, ArchiveFailingMidListingKeepsThePicturesOnTheirWay)
{
    using fixtures::Step;
    const std::string folder = "/gallery/tessa/f/";
    const Lines names = {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg", "f.jpg"};
    ServeListing(folder, names);
    const std::uint64_t big = 2 << 20;
    const std::string head = fixtures::HttpHead(200, "OK", {{"Content-Length", std::to_string(big)}, {"ETag", "\"v\""}});
    for (const std::string& name : names)
        stub.Set(Site + folder + name, name == "a.jpg" ? fixtures::Reply::Steps({Step::Delay(fixtures::Ms{100}),
                                                                                 Step::Send(fixtures::HttpHead(200, "OK") + "a")})
                                                       : fixtures::Reply::Steps({Step::Delay(fixtures::Ms{1000}),
                                                                                 Step::Send(head), Step::SendGenerated(big)}));
    const fs::path archive = destination.parent_path() / "archive.db";
    stub.OnRequest([&](const std::string& url) {
        if (url == Site + folder + "a.jpg") {
            sqlite3* db = nullptr;
            sqlite3_open(archive.c_str(), &db);
            sqlite3_exec(db, "DROP TABLE files", nullptr, nullptr, nullptr);
            sqlite3_close(db);
        }
    });
    host.Options.ArchivePath = archive.string();
    host.Options.Connections = 4;
    host.BeginJob();

    EXPECT_THROW(WalkPictureListing(host, folder), EArchiveError);

    stub.OnRequest(nullptr);
    EXPECT_EQ(ReadLocal("gallery/tessa/f/a.jpg"), "a");
    for (const char* name : {"b.jpg", "c.jpg", "d.jpg", "e.jpg"})
        EXPECT_EQ(fixtures::HashOf(ReadLocal(std::string("gallery/tessa/f/") + name)), fixtures::PatternHash(big)) << name;
    Lines left;
    for (const auto& entry : fs::directory_iterator(destination / "gallery/tessa/f"))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Lines{"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"}));
    EXPECT_EQ(stub.Count(Site + folder + "f.jpg"), 0);
}

}  // namespace
