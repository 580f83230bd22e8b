// What a job without a window runs with: the command line laid over the stored entries and the
// environment.
#pragma once

#include "app/CommandLine.h"
#include "app/Proxy.h"
#include "mirror/JobOptions.h"

#include <string>

// Program folder + "Tessary.ini", or the user's own one for an installed copy.
std::string DefaultSettingsFile();

// Everything a headless job runs with, resolved from the command line, the stored entries
// and the environment.
struct THeadlessSettings {
    THeadlessJob Job = THeadlessJob::None;
    TJobOptions Options;
    // The proxy the options use, and whether it can be used.
    TProxySetting Proxy;
};
// Throws EUsageError when the command line cannot be carried out.
THeadlessSettings ResolveSettings(const TCommandLine& commandLine);
