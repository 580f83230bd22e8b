#include "mirror/pagelines.h"

#include "mirror/strutil.h"

std::string GalleryUrl(const std::string& siteTag, const std::string& pathFromRoot)
{
    return "http://www." + siteTag + ".com" + pathFromRoot;
}

std::string QueryValue(const std::string& value)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved)
            encoded += c;
        else {
            encoded += '%';
            encoded += Hex[byte >> 4];
            encoded += Hex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string ThumbnailPath(const std::string& line)
{
    const std::string source = DropFirst(line, Pos(line, "SRC=") + 3);
    return KeepFirst(source, Pos(source, "><") - 1);
}

std::string CutNextLink(std::string& line)
{
    line = DropFirst(line, Pos(line, "<A HREF=\"") + 9);
    return KeepFirst(line, Pos(line, "\">") - 1);
}
