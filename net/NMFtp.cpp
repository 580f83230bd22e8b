#include "net/NMFtp.h"

#include "platform/files.h"
#include "platform/text.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <type_traits>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// How long WaitAfterAbort listens for the server's word on an aborted transfer (1.1e-5 day).
constexpr std::chrono::microseconds kAbortReplyWait{950400};

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
    return "受信 " + std::to_string(bytes) + " Bytes";
}

}  // namespace

// Keeps the wait watchdog running for as long as one wait lasts.
class TNMFTP::Watch {
public:
    explicit Watch(TNMFTP& client) : client_(client) { client_.StartWatch(); }
    ~Watch() { client_.StopWatch(); }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

private:
    TNMFTP& client_;
};

// Runs one wait under the watchdog. A wait that the watchdog ended, or that ended in the very
// pass the watchdog fired, gives up: the cancel it set would otherwise linger.
template <typename F>
auto TNMFTP::Watched(F&& wait)
{
    Watch watch(*this);
    try {
        if constexpr (std::is_void_v<decltype(wait())>) {
            wait();
            if (TimedOut)
                GiveUp();
        } else {
            auto result = wait();
            if (TimedOut)
                GiveUp();
            return result;
        }
    } catch (const ESockError&) {
        if (TimedOut)
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
    OnDataArrived = [this](TComponent* sender) { CheckServerDrop(sender); };
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

void TNMFTP::StartWatch()
{
    if (watchDepth_++ > 0 || WaitLimit <= 0)
        return;
    lastProgress_ = Clock::now();
    watchdog_->SetInterval(static_cast<unsigned>(std::clamp(WaitLimit / 4, 10, 1000)));
    watchdog_->SetEnabled(true);
}

void TNMFTP::StopWatch()
{
    if (--watchDepth_ == 0)
        watchdog_->SetEnabled(false);
}

void TNMFTP::NoteProgress()
{
    lastProgress_ = Clock::now();
}

void TNMFTP::WatchTick()
{
    if (watchDepth_ == 0 || WaitLimit <= 0 || TimedOut)
        return;
    if (Clock::now() - lastProgress_ < std::chrono::milliseconds(WaitLimit))
        return;
    // Every wait of the transport ends on a cancel; GiveUp turns that into the time-out.
    TimedOut = true;
    Cancel();
    if (DataSocket)
        DataSocket->Cancel();
}

void TNMFTP::GiveUp()
{
    // After a silent server the reply stream cannot be trusted: the session is over.
    Cancelled = false;
    if (Connected) {
        try {
            TPowersock::Disconnect();
        } catch (const std::exception&) {
            // The time-out is the news; a failed close adds nothing to it.
        }
    }
    throw ESockError(ErrorText(platform::WSAETIMEDOUT));
}

// ---------------------------------------------------------------------------------------------
// Replies

std::string TNMFTP::ReadReplyLine()
{
    return Watched([this] { return ReadLn(); });
}

std::string TNMFTP::BaseCommand(const std::string& command)
{
    return Watched([this, &command] { return TPowersock::SendCommand(command); });
}

std::string TNMFTP::SendCommand(const std::string& command)
{
    const std::string first = BaseCommand(command);
    ReadReplyRest(first);
    return first;
}

void TNMFTP::ReadReplyRest(std::string line)
{
    while (Continues(line)) {
        line = ReadReplyLine();
        ReportStatus(1, line);
    }
}

void TNMFTP::CheckServerDrop(TComponent*)
{
    NoteProgress();
    if (BufferedCount() > 3 &&
        (std::memcmp(BufferedData(), "421", 3) == 0 || std::memcmp(BufferedData(), "426", 3) == 0))
        Cancel();
}

std::string TNMFTP::WaitAfterAbort()
{
    const auto deadline = Clock::now() + kAbortReplyWait;
    std::string text;
    for (;;) {
        // A further 421/426 arriving meanwhile must not turn this collection into a failure.
        Cancelled = false;
        text += Read(0);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (!text.empty() || left <= 0)
            break;
        platform::WaitPass(static_cast<int>(left));  // no event may come: the deadline wakes us
    }
    ReportStatus(1, text);
    return text;
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
void TNMFTP::Refuse(TCmdType type, const std::string& reply, bool offerUnsupported)
{
    if (offerUnsupported && Between(ReplyNumber, 500, 502) && OnUnSupportedFunction)
        OnUnSupportedFunction(type);
    bool handled = false;
    if (OnFailure)
        OnFailure(handled, type);
    if (!handled)
        throw FTPException(reply);
}

// ---------------------------------------------------------------------------------------------
// Log-in and log-out

void TNMFTP::Connect()
{
    Cancelled = false;
    if (Connected)
        return;
    TimedOut = false;
    ClearInput();
    TPowersock::Connect();
    auto refused = [this](const std::string& reply) {
        if (ReplyNumber > 400 && ReplyNumber < 600) {
            if (OnConnectionFailed)
                OnConnectionFailed(this);
            throw FTPException(reply);
        }
    };
    try {
        ReadReplyRest(" ");  // a line of one blank "continues", so the whole greeting is read
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
        ReportStatus(1, "切断しました");
        throw;
    }
}

void TNMFTP::Disconnect()
{
    Cancelled = false;
    if (!Connected)
        return;
    ReportStatus(1, "QUIT");
    try {
        DirectoryList.reset();
        Vendor = VendorDetect;
        ClearInput();
        const std::string reply = SendCommand("QUIT");
        if (Between(ReplyNumber, 301, 599))
            throw FTPException(reply);
    } catch (const ESockError&) {
        if (Connected)
            TPowersock::Disconnect();
        // A server that hangs up before its good-bye has done what QUIT asked for.
        if (TimedOut)
            throw;
        return;
    } catch (const std::exception&) {
        if (Connected)
            TPowersock::Disconnect();
        throw;
    }
    if (Connected)
        TPowersock::Disconnect();
}

// ---------------------------------------------------------------------------------------------
// Commands

void TNMFTP::IssueCommand(const std::string& command)
{
    const TCmdType type = CommandType(command);
    Cancelled = false;
    RequireConnection();
    ReportStatus(1, command);
    ClearInput();
    const std::string reply = SendCommand(command);
    if (Between(ReplyNumber, 400, 599)) {
        Refuse(type, reply, true);
        return;
    }
    if (OnSuccess)
        OnSuccess(type);
}

void TNMFTP::ChangeDirectory(const std::string& directory)
{
    IssueCommand("CWD " + directory);
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
    Cancelled = false;
    RequireConnection();
    DataSocket = std::make_unique<TPowersock>();
    DataSocket->OnDataArrived = [this](TComponent*) { NoteProgress(); };
    ClearInput();
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
        Refuse(type, reply, false);
}

bool TNMFTP::FailureLineWaiting() const
{
    const size_t size = BufferedCount();
    if (size == 0)
        return false;
    const char first = BufferedData()[0];
    return (first == '4' || first == '5') && std::memchr(BufferedData(), '\n', size) != nullptr;
}

void TNMFTP::AcceptDataConnection()
{
    Watched([this] {
        // Wait here rather than in Accept, so that a refusal on the control connection (425,
        // 426, a hang-up) ends the wait instead of leaving it to the watchdog.
        for (;;) {
            if (TimedOut)
                GiveUp();
            if (DataSocket->AsyncDone || DataSocket->Cancelled)
                break;
            if (FailureLineWaiting()) {
                const std::string line = ReadLn();
                ReportStatus(1, line);
                Cancelled = false;  // the 421/426 that cancelled us is answered right here
                throw FTPException(line);
            }
            if (Cancelled)
                throw ESockError("キャンセル受入中");
            if (!Connected)
                throw ESockError("接続が閉じられました");
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
    Watched([&] {
        while (!Cancelled && !TimedOut && (data.Connected || data.BufferedCount() > 0)) {
            if (data.Cancelled)
                throw EAbortError("ソケット読込失敗");
            if (data.BufferedCount() > 0)
                DeliverListingLine(data.ReadLn());
            else
                WaitPass();
        }
    });
}

void TNMFTP::EndTransfer(long long captured)
{
    if (OnTransactionStop)
        OnTransactionStop(this);
    DataSocket->ShuttingDown = true;  // it is freed next: no fresh socket for it
    DataSocket->CloseSocket();
    BytesTotal = captured >= 0 ? captured : DataSocket->BytesRecvd;
    ReportStatus(1, ReceivedText(BytesTotal));
}

std::string TNMFTP::ReadTransferEnd()
{
    if (Cancelled || TimedOut)
        return {};
    std::string line;
    try {
        line = ReadReplyLine();
        ReportStatus(1, line);
        if (!Cancelled && !TimedOut)
            ReadReplyRest(line);
    } catch (const EAbortError&) {
        if (!Cancelled)
            throw;  // a 421/426 cut in: the caller collects it
    }
    return line;
}

void TNMFTP::CreateDirectoryList()
{
    if (Vendor == VendorDetect) {
        try {
            IssueCommand("SYST");
        } catch (const std::exception&) {
            if (TimedOut)
                throw;  // a silent server is not a failed "SYST": the session is gone
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
        AnnouncePort(TCmdType::CmdList);
        ReportStatus(1, "LIST");
        const std::string reply = SendCommand("LIST");
        if (Between(ReplyNumber, 301, 599))
            Refuse(TCmdType::CmdList, reply, true);
        BytesTotal = ReplyByteCount(reply);
        if (OnTransactionStart)
            OnTransactionStart(this);
        AcceptDataConnection();
        ReadListing();
        EndTransfer(-1);
        ReadTransferEnd();
    } catch (const std::exception&) {
        DataSocket.reset();
        throw;
    }
    DataSocket.reset();
    if (OnSuccess)
        OnSuccess(TCmdType::CmdList);
}

void TNMFTP::Download(const std::string& remoteFile, const std::string& localFile)
{
    std::string finalReply;
    try {
        PrepareDataSocket();
        AnnouncePort(TCmdType::CmdRetr);
        if (OnPacketRecvd)
            DataSocket->OnPacketRecvd = OnPacketRecvd;
        ReportStatus(1, "RETR " + remoteFile);
        BytesTotal = 0;
        std::string line = BaseCommand("RETR " + remoteFile);
        if (Between(ReplyNumber, 301, 599))
            Refuse(TCmdType::CmdRetr, line, false);
        BytesTotal = ReplyByteCount(line);
        while (Continues(line)) {
            line = ReadReplyLine();
            ReportStatus(1, line);
            if (BytesTotal == 0)
                BytesTotal = ReplyByteCount(line);
            if (Between(ReplyNumber, 301, 599))
                Refuse(TCmdType::CmdRetr, line, true);
        }
        AcceptDataConnection();
        if (OnTransactionStart)
            OnTransactionStart(this);
        long long captured = -1;
        if (!Cancelled && !TimedOut) {
            const std::string target = localFile.empty() ? remoteFile : localFile;
            Watched([&] { DataSocket->CaptureFile(target); });
            captured = FileSize(target);
        }
        EndTransfer(captured);
        finalReply = ReadTransferEnd();
    } catch (const std::exception&) {
        DataSocket.reset();
        if (Cancelled && !TimedOut) {
            try {
                WaitAfterAbort();
            } catch (const std::exception&) {
                // The error that ended the transfer is the one to report.
            }
        }
        throw;
    }
    DataSocket.reset();
    // Only the server's "complete" makes a download whole; an abort or a refusal leaves a cut file.
    if (Cancelled) {
        // The 421/426 is either still waiting or was just read as the final reply.
        const std::string text = WaitAfterAbort();
        const std::string reason = text.empty() ? finalReply : text;
        if (reason.empty())
            throw EAbortError("ソケット読込失敗");
        throw FTPException(reason);
    }
    if (!Between(LeadingNumber(finalReply), 200, 299))
        throw FTPException(finalReply);
    if (OnSuccess)
        OnSuccess(TCmdType::CmdRetr);
}
