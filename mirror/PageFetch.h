// Fetching one gallery page into a file, with retries.
#pragma once

#include <string>
#include <vector>

class TJobState;

// Fetches `url` into `fileName`, up to five tries, until the page text shows a page or a
// script redirect. False (and the file deleted) when every try failed.
bool FetchPage(TJobState& job, const std::string& url, const std::string& fileName);
// FetchPage for a page that a walk meets, or the page fetched ahead of it: one given up counts
// as a failed page of the job.
bool FetchPageOfWalk(TJobState& job, const std::string& url, const std::string& fileName);

// A page fetched ahead of the walk, while the pictures before it download: its bytes, its lines
// and its outcome wait until the walk reaches it (FetchPageOfWalk takes it then).
struct TPageAhead {
    std::string Url;
    std::string Bytes{};
    bool Obtained = false;
    std::vector<std::string> Log{};
};
// Fetches `url` for the walk to take later, into the job's PageAhead. Nothing is kept when the
// destination takes no new file or an exception ended the fetch: the walk then fetches the page
// when it gets there, as it would have without fetching ahead.
void FetchPageAhead(TJobState& job, const std::string& url);
