#include "platform/catalogue.h"

#include "platform/files.h"

#include <algorithm>
#include <clocale>
#include <filesystem>
#include <cstdlib>
#include <libintl.h>

namespace platform {

namespace {

std::string chosenLanguage;

// "ja_JP.UTF-8" → "ja"; "pt_BR" → "pt".
std::string LanguageOf(std::string_view locale)
{
    return std::string(locale.substr(0, locale.find_first_of("_.@")));
}

bool IsCLocale(std::string_view locale)
{
    return locale.empty() || locale == "C" || locale == "POSIX" || locale.starts_with("C.");
}

std::string Variable(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : value;
}

// The locale that governs messages, as the C library picks it.
std::string MessagesLocale()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string value = Variable(name);
        if (!value.empty())
            return value;
    }
    return {};
}

std::string CatalogueFolder()
{
    return ProgramFolder() + "../share/locale";
}

// The languages with a catalogue of this program in `folder`.
std::vector<std::string> LanguagesIn(const std::string& folder)
{
    std::vector<std::string> languages;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string language = entry.path().filename().string();
        if (FileExists(folder + "/" + language + "/LC_MESSAGES/" + CatalogueDomain + ".mo"))
            languages.push_back(language);
    }
    return languages;
}

}  // namespace

std::string ChooseLanguage(const std::string& language, const std::string& locale,
                           const std::vector<std::string>& available)
{
    // A C locale (what cron and service managers give) speaks English whatever LANGUAGE says,
    // as the C library ignores LANGUAGE there: the source texts mix English and Japanese.
    if (IsCLocale(locale))
        return "en";
    std::string_view wanted = language.empty() ? std::string_view(locale) : std::string_view(language);
    while (!wanted.empty()) {
        const size_t colon = wanted.find(':');
        const std::string entry = LanguageOf(wanted.substr(0, colon));
        if (entry == "ja")
            return {};
        for (const std::string& known : available)
            if (entry == known)
                return entry;
        wanted = colon == std::string_view::npos ? std::string_view() : wanted.substr(colon + 1);
    }
    return "en";
}

void UseUserLanguage()
{
    std::setlocale(LC_ALL, "");
    // Numbers in log lines and summaries read the same in every locale, for the scripts that read them.
    std::setlocale(LC_NUMERIC, "C");
    const std::string folder = CatalogueFolder();
    const std::vector<std::string> available = LanguagesIn(folder);
    const std::string language = ChooseLanguage(Variable("LANGUAGE"), MessagesLocale(), available);
    if (language.empty() || std::find(available.begin(), available.end(), language) == available.end())
        return;
    // The C library translates nothing in the plain C locale; when the user's own locale is
    // not installed, its C.UTF-8 twin still lets the chosen catalogue speak.
    if (std::string(std::setlocale(LC_MESSAGES, nullptr)) == "C")
        std::setlocale(LC_MESSAGES, "C.UTF-8");
    setenv("LANGUAGE", language.c_str(), 1);
    bindtextdomain(CatalogueDomain, folder.c_str());
    bind_textdomain_codeset(CatalogueDomain, "UTF-8");
    chosenLanguage = language;
}

const std::string& CatalogueLanguage()
{
    return chosenLanguage;
}

const char* Translate(const char* source)
{
    return chosenLanguage.empty() ? source : dgettext(CatalogueDomain, source);
}

const char* TranslatePlural(const char* one, const char* many, unsigned long n)
{
    if (chosenLanguage.empty())
        return n == 1 ? one : many;
    return dngettext(CatalogueDomain, one, many, n);
}

std::string Fill(std::string_view text, std::initializer_list<std::string_view> arguments)
{
    std::string filled;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t index = i + 1 < text.size() ? static_cast<size_t>(text[i + 1] - '1') : arguments.size();
        if (text[i] == '%' && index < arguments.size()) {
            filled += arguments.begin()[index];
            ++i;
        } else {
            filled += text[i];
        }
    }
    return filled;
}

}  // namespace platform
