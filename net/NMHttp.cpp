#include "net/NMHttp.h"

#include "net/NMURL.h"
#include "net/NMUUE.h"
#include "net/finally.h"
#include "platform/catalogue.h"
#include "platform/Exception.h"
#include "platform/files.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

const char* const Verbs[] = {"GET ",    "OPTIONS ", "HEAD ",   "POST ", "PUT ",    "PATCH ",
                             "COPY ",   "MOVE ",    "DELETE ", "LINK ", "UNLINK ", "TRACE "};

// What Link and Unlink name as their data.
const char* const SendDatResource = "Send.dat";

const char* HeadTooLargeText()
{
    return _("応答ヘッダが大きすぎます (1 MiB 超)");
}

const char* ShortBodyText()
{
    return _("応答本体が Content-Length より短いまま接続が閉じられました");
}

const char* ChunkedCutShortText()
{
    return _("チャンク形式の応答本体の途中で接続が閉じられました");
}

const char* BadChunkText()
{
    return _("チャンクの大きさが読めません");
}

const char* BodyClosedText()
{
    return _("closed by the server inside the body");
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool Contains(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

std::string WithoutLineEnd(std::string line)
{
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// The text of `line` from the 1-based position `from`, without its line end, cut to the limit.
std::string CopiedValue(const std::string& line, size_t from)
{
    const std::string rest = from - 1 < line.size() ? line.substr(from - 1) : std::string();
    return WithoutLineEnd(rest).substr(0, TNMHTTP::MaxCopiedText);
}

// A value that carries a control character could end or split a line of our next request.
bool HasControl(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool AllDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The reply code of a status line; 0 when its second field is not a number that fits.
std::int16_t StatusCode(const std::string& statusLine)
{
    // Without its line end, so "HTTP/1.0 404\r\n" still reads as 404 and not as a success.
    const std::string field = ExtractField(WithoutLineEnd(statusLine), ' ', 2);
    if (!AllDigits(field) || field.size() > 5)
        return 0;
    const int value = std::stoi(field);
    return value > INT16_MAX ? 0 : static_cast<std::int16_t>(value);
}

// The first run of decimal digits in `text`, saturating; 0 when there is none.
long long FirstNumber(const std::string& text)
{
    const size_t start = text.find_first_of("0123456789");
    if (start == std::string::npos)
        return 0;
    long long value = 0;
    const auto result = std::from_chars(text.data() + start, text.data() + text.size(), value);
    return result.ec == std::errc::result_out_of_range ? LLONG_MAX : value;
}

// What follows the host: from the third "/" of a URL with "//", else from its first "/";
// nothing when there is no such "/".
std::optional<std::string> PathOf(const std::string& url)
{
    const size_t slash =
        Contains(url, "//") ? static_cast<size_t>(NthCharPosition(url, '/', 3)) - 1 : url.find('/');
    if (slash >= url.size())
        return std::nullopt;
    return url.substr(slash);
}

int PortNumber(const std::string& text)
{
    const int value = StrToInt(text);
    if (value < 1 || value > 65535)
        throw EConvertError(platform::Fill(_("'%1' は正しいポート番号ではありません。"), {text}));
    return value;
}

}  // namespace

void TNMHTTP::Abort()
{
    AsyncDone = true;  // a pending host lookup stops waiting at once
    Cancel();
}

void TNMHTTP::Request(CmdType kind, const std::string& url)
{
    url_ = url;
    kind_ = kind;
    net::Finally clearRange{[this] {
        RangeFrom = 0;
        IfRange.clear();
        IfModifiedSince.clear();
        BodyFile = -1;
    }};
    ProcessRequest();
}

void TNMHTTP::Get(const std::string& url) { Request(CmdType::Get, url); }
void TNMHTTP::Options(const std::string& url) { Request(CmdType::Options, url); }
void TNMHTTP::Head(const std::string& url) { Request(CmdType::Head, url); }
void TNMHTTP::Delete(const std::string& url) { Request(CmdType::Delete, url); }

void TNMHTTP::Post(const std::string& url, const std::string& postData)
{
    if (OutputFileMode) {
        sendData_ = postData;
    } else {
        TNMURL decoder;
        decoder.InputString = postData;
        sendData_ = decoder.Decode();
    }
    Request(CmdType::Post, url);
}

void TNMHTTP::Put(const std::string& url, const std::string& data)
{
    sendData_ = data;
    Request(CmdType::Put, url);
}

void TNMHTTP::Patch(const std::string& url, const std::string& data)
{
    sendData_ = data;
    Request(CmdType::Patch, url);
}

void TNMHTTP::Trace(const std::string& url, const std::string& data)
{
    sendData_ = data;
    Request(CmdType::Trace, url);
}

void TNMHTTP::Copy(const std::string& url, const std::string& destination)
{
    linkValue_ = destination;
    Request(CmdType::Copy, url);
}

void TNMHTTP::Move(const std::string& url, const std::string& destination)
{
    linkValue_ = destination;
    Request(CmdType::Move, url);
}

void TNMHTTP::Link(const std::string& url, const std::string& link)
{
    linkValue_ = link;
    sendData_ = SendDatResource;
    Request(CmdType::Link, url);
}

void TNMHTTP::Unlink(const std::string& url, const std::string& link)
{
    linkValue_ = link;
    sendData_ = SendDatResource;
    Request(CmdType::Unlink, url);
}

void TNMHTTP::ProcessRequest()
{
    for (int repetitions = 0;; ++repetitions) {
        // A server that keeps redirecting (or repeats a redirect code without a location)
        // would otherwise hold the request for ever.
        if (repetitions > MaxRepetitions)
            throw Exception(_("リダイレクトの回数が上限 (20 回) を超えました"));
        ParseURL();
        BuildRequestHeader();
        if (OnAboutToSend)
            OnAboutToSend(this);
        // Leftovers of an aborted request must not pose as this reply, and a kept connection
        // that brought bytes nobody asked for cannot be trusted with the next one.
        if (BufferedCount() > 0)
            keptOpen_ = false;
        ClearInput();
        if (KeepAlive) {
            Exchange();
        } else {
            Connect();
            try {
                RunRequest();
            } catch (...) {
                try {
                    Disconnect();
                } catch (...) {
                    // the failure that ended the request is the one worth reporting
                }
                throw;
            }
            Disconnect();
        }

        // 304 says the body did not change: an answer, not a way to another one.
        const bool redirect = ReplyNumber > 299 && ReplyNumber < 399 && ReplyNumber != 304;
        if (redirect) {
            bool handled = false;
            if (!receivedCookie_.empty()) {
                HeaderInfo.Cookie = serverCookie_ = receivedCookie_;
                cookieHost_ = Host;
            }
            if (OnRedirect)
                OnRedirect(handled);
            if (handled)
                return;
            if (url_.find('/') == std::string::npos)
                url_ = "http://" + HostAndPort() + "/" + url_;
        }
        if (ReplyNumber == 401 && OnAuthenticationNeeded)
            OnAuthenticationNeeded(this);
        if (ReplyNumber < 299 || ReplyNumber > 399 || ReplyNumber == 304)
            return;
    }
}

void TNMHTTP::RunRequest()
{
    const std::string request = Verbs[static_cast<int>(kind_)] + requestPath_;
    Step = platform::Fill(_("request %1 to %2"), {request, PeerText()});
    SendRequest();
    Step = platform::Fill(_("reply to %1 from %2"), {request, PeerText()});
    ReadReplyHeader();
    ReceiveBody();
    ReportOutcome();
}

// A kept connection the server has closed meanwhile fails before the reply's first byte, as does
// one reset at once: the request then goes once more on a fresh connection (GETs bear repeating).
void TNMHTTP::Exchange()
{
    const CmdType kind = kind_;
    for (int attempt = 0;; ++attempt) {
        bool reused = false;
        OpenConnection(reused);
        const long long arrived = BytesArrived;
        try {
            RunRequest();
        } catch (const EAbortError&) {
            FinishRequest(true);
            throw;
        } catch (const ESockError&) {
            FinishRequest(true);
            const bool unanswered = BytesArrived == arrived && !Cancelled();
            if (attempt > 0 || !unanswered || !(reused || StopReason == TStopReason::ServerDrop))
                throw;
            kind_ = kind;
            ClearInput();
            continue;
        } catch (...) {
            FinishRequest(true);
            throw;
        }
        FinishRequest(false);
        return;
    }
}

// The connection kept from the last request serves when it is still open to the same peer and
// nothing (a cancel while idle, a drop) has stopped it since.
void TNMHTTP::OpenConnection(bool& reused)
{
    reused = keptOpen_ && Connected && keptPeer_ == PeerText() && StopReason == TStopReason::None && KeptIdle();
    if (reused) {
        BeginOperation();
        return;
    }
    // A kept connection that cannot serve (another peer, unasked bytes, a stop) goes first.
    if (keptOpen_ || Connected) {
        keptOpen_ = false;
        Disconnect();
    }
    Connect();
    keptPeer_ = PeerText();
}

// Only a reply read to its exact end leaves its connection fit for the next request.
void TNMHTTP::FinishRequest(bool failed)
{
    keptOpen_ = !failed && bodyExact_ && !replyCloses_ && BufferedCount() == 0;
    keptAtPass_ = platform::PassCount();
    if (keptOpen_)
        return;
    try {
        Disconnect();
    } catch (...) {
        if (!failed)
            throw;
    }
}

// Nothing came over the kept connection while it was idle. A pass of the loop since it was kept
// has read what came (or the close) into the input buffer, which then tells without asking the
// socket.
bool TNMHTTP::KeptIdle() const
{
    return platform::PassCount() != keptAtPass_ ? BufferedCount() == 0 : platform::SocketIdle(SocketHandle);
}

// A bare-name location stays on the server that sent it, port included.
std::string TNMHTTP::HostAndPort() const
{
    return Port == 80 ? Host : Host + ":" + std::to_string(Port);
}

void TNMHTTP::ParseURL()
{
    if (url_.empty())
        throw Exception(_("URL が空白です"));
    if (Port == 0)
        Port = 80;

    // A URL without a path asks for the root, and gains the "/" it lacks once its host is read.
    const std::optional<std::string> path = PathOf(url_);
    requestPath_ = path ? path->substr(0, MaxCopiedText) : std::string(1, '/');

    if (const size_t colon = url_.find(':'); colon != std::string::npos) {
        const std::string scheme = LowerCase(url_.substr(0, colon));
        Port = scheme == "gopher" ? 70 : scheme == "ftp" ? 21 : 80;
    }

    std::string hostText;
    if (Contains(url_, "//"))
        hostText = ExtractField(url_, '/', 3);
    else if (url_[0] != '/')
        hostText = ExtractField(url_, '/', 1);
    if (const size_t colon = hostText.find(':'); colon != std::string::npos) {
        Port = PortNumber(ExtractField(hostText, ':', 2));
        hostText.resize(colon);
    }
    if (!hostText.empty())
        Host = hostText;

    if (!path)
        url_ += '/';
}

std::string TNMHTTP::AuthorizationValue() const
{
    TMemoryStream input(HeaderInfo.UserId + ":" + HeaderInfo.Password);
    TMemoryStream output;
    TNMUUProcessor encoder;
    encoder.InputStream = &input;
    encoder.OutputStream = &output;
    encoder.Encode();
    std::string joined = output.DataString();
    std::erase_if(joined, [](char c) { return c == '\r' || c == '\n'; });
    return "Basic " + joined;
}

long long TNMHTTP::SendDataLength() const
{
    if (!OutputFileMode)
        return static_cast<long long>(sendData_.size());
    FilePtr file(std::fopen(platform::NativePath(sendData_).c_str(), "rb"));
    if (!file)
        throw EInOutError(platform::Fill(_("ファイル %1 を開けません"), {sendData_}));
    std::fseek(file.get(), 0, SEEK_END);
    return std::ftell(file.get());
}

void TNMHTTP::BuildRequestHeader()
{
    headerList_.Clear();
    const std::string target = Proxy.empty() ? requestPath_ : url_;
    headerList_.Add(Verbs[static_cast<int>(kind_)] + target + (KeepAlive ? " HTTP/1.1" : " HTTP/1.0"));
    const std::string hostValue = KeepAlive ? HostAndPort() : Host;
    if (!Proxy.empty()) {
        headerList_.Add("Proxy-Connection: Keep-Alive");
        headerList_.Add("Host: " + hostValue);
    }
    headerList_.SetHeader("Host", hostValue);
    headerList_.Add("Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff");
    headerList_.Add("Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript");
    if (!HeaderInfo.LocalMailAddress.empty())
        headerList_.SetHeader("User-Agent", HeaderInfo.LocalMailAddress);
    if (!HeaderInfo.LocalProgram.empty())
        headerList_.SetHeader("From", HeaderInfo.LocalProgram);
    if (!HeaderInfo.Cookie.empty() && CookieGoesTo(Host))
        headerList_.SetHeader("Cookie", HeaderInfo.Cookie);
    if (!HeaderInfo.Referer.empty())
        headerList_.SetHeader("Referer", HeaderInfo.Referer);
    if (!HeaderInfo.UserId.empty() && !HeaderInfo.Password.empty())
        headerList_.SetHeader("Authorization", AuthorizationValue());
    if (RangeFrom > 0 && kind_ == CmdType::Get) {
        headerList_.Add("Range: bytes=" + std::to_string(RangeFrom) + "-");
        if (!IfRange.empty())
            headerList_.Add("If-Range: " + IfRange);
    }
    if (!IfModifiedSince.empty() && kind_ == CmdType::Get)
        headerList_.Add("If-Modified-Since: " + IfModifiedSince);
    headerList_.Add("Content-type: application/x-www-form-urlencoded");
    switch (kind_) {
    case CmdType::Copy:
    case CmdType::Move:
        headerList_.Add("URI-header: " + linkValue_);
        break;
    case CmdType::Link:
    case CmdType::Unlink:
        headerList_.Add("Link: " + linkValue_);
        break;
    case CmdType::Post:
    case CmdType::Put:
    case CmdType::Patch:
    case CmdType::Trace:
        // Link and Unlink send no body, so they announce no length either.
        headerList_.Add("Content-Length: " + std::to_string(SendDataLength()));
        break;
    default:
        break;
    }
    headerList_.Add("");
}

// Sent in pieces the transport takes whole, so a long head or body is never cut short.
void TNMHTTP::SendBytes(const std::string& bytes)
{
    constexpr size_t Piece = 16384;
    for (size_t offset = 0; offset < bytes.size(); offset += Piece) {
        const size_t n = std::min(Piece, bytes.size() - offset);
        SendBuffer(bytes.data() + offset, static_cast<unsigned>(n));
    }
}

void TNMHTTP::SendRequest()
{
    ReportStatus(8, "書込");
    SendBytes(headerList_.Text());
    switch (kind_) {
    case CmdType::Post:
    case CmdType::Put:
    case CmdType::Patch:
    case CmdType::Trace:
        if (OutputFileMode)
            SendFile(sendData_);
        else
            SendBytes(sendData_);
        break;
    default:
        break;
    }
    sentKind_ = kind_;
    kind_ = CmdType::Get;
}

void TNMHTTP::ReadReplyHeader()
{
    BytesTotal = 0;
    lengthAnnounced_ = false;
    transferEncoding_.clear();
    connection_.clear();
    receivedCookie_.clear();
    LastModified.clear();
    ETag.clear();
    RangeStart = RangeWhole = RetryAfter = -1;
    Appending = DiscardBody = CutShort = replyKeepsOpen_ = false;
    FilePtr headerFile;
    if (OutputFileMode) {
        headerFile.reset(std::fopen(platform::NativePath(Header).c_str(), "wb"));
        if (!headerFile)
            throw EInOutError(platform::Fill(_("ファイル %1 を作成できません"), {Header}));
    } else {
        Header.clear();
    }

    size_t headBytes = 0;
    auto readLine = [&] {
        std::string line = ReadLn();
        headBytes += line.size();
        if (line.empty() || line.back() != '\n')
            RefuseReply(_("応答ヘッダの途中で接続が閉じられました"), _("closed by the server inside the reply head"));
        if (headBytes > MaxReplyHead)
            RefuseReply(HeadTooLargeText(), _("a reply head of more than 1 MiB"));
        return line;
    };
    auto store = [&](const std::string& line) {
        if (!headerFile)
            Header += line;
        else if (std::fwrite(line.data(), 1, line.size(), headerFile.get()) != line.size())
            throw EInOutError(platform::Fill(_("ファイル %1 に書き込めません"), {Header}));
    };

    // Interim replies (100 Continue, 103 Early Hints) only announce the final one.
    std::string statusLine;
    for (;;) {
        statusLine = readLine();
        ReplyNumber = StatusCode(statusLine);
        if (ReplyNumber < 100 || ReplyNumber > 199 || ReplyNumber == 101)
            break;
        while (WithoutLineEnd(readLine()) != "") {
        }
    }
    // Without a code a kept connection's framing is unknown: such a reply cannot be used.
    if (KeepAlive && (ReplyNumber < 100 || ReplyNumber == 101))
        RefuseReply(platform::Fill(_("unusable reply: %1"), {WithoutLineEnd(statusLine).substr(0, 80)}),
                    _("a reply without a status code"));
    store(statusLine);
    for (;;) {
        const std::string line = readLine();
        NoteHeaderLine(line);
        store(line);
        if (line == "\n" || line == "\r\n")
            break;
    }
    if (headerFile && std::fflush(headerFile.get()) != 0)
        throw EInOutError(platform::Fill(_("ファイル %1 に書き込めません"), {Header}));
    // An HTTP/1.0 server ends its connection after the reply unless it offers to keep it.
    replyCloses_ = Contains(connection_, "CLOSE") ||
                   (UpperCase(statusLine).starts_with("HTTP/1.0") && !Contains(connection_, "KEEP-ALIVE"));
    replyKeepsOpen_ = replyKeepsOpen_ || Contains(connection_, "KEEP-ALIVE");
    // Our HTTP/1.0 request asks for no framing: a body in any other coding cannot be stored.
    const bool chunked = KeepAlive && transferEncoding_ == "CHUNKED";
    if (!transferEncoding_.empty() && transferEncoding_ != "IDENTITY" && !chunked)
        RefuseReply(platform::Fill(_("解読できない転送符号化の応答です: %1"), {transferEncoding_}),
                    platform::Fill(_("transfer coding %1 not supported"), {transferEncoding_}));
    if (OnReplyHead)
        OnReplyHead(this);
}

// A location or cookie with a control character is not taken: it could split our next request.
void TNMHTTP::NoteHeaderLine(const std::string& line)
{
    const std::string upper = UpperCase(line);
    const std::string name = ExtractField(upper, ' ', 1);
    if (name == "SET-COOKIE:" && !HasControl(CopiedValue(line, 13)))
        receivedCookie_ = CopiedValue(line, 13);
    if (name == "LOCATION:" && !HasControl(CopiedValue(line, 11)))
        url_ = CopiedValue(line, 11);
    if (name == "CONTENT-LENGTH:") {
        BytesTotal = FirstNumber(upper.substr(16));
        lengthAnnounced_ = true;
    }
    if (name == "TRANSFER-ENCODING:")
        transferEncoding_ = Trimmed(WithoutLineEnd(upper.substr(19)));
    if (name == "CONNECTION:")
        connection_ = WithoutLineEnd(upper.substr(11));
    if (name == "PROXY-CONNECTION:" && Contains(upper, "KEEP-ALIVE"))
        replyKeepsOpen_ = true;
    if (name == "ETAG:" && !HasControl(CopiedValue(line, 6)))
        ETag = Trimmed(CopiedValue(line, 6));
    if (name == "LAST-MODIFIED:" && !HasControl(CopiedValue(line, 15)))
        LastModified = Trimmed(CopiedValue(line, 15));
    if (name == "CONTENT-RANGE:")
        NoteContentRange(Trimmed(WithoutLineEnd(upper.substr(15))));
    if (name == "RETRY-AFTER:") {
        const std::string value = Trimmed(WithoutLineEnd(upper.substr(13)));
        RetryAfter = AllDigits(value) && value.size() <= 9 ? std::stoll(value) : -1;
    }
}

// "BYTES first-last/whole"; anything else leaves the range unknown.
void TNMHTTP::NoteContentRange(const std::string& value)
{
    if (!value.starts_with("BYTES "))
        return;
    const size_t dash = value.find('-');
    const size_t slash = value.find('/');
    const std::string first = Trimmed(value.substr(6, dash == std::string::npos ? 0 : dash - 6));
    const std::string whole = slash == std::string::npos ? "" : Trimmed(value.substr(slash + 1));
    if (dash < slash && AllDigits(first) && first.size() <= 18)
        RangeStart = std::stoll(first);
    if (AllDigits(whole) && whole.size() <= 18)
        RangeWhole = std::stoll(whole);
}

void TNMHTTP::RefuseCutShort(const std::string& text, const std::string& reason)
{
    CutShort = true;
    RefuseReply(text, reason);
}

void TNMHTTP::RefuseReply(const std::string& text, const std::string& reason)
{
    RecordStop(TStopReason::BadReply);
    throw ESockError(FailureText(text, Step, reason));
}

bool TNMHTTP::CookieGoesTo(const std::string& host) const
{
    return HeaderInfo.Cookie != serverCookie_ || LowerCase(host) == LowerCase(cookieHost_);
}

long long TNMHTTP::BodyLimit() const
{
    long long limit = UnsizedBodyLimit;
    if (limit > 0 && lengthAnnounced_)
        limit = std::max(limit, BytesTotal);
    if (MaxBodySize > 0 && (limit == 0 || MaxBodySize < limit))
        limit = MaxBodySize;
    return limit;
}

// A body shorter than announced is a broken one; one that has all its bytes may end in a reset.
void TNMHTTP::CheckBodyComplete()
{
    if (NoBody() || (lengthAnnounced_ && CapturedCount() >= BytesTotal))
        return;
    RaiseIfDropped();
    if (lengthAnnounced_)
        RefuseCutShort(ShortBodyText(), platform::Fill(_("received %1 of %2 bytes"),
                                                    {std::to_string(CapturedCount()), std::to_string(BytesTotal)}));
}

bool TNMHTTP::NoBody() const
{
    return sentKind_ == CmdType::Head || ReplyNumber == 204 || ReplyNumber == 304;
}

bool TNMHTTP::BodyIsFramed() const
{
    return NoBody() || lengthAnnounced_ || transferEncoding_ == "CHUNKED";
}

void TNMHTTP::ReceiveBody()
{
    bodyExact_ = false;
    if (DiscardBody)
        return;
    // A proxy that keeps the connection after a sized reply would hold a read to the close until
    // its idle time-out: such a body ends at its length, and the connection is closed after it.
    if ((KeepAlive && BodyIsFramed()) || (lengthAnnounced_ && replyKeepsOpen_)) {
        ReceiveFramedBody();
        bodyExact_ = true;
        return;
    }
    CaptureLimit = BodyLimit();
    try {
        if (InputFileMode && BodyFile >= 0) {
            CaptureFile(BodyFile, Body);
        } else if (InputFileMode) {
            CaptureFile(Body, Appending);
        } else {
            Body.clear();
            CaptureString(Body, -1);
        }
    } catch (const EAbortError&) {
        throw;
    } catch (const ESockError&) {
        if (StopReason != TStopReason::ServerDrop)
            throw;
    }
    CheckBodyComplete();
}

void TNMHTTP::ReportOutcome()
{
    if (ReplyNumber < 299) {
        if (OnSuccess)
            OnSuccess(sentKind_);
        ReportStatus(2, _("処理を完了しました"));
    } else if (ReplyNumber > 399) {
        if (OnFailure)
            OnFailure(sentKind_);
    }
}

// A framed body is read through the input buffer and no further than its end: what follows it
// on the connection belongs to the next reply.
void TNMHTTP::ReceiveFramedBody()
{
    CaptureLimit = BodyLimit();
    platform::UniqueFd opened;
    int file = -1;
    if (InputFileMode && BodyFile >= 0) {
        file = BodyFile;
    } else if (InputFileMode) {
        opened = platform::OpenForWriting(Body, Appending);
        if (!opened)
            throw EInOutError(platform::Fill(_("ファイル %1 を作成できません"), {Body}));
        file = opened.Get();
    } else {
        Body.clear();
    }
    TransferActive = true;
    net::Finally restore{[this] { TransferActive = false; }};
    BytesRecvd = 0;
    BeginCaptureCount();
    if (transferEncoding_ == "CHUNKED" && !NoBody()) {
        for (long long size; (size = ChunkSize(ChunkLine())) > 0;) {
            TakeBodyBytes(size, file, true);
            if (!WithoutLineEnd(ChunkLine()).empty())
                RefuseReply(BadChunkText(), _("no line end after a chunk"));
        }
        // Trailer lines carry nothing we keep, and are capped as a reply head is.
        size_t trailer = 0;
        for (std::string line; !WithoutLineEnd(line = ChunkLine()).empty();)
            if ((trailer += line.size()) > MaxReplyHead)
                RefuseReply(HeadTooLargeText(), _("a reply head of more than 1 MiB"));
    } else if (!NoBody()) {
        TakeBodyBytes(BytesTotal, file, false);
    }
    // The close may still fail to write the file's last data.
    if (opened && !opened.Close())
        throw EInOutError(platform::Fill(_("ファイル %1 に書き込めません"), {Body}));
}

// The bytes go from the input buffer straight into the file, or into Body when there is none.
void TNMHTTP::TakeBodyBytes(long long count, int file, bool chunked)
{
    // A stop ends the body as it ends a capture into the same place.
    const char* stopText = file >= 0 ? _("ソケット送信失敗") : _("ソケットキャプチャ失敗");
    while (count > 0) {
        if (Cancelled())
            RaiseStopped(stopText);
        if (BufferedCount() == 0) {
            if (!Connected) {
                RaiseIfDropped();
                if (chunked)
                    RefuseCutShort(ChunkedCutShortText(), BodyClosedText());
                RefuseCutShort(ShortBodyText(), platform::Fill(_("received %1 of %2 bytes"),
                                                            {std::to_string(CapturedCount()), std::to_string(BytesTotal)}));
            }
            WaitPass();
            continue;
        }
        const size_t take = static_cast<size_t>(std::min<long long>(count, static_cast<long long>(BufferedCount())));
        if (file < 0)
            Body.append(BufferedData(), take);
        else if (!platform::WriteAll(file, BufferedData(), take))
            throw EInOutError(platform::Fill(_("ファイル %1 に書き込めません"), {Body}));
        ConsumeInput(take);
        count -= static_cast<long long>(take);
        NoteCaptured(take);
        if (Cancelled())
            RaiseStopped(stopText);
    }
}

// A line of the chunked framing; the server closing inside it cuts the body short.
std::string TNMHTTP::ChunkLine()
{
    std::string line;
    try {
        line = ReadLn();
    } catch (const EAbortError&) {
        throw;
    } catch (const ESockError&) {
        if (Cancelled() || StopReason == TStopReason::ServerDrop)
            throw;
        RefuseCutShort(ChunkedCutShortText(), BodyClosedText());
    }
    if (line.empty() || line.back() != '\n')
        RefuseCutShort(ChunkedCutShortText(), BodyClosedText());
    return line;
}

// A chunk's size in hex, before any extension after ";".
long long TNMHTTP::ChunkSize(const std::string& line)
{
    const std::string text = WithoutLineEnd(line);
    const std::string field = Trimmed(text.substr(0, text.find(';')));
    long long value = -1;
    const char* end = field.data() + field.size();
    const auto result = std::from_chars(field.data(), end, value, 16);
    if (field.empty() || result.ec != std::errc() || result.ptr != end || value < 0)
        RefuseReply(BadChunkText(), platform::Fill(_("chunk size '%1'"), {field.substr(0, 32)}));
    return value;
}
