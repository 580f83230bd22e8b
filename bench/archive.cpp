// The download archive at growing sizes: one archive is filled record by record (one
// transaction each, as the download step records its files) up to each size in turn, and at
// each size looked up in random order, hits and misses apart.
// Usage: bench_archive FILE LOOKUPS SIZE...   (sizes ascending)
// Prints one line per size: records, records/s while filling up to it, hits/s, misses/s.
#include "mirror/Archive.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

// Picture paths shaped like a gallery's: members, their folders, numbered pictures.
std::string PicturePath(long long index)
{
    return "/gallery/member" + std::to_string(index % 997) + "/trip" + std::to_string(index % 89) + "/picture" +
           std::to_string(index) + ".jpg";
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Looks every path up; the rate, or -1 when not exactly `expected` of them were found.
double LookupRate(TArchive& archive, const std::vector<std::string>& paths, size_t expected)
{
    size_t found = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& path : paths)
        found += archive.Contains(TArchive::GalleryKind, path);
    const double seconds = SecondsSince(start);
    return found == expected ? static_cast<double>(paths.size()) / seconds : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s FILE LOOKUPS SIZE...\n", argv[0]);
        return 2;
    }
    const long long lookups = std::atoll(argv[2]);
    std::mt19937_64 random(2024);
    try {
        TArchive archive(argv[1]);
        long long recorded = 0;
        for (int i = 3; i < argc; ++i) {
            const long long size = std::atoll(argv[i]);
            const long long before = recorded;
            const auto start = std::chrono::steady_clock::now();
            for (; recorded < size; ++recorded) {
                const std::string path = PicturePath(recorded);
                archive.Record(TArchive::GalleryKind, path, "/dest" + path, 20480, 1700000000 + recorded);
            }
            const double recordRate = static_cast<double>(recorded - before) / SecondsSince(start);
            // Misses are paths of pictures beyond the recorded ones: keys among the recorded keys.
            std::vector<std::string> hits, misses;
            std::uniform_int_distribution<long long> pick(0, size - 1);
            for (long long n = 0; n < lookups; ++n) {
                hits.push_back(PicturePath(pick(random)));
                misses.push_back(PicturePath(size + pick(random)));
            }
            const double hitRate = LookupRate(archive, hits, hits.size());
            const double missRate = LookupRate(archive, misses, 0);
            if (hitRate < 0 || missRate < 0) {
                std::fprintf(stderr, "wrong lookup results at %lld records\n", size);
                return 1;
            }
            std::printf("%lld %.0f %.0f %.0f\n", size, recordRate, hitRate, missRate);
            std::fflush(stdout);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
