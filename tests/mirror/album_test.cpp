#include "mirror/Album.h"
#include "support/TempFolder.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

class AlbumTest : public ::testing::Test {
protected:
    // A file of `bytes` at `relative` below the destination, its folders made.
    void Put(const std::string& relative, const std::string& bytes = "not a picture")
    {
        const fs::path path = top / relative;
        fs::create_directories(path.parent_path());
        support::WriteFile(path, bytes);
    }

    TAlbumCounts Build(TListedFiles listed, bool whole = false, const std::string& indexName = "index.html")
    {
        return BuildAlbum({top.string(), indexName, whole, std::move(listed),
                           [this](const std::string& line) { log.push_back(line); }});
    }

    std::string Page(const std::string& folder) const { return support::FileBytes(top / folder / "index.html"); }

    support::TempFolder scratch;
    fs::path top = scratch.Path() / "dest";
    Lines log;
};

// A folder's page: its sub-folder with the pictures below it, its pictures in the listing's
// order, its other files with their sizes, and the way back up. Names from the server are text,
// never markup, and links that lead to exactly that file.
TEST_F(AlbumTest, FolderPageEscapesTheServersNamesAndKeepsTheGallerysOrder)
{
    Put("g/a/sub/deep/p.jpg");
    Put("g/a/sub/q.jpg");
    Put("g/a/b.jpg");
    Put("g/a/<script>.jpg");
    Put("g/a/a\"b.jpg");
    Put("g/a/clip.mov", std::string(2500, 'm'));
    const std::string folder = top.string() + "/g/a/";

    const TAlbumCounts counts = Build({{folder, {"b.jpg", "<script>.jpg", "a\"b.jpg", "clip.mov"}}});

    EXPECT_EQ(counts.Pages, 3);  // the folder, the gallery above it and the top
    const std::string page = Page("g/a");
    EXPECT_EQ(page.find("<script>.jpg"), std::string::npos);
    EXPECT_EQ(page.find("a\"b"), std::string::npos);
    const size_t first = page.find("href=\"b.jpg\" data-name=\"b.jpg\"");
    const size_t second = page.find("href=\"%3Cscript%3E.jpg\" data-name=\"&lt;script&gt;.jpg\"");
    const size_t third = page.find("href=\"a%22b.jpg\" data-name=\"a&quot;b.jpg\"");
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_NE(third, std::string::npos);
    EXPECT_NE(page.find("<a class=\"folder\" href=\"sub/index.html\"><span class=\"placeholder\"></span><span "
                        "class=\"name\">sub</span> <span class=\"count\">2枚</span></a>"),
              std::string::npos);
    EXPECT_NE(page.find("<li><a href=\"clip.mov\">clip.mov</a> <span class=\"size\">2 KB</span></li>"), std::string::npos);
    EXPECT_NE(page.find("<nav class=\"path\"><a href=\"../../index.html\">ミラー</a> / <a href=\"../index.html\">g</a> / "
                        "<span>a</span></nav>"),
              std::string::npos);
    EXPECT_NE(page.find("<script src=\"../../.album/album.js\"></script>"), std::string::npos);
    EXPECT_NE(Page("").find("<span class=\"count\">5枚</span>"), std::string::npos);
    EXPECT_FALSE(fs::exists(top / "g/a/sub/index.html"));  // not touched, not written
    EXPECT_TRUE(fs::exists(top / ".album/album.js"));
    // Not pictures that can be made small: each says so, and shows a placeholder.
    EXPECT_EQ(log.size(), 3u);
    EXPECT_EQ(log.front().rfind("** No thumbnail of g/a/b.jpg: ", 0), 0u) << log.front();
}

// A later job rewrites the pages of the folders it touched and of those above them only; the
// order it listed is kept for a rebuild of the whole mirror, which lists nothing.
TEST_F(AlbumTest, RebuildWritesTheTouchedFoldersAndRemembersTheOrder)
{
    Put("g/x/1.jpg");
    Put("g/x/2.jpg");
    Put("g/y/1.jpg");
    EXPECT_EQ(Build({}, true).Pages, 4);
    Put("g/y/new.jpg");
    Put("g/x/3.jpg");

    EXPECT_EQ(Build({{top.string() + "/g/x/", {"3.jpg", "2.jpg", "1.jpg"}}}).Pages, 3);

    EXPECT_EQ(Page("g/y").find("new.jpg"), std::string::npos);
    EXPECT_LT(Page("g/x").find("\"3.jpg\""), Page("g/x").find("\"1.jpg\""));
    EXPECT_EQ(Build({}, true).Pages, 4);
    EXPECT_NE(Page("g/y").find("new.jpg"), std::string::npos);
    // A folder named from outside the destination gets no page.
    fs::create_directories(scratch.Path() / "outside");
    EXPECT_EQ(Build({{top.string() + "/g/../../outside/", {"1.jpg"}}}).Pages, 1);
    EXPECT_FALSE(fs::exists(scratch.Path() / "outside/index.html"));
    EXPECT_LT(Page("g/x").find("\"3.jpg\""), Page("g/x").find("\"1.jpg\""));
}

// A file of the page's name that the gallery itself has is never written over: the page goes
// under another name the user chooses, and the gallery's file is listed like any other.
TEST_F(AlbumTest, GallerysOwnFileOfThePageNameIsKept)
{
    Put("g/index.html", "the gallery's own");
    Put("g/p.jpg");

    Build({}, true);
    EXPECT_EQ(Page("g"), "the gallery's own");
    EXPECT_NE(std::find(log.begin(), log.end(), "** Not an album page, left as it is: g/index.html"), log.end());

    Build({}, true, "album.html");
    EXPECT_EQ(Page("g"), "the gallery's own");
    const std::string page = support::FileBytes(top / "g/album.html");
    EXPECT_NE(page.find("<li><a href=\"index.html\">index.html</a>"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"../album.html\">"), std::string::npos);
    for (const char* name : {"", ".album", "../up.html", "a/b.html"})
        EXPECT_THROW(Build({}, true, name), std::invalid_argument) << name;
}

}  // namespace
