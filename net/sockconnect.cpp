// Connection set-up and tear-down: the host lookup and the connect, each bounded by the
// time-out timer, and the close.
#include "net/Psock.h"

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

void TPowersock::ResolveHost()
{
    ReportStatus(8, "Resolve Host");
    RemoteAddress.address = 0;
    const std::string name = Proxy.empty() ? Host : Proxy;
    // The lookup buffer holds 127 characters; a longer name cannot be a host we can look up.
    if (name.size() > 127)
        throw ESockError("ホスト接続失敗");
    const std::uint32_t dotted = InetAddr(name);
    if (dotted != INADDR_NONE_VALUE) {
        RemoteAddress.address = dotted;
        return;
    }
    StartTimer();
    AsyncDone = false;
    lookup_ = std::make_shared<HostEntry>();
    WSAAsyncGetHostByName(window_->Handle(), WM_ASYNCLOOKUP, name, lookup_);
    WaitWhile([this] { return !AsyncDone && !Cancelled(); });
    StopTimer();
    if (TimedOut())
        throw ESockError("ホスト接続タイムアウト");
    if (Cancelled())
        throw ESockError("ホスト接続キャンセル");
    if (!LastEventOk)
        throw ESockError("ホスト接続失敗");
    RemoteAddress.address = lookup_->address;
    if (OnHostResolved)
        OnHostResolved(this);
}

void TPowersock::Connect()
{
    ReportStatus(8, "接続中");
    BeginOperation();
    if (Connected)
        throw ESockError("既に接続しています");
    int retries = 0;
    do {
        try {
            ResolveHost();
        } catch (const ESockError& error) {
            const std::string message = error.what();
            if (message == "ホスト接続タイムアウト" || message == "ホスト接続キャンセル")
                throw;
        }
        if (RemoteAddress.address == 0) {
            if (retries > 0 || !OnInvalidHost)
                throw ESockError("リモートアドレスが Null です");
            bool handled = false;
            OnInvalidHost(handled);
            if (!handled)
                throw ESockError("リモートアドレスが Null です");
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
    if (SocketConnect(SocketHandle, RemoteAddress) != 0) {
        std::string message;
        CheckSocketError(WSAEWOULDBLOCK, message);
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
        throw ESockError("コネクションタイムアウト");
    if (Cancelled())
        throw ESockError("接続がキャンセルされました");
    throw ESockError("接続が失敗しました");
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
    ReportStatus(4, "ソケットのクローズ要求");
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
