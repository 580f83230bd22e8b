#include "net/NMFtp.h"

#include "platform/catalogue.h"
#include "platform/files.h"
#include "platform/text.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

bool Between(int value, int low, int high)
{
    return value >= low && value <= high;
}

constexpr char Digits[] = "0123456789";

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A reply goes on after a line that begins with a blank or has "-" as its fourth character.
bool Continues(const std::string& line)
{
    return (!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-');
}

// The number a reply line begins with, -1 when it begins with no digit.
int LeadingNumber(const std::string& line)
{
    int value = 0;
    size_t i = 0;
    for (; i < line.size() && i < 9 && IsDigit(line[i]); ++i)
        value = value * 10 + (line[i] - '0');
    return i == 0 ? -1 : value;
}

// What a capture wrote. The transport does not count bytes that arrive together with the
// server's close, and on a fast line that can be the whole file.
long long FileSize(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(platform::NativePath(path), error);
    return error ? -1 : static_cast<long long>(size);
}

std::string ReceivedText(long long bytes)
{
    return platform::Fill(_("受信 %1 Bytes"), {std::to_string(bytes)});
}

bool IsServerDrop(const char* bytes, size_t size)
{
    return size > 3 && (std::memcmp(bytes, "421", 3) == 0 || std::memcmp(bytes, "426", 3) == 0);
}

// The reply line with the step it answered named before its line end, so the line still reads
// as the server's own and ends as it did.
std::string WithStep(const std::string& reply, const std::string& step)
{
    const size_t end = reply.find_last_not_of("\r\n") + 1;  // npos + 1 is 0
    return reply.substr(0, end) + " (" + step + ")" + reply.substr(end);
}

// A line from the server as a message may quote it: no line end, no control characters, and
// not more than a screen line of it.
std::string PrintableLine(const std::string& line)
{
    constexpr size_t Shown = 120;
    std::string text = line.substr(0, line.find_last_not_of("\r\n") + 1);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    if (text.size() <= Shown)
        return text;
    size_t cut = Shown;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;  // not inside a UTF-8 character
    return text.substr(0, cut) + "...";
}

// The time-out that GiveUp raised; a wait around the one that gave up passes it on as it is.
class EWaitExpired : public ESockError {
public:
    using ESockError::ESockError;
};

}  // namespace

