// FTP directory listings: lines split into blank-separated fields, and the entries of a
// Unix-style long listing picked out of them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class TFTPDirectoryList {
public:
    static constexpr int FieldTableSize = 25;
    static constexpr std::size_t MaxFieldLength = 255;

    TFTPDirectoryList();
    virtual ~TFTPDirectoryList() = default;

    // Splits `line` (without its line end) into the field table; the base class keeps no entry.
    virtual void ParseLine(const std::string& line);
    void Clear();

    // Field `n` (1 to FieldCount) of the line split last.
    const std::string& Field(int n) const { return Fields[static_cast<std::size_t>(n - 1)]; }

    // Parallel lists: entry i of each comes from the same accepted line.
    std::vector<std::string> FileModes;
    std::vector<std::string> FileNames;
    std::vector<std::string> FileDates;
    std::vector<std::string> FileSizes;

    // The field table: FieldTableSize entries, more only while a longer line is split, so that
    // such a line is read like any other.
    std::vector<std::string> Fields;
    int FieldCount = 0;

private:
    void StartField(int n);
};

// A Unix-style long listing ("-rw-r--r--   1 ftp  ftp   51234 Mar  3  1999 8436-01.gif"):
// name, size and date are counted from the end, so a missing group column does not matter.
class TFTPUnixList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

// A long listing's date, "Mar  3  1999" or, within the last half year, "Mar  3 10:00", as seconds
// since the epoch (read as UTC: the listing does not say its zone); -1 when it is neither.
// `now` places a date without a year in the year that puts it no later than tomorrow.
long long ParseListingDate(const std::string& date, long long now);
