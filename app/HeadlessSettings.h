// What a job without a window runs with: the command line laid over the stored entries and the
// environment.
#pragma once

#include "app/CommandLine.h"
#include "app/StoredEntries.h"

#include <optional>
#include <string>

// Program folder + "Tessary.ini", or the user's own one for an installed copy.
std::string DefaultSettingsFile();

// Everything a headless job runs with, resolved from the command line, the stored entries
// and the environment.
struct THeadlessSettings {
    THeadlessJob Job = THeadlessJob::None;
    TStoredEntries Entries;
    bool HostB = false;
    std::string ProxyHost;
    int ProxyPort = 0;
    // Why $http_proxy cannot be used; a gallery job is then not run.
    std::string ProxyProblem;
    std::optional<std::string> FtpHost;
    std::optional<int> FtpPort;
    std::optional<std::string> WebBase;
    std::optional<long long> MaxSize;
    bool KeepAlive = false;
    int Connections = 1;
    bool Resume = true;
    bool Update = false;
    std::string ArchivePath;  // empty: no download archive
    int Retries = 0;
};
// Throws EUsageError when the command line cannot be carried out.
THeadlessSettings ResolveSettings(const TCommandLine& commandLine);
