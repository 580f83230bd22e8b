#include "app/Proxy.h"

#include "platform/catalogue.h"
#include "platform/messages.h"
#include "platform/text.h"
#include "platform/winsock.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>

std::string ParseHostPort(const std::string& text, int defaultPort, std::string& host, int& port)
{
    std::string rest = text;
    if (rest.starts_with('[')) {
        const size_t close = rest.find(']');
        if (close == std::string::npos)
            return _("an IPv6 address in [ ] lacks its ]");
        host = rest.substr(1, close - 1);
        rest.erase(0, close + 1);
        if (!rest.empty() && rest[0] != ':')
            return _("it is not HOST:PORT");
    } else {
        host = rest.substr(0, rest.find(':'));
        rest.erase(0, host.size());
    }
    if (host.empty())
        return _("it names no host, as in HOST:PORT");
    if (host.find_first_of("/[] @") != std::string::npos)
        return _("it is not HOST:PORT");
    if (rest.empty()) {
        port = defaultPort;
        return defaultPort != 0 ? "" : _("it names no port: HOST:PORT");
    }
    const std::string digits = rest.substr(1);
    const auto isDigit = [](unsigned char c) { return std::isdigit(c) != 0; };
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit))
        return platform::Fill(_("the port %1 is not a number"), {digits});
    port = digits.size() > 5 ? 0 : std::stoi(digits);
    if (port < 1 || port > 65535)
        return platform::Fill(_("the port %1 is not between 1 and 65535"), {digits});
    return {};
}

std::string ParseProxy(const std::string& text, std::string& host, int& port)
{
    std::string rest = text;
    if (const size_t scheme = rest.find("://"); scheme != std::string::npos) {
        if (!SameText(rest.substr(0, scheme), "http"))
            return _("only http:// proxies are supported");
        rest.erase(0, scheme + 3);
    }
    rest = rest.substr(0, rest.find('/'));
    if (const size_t at = rest.rfind('@'); at != std::string::npos)
        rest.erase(0, at + 1);
    return ParseHostPort(rest, 80, host, port);
}

std::string TProxySetting::ProblemText() const
{
    return Problem.empty() ? "" : platform::Fill(_("%1=%2 cannot be used: %3"), {Source, Text, Problem});
}

TProxySetting ProxySetting(const std::string& source, const std::string& text)
{
    TProxySetting proxy;
    proxy.Source = source;
    proxy.Text = text;
    proxy.Problem = ParseProxy(text, proxy.Host, proxy.Port);
    proxy.Malformed = !proxy.Problem.empty();
    if (proxy.Malformed) {
        proxy.Host.clear();
        proxy.Port = 0;
    }
    return proxy;
}

TProxySetting ProxyFromEnvironment()
{
    const char* variable = std::getenv("http_proxy");
    if (variable == nullptr || *variable == '\0')
        return {};
    return ProxySetting("http_proxy", variable);
}

void CheckProxyHost(TProxySetting& proxy, int limitMs, const std::function<bool()>& stop)
{
    if (!proxy.Problem.empty() || proxy.Host.empty() || platform::InetAddr(proxy.Host) != platform::INADDR_NONE_VALUE)
        return;
    // The connections are made over IPv4; an IPv6 proxy is refused before any job starts.
    if (proxy.Host.find(':') != std::string::npos) {
        proxy.Problem = platform::Fill(_("%1 is an IPv6 address, and connections are made over IPv4 only"), {proxy.Host});
        return;
    }
    constexpr unsigned WM_LOOKEDUP = platform::WM_USER + 1;
    bool done = false;
    int error = 0;
    platform::NotifyWindow window([&](unsigned msg, platform::WPARAM, platform::LPARAM lParam) {
        if (msg == WM_LOOKEDUP) {
            done = true;
            error = platform::SelectError(lParam);
        }
    });
    platform::WSAAsyncGetHostByName(window.Handle(), WM_LOOKEDUP, proxy.Host, std::make_shared<platform::HostEntry>());
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!done) {
        if (stop && stop())
            return;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            break;
        platform::WaitPass(static_cast<int>(std::min<long long>(left, 50)));
    }
    if (!done || error != 0)
        proxy.Problem = platform::Fill(_("no address found for host %1"), {proxy.Host});
}
