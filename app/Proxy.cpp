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

bool ParseHostPort(const std::string& text, int defaultPort, std::string& host, int& port)
{
    const size_t colon = text.rfind(':');
    host = text.substr(0, colon);
    if (host.empty() || host.find_first_of(":/ ") != std::string::npos)
        return false;
    if (colon == std::string::npos) {
        port = defaultPort;
        return defaultPort != 0;
    }
    const std::string digits = text.substr(colon + 1);
    const auto isDigit = [](unsigned char c) { return std::isdigit(c) != 0; };
    if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), isDigit))
        return false;
    port = std::stoi(digits);
    return port >= 1 && port <= 65535;
}

namespace {

// A proxy variable such as "http://user@127.0.0.1:8080/": user and path are dropped, the port
// defaults to 80. Only a plain HTTP proxy can carry the jobs' requests. Empty when usable,
// else why not.
std::string ParseProxyVariable(const std::string& text, std::string& host, int& port)
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
    return ParseHostPort(rest, 80, host, port) ? "" : _("it is not HOST:PORT or http://HOST:PORT/");
}

}  // namespace

std::string TEnvironmentProxy::ProblemText() const
{
    return Problem.empty() ? "" : platform::Fill(_("http_proxy=%1 cannot be used: %2"), {Variable, Problem});
}

TEnvironmentProxy ProxyFromEnvironment()
{
    TEnvironmentProxy proxy;
    const char* variable = std::getenv("http_proxy");
    if (variable == nullptr || *variable == '\0')
        return proxy;
    proxy.Variable = variable;
    proxy.Problem = ParseProxyVariable(variable, proxy.Host, proxy.Port);
    if (!proxy.Problem.empty()) {
        proxy.Host.clear();
        proxy.Port = 0;
    }
    return proxy;
}

void CheckProxyHost(TEnvironmentProxy& proxy, int limitMs, const std::function<bool()>& stop)
{
    if (!proxy.Problem.empty() || proxy.Host.empty() || platform::InetAddr(proxy.Host) != platform::INADDR_NONE_VALUE)
        return;
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
