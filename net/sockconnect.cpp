// Connection set-up and tear-down: the host lookup and the connect, each bounded by the
// time-out timer, and the close.
#include "net/Psock.h"
#include "platform/catalogue.h"

using namespace platform;

// ---------------------------------------------------------------------------------------------
// The time-out of lookup and connect

void TPowersock::StartTimer()
{
    ReportStatus(8, "タイマーオン");
    timer_->SetInterval(static_cast<unsigned>(timeOut_));
    timer_->SetEnabled(true);
}

void TPowersock::StopTimer()
{
    ReportStatus(8, "タイマーオフ");
    timer_->SetEnabled(false);
}

void TPowersock::TimerExpired(TComponent*)
{
    ReportStatus(8, "タイマーが開始しました");
    StopTimer();
    RecordStop(TStopReason::TimeOut);
    Abort();
}

// ---------------------------------------------------------------------------------------------
// Lookup and connect

// Why the name gave no address, or an empty text when it gave one (0.0.0.0 included).
std::string TPowersock::ResolveHost()
{
    ReportStatus(8, "Resolve Host");
    RemoteAddress.address = 0;
    const std::string name = Proxy.empty() ? Host : Proxy;
    // The lookup buffer holds 127 characters; a longer name cannot be a host we can look up.
    if (name.size() > 127)
        return _("name longer than 127 characters");
    const std::uint32_t dotted = InetAddr(name);
    if (dotted != INADDR_NONE_VALUE) {
        RemoteAddress.address = dotted;
        return dotted == 0 ? _("no address to connect to") : "";
    }
    StartTimer();
    AsyncDone = false;
    lookup_ = std::make_shared<HostEntry>();
    WSAAsyncGetHostByName(window_->Handle(), WM_ASYNCLOOKUP, name, lookup_);
    WaitWhile([this] { return !AsyncDone && !Cancelled(); });
    StopTimer();
    if (TimedOut())
        throw ESockError(FailureText(_("ホスト接続タイムアウト"), LookupText(), TimedOutText(timeOut_)));
    if (Cancelled())
        throw ESockError(_("ホスト接続キャンセル"));
    if (!LastEventOk)
        return ReasonText(LastError);
    RemoteAddress.address = lookup_->address;
    if (OnHostResolved)
        OnHostResolved(this);
    return "";
}

std::string TPowersock::LookupText() const
{
    if (Proxy.empty())
        return platform::Fill(_("cannot look up %1:%2"), {Host, std::to_string(Port)});
    return platform::Fill(_("cannot look up proxy %1:%2"), {Proxy, std::to_string(ProxyPort)});
}

std::string TPowersock::ConnectText() const
{
    return platform::Fill(_("cannot connect to %1"), {PeerText()});
}

void TPowersock::Connect()
{
    ReportStatus(8, "接続中");
    BeginOperation();
    if (Connected)
        throw ESockError(_("既に接続しています"));
    int retries = 0;
    do {
        const std::string failure = ResolveHost();
        if (RemoteAddress.address == 0) {
            const std::string message = FailureText(_("リモートアドレスが Null です"), LookupText(), failure);
            if (retries > 0 || !OnInvalidHost)
                throw ESockError(message);
            bool handled = false;
            OnInvalidHost(handled);
            if (!handled)
                throw ESockError(message);
            ++retries;
        }
    } while (RemoteAddress.address == 0);

    RemoteAddress.family = AF_INET_FAMILY;
    RemoteAddress.port = Htons(static_cast<std::uint16_t>(Proxy.empty() ? Port : ProxyPort));
    AsyncDone = false;
    LastEventOk = true;
    sendFailed_ = false;
    if (SocketHandle == NoSocket)
        OpenFreshSocket();
    if (SocketConnect(SocketHandle, RemoteAddress) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
        LastError = WSAGetLastError();
        const std::string text = ErrorText(static_cast<std::uint16_t>(LastError));
        if (OnError)
            OnError(this, static_cast<std::uint16_t>(LastError), text);
        throw ESockError(FailureText(text, ConnectText(), ReasonText(LastError)));
    }
    StartTimer();
    WaitWhile([this] { return !Connected && !Cancelled() && LastEventOk; });
    StopTimer();
    if (!Cancelled() && LastEventOk)
        return;
    // A connect that completed in the same pass as a cancel is abandoned all the same.
    Connected = false;
    FireNotify(OnConnectionFailed);
    DropSocket();
    if (TimedOut())
        throw ESockError(FailureText(_("コネクションタイムアウト"), ConnectText(), TimedOutText(timeOut_)));
    if (Cancelled())
        throw ESockError(_("接続がキャンセルされました"));
    throw ESockError(FailureText(_("接続が失敗しました"), ConnectText(), ReasonText(LastError)));
}

// A socket whose connect failed or was abandoned cannot connect again; the next Connect
// opens a fresh one, as after a close.
void TPowersock::DropSocket()
{
    if (SocketHandle != NoSocket)
        SocketClose(SocketHandle);
    SocketHandle = NoSocket;
}

// Sockets are made when a connection needs one, not in advance after every close.
void TPowersock::OpenFreshSocket()
{
    if (!OpenSocket(false)) {
        LastError = WSAGetLastError();
        throw ESockError(ErrorText(static_cast<std::uint16_t>(LastError)));
    }
}

// ---------------------------------------------------------------------------------------------
// Close

void TPowersock::Disconnect()
{
    ReportStatus(8, "接続切断中");
    CloseSocket();
}

void TPowersock::CloseSocket()
{
    ReportStatus(4, _("ソケットのクローズ要求"));
    Connected = false;
    if (SocketHandle == NoSocket)
        return;
    if (SocketClose(SocketHandle) != 0) {
        std::string message;
        CheckSocketError(WSAEWOULDBLOCK, message);
        return;
    }
    SocketHandle = NoSocket;
    if (!destroying_)
        FireNotify(OnDisconnect);
}
