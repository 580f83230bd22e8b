// Reading and writing whole files in tests, independent of the code under test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace support {

// Every byte of the file at `path`; "" when it cannot be read.
inline std::string FileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Makes `bytes` the whole contents of the file at `path`.
inline void WriteFile(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Whether the file at `path` holds exactly `bytes`; when not, where they part, rather than
// megabytes of both.
inline ::testing::AssertionResult Holds(const std::filesystem::path& path, const std::string& bytes)
{
    const std::string stored = FileBytes(path);
    if (stored == bytes)
        return ::testing::AssertionSuccess();
    const auto [at, _] = std::mismatch(stored.begin(), stored.end(), bytes.begin(), bytes.end());
    return ::testing::AssertionFailure() << path << " holds " << stored.size() << " bytes instead of "
                                         << bytes.size() << ", the first " << (at - stored.begin()) << " alike";
}

}  // namespace support
