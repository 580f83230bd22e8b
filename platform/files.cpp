#include "platform/files.h"

#include "platform/Exception.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

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
        throw EInOutError("ファイル " + path + " を開けません");
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
        throw EInOutError("ファイル " + path + " を読み込めません");
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
