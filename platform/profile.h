// Profile (INI) files as the settings store uses them: "[section]" header lines followed by
// "key=value" lines. Section and key names match without regard to case.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

// The key's value: blanks around it trimmed, one enclosing pair of matching double or single
// quotes removed, cut to 2,047 characters. `defaultValue` when the file, section or key is
// missing.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& file);

// The key's value as a decimal or "0x" hexadecimal number, taken from its leading digits (0
// when there are none). `defaultValue` when the key is missing or its value empty.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file);

using ProfileEntries = std::vector<std::pair<std::string, std::string>>;

// Stores key=value pairs in order, with one write of the file: an existing key's value is
// replaced in place, a missing key is added at the end of its section, a missing section at
// the end of the file, a missing file is created. New lines end in CR LF; everything else in
// the file is kept byte for byte. The file is replaced as a whole by a rename, so a failed
// write (false) leaves the old file as it was; where the folder takes no new file, an existing
// writable file is overwritten in place instead. A file without write permission, for the user
// or for anyone (root included), is left alone (false), as are names or a value that would
// break the line structure.
bool WritePrivateProfileStrings(const std::string& section, const ProfileEntries& entries,
                                const std::string& file);

// One key=value pair, as above.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file);

}  // namespace platform
