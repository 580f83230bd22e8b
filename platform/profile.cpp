#include "platform/profile.h"

#include "platform/Exception.h"
#include "platform/UniqueFd.h"
#include "platform/files.h"
#include "platform/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace platform {

namespace {

constexpr std::size_t kMaxValueLength = 2047;
constexpr std::size_t kWholeFile = static_cast<std::size_t>(-1);
constexpr const char* kBlanks = " \t\v\f\r";

// One line of the file: content [begin, end), line end [end, next).
struct Line {
    std::size_t begin, end, next;
};

enum class Kind { Other, Header, Key };

// What a line says. For a key line, [valueBegin, valueEnd) is the value without its blanks
// and contentEnd the end of the line's content; all are offsets into the file text.
struct Parsed {
    Kind kind = Kind::Other;
    bool blank = true;
    std::string name;
    std::size_t valueBegin = 0, valueEnd = 0, contentEnd = 0;
};

// Where a key is, or where it would go.
struct Location {
    bool sectionFound = false;
    bool keyFound = false;
    std::size_t insertAt = 0;  // just after the section's last non-blank line
    bool needsBreak = false;   // that line has no line end of its own
    Parsed key;
};

std::string Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
}

std::vector<Line> SplitLines(const std::string& text)
{
    std::vector<Line> lines;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t lf = text.find('\n', begin);
        const std::size_t next = lf == std::string::npos ? text.size() : lf + 1;
        std::size_t end = lf == std::string::npos ? text.size() : lf;
        if (lf != std::string::npos && end > begin && text[end - 1] == '\r')
            --end;
        lines.push_back({begin, end, next});
        begin = next;
    }
    return lines;
}

Parsed ParseLine(const std::string& text, const Line& line)
{
    const std::string_view content(text.data() + line.begin, line.end - line.begin);
    Parsed parsed;
    const std::size_t first = content.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return parsed;
    parsed.blank = false;
    const std::size_t close = content.find(']', first);
    if (content[first] == '[' && close != std::string_view::npos) {
        parsed.kind = Kind::Header;
        parsed.name = Trim(content.substr(first + 1, close - first - 1));
        return parsed;
    }
    const std::size_t equals = content.find('=');
    if (equals == std::string_view::npos)
        return parsed;
    parsed.kind = Kind::Key;
    parsed.name = Trim(content.substr(0, equals));
    std::size_t begin = content.find_first_not_of(kBlanks, equals + 1);
    if (begin == std::string_view::npos)
        begin = content.size();
    const std::size_t last = content.find_last_not_of(kBlanks);  // found: the line is not blank
    parsed.valueBegin = line.begin + begin;
    parsed.valueEnd = line.begin + std::max(begin, last + 1);
    parsed.contentEnd = line.end;
    return parsed;
}

// Only the first section of a name counts, and in it the first line of the key.
Location Locate(const std::string& text, const std::string& section, const std::string& key)
{
    Location at;
    for (const Line& line : SplitLines(text)) {
        Parsed parsed = ParseLine(text, line);
        if (parsed.kind == Kind::Header) {
            if (at.sectionFound)
                break;
            at.sectionFound = SameText(parsed.name, section);
        }
        if (!at.sectionFound)
            continue;
        if (parsed.kind == Kind::Key && SameText(parsed.name, key)) {
            at.keyFound = true;
            at.key = std::move(parsed);
            break;
        }
        if (!parsed.blank) {
            at.insertAt = line.next;
            at.needsBreak = line.next == line.end;
        }
    }
    return at;
}

bool ReadProfile(const std::string& file, std::string& text)
{
    try {
        text = ReadFileBytes(file, kWholeFile);
        return true;
    } catch (const EInOutError&) {
        return false;
    }
}

std::string StripQuotes(std::string value)
{
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
    return quoted ? value.substr(1, value.size() - 2) : value;
}

std::string Cut(std::string value)
{
    if (value.size() > kMaxValueLength)
        value.resize(kMaxValueLength);
    return value;
}

// Leading digits of a decimal or "0x" hexadecimal number; wraps like a 32-bit register.
int LeadingNumber(const std::string& text)
{
    std::size_t i = text.find_first_not_of(kBlanks);
    if (i == std::string::npos)
        return 0;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+')
        ++i;
    std::uint32_t base = 10;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    std::uint32_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        std::uint32_t digit = 99;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        if (digit >= base)
            break;
        value = value * base + digit;
    }
    return static_cast<int>(negative ? 0u - value : value);
}

// A line break in a name or value would turn into lines of their own; "=" or a leading "["
// in a key, or "]" in a section name, would be read back as something else.
bool Storable(const std::string& section, const std::string& key, const std::string& value)
{
    auto breaks = [](const std::string& text) {
        return text.find_first_of("\r\n") != std::string::npos;
    };
    return !key.empty() && key.find('=') == std::string::npos && key.front() != '[' &&
           section.find(']') == std::string::npos && !breaks(section) && !breaks(key) &&
           !breaks(value);
}

