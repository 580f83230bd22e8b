// The socket error table and the texts it gives: every transport error reaches the user as
// "number:text", as Winsock's numbers name it.
#include "net/Psock.h"

#include "platform/catalogue.h"
#include "platform/text.h"

#include <cstdio>

using namespace platform;

const SocketErrorEntry SocketErrorTable[51] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

std::string TPowersock::ErrorText(std::uint16_t number)
{
    ReportStatus(8, "エラーメッセージを探してください");
    if (number == 0)
        return "";
    std::string result;
    for (const auto& entry : SocketErrorTable)
        if (entry.number == number)
            result = std::to_string(number) + ":" + entry.text;
    return result.empty() ? platform::Fill(_("不明なエラー No. %1"), {std::to_string(number)}) : result;
}

void TPowersock::CheckSocketError(int tolerated, std::string& message)
{
    ReportStatus(16, "エラーマネージャでのエラーチェック中");
    LastError = WSAGetLastError();
    if (LastError == tolerated) {
        message.clear();
        return;
    }
    message = ErrorText(static_cast<std::uint16_t>(LastError));
    if (OnError)
        OnError(this, static_cast<std::uint16_t>(LastError), message);
    throw ESockError(message);
}

std::string FailureText(const std::string& text, const std::string& where, const std::string& reason)
{
    std::string message = text;
    for (const std::string* part : {&where, &reason}) {
        if (part->empty())
            continue;
        if (!message.empty())
            message += ": ";
        message += *part;
    }
    return message;
}

// Lookup failures read as the resolver's own texts, the rest as the table's in lower case.
std::string ReasonText(int number)
{
    switch (number) {
    case 0:
        return "";
    case WSAHOST_NOT_FOUND:
        return _("no such host");
    case WSATRY_AGAIN:
        return _("temporary failure in name resolution");
    case WSANO_RECOVERY:
        return _("non-recoverable failure in name resolution");
    case WSANO_DATA:
        return _("no address associated with the name");
    default:
        break;
    }
    for (const auto& entry : SocketErrorTable)
        if (entry.number == number)
            return LowerCase(entry.text);
    return platform::Fill(_("error %1"), {std::to_string(number)});
}

std::string TimedOutText(int milliseconds)
{
    std::string seconds = std::to_string(milliseconds / 1000);
    if (const int rest = milliseconds % 1000) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, "%03d", rest);
        std::string digits = fraction;
        digits.erase(digits.find_last_not_of('0') + 1);
        seconds += "." + digits;
    }
    return platform::Fill(_("timed out after %1 s"), {seconds});
}

std::string TPowersock::PeerText() const
{
    const std::string peer = Host + ":" + std::to_string(Port);
    return Proxy.empty() ? peer : platform::Fill(_("%1 via proxy %2:%3"), {peer, Proxy, std::to_string(ProxyPort)});
}

std::string TPowersock::StepText() const
{
    return Step.empty() ? platform::Fill(_("connection to %1"), {PeerText()}) : Step;
}
