// The download archive: every file a job fetched or found present, by job kind and server path,
// in an SQLite database, so that a recorded file is not requested again even after it was
// deleted or moved. Several runs may share one archive at once (WAL journal, a busy timeout).
#pragma once

#include "platform/Exception.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// An archive that cannot be opened, is no archive or cannot be read or written: the message
// names the file and gives SQLite's reason.
class EArchiveError : public Exception {
public:
    using Exception::Exception;
};

class TArchive {
public:
    // The job kinds: pictures of the gallery jobs, files of the set download job.
    static constexpr const char* GalleryKind = "gallery";
    static constexpr const char* SetKind = "set";
    // PRAGMA user_version of the archives this version writes; a newer one is refused.
    static constexpr int SchemaVersion = 1;

    // Opens the archive at `path` ("\" separators read as "/"), or creates it where no file
    // or an empty one is. A file that is not an archive of this program (not a database, a
    // damaged one, another schema, a newer version) is refused with EArchiveError and left
    // exactly as it was.
    explicit TArchive(const std::string& path);
    ~TArchive();
    TArchive(const TArchive&) = delete;
    TArchive& operator=(const TArchive&) = delete;

    // Whether a file of that kind and server path is recorded.
    bool Contains(const std::string& kind, const std::string& serverPath);
    // The server paths of that kind recorded below `folder` (which ends in "/"), in one query,
    // sorted as their bytes compare.
    std::vector<std::string> RecordedBelow(const std::string& kind, const std::string& folder);
    // Records the file (replacing an earlier record of it) in a transaction of its own:
    // `size` in bytes, `time` in seconds since the epoch.
    void Record(const std::string& kind, const std::string& serverPath, const std::string& localPath, long long size,
                long long time);
    // Records every regular file below `folder`/gallery (GalleryKind) and `folder`/scans
    // (SetKind), with its size and modification time, in one transaction; the program's
    // temporary files are skipped. Returns the number of files recorded.
    int Import(const std::string& folder);

    // Every method above throws EArchiveError when the database fails it.

private:
    struct TCloser {
        void operator()(sqlite3* db) const;
        void operator()(sqlite3_stmt* statement) const;
    };
    using TStatement = std::unique_ptr<sqlite3_stmt, TCloser>;

    void Open();
    void CheckSchema();
    TStatement Prepare(const char* sql);
    void Execute(const char* sql);
    void Insert(const std::string& kind, const std::string& serverPath, const std::string& localPath, long long size,
                long long time);
    [[noreturn]] void Fail(int code);

    std::string path_;
    std::mutex mutex_;  // one statement at a time: the prepared ones are shared
    std::unique_ptr<sqlite3, TCloser> db_;
    TStatement lookup_;
    TStatement below_;
    TStatement insert_;
};

// The archive as a job uses it, by the local folder and name of a file: the records of the
// gallery or set group a folder lies in ("/gallery/tessa/", "/scans/08000/") are read once, at
// the first file of that group, in the order of their key, so that a walk costs one query and
// each file a binary search.
class TJobArchive {
public:
    // Opens the archive at `path` for files below `destination` (see TArchive).
    TJobArchive(const std::string& path, const std::string& destination);

    // Whether the file is recorded.
    bool Contains(const std::string& localFolder, const std::string& fileName);
    // Records a file fetched or found present, with its size on the disk now.
    void Record(const std::string& localFolder, const std::string& fileName);

private:
    // The key of a file: its server path.
    std::string KeyOf(const std::string& localFolder, const std::string& fileName);

    TArchive archive_;
    std::string destination_;
    std::string folder_;        // the local folder of the last key
    std::string serverFolder_;  // its server path, ending in "/"
    std::string top_;           // the gallery or set group whose records are read
    std::vector<std::string> recorded_;  // sorted
};

// The server path of a file, the key of its record: the sub-path of `localFolder` below
// `destination`, with "/" separators and a leading "/", followed by `fileName`
// ("/gallery/tessa/trips/pic1.jpg", "/scans/08000/8436/p01.jpg"). The folder is the
// destination text followed by the sub-path, as the walks build it; "\" separators and runs of
// separators count as one "/". A folder that does not lie below the destination is taken as the
// sub-path itself.
std::string ArchiveServerPath(const std::string& destination, const std::string& localFolder,
                              const std::string& fileName);