void Edit(std::string& text, const std::string& section, const std::string& key, const std::string& value)
{
    const Location at = Locate(text, section, key);
    const std::string line = key + "=" + value + "\r\n";
    if (at.keyFound) {
        text.replace(at.key.valueBegin, at.key.contentEnd - at.key.valueBegin, value);
    } else if (at.sectionFound) {
        text.insert(at.insertAt, (at.needsBreak ? "\r\n" : "") + line);
    } else {
        if (!text.empty() && text.back() != '\n')
            text += "\r\n";
        text += "[" + section + "]\r\n" + line;
    }
}

// The file itself, also when `path` is a symbolic link to it, so that replacing it keeps the link.
std::string TargetPath(const std::string& file)
{
    const std::filesystem::path path(NativePath(file));
    std::error_code error;
    if (std::filesystem::is_symlink(path, error)) {
        const std::filesystem::path target = std::filesystem::canonical(path, error);
        if (!error)
            return target.string();
    }
    return path.string();
}

// A file beside the target that takes the new contents and replaces the target in one rename;
// until then the target stays untouched, and an unfinished one removes itself.
class ReplacementFile {
public:
    explicit ReplacementFile(const std::string& target)
    {
        static std::atomic<unsigned> serial{0};
        for (int attempt = 0; attempt < 100 && !fd_; ++attempt) {
            path_ = target + ".~" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
            fd_.Reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (!fd_ && errno != EEXIST)
                break;
        }
        created_ = static_cast<bool>(fd_);
    }
    ~ReplacementFile()
    {
        if (created_ && !committed_)
            ::unlink(path_.c_str());
    }
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    bool Created() const { return created_; }

    bool Write(const std::string& bytes) { return fd_ && WriteAll(fd_.Get(), bytes.data(), bytes.size()) && ::fsync(fd_.Get()) == 0; }

    bool CommitTo(const std::string& target)
    {
        struct stat old {};
        if (::stat(target.c_str(), &old) == 0)
            ::fchmod(fd_.Get(), old.st_mode & 07777);  // the settings keep their permissions
        // A close that fails may not have written the data: the old file stays.
        if (!fd_.Close())
            return false;
        committed_ = std::rename(path_.c_str(), target.c_str()) == 0;
        return committed_;
    }

private:
    std::string path_;
    UniqueFd fd_;
    bool created_ = false;
    bool committed_ = false;
};

// For a folder that takes no new files but holds a writable settings file: the file is
// overwritten where it is, which a crash in the middle could leave cut, but which beats
// losing the save altogether.
bool WriteInPlace(const std::string& target, const std::string& bytes)
{
    UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd)
        return false;
    const bool written = WriteAll(fd.Get(), bytes.data(), bytes.size()) &&
                         ::ftruncate(fd.Get(), static_cast<off_t>(bytes.size())) == 0 && ::fsync(fd.Get()) == 0;
    return fd.Close() && written;
}

// A file that no one may write was made so on purpose: a rename beside it, or root's rights,
// would replace it all the same.
bool WriteProtected(const std::string& target)
{
    struct stat info {};
    return ::stat(target.c_str(), &info) == 0 && ((info.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0);
}

// The new contents replace the file in one rename where the folder lets a file be made beside
// it, and are written into the file itself where it does not.
bool Replace(const std::string& target, const std::string& bytes)
{
    if (WriteProtected(target))
        return false;
    ReplacementFile replacement(target);
    if (!replacement.Created())
        return FileExists(target) && WriteInPlace(target, bytes);
    return replacement.Write(bytes) && replacement.CommitTo(target);
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& file)
{
    // As the system function does, the default loses its trailing blanks.
    const std::size_t last = defaultValue.find_last_not_of(' ');
    const std::string fallback = Cut(defaultValue.substr(0, last == std::string::npos ? 0 : last + 1));
    std::string text;
    if (!ReadProfile(file, text))
        return fallback;
    const Location at = Locate(text, Trim(section), Trim(key));
    if (!at.keyFound)
        return fallback;
    return Cut(StripQuotes(text.substr(at.key.valueBegin, at.key.valueEnd - at.key.valueBegin)));
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file)
{
    const std::string text = GetPrivateProfileString(section, key, "", file);
    return text.empty() ? defaultValue : LeadingNumber(text);
}

bool WritePrivateProfileStrings(const std::string& section, const ProfileEntries& entries,
                                const std::string& file)
{
    const std::string name = Trim(section);
    if (file.empty())
        return false;
    for (const auto& [key, value] : entries)
        if (!Storable(name, Trim(key), value))
            return false;
    const std::string path = TargetPath(file);
    std::string text;
    if (FileExists(path) && !ReadProfile(path, text))
        return false;
    for (const auto& [key, value] : entries)
        Edit(text, name, Trim(key), value);
    return Replace(path, text);
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file)
{
    return WritePrivateProfileStrings(section, {{key, value}}, file);
}

}  // namespace platform
