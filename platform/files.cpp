#include "platform/files.h"

#include "platform/catalogue.h"
#include "platform/Exception.h"
#include "platform/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <utility>

namespace platform {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool StatPath(const std::string& path, struct stat& info)
{
    return !path.empty() && ::stat(NativePath(path).c_str(), &info) == 0;
}

constexpr std::string_view NameLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t RandomLetters = 8;
constexpr int CreateTries = 100;

std::string RandomName()
{
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, NameLetters.size() - 1);
    std::string name = TempFilePrefix;
    for (size_t i = 0; i < RandomLetters; ++i)
        name += NameLetters[pick(random)];
    return name + TempFileSuffix;
}

// `folder` as a folder to put a name in: native, with one "/" at its end.
std::string FolderPrefix(const std::string& folder)
{
    std::string native = NativePath(folder);
    if (!native.empty() && native.back() != '/')
        native += '/';
    return native;
}

// Renames without replacing; where the file system cannot do that in one step, a hard link
// gives the same guarantee.
bool RenameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

// A leftover when it is a plain file of ours that no running job holds locked.
void RemoveIfLeftover(int folderFd, const char* name)
{
    const UniqueFd fd(::openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return;
    struct stat info {};
    if (::fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
        ::unlinkat(folderFd, name, 0);
}

}  // namespace

std::string NativePath(const std::string& path)
{
    std::string native = path;
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

bool DirectoryExists(const std::string& path)
{
    struct stat info {};
    return StatPath(path, info) && S_ISDIR(info.st_mode);
}

bool CreateDir(const std::string& path)
{
    return !path.empty() && ::mkdir(NativePath(path).c_str(), 0777) == 0;
}

bool FileExists(const std::string& path)
{
    struct stat info {};
    return StatPath(path, info) && !S_ISDIR(info.st_mode);
}

bool DeleteFile(const std::string& path)
{
    return !path.empty() && ::unlink(NativePath(path).c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to)
{
    if (from.empty() || to.empty())
        return false;
    return std::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

TempFile::TempFile(const std::string& path) : path_(NativePath(path)) {}

TempFile TempFile::Create(const std::string& folder)
{
    TempFile file;
    const std::string prefix = FolderPrefix(folder);
    for (int tries = 0; tries < CreateTries; ++tries) {
        const std::string path = prefix + RandomName();
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd) {
            ::flock(fd.Get(), LOCK_EX | LOCK_NB);
            file.path_ = path;
            file.lock_ = std::move(fd);
            return file;
        }
        if (errno != EEXIST)
            break;
    }
    file.error_ = errno;
    return file;
}

// A clean-up in another run may lock, unlink and release the file between our open and our
// lock: the lock then holds a file that has no name any more, so the file is opened again.
TempFile TempFile::Claim(const std::string& path)
{
    TempFile file;
    const std::string native = NativePath(path);
    for (int tries = 0; tries < CreateTries; ++tries) {
        // Made afresh in most cases: then it is known to be empty without a look at it.
        UniqueFd fd(::open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        file.existed_ = !fd && errno == EEXIST;
        if (file.existed_)
            fd = UniqueFd(::open(native.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        if (!fd || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            file.error_ = errno;
            return file;
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.Get(), &held) == 0 && held.st_nlink > 0 && ::stat(native.c_str(), &named) == 0 &&
            named.st_ino == held.st_ino && named.st_dev == held.st_dev) {
            file.path_ = native;
            file.lock_ = std::move(fd);
            return file;
        }
    }
    file.error_ = EWOULDBLOCK;
    return file;
}

TempFile::~TempFile()
{
    if (!path_.empty())
        ::unlink(path_.c_str());
}

// Closed first: a close that fails to write the last data leaves the present file as it was.
bool TempFile::Replace(const std::string& finalPath)
{
    if (!lock_.Close() || ::rename(path_.c_str(), NativePath(finalPath).c_str()) != 0) {
        error_ = errno;
        return false;
    }
    path_.clear();
    return true;
}

bool TempFile::Rewind()
{
    return ::ftruncate(lock_.Get(), 0) == 0 && ::lseek(lock_.Get(), 0, SEEK_SET) == 0;
}

bool TempFile::SeekEnd()
{
    return ::lseek(lock_.Get(), 0, SEEK_END) >= 0;
}

bool TempFile::SetModifiedTime(long long seconds)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    return ::futimens(lock_.Get(), times) == 0;
}

void TempFile::Keep()
{
    path_.clear();
    lock_.Reset();
}

TempFile::TempFile(TempFile&& other) noexcept
    : path_(std::exchange(other.path_, {})), lock_(std::move(other.lock_)), error_(other.error_),
      existed_(other.existed_)
{
}

TempFile& TempFile::operator=(TempFile&& other) noexcept
{
    std::swap(path_, other.path_);
    std::swap(lock_, other.lock_);
    std::swap(error_, other.error_);
    std::swap(existed_, other.existed_);
    return *this;
}

// Renamed while locked, so that another run never takes a claimed file for its own on its way
// to the final name, then closed: a close that fails to write the last data takes the final
// name away again, which the rename made this file's.
bool TempFile::Commit(const std::string& finalPath)
{
    const std::string native = NativePath(finalPath);
    if (!RenameNoReplace(path_, native)) {
        error_ = errno;
        return false;
    }
    path_.clear();
    if (!lock_.Close()) {
        error_ = errno;
        ::unlink(native.c_str());
        return false;
    }
    return true;
}

bool IsTempFileName(std::string_view name)
{
    const std::string_view prefix = TempFilePrefix;
    const std::string_view suffix = TempFileSuffix;
    return name.size() == prefix.size() + RandomLetters + suffix.size() && name.starts_with(prefix) &&
           name.ends_with(suffix) &&
           name.substr(prefix.size(), RandomLetters).find_first_not_of(NameLetters) == std::string_view::npos;
}

std::string PartialPath(const std::string& folder, const std::string& name)
{
    const std::string partial = PartialPrefix + name + TempFileSuffix;
    if (partial.size() + std::strlen(PartialNoteSuffix) > NAME_MAX)
        return {};
    return FolderPrefix(folder) + partial;
}

bool IsPartialName(std::string_view name)
{
    return name.starts_with(PartialPrefix) && (name.ends_with(TempFileSuffix) || name.ends_with(PartialNoteSuffix));
}

bool ReadPartialNote(const std::string& partialPath, PartialNote& note)
{
    try {
        const std::vector<std::string> lines = ReadTextLines(partialPath + PartialNoteSuffix);
        // Notes of earlier versions have no tag line.
        if (lines.size() < 3 || lines.size() > 4 || lines[0].empty() || lines[1].empty() ||
            lines[1].find_first_not_of("-0123456789") != std::string::npos || lines[1].size() > 19)
            return false;
        note = PartialNote{lines[0], std::stoll(lines[1]), lines[2], lines.size() > 3 ? lines[3] : ""};
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool WritePartialNote(const std::string& partialPath, const PartialNote& note)
{
    const std::string path = NativePath(partialPath) + PartialNoteSuffix;
    const std::string text =
        note.Url + "\n" + std::to_string(note.Total) + "\n" + note.LastModified + "\n" + note.ETag + "\n";
    const std::string writing = path + ".new";
    FilePtr file(std::fopen(writing.c_str(), "wb"));
    const bool written = file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
                         std::fclose(file.release()) == 0 && std::rename(writing.c_str(), path.c_str()) == 0;
    if (!written)
        ::unlink(writing.c_str());
    return written;
}

void RemovePartialNote(const std::string& partialPath)
{
    ::unlink((NativePath(partialPath) + PartialNoteSuffix).c_str());
}

UniqueFd OpenForWriting(const std::string& path, bool append)
{
    return UniqueFd(::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC) | O_CLOEXEC, 0644));
}

void RemoveEmptyFolder(const std::string& path)
{
    ::rmdir(NativePath(path).c_str());
}

bool WriteAll(int fd, const char* bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t n = ::write(fd, bytes, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

int WriteReplacing(const std::string& path, std::string_view bytes)
{
    const std::string native = NativePath(path);
    const std::size_t slash = native.rfind('/');
    TempFile file = TempFile::Create(slash == std::string::npos ? std::string(".") : native.substr(0, slash + 1));
    if (!file)
        return file.Error();
    if (!WriteAll(file.Descriptor(), bytes.data(), bytes.size()))
        return errno;
    return file.Replace(native) ? 0 : file.Error();
}

long long FileSizeOf(const std::string& path)
{
    struct stat info {};
    return StatPath(path, info) ? static_cast<long long>(info.st_size) : -1;
}

long long ModifiedTimeOf(const std::string& path)
{
    struct stat info {};
    return StatPath(path, info) ? static_cast<long long>(info.st_mtime) : -1;
}

bool SetModifiedTime(const std::string& path, long long seconds)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    return ::utimensat(AT_FDCWD, NativePath(path).c_str(), times, 0) == 0;
}

namespace {

// A partial file whose final file is there, or that nobody took up for a month.
bool IsStalePartial(int folderFd, std::string_view name)
{
    std::string finalName(name.substr(std::strlen(PartialPrefix)));
    finalName.resize(finalName.size() - std::strlen(TempFileSuffix));
    struct stat info {};
    if (::fstatat(folderFd, finalName.c_str(), &info, 0) == 0)
        return true;
    const std::string partial(name);
    if (::fstatat(folderFd, partial.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return ::time(nullptr) - info.st_mtime > static_cast<time_t>(PartialMaxAgeDays) * 24 * 60 * 60;
}

}  // namespace

void RemoveLeftovers(const std::string& folder)
{
    const std::string native = NativePath(folder);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(native.empty() ? "." : native.c_str()), ::closedir);
    if (!dir)
        return;
    const int folderFd = ::dirfd(dir.get());
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (IsTempFileName(name)) {
            RemoveIfLeftover(folderFd, entry->d_name);
        } else if (IsPartialName(name) && name.ends_with(TempFileSuffix) && IsStalePartial(folderFd, name)) {
            RemoveIfLeftover(folderFd, entry->d_name);
            if (::faccessat(folderFd, entry->d_name, F_OK, AT_SYMLINK_NOFOLLOW) != 0)
                ::unlinkat(folderFd, (std::string(name) + PartialNoteSuffix).c_str(), 0);
        } else if (IsPartialName(name) && name.ends_with(PartialNoteSuffix)) {
            const std::string_view partial = name.substr(0, name.size() - std::strlen(PartialNoteSuffix));
            if (::faccessat(folderFd, std::string(partial).c_str(), F_OK, AT_SYMLINK_NOFOLLOW) != 0)
                RemoveIfLeftover(folderFd, entry->d_name);
        }
    }
}

std::string ErrorText(int error)
{
    return std::strerror(error);
}

std::string ProgramFolder()
{
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size())
        return "./";  // unknown: fall back to the working folder
    buffer.resize(static_cast<size_t>(length));
    return buffer.substr(0, buffer.rfind('/') + 1);
}

std::string ReadFileBytes(const std::string& path, std::size_t limit)
{
    FilePtr file(path.empty() ? nullptr : std::fopen(NativePath(path).c_str(), "rb"));
    if (!file)
        throw EInOutError(Fill(_("ファイル %1 を開けません"), {path}));
    std::string bytes;
    char chunk[65536];
    while (bytes.size() < limit) {
        const size_t wanted = std::min(sizeof chunk, limit - bytes.size());
        const size_t got = std::fread(chunk, 1, wanted, file.get());
        bytes.append(chunk, got);
        if (got < wanted)
            break;
    }
    if (std::ferror(file.get()))
        throw EInOutError(Fill(_("ファイル %1 を読み込めません"), {path}));
    return bytes;
}

std::vector<std::string> ReadTextLines(const std::string& path)
{
    const std::string text = ReadFileBytes(path, static_cast<std::size_t>(-1));
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t lf = text.find('\n', start);
        if (lf == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        // CR LF: the CR belongs to the line end
        const size_t end = lf > start && text[lf - 1] == '\r' ? lf - 1 : lf;
        lines.push_back(text.substr(start, end - start));
        start = lf + 1;
    }
    return lines;
}

}  // namespace platform
