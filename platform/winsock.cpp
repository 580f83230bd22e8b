#include "platform/winsock.h"

#include "platform/UniqueFd.h"
#include "platform/eventloop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform {

namespace {
thread_local int lastError = 0;

int Fail(int err)
{
    lastError = WinsockErrorFromErrno(err);
    return -1;
}

sockaddr_in ToNative(const SockAddrIn& a)
{
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = a.port;
    native.sin_addr.s_addr = a.address;
    return native;
}

void FromNative(const sockaddr_in& native, SockAddrIn& a)
{
    a.family = AF_INET_FAMILY;
    a.port = native.sin_port;
    a.address = native.sin_addr.s_addr;
}
}  // namespace

int WinsockErrorFromErrno(int err)
{
    switch (err) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EAGAIN: case EINPROGRESS: return 10035;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: case EPIPE: return 10054;
    case ENOBUFS: case ENOMEM: case ENOSPC: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return 10000 + err;  // outside the table: reported as an unknown error number
    }
}

int WinsockErrorFromLookup(int gaiError)
{
    switch (gaiError) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_SYSTEM: return WinsockErrorFromErrno(errno);
    default: return WSANO_RECOVERY;
    }
}

int WSAGetLastError() { return lastError; }
void WSASetLastError(int error) { lastError = error; }

int WSAStartup(std::uint16_t requested, WSAData& data)
{
    data.version = requested;
    data.highVersion = 0x0202;
    data.description = "Tessary sockets on Linux epoll";
    data.systemStatus = "Running";
    data.maxSockets = 65535;  // handles must fit 16 bits
    data.maxUdpDatagram = 65507;
    return 0;
}

int WSACleanup() { return 0; }

std::uint32_t InetAddr(const std::string& dotted)
{
    in_addr address{};
    if (inet_pton(AF_INET, dotted.c_str(), &address) != 1)
        return INADDR_NONE_VALUE;
    return address.s_addr;
}

std::string InetNtoa(std::uint32_t address)
{
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::uint16_t Htons(std::uint16_t value) { return htons(value); }
std::uint16_t Ntohs(std::uint16_t value) { return ntohs(value); }

int SocketCreate()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? Fail(errno) : fd;
}

int SocketClose(int fd)
{
    Loop().Forget(fd);
    return UniqueFd(fd).Close() ? 0 : Fail(errno);
}

int SocketSetLinger(int fd, bool on, int seconds)
{
    linger l{on ? 1 : 0, seconds};
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : Fail(errno);
}

int SocketConnect(int fd, const SockAddrIn& address)
{
    const sockaddr_in native = ToNative(address);
    const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native);
    const int err = rc == 0 ? 0 : errno;
    if (err == 0 || err == EINPROGRESS || err == ECONNREFUSED) {
        // As a non-blocking connect on the designed platform: the outcome, refusal included,
        // arrives as a connect notification, if the socket can be watched for it.
        if (const int refused = Loop().MarkConnecting(fd))
            return Fail(refused);
        lastError = WSAEWOULDBLOCK;
        return -1;
    }
    return Fail(err);
}

int SocketBind(int fd, const SockAddrIn& address)
{
    const sockaddr_in native = ToNative(address);
    return bind(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0 ? 0 : Fail(errno);
}

int SocketListen(int fd, int backlog)
{
    if (listen(fd, backlog) != 0)
        return Fail(errno);
    const int refused = Loop().MarkListening(fd);
    return refused ? Fail(refused) : 0;
}

int SocketAccept(int fd, SockAddrIn* peer)
{
    sockaddr_in native{};
    socklen_t len = sizeof native;
    const int client = accept4(fd, reinterpret_cast<sockaddr*>(&native), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int error = errno;
    Loop().MarkAcceptCalled(fd);
    if (client < 0)
        return Fail(error);
    Loop().MarkAccepted(client);
    if (peer)
        FromNative(native, *peer);
    return client;
}

bool SocketIdle(int fd)
{
    char byte;
    ssize_t n;
    do {
        n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

int SocketRecv(int fd, char* buffer, int length)
{
    ssize_t n;
    do {
        n = recv(fd, buffer, static_cast<size_t>(length), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail(errno) : static_cast<int>(n);
}

int SocketSplice(int fd, int pipeFd, int length)
{
    ssize_t n;
    do {
        n = splice(fd, nullptr, pipeFd, nullptr, static_cast<size_t>(length), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail(errno) : static_cast<int>(n);
}

int SocketSend(int fd, const char* buffer, int length)
{
    ssize_t n;
    do {
        n = send(fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            if (const int refused = Loop().MarkWriteBlocked(fd))
                return Fail(refused);  // no write notification could ever come
        }
        return Fail(err);
    }
    return static_cast<int>(n);
}

int SocketGetName(int fd, SockAddrIn& local)
{
    sockaddr_in native{};
    socklen_t len = sizeof native;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&native), &len) != 0)
        return Fail(errno);
    FromNative(native, local);
    return 0;
}

int SocketGetPeer(int fd, SockAddrIn& peer)
{
    sockaddr_in native{};
    socklen_t len = sizeof native;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&native), &len) != 0)
        return Fail(errno);
    FromNative(native, peer);
    return 0;
}

int WSAAsyncSelect(int fd, HWND window, unsigned msg, long events)
{
    if (fd < 0)
        return Fail(EBADF);
    const int refused = Loop().Select(fd, window, msg, events);
    return refused ? Fail(refused) : 0;
}

namespace {
std::mutex lookupMutex;
LookupFunction lookupFunction;

int SystemLookup(const std::string& name, std::uint32_t& address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    int error = WinsockErrorFromLookup(rc);
    if (rc == 0) {
        if (list && list->ai_addr)
            address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
        else
            error = WSANO_DATA;
    }
    if (list)
        freeaddrinfo(list);
    return error;
}
}  // namespace

void SetLookupFunction(LookupFunction lookup)
{
    std::lock_guard lock(lookupMutex);
    lookupFunction = std::move(lookup);
}

int WSAAsyncGetHostByName(HWND window, unsigned msg, const std::string& name, std::shared_ptr<HostEntry> result)
{
    static std::atomic<std::uint64_t> lastId{0};
    result->id = ++lastId;
    LookupFunction lookup;
    {
        std::lock_guard lock(lookupMutex);
        lookup = lookupFunction ? lookupFunction : LookupFunction(SystemLookup);
    }
    std::thread([loop = LoopHandle(), window, msg, name, result, lookup] {
        std::uint32_t address = 0;
        const int error = lookup(name, address);
        result->address = address;
        result->done = true;
        // The requester may be gone by now; posting to a destroyed window is a no-op.
        loop->Post(window, msg, static_cast<WPARAM>(result->id), MakeSelectReply(0, error));
    }).detach();
    return 0;
}

}  // namespace platform
