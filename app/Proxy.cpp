#include "app/Proxy.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

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

// A proxy variable such as "http://user@127.0.0.1:8080/": scheme, user and path are dropped,
// the port defaults to 80.
bool ParseProxyVariable(const std::string& text, std::string& host, int& port)
{
    std::string rest = text;
    if (const size_t scheme = rest.find("://"); scheme != std::string::npos)
        rest.erase(0, scheme + 3);
    rest = rest.substr(0, rest.find('/'));
    if (const size_t at = rest.rfind('@'); at != std::string::npos)
        rest.erase(0, at + 1);
    return ParseHostPort(rest, 80, host, port);
}

}  // namespace

TEnvironmentProxy ProxyFromEnvironment()
{
    TEnvironmentProxy proxy;
    const char* variable = std::getenv("http_proxy");
    if (variable == nullptr || *variable == '\0')
        return proxy;
    if (!ParseProxyVariable(variable, proxy.Host, proxy.Port)) {
        proxy = {};
        proxy.Ignored = variable;
    }
    return proxy;
}
