#include "mirror/strutil.h"

#include "platform/catalogue.h"
#include "platform/Exception.h"
#include "platform/files.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

bool IsControl(char ch)
{
    const auto byte = static_cast<unsigned char>(ch);
    return byte < 0x20 || byte == 0x7F;
}

bool IsSeparator(char ch)
{
    return ch == '/' || ch == '\\';
}

}  // namespace

int Pos(const std::string& text, const std::string& sub)
{
    return PosFrom(text, sub, 1);
}

bool Contains(const std::string& text, const std::string& sub)
{
    return Pos(text, sub) > 0;
}

std::string KeepFirst(const std::string& text, int n)
{
    if (n <= 0)
        return {};
    return text.substr(0, static_cast<size_t>(n));
}

std::string DropFirst(const std::string& text, int n)
{
    if (n <= 0)
        return text;
    if (static_cast<size_t>(n) >= text.size())
        return {};
    return text.substr(static_cast<size_t>(n));
}

int PosFrom(const std::string& text, const std::string& sub, int start)
{
    if (sub.empty() || start < 1 || static_cast<size_t>(start) > text.size())
        return 0;
    const size_t found = text.find(sub, static_cast<size_t>(start) - 1);
    return found == std::string::npos ? 0 : static_cast<int>(found) + 1;
}

std::string TailFrom(const std::string& text, int from)
{
    if (from <= 0)
        return {};
    return DropFirst(text, from - 1);
}

std::string SubRange(const std::string& text, int from, int to)
{
    if (from <= 0 || to < from)
        return {};
    return KeepFirst(TailFrom(text, from), to - from + 1);
}

std::string ReplaceAll(const std::string& text, const std::string& oldText, const std::string& newText)
{
    std::string result;
    int start = 1;
    for (int found = PosFrom(text, oldText, start); found > 0; found = PosFrom(text, oldText, start)) {
        result += SubRange(text, start, found - 1) + newText;
        start = found + static_cast<int>(oldText.size());
    }
    return result + TailFrom(text, start);
}

int CountFields(const std::string& text, const std::string& separator)
{
    if (text.empty())
        return 0;
    int count = 1;
    for (int found = PosFrom(text, separator, 1); found > 0;
         found = PosFrom(text, separator, found + static_cast<int>(separator.size())))
        ++count;
    return count;
}

std::string NthField(const std::string& text, const std::string& separator, int n)
{
    if (n <= 0 || n > CountFields(text, separator))
        return {};
    int start = 1;
    for (int field = 1; field < n; ++field)
        start = PosFrom(text, separator, start) + static_cast<int>(separator.size());
    const int end = PosFrom(text, separator, start);
    return end > 0 ? SubRange(text, start, end - 1) : TailFrom(text, start);
}

std::string TakeFirstLine(std::string_view& pageText)
{
    const size_t lf = pageText.find('\n');
    std::string line(pageText.substr(0, lf));
    pageText.remove_prefix(lf == std::string_view::npos ? pageText.size() : lf + 1);
    return line;
}

std::string PageText(const std::string& fileBytes)
{
    return fileBytes.substr(0, fileBytes.find_first_of("\r\x1A"));
}

// Read in pieces and stopped at the first CR, so that memory holds the page text only once.
std::string ReadPageText(const std::string& fileName)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        std::fopen(platform::NativePath(fileName).c_str(), "rb"), std::fclose);
    if (!file)
        throw EInOutError(platform::Fill(_("ファイル %1 を開けません"), {fileName}));
    std::string text;
    char chunk[65536];
    while (text.size() < MaxPageBytes) {
        const size_t got = std::fread(chunk, 1, std::min(sizeof chunk, MaxPageBytes - text.size()), file.get());
        const std::string piece = PageText(std::string(chunk, got));
        text += piece;
        if (piece.size() < got || got == 0)
            break;
    }
    if (std::ferror(file.get()))
        throw EInOutError(platform::Fill(_("ファイル %1 を読み込めません"), {fileName}));
    return text;
}

bool IsSafeName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char ch : name)
        if (IsSeparator(ch) || IsControl(ch))
            return false;
    return true;
}

bool IsSafeServerPath(const std::string& path)
{
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && IsControl(path[i]))
            return false;
        if (i == path.size() || IsSeparator(path[i])) {
            if (path.compare(start, i - start, "..") == 0)
                return false;
            start = i + 1;
        }
    }
    return true;
}

std::string Printable(const std::string& text)
{
    std::string shown;
    for (char ch : text) {
        if (!IsControl(ch)) {
            shown += ch;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(ch));
        shown += escaped;
    }
    return shown;
}
