// Content-Range values of a 206 reply to a request that continues a partial file: the range the
// HTTP client reads from "bytes FIRST-LAST/WHOLE" in any form a server sends, on which the
// mirror decides whether the reply continues the file.
#include "harness.h"

#include "net/NMHttp.h"
#include "platform/Exception.h"

#include <regex>
#include <string>

namespace {

// A number of a range: -1 for "*" and for one of more than 18 digits, which the client leaves unknown.
long long RangeNumber(const std::ssub_match& digits)
{
    return digits.matched && digits.length() <= 18 ? std::stoll(digits.str()) : -1;
}

// A value in the one form servers send ("bytes 100-999/1000", "bytes */1000"), read without the
// client's rules: its first byte and its whole length.
bool ReadPlainly(const std::string& value, long long& first, long long& whole)
{
    static const std::regex plain("bytes (?:([0-9]+)-[0-9]+|\\*)/(?:([0-9]+)|\\*)", std::regex::icase);
    std::smatch parts;
    if (!std::regex_match(value, parts, plain))
        return false;
    first = RangeNumber(parts[1]);
    whole = RangeNumber(parts[2]);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > fuzz::MaxFeed / 2)
        return 0;
    const std::string value = fuzz::Text(data, size);
    fuzz::ServerEnd server;
    server.Say("HTTP/1.1 206 Partial Content\r\nContent-Range: " + value + "\r\nContent-Length: 0\r\n\r\n");
    server.HangUp();
    TNMHTTP http;
    http.InputFileMode = false;
    http.OutputFileMode = false;
    http.AdoptSocket(server.Release());
    try {
        http.ReadReplyHeader();
    } catch (const ESockError&) {
        return 0;  // a value with a line break that made the head one we cannot read
    }
    fuzz::Expect(http.RangeStart >= -1 && http.RangeWhole >= -1, "a range is never negative");
    long long first = -1;
    long long whole = -1;
    if (ReadPlainly(value, first, whole))
        fuzz::Expect(http.RangeStart == first && http.RangeWhole == whole, "a plain range reads as it is written");
    return 0;
}
