#include "mirror/Album.h"

#include "mirror/AlbumAssets.h"
#include "mirror/Thumbnail.h"
#include "mirror/strutil.h"
#include "platform/Exception.h"
#include "platform/catalogue.h"
#include "platform/files.h"
#include "platform/text.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Every page starts with this line: a page of that name without it is the gallery's own file.
constexpr const char* PageMark = "<!-- album page -->";
// The album's own files in each folder, hidden beside the pictures.
constexpr const char* HiddenFolder = ".album/";
constexpr const char* ThumbnailFolder = ".album/thumbs/";
constexpr const char* OrderFile = ".album/order.txt";
constexpr const char* ThumbnailNotes = ".album/thumbs.txt";

struct TEntry {
    std::string Name;
    long long Size = 0;
    long long Time = 0;
};

struct TFolder {
    std::vector<std::string> Folders;  // by name
    std::vector<TEntry> Pictures;      // in the album's order
    std::vector<TEntry> Files;         // by name
};

// What a folder's page shows of a sub-folder: the pictures below it and a cover thumbnail.
struct TSummary {
    int Pictures = 0;
    std::string Cover;  // relative to the folder, or empty
};

std::string Extension(const std::string& name)
{
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : LowerCase(name.substr(dot));
}

bool IsJpeg(const std::string& name)
{
    const std::string extension = Extension(name);
    return extension == ".jpg" || extension == ".jpeg" || extension == ".jpe";
}

bool IsPicture(const std::string& name)
{
    static const std::set<std::string> others = {".png", ".gif", ".webp", ".bmp"};
    return IsJpeg(name) || others.contains(Extension(name));
}

std::string SizeText(long long bytes)
{
    char text[32];
    if (bytes < 1000)
        std::snprintf(text, sizeof text, "%lld B", bytes);
    else if (bytes < 1000 * 1000)
        std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(bytes) / 1e3);
    else
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// `work` for each index below `count`, on as many threads as there are cores: a thumbnail is a
// few milliseconds of decoding, and a mirror has thousands of them.
void OnEveryCore(size_t count, const std::function<void(size_t)>& work)
{
    std::atomic<size_t> next{0};
    const auto run = [&] {
        for (size_t i = next++; i < count; i = next++)
            work(i);
    };
    const size_t helpers = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), count);
    std::vector<std::thread> threads;
    for (size_t i = 1; i < helpers; ++i)
        threads.emplace_back(run);
    run();
    for (std::thread& thread : threads)
        thread.join();
}

// An album file that is not there yet holds nothing.
std::vector<std::string> ReadLines(const std::string& path)
{
    try {
        return platform::ReadTextLines(path);
    } catch (const EInOutError&) {
        return {};
    }
}

bool WriteWhole(const std::string& folder, const std::string& name, const std::string& text)
{
    return platform::WriteReplacing(folder + name, text) == 0;
}

// A page may be written where there is none or where the album wrote one.
bool IsOwnPage(const std::string& path)
{
    return !platform::FileExists(path) || IsAlbumPage(path);
}

class TAlbumBuilder {
public:
    explicit TAlbumBuilder(const TAlbumRequest& request) : request_(request)
    {
        top_ = platform::NativePath(request.Destination);
        if (top_.empty() || top_.back() != '/')
            top_ += '/';
        // The walk's folders are the destination's text followed by the server's path.
        for (const auto& [folder, names] : request.Listed) {
            const std::string native = platform::NativePath(folder);
            if (!native.starts_with(top_))
                continue;
            std::string relative;
            for (char c : native.substr(top_.size()))
                if (c != '/' || (!relative.empty() && relative.back() != '/'))
                    relative += c;
            // Only folders below the destination get pages.
            if (("/" + relative).find("/../") != std::string::npos)
                continue;
            std::vector<std::string>& order = listed_[relative];
            order.insert(order.end(), names.begin(), names.end());
        }
    }

    TAlbumCounts Build()
    {
        std::set<std::string> folders = request_.Whole ? AllFolders() : ListedFolders();
        NoteOrders();
        fs::create_directories(top_ + HiddenFolder);
        WriteWhole(top_ + HiddenFolder, "album.css", AlbumStyle());
        WriteWhole(top_ + HiddenFolder, "album.js", AlbumScript());
        // Deepest first: a page's covers come from the thumbnails of the folders below it.
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
            WriteFolder(*folder);
        return counts_;
    }

private:
    // The order the job listed, for a later album of the whole mirror, which lists nothing.
    void NoteOrders() const
    {
        for (const auto& [relative, names] : listed_) {
            const std::string folder = top_ + relative;
            if (!platform::DirectoryExists(folder))
                continue;
            std::string text;
            for (const std::string& name : names)
                text += name + "\n";
            fs::create_directories(folder + HiddenFolder);
            WriteWhole(folder + HiddenFolder, "order.txt", text);
        }
    }

