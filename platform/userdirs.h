// Where a copy of the program keeps its settings and puts its pictures. A copy whose folder
// the user can write (a build tree, an unpacked copy) keeps both beside itself; an installed
// copy uses the user's own folders, named as the XDG base-directory and user-dirs rules say.
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

// True when the user may create files in the program's folder.
bool ProgramFolderWritable();

// The program folder + "Tessary.ini", or the config home + "/tessary/Tessary.ini".
std::string SettingsFile();

// The program folder, or the pictures folder + "Tessary/". The pictures folder is made when
// it is missing, so that a job's one-level creation of the destination succeeds.
std::string DefaultDestination();

// Creates every missing folder of `path` (the last name included); false when one cannot be
// made.
bool MakeFolders(const std::string& path);

}  // namespace platform
