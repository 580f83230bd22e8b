// A scratch folder that goes with the test.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace support {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessary-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary folder");
        path_ = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        // A test may have made the folder read-only; it must go all the same.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The folder as a destination text: ending in a separator, as the program folder does.
    std::string Text() const { return path_.string() + "/"; }

    // Everything below the folder: "dir/" lines and "dir/file SIZE" lines, sorted.
    std::vector<std::string> Tree() const { return TreeOf(path_); }
    static std::vector<std::string> TreeOf(const std::filesystem::path& root)
    {
        std::vector<std::string> lines;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            const std::string relative = std::filesystem::relative(entry.path(), root).generic_string();
            if (entry.is_directory())
                lines.push_back(relative + "/");
            else
                lines.push_back(relative + " " + std::to_string(entry.file_size()));
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }

private:
    std::filesystem::path path_;
};

}  // namespace support
