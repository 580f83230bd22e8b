#include "net/httpdate.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 12> Months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> Days = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

}  // namespace

long long ParseHttpDate(const std::string& text)
{
    char day[4] = {};
    char month[4] = {};
    int mday = 0, year = 0, hour = 0, minute = 0, second = 0;
    int end = 0;
    if (std::sscanf(text.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT%n", day, &mday, month, &year, &hour,
                    &minute, &second, &end) != 7 ||
        static_cast<size_t>(end) != text.size())
        return -1;
    std::tm parts{};
    for (size_t i = 0; i < Months.size(); ++i)
        if (Months[i] == month)
            parts.tm_mon = static_cast<int>(i) + 1;
    // A sign gets through the number fields; a leap second at the very end of year 9999 would
    // be a time no date of four digits writes.
    if (parts.tm_mon == 0 || mday < 1 || mday > 31 || year < 1970 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 60 || text.find_first_of("+-") != std::string::npos)
        return -1;
    parts.tm_mon -= 1;
    parts.tm_mday = mday;
    parts.tm_year = year - 1900;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    const long long seconds = static_cast<long long>(timegm(&parts));
    constexpr long long EndOf9999 = 253402300799;  // Fri, 31 Dec 9999 23:59:59 GMT
    return seconds > EndOf9999 ? -1 : seconds;
}

std::string FormatHttpDate(long long seconds)
{
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", Days[static_cast<size_t>(parts.tm_wday)].data(),
                  parts.tm_mday, Months[static_cast<size_t>(parts.tm_mon)].data(), parts.tm_year + 1900, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    return text;
}