// Keeps the wait watchdog running for as long as one wait lasts. A wait inside another keeps
// the outer one's deadline but says what it waits for itself.
class TNMFTP::Watch {
public:
    Watch(TNMFTP& client, Phase phase) : client_(client), outer_(client.phase_)
    {
        client_.phase_ = phase;
        client_.StartWatch();
    }
    ~Watch()
    {
        client_.StopWatch();
        client_.phase_ = outer_;
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

private:
    TNMFTP& client_;
    Phase outer_;
};

// Runs one wait under the watchdog. A wait that the watchdog ended, or that ended in the very
// pass the watchdog fired, gives up: the cancel it set would otherwise linger.
template <typename F>
auto TNMFTP::Watched(Phase phase, F&& wait)
{
    Watch watch(*this, phase);
    try {
        if constexpr (std::is_void_v<decltype(wait())>) {
            wait();
            if (TimedOut())
                GiveUp();
        } else {
            auto result = wait();
            if (TimedOut())
                GiveUp();
            return result;
        }
    } catch (const EWaitExpired&) {
        throw;
    } catch (const ESockError&) {
        if (TimedOut())
            GiveUp();
        throw;
    }
}

// ---------------------------------------------------------------------------------------------
// Construction

TNMFTP::TNMFTP() : watchdog_(std::make_unique<TThreadTimer>())
{
    Port = 21;
    watchdog_->SetEnabled(false);
    watchdog_->SetOnTimer([this](TComponent*) { WatchTick(); });
}

TNMFTP::~TNMFTP()
{
    // The owner may be half destroyed by now: nothing it handed us may be called any more.
    OnStatus = nullptr;
    OnDisconnect = nullptr;
    OnError = nullptr;
    OnFailure = nullptr;
    OnSuccess = nullptr;
    OnUnSupportedFunction = nullptr;
    Cancel();
    if (Connected) {
        try {
            Disconnect();
        } catch (const std::exception&) {
            // A failed good-bye while going away has nobody left to tell.
        }
    }
    DirectoryList.reset();
    DataSocket.reset();
}

// ---------------------------------------------------------------------------------------------
// The wait watchdog

// The watchdog ticks while any wait runs, a limit of 0 included, so that a limit set while the
// wait runs still counts for it.
void TNMFTP::StartWatch()
{
    if (watchDepth_++ > 0)
        return;
    watchFrom_ = Clock::now();
    watchdog_->SetInterval(TickInterval());
    watchdog_->SetEnabled(true);
}

unsigned TNMFTP::TickInterval() const
{
    return static_cast<unsigned>(WaitLimit > 0 ? std::clamp(WaitLimit / 4, 10, 1000) : 1000);
}

void TNMFTP::StopWatch()
{
    if (--watchDepth_ == 0)
        watchdog_->SetEnabled(false);
}

// Only the data of a transfer moves its deadline: bytes on the control connection do not, or a
// server could keep any wait alive with a trickle of reply lines.
void TNMFTP::NoteDataProgress()
{
    if (phase_ == Phase::Data)
        watchFrom_ = Clock::now();
}

// The limit is read at every tick, not once when the wait starts: a limit lowered meanwhile
// (the window closing) bounds the wait that is already running.
void TNMFTP::WatchTick()
{
    if (watchDepth_ == 0 || TimedOut())
        return;
    watchdog_->SetInterval(TickInterval());
    if (WaitLimit <= 0 || Clock::now() - watchFrom_ < std::chrono::milliseconds(WaitLimit))
        return;
    // Every wait of the transport ends on this stop; GiveUp turns it into the time-out error.
    RecordStop(TStopReason::TimeOut);
    if (DataSocket)
        DataSocket->Stop(TStopReason::TimeOut);
}

// After a silent or runaway server the reply stream cannot be trusted: the session is over,
// closed as a log-out closes it, so the next log-in starts afresh.
void TNMFTP::DropSession()
{
    replyOwed_ = false;
    DirectoryList.reset();
    Vendor = VendorDetect;
    if (Connected) {
        try {
            TPowersock::Disconnect();
        } catch (const std::exception&) {
            // The reason the session ends is the news; a failed close adds nothing to it.
        }
    }
}

void TNMFTP::GiveUp()
{
    DropSession();
    throw EWaitExpired(
        FailureText(ErrorText(platform::WSAETIMEDOUT), Step, TimedOutText(WaitLimit) + AwaitedText(phase_)));
}

// A silent greeting is what a server of another protocol (a web server) gives: say so.
const char* TNMFTP::AwaitedText(Phase phase)
{
    switch (phase) {
    case Phase::Greeting:
        return " waiting for the greeting, which an FTP server sends at once";
    case Phase::Reply:
        return " waiting for the reply";
    case Phase::Accept:
        return " waiting for the data connection";
    case Phase::Data:
        return " waiting for data";
    default:
        return "";
    }
}

// ---------------------------------------------------------------------------------------------
// Replies

std::string TNMFTP::SendCommand(const std::string& command)
{
    return Watched(Phase::Reply, [this, &command] {
        const std::string first = TPowersock::SendCommand(command);
        ReadReplyRest(first);
        return first;
    });
}

std::string TNMFTP::ReadReplyRest(std::string line)
{
    return Watched(Phase::Reply, [this, &line] {
        int lines = 0;
        size_t bytes = 0;
        while (Continues(line))
            line = NextReplyLine(lines, bytes);
        return line;
    });
}

// One more line of a reply that goes on; `lines` and `bytes` count what the reply has had.
std::string TNMFTP::NextReplyLine(int& lines, size_t& bytes)
{
    std::string line = ReadLn();
    ReportStatus(1, line);
    bytes += line.size();
    if (++lines > MaxReplyLines || bytes > MaxReplyBytes) {
        DropSession();  // the rest of the reply would be read as the answer to what follows
        throw ESockError(FailureText(_("応答が長すぎます"), Step,
                                     platform::Fill(_("a reply of more than %1 lines or %2 KiB"),
                                                    {std::to_string(MaxReplyLines), std::to_string(MaxReplyBytes / 1024)})));
    }
    return line;
}

// A 421 or 426 that arrives while no reply is awaited (the data connection is, or its data)
// ends that wait: it is the server's final word on the transfer. Its first bytes are enough.
bool TNMFTP::ServerDropArriving() const
{
    return IsServerDrop(BufferedData(), BufferedCount());
}

long long TNMFTP::ReplyByteCount(const std::string& reply)
{
    const std::string upper = UpperCase(reply);
    const size_t word = upper.find("BYTE");
    if (word == std::string::npos)
        return 0;
    // The run of digits nearest to the left of the word.
    const size_t last = upper.find_last_of(Digits, word);
    if (last == std::string::npos)
        return 0;
    const size_t first = upper.find_last_not_of(Digits, last) + 1;  // npos + 1 is 0
    long long value = 0;
    const auto result = std::from_chars(upper.data() + first, upper.data() + last + 1, value);
    return result.ec == std::errc() ? value : 0;
}

long long TNMFTP::AnnouncedByteCount(const std::string& reply)
{
    constexpr std::string_view Word = " BYTES)";
    std::string text = UpperCase(reply);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (!text.ends_with(Word))
        return 0;
    const size_t end = text.size() - Word.size();
    if (end < 3)
        return 0;
    const size_t start = text.find_last_not_of(Digits, end - 1) + 1;  // npos + 1 is 0
    if (start == end || start < 2 || text.compare(start - 2, 2, " (") != 0)
        return 0;
    long long value = 0;
    const auto result = std::from_chars(text.data() + start, text.data() + end, value);
    return result.ec == std::errc() ? value : 0;
}

int TNMFTP::VendorFromSystem(const std::string& systemReply)
{
    // "VMS" and "MVS" before "VM": the first word found wins.
    static const std::pair<const char*, int> table[] = {
        {"UNIX", VendorUnix}, {"NETWARE", VendorNetware}, {"DOS", VendorDos}, {"VMS", VendorVms},
        {"MVS", VendorMvs},   {"VM", VendorVm},           {"MACOS", VendorMacOs}, {"OS/400", VendorOs400},
    };
    for (const auto& [word, vendor] : table)
        if (systemReply.find(word) != std::string::npos)
            return vendor;
    return VendorOther;
}

TCmdType TNMFTP::CommandType(const std::string& command)
{
    const std::string word = ExtractField(command, ' ', 1);
    if (word == "CWD")
        return TCmdType::CmdCwd;
    if (word == "DELE")
        return TCmdType::CmdDele;
    if (word == "MKD")
        return TCmdType::CmdMkd;
    if (word == "RMD")
        return TCmdType::CmdRmd;
    if (command == "PWD")
        return TCmdType::CmdPwd;
    return TCmdType::CmdOther;
}

// Returns only when OnFailure took the failure on itself.
void TNMFTP::Refuse(TCmdType type, const std::string& reply, bool offerUnsupported, const std::string& step)
{
    if (offerUnsupported && Between(ReplyNumber, 500, 502) && OnUnSupportedFunction)
        OnUnSupportedFunction(type);
    bool handled = false;
    if (OnFailure)
        OnFailure(handled, type);
    if (!handled)
        throw FTPException(WithStep(reply, step));
}

// `what` ends in a preposition: "download of a.gif from" names the server after it. The data
// connection of the step is named by it too.
void TNMFTP::BeginStep(const std::string& step)
{
    Step = step;
    if (DataSocket)
        DataSocket->Step = Step;
}

// A server whose first line is no FTP reply speaks another protocol: say so at once rather than
// go on to a log-in that it cannot answer.
std::string TNMFTP::ReadGreeting()
{
    BeginStep(platform::Fill(_("greeting from %1"), {PeerText()}));
    return Watched(Phase::Greeting, [this] {
        int lines = 0;
        size_t bytes = 0;
        std::string line = NextReplyLine(lines, bytes);
        if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) {
            RecordStop(TStopReason::BadReply);
            DropSession();  // a log-out would wait for an answer that is not coming either
            throw ESockError(platform::Fill(line.starts_with("HTTP/") ? _("unexpected greeting from %1: %2 (a web server, not an FTP server)")
                                                          : _("unexpected greeting from %1: %2"),
                                   {PeerText(), PrintableLine(line)}));
        }
        while (Continues(line))
            line = NextReplyLine(lines, bytes);
        return line;
    });
}

