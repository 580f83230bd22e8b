// The string rules the walks are written in, one table per rule.
#include "mirror/strutil.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

TEST(StringRules, PosIsOneBasedAndZeroWhenMissing)
{
    struct Row {
        std::string text, sub;
        int expected;
    };
    const std::vector<Row> rows = {
        {"abcabc", "a", 1},      {"abcabc", "c", 3},        {"abcabc", "bc", 2},
        {"abcabc", "x", 0},      {"", "a", 0},              {"abc", "", 0},
        {"<HTML>", "<html>", 0},  // exact case
        {"ab", "abc", 0},        {"x\"><y", "\"><", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text + " / " + row.sub);
        EXPECT_EQ(Pos(row.text, row.sub), row.expected);
        EXPECT_EQ(Contains(row.text, row.sub), row.expected > 0);
    }
}

TEST(StringRules, KeepAndDropTheFirstCharactersClamp)
{
    struct Row {
        std::string text;
        int n;
        std::string kept, dropped;
    };
    const std::vector<Row> rows = {
        {"abcdef", 0, "", "abcdef"},  {"abcdef", -3, "", "abcdef"}, {"abcdef", 2, "ab", "cdef"},
        {"abcdef", 6, "abcdef", ""},  {"abcdef", 7, "abcdef", ""},  {"", 3, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text + " / " + std::to_string(row.n));
        EXPECT_EQ(KeepFirst(row.text, row.n), row.kept);
        EXPECT_EQ(DropFirst(row.text, row.n), row.dropped);
    }
}

TEST(StringRules, PosFromTailFromAndSubRange)
{
    struct PosRow {
        std::string text, sub;
        int start, expected;
    };
    const std::vector<PosRow> posRows = {
        {"a/b/c", "/", 1, 2}, {"a/b/c", "/", 2, 2}, {"a/b/c", "/", 3, 4}, {"a/b/c", "/", 5, 0},
        {"a/b/c", "/", 6, 0}, {"abcd", "cd", 3, 3}, {"abcd", "cd", 4, 0}, {"abcd", "", 1, 0},
    };
    for (const PosRow& row : posRows) {
        SCOPED_TRACE(row.text + " from " + std::to_string(row.start));
        EXPECT_EQ(PosFrom(row.text, row.sub, row.start), row.expected);
    }

    struct RangeRow {
        std::string text;
        int from, to;
        std::string tail, range;
    };
    const std::vector<RangeRow> rangeRows = {
        {"abcdef", 1, 3, "abcdef", "abc"}, {"abcdef", 3, 99, "cdef", "cdef"}, {"abcdef", 0, 3, "", ""},
        {"abcdef", -1, 3, "", ""},         {"abcdef", 7, 9, "", ""},          {"abcdef", 4, 2, "def", ""},
    };
    for (const RangeRow& row : rangeRows) {
        SCOPED_TRACE(row.text + " " + std::to_string(row.from) + ".." + std::to_string(row.to));
        EXPECT_EQ(TailFrom(row.text, row.from), row.tail);
        EXPECT_EQ(SubRange(row.text, row.from, row.to), row.range);
    }
}

