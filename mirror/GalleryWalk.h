// The gallery walk: a folder page, its sub-folders and its "Next" pages, depth first; a folder
// that shows pictures goes to the picture listing walk.
#pragma once

#include "platform/files.h"

#include <string>

class TJobState;

// Walks the page saved as `folder` + `name` + ".html"; the file is deleted when the walk ends.
void WalkGalleryPage(TJobState& job, const std::string& folder, const std::string& name);
// Walks a page fetched into `page`; `id` is the page's folder ID or member name.
void WalkFetchedPage(TJobState& job, platform::TempFile page, const std::string& id);
