// tessary: the window, or one job without a window when the command line names one.
#include "app/Headless.h"
#include "app/Unit1.h"

#include <cstdio>
#include <exception>

namespace {

int UsageError(const std::string& reason)
{
    std::fprintf(stderr, "tessary: %s\nTry 'tessary --help' for more information.\n", reason.c_str());
    return ExitUsage;
}

}  // namespace

int main(int argc, char** argv)
{
    const TCommandLine line = ParseCommandLine(argc, argv);
    if (line.Help) {
        std::fputs(UsageText().c_str(), stdout);
        return ExitDone;
    }
    if (line.Version) {
        std::printf("tessary %s\n", TESSARY_VERSION);
        return ExitDone;
    }
    if (!line.Error.empty())
        return UsageError(line.Error);
    try {
        if (OpensWindow(line))
            return RunWindow(argc, argv, line.SettingsFile.value_or(DefaultSettingsFile()));
        return RunHeadless(line);
    } catch (const EUsageError& error) {
        return UsageError(error.Message());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return ExitError;
    }
}
