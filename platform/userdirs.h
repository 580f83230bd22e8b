// Where a copy of the program keeps its settings and puts its pictures. A copy in a folder of
// the user's own (a build tree, an unpacked copy) keeps both beside itself; an installed copy
// uses the user's own folders, named as the XDG base-directory and user-dirs rules say.
#pragma once

#include <string>

namespace platform {

// $HOME, else the home folder of the user's password entry.
std::string HomeFolder();

// $XDG_CONFIG_HOME when it is an absolute path, else the home folder + "/.config".
std::string ConfigHome();

// XDG_PICTURES_DIR of the user-dirs file in the config home, else the home folder +
// "/Pictures"; ending in "/".
std::string PicturesFolder();

// True when `folder` (ending in "/") holds an installed copy: a system folder, which root may
// write as well, or one the user may not write.
bool InstalledIn(const std::string& folder);

// The program folder + "Tessary.ini", or the config home + "/tessary/Tessary.ini".
std::string SettingsFile();

// The program folder, or the pictures folder + "Tessary/". Makes nothing.
std::string DefaultDestination();

// Makes the pictures folder when `destination` is the installed copy's default inside it, so
// that a job's one-level creation of the destination succeeds; any other folder is left alone.
void PrepareDestination(const std::string& destination);

// Creates every missing folder of `path` (the last name included); false when one cannot be
// made.
bool MakeFolders(const std::string& path);

}  // namespace platform
