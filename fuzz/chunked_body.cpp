// Chunked reply bodies over a kept connection: the chunk sizes with their extensions, the data,
// the last chunk and the trailer lines after it, as a server sends them after a head that says
// "Transfer-Encoding: chunked". A body read whole stays within its cap; the same body sent again
// in one chunk reads back as it was, and the reading ends where the framing ends: the bytes
// after it, here a reply, are left on the connection as they came.
#include "harness.h"

#include "net/NMHttp.h"
#include "platform/Exception.h"

#include <cstdio>
#include <string>

namespace {

const std::string ChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string NextReply = "HTTP/1.1 204 No Content\r\n\r\n";

// Opens the body step that a request cycle runs after ReadReplyHeader.
class Client : public TNMHTTP {
public:
    Client()
    {
        InputFileMode = false;
        OutputFileMode = false;
        KeepAlive = true;
        MaxBodySize = 4096;
        url_ = "http://127.0.0.1/gallery/tessa/pic1.jpg";
    }
    using TNMHTTP::ReceiveBody;
};

// The body of the chunked reply that `bytes` frame, after the server hung up; false when the
// client refused it.
bool ReadBody(Client& http, fuzz::ServerEnd& server, const std::string& bytes)
{
    server.Say(bytes);
    server.HangUp();
    http.AdoptSocket(server.Release());
    try {
        http.ReadReplyHeader();
        http.ReceiveBody();
    } catch (const ESockError&) {
        return false;  // framing that is not chunked, cut short, or a body past its cap
    }
    return true;
}

std::string Hex(std::size_t size)
{
    char text[20];
    std::snprintf(text, sizeof text, "%zx", size);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size + ChunkedHead.size() > fuzz::MaxFeed)
        return 0;
    const std::string framing = fuzz::Text(data, size);
    std::string body;
    {
        fuzz::ServerEnd server;
        Client http;
        if (!ReadBody(http, server, ChunkedHead + framing))
            return 0;
        body = http.Body;
        fuzz::Expect(static_cast<long long>(body.size()) <= http.MaxBodySize, "a body stays within its cap");
        fuzz::Expect(body.size() <= framing.size(), "a body is no longer than the bytes that framed it");
    }
    fuzz::ServerEnd server;
    Client http;
    const std::string again = Hex(body.size()) + ";name=value\r\n" + body + "\r\n0\r\nExpires: 0\r\n\r\n";
    fuzz::Expect(ReadBody(http, server, ChunkedHead + (body.empty() ? "0\r\n\r\n" : again) + NextReply),
                 "a body in one chunk is read");
    fuzz::Expect(http.Body == body, "a body in one chunk reads back as it was");
    try {
        http.ReadReplyHeader();
    } catch (const ESockError&) {
        fuzz::Expect(false, "a body read whole ends where its framing ends");
    }
    fuzz::Expect(http.ReplyNumber == 204, "a body read whole ends where its framing ends");
    return 0;
}
