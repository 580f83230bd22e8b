// The FTP client reading a server's replies on its control connection: the greeting, then one
// reply per command, each with its continuation lines and its reply code, the byte count a
// transfer reply announces and the system type a "SYST" reply names. The replies it reads must
// be the ones the continuation rule makes of the server's lines.
#include "harness.h"

#include "net/NMFtp.h"
#include "platform/Exception.h"

#include <vector>

namespace {

// The server's lines as the transport reads them: each with its LF, the last one maybe without.
std::vector<std::string> Lines(const std::string& stream)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < stream.size();) {
        const std::size_t lf = stream.find('\n', start);
        const std::size_t end = lf == std::string::npos ? stream.size() : lf + 1;
        lines.push_back(stream.substr(start, end - start));
        start = end;
    }
    return lines;
}

bool GoesOn(const std::string& line)
{
    return (!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-');
}

// What the rule makes of the lines while the server keeps the connection open: a reply is
// complete once a line ends it, and one that runs past the caps ends the session.
struct Replies {
    bool greeted = false;
    std::vector<std::string> firsts;  // the first line of each reply after the greeting
};

Replies Expected(const std::vector<std::string>& lines)
{
    Replies replies;
    std::size_t next = 0;
    auto complete = [&](std::string line) {
        int count = 0;
        std::size_t bytes = 0;
        while (GoesOn(line)) {
            if (next == lines.size())
                return false;
            line = lines[next++];
            bytes += line.size();
            if (++count > TNMFTP::MaxReplyLines || bytes > TNMFTP::MaxReplyBytes)
                return false;
        }
        return line.back() == '\n';
    };
    replies.greeted = complete(" ");
    while (replies.greeted && next < lines.size()) {
        const std::string first = lines[next++];
        if (!complete(first))
            break;
        replies.firsts.push_back(first);
    }
    return replies;
}

void CheckReply(const TNMFTP& ftp, const std::string& first)
{
    auto digit = [&](std::size_t i) { return i < first.size() && first[i] >= '0' && first[i] <= '9'; };
    if (!digit(0))
        fuzz::Expect(ftp.ReplyNumber == 0, "a reply without a code has number 0");
    if (digit(0) && digit(1) && digit(2) && !digit(3))
        fuzz::Expect(ftp.ReplyNumber == std::stoi(first.substr(0, 3)), "a reply's number is its code");
    fuzz::Expect(TNMFTP::ReplyByteCount(first) >= 0, "an announced byte count is never negative");
    TNMFTP::VendorFromSystem(first);
}

// While the server is there, every complete reply is read, and read as the rule says.
void ReadWhileOpen(TNMFTP& ftp, fuzz::ServerEnd& server, const Replies& expected)
{
    try {
        ftp.ReadReplyRest(" ");  // the greeting, as Connect reads it
        for (const std::string& first : expected.firsts) {
            fuzz::Expect(ftp.SendCommand("NOOP") == first, "a reply is the one the continuation rule makes");
            CheckReply(ftp, first);
            server.Drain();
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        fuzz::Expect(false, "a complete reply is read");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > fuzz::MaxFeed)
        return 0;
    const std::string stream = fuzz::Text(data, size);
    const Replies expected = Expected(Lines(stream));
    fuzz::ServerEnd server;
    server.Say(stream);
    TNMFTP ftp;
    ftp.WaitLimit = 0;  // a wait that does not end on the server's close is a hang the fuzzer reports
    ftp.AdoptSocket(server.Release());
    if (expected.greeted)
        ReadWhileOpen(ftp, server, expected);

    // After the close at most the reply that the close completes, then the session is over.
    server.HangUp();
    bool ended = false;
    for (int tries = 0; tries < 3 && !ended; ++tries) {
        try {
            if (tries == 0 && !expected.greeted)
                ftp.ReadReplyRest(" ");
            else
                CheckReply(ftp, ftp.SendCommand("NOOP"));
        } catch (const Exception&) {
            ended = true;
        }
    }
    fuzz::Expect(ended, "a session ends with the server's close");
    return 0;
}
