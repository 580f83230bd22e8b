// The HTTP proxy as the command line and the window both find it, from --proxy or from the
// http_proxy variable: one parsing, one wording. No Qt here.
#pragma once

#include <functional>
#include <string>

// "HOST:PORT", "[IPv6]:PORT" or "HOST" (then the port is `defaultPort`, when it is not 0).
// Empty when usable, else why not.
std::string ParseHostPort(const std::string& text, int defaultPort, std::string& host, int& port);
// A proxy as "HOST:PORT", "[IPv6]:PORT" or a URL such as "http://user@HOST:PORT/": user and
// path are dropped, the port defaults to 80. Only a plain HTTP proxy can carry the jobs'
// requests. Empty when usable, else why not.
std::string ParseProxy(const std::string& text, std::string& host, int& port);

// A proxy the user named, and whether it can be used.
struct TProxySetting {
    std::string Source;  // "--proxy" or "http_proxy"
    std::string Text;    // as given
    std::string Host;    // empty: no proxy
    int Port = 0;
    // Why it cannot be used; a gallery job then does not start: it would connect without the
    // proxy the user asked for.
    std::string Problem;
    // The text itself is wrong (a usage error), rather than its host not found.
    bool Malformed = false;

    // "SOURCE=TEXT cannot be used: WHY", or empty.
    std::string ProblemText() const;
};
// `text` as the proxy named by `source`.
TProxySetting ProxySetting(const std::string& source, const std::string& text);
// The proxy that $http_proxy names; none when it is unset or empty. HTTP_PROXY in capitals is
// not read, as common command-line HTTP tools do not read it.
TProxySetting ProxyFromEnvironment();

// Looks the proxy's host up as its connection would, so that a host that cannot be found stops
// a job before it starts, and says so in Problem. The wait runs the platform's loop, so a window
// stays live; it ends after `limitMs`, or early, leaving Problem as it was, once `stop` is true.
constexpr int ProxyLookupLimitMs = 15000;
void CheckProxyHost(TProxySetting& proxy, int limitMs = ProxyLookupLimitMs, const std::function<bool()>& stop = {});
