#include "net/FTPDirectoryList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// How one line is split into fields by the base class.
struct SplitCase {
    const char* what;
    std::string line;
    std::vector<std::string> fields;
};

TEST(FTPDirectoryListTest, SplitsAtRunsOfBlanksOnly)
{
    const std::string longField(300, 'x');
    const std::vector<SplitCase> cases = {
        {"plain", "a b c", {"a", "b", "c"}},
        {"run of blanks is one separator", "a    b", {"a", "b"}},
        {"leading blanks give an empty first field", "  a b", {"", "a", "b"}},
        {"trailing blank gives an empty last field", "a b ", {"a", "b", ""}},
        {"empty line is one empty field", "", {""}},
        {"tab is no separator", "a\tb c", {"a\tb", "c"}},
        {"field cut to 255 characters", longField + " z", {longField.substr(0, 255), "z"}},
    };
    TFTPDirectoryList list;
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.what);
        list.ParseLine(c.line);
        ASSERT_EQ(list.FieldCount, static_cast<int>(c.fields.size()));
        for (int i = 1; i <= list.FieldCount; ++i)
            EXPECT_EQ(list.Field(i), c.fields[static_cast<size_t>(i - 1)]) << "field " << i;
        EXPECT_TRUE(list.FileNames.empty()) << "the base class keeps no entries";
    }
}

// One line given to the Unix parser: either no entry, or the entry it must yield.
struct UnixCase {
    const char* what;
    std::string line;
    bool accepted;
    std::string mode, name, size, date;
};

// A name made of `words` blank-separated words, for lines wider than the field table.
std::string WordsName(int words)
{
    std::string name = "w1";
    for (int i = 2; i <= words; ++i)
        name += " w" + std::to_string(i);
    return name;
}

TEST(FTPUnixListTest, PicksEntriesCountedFromTheEnd)
{
    const std::vector<UnixCase> cases = {
        {"full line", "-rw-r--r--   1 ftp  ftp   51234 Mar  3  1999 8436-01.gif", true,
         "-rw-r--r--", "8436-01.gif", "51234", "Mar 3 1999"},
        {"no group column", "-rw-r--r-- 1 ftp 777 Jan 12 10:05 a.jpg", true,
         "-rw-r--r--", "a.jpg", "777", "Jan 12 10:05"},
        {"total line", "total 24", false, "", "", "", ""},
        {"seven fields", "a b c d e f g", false, "", "", "", ""},
        {"empty line", "", false, "", "", "", ""},
        {"directory lines are kept", "drwxr-xr-x 2 ftp ftp 4096 Feb 1 2001 scans", true,
         "drwxr-xr-x", "scans", "4096", "Feb 1 2001"},
        {"leading blanks", "  -rw-r--r-- 1 ftp ftp 10 Mar 3 1999 x.gif", true,
         "", "x.gif", "10", "Mar 3 1999"},
        {"trailing blank", "-rw-r--r-- 1 ftp ftp 10 Mar 3 1999 x.gif ", true,
         "-rw-r--r--", "", "Mar", "3 1999 x.gif"},
        {"name with a blank", "-rw-r--r-- 1 ftp ftp 10 Mar 3 1999 my file.gif", true,
         "-rw-r--r--", "file.gif", "Mar", "3 1999 my"},
        {"wider than the field table", "-rw-r--r-- 1 ftp ftp 10 Mar 3 1999 " + WordsName(30), true,
         "-rw-r--r--", "w30", "w26", "w27 w28 w29"},
        {"exactly as wide as the field table", "-rw-r--r-- 1 ftp ftp 10 Mar 3 1999 " + WordsName(17), true,
         "-rw-r--r--", "w17", "w13", "w14 w15 w16"},
        {"normal line after a wide one", "-rw-r--r-- 1 ftp ftp 99 Apr 4 2002 b.gif", true,
         "-rw-r--r--", "b.gif", "99", "Apr 4 2002"},
    };
    TFTPUnixList list;
    for (const UnixCase& c : cases) {
        SCOPED_TRACE(c.what);
        list.Clear();
        list.ParseLine(c.line);
        ASSERT_EQ(list.FileNames.size(), c.accepted ? 1u : 0u);
        ASSERT_EQ(list.FileModes.size(), list.FileNames.size());
        ASSERT_EQ(list.FileSizes.size(), list.FileNames.size());
        ASSERT_EQ(list.FileDates.size(), list.FileNames.size());
        if (!c.accepted)
            continue;
        EXPECT_EQ(list.FileModes[0], c.mode);
        EXPECT_EQ(list.FileNames[0], c.name);
        EXPECT_EQ(list.FileSizes[0], c.size);
        EXPECT_EQ(list.FileDates[0], c.date);
    }
}

TEST(FTPUnixListTest, ClearThenListingKeepsOnlyNewEntries)
{
    TFTPUnixList list;
    list.ParseLine("-rw-r--r-- 1 ftp ftp 1 Jan 1 2000 old.gif");
    list.Clear();
    for (const char* line : {"total 3", "-rw-r--r-- 1 ftp ftp 1 Jan 1 2000 a.gif",
                             "-rw-r--r-- 1 ftp ftp 2 Jan 2 2000 b.gif",
                             "-rw-r--r-- 1 ftp ftp 3 Jan 3 2000 c.gif"})
        list.ParseLine(line);
    EXPECT_EQ(list.FileNames, (std::vector<std::string>{"a.gif", "b.gif", "c.gif"}));
    EXPECT_EQ(list.FileSizes, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(list.FileDates.size(), 3u);
    EXPECT_EQ(list.FileModes.size(), 3u);
}

TEST(FTPUnixListTest, WideLineLeavesFieldTableUsableForShortLines)
{
    TFTPUnixList list;
    list.ParseLine("-rw-r--r-- 1 ftp ftp 10 Mar 3 1999 " + WordsName(40));
    EXPECT_EQ(list.FieldCount, 48);
    list.ParseLine("total 24");
    EXPECT_EQ(list.FieldCount, 2);
    EXPECT_EQ(list.Field(1), "total");
    EXPECT_EQ(list.Field(2), "24");
    EXPECT_EQ(static_cast<int>(list.Fields.size()), TFTPDirectoryList::FieldTableSize);
}

// A date with a year stands as it is; one with a time lies in the year that puts it no later
// than a day after now (2026-12-07 10:00 UTC here).
TEST(FTPUnixListTest, ListingDatesReadAsUtc)
{
    const long long now = 1796637600;
    const struct {
        const char* date;
        long long seconds;
    } rows[] = {{"Mar 3 1999", 920419200},       {"Dec 7 09:30", 1796635800}, {"Dec 9 09:30", 1765272600},
                {"Mar 0 1999", -1},            {"Foo 3 1999", -1},          {"Mar 3", -1},
                {"Mar 3 25:00", -1},             {"Mar 3 1999 x", -1}};
    for (const auto& row : rows)
        EXPECT_EQ(ParseListingDate(row.date, now), row.seconds) << row.date;
}

}  // namespace
