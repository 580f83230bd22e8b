// The message catalogue: which language the locale settings choose, and the filling of texts.
#include "platform/catalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

TEST(Catalogue, LocaleSettingsChooseTheSourceTextsOrACatalogue)
{
    struct Row {
        const char* language;  // LANGUAGE
        const char* locale;    // LC_ALL, LC_MESSAGES or LANG
        const char* chosen;
    };
    const Row rows[] = {
        {"", "", ""},
        {"", "C", ""},
        {"", "POSIX", ""},
        {"", "C.UTF-8", ""},
        {"en", "C.UTF-8", ""},  // a C locale shows the source texts whatever LANGUAGE says
        {"", "ja_JP.UTF-8", ""},
        {"", "en_US.UTF-8", "en"},
        {"", "de_DE.UTF-8", "en"},  // no German catalogue: English
        {"ja:en", "de_DE.UTF-8", ""},
        {"de:en", "ja_JP.UTF-8", "en"},
        {"fr", "en_GB.UTF-8", "fr"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(platform::ChooseLanguage(row.language, row.locale, {"en", "fr"}), row.chosen)
            << row.language << " / " << row.locale;
}

TEST(Catalogue, FillPutsEachArgumentInItsPlace)
{
    EXPECT_EQ(platform::Fill("%2 of %1 bytes", {"10", "4"}), "4 of 10 bytes");
    EXPECT_EQ(platform::Fill("100% of %1, %3 stays", {"x"}), "100% of x, %3 stays");
    EXPECT_EQ(platform::Fill("ends in %", {"x"}), "ends in %");
}

// The English catalogue of the build tree replaces a caption and an error message; in a child
// process, as the chosen language holds for the whole program.
TEST(CatalogueDeathTest, EnglishLocaleFindsTheBuiltCatalogue)
{
    EXPECT_EXIT(
        {
            setenv("LANG", "en_US.UTF-8", 1);
            unsetenv("LC_ALL");
            unsetenv("LC_MESSAGES");
            unsetenv("LANGUAGE");
            platform::UseUserLanguage();
            const bool english = platform::CatalogueLanguage() == "en" &&
                                 std::strcmp(_("保存先フォルダ"), "Destination folder") == 0 &&
                                 platform::Fill(_("ファイル %1 を開けません"), {"a.txt"}) == "cannot open file a.txt";
            std::exit(english ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
