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
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;

    explicit operator bool() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    int Error() const { return error_; }  // errno of a failed Create or Commit
    // Renames the file to `finalPath` unless a file of that name exists; false (see Error())
    // when it cannot. Afterwards the file is no longer this object's.
    bool Commit(const std::string& finalPath);

private:
    std::string path_;
    UniqueFd lock_;
    int error_ = 0;
};

inline const char* const TempFilePrefix = ".tessary-";
inline const char* const TempFileSuffix = ".part";

// True for a name that TempFile::Create could give.
bool IsTempFileName(std::string_view name);

// Deletes what killed runs left in `folder`: files named like a TempFile, owned by this
// user and not held by a running job. Nothing else is touched.
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
