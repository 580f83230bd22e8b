// The HTTP proxy as the command line and the window both find it: "HOST:PORT" texts and the
// $http_proxy variable. No Qt here.
#pragma once

#include <functional>
#include <string>

// "HOST:PORT" (the port may be left out when `defaultPort` is not 0); false when malformed.
bool ParseHostPort(const std::string& text, int defaultPort, std::string& host, int& port);

// The proxy that $http_proxy names; none when it is unset or empty. HTTP_PROXY in capitals is
// not read, as common command-line HTTP tools do not read it.
struct TEnvironmentProxy {
    std::string Variable;  // the variable's text
    std::string Host;
    int Port = 0;
    // Why the set variable cannot be used. A gallery job then does not start: it would connect
    // without the proxy the user asked for.
    std::string Problem;

    // "http_proxy=VALUE cannot be used: WHY", or empty.
    std::string ProblemText() const;
};
TEnvironmentProxy ProxyFromEnvironment();

// Looks the proxy's host up as its connection would, so that a host that cannot be found stops
// a job before it starts, and says so in Problem. The wait runs the platform's loop, so a window
// stays live; it ends after `limitMs`, or early, leaving Problem as it was, once `stop` is true.
constexpr int ProxyLookupLimitMs = 15000;
void CheckProxyHost(TEnvironmentProxy& proxy, int limitMs = ProxyLookupLimitMs,
                    const std::function<bool()>& stop = {});