// ---------------------------------------------------------------------------------------------
// Log-in and log-out

void TNMFTP::Connect()
{
    BeginOperation();
    if (Connected)
        return;
    replyOwed_ = false;
    DirectoryList.reset();  // a new connection detects the system type again
    ClearInput();
    TPowersock::Connect();
    auto refused = [this](const std::string& reply) {
        if (ReplyNumber > 400 && ReplyNumber < 600) {
            if (OnConnectionFailed)
                OnConnectionFailed(this);
            throw FTPException(WithStep(reply, Step));
        }
    };
    try {
        const std::string greeting = ReadGreeting();
        ReplyNumber = static_cast<std::int16_t>(LeadingNumber(greeting));
        refused(greeting);
        BeginStep(platform::Fill(_("log-in to %1"), {PeerText()}));
        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            bool handled = false;
            OnAuthenticationNeeded(handled);
        }
        ReportStatus(1, "USER " + UserID);
        refused(SendCommand(Proxy.empty() ? "USER " + UserID : "USER " + UserID + "@" + Host));
        if (ReplyNumber == 331) {
            ReportStatus(1, "PASS ");
            refused(SendCommand("PASS " + Password));
        }
        if (OnConnect)
            OnConnect(this);
    } catch (const std::exception&) {
        try {
            Disconnect();
        } catch (const std::exception&) {
            // The error that ended the session is the one to report, not the good-bye's.
        }
        ReportStatus(1, _("切断しました"));
        throw;
    }
}

