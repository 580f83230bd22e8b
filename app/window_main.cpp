// tessary-window: the window of tessary, which starts it with its own arguments when the
// command line names no job.
#include "app/HeadlessSettings.h"
#include "app/Unit1.h"
#include "platform/catalogue.h"
#include "platform/userdirs.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv)
{
    platform::UseUserLanguage();
    const TCommandLine line = ParseCommandLine(argc, argv);
    if (!line.Error.empty() || line.Help || line.Version || !OpensWindow(line)) {
        std::fprintf(stderr, "tessary-window: %s\n", _("the window of tessary; run tessary for the command line"));
        return ExitUsage;
    }
    try {
        if (line.SettingsFile)
            return RunWindow(argc, argv, *line.SettingsFile);
        const std::string settings = DefaultSettingsFile();
        // The store writes the file when the window closes; an installed copy's folder for it
        // may not exist yet.
        platform::MakeFolders(settings.substr(0, settings.rfind('/')));
        return RunWindow(argc, argv, settings);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return ExitCouldNotRun;
    }
}
