// The window's stored entries: the keys of its settings section, their defaults, and the one
// way of reading them that the window and the command line share, so that a file gives both
// the same jobs. No Qt here: the command line reads them without a window.
#pragma once

#include "mirror/JobOptions.h"

#include <array>
#include <string>

struct TStoredEntries {
    std::string Destination;  // stored as Edit1_Text; DefaultDestination() when the file leaves it empty
    std::string FolderId = "77154";
    std::string Member = "tessa";
    bool Pause = false;
    int PauseSeconds = 4;
    bool RadioButton1 = true;
    bool RadioButton2 = false;
    std::string SetNumber = "8436";
    // Persistent HTTP connections and the pictures downloaded at once; in a section of its
    // own, which the window never writes.
    bool KeepAlive = false;
    int Connections = 1;
    // The download archive's file; in a section of its own, which the window never writes.
    std::string ArchiveFile;
    // The album after each gallery job, and its pages' name; in a section of their own, where
    // the window writes only the switch.
    bool Album = false;
    std::string AlbumIndex = "index.html";

    // Gallery host B unless RadioButton1 is on, as the window's show step decides.
    bool HostB() const { return !RadioButton1; }
};

// The section of the window's entries, and their keys in the order a save writes them: the
// control's name, "_", the property's name.
extern const char* const StoredEntriesSection;
extern const std::array<const char*, 8> StoredEntryKeys;
extern const char* const NetworkSection;
extern const char* const KeepAliveKey;
extern const char* const ConnectionsKey;
extern const char* const ArchiveSection;
extern const char* const ArchiveFileKey;
extern const char* const AlbumSection;
extern const char* const AlbumEnabledKey;
extern const char* const AlbumIndexKey;

// Reads the entries of `file`, starting from `current`: a missing key keeps the current value,
// a text is kept as read (blanks at both ends trimmed), a pause length outside 1 to 15 or not
// a number is brought into the range (so is a number of connections outside 1 to 8), a boolean that names neither "True" nor "False" changes
// nothing, and a radio button switched on switches its sibling off. Never writes the file.
TStoredEntries ReadStoredEntries(const std::string& file, const TStoredEntries& current = {});

// The options a job runs with, as the entries give them.
TJobOptions JobOptionsOf(const TStoredEntries& entries);
