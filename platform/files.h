// File-system helpers. Callers build paths with "\" separators; every function here maps
// them to "/" before it touches the disk.
#pragma once

#include "platform/UniqueFd.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// `path` with every "\" replaced by "/".
std::string NativePath(const std::string& path);

bool DirectoryExists(const std::string& path);

// Creates one folder level; false when it exists already or cannot be made.
bool CreateDir(const std::string& path);

// True for an existing file that is not a folder.
bool FileExists(const std::string& path);

bool DeleteFile(const std::string& path);

// Moves `from` to `to`, replacing a file that is already there.
bool RenameFile(const std::string& from, const std::string& to);

// A file of this program's own under a fresh name (TempFilePrefix, random letters,
// TempFileSuffix) in a given folder: created exclusively, so it can never be a file that was
// there before, and deleted when this object goes unless it has been given its final name.
// While it lives it holds a lock on the file, so that another run clearing leftovers in the
// same folder leaves it alone.
class TempFile {
public:
    TempFile() = default;
    // Takes charge of an existing file: it is deleted when this object goes.
    explicit TempFile(const std::string& path);
    // Creates the file in `folder`; on failure the result is empty and Error() says why.
    static TempFile Create(const std::string& folder);
    // Opens the file `path`, made when missing and kept as it is when there, and takes its
    // lock; empty with Error() EWOULDBLOCK when a running job holds it.
    static TempFile Claim(const std::string& path);
    // The claimed file was there before.
    bool Existed() const { return existed_; }
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;

    explicit operator bool() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    int Error() const { return error_; }  // errno of a failed Create or Commit
    // The file open for reading and writing, at the position the writes left it (its start when
    // opened). Its data is whole on the disk only once Commit or Replace has succeeded.
    int Descriptor() const { return lock_.Get(); }
    // Empties the file and writes from its start again; false (errno set) when it cannot.
    bool Rewind();
    // Writes after the data there; false (errno set) when it cannot.
    bool SeekEnd();
    bool SetModifiedTime(long long seconds);
    // Renames the file to `finalPath` unless a file of that name exists; false (see Error())
    // when it cannot. Afterwards the file is no longer this object's.
    bool Commit(const std::string& finalPath);
    // Renames the file to `finalPath`, replacing a file of that name in one step, so that the
    // name always holds one whole version; false (see Error()) when it cannot. Only for a file
    // made by Create, which no other run opens.
    bool Replace(const std::string& finalPath);
    // Leaves the file where it is, for a later attempt; afterwards it is no longer this object's.
    void Keep();

private:
    std::string path_;
    UniqueFd lock_;
    int error_ = 0;
    bool existed_ = false;
};

inline const char* const TempFilePrefix = ".tessary-";
inline const char* const TempFileSuffix = ".part";

// True for a name that TempFile::Create could give.
bool IsTempFileName(std::string_view name);

// The data of a file whose transfer was interrupted, kept beside the final name under a name
// of its own, and a note beside it of where the data came from, so that the next attempt for
// the same final name can ask only for the rest.
struct PartialNote {
    std::string Url;
    long long Total = -1;       // the whole file's length; -1: not known
    std::string LastModified;   // the server's date of that version; empty: none given
    std::string ETag;           // the server's tag of that version; empty: none given
};
inline const char* const PartialPrefix = ".tessary-resume-";
inline const char* const PartialNoteSuffix = ".note";
// Partial files are removed when they are older than this, unless a job holds them.
inline constexpr int PartialMaxAgeDays = 30;

// The partial file of `name` in `folder`; empty when the name is too long to give one.
std::string PartialPath(const std::string& folder, const std::string& name);
// True for the name of a partial file or of its note.
bool IsPartialName(std::string_view name);
// The note of the partial file at `partialPath`; none when it is missing or unreadable.
bool ReadPartialNote(const std::string& partialPath, PartialNote& note);
// Writes the note whole or not at all (a kill leaves the old one or the new one).
bool WritePartialNote(const std::string& partialPath, const PartialNote& note);
void RemovePartialNote(const std::string& partialPath);
// Opens `path` for writing, made when missing: emptied, or written after its data with `append`.
UniqueFd OpenForWriting(const std::string& path, bool append);
// Removes the folder when it is empty; a folder that holds anything stays as it is.
void RemoveEmptyFolder(const std::string& path);
// Writes every byte, through interruptions and short writes; false when it cannot.
bool WriteAll(int fd, const char* bytes, std::size_t count);
// Makes `bytes` the whole contents of the file `path`: written under a new name beside it and
// renamed into place, so that a reader never sees half of them. 0, or the errno of what failed.
int WriteReplacing(const std::string& path, std::string_view bytes);
// The size of a file, -1 when it cannot be read.
long long FileSizeOf(const std::string& path);
// A file's modification time in seconds since the epoch, -1 when it cannot be read.
long long ModifiedTimeOf(const std::string& path);
bool SetModifiedTime(const std::string& path, long long seconds);

// Deletes what killed runs left in `folder`: files named like a TempFile, partial files older
// than PartialMaxAgeDays or whose final file exists, with their notes, and notes whose partial
// file is gone; only files owned by this user and not held by a running job. Nothing else is
// touched.
void RemoveLeftovers(const std::string& folder);

// The system's text for an errno value.
std::string ErrorText(int error);

// The folder of the running program, ending in "/".
std::string ProgramFolder();

// The file's lines without their line ends (LF or CR LF); a last line without a line end
// counts. Throws EInOutError when the file cannot be opened or read.
std::vector<std::string> ReadTextLines(const std::string& path);

// At most `limit` bytes from the start of the file. Throws EInOutError when the file cannot
// be opened or read.
std::string ReadFileBytes(const std::string& path, std::size_t limit);

}  // namespace platform