void TNMFTP::Disconnect()
{
    // Nothing to say good-bye to: what stopped the last operation (a time-out) stays on record.
    if (!Connected)
        return;
    BeginOperation();
    BeginStep(platform::Fill(_("log-out from %1"), {PeerText()}));
    ReportStatus(1, "QUIT");
    std::string reply;
    try {
        ClearInput();
        reply = SendCommand("QUIT");
    } catch (const ESockError&) {
        DropSession();
        // A server that hangs up before its good-bye has done what QUIT asked for.
        if (TimedOut())
            throw;
        return;
    }
    DropSession();
    if (Between(ReplyNumber, 301, 599))
        throw FTPException(WithStep(reply, Step));
}

// ---------------------------------------------------------------------------------------------
// Commands

void TNMFTP::IssueCommand(const std::string& command)
{
    const TCmdType type = CommandType(command);
    BeginOperation();
    RequireConnection();
    if (type == TCmdType::CmdCwd)
        BeginStep(platform::Fill(_("change directory to %1 at %2"), {command.substr(std::min<size_t>(4, command.size())), PeerText()}));
    else
        BeginStep(platform::Fill(_("command %1 at %2"), {ExtractField(command, ' ', 1), PeerText()}));
    ReportStatus(1, command);
    ClearInput();
    const std::string reply = SendCommand(command);
    if (Between(ReplyNumber, 400, 599)) {
        Refuse(type, reply, true, Step);
        return;
    }
    if (OnSuccess)
        OnSuccess(type);
}

void TNMFTP::ChangeDirectory(const std::string& directory)
{
    IssueCommand("CWD " + directory);
}

void TNMFTP::TransferType(const std::string& type)
{
    IssueCommand("TYPE " + type);
}

void TNMFTP::Abort()
{
    if (DataSocket)
        DataSocket->Cancel();
}

