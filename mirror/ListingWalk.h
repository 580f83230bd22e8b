// The picture listing walk: the listing pages of one picture folder, and a download step for
// every picture they show.
#pragma once

#include <string>

class TJobState;

// `path`: the folder's server path ("/gallery/member/folder/"), or a next listing page's.
void WalkPictureListing(TJobState& job, const std::string& path);
