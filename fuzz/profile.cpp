// Settings files: the reading of sections and keys from an INI file of any content, and a key
// written into it, which must read back as written and leave every other key as it was.
#include "harness.h"

#include "platform/profile.h"
#include "platform/text.h"

#include <fstream>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t MaxNames = 6;
constexpr const char* Blanks = " \t\v\f\r";

std::string Blanked(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(Blanks);
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(Blanks) - first + 1));
}

// The section and key names the file itself uses, and the ones the program stores.
void Names(const std::string& text, std::vector<std::string>& sections, std::vector<std::string>& keys)
{
    sections = {"Tessary"};
    keys = {"Dest"};
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        const std::string_view line = rest.substr(0, lf);
        rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
        const std::size_t open = line.find('[');
        const std::size_t close = line.find(']');
        const bool header = open != std::string_view::npos && close != std::string_view::npos && open < close;
        if (header && sections.size() < MaxNames)
            sections.emplace_back(line.substr(open + 1, close - open - 1));
        const std::size_t equals = line.find('=');
        if (equals != std::string_view::npos && keys.size() < MaxNames)
            keys.emplace_back(line.substr(0, equals));
    }
}

// A stored value as it reads back: without its blanks and one pair of enclosing quotes, cut.
std::string ReadsBackAs(const std::string& value)
{
    std::string text = Blanked(value);
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front())
        text = text.substr(1, text.size() - 2);
    return text.substr(0, 2047);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text = fuzz::Text(data, size);
    const std::string file = fuzz::ScratchFolder::Path() + "Tessary.ini";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;

    std::vector<std::string> sections, keys;
    Names(text, sections, keys);
    const std::string missing = "\x01missing";
    std::vector<std::string> before;
    for (const std::string& section : sections) {
        for (const std::string& key : keys) {
            before.push_back(platform::GetPrivateProfileString(section, key, missing, file));
            fuzz::Expect(before.back().size() <= 2047, "a value is cut to 2,047 characters");
            platform::GetPrivateProfileInt(section, key, 0, file);
        }
    }

    // The last section and key named, with the file's last line as the value.
    const std::string& section = sections.back();
    const std::string& key = keys.back();
    const std::string value = text.substr(text.find_last_of('\n') + 1);
    if (!platform::WritePrivateProfileString(section, key, value, file))
        return 0;  // names or a value that would break the line structure
    std::size_t i = 0;
    for (const std::string& s : sections) {
        for (const std::string& k : keys) {
            const std::string now = platform::GetPrivateProfileString(s, k, missing, file);
            if (SameText(Blanked(s), Blanked(section)) && SameText(Blanked(k), Blanked(key)))
                fuzz::Expect(now == ReadsBackAs(value), "a written key reads back as written");
            else
                fuzz::Expect(now == before[i], "writing a key leaves the others as they were");
            ++i;
        }
    }
    return 0;
}
