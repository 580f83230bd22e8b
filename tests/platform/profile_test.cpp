#include "platform/profile.h"

#include "platform/files.h"
#include "support/TempFolder.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <filesystem>
#include <iterator>
#include <string>

namespace {

using platform::GetPrivateProfileInt;
using platform::GetPrivateProfileString;
using platform::WritePrivateProfileString;

class ProfileTest : public ::testing::Test {
protected:
    std::string Folder() const { return temp_.Path().string(); }
    std::string Ini() const { return Folder() + "/t.ini"; }

    void Store(const std::string& bytes) const { support::WriteFile(Ini(), bytes); }
    std::string Contents() const { return support::FileBytes(Ini()); }

    size_t EntriesInFolder() const
    {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(temp_.Path()), {}));
    }

    support::TempFolder temp_;
};

TEST_F(ProfileTest, ReadsValuesAsTheSystemFunctionDoes)
{
    Store("; settings\r\n"
          "top=outside any section\r\n"
          "[TForm1]\r\n"
          "Edit1_Text=  /pictures/tessa/  \r\n"
          "  Spaced Key   =   v  \r\n"
          "Double=\"quoted\"\r\n"
          "Single='quoted'\r\n"
          "Mixed=\"quoted'\r\n"
          "OneQuote=\"\r\n"
          "Inner=a \"b\" c\r\n"
          "Equals=a=b\r\n"
          "Empty=\r\n"
          "Twice=first\r\n"
          "Twice=second\r\n"
          "NoEquals\r\n"
          "[Other]\n"
          "Edit1_Text=other section, LF line end\n"
          "[tform1]\r\n"
          "Late=second section of the same name\r\n");
    const struct {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        {"TForm1", "Edit1_Text", "/pictures/tessa/"},
        {"tform1", "EDIT1_TEXT", "/pictures/tessa/"},
        {" TForm1 ", " Edit1_Text ", "/pictures/tessa/"},
        {"TForm1", "Spaced Key", "v"},
        {"TForm1", "Double", "quoted"},
        {"TForm1", "Single", "quoted"},
        {"TForm1", "Mixed", "\"quoted'"},
        {"TForm1", "OneQuote", "\""},
        {"TForm1", "Inner", "a \"b\" c"},
        {"TForm1", "Equals", "a=b"},
        {"TForm1", "Empty", ""},
        {"TForm1", "Twice", "first"},
        {"TForm1", "NoEquals", "dflt"},
        {"TForm1", "Missing", "dflt"},
        {"TForm1", "top", "dflt"},
        {"TForm1", "Late", "dflt"},
        {"Other", "Edit1_Text", "other section, LF line end"},
        {"Nowhere", "Edit1_Text", "dflt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "dflt", Ini()), c.expected)
            << c.section << "/" << c.key;
}

TEST_F(ProfileTest, MissingFileGivesTheDefaultWithoutTrailingBlanks)
{
    EXPECT_EQ(GetPrivateProfileString("TForm1", "Edit1_Text", "value", Ini()), "value");
    EXPECT_EQ(GetPrivateProfileString("TForm1", "Edit1_Text", " value  ", Ini()), " value");
    EXPECT_EQ(GetPrivateProfileString("TForm1", "Edit1_Text", "x", Folder()), "x") << "a folder";
    EXPECT_EQ(GetPrivateProfileInt("TForm1", "FormVersion", 7, Ini()), 7);
}

TEST_F(ProfileTest, LongValuesAreCutTo2047Characters)
{
    const std::string value(3000, 'v');
    Store("[S]\r\nk=" + value + "\r\nq=\"" + value + "\"\r\n");
    EXPECT_EQ(GetPrivateProfileString("S", "k", "", Ini()), value.substr(0, 2047));
    EXPECT_EQ(GetPrivateProfileString("S", "q", "", Ini()), value.substr(0, 2047));
    EXPECT_EQ(GetPrivateProfileString("S", "none", value, Ini()), value.substr(0, 2047));
}

TEST_F(ProfileTest, ReadsIntegersFromLeadingDigits)
{
    Store("[S]\r\n"
          "dec=42\r\nneg=-17\r\nplus=+5\r\nhex=0x1F\r\nupper=0XfF\r\n"
          "trail=12abc\r\nword=abc\r\nquoted=\"8\"\r\nempty=\r\nbarehex=0x\r\n"
          "wrap=4294967297\r\nnegwrap=-4294967297\r\nspaced=  33  \r\n");
    const struct {
        const char* key;
        int expected;
    } cases[] = {
        {"dec", 42}, {"neg", -17}, {"plus", 5}, {"hex", 31}, {"upper", 255},
        {"trail", 12}, {"word", 0}, {"quoted", 8}, {"empty", 99}, {"barehex", 0},
        {"wrap", 1}, {"negwrap", -1}, {"spaced", 33}, {"missing", 99},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetPrivateProfileInt("S", c.key, 99, Ini()), c.expected) << c.key;
}

// Lines the reader cannot make sense of stay as they are, and so do the other sections.
TEST_F(ProfileTest, BatchWriteEditsADamagedFileOnce)
{
    const char raw[] = "junk\0\x01 line\r\n[Other]\nx=1\n[TForm1\r\n=novalue\r\n[TForm1]\r\nFlags=7";
    const std::string damaged(raw, sizeof raw - 1);
    Store(damaged);
    const platform::ProfileEntries entries = {{"FormVersion", "0"}, {"Flags", "0"}, {"Visible", "0"}};
    ASSERT_TRUE(platform::WritePrivateProfileStrings("TForm1", entries, Ini()));
    EXPECT_EQ(Contents(), damaged.substr(0, damaged.size() - 1) + "0\r\nFormVersion=0\r\nVisible=0\r\n");
    EXPECT_EQ(GetPrivateProfileString("Other", "x", "", Ini()), "1");
    EXPECT_FALSE(platform::WritePrivateProfileStrings("TForm1", {{"a", "1"}, {"b", "line\nbreak"}}, Ini()));
    EXPECT_EQ(GetPrivateProfileString("TForm1", "a", "none", Ini()), "none") << "nothing of a refused batch";
}

TEST_F(ProfileTest, WriteCreatesFileAndSectionWithCrLf)
{
    EXPECT_TRUE(WritePrivateProfileString("TForm1", "FormVersion", "0", Ini()));
    EXPECT_EQ(Contents(), "[TForm1]\r\nFormVersion=0\r\n");
    EXPECT_TRUE(WritePrivateProfileString("TForm1", "Flags", "0", Ini()));
    EXPECT_TRUE(WritePrivateProfileString("Second", "Key", "v", Ini()));
    EXPECT_EQ(Contents(), "[TForm1]\r\nFormVersion=0\r\nFlags=0\r\n[Second]\r\nKey=v\r\n");
    EXPECT_EQ(EntriesInFolder(), 1u) << "no temporary file left behind";
}

TEST_F(ProfileTest, WriteEditsOnlyWhatItMust)
{
    const struct {
        const char* what;
        std::string before;
        const char* section;
        const char* key;
        const char* value;
        std::string after;
    } cases[] = {
        {"replace in place", "; c\n[A]\nx = old  \nY=1\n\n[B]\nx=2\n", "a", "X", "new",
         "; c\n[A]\nx = new\nY=1\n\n[B]\nx=2\n"},
        {"replace with empty", "[A]\r\nx=old\r\n", "A", "x", "", "[A]\r\nx=\r\n"},
        {"append at section end, before blank lines", "[A]\nx=1\n\n[B]\ny=2\n", "A", "z", "3",
         "[A]\nx=1\nz=3\r\n\n[B]\ny=2\n"},
        {"append to empty section", "[A]\r\n[B]\r\n", "A", "k", "v", "[A]\r\nk=v\r\n[B]\r\n"},
        {"last line without line end", "[A]\r\nx=1", "A", "y", "2", "[A]\r\nx=1\r\ny=2\r\n"},
        {"new section after unterminated line", "[A]\nx=1", "B", "y", "2",
         "[A]\nx=1\r\n[B]\r\ny=2\r\n"},
        {"replace unterminated last line", "[A]\nx=1", "A", "x", "9", "[A]\nx=9"},
        {"first of duplicate keys", "[A]\nk=1\nk=2\n", "A", "k", "3", "[A]\nk=3\nk=2\n"},
        {"names trimmed", "", " A ", " k ", " v ", "[A]\r\nk= v \r\n"},
    };
    for (const auto& c : cases) {
        Store(c.before);
        EXPECT_TRUE(WritePrivateProfileString(c.section, c.key, c.value, Ini())) << c.what;
        EXPECT_EQ(Contents(), c.after) << c.what;
    }
}

TEST_F(ProfileTest, WrittenValuesReadBack)
{
    const std::string member = "\"\"tessa\"\"";  // the settings store doubles the quotes
    ASSERT_TRUE(WritePrivateProfileString("TForm1", "Edit5_Text", member, Ini()));
    ASSERT_TRUE(WritePrivateProfileString("TForm1", "SpinEdit1_Value", "4", Ini()));
    ASSERT_TRUE(WritePrivateProfileString("TForm1", "Edit5_Text", member, Ini()));
    EXPECT_EQ(GetPrivateProfileString("TForm1", "Edit5_Text", "", Ini()), "\"tessa\"");
    EXPECT_EQ(GetPrivateProfileInt("TForm1", "SpinEdit1_Value", 1, Ini()), 4);
}

TEST_F(ProfileTest, BackslashPathsReachTheSameFile)
{
    const std::string windowsStyle = Folder() + "\\t.ini";
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", windowsStyle));
    EXPECT_EQ(Contents(), "[S]\r\nk=v\r\n");
    EXPECT_EQ(GetPrivateProfileString("S", "k", "", windowsStyle), "v");
    EXPECT_EQ(GetPrivateProfileInt("S", "n", 5, windowsStyle), 5);
}

TEST_F(ProfileTest, RefusesWhatWouldBreakTheFile)
{
    Store("[S]\r\nk=v\r\n");
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {
        {"S", "k", "line\r\nbreak"}, {"S", "k", "lf\nonly"}, {"S", "a\nb", "v"},
        {"S\r\n[T]", "k", "v"}, {"S", "", "v"}, {"S", "a=b", "v"}, {"S", "[k]", "v"},
        {"S]x", "k", "v"},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(WritePrivateProfileString(c.section, c.key, c.value, Ini())) << c.key;
    EXPECT_EQ(Contents(), "[S]\r\nk=v\r\n");
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", ""));
}

TEST_F(ProfileTest, FailedWriteReturnsFalseAndKeepsOldFile)
{
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", Folder() + "/missing/t.ini"));
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", Folder())) << "a folder";

    // A file size limit makes the new contents fail to write, whoever runs the test.
    const std::string old = "[S]\r\nk=" + std::string(4000, 'o') + "\r\n";
    Store(old);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = WritePrivateProfileString("S", "k2", "v", Ini());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(Contents(), old);
    EXPECT_EQ(EntriesInFolder(), 1u) << "the unfinished file is removed";

    // A read-only file is kept, although its folder takes new files and root could write it.
    ASSERT_EQ(::chmod(Ini().c_str(), 0444), 0);
    EXPECT_FALSE(WritePrivateProfileString("S", "k2", "v", Ini()));
    EXPECT_EQ(Contents(), old);
    EXPECT_EQ(EntriesInFolder(), 1u);
}

// Runs `write` in a child that is not root, which read-only modes would not stop; the exit
// status says whether it returned true. -1 when the child could not be run.
int WriteAsUnprivileged(const std::function<bool()>& write)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        ::_exit(write() ? 0 : 1);
    }
    if (pid < 0)
        return -1;
    int status = 0;
    for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; ++waited) {
        if (waited == 1000) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return -1;
        }
        ::usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A folder that takes no new file: a writable file is written in place, all keys at once, and
// only a file that is not writable either fails.
TEST_F(ProfileTest, FolderThatRefusesNewFiles)
{
    Store("[Other]\r\nkeep=1\r\n[S]\r\nk=v\r\n");
    ASSERT_EQ(::chmod(Ini().c_str(), 0666), 0);
    ASSERT_EQ(::chmod(temp_.Path().c_str(), 0555), 0);
    const platform::ProfileEntries entries = {{"k", "new"}, {"added", "2"}};
    EXPECT_EQ(WriteAsUnprivileged([&] { return platform::WritePrivateProfileStrings("S", entries, Ini()); }), 0);
    EXPECT_EQ(Contents(), "[Other]\r\nkeep=1\r\n[S]\r\nk=new\r\nadded=2\r\n");
    EXPECT_EQ(EntriesInFolder(), 1u);

    ASSERT_EQ(::chmod(Ini().c_str(), 0444), 0);
    EXPECT_EQ(WriteAsUnprivileged([&] { return WritePrivateProfileString("S", "k", "newer", Ini()); }), 1);
    EXPECT_EQ(Contents(), "[Other]\r\nkeep=1\r\n[S]\r\nk=new\r\nadded=2\r\n");
}

TEST_F(ProfileTest, ReplacingKeepsPermissionsAndLinks)
{
    Store("[S]\r\nk=v\r\n");
    ASSERT_EQ(::chmod(Ini().c_str(), 0640), 0);
    const std::string link = Folder() + "/link.ini";
    ASSERT_EQ(::symlink(Ini().c_str(), link.c_str()), 0);
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "w", link));
    EXPECT_EQ(Contents(), "[S]\r\nk=w\r\n");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    struct stat info {};
    ASSERT_EQ(::stat(Ini().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

}  // namespace
