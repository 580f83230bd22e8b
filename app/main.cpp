// tessary: one job without a window when the command line names one, else the window, which
// is the program beside this one, so that a job never loads the window's libraries.
#include "app/Headless.h"
#include "app/JobList.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

int UsageError(const std::string& reason)
{
    std::fprintf(stderr, "tessary: %s\n%s\n", reason.c_str(), _("Try 'tessary --help' for more information."));
    return ExitUsage;
}

// Replaces this process, arguments and all; returns only when the window program cannot start.
int OpenWindow(char** argv)
{
    const std::string window = platform::ProgramFolder() + TESSARY_WINDOW_PROGRAM;
    ::execv(window.c_str(), argv);
    std::fprintf(stderr, "tessary: %s\n", platform::Fill(_("cannot open the window: %1: %2"), {window, std::strerror(errno)}).c_str());
    return ExitCouldNotRun;
}

}  // namespace

int main(int argc, char** argv)
{
    platform::UseUserLanguage();
    const TCommandLine line = ParseCommandLine(argc, argv);
    if (line.Help) {
        std::fputs(UsageText().c_str(), stdout);
        std::printf("%s\n", platform::Fill(_("Settings file: %1"), {line.SettingsFile.value_or(DefaultSettingsFile())}).c_str());
        return ExitDone;
    }
    if (line.Version) {
        std::printf("tessary %s\n", TESSARY_VERSION);
        return ExitDone;
    }
    if (!line.Error.empty())
        return UsageError(line.Error);
    if (OpensWindow(line))
        return OpenWindow(argv);
    try {
        if (line.ArchiveImport)
            return RunArchiveImport(line);
        if (line.AlbumOnly)
            return RunAlbumOnly(line);
        return line.InputFile ? RunJobList(line) : RunHeadless(line);
    } catch (const EUsageError& error) {
        return UsageError(error.Message());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return ExitCouldNotRun;
    }
}
