// TPowersock's life, its notifications and the record of why a transfer stopped. The other
// parts of the component are in the sock*.cpp files beside this one.
#include "net/Psock.h"
#include "platform/catalogue.h"

#include <atomic>

using namespace platform;

// ---------------------------------------------------------------------------------------------
// Construction and the socket library

namespace {
// Clients live on worker threads too (parallel downloads).
std::atomic<int> instanceCount = 0;

std::string VersionText(std::uint16_t version)
{
    return std::to_string(version >> 8) + "." + std::to_string(version & 0xFF);
}
}  // namespace

int TPowersock::InstanceCount()
{
    return instanceCount;
}

TPowersock::TPowersock()
{
    window_ = std::make_unique<NotifyWindow>(
        [this](unsigned msg, WPARAM wParam, LPARAM lParam) { HandleMessage(msg, wParam, lParam); });
    timer_ = std::make_unique<TThreadTimer>();
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](TComponent* sender) { TimerExpired(sender); });
    InitSocket();
}

TPowersock::~TPowersock()
{
    destroying_ = true;
    ReportStatus(8, "壊れています");
    Cancel();
    try {
        CloseSocket();
    } catch (const std::exception&) {
        // A failed close while going away has nobody left to tell.
    }
    CloseSplicePipe();
    ReleaseLibrary();
}

void TPowersock::ReleaseLibrary()
{
    if (!libraryStarted_)
        return;
    libraryStarted_ = false;
    if (--instanceCount == 0)
        WSACleanup();
}

void TPowersock::InitSocket()
{
    ReportStatus(8, "Winsock を初期化中");
    libraryStarted_ = true;
    if (instanceCount++ == 0) {
        WSAData data;
        WSAStartup(0x0101, data);
        WinsockInfo = {
            "バージョン= " + VersionText(data.version),
            "ハイバージョン= " + VersionText(data.highVersion),
            "説明= " + data.description,
            "システム= " + data.systemStatus,
            "最大ソケット= " + std::to_string(data.maxSockets),
            "最大Udpパケットサイズ= " + std::to_string(data.maxUdpDatagram),
        };
    }
    try {
        if (!OpenSocket(true)) {
            std::string message;
            CheckSocketError(WSAEWOULDBLOCK, message);
        }
    } catch (const std::exception&) {
        ReleaseLibrary();
        throw ESockError(_("windows sockets の初期化に失敗しました"));
    }
    if (SocketHandle == NoSocket) {
        ReleaseLibrary();
        throw ESockError(_("windows sockets の初期化に失敗しました"));
    }
}

bool TPowersock::OpenSocket(bool withLinger)
{
    SocketHandle = NoSocket;
    const int fd = SocketCreate();
    if (fd < 0)
        return false;
    if (fd >= NoSocket) {
        SocketClose(fd);
        WSASetLastError(10024);
        return false;
    }
    if (withLinger)
        SocketSetLinger(fd, true, 0);
    SocketHandle = static_cast<std::uint16_t>(fd);
    RegisterAllEvents();
    return true;
}

void TPowersock::RegisterAllEvents()
{
    Register(WM_SOCKET, FD_ALL_EVENTS);
}

// Register and MuteSocket are net/'s only requests to the event loop (epoll) to watch a socket
// differently. A socket the system refuses to watch would leave every wait on it hanging:
// raise instead.
void TPowersock::Register(unsigned msg, long events)
{
    if (WSAAsyncSelect(SocketHandle, window_->Handle(), msg, events) != 0) {
        LastError = WSAGetLastError();
        throw ESockError(ErrorText(static_cast<std::uint16_t>(LastError)));
    }
}

// A cancelled socket needs no more notifications. The one result in net/ left unchecked, by
// choice: a socket that cannot be muted goes on signalling and its reads are taken as before,
// while every wait has already ended on the cancel, so nothing hangs on the mute.
void TPowersock::MuteSocket()
{
    static_cast<void>(WSAAsyncSelect(SocketHandle, window_->Handle(), WM_SOCKET, 0));
}

