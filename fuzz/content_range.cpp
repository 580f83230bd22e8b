// Content-Range values of a 206 reply to a request that continues a partial file: the range read
// from "bytes FIRST-LAST/WHOLE" in any form a server sends, and the rule that the reply is
// appended to the file only when it continues it exactly.
#include "harness.h"

#include "net/NMHttp.h"
#include "platform/Exception.h"

#include <regex>
#include <string>

namespace {

// The partial file the client asks to continue: bytes from 100 on, of a file of 1000 bytes.
constexpr long long From = 100;
constexpr long long Total = 1000;

// A value in the one form servers send ("bytes 100-999/1000", "bytes */1000"), read without the
// client's rules: its first byte and its whole length, -1 for "*".
bool ReadPlainly(const std::string& value, long long& first, long long& whole)
{
    static const std::regex plain("bytes (?:([0-9]{1,18})-[0-9]{1,18}|\\*)/(?:([0-9]{1,18})|\\*)",
                                  std::regex::icase);
    std::smatch parts;
    if (!std::regex_match(value, parts, plain))
        return false;
    first = parts[1].matched ? std::stoll(parts[1].str()) : -1;
    whole = parts[2].matched ? std::stoll(parts[2].str()) : -1;
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
    http.RangeFrom = From;
    http.RangeTotal = Total;
    http.AdoptSocket(server.Release());
    bool taken = true;
    try {
        http.ReadReplyHeader();
    } catch (const ESockError&) {
        taken = false;  // a range that does not continue the file, or a head cut short
    }
    fuzz::Expect(http.RangeStart >= -1 && http.RangeWhole >= -1, "a range is never negative");
    fuzz::Expect(!taken || (http.Appending && http.RangeStart == From && http.RangeWhole == Total),
                 "a reply is appended only when it continues the file exactly");
    long long first = -1;
    long long whole = -1;
    if (ReadPlainly(value, first, whole)) {
        fuzz::Expect(http.RangeStart == first && http.RangeWhole == whole, "a plain range reads as it is written");
        fuzz::Expect(taken == (first == From && whole == Total), "a plain range that continues the file is taken");
    }
    return 0;
}
