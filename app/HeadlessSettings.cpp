#include "app/HeadlessSettings.h"

#include "app/Proxy.h"
#include "platform/catalogue.h"
#include "platform/files.h"
#include "platform/userdirs.h"

std::string DefaultSettingsFile()
{
    return platform::SettingsFile();
}

namespace {

void ResolveProxy(const TCommandLine& line, THeadlessSettings& settings)
{
    if (line.Proxy) {
        if (!ParseHostPort(*line.Proxy, 0, settings.ProxyHost, settings.ProxyPort))
            throw EUsageError(_("--proxy takes HOST:PORT"));
        return;
    }
    TEnvironmentProxy proxy = ProxyFromEnvironment();
    // The set job connects to its FTP host directly; only its rare fall-back to HTTP uses a proxy.
    if (line.Job != THeadlessJob::Set)
        CheckProxyHost(proxy);
    settings.ProxyHost = proxy.Host;
    settings.ProxyPort = proxy.Port;
    settings.ProxyProblem = proxy.ProblemText();
}

void ResolveFtp(const TCommandLine& line, THeadlessSettings& settings)
{
    if (line.FtpHost) {
        std::string host;
        int port = 0;
        if (!ParseHostPort(*line.FtpHost, 21, host, port))
            throw EUsageError(_("--ftp-host takes HOST or HOST:PORT"));
        settings.FtpHost = host;
        settings.FtpPort = port;
    }
    if (line.WebBase) {
        std::string base = *line.WebBase;
        // The set folder that follows the base begins with its own "/".
        while (!base.empty() && base.back() == '/')
            base.pop_back();
        if (base.empty())
            throw EUsageError(_("--web-base takes a URL"));
        settings.WebBase = base;
    }
}

}  // namespace

THeadlessSettings ResolveSettings(const TCommandLine& line)
{
    if (line.Job == THeadlessJob::None)
        throw EUsageError(HasJobOptions(line) ? _("these options need --folder, --member or --set")
                                              : _("no job given"));
    const std::string file = line.SettingsFile.value_or(DefaultSettingsFile());
    if (line.SettingsFile && !platform::FileExists(file))
        throw EUsageError(platform::Fill(_("no settings file %1"), {file}));
    THeadlessSettings settings;
    settings.Job = line.Job;
    settings.Entries = ReadStoredEntries(file);
    TStoredEntries& entries = settings.Entries;
    if (line.Job == THeadlessJob::Folder)
        entries.FolderId = line.JobValue;
    else if (line.Job == THeadlessJob::Member)
        entries.Member = line.JobValue;
    else
        entries.SetNumber = line.JobValue;
    if (line.Destination) {
        // An empty destination would put the gallery's folders at the root of the disk.
        if (line.Destination->empty())
            throw EUsageError(_("--dest needs a folder"));
        entries.Destination = *line.Destination;
    }
    if (line.PauseSeconds) {
        entries.Pause = *line.PauseSeconds != 0;
        if (entries.Pause)
            entries.PauseSeconds = *line.PauseSeconds;
    }
    settings.HostB = line.HostB.value_or(entries.HostB());
    ResolveProxy(line, settings);
    ResolveFtp(line, settings);
    settings.MaxSize = line.MaxSize;
    settings.KeepAlive = line.KeepAlive || entries.KeepAlive;
    settings.Connections = line.Connections.value_or(entries.Connections);
    settings.Resume = !line.NoResume;
    settings.Update = line.Update;
    settings.ArchivePath = line.Archive.value_or(entries.ArchiveFile);
    settings.Retries = line.Retries;
    return settings;
}
