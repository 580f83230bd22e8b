#include "net/NMHttp.h"

#include "net/NMURL.h"
#include "net/NMUUE.h"
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

const char* CompletedText()
{
    return _("処理を完了しました");
}

const char* EmptyUrlText()
{
    return _("URL が空白です");
}

const char* TooManyRedirectsText()
{
    return _("リダイレクトの回数が上限 (20 回) を超えました");
}

const char* HeadCutShortText()
{
    return _("応答ヘッダの途中で接続が閉じられました");
}

const char* HeadTooLargeText()
{
    return _("応答ヘッダが大きすぎます (1 MiB 超)");
}

const char* ShortBodyText()
{
    return _("応答本体が Content-Length より短いまま接続が閉じられました");
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
            throw Exception(TooManyRedirectsText());
        ParseURL();
        BuildRequestHeader();
        if (OnAboutToSend)
            OnAboutToSend(this);
        ClearInput();  // leftovers of an aborted request must not pose as this reply
        Connect();
        try {
            const std::string request = Verbs[static_cast<int>(kind_)] + requestPath_;
            Step = platform::Fill(_("request %1 to %2"), {request, PeerText()});
            SendRequest();
            Step = platform::Fill(_("reply to %1 from %2"), {request, PeerText()});
            ReadReplyHeader();
            ReceiveBody();
            ReportOutcome();
        } catch (...) {
            try {
                Disconnect();
            } catch (...) {
                // the failure that ended the request is the one worth reporting
            }
            throw;
        }
        Disconnect();

        if (ReplyNumber > 299 && ReplyNumber < 399) {
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
        if (ReplyNumber < 299 || ReplyNumber > 399)
            return;
    }
}

// A bare-name location stays on the server that sent it, port included.
std::string TNMHTTP::HostAndPort() const
{
    return Port == 80 ? Host : Host + ":" + std::to_string(Port);
}

void TNMHTTP::ParseURL()
{
    if (url_.empty())
        throw Exception(EmptyUrlText());
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
    headerList_.Add(Verbs[static_cast<int>(kind_)] + target + " HTTP/1.0");
    if (!Proxy.empty()) {
        headerList_.Add("Proxy-Connection: Keep-Alive");
        headerList_.Add("Host: " + Host);
    }
    headerList_.SetHeader("Host", Host);
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
    receivedCookie_.clear();
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
            RefuseReply(HeadCutShortText(), _("closed by the server inside the reply head"));
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

    const std::string statusLine = readLine();
    ReplyNumber = StatusCode(statusLine);
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
    // Our HTTP/1.0 request asks for no framing: a body in any other coding cannot be stored.
    if (!transferEncoding_.empty() && transferEncoding_ != "IDENTITY")
        RefuseReply(platform::Fill(_("解読できない転送符号化の応答です: %1"), {transferEncoding_}),
                    platform::Fill(_("transfer coding %1 not supported"), {transferEncoding_}));
}

// Step 4 of the reply head. A location or cookie with a control character is not taken.
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
    const bool noBody = sentKind_ == CmdType::Head || ReplyNumber == 204 || ReplyNumber == 304;
    if (noBody || (lengthAnnounced_ && CapturedCount() >= BytesTotal))
        return;
    RaiseIfDropped();
    if (lengthAnnounced_)
        RefuseReply(ShortBodyText(), platform::Fill(_("received %1 of %2 bytes"),
                                                    {std::to_string(CapturedCount()), std::to_string(BytesTotal)}));
}

void TNMHTTP::ReceiveBody()
{
    CaptureLimit = BodyLimit();
    try {
        if (InputFileMode) {
            CaptureFile(Body);
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
        ReportStatus(2, CompletedText());
    } else if (ReplyNumber > 399) {
        if (OnFailure)
            OnFailure(sentKind_);
    }
}
