#include "net/FTPDirectoryList.h"

#include <cstdio>
#include <cstring>
#include <ctime>

TFTPDirectoryList::TFTPDirectoryList() : Fields(FieldTableSize) {}

void TFTPDirectoryList::Clear()
{
    FileModes.clear();
    FileNames.clear();
    FileDates.clear();
    FileSizes.clear();
}

void TFTPDirectoryList::StartField(int n)
{
    const auto size = static_cast<std::size_t>(n);
    if (Fields.size() < size)
        Fields.resize(size);
    Fields[size - 1].clear();
}

void TFTPDirectoryList::ParseLine(const std::string& line)
{
    if (Fields.size() > FieldTableSize)
        Fields.resize(FieldTableSize);  // give back what an earlier long line took
    int index = 1;
    StartField(index);
    std::size_t pos = 0;
    while (pos < line.size()) {
        if (line[pos] == ' ') {
            StartField(++index);
            while (pos < line.size() && line[pos] == ' ')
                ++pos;
            continue;
        }
        std::string& field = Fields[static_cast<std::size_t>(index - 1)];
        if (field.size() < MaxFieldLength)
            field += line[pos];
        ++pos;
    }
    FieldCount = index;
}

long long ParseListingDate(const std::string& date, long long now)
{
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char month[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, end = 0;
    std::tm parts{};
    parts.tm_mon = -1;
    const bool withYear = std::sscanf(date.c_str(), "%3s %2d %4d%n", month, &day, &year, &end) == 3 &&
                          static_cast<size_t>(end) == date.size();
    const bool withTime = !withYear && std::sscanf(date.c_str(), "%3s %2d %2d:%2d%n", month, &day, &hour, &minute, &end) == 4 &&
                          static_cast<size_t>(end) == date.size();
    for (int i = 0; i < 12; ++i)
        if (std::strcmp(month, months[i]) == 0)
            parts.tm_mon = i;
    if ((!withYear && !withTime) || parts.tm_mon < 0 || day < 1 || day > 31 || hour > 23 || minute > 59)
        return -1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    if (withYear) {
        parts.tm_year = year - 1900;
        return static_cast<long long>(timegm(&parts));
    }
    const std::time_t today = static_cast<std::time_t>(now);
    std::tm current{};
    gmtime_r(&today, &current);
    parts.tm_year = current.tm_year;
    long long seconds = static_cast<long long>(timegm(&parts));
    if (seconds > now + 24 * 60 * 60) {
        parts.tm_year -= 1;
        seconds = static_cast<long long>(timegm(&parts));
    }
    return seconds;
}

void TFTPUnixList::ParseLine(const std::string& line)
{
    TFTPDirectoryList::ParseLine(line);
    const int n = FieldCount;
    if (n <= 7)
        return;  // "total 24" and other short lines
    FileNames.push_back(Field(n));
    FileSizes.push_back(Field(n - 4));
    FileDates.push_back(Field(n - 3) + " " + Field(n - 2) + " " + Field(n - 1));
    FileModes.push_back(Field(1));
}
