// What the gallery walk and the listing walk read alike from a gallery page's lines.
#pragma once

#include "platform/catalogue.h"

#include <string>

// The log line of a walk that cancel ended.
inline std::string CancelLine()
{
    return _("Cancel button pressed, download stopped.");
}

// "http://www." + site tag + ".com" + the path from the server's root.
std::string GalleryUrl(const std::string& siteTag, const std::string& pathFromRoot);
// `value` fit for a URL's query: every byte other than a letter, a digit and "-._~" as "%XX",
// so that a blank, "&" or "#" in a member name stays part of the name.
std::string QueryValue(const std::string& value);
// The thumbnail's server path: what follows "SRC=" up to "><".
std::string ThumbnailPath(const std::string& line);
// The link of a "Next" line, without its leading "/"; `line` is shortened to what follows
// the link's opening quote and "/", as both walks go on reading it from there.
std::string CutNextLink(std::string& line);
