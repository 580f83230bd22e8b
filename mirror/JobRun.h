// What one job run counts, from its start to its summary line.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

// Why the last job ended. A job that stops without doing its work says so here, for callers
// that report more than the log (the command line's exit status).
enum class TJobOutcome {
    Completed,          // the job ran to its end, cancelled or not
    FirstPageFailed,    // the first gallery page was not obtained
    SetNumberRejected,  // the set number failed its checks
    SetNotFound,        // the set's folder does not exist on the server
    FolderNotFound,     // the first page says the folder ID is unknown
    MemberNotFound,     // the first page shows no user directory
};

// What a job did with its files, for the summary at its end.
struct TJobTally {
    int Fetched = 0;
    int Present = 0;  // already on the disk: not fetched again
    int Archived = 0;  // recorded in the download archive: not fetched again
    int Failed = 0;
    int Aborted = 0;  // transfers the user aborted: no fault of the file
    std::vector<std::string> FirstFailures;  // the names of the first few failed files
    long long Bytes = 0;                     // of the files fetched
    int PagesFailed = 0;  // pages given up after their tries, unusable, or with no folder to hold them

    void CountFailure(const std::string& fileName);
    // A failed file that is about to be tried again counts once, by the outcome of that try.
    void Retrying(const std::string& fileName);
    // Adds the counts of another job; the names of its failed files are not kept.
    void Add(const TJobTally& other);
    // The end of a summary line: the files aborted and archived and the pages that failed, if
    // any, then the bytes and the time.
    std::string PagesAndBytesText(std::chrono::steady_clock::duration took) const;
};

class TJobRun {
public:
    TJobTally Tally;
    TJobOutcome Outcome = TJobOutcome::Completed;
    bool Cancelled = false;  // the job ended because cancel was pressed
    // Why the job could not do its work, in one line, for a job that stops without doing it.
    std::string Problem;
    // Why the last page fetch that gave up failed: its reply's status line or the transfer's fault.
    std::string LastPageFailure;
    // Folder IDs and pages walked, so that links that loop are walked once.
    std::set<std::string> WalkedPages;
    // Walks now running; the outermost one starts a fresh record of walked pages.
    int WalkNesting = 0;
    // Folders already made and cleared of leftovers, so that the files after the first one
    // cost no look at the folders.
    std::set<std::string> ReadyFolders;
    // With the album on: the files listed, by local folder, in the gallery's order.
    std::map<std::string, std::vector<std::string>> AlbumListed;

    // Clears every count and starts the job's clock.
    void Begin();
    // One line on what the job did: its counts, bytes and time, and `ending`, why it ended.
    std::string SummaryLine(const std::string& ending) const;
    // Why the job ended, as its summary says it.
    std::string EndingText() const;

private:
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

// A walk running for as long as this lives; the outermost one starts a fresh record of
// walked pages.
class TWalkScope {
public:
    explicit TWalkScope(TJobRun& run) : run_(run)
    {
        if (run_.WalkNesting++ == 0)
            run_.WalkedPages.clear();
    }
    ~TWalkScope() { --run_.WalkNesting; }
    TWalkScope(const TWalkScope&) = delete;
    TWalkScope& operator=(const TWalkScope&) = delete;

private:
    TJobRun& run_;
};