    // Relative to the top, ending in '/'; the top itself is the empty text.
    std::set<std::string> ListedFolders() const
    {
        std::set<std::string> folders = {""};
        for (const auto& [relative, names] : listed_) {
            for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1))
                folders.insert(relative.substr(0, slash + 1));
        }
        return folders;
    }

    std::set<std::string> AllFolders() const
    {
        std::set<std::string> folders = {""};
        std::error_code error;
        for (auto entry = fs::recursive_directory_iterator(top_, error); entry != fs::recursive_directory_iterator();
             entry.increment(error)) {
            if (error)
                break;
            const std::string name = entry->path().filename().string();
            if (name.starts_with('.')) {
                entry.disable_recursion_pending();
                continue;
            }
            if (entry->is_directory(error) && !entry->is_symlink(error))
                folders.insert(fs::relative(entry->path(), top_).string() + "/");
        }
        return folders;
    }

    TFolder Scan(const std::string& relative) const
    {
        TFolder folder;
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(top_ + relative, error)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with('.') || entry.is_symlink(error))
                continue;
            if (entry.is_directory(error)) {
                folder.Folders.push_back(name);
                continue;
            }
            if (!entry.is_regular_file(error) || (name == request_.IndexName && IsOwnPage(entry.path().string())))
                continue;
            const TEntry file{name, static_cast<long long>(entry.file_size(error)),
                              platform::ModifiedTimeOf(entry.path().string())};
            (IsPicture(name) ? folder.Pictures : folder.Files).push_back(file);
        }
        std::sort(folder.Folders.begin(), folder.Folders.end());
        const auto byName = [](const TEntry& a, const TEntry& b) { return a.Name < b.Name; };
        std::sort(folder.Files.begin(), folder.Files.end(), byName);
        std::sort(folder.Pictures.begin(), folder.Pictures.end(), byName);
        Order(relative, folder.Pictures);
        return folder;
    }

    // The gallery's order: the job's listing when it listed the folder, else the one noted by
    // the job before; pictures neither names come after, by name.
    void Order(const std::string& relative, std::vector<TEntry>& pictures) const
    {
        const auto listed = listed_.find(relative);
        const std::vector<std::string> order =
            listed != listed_.end() ? listed->second : ReadLines(top_ + relative + OrderFile);
        std::map<std::string, size_t> rank;
        for (size_t i = 0; i < order.size(); ++i)
            rank.emplace(order[i], i);
        std::stable_sort(pictures.begin(), pictures.end(), [&rank](const TEntry& a, const TEntry& b) {
            const auto ra = rank.find(a.Name);
            const auto rb = rank.find(b.Name);
            return (ra == rank.end() ? rank.size() : ra->second) < (rb == rank.end() ? rank.size() : rb->second);
        });
    }

    // Thumbnails are made again only for pictures whose size or time changed since.
    void MakeThumbnails(const std::string& relative, const TFolder& folder)
    {
        const std::string path = top_ + relative;
        std::map<std::string, std::string> noted;
        for (const std::string& line : ReadLines(path + ThumbnailNotes)) {
            const size_t tab = line.find('\t');
            if (tab != std::string::npos)
                noted.emplace(line.substr(tab + 1), line.substr(0, tab));
        }
        const auto versionOf = [](const TEntry& picture) {
            return std::to_string(picture.Size) + " " + std::to_string(picture.Time);
        };
        std::vector<size_t> due;
        for (size_t i = 0; i < folder.Pictures.size(); ++i) {
            const TEntry& picture = folder.Pictures[i];
            const auto note = noted.find(picture.Name);
            if (note == noted.end() || note->second != versionOf(picture) ||
                !platform::FileExists(path + ThumbnailFolder + picture.Name))
                due.push_back(i);
        }
        if (!due.empty())
            fs::create_directories(path + ThumbnailFolder);
        // Why each picture due has no thumbnail; empty for those made.
        std::vector<std::string> why(folder.Pictures.size());
        OnEveryCore(due.size(), [&](size_t k) {
            const std::string& name = folder.Pictures[due[k]].Name;
            why[due[k]] = IsJpeg(name) ? MakeThumbnail(path + name, path + ThumbnailFolder + name, ThumbnailBox)
                                       : std::string("not a JPEG picture");
        });
        std::string notes;
        for (size_t i = 0; i < folder.Pictures.size(); ++i) {
            const TEntry& picture = folder.Pictures[i];
            if (why[i].empty()) {
                notes += versionOf(picture) + "\t" + picture.Name + "\n";
                continue;
            }
            std::error_code error;
            fs::remove(path + ThumbnailFolder + picture.Name, error);
            if (request_.Log)
                request_.Log(platform::Fill("** No thumbnail of %1: %2", {relative + picture.Name, why[i]}));
        }
        counts_.Thumbnails += static_cast<int>(std::count_if(due.begin(), due.end(), [&why](size_t i) { return why[i].empty(); }));
        if (!due.empty() || noted.size() != folder.Pictures.size())
            WriteWhole(path + HiddenFolder, "thumbs.txt", notes);
    }

    bool HasThumbnail(const std::string& relative, const std::string& name) const
    {
        return platform::FileExists(top_ + relative + ThumbnailFolder + name);
    }

    // The pictures below a folder and its first thumbnail, its own pictures first.
    const TSummary& Summary(const std::string& relative)
    {
        if (const auto known = summaries_.find(relative); known != summaries_.end())
            return known->second;
        const TFolder folder = Scan(relative);
        TSummary summary;
        summary.Pictures = static_cast<int>(folder.Pictures.size());
        for (const TEntry& picture : folder.Pictures)
            if (summary.Cover.empty() && HasThumbnail(relative, picture.Name))
                summary.Cover = ThumbnailFolder + picture.Name;
        for (const std::string& name : folder.Folders) {
            const TSummary& below = Summary(relative + name + "/");
            summary.Pictures += below.Pictures;
            if (summary.Cover.empty() && !below.Cover.empty())
                summary.Cover = name + "/" + below.Cover;
        }
        return summaries_[relative] = summary;
    }

    void WriteFolder(const std::string& relative)
    {
        const std::string path = top_ + relative;
        if (!platform::DirectoryExists(path))
            return;
        const TFolder folder = Scan(relative);
        MakeThumbnails(relative, folder);
        summaries_.erase(relative);
        if (!IsOwnPage(path + request_.IndexName)) {
            if (request_.Log)
                request_.Log(platform::Fill("** Not an album page, left as it is: %1", {relative + request_.IndexName}));
            return;
        }
        if (WriteWhole(path, request_.IndexName, Page(relative, folder)))
            ++counts_.Pages;
    }

    std::string Page(const std::string& relative, const TFolder& folder)
    {
        const std::string up = UpPath(relative);
        std::ostringstream page;
        page << PageMark << "\n<!DOCTYPE html>\n<html lang=\"" << Language() << "\"><head><meta charset=\"utf-8\">"
             << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>"
             << HtmlEscaped(Title(relative)) << "</title><link rel=\"stylesheet\" href=\"" << up
             << ".album/album.css\"></head>\n<body data-close=\"" << HtmlEscaped(_("閉じる")) << "\" data-previous=\""
             << HtmlEscaped(_("前へ")) << "\" data-next=\"" << HtmlEscaped(_("次へ")) << "\">\n";
        page << PathLinks(relative) << "<h1>" << HtmlEscaped(Title(relative)) << "</h1>\n";
        FolderLinks(page, relative, folder);
        PictureLinks(page, relative, folder);
        FileLinks(page, folder);
        page << "<script src=\"" << up << ".album/album.js\"></script>\n</body></html>\n";
        return page.str();
    }

    static std::string Language()
    {
        const std::string& language = platform::CatalogueLanguage();
        return language.empty() ? "ja" : language;
    }

    static std::string UpPath(const std::string& relative)
    {
        std::string up;
        for (char c : relative)
            if (c == '/')
                up += "../";
        return up;
    }

    static std::string Title(const std::string& relative)
    {
        if (relative.empty())
            return _("ミラー");
        const std::string trimmed = relative.substr(0, relative.size() - 1);
        return trimmed.substr(trimmed.rfind('/') + 1);
    }

    // The way back up: the top, then every folder above this one.
    std::string PathLinks(const std::string& relative) const
    {
        std::vector<std::string> names = {Title("")};
        for (size_t start = 0, slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1)
            names.push_back(relative.substr(start, slash - start));
        std::string nav = "<nav class=\"path\">";
        for (size_t level = 0; level < names.size(); ++level) {
            if (level > 0)
                nav += " / ";
            if (level + 1 == names.size()) {
                nav += "<span>" + HtmlEscaped(names[level]) + "</span>";
                continue;
            }
            std::string up;
            for (size_t i = level + 1; i < names.size(); ++i)
                up += "../";
            nav += "<a href=\"" + up + HtmlEscaped(UrlEscaped(request_.IndexName)) + "\">" + HtmlEscaped(names[level]) + "</a>";
        }
        return nav + "</nav>\n";
    }

    void FolderLinks(std::ostringstream& page, const std::string& relative, const TFolder& folder)
    {
        if (folder.Folders.empty())
            return;
        page << "<section class=\"folders\">\n";
        for (const std::string& name : folder.Folders) {
            const TSummary& below = Summary(relative + name + "/");
            const std::string href = UrlEscaped(name) + "/";
            page << "<a class=\"folder\" href=\"" << href << HtmlEscaped(UrlEscaped(request_.IndexName)) << "\">";
            if (below.Cover.empty())
                page << "<span class=\"placeholder\"></span>";
            else
                page << "<img src=\"" << href << HtmlEscaped(UrlEscaped(below.Cover)) << "\" alt=\"\" loading=\"lazy\">";
            page << "<span class=\"name\">" << HtmlEscaped(name) << "</span> <span class=\"count\">"
                 << HtmlEscaped(platform::Fill(platform::TranslatePlural("%1枚", "%1枚", static_cast<unsigned long>(below.Pictures)),
                                               {std::to_string(below.Pictures)}))
                 << "</span></a>\n";
        }
        page << "</section>\n";
    }

    void PictureLinks(std::ostringstream& page, const std::string& relative, const TFolder& folder) const
    {
        if (folder.Pictures.empty())
            return;
        page << "<section class=\"pictures\">\n";
        for (const TEntry& picture : folder.Pictures) {
            const std::string name = HtmlEscaped(picture.Name);
            page << "<a class=\"picture\" href=\"" << HtmlEscaped(UrlEscaped(picture.Name)) << "\" data-name=\"" << name
                 << "\" data-size=\"" << SizeText(picture.Size) << "\">";
            if (HasThumbnail(relative, picture.Name))
                page << "<img src=\"" << HtmlEscaped(UrlEscaped(ThumbnailFolder + picture.Name)) << "\" alt=\"" << name
                     << "\" loading=\"lazy\">";
            else
                page << "<span class=\"placeholder\"></span>";
            page << "</a>\n";
        }
        page << "</section>\n";
    }

    static void FileLinks(std::ostringstream& page, const TFolder& folder)
    {
        if (folder.Files.empty())
            return;
        page << "<section class=\"files\"><h2>" << HtmlEscaped(_("その他のファイル")) << "</h2><ul>\n";
        for (const TEntry& file : folder.Files)
            page << "<li><a href=\"" << HtmlEscaped(UrlEscaped(file.Name)) << "\">" << HtmlEscaped(file.Name)
                 << "</a> <span class=\"size\">" << SizeText(file.Size) << "</span></li>\n";
        page << "</ul></section>\n";
    }

    const TAlbumRequest& request_;
    std::string top_;
    std::map<std::string, std::vector<std::string>> listed_;  // by folder relative to the top
    TAlbumCounts counts_;
    std::map<std::string, TSummary> summaries_;
};

}  // namespace

bool IsAlbumPage(const std::string& path)
{
    std::ifstream in(path);
    std::string first;
    return std::getline(in, first) && first == PageMark;
}

std::string HtmlEscaped(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string UrlEscaped(const std::string& path)
{
    static const char* const hex = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += hex[c >> 4];
            escaped += hex[c & 15];
        }
    }
    return escaped;
}

TAlbumCounts BuildAlbum(const TAlbumRequest& request)
{
    const std::string& name = request.IndexName;
    if (name.empty() || name.starts_with('.') || name.find('/') != std::string::npos || !IsSafeName(name))
        throw std::invalid_argument(platform::Fill(_("the album's page name cannot be used: %1"), {name}));
    return TAlbumBuilder(request).Build();
}

std::string AlbumSummary(const TAlbumCounts& counts)
{
    return platform::Fill(_("Album: %1 pages written, %2 thumbnails made"),
                          {std::to_string(counts.Pages), std::to_string(counts.Thumbnails)});
}