// ---------------------------------------------------------------------------------------------
// Data connections

void TNMFTP::PrepareDataSocket()
{
    BeginOperation();
    DataStopReason = TStopReason::None;
    RequireConnection();
    DataSocket = std::make_unique<TPowersock>();
    DataSocket->OnDataArrived = [this](TComponent*) { NoteDataProgress(); };
    // What broke the data connection, noted where it happens: a reset on a read, or a close
    // that carried an error. A read that merely found nothing (10035) breaks nothing.
    dataError_ = 0;
    DataSocket->OnError = [this](TComponent* sender, std::uint16_t error, const std::string&) {
        if (static_cast<TPowersock*>(sender)->Connected && error != platform::WSAEWOULDBLOCK && dataError_ == 0)
            dataError_ = error;
    };
    DataSocket->OnDisconnect = [this](TComponent* sender) {
        const TPowersock& data = *static_cast<TPowersock*>(sender);
        if (!data.LastEventOk && dataError_ == 0)
            dataError_ = data.LastError;
    };
    ClearInput();
}

void TNMFTP::DropDataSocket()
{
    if (DataSocket)
        DataStopReason = DataSocket->StopReason;
    DataSocket.reset();
}

void TNMFTP::AnnouncePort(TCmdType type)
{
    // Listen where the server reached us, and take the data connection only from the server.
    platform::SockAddrIn local;
    platform::SockAddrIn peer;
    if (platform::SocketGetName(SocketHandle, local) != 0 || platform::SocketGetPeer(SocketHandle, peer) != 0)
        throw ESockError(ErrorText(static_cast<std::uint16_t>(platform::WSAGetLastError())));
    DataSocket->SetTimeOut(TimeOut());
    DataSocket->Port = 0;
    DataSocket->AcceptFrom = peer.address;
    DataSocket->Listen(true, local.address);
    // Listen does not test its bind; a port of 0 here would send the server nowhere.
    platform::SockAddrIn listening;
    if (platform::SocketGetName(DataSocket->SocketHandle, listening) != 0 || listening.port == 0) {
        const int error = platform::WSAGetLastError();
        throw ESockError(ErrorText(static_cast<std::uint16_t>(error != 0 ? error : 10049)));
    }
    const std::string command = "PORT " + LocalAddressText() + DataSocket->LocalPortText();
    ReportStatus(1, command);
    const std::string reply = SendCommand(command);
    if (Between(ReplyNumber, 301, 599))
        Refuse(type, reply, false, "PORT for " + Step);
}

bool TNMFTP::FailureLineWaiting() const
{
    const size_t size = BufferedCount();
    if (size == 0)
        return false;
    const char first = BufferedData()[0];
    return (first == '4' || first == '5') && std::memchr(BufferedData(), '\n', size) != nullptr;
}

// A server that cannot restart says so, and then sends the whole file.
bool TNMFTP::RestartAt(long long offset)
{
    ReportStatus(1, "REST " + std::to_string(offset));
    return Watched(Phase::Reply, [this, offset] {
        ReadReplyRest(TPowersock::SendCommand("REST " + std::to_string(offset)));
        return ReplyNumber == 350;
    });
}

// RETR and its preliminary reply, whose continuation lines may still refuse the transfer.
// Returns the size the reply announced as "(N bytes)", 0 when it announced none. After an
// accepted REST (`restarted`) a 5xx refusal may be the server's way of saying it cannot restart
// after all: it raises nothing and returns -1, and the file is asked for whole.
long long TNMFTP::RequestFile(const std::string& remoteFile, bool restarted)
{
    ReportStatus(1, "RETR " + remoteFile);
    BytesTotal = 0;
    long long announced = 0;
    const bool restartRefused = Watched(Phase::Reply, [this, &remoteFile, &announced, restarted] {
        std::string line = TPowersock::SendCommand("RETR " + remoteFile);
        if (Between(ReplyNumber, 301, 599)) {
            const bool permanent = Between(ReplyNumber, 500, 599);
            const std::string first = line;
            line = ReadReplyRest(line);  // the whole refusal, so that the next reply is the next
            if (restarted && permanent)
                return true;
            Refuse(TCmdType::CmdRetr, first, false, Step);
        }
        BytesTotal = ReplyByteCount(line);
        announced = AnnouncedByteCount(line);
        int lines = 0;
        size_t bytes = 0;
        while (Continues(line)) {
            line = NextReplyLine(lines, bytes);
            if (BytesTotal == 0)
                BytesTotal = ReplyByteCount(line);
            if (announced == 0)
                announced = AnnouncedByteCount(line);
            if (Between(ReplyNumber, 301, 599))
                Refuse(TCmdType::CmdRetr, line, true, Step);
        }
        return false;
    });
    if (restartRefused)
        return -1;
    replyOwed_ = true;
    return announced;
}

