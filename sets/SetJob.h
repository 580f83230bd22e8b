// The set download job: a set number names a folder under "/pub/brick/" on the instruction-set
// FTP host, and every file listed there is stored in the same folder under "\scans\" in the
// destination.
#pragma once

#include <memory>
#include <string>

class TJobState;
class TNMFTP;

class TSetJob {
public:
    explicit TSetJob(TJobState& job);
    ~TSetJob();
    TSetJob(const TSetJob&) = delete;
    TSetJob& operator=(const TSetJob&) = delete;

    // The job's own FTP client, as the window's stored design sets it.
    std::unique_ptr<TNMFTP> NMFTP1;
    // The job for the set number of the entry field.
    void Start();

private:
    // The job's body, run once the FTP client has logged in.
    void FetchSetFiles();
    // False (and the job's outcome set) when the set has no folder on the server.
    bool ChangeToSetFolder();
    // One listed file, over FTP while the connection lasts and over HTTP after it dropped.
    // `listedTime`: the time the listing gave the file (seconds since the epoch), -1 when none.
    // `listedTime` and `listedSize` as the listing gave them (-1: not given).
    void FetchFile(const std::string& name, long long listedTime, long long listedSize);
    // Like TJobState::EndJob, with the connection's good-bye before the summary, so that the
    // summary is the text the status line keeps.
    void End();

    TJobState& job_;
    // The set number Start checked; the body works from it, not from the field.
    std::string number_;
};