void TPowersock::SetTimeOut(int milliseconds)
{
    if (milliseconds < 0)
        throw ESockError(_("タイムアウトの値が正しくありません"));
    timeOut_ = milliseconds;
}

void TPowersock::ReportStatus(int level, const std::string& text)
{
    if (level > ReportLevel)
        return;
    Status = text;
    if (!destroying_ && OnStatus)
        OnStatus(this, Status);
}

void TPowersock::FireNotify(const TNotifyEvent& event)
{
    if (event)
        event(this);
}

// ---------------------------------------------------------------------------------------------
// Notifications

void TPowersock::HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam)
{
    try {
        const long event = SelectEvent(lParam);
        switch (msg) {
        case WM_SOCKET:
            LastEventOk = SelectError(lParam) == 0;
            if (!LastEventOk)
                LastError = SelectError(lParam);
            HandleSocketEvent(event);
            break;
        case WM_ASYNCLOOKUP:
            // A completion of a lookup that an earlier, abandoned request started is stale.
            if (event != FD_ACCEPT && (!lookup_ || lookup_->id != wParam))
                break;
            LastEventOk = SelectError(lParam) == 0;
            if (!LastEventOk)
                LastError = SelectError(lParam);
            AsyncDone = true;
            if (event == FD_ACCEPT) {
                Connected = true;
                FireNotify(OnAccept);
            }
            break;
        case WM_CONTINUESEND:
            WriteHandler();
            break;
        default:
            break;
        }
    } catch (...) {
        // A failure inside notification handling ends that notification and nothing else.
    }
}

void TPowersock::HandleSocketEvent(long event)
{
    switch (event) {
    case FD_READ:
        ReadHandler();
        break;
    case FD_WRITE:
        WriteHandler();
        break;
    case FD_ACCEPT:
        Connected = true;
        FireNotify(OnAccept);
        break;
    case FD_CONNECT:
        if (LastEventOk) {
            Connected = true;
            FireNotify(OnConnect);
        }
        break;
    case FD_CLOSE:
        if (!LastEventOk) {
            dropError_ = LastError;
            RecordStop(TStopReason::ServerDrop);
        }
        CloseDrain();
        Connected = false;
        CloseSocket();
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// Stops

bool TPowersock::Cancelled() const
{
    switch (StopReason) {
    case TStopReason::User:
    case TStopReason::Watchdog:
    case TStopReason::TimeOut:
    case TStopReason::Cap:
        return true;
    default:
        return false;
    }
}

void TPowersock::Cancel()
{
    ReportStatus(8, "キャンセル中");
    RecordStop(TStopReason::User);
}

void TPowersock::Stop(TStopReason reason)
{
    RecordStop(reason);
    Abort();
}

void TPowersock::RecordStop(TStopReason reason)
{
    if (StopReason == TStopReason::None)
        StopReason = reason;
}

void TPowersock::Abort()
{
}

// Ends a wait that a stop ended, with the text of the reason recorded for it.
void TPowersock::RaiseStopped(const char* abortText)
{
    if (StopReason == TStopReason::Cap)
        throw ESockError(platform::Fill(_("受信データが上限 (%1 バイト) を超えました"), {std::to_string(CaptureLimit)}));
    throw EAbortError(abortText);
}

// A connection the peer reset (or that broke) ended before its data did.
void TPowersock::RaiseIfDropped()
{
    if (StopReason != TStopReason::ServerDrop)
        return;
    const int error = dropError_ ? dropError_ : 10054;
    throw ESockError(FailureText(ErrorText(static_cast<std::uint16_t>(error)), StepText(), ReasonText(error)));
}

void TPowersock::RequireConnection()
{
    bool offered = false;
    while (!Connected) {
        if (offered || !OnConnectionRequired)
            throw Exception(_("接続されていません"));
        offered = true;
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled)
            throw Exception(_("接続されていません"));
    }
}
