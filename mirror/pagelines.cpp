#include "mirror/pagelines.h"

#include "mirror/strutil.h"

std::string GalleryUrl(const std::string& siteTag, const std::string& pathFromRoot)
{
    return "http://www." + siteTag + ".com" + pathFromRoot;
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
