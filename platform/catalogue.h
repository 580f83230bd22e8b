// The message catalogue: every text a person reads goes through Translate. The texts in the
// code are the source texts; they are shown as written in Japanese locales, and an installed
// catalogue replaces them in every other locale: English in the C and POSIX locales and
// wherever no catalogue of the user's own language is there.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr const char* CatalogueDomain = "tessary";

// The language whose catalogue the locale settings (LANGUAGE, LC_ALL, LC_MESSAGES, LANG) ask
// for, given the languages that have a catalogue; empty for the source texts.
std::string ChooseLanguage(const std::string& language, const std::string& locale,
                           const std::vector<std::string>& available);

// Sets the program's locale from the environment and chooses its catalogue, found in the
// program folder's "../share/locale". Until it is called (and in tests) texts stay as written.
void UseUserLanguage();
// The language UseUserLanguage chose, or empty for the source texts.
const std::string& CatalogueLanguage();

// The catalogue's text for `source`, or `source` itself.
const char* Translate(const char* source);
// The catalogue's text for a count of `n`: `one` and `many` are the source texts.
const char* TranslatePlural(const char* one, const char* many, unsigned long n);

// `text` with %1, %2, ... replaced by the arguments, so that a catalogue can put them where its
// language wants them.
std::string Fill(std::string_view text, std::initializer_list<std::string_view> arguments);

}  // namespace platform

// Marks a source text for the catalogue, as the usual tools for catalogues expect.
#define _(text) ::platform::Translate(text)