void TNMFTP::AcceptDataConnection()
{
    Watched(Phase::Accept, [this] {
        // Wait here rather than in Accept, so that a refusal on the control connection (425,
        // 426, a hang-up) ends the wait instead of leaving it to the watchdog. A refusal is
        // raised as its reply line however the packets cut it: a whole 4xx or 5xx line, or the
        // first bytes of a 421 or 426, whose rest ReadTransferEnd waits for.
        for (;;) {
            if (DataSocket->AsyncDone || DataSocket->Cancelled())
                break;
            if (FailureLineWaiting() || ServerDropArriving())
                throw FTPException(WithStep(ReadTransferEnd(), Step));
            if (Cancelled())
                throw ESockError(_("キャンセル受入中"));
            if (!Connected)
                throw ESockError(FailureText(_("接続が閉じられました"), Step,
                                             _("closed by the server before the data connection came")));
            WaitPass();
        }
        DataSocket->AdoptSocket(DataSocket->Accept());
    });
}

void TNMFTP::DeliverListingLine(std::string line)
{
    // A last line cut off by the close has no line end to remove.
    if (line.size() > 2 && line.back() == '\n')
        line.erase(line.size() - (line[line.size() - 2] == '\r' ? 2 : 1));
    if (ParseList && DirectoryList)
        DirectoryList->ParseLine(line);
    if (OnListItem)
        OnListItem(line);
}

void TNMFTP::ReadListing()
{
    TPowersock& data = *DataSocket;
    int entries = 0;
    long long bytes = 0;
    Watched(Phase::Data, [&] {
        while (!Cancelled() && !ServerDropArriving() && (data.Connected || data.BufferedCount() > 0)) {
            if (data.Cancelled())
                throw EAbortError(_("ソケット読込失敗"));
            if (data.BufferedCount() == 0) {
                WaitPass();
                continue;
            }
            const std::string line = data.ReadLn();
            bytes += static_cast<long long>(line.size());
            if (++entries > MaxListingEntries || bytes > MaxListingBytes) {
                const std::string text = _("ディレクトリ一覧が長すぎます");
                ReportStatus(1, text);
                throw ESockError(text);
            }
            DeliverListingLine(line);
        }
    });
}

// Closes the data connection; returns the socket error that ended it, 0 for a clean close.
int TNMFTP::EndTransfer(long long captured)
{
    if (OnTransactionStop)
        OnTransactionStop(this);
    const int dataError = dataError_;
    DataSocket->Disconnect();
    BytesTotal = captured >= 0 ? captured : DataSocket->BytesRecvd;
    ReportStatus(1, ReceivedText(BytesTotal));
    return dataError;
}

// The transfer-complete reply, read whatever came before it.
std::string TNMFTP::ReadTransferEnd()
{
    const std::string line = Watched(Phase::Reply, [this] {
        const std::string first = ReadLn();
        ReportStatus(1, first);
        ReadReplyRest(first);
        return first;
    });
    replyOwed_ = false;
    return line;
}

