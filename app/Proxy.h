// The HTTP proxy as the command line and the window both find it: "HOST:PORT" texts and the
// $http_proxy variable. No Qt here.
#pragma once

#include <string>

// "HOST:PORT" (the port may be left out when `defaultPort` is not 0); false when malformed.
bool ParseHostPort(const std::string& text, int defaultPort, std::string& host, int& port);

// The proxy that $http_proxy names: none when it is unset or empty; none either, with the
// variable's text in `Ignored`, when it names no HOST:PORT proxy.
struct TEnvironmentProxy {
    std::string Host;
    int Port = 0;
    std::string Ignored;
};
TEnvironmentProxy ProxyFromEnvironment();
