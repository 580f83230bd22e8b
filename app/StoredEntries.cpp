#include "app/StoredEntries.h"

#include "platform/Exception.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "platform/userdirs.h"

#include <algorithm>
#include <optional>

const char* const StoredEntriesSection = "TForm1";
const std::array<const char*, 8> StoredEntryKeys = {
    "Edit1_Text",        "Edit3_Text",           "Edit5_Text",           "CheckBox1_Checked",
    "SpinEdit1_Value",   "RadioButton1_Checked", "RadioButton2_Checked", "Edit2_Text",
};

const char* const NetworkSection = "Network";
const char* const KeepAliveKey = "KeepAlive";
const char* const ConnectionsKey = "Connections";
const char* const ArchiveSection = "Archive";
const char* const ArchiveFileKey = "File";
const char* const AlbumSection = "Album";
const char* const AlbumEnabledKey = "Enabled";
const char* const AlbumIndexKey = "IndexName";

namespace {

class TEntryReader {
public:
    TEntryReader(const std::string& file, const char* section) : file_(file), section_(section) {}

    std::string Text(const char* key, const std::string& current) const
    {
        return Trim(platform::GetPrivateProfileString(section_, key, current, file_));
    }

    std::optional<bool> Bool(const char* key, bool current) const
    {
        const std::string text = Text(key, current ? "True" : "False");
        if (SameText(text, "True"))
            return true;
        if (SameText(text, "False"))
            return false;
        return std::nullopt;
    }

    // A text that is not a number counts 0, which the range then lifts to its minimum.
    int Number(const char* key, int current, int least, int most) const
    {
        int value = 0;
        try {
            value = StrToInt(Text(key, std::to_string(current)));
        } catch (const EConvertError&) {
            value = 0;
        }
        return std::clamp(value, least, most);
    }

private:
    std::string file_;
    const char* section_;
};

}  // namespace

TStoredEntries ReadStoredEntries(const std::string& file, const TStoredEntries& current)
{
    const TEntryReader read(file, StoredEntriesSection);
    TStoredEntries entries = current;
    entries.Destination = read.Text(StoredEntryKeys[0], entries.Destination);
    entries.FolderId = read.Text(StoredEntryKeys[1], entries.FolderId);
    entries.Member = read.Text(StoredEntryKeys[2], entries.Member);
    entries.Pause = read.Bool(StoredEntryKeys[3], entries.Pause).value_or(entries.Pause);
    entries.PauseSeconds = read.Number(StoredEntryKeys[4], entries.PauseSeconds, TJobOptions::PauseMin, TJobOptions::PauseMax);
    if (const auto on = read.Bool(StoredEntryKeys[5], entries.RadioButton1)) {
        entries.RadioButton1 = *on;
        entries.RadioButton2 = entries.RadioButton2 && !*on;
    }
    if (const auto on = read.Bool(StoredEntryKeys[6], entries.RadioButton2)) {
        entries.RadioButton2 = *on;
        entries.RadioButton1 = entries.RadioButton1 && !*on;
    }
    entries.SetNumber = read.Text(StoredEntryKeys[7], entries.SetNumber);
    const TEntryReader network(file, NetworkSection);
    entries.KeepAlive = network.Bool(KeepAliveKey, entries.KeepAlive).value_or(entries.KeepAlive);
    entries.Connections = network.Number(ConnectionsKey, entries.Connections, 1, TJobOptions::MaxConnections);
    entries.ArchiveFile = TEntryReader(file, ArchiveSection).Text(ArchiveFileKey, entries.ArchiveFile);
    const TEntryReader album(file, AlbumSection);
    entries.Album = album.Bool(AlbumEnabledKey, entries.Album).value_or(entries.Album);
    entries.AlbumIndex = album.Text(AlbumIndexKey, entries.AlbumIndex);
    if (entries.Destination.empty())
        entries.Destination = platform::DefaultDestination();
    return entries;
}

TJobOptions JobOptionsOf(const TStoredEntries& entries)
{
    TJobOptions options;
    options.Destination = entries.Destination;
    options.FolderId = entries.FolderId;
    options.Member = entries.Member;
    options.SetNumber = entries.SetNumber;
    options.HostB = entries.HostB();
    options.Pause = entries.Pause;
    options.PauseSeconds = entries.PauseSeconds;
    options.KeepAlive = entries.KeepAlive;
    options.Connections = entries.Connections;
    options.ArchivePath = entries.ArchiveFile;
    options.Album = entries.Album;
    options.AlbumIndex = entries.AlbumIndex;
    return options;
}
