// Gallery pages as the walks read them: the page file's text, cut line by line, and on each
// line the cuts, searches, replacements and checks that the walks' steps make.
#include "harness.h"

#include "mirror/strutil.h"
#include "platform/Exception.h"

#include <algorithm>
#include <fstream>
#include <string_view>

namespace {

bool HasControl(const std::string& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// Every occurrence of `oldText` replaced, left to right, the plain way.
std::string Replaced(const std::string& text, const std::string& oldText, const std::string& newText)
{
    std::string result;
    std::size_t from = 0;
    for (std::size_t at = text.find(oldText); !oldText.empty() && at != std::string::npos;
         at = text.find(oldText, from)) {
        result.append(text, from, at - from).append(newText);
        from = at + oldText.size();
    }
    return result.append(text, from);
}

// `text` cut at position `n` (as Pos gives them) both ways must give the text back.
void Cut(const std::string& text, int n)
{
    fuzz::Expect(KeepFirst(text, n) + DropFirst(text, n) == text, "KeepFirst and DropFirst split a text");
}

// What follows `marker` on the line, `skip` characters on from its position, up to `end`: the
// walks' way of taking a field out of a line.
std::string Between(const std::string& line, const std::string& marker, int skip, const std::string& end)
{
    const int at = Pos(line, marker);
    const std::size_t found = line.find(marker);
    fuzz::Expect(at == (found == std::string::npos ? 0 : static_cast<int>(found) + 1),
                 "Pos is the 1-based position of the first occurrence");
    Cut(line, at + skip);
    const std::string after = DropFirst(line, at + skip);
    const int stop = Pos(after, end);
    Cut(after, stop - 1);
    return KeepFirst(after, stop - 1);
}

// A server path split into folder names, as the download step makes local folders.
void Folders(const std::string& subPath)
{
    const int fields = CountFields(subPath, "\\");
    std::string joined;
    for (int i = 1; i <= fields; ++i)
        joined += (i > 1 ? "\\" : "") + NthField(subPath, "\\", i);
    fuzz::Expect(joined == subPath, "the fields of a path join to the path");
    fuzz::Expect(NthField(subPath, "\\", 0).empty() && NthField(subPath, "\\", fields + 1).empty(),
                 "there is no field before the first or after the last");
}

void Checks(const std::string& name, const std::string& path)
{
    fuzz::Expect(!IsSafeName(name) || IsSafeServerPath(name), "a safe name is a safe path");
    fuzz::Expect(!IsSafeServerPath(path) || !HasControl(path), "a safe path has no control character");
    const std::string shown = Printable(name);
    fuzz::Expect(!HasControl(shown), "a printable text has no control character");
    fuzz::Expect((shown == name) == !HasControl(name), "only control characters are escaped");
}

void Line(const std::string& line)
{
    // The gallery walk: a sub-folder entry, its thumbnail, and a next page link.
    const std::string link = Between(line, "/cgi-bin/", 0, "\"><");
    std::string thumbnail = Between(line, "SRC=", 3, "><");
    thumbnail = KeepFirst(thumbnail, Pos(thumbnail, "/thumb/") - 1);
    const std::string subPath = ReplaceAll(thumbnail, "/", "\\");
    fuzz::Expect(subPath == Replaced(thumbnail, "/", "\\"), "ReplaceAll replaces every occurrence");
    Folders(subPath);
    Checks(DropFirst(link, Pos(link, "=")), thumbnail);
    Checks(Between(line, "&n", 2, "\""), Between(line, "<A HREF=\"", 9, "\">"));

    // The picture listing walk: a picture's name, a script redirect, the local sub-path.
    Checks(Between(line, "ALT=\"", 4, "\""), Between(line, "('", 1, "')"));
    const std::string local = ReplaceAll(line, "/", "\\");
    Cut(local, Pos(local, "cgi-bin") - 1);
    fuzz::Expect(ReplaceAll(local, "\\", "/") == Replaced(local, "\\", "/"),
                 "ReplaceAll replaces every occurrence");

    // Replacements of and by longer texts, taken from the line itself.
    const std::string piece = line.substr(0, 2);
    const std::string by = line.substr(line.size() / 2, 3);
    fuzz::Expect(ReplaceAll(line, piece, by) == Replaced(line, piece, by), "ReplaceAll replaces left to right");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes = fuzz::Text(data, size);
    const std::string file = fuzz::ScratchFolder::Path() + "page.html";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    std::string text;
    try {
        text = ReadPageText(file);
    } catch (const EInOutError&) {
        fuzz::Expect(false, "a page file that is there can be read");
    }
    fuzz::Expect(text == PageText(bytes), "the page text is the file's text up to its first CR or Ctrl-Z");

    std::string_view rest = text;
    std::string again;
    while (!rest.empty()) {
        const std::string line = TakeFirstLine(rest);
        fuzz::Expect(line.find('\n') == std::string::npos, "a line holds no line end");
        again += line + (again.size() + line.size() < text.size() ? "\n" : "");
        Line(line);
    }
    fuzz::Expect(again == text, "the lines make up the page text");
    return 0;
}
