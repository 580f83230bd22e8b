// Benchmark driver: HTTP GETs with the client exactly as the download step uses it, one
// connection per file, bodies streamed into files.
//   bench_http_get URL FILE          one Get into FILE
//   bench_http_get --list LIST DIR   every URL of LIST (one a line) into DIR/<last path part>
#include "net/NMHttp.h"

#include <fstream>
#include <iostream>
#include <string>

namespace {

bool Fetch(TNMHTTP& http, const std::string& url, const std::string& file)
{
    http.Body = file;
    http.Get(url);
    if (http.ReplyNumber != 200) {
        std::cerr << url << ": reply " << http.ReplyNumber << "\n";
        return false;
    }
    return true;
}

int Run(int argc, char** argv)
{
    TNMHTTP http;
    http.HeaderInfo.LocalMailAddress = "ie 6.0.2800.1106IC";
    http.HeaderInfo.UserId = "Internet Explorer";
    http.InputFileMode = true;
    if (argc == 3 && std::string(argv[1]) != "--list")
        return Fetch(http, argv[1], argv[2]) ? 0 : 1;
    if (argc == 4 && std::string(argv[1]) == "--list") {
        std::ifstream list(argv[2]);
        const std::string dir = argv[3];
        std::string url;
        int count = 0;
        while (std::getline(list, url)) {
            if (url.empty())
                continue;
            if (!Fetch(http, url, dir + "/" + url.substr(url.rfind('/') + 1)))
                return 1;
            ++count;
        }
        std::cerr << count << " files\n";
        return 0;
    }
    std::cerr << "usage: bench_http_get URL FILE | bench_http_get --list LIST DIR\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n";
        return 1;
    }
}
