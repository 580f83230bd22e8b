#include "platform/files.h"

#include "platform/Exception.h"
#include "support/TempFolder.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using support::TempFolder;
using support::WriteFile;

TEST(FilesTest, NativePathMapsEveryBackslash)
{
    const struct {
        std::string given, expected;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"a\\b\\c.gif", "a/b/c.gif"},
        {"\\\\scans\\", "//scans/"},
        {"/already/native", "/already/native"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::NativePath(c.given), c.expected) << c.given;
}

TEST(FilesTest, FoldersAndFilesThroughBackslashPaths)
{
    TempFolder temp;
    const std::string base = temp.Path().string();
    const std::string folder = base + "\\sub";
    EXPECT_FALSE(platform::DirectoryExists(folder));
    EXPECT_TRUE(platform::CreateDir(folder));
    EXPECT_TRUE(platform::DirectoryExists(folder));
    EXPECT_FALSE(platform::CreateDir(folder)) << "exists already";
    EXPECT_FALSE(platform::CreateDir(folder + "\\missing\\deeper")) << "only one level";
    EXPECT_FALSE(platform::FileExists(folder)) << "a folder is not a file";

    const std::string file = folder + "\\a.txt";
    WriteFile(base + "/sub/a.txt", "one");
    EXPECT_TRUE(platform::FileExists(file));
    EXPECT_FALSE(platform::DirectoryExists(file));

    const std::string other = folder + "\\b.txt";
    WriteFile(base + "/sub/b.txt", "two");
    EXPECT_TRUE(platform::RenameFile(file, other)) << "replaces the target";
    EXPECT_FALSE(platform::FileExists(file));
    EXPECT_EQ(platform::ReadFileBytes(other, 100), "one");

    EXPECT_TRUE(platform::DeleteFile(other));
    EXPECT_FALSE(platform::FileExists(other));
    EXPECT_FALSE(platform::DeleteFile(other)) << "nothing left to delete";
    EXPECT_FALSE(platform::RenameFile(other, file));
}

TEST(FilesTest, ReadTextLinesDropsLineEnds)
{
    TempFolder temp;
    const std::string base = temp.Path().string();
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"CR LF", "a\r\nb\r\n", {"a", "b"}},
        {"LF", "a\nb\n", {"a", "b"}},
        {"last line without line end", "a\r\nb", {"a", "b"}},
        {"empty lines kept", "\r\n\nx\n", {"", "", "x"}},
        {"empty file", "", {}},
        {"lone CR stays in the line", "a\rb\n", {"a\rb"}},
    };
    const std::string path = base + "/lines.txt";
    for (const auto& c : cases) {
        WriteFile(path, c.bytes);
        EXPECT_EQ(platform::ReadTextLines(path), c.lines) << c.what;
    }
}

TEST(FilesTest, ReadFileBytesHonoursLimitAndKeepsEveryByte)
{
    TempFolder temp;
    const std::string base = temp.Path().string();
    const std::string bytes("ab\0\r\n\x1a" "cd", 8);
    WriteFile(base + "/bin.dat", bytes);
    EXPECT_EQ(platform::ReadFileBytes(base + "\\bin.dat", 100), bytes);
    EXPECT_EQ(platform::ReadFileBytes(base + "\\bin.dat", 3), bytes.substr(0, 3));
    EXPECT_EQ(platform::ReadFileBytes(base + "\\bin.dat", 0), "");
}

TEST(FilesTest, UnreadableFilesRaiseInOutError)
{
    TempFolder temp;
    const std::string base = temp.Path().string();
    const std::string missing = base + "/missing.txt";
    EXPECT_THROW(platform::ReadTextLines(missing), EInOutError);
    EXPECT_THROW(platform::ReadFileBytes(missing, 10), EInOutError);
    EXPECT_THROW(platform::ReadTextLines(base), EInOutError) << "a folder";
    try {
        platform::ReadFileBytes(missing, 10);
    } catch (const EInOutError& error) {
        EXPECT_NE(error.Message().find(missing), std::string::npos) << "names the file";
    }
}

TEST(FilesTest, ProgramFolderHoldsTheRunningProgram)
{
    const std::string folder = platform::ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(platform::DirectoryExists(folder));
    EXPECT_TRUE(platform::FileExists(folder + "test_platform"));
}

// A note names one version of a partial file's data; notes of earlier versions have no tag line
// and still count, and anything else is no note.
TEST(FilesTest, PartialNotesOfThisAndTheEarlierFormAreRead)
{
    const TempFolder scratch;
    const std::string partial = scratch.Text() + ".tessary-resume-a.jpg.part";
    const struct Row {
        const char* name;
        std::string text;
        bool read;
        platform::PartialNote note;
    } rows[] = {{"with a tag", "http://h/a.jpg\n10\nMon, 07 Dec 2026 10:00:00 GMT\n\"v1\"\n", true,
                 {"http://h/a.jpg", 10, "Mon, 07 Dec 2026 10:00:00 GMT", "\"v1\""}},
                {"earlier, without a tag line", "http://h/a.jpg\n10\n\n", true, {"http://h/a.jpg", 10, "", ""}},
                {"two lines", "http://h/a.jpg\n10\n", false, {}},
                {"five lines", "http://h/a.jpg\n10\n\n\nmore\n", false, {}},
                {"no length", "http://h/a.jpg\n\n\n", false, {}},
                {"a length of twenty digits", "http://h/a.jpg\n12345678901234567890\n\n", false, {}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(partial + platform::PartialNoteSuffix, row.text);
        platform::PartialNote note;
        ASSERT_EQ(platform::ReadPartialNote(partial, note), row.read);
        if (!row.read)
            continue;
        EXPECT_EQ(note.Url, row.note.Url);
        EXPECT_EQ(note.Total, row.note.Total);
        EXPECT_EQ(note.LastModified, row.note.LastModified);
        EXPECT_EQ(note.ETag, row.note.ETag);
        ASSERT_TRUE(platform::WritePartialNote(partial, note));
        platform::PartialNote again;
        ASSERT_TRUE(platform::ReadPartialNote(partial, again));
        EXPECT_EQ(again.ETag, row.note.ETag);
    }
}

}  // namespace
