// File-system helpers. Callers build paths with "\" separators; every function here maps
// them to "/" before it touches the disk.
#pragma once

#include <cstddef>
#include <string>
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

// The folder of the running program, ending in "/".
std::string ProgramFolder();

// The file's lines without their line ends (LF or CR LF); a last line without a line end
// counts. Throws EInOutError when the file cannot be opened or read.
std::vector<std::string> ReadTextLines(const std::string& path);

// At most `limit` bytes from the start of the file. Throws EInOutError when the file cannot
// be opened or read.
std::string ReadFileBytes(const std::string& path, std::size_t limit);

}  // namespace platform
