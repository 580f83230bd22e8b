// The transport side of the benchmark: request a stream from the loopback sender, read its
// reply head with ReadLn, and capture the rest into a file; or wait in ReadLn on a silent
// connection for a given time and report the CPU it cost.
#include "net/Psock.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int main(int argc, char** argv)
{
    if (argc != 4 || (std::strcmp(argv[1], "capture") != 0 && std::strcmp(argv[1], "idle") != 0)) {
        std::fprintf(stderr, "usage: bench_capture capture PORT FILE | idle PORT SECONDS\n");
        return 2;
    }
    TPowersock sock;
    sock.Host = "127.0.0.1";
    sock.Port = std::atoi(argv[2]);
    sock.Connect();
    sock.Write("GET / HTTP/1.0\r\n\r\n");
    if (std::strcmp(argv[1], "capture") == 0) {
        while (sock.ReadLn() != "\r\n") {
        }
        sock.CaptureFile(argv[3]);
        return 0;
    }
    const unsigned ms = static_cast<unsigned>(std::atof(argv[3]) * 1000);
    TThreadTimer timer;
    timer.SetInterval(ms);
    timer.SetOnTimer([&](TComponent*) { sock.Cancel(); });
    const double before = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    try {
        sock.ReadLn();
    } catch (const EAbortError&) {
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %.3f\n", wall, CpuSeconds() - before);
    return 0;
}
