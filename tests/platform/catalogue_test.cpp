// The message catalogue: which language the locale settings choose, and the filling of texts.
#include "platform/catalogue.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
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
        {"", "", "en"},
        {"", "C", "en"},
        {"", "POSIX", "en"},
        {"", "C.UTF-8", "en"},
        {"ja", "C.UTF-8", "en"},  // a C locale speaks English whatever LANGUAGE says
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

bool IsAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Every Japanese source text, in the code or in the window's design, has its English entry, so
// that no Japanese text is left in an English window or log.
TEST(Catalogue, EnglishCatalogueCoversEveryJapaneseText)
{
    namespace fs = std::filesystem;
    const fs::path source = TESSARY_SOURCE_DIR;
    const std::string catalogue = support::FileBytes(source / "po/en.po");
    std::set<std::string> translated;
    const std::regex entry("msgid \"((?:[^\"\\\\]|\\\\.)*)\"\nmsgstr \"(.+)\"");
    for (std::sregex_iterator it(catalogue.begin(), catalogue.end(), entry), end; it != end; ++it)
        translated.insert((*it)[1]);

    const std::regex marked("_\\(\"((?:[^\"\\\\]|\\\\.)*)\"\\)");
    const std::regex caption("<string>([^<]*)</string>");
    int texts = 0;
    for (const char* layer : {"app", "mirror", "sets", "net", "platform"})
        for (const auto& file : fs::directory_iterator(source / layer)) {
            const std::string text = support::FileBytes(file.path());
            const bool design = file.path().extension() == ".ui";
            for (std::sregex_iterator it(text.begin(), text.end(), design ? caption : marked), end; it != end; ++it) {
                std::string found = (*it)[1];
                for (size_t at; (at = found.find("&amp;")) != std::string::npos;)
                    found.replace(at, 5, "&");
                if (IsAscii(found))
                    continue;
                ++texts;
                EXPECT_TRUE(translated.count(found)) << file.path().filename() << ": " << found;
            }
        }
    EXPECT_GT(texts, 50);
}

}  // namespace