TEST(StringRules, ReplaceAll)
{
    struct Row {
        std::string text, oldText, newText, expected;
    };
    const std::vector<Row> rows = {
        {"/gallery/m/f/", "/", "\\", "\\gallery\\m\\f\\"},
        {"a//b", "/", "\\", "a\\\\b"},            // adjacent separators are both replaced
        {"\\gallery\\m\\", "\\", "/", "/gallery/m/"},
        {"abc", "x", "y", "abc"},
        {"aaa", "a", "aa", "aaaaaa"},              // the search resumes after each insertion
        {"abab", "ab", "", ""},
        {"", "/", "\\", ""},
        {"abc", "", "x", "abc"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(ReplaceAll(row.text, row.oldText, row.newText), row.expected);
    }
}

TEST(StringRules, CountFieldsAndNthField)
{
    EXPECT_EQ(CountFields("", "\\"), 0);
    EXPECT_EQ(CountFields("abc", "\\"), 1);
    EXPECT_EQ(CountFields("\\a\\b", "\\"), 3);
    EXPECT_EQ(CountFields("a\\\\", "\\"), 3);

    struct Row {
        std::string text;
        int n;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"\\a\\b", 0, ""},  {"\\a\\b", 1, ""},    {"\\a\\b", 2, "a"}, {"\\a\\b", 3, "b"},
        {"\\a\\b", 4, ""},  {"\\a\\b", -1, ""},   {"x", 1, "x"},      {"a\\\\c", 2, ""},
        {"a\\\\c", 3, "c"}, {"\\scans\\8\\", 4, ""}, {"", 1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text + " #" + std::to_string(row.n));
        EXPECT_EQ(NthField(row.text, "\\", row.n), row.expected);
    }
}

TEST(StringRules, TakeFirstLineCutsAtLineFeeds)
{
    struct Row {
        std::string page;
        std::vector<std::string> lines;  // every cut until the text is used up
    };
    const std::vector<Row> rows = {
        {"a\nb\nc", {"a", "b", "c"}},
        {"a\nb\n", {"a", "b"}},
        {"\n\nx", {"", "", "x"}},
        {"only", {"only"}},
        {"", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.page);
        std::string_view text = row.page;
        std::vector<std::string> cut;
        while (!text.empty())
            cut.push_back(TakeFirstLine(text));
        EXPECT_EQ(cut, row.lines);
        EXPECT_EQ(TakeFirstLine(text), "");  // once used up, every cut is empty
    }
}

TEST(StringRules, PageTextEndsAtCarriageReturnOrCtrlZ)
{
    EXPECT_EQ(PageText("<HTML>\nline\n</HTML>\n"), "<HTML>\nline\n</HTML>\n");
    EXPECT_EQ(PageText("<!DOCTYPE x>\r\n<HTML>"), "<!DOCTYPE x>");
    EXPECT_EQ(PageText("abc\x1A" "def"), "abc");
    EXPECT_EQ(PageText(std::string("a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(PageText(""), "");
}

TEST(StringRules, ServerNamesFitForTheDisk)
{
    struct Row {
        std::string name;
        bool safe;
    };
    const std::vector<Row> rows = {
        {"pic1.jpg", true}, {"77154", true},    {"a b.jpg", true},     {"..jpg", true},
        {"", false},        {".", false},       {"..", false},         {"a/b", false},
        {"a\\b", false},    {"a\tb", false},    {"a\x7F", false},      {std::string("a\0b", 3), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Printable(row.name));
        EXPECT_EQ(IsSafeName(row.name), row.safe);
    }
}

TEST(StringRules, ServerPathsStayBelowTheDestination)
{
    struct Row {
        std::string path;
        bool safe;
    };
    const std::vector<Row> rows = {
        {"/gallery/m/f/", true},
        {"", true},
        {"/gallery/m/f/cgi-bin/gallery.cgi?f=1&n=2", true},
        {"/gallery/..x/f/", true},
        {"/gallery/../../etc/", false},
        {"..", false},
        {"/a/..", false},
        {"\\gallery\\..\\x", false},
        {"/gallery/..\\..\\x", false},
        {"/gallery/m\x01/", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Printable(row.path));
        EXPECT_EQ(IsSafeServerPath(row.path), row.safe);
    }
}

TEST(StringRules, PrintableEscapesControlCharacters)
{
    EXPECT_EQ(Printable("pic.jpg"), "pic.jpg");
    EXPECT_EQ(Printable("a\x1B[2Jb"), "a\\x1B[2Jb");
    EXPECT_EQ(Printable(std::string("\0\x7F", 2)), "\\x00\\x7F");
}

}  // namespace
