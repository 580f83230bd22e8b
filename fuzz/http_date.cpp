// HTTP dates of Last-Modified lines: a text the reading takes as a date is a time the program can
// write back as a date (If-Modified-Since, the note of a partial file) that reads as the same
// time. The text itself need not come back: the reading leaves the day's name unchecked and
// takes "6" for "06" and 31 Feb for 3 Mar, as the dates servers send vary so.
#include "harness.h"

#include "net/httpdate.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text = fuzz::Text(data, size);
    const long long seconds = ParseHttpDate(text);
    if (seconds == -1)
        return 0;
    fuzz::Expect(seconds >= 0, "a date read is not before 1970");
    const std::string written = FormatHttpDate(seconds);
    fuzz::Expect(ParseHttpDate(written) == seconds, "a date read is written as a date that reads as the same time");
    return 0;
}
