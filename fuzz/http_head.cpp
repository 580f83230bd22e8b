// The HTTP client reading a reply from a server: the status line and header lines (after any
// interim replies), the body after them, and what a redirect makes of the head: the next
// request's URL and request head.
#include "harness.h"

#include "net/NMHttp.h"
#include "platform/Exception.h"

#include <algorithm>

namespace {

// Opens the steps that a request cycle runs between ReadReplyHeader and the next request.
class Client : public TNMHTTP {
public:
    using TNMHTTP::ReceiveBody;
    void Aim(const std::string& url) { url_ = url; }
};

bool HasLineBreak(const std::string& line)
{
    return line.find_first_of("\r\n") != std::string::npos;
}

void FollowRedirect(Client& http)
{
    if (!http.ReceivedCookie().empty())
        http.HeaderInfo.Cookie = http.ReceivedCookie();
    http.ParseURL();
    fuzz::Expect(!http.RequestPath().empty() && http.RequestPath()[0] == '/', "a request path starts with /");
    fuzz::Expect(http.RequestPath().size() <= TNMHTTP::MaxCopiedText, "a request path is cut to its limit");
    fuzz::Expect(http.Port >= 1 && http.Port <= 65535, "a port is a port");
    http.BuildRequestHeader();
    const auto& lines = http.HeaderList().Lines();
    fuzz::Expect(std::none_of(lines.begin(), lines.end(), HasLineBreak),
                 "nothing a server sends splits a line of the next request head");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > fuzz::MaxFeed)
        return 0;
    const std::string reply = fuzz::Text(data, size);
    fuzz::ServerEnd server;
    server.Say(reply);
    server.HangUp();  // an HTTP/1.0 reply ends with the close
    Client http;
    http.InputFileMode = false;
    http.OutputFileMode = false;
    http.MaxBodySize = 4096;
    http.UnsizedBodyLimit = 1024;
    http.Aim("http://127.0.0.1/cgi-bin/gallery.cgi?f=77154");
    http.AdoptSocket(server.Release());
    try {
        http.ReadReplyHeader();
    } catch (const ESockError&) {
        return 0;  // a head cut short or in a coding we cannot read is refused
    }
    // Interim replies (100 Continue) before the final one are read past, and only its head is kept.
    fuzz::Expect(reply.find(http.Header) != std::string::npos, "the head is kept as it came");
    fuzz::Expect(http.BytesTotal >= 0, "an announced length is never negative");
    try {
        http.ReceiveBody();
        fuzz::Expect(static_cast<long long>(http.Body.size()) <= http.MaxBodySize, "a body stays within its cap");
    } catch (const ESockError&) {
        // a body past its cap or shorter than announced
    }
    try {
        FollowRedirect(http);
    } catch (const Exception&) {
        // a location with a port that is not a number
    }
    return 0;
}
