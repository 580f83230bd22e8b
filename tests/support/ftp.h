// Helpers for tests against the scripted FTP server.
#pragma once

#include "fixtures/ScriptedFtpServer.h"

#include <gmock/gmock.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace support {

// The recorded commands, each PORT checked for a loopback address and its port shown as "*".
inline std::vector<std::string> FtpTranscript(const fixtures::ScriptedFtpServer& server)
{
    static const std::regex port(R"(PORT 127,0,0,1,\d{1,3},\d{1,3})");
    std::vector<std::string> lines;
    for (const std::string& line : server.Commands())
        lines.push_back(std::regex_match(line, port) ? "PORT *" : line);
    return lines;
}

// The default action with what `change` sets, for one row of a table of cases.
inline fixtures::FtpAction FtpActionWith(const std::function<void(fixtures::FtpAction&)>& change)
{
    fixtures::FtpAction action;
    change(action);
    return action;
}

// Matches a refusal's message: the server's reply line first, the step in parentheses before
// its line end.
inline auto CarriesReply(const std::string& reply)
{
    const std::size_t end = reply.find_last_not_of("\r\n") + 1;
    return ::testing::AllOf(::testing::StartsWith(reply.substr(0, end) + " ("),
                            ::testing::EndsWith(")" + reply.substr(end)));
}

}  // namespace support
