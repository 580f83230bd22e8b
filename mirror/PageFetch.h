// Fetching one gallery page into a file, with retries.
#pragma once

#include "platform/files.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

class TJobState;

// Where the lines of a page's tries go.
using TPageLog = std::function<void(const std::string& line)>;

// Fetches `url` into `fileName`, up to five tries, until the page text shows a page or a
// script redirect. False (and the file deleted) when every try failed.
bool FetchPage(TJobState& job, const std::string& url, const std::string& fileName);
// FetchPage for a page that a walk meets: one given up counts as a failed page of the job.
bool FetchPageOfWalk(TJobState& job, const std::string& url, const std::string& fileName);

// A page fetched ahead of the walk, while the pictures before it download: its lines and its
// outcome wait until the walk reaches it.
struct TPageAhead {
    std::string Url;
    platform::TempFile File;
    bool Obtained = false;
    std::vector<std::string> Log{};
};
// Fetches `url` into a new file of `folder` for the walk to take later. Nothing when the folder
// takes no new file or an exception ended the fetch: the walk then fetches the page when it
// gets there, as it would have without fetching ahead.
std::optional<TPageAhead> FetchPageAhead(TJobState& job, const std::string& url, const std::string& folder);
// The walk reaches a page fetched ahead: its lines go to the log, and a page given up counts as
// one the walk gave up. Whether the page was obtained.
bool TakePageAhead(TJobState& job, const TPageAhead& ahead);
