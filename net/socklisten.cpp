// Data connections: listening for the one caller we expect, taking its connection, and the
// texts of our own address and port as a PORT command spells them.
#include "net/Psock.h"
#include "platform/catalogue.h"

#include <algorithm>
#include <cstdio>

using namespace platform;

void TPowersock::Listen(bool useLookupMessage, std::uint32_t localAddress)
{
    ReportStatus(8, "リスニング中");
    RemoteAddress.family = AF_INET_FAMILY;
    RemoteAddress.address = localAddress;
    RemoteAddress.port = Htons(static_cast<std::uint16_t>(Port));
    AsyncDone = false;
    BeginOperation();
    if (SocketHandle == NoSocket)
        OpenFreshSocket();
    SocketBind(SocketHandle, RemoteAddress);
    Register(useLookupMessage ? WM_ASYNCLOOKUP : WM_SOCKET, FD_ACCEPT);
    // Watching for the caller starts with the listen: if it cannot, Accept would wait for ever.
    if (SocketListen(SocketHandle, 1) != 0) {
        std::string message;
        CheckSocketError(0, message);
    }
}

std::uint16_t TPowersock::Accept()
{
    for (;;) {
        WaitWhile([this] { return !AsyncDone && !Cancelled(); });
        if (Cancelled())
            throw ESockError(_("キャンセル受入中"));
        if (!LastEventOk)
            throw ESockError(FailureText(_("データコネクションエラーを作成中"), platform::Fill(_("data connection for %1"), {StepText()}),
                                         ReasonText(LastError)));
        ReportStatus(4, _("受入中"));
        SockAddrIn peer;
        const int fd = SocketAccept(SocketHandle, &peer);
        if (fd < 0) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                AsyncDone = false;  // the caller went away before we took it
                continue;
            }
            LastError = WSAGetLastError();
            throw ESockError(FailureText(ErrorText(static_cast<std::uint16_t>(LastError)),
                                         platform::Fill(_("data connection for %1"), {StepText()}), ReasonText(LastError)));
        }
        if (fd >= NoSocket || (AcceptFrom != 0 && peer.address != AcceptFrom)) {
            // Not the peer we expect: hang up on it and keep waiting.
            SocketClose(fd);
            AsyncDone = false;
            continue;
        }
        RemoteAddress = peer;
        if (Cancelled()) {
            SocketClose(fd);
            throw EAbortError(_("ソケット送信失敗"));
        }
        return static_cast<std::uint16_t>(fd);
    }
}

void TPowersock::AdoptSocket(std::uint16_t handle)
{
    if (SocketHandle != NoSocket)
        SocketClose(SocketHandle);
    SocketHandle = handle;
    Connected = true;
    RegisterAllEvents();
}

std::string TPowersock::LocalAddressText()
{
    SockAddrIn local;
    SocketGetName(SocketHandle, local);
    std::string text = InetNtoa(local.address);
    std::replace(text.begin(), text.end(), '.', ',');
    return text;
}

// ",p1,p2": the high and the low byte of our port, as a PORT command ends.
std::string TPowersock::LocalPortText()
{
    SockAddrIn local;
    SocketGetName(SocketHandle, local);
    const unsigned port = Ntohs(local.port);
    char text[16];
    std::snprintf(text, sizeof text, ",%u,%u", port >> 8, port & 0xFF);
    return text;
}
