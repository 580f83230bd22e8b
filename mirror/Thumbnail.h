#pragma once
#include <string>
// Makes a JPEG thumbnail of the JPEG picture at `picture` that fits in box x box pixels (keeping its
// proportions; never enlarged) and stores it at `thumbnail`, written under a new name in the same
// folder and renamed into place, so a reader never sees half a thumbnail. The empty text on success,
// else why it could not (not a JPEG, damaged, cannot read or write) in a short English phrase.
std::string MakeThumbnail(const std::string& picture, const std::string& thumbnail, int box);
