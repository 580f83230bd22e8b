#include "platform/userdirs.h"

#include "platform/files.h"
#include "support/TempFolder.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace {

using support::TempFolder;
using support::WriteFile;

// Sets or removes an environment variable for the length of a scope.
class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, const std::optional<std::string>& value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        Set(value);
    }
    ~EnvironmentVariable() { Set(old_); }
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

private:
    void Set(const std::optional<std::string>& value)
    {
        if (value)
            ::setenv(name_, value->c_str(), 1);
        else
            ::unsetenv(name_);
    }

    const char* name_;
    std::optional<std::string> old_;
};

// An installed copy's folders, from the environment and the user-dirs file. "HOME" in a value
// stands for a scratch home folder, whose ".config" and "cfg" may hold the user-dirs file.
TEST(UserDirsTest, ConfigAndPicturesFoldersFollowTheXdgRules)
{
    const struct {
        const char* name;
        std::optional<std::string> configHome;
        std::string userDirsLine;
        std::string expectedConfig, expectedPictures;
    } cases[] = {
        {"defaults", std::nullopt, "", "HOME/.config", "HOME/Pictures/"},
        {"config home set", "HOME/cfg", "", "HOME/cfg", "HOME/Pictures/"},
        {"relative config home ignored", "cfg", "", "HOME/.config", "HOME/Pictures/"},
        {"empty config home ignored", "", "", "HOME/.config", "HOME/Pictures/"},
        {"pictures below home", std::nullopt, "XDG_PICTURES_DIR=\"$HOME/Bilder\"", "HOME/.config", "HOME/Bilder/"},
        {"pictures from the set config home", "HOME/cfg", "XDG_PICTURES_DIR=\"$HOME/Fotos/\"", "HOME/cfg",
         "HOME/Fotos/"},
        {"absolute pictures folder", std::nullopt, "XDG_PICTURES_DIR=\"/srv/pics\"", "HOME/.config", "/srv/pics/"},
        {"escaped character", std::nullopt, "XDG_PICTURES_DIR=\"$HOME/My \\\"Pics\\\"\"", "HOME/.config",
         "HOME/My \"Pics\"/"},
        {"unquoted value ignored", std::nullopt, "XDG_PICTURES_DIR=$HOME/Bilder", "HOME/.config", "HOME/Pictures/"},
        {"relative value ignored", std::nullopt, "XDG_PICTURES_DIR=\"Bilder\"", "HOME/.config", "HOME/Pictures/"},
        {"other folders only", std::nullopt, "XDG_MUSIC_DIR=\"$HOME/Musik\"", "HOME/.config", "HOME/Pictures/"},
    };
    for (const auto& c : cases) {
        TempFolder home;
        const auto inHome = [&](std::string text) {
            if (text.rfind("HOME", 0) == 0)
                text.replace(0, 4, home.Path().string());
            return text;
        };
        const EnvironmentVariable homeVariable("HOME", home.Path().string());
        const EnvironmentVariable configVariable("XDG_CONFIG_HOME",
                                                 c.configHome ? std::optional(inHome(*c.configHome)) : std::nullopt);
        const std::string config = inHome(c.expectedConfig);
        if (!c.userDirsLine.empty()) {
            ASSERT_TRUE(platform::MakeFolders(config)) << c.name;
            WriteFile(config + "/user-dirs.dirs", "# written by a test\n" + c.userDirsLine + "\n");
        }
        EXPECT_EQ(platform::ConfigHome(), config) << c.name;
        EXPECT_EQ(platform::PicturesFolder(), inHome(c.expectedPictures)) << c.name;
    }
}

// System folders hold installed copies whoever runs them, root too; a copy in a folder of the
// user's own, as the build tree is, keeps everything beside itself.
TEST(UserDirsTest, InstalledCopiesAreThoseInSystemFolders)
{
    TempFolder own;
    std::filesystem::create_directories(own.Path() / "usr/bin");
    for (const char* folder : {"/usr/bin/", "/usr/local/bin/", "/bin/", "/opt/tessary/bin/"})
        EXPECT_TRUE(platform::InstalledIn(folder)) << folder;
    for (const std::string& folder : {own.Text(), own.Text() + "usr/bin/"})
        EXPECT_FALSE(platform::InstalledIn(folder)) << folder;
    ASSERT_FALSE(platform::InstalledIn(platform::ProgramFolder()));
    EXPECT_EQ(platform::SettingsFile(), platform::ProgramFolder() + "Tessary.ini");
    EXPECT_EQ(platform::DefaultDestination(), platform::ProgramFolder());
}

// Only the default destination inside the pictures folder makes that folder, when a job uses it.
TEST(UserDirsTest, PicturesFolderIsMadeOnlyForTheDefaultDestination)
{
    TempFolder home;
    const EnvironmentVariable homeVariable("HOME", home.Path().string());
    const EnvironmentVariable configVariable("XDG_CONFIG_HOME", std::nullopt);
    const std::string pictures = home.Text() + "Pictures/";
    platform::PrepareDestination(home.Text() + "elsewhere/");
    platform::PrepareDestination(pictures);
    EXPECT_FALSE(platform::DirectoryExists(pictures));
    platform::PrepareDestination(pictures + "Tessary/");
    EXPECT_TRUE(platform::DirectoryExists(pictures));
    EXPECT_FALSE(platform::DirectoryExists(pictures + "Tessary/")) << "the job makes its own folder";
}

TEST(UserDirsTest, MakeFoldersMakesEveryMissingLevel)
{
    TempFolder temp;
    const std::string base = temp.Path().string();
    EXPECT_TRUE(platform::MakeFolders(base + "/a/b/c"));
    EXPECT_TRUE(platform::DirectoryExists(base + "/a/b/c"));
    EXPECT_TRUE(platform::MakeFolders(base + "/a/b/")) << "exists already";
    WriteFile(base + "/file", "x");
    EXPECT_FALSE(platform::MakeFolders(base + "/file/d"));
    EXPECT_FALSE(platform::MakeFolders(base + "/file"));
}

}  // namespace
