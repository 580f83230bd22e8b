#include "app/HeadlessSettings.h"

#include "app/StoredEntries.h"
#include "platform/catalogue.h"
#include "platform/files.h"
#include "platform/userdirs.h"

#include <algorithm>

std::string DefaultSettingsFile()
{
    return platform::SettingsFile();
}

namespace {

// --proxy and $http_proxy are parsed, worded and looked up alike.
TProxySetting ResolveProxy(const TCommandLine& line)
{
    const auto given = std::find_if(line.JobOptions.rbegin(), line.JobOptions.rend(), [](const TGivenOption& option) {
        return option.Option->Kind == TValueKind::Proxy;
    });
    TProxySetting proxy = given != line.JobOptions.rend() ? ProxySetting(given->Option->Name, given->Value.Text)
                                                           : ProxyFromEnvironment();
    // The set job connects to its FTP host directly; only its rare fall-back to HTTP uses a proxy.
    if (line.Job != THeadlessJob::Set)
        CheckProxyHost(proxy);
    return proxy;
}

}  // namespace

THeadlessSettings ResolveSettings(const TCommandLine& line)
{
    if (line.Job == THeadlessJob::None)
        throw EUsageError(line.JobOptions.empty() ? _("no job given") : _("these options need --folder, --member or --set"));
    const std::string file = line.SettingsFile.value_or(DefaultSettingsFile());
    if (line.SettingsFile && !platform::FileExists(file))
        throw EUsageError(platform::Fill(_("no settings file %1"), {file}));
    THeadlessSettings settings;
    settings.Job = line.Job;
    settings.Proxy = ResolveProxy(line);
    TJobOptions& options = settings.Options;
    options = JobOptionsOf(ReadStoredEntries(file));
    options.ProxyHost = settings.Proxy.Host;
    options.ProxyPort = settings.Proxy.Port;
    if (line.Job == THeadlessJob::Folder)
        options.FolderId = line.JobValue;
    else if (line.Job == THeadlessJob::Member)
        options.Member = line.JobValue;
    else
        options.SetNumber = line.JobValue;
    line.ApplyTo(options);
    return settings;
}
