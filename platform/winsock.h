// Winsock-style sockets on Linux: non-blocking IPv4 stream sockets whose events arrive as
// messages to a notification window, asynchronous host lookup, and Winsock error numbers.
#pragma once

#include "platform/messages.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// Socket event codes, as in the low half of a notification's lParam.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr long FD_ALL_EVENTS = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

constexpr LPARAM MakeSelectReply(long event, int error)
{
    return static_cast<LPARAM>((static_cast<std::uint32_t>(error) << 16) | (event & 0xFFFF));
}
constexpr long SelectEvent(LPARAM lParam) { return static_cast<long>(lParam & 0xFFFF); }
constexpr int SelectError(LPARAM lParam) { return static_cast<int>((lParam >> 16) & 0xFFFF); }

// Winsock error numbers the program tests for by name.
constexpr int WSAEINVAL = 10022;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

int WinsockErrorFromErrno(int err);
int WinsockErrorFromLookup(int gaiError);

// The last error of a socket call on this thread, as a Winsock number.
int WSAGetLastError();
void WSASetLastError(int error);

struct WSAData {
    std::uint16_t version = 0;
    std::uint16_t highVersion = 0;
    std::string description;
    std::string systemStatus;
    unsigned maxSockets = 0;
    unsigned maxUdpDatagram = 0;
};
int WSAStartup(std::uint16_t requested, WSAData& data);
int WSACleanup();

// IPv4 address with port and address in network byte order.
struct SockAddrIn {
    std::uint16_t family = 0;
    std::uint16_t port = 0;
    std::uint32_t address = 0;
};
constexpr std::uint16_t AF_INET_FAMILY = 2;
constexpr std::uint32_t INADDR_NONE_VALUE = 0xFFFFFFFFu;

std::uint32_t InetAddr(const std::string& dotted);  // INADDR_NONE_VALUE when not dotted
std::string InetNtoa(std::uint32_t address);
std::uint16_t Htons(std::uint16_t value);
std::uint16_t Ntohs(std::uint16_t value);

// Calls return -1 (or the descriptor) and set the last error, as their Winsock namesakes.
int SocketCreate();  // non-blocking IPv4 TCP socket
int SocketClose(int fd);
int SocketSetLinger(int fd, bool on, int seconds);
int SocketConnect(int fd, const SockAddrIn& address);
int SocketBind(int fd, const SockAddrIn& address);
int SocketListen(int fd, int backlog);
int SocketAccept(int fd, SockAddrIn* peer);
int SocketRecv(int fd, char* buffer, int length);
// As SocketRecv, but the bytes go into the pipe `pipeFd` inside the kernel, never through our
// memory. A socket that cannot be spliced fails with WSAEINVAL.
int SocketSplice(int fd, int pipeFd, int length);
int SocketSend(int fd, const char* buffer, int length);
// True when nothing waits to be read on the socket and its peer has not closed it: a kept
// connection that a server wrote to or closed while it was idle cannot carry the next reply.
bool SocketIdle(int fd);
int SocketGetName(int fd, SockAddrIn& local);
int SocketGetPeer(int fd, SockAddrIn& peer);

// Deliver the socket's `events` to `window` as message `msg` (0 events: stop notifying).
int WSAAsyncSelect(int fd, HWND window, unsigned msg, long events);

// Result of an asynchronous lookup: the first IPv4 address, in network byte order.
struct HostEntry {
    std::uint32_t address = 0;
    std::uint64_t id = 0;           // posted as wParam, to tell a stale completion apart
    std::atomic<bool> done{false};  // set by the lookup thread before it posts
};
// The resolver run on the lookup thread: fills the address (network byte order) and returns a
// Winsock error number. Tests install a slow or failing one; an empty function restores the
// system's resolver.
using LookupFunction = std::function<int(const std::string& name, std::uint32_t& address)>;
void SetLookupFunction(LookupFunction lookup);

// Look `name` up off the UI thread; completion posts `msg` to `window` with the error
// number in the high half of lParam. The entry is filled before the message is posted.
int WSAAsyncGetHostByName(HWND window, unsigned msg, const std::string& name,
                          std::shared_ptr<HostEntry> result);

}  // namespace platform
