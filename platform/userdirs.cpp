#include "platform/userdirs.h"

#include "platform/files.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>

namespace platform {

namespace {

const char* const SettingsName = "Tessary.ini";

std::string WithSlash(std::string folder)
{
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

// A user-dirs value: a quoted "$HOME/..." or absolute path, backslash escapes allowed.
std::optional<std::string> UserDirValue(const std::string& quoted)
{
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"')
        return std::nullopt;
    std::string path;
    for (size_t i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 2 < quoted.size())
            ++i;
        path += quoted[i];
    }
    if (path == "$HOME" || path.rfind("$HOME/", 0) == 0)
        return HomeFolder() + path.substr(5);
    if (path.rfind('/', 0) == 0)
        return path;
    return std::nullopt;
}

}  // namespace

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string ConfigHome()
{
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/')
        return config;
    return HomeFolder() + "/.config";
}

std::string PicturesFolder()
{
    std::optional<std::string> folder;
    const std::string file = ConfigHome() + "/user-dirs.dirs";
    const std::string key = "XDG_PICTURES_DIR=";
    if (FileExists(file)) {
        for (const std::string& line : ReadTextLines(file))
            if (line.rfind(key, 0) == 0)
                folder = UserDirValue(line.substr(key.size()));
    }
    return WithSlash(folder.value_or(HomeFolder() + "/Pictures"));
}

// Root may write every folder, so writability alone would have root keep settings and pictures
// in /usr/bin; the install prefixes of packages and of `make install` tell an installed copy.
bool InstalledIn(const std::string& folder)
{
    for (const char* system : {"/usr/", "/bin/", "/sbin/", "/opt/"})
        if (folder.rfind(system, 0) == 0)
            return true;
    return ::access(folder.c_str(), W_OK) != 0;
}

std::string SettingsFile()
{
    if (!InstalledIn(ProgramFolder()))
        return ProgramFolder() + SettingsName;
    return ConfigHome() + "/tessary/" + SettingsName;
}

std::string DefaultDestination()
{
    if (!InstalledIn(ProgramFolder()))
        return ProgramFolder();
    return PicturesFolder() + "Tessary/";
}

void PrepareDestination(const std::string& destination)
{
    const std::string pictures = PicturesFolder();
    if (destination == pictures + "Tessary/")
        MakeFolders(pictures);
}

bool MakeFolders(const std::string& path)
{
    const std::string native = NativePath(path);
    std::error_code ignored;
    std::filesystem::create_directories(native, ignored);
    return DirectoryExists(native);
}

}  // namespace platform
