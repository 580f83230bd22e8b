// Dates in HTTP header lines (Last-Modified, If-Modified-Since): the one form servers must send,
// "Sun, 06 Nov 1994 08:49:37 GMT", read and written without the user's locale.
#pragma once

#include <string>

// Seconds since the epoch; -1 for a text that is not such a date.
long long ParseHttpDate(const std::string& text);
std::string FormatHttpDate(long long seconds);
