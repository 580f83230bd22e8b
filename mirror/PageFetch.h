// Fetching one gallery page into a file, with retries.
#pragma once

#include <string>

class TJobState;

// Fetches `url` into `fileName`, up to five tries, until the page text shows a page or a
// script redirect. False (and the file deleted) when every try failed.
bool FetchPage(TJobState& job, const std::string& url, const std::string& fileName);
// FetchPage for a page that a walk meets, while the pictures on their way go on: one given up
// counts as a failed page of the job.
bool FetchPageOfWalk(TJobState& job, const std::string& url, const std::string& fileName);
