// The HTTP/1.0 client: one connection per request, the reply body read until the server
// closes, redirects followed as GET with the received cookie. With KeepAlive it speaks
// HTTP/1.1 and keeps the connection to a server for its next request.
#pragma once

#include "net/NMExtstr.h"
#include "net/Psock.h"

#include <cstdio>
#include <functional>
#include <string>

// Request kinds; the value selects the verb of the request line.
enum class CmdType { Get = 0, Options, Head, Post, Put, Patch, Copy, Move, Delete, Link, Unlink, Trace };

using TResultEvent = std::function<void(CmdType Cmd)>;

// Values for the optional request header lines; an empty field adds no line.
struct THeaderInfo {
    std::string LocalMailAddress;  // sent as "User-Agent"
    std::string LocalProgram;      // sent as "From"
    std::string Cookie;
    std::string Referer;
    std::string UserId;    // with Password: "Authorization: Basic ..."
    std::string Password;
};

class TNMHTTP : public TPowersock {
public:
    // Location, cookie and request path are cut to this many characters.
    static constexpr size_t MaxCopiedText = 256;
    // A reply head beyond this is refused rather than read on.
    static constexpr size_t MaxReplyHead = 1024 * 1024;
    // Repetitions of the request cycle (redirects) before it gives up.
    static constexpr int MaxRepetitions = 20;

    // Largest body taken at all, announced or not; 0 = no limit.
    long long MaxBodySize = 0;
    // Largest body taken when the reply announces no length (one that announces more may
    // take what it announces); 0 = no limit.
    long long UnsizedBodyLimit = 0;

    // HTTP/1.1 with a Host line, each reply read to its exact end, the connection kept open
    // for the next request to the same server or proxy.
    bool KeepAlive = false;

    // A GET asks only for the bytes from RangeFrom on when it is above 0, and with IfRange only
    // while the file is still of that version (an entity tag or a date). A GET asks for the body
    // only when it changed after IfModifiedSince (an HTTP date). All three are cleared by every
    // request's end.
    long long RangeFrom = 0;
    std::string IfRange;
    std::string IfModifiedSince;
    // Called once the head of each reply has been read, before its body. The handler judges the
    // reply: it sets Appending to have the body appended to the Body file, or DiscardBody to have
    // it not stored at all (the connection is then closed, not kept). Both start false.
    TNotifyEvent OnReplyHead;
    bool Appending = false;
    bool DiscardBody = false;
    // A file the caller holds open for the body, written at its descriptor's position (the
    // caller places it, and Appending is not looked at); -1: the Body file is opened by its name.
    // The body is still called Body in error texts. Cleared by every request's end.
    int BodyFile = -1;

    // Of the latest reply: its Last-Modified and ETag values, its Content-Range ("bytes A-B/T":
    // A and T; -1 when absent or "*"), and the seconds of its Retry-After (-1: none or a date).
    std::string LastModified;
    std::string ETag;
    long long RangeStart = -1;
    long long RangeWhole = -1;
    long long RetryAfter = -1;
    // The server ended the latest reply's body before its end.
    bool CutShort = false;

    // Published properties.
    std::string Body = "Default.htm";
    std::string Header = "Head.txt";
    THeaderInfo HeaderInfo;
    bool InputFileMode = false;
    bool OutputFileMode = false;

    // Events.
    TNotifyEvent OnAboutToSend;
    TResultEvent OnSuccess;
    TResultEvent OnFailure;
    THandlerEvent OnRedirect;
    TNotifyEvent OnAuthenticationNeeded;

    void Abort() override;

    // Steps of a request.
    virtual void ProcessRequest();
    virtual void ParseURL();
    virtual void BuildRequestHeader();
    virtual void ReadReplyHeader();
    virtual void SendRequest();

    // Request operations; each runs a whole request cycle.
    virtual void Options(const std::string& url);
    virtual void Get(const std::string& url);
    virtual void Post(const std::string& url, const std::string& postData);
    virtual void Put(const std::string& url, const std::string& data);
    virtual void Head(const std::string& url);
    virtual void Patch(const std::string& url, const std::string& data);
    virtual void Delete(const std::string& url);
    virtual void Trace(const std::string& url, const std::string& data);
    virtual void Copy(const std::string& url, const std::string& destination);
    virtual void Move(const std::string& url, const std::string& destination);
    virtual void Link(const std::string& url, const std::string& link);
    virtual void Unlink(const std::string& url, const std::string& link);

    // The current URL (as changed by ParseURL and redirects) and the request target without a proxy.
    const std::string& URL() const { return url_; }
    const std::string& RequestPath() const { return requestPath_; }
    // The value of the last Set-Cookie line of the latest reply head.
    const std::string& ReceivedCookie() const { return receivedCookie_; }
    const TExStringList& HeaderList() const { return headerList_; }

protected:
    void Request(CmdType kind, const std::string& url);
    void ReceiveBody();
    void RunRequest();
    void OpenConnection(bool& reused);
    void Exchange();
    bool NoBody() const;
    bool BodyIsFramed() const;
    void ReceiveFramedBody();
    bool KeptIdle() const;
    void TakeBodyBytes(long long count, int file, bool chunked);
    std::string ChunkLine();
    long long ChunkSize(const std::string& line);
    void FinishRequest(bool failed);
    long long BodyLimit() const;
    void CheckBodyComplete();
    [[noreturn]] void RefuseReply(const std::string& text, const std::string& reason);
    // A reply whose body the server ended before its end.
    [[noreturn]] void RefuseCutShort(const std::string& text, const std::string& reason);
    void NoteHeaderLine(const std::string& line);
    void NoteContentRange(const std::string& value);
    bool CookieGoesTo(const std::string& host) const;
    void ReportOutcome();
    void SendBytes(const std::string& bytes);
    std::string AuthorizationValue() const;
    std::string HostAndPort() const;
    long long SendDataLength() const;

    std::string url_;
    std::string requestPath_;
    CmdType kind_ = CmdType::Get;
    CmdType sentKind_ = CmdType::Get;
    std::string sendData_;
    std::string linkValue_;
    std::string receivedCookie_;
    bool lengthAnnounced_ = false;
    std::string transferEncoding_;
    std::string connection_;     // the reply's Connection value, upper case
    bool replyCloses_ = false;   // the reply ends its connection ("Connection: close", HTTP/1.0)
    bool replyKeepsOpen_ = false;  // the reply says its connection stays open (Connection or Proxy-Connection)
    bool bodyExact_ = false;     // the body was read to its exact end: the connection can serve on
    bool keptOpen_ = false;      // a connection left open for the next request
    unsigned long long keptAtPass_ = 0;  // the loop's pass count when it was left open
    std::string keptPeer_;
    // The cookie a redirect took from a server, and that server: it goes back to it only.
    std::string serverCookie_;
    std::string cookieHost_;
    TExStringList headerList_;
};