// Only the server's "complete" after a clean close, with no fewer bytes than it announced as
// "(N bytes)", makes a transfer whole.
void TNMFTP::JudgeTransfer(const std::string& finalReply, int dataError, long long announced)
{
    if (!Between(LeadingNumber(finalReply), 200, 299))
        throw FTPException(WithStep(finalReply, Step));
    if (dataError != 0)
        throw ESockError(FailureText(ErrorText(static_cast<std::uint16_t>(dataError)), Step, ReasonText(dataError)));
    if (BytesTotal < announced)
        throw ESockError(FailureText(_("受信データが不足しています"), Step,
                                     platform::Fill(_("received %1 of %2 bytes"),
                                                    {std::to_string(BytesTotal), std::to_string(announced)})));
}

// A transfer that failed on our side still has the server's final word on its way: read it
// (closing the data connection was our abort), or end the session if it does not come, so
// that it is never taken for the answer to the next command.
void TNMFTP::SettleOwedReply()
{
    if (!replyOwed_ || !Connected)
        return;
    try {
        ReadTransferEnd();
    } catch (const std::exception&) {
        DropSession();
    }
}

void TNMFTP::CreateDirectoryList()
{
    if (Vendor == VendorDetect) {
        try {
            IssueCommand("SYST");
        } catch (const std::exception&) {
            if (TimedOut() || !Connected)
                throw;  // a silent or runaway server is not a failed "SYST": the session is gone
        }
        Vendor = VendorFromSystem(LastReply);
    }
    // Every system type is read with the Unix-style parser, and so is a type we do not know.
    DirectoryList = std::make_unique<TFTPUnixList>();
}

void TNMFTP::ListDirectory()
{
    PrepareDataSocket();
    try {
        if (ParseList) {
            if (!DirectoryList)
                CreateDirectoryList();
            DirectoryList->Clear();
        }
        BeginStep(platform::Fill(_("listing from %1"), {PeerText()}));
        AnnouncePort(TCmdType::CmdList);
        ReportStatus(1, "LIST");
        const std::string reply = SendCommand("LIST");
        if (Between(ReplyNumber, 301, 599))
            Refuse(TCmdType::CmdList, reply, true, Step);
        replyOwed_ = true;
        BytesTotal = ReplyByteCount(reply);
        if (OnTransactionStart)
            OnTransactionStart(this);
        AcceptDataConnection();
        ReadListing();
        const int dataError = EndTransfer(-1);
        JudgeTransfer(ReadTransferEnd(), dataError, 0);
    } catch (const std::exception&) {
        DropDataSocket();
        SettleOwedReply();
        throw;
    }
    DataSocket.reset();
    if (OnSuccess)
        OnSuccess(TCmdType::CmdList);
}

void TNMFTP::Download(const std::string& remoteFile, const std::string& localFile, long long restartAt)
{
    Appended = false;
    try {
        PrepareDataSocket();
        BeginStep(platform::Fill(_("download of %1 from %2"), {remoteFile, PeerText()}));
        AnnouncePort(TCmdType::CmdRetr);
        if (restartAt > 0)
            Appended = RestartAt(restartAt);
        long long announced = RequestFile(remoteFile, Appended);
        if (announced < 0) {
            // The restart was refused at RETR (vsftpd in ASCII type): the whole file, over a data
            // connection announced anew, as the server may have dropped the last one.
            Appended = false;
            PrepareDataSocket();
            DataSocket->Step = Step;
            AnnouncePort(TCmdType::CmdRetr);
            announced = RequestFile(remoteFile, false);
        }
        if (OnPacketRecvd)
            DataSocket->OnPacketRecvd = OnPacketRecvd;
        AcceptDataConnection();
        if (OnTransactionStart)
            OnTransactionStart(this);
        const std::string target = localFile.empty() ? remoteFile : localFile;
        Watched(Phase::Data, [&] { DataSocket->CaptureFile(target, Appended); });
        const int dataError = EndTransfer(FileSize(target));
        JudgeTransfer(ReadTransferEnd(), dataError, announced);
    } catch (const std::exception&) {
        DropDataSocket();
        SettleOwedReply();
        throw;
    }
    DataSocket.reset();
    if (OnSuccess)
        OnSuccess(TCmdType::CmdRetr);
}
