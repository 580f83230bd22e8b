#include "Gallery.h"

#include "GradientJpeg.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <set>
#include <stdexcept>

namespace gallery {

namespace {

// The sample tree, depth first: depth below the root, name, pictures (before --scale).
struct Blueprint {
    int depth;
    const char* name;
    int pictures;
    bool thumbnail;
    bool redirect;
};

// The root's name is the member's; its row carries nullptr.
constexpr Blueprint kTree[] = {
    {0, nullptr, 3, true, false},
    {1, "animals", 2, true, false},
    {2, "cats", 14, true, false},
    {2, "birds", 8, true, true},
    {1, "trips", 4, true, false},
    {2, "alps", 3, true, false},
    {3, "summit", 2, true, false},
    {2, "coast", 2, true, false},
    {2, "lakes", 3, true, false},
    {2, "city", 1, true, false},
    {2, "desert", 2, true, false},
    {2, "forest", 3, true, false},
    {2, "island", 2, true, false},
    {2, "valley", 1, true, false},
    {1, "family", 5, true, false},
    {1, "misc", 0, false, false},
};

constexpr const char* kCgi = "/cgi-bin/gallery.cgi";
constexpr const char* kMovieFolder = "family";

std::uint64_t Fnv1a(const std::string& text)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

std::uint64_t SplitMix(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Extension(const std::string& name)
{
    auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string Stem(const std::string& name)
{
    auto dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

const char* ContentType(const std::string& name)
{
    const std::string ext = Extension(name);
    if (ext == ".jpg") return "image/jpeg";
    if (ext == ".gif") return "image/gif";
    if (ext == ".avi") return "video/x-msvideo";
    if (ext == ".mov" || ext == ".MOV") return "video/quicktime";
    return "application/octet-stream";
}

// Only whole, plain decimal numbers count; anything else is a bad folder or page number.
bool ParseNumber(const std::string& text, int& value)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

std::map<std::string, std::string> ParseQuery(const std::string& query)
{
    std::map<std::string, std::string> fields;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t amp = query.find('&', start);
        if (amp == std::string::npos) amp = query.size();
        std::string pair = query.substr(start, amp - start);
        std::size_t eq = pair.find('=');
        if (!pair.empty())
            fields.emplace(pair.substr(0, eq), eq == std::string::npos ? std::string() : pair.substr(eq + 1));
        start = amp + 1;
    }
    return fields;
}

std::string Numbered(const std::string& stem, int index)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03d", index);
    return stem + digits + ".jpg";
}

Reply HtmlReply(std::string body, int code = 200, std::string reason = "OK")
{
    Reply reply;
    reply.code = code;
    reply.reason = std::move(reason);
    reply.body = std::move(body);
    return reply;
}

}  // namespace

Gallery::Gallery(GalleryOptions options) : options_(std::move(options))
{
    if (options_.perPage < 1 || options_.scale < 1 || options_.pictureBytes < 32 || options_.rootId < 1)
        throw std::invalid_argument("root, per-page and scale must be at least 1, picture-bytes at least 32");
    Build();
}

void Gallery::Build()
{
    std::vector<int> stack;  // folder index per depth
    for (const Blueprint& row : kTree) {
        stack.resize(row.depth);
        const int parent = row.depth == 0 ? -1 : stack.back();
        const int index = AddFolder(parent, row.name ? row.name : options_.member, row.pictures * options_.scale);
        folders_[index].thumbnail = row.thumbnail;
        folders_[index].redirectListing = row.redirect;
        stack.push_back(index);
    }
}

int Gallery::AddFolder(int parent, const std::string& name, int pictures)
{
    Folder folder;
    folder.id = options_.rootId + static_cast<int>(folders_.size());
    folder.name = name;
    folder.parent = parent;
    folder.path = (parent < 0 ? std::string("/gallery/") : folders_[parent].path) + name + "/";
    for (int i = 1; i <= pictures; ++i) AddPicture(folder, Numbered(name, i));
    if (options_.movies && parent >= 0 && name == kMovieFolder) {
        // clip.MOV stays downloadable even under the lock-out: that test is case-sensitive.
        AddPicture(folder, "clip.avi");
        AddPicture(folder, "clip.MOV");
    }
    const int index = static_cast<int>(folders_.size());
    byPath_[folder.path] = index;
    byId_[folder.id] = index;
    if (parent >= 0) folders_[parent].children.push_back(index);
    folders_.push_back(std::move(folder));
    return index;
}

// The folder is not in the list yet: it will take the next index.
void Gallery::AddPicture(Folder& folder, std::string name)
{
    byPictureId_[nextPictureId_] = {static_cast<int>(folders_.size()), static_cast<int>(folder.pictures.size())};
    folder.pictures.push_back({std::move(name), nextPictureId_++});
}

int Gallery::PageCount(const Folder& folder) const
{
    const int entries = static_cast<int>(folder.children.size() + folder.pictures.size());
    return std::max(1, (entries + options_.perPage - 1) / options_.perPage);
}

const Folder* Gallery::FolderById(int id) const
{
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : &folders_[it->second];
}

const Folder* Gallery::FolderByPath(const std::string& path) const
{
    auto it = byPath_.find(path);
    return it == byPath_.end() ? nullptr : &folders_[it->second];
}

Reply Gallery::Answer(const std::string& target) const
{
    const std::size_t question = target.find('?');
    const std::string path = target.substr(0, question);
    const std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);
    if (path == kCgi) return CgiReply(query);
    if (path.rfind("/gallery/", 0) == 0) return GalleryPathReply(path);
    if (path == "/icons/folder.gif") return FileReply(path, 64, "image/gif");
    if (path == "/members/" + options_.member + "_thumb.jpg") return FileReply(path, 512, "image/jpeg");
    if (path == "/") return HtmlReply(IndexPage());
    return ErrorReply(404);
}

Reply Gallery::CgiReply(const std::string& query) const
{
    const auto fields = ParseQuery(query);
    const auto get = [&](const char* key) -> const std::string* {
        auto it = fields.find(key);
        return it == fields.end() ? nullptr : &it->second;
    };
    int number = 0;
    if (const std::string* picture = get("i")) {
        auto it = byPictureId_.end();
        if (ParseNumber(*picture, number)) it = byPictureId_.find(number);
        if (it == byPictureId_.end()) return ClientErrorReply();
        const Folder& folder = folders_[it->second.first];
        return HtmlReply(PictureViewPage(folder, folder.pictures[it->second.second]));
    }
    const Folder* folder = nullptr;
    if (const std::string* id = get("f")) {
        if (ParseNumber(*id, number)) folder = FolderById(number);
        if (!folder) return ClientErrorReply();
    } else if (const std::string* member = get("m")) {
        if (*member != options_.member)
            return HtmlReply("<HTML>\n<HEAD><TITLE>Gallery</TITLE></HEAD>\n<BODY>\n"
                             "<P>There is no member with this name.</P>\n</BODY>\n</HTML>\n");
        folder = &folders_.front();
    } else {
        return HtmlReply(IndexPage());
    }
    int page = 1;
    if (const std::string* n = get("n")) {
        if (!ParseNumber(*n, page) || page < 1 || page > PageCount(*folder)) return ClientErrorReply();
    }
    return HtmlReply(FolderPage(*folder, page));
}

Reply Gallery::GalleryPathReply(const std::string& path) const
{
    if (EndsWith(path, "/")) {
        const Folder* folder = FolderByPath(path);
        if (!folder) return ErrorReply(404);
        return HtmlReply(folder->redirectListing ? RedirectPage(*folder) : FolderPage(*folder, 1));
    }
    const std::size_t slash = path.rfind('/');
    std::string dir = path.substr(0, slash + 1);
    const std::string name = path.substr(slash + 1);
    if (EndsWith(dir, "/thumb/")) {
        const Folder* folder = FolderByPath(dir.substr(0, dir.size() - 6));
        const std::string tail = "_thumb.jpg";
        if (!folder || !EndsWith(name, tail)) return ErrorReply(404);
        const std::string stem = name.substr(0, name.size() - tail.size());
        const bool known = stem == "folder" || std::any_of(folder->pictures.begin(), folder->pictures.end(),
                                                           [&](const Picture& p) { return Stem(p.name) == stem; });
        if (!known) return ErrorReply(404);
        return FileReply(path, 256 + Fnv1a(path) % 256, "image/jpeg");
    }
    const Folder* folder = FolderByPath(dir);
    if (!folder) return ErrorReply(404);
    for (const Picture& picture : folder->pictures)
        if (picture.name == name) return PictureReply(path);
    return ErrorReply(404);
}

std::string Gallery::FolderPage(const Folder& folder, int page) const
{
    const int pages = PageCount(folder);
    const std::string up = folder.parent < 0 ? std::string(kCgi) + "?a=members"
                                             : std::string(kCgi) + "?f=" + std::to_string(folders_[folder.parent].id);
    std::string html = "<HTML>\n<HEAD>\n<TITLE>Gallery - " + options_.member + " - " + folder.name + " (page " +
                       std::to_string(page) + " of " + std::to_string(pages) + ")</TITLE>\n</HEAD>\n" +
                       "<BODY BGCOLOR=\"#FFFFFF\">\n<H2>" + folder.name + "</H2>\n" + AvatarLine() + "<P>" +
                       std::to_string(folder.children.size()) + " folders, " +
                       std::to_string(folder.pictures.size()) + " pictures</P>\n" +
                       "<TABLE BORDER=0 CELLPADDING=4>\n" +
                       "<TR><TD><CODE><A HREF=\"" + up + "\">Up</A></CODE></TD></TD></TR>\n";
    // Sub-folders come before pictures: the walk stops reading a page at its first picture.
    const std::size_t first = static_cast<std::size_t>(page - 1) * options_.perPage;
    const std::size_t last = first + options_.perPage;
    for (std::size_t entry = first; entry < last; ++entry) {
        if (entry < folder.children.size())
            html += SubFolderLine(folders_[folder.children[entry]]);
        else if (entry - folder.children.size() < folder.pictures.size())
            html += PictureLine(folder, folder.pictures[entry - folder.children.size()]);
    }
    if (page > 1)
        html += "<TR><TD COLSPAN=2><A HREF=\"" + PageLink(folder, page - 1) + "\">Prev</A></TD></TR>\n";
    if (page < pages)
        html += "<TR><TD COLSPAN=2><A HREF=\"" + PageLink(folder, page + 1) + "\"><B>Next</B></A></TD></TR>\n";
    return html + "</TABLE>\n</BODY>\n</HTML>\n";
}

// Every page shows a thumbnail, so that the listing walk reads on to a "Next" link even on a page
// whose only entry is a folder without one; being outside /gallery/ it is never taken for a picture.
std::string Gallery::AvatarLine() const
{
    return "<P><IMG SRC=/members/" + options_.member + "_thumb.jpg WIDTH=48 HEIGHT=48 ALT=\"" + options_.member +
           "\"> " + options_.member + "</P>\n";
}

std::string Gallery::SubFolderLine(const Folder& child) const
{
    const std::string link = std::string(kCgi) + "?f=" + std::to_string(child.id);
    const std::string image = child.thumbnail ? child.path + "thumb/folder_thumb.jpg WIDTH=96 HEIGHT=72"
                                              : std::string("/icons/folder.gif WIDTH=32 HEIGHT=32");
    return "<TR><TD><A HREF=\"" + link + "\"><IMG SRC=" + image + " BORDER=0></A></TD><TD><A HREF=\"" + link +
           "\"><B>" + child.name + "</B></A></TD></TR>\n";
}

std::string Gallery::PictureLine(const Folder& folder, const Picture& picture) const
{
    return "<TR><TD><A HREF=\"" + std::string(kCgi) + "?i=" + std::to_string(picture.id) + "\"><IMG SRC=" +
           folder.path + "thumb/" + Stem(picture.name) + "_thumb.jpg WIDTH=96 HEIGHT=72 BORDER=0 ALT=\"" +
           picture.name + "\"></A></TD><TD>" + picture.name + "</TD></TR>\n";
}

// Not "?f=" first: a line with "/cgi-bin/gallery.cgi?f=" counts as a sub-folder entry.
std::string Gallery::PageLink(const Folder& folder, int page) const
{
    return std::string(kCgi) + "?m=" + options_.member + "&f=" + std::to_string(folder.id) + "&n=" +
           std::to_string(page);
}

std::string Gallery::RedirectPage(const Folder& folder) const
{
    const std::string target = std::string(kCgi) + "?f=" + std::to_string(folder.id);
    return "<HTML>\n<HEAD>\n<SCRIPT LANGUAGE=\"JavaScript\">\n<!--\nthis.location.replace('" + target +
           "');\n// -->\n</SCRIPT>\n</HEAD>\n<BODY><A HREF=\"" + target + "\">" + folder.name +
           "</A></BODY>\n</HTML>\n";
}

std::string Gallery::PictureViewPage(const Folder& folder, const Picture& picture) const
{
    return "<HTML>\n<HEAD><TITLE>" + picture.name + "</TITLE></HEAD>\n<BODY>\n<IMG SRC=" + folder.path +
           picture.name + " ALT=\"" + picture.name + "\">\n<P><A HREF=\"" + kCgi + "?f=" +
           std::to_string(folder.id) + "\">" + folder.name + "</A></P>\n</BODY>\n</HTML>\n";
}

std::string Gallery::IndexPage() const
{
    return "<HTML>\n<HEAD><TITLE>Gallery members</TITLE></HEAD>\n<BODY>\n<H2>Members</H2>\n<UL>\n<LI><A HREF=\"" +
           std::string(kCgi) + "?m=" + options_.member + "\">" + options_.member + "</A>\n</UL>\n</BODY>\n</HTML>\n";
}

Reply Gallery::FileReply(const std::string& path, std::size_t size, const char* type) const
{
    Reply reply;
    reply.contentType = type;
    reply.body = FileBytes(options_.seed, path, size);
    return reply;
}

std::size_t Gallery::PictureSize(const std::string& path) const
{
    const auto base = static_cast<std::uint64_t>(options_.pictureBytes);
    return static_cast<std::size_t>(base + Fnv1a(std::to_string(options_.seed) + ":size:" + path) % base);
}

Reply Gallery::PictureReply(const std::string& path) const
{
    if (!RealJpeg(path)) return FileReply(path, PictureSize(path), ContentType(path));
    Reply reply;
    reply.contentType = ContentType(path);
    reply.body = RealJpegBytes(path);
    return reply;
}

bool Gallery::RealJpeg(const std::string& path) const
{
    return options_.jpegPictures && Extension(path) == ".jpg";
}

// Made once per path: a gallery of thousands of pictures is fetched many times in a test.
std::string Gallery::RealJpegBytes(const std::string& path) const
{
    std::lock_guard lock(jpegMutex_);
    auto [entry, added] = jpegs_.try_emplace(path);
    if (added) entry->second = GradientJpeg(Fnv1a(std::to_string(options_.seed) + ":jpeg:" + path));
    return entry->second;
}

std::vector<std::string> Gallery::LocalTree() const
{
    std::set<std::string> entries;
    for (const Folder& folder : folders_) {
        // Only a thumbnail beside the folder's link or a picture in it makes the walks create its folder.
        if (folder.pictures.empty() && !(folder.parent >= 0 && folder.thumbnail)) continue;
        for (std::size_t slash = folder.path.find('/', 1); slash != std::string::npos;
             slash = folder.path.find('/', slash + 1))
            entries.insert(folder.path.substr(1, slash));
        for (const Picture& picture : folder.pictures) {
            const std::string path = folder.path + picture.name;
            const std::size_t size = RealJpeg(path) ? RealJpegBytes(path).size() : PictureSize(path);
            entries.insert(path.substr(1) + " " + std::to_string(size));
        }
    }
    return {entries.begin(), entries.end()};
}

Reply Gallery::ErrorReply(int code)
{
    static const std::map<int, const char*> reasons = {
        {400, "Bad Request"}, {403, "Forbidden"}, {404, "Not Found"}, {500, "Internal Server Error"},
        {501, "Not Implemented"}, {502, "Bad Gateway"}, {503, "Service Unavailable"}};
    auto it = reasons.find(code);
    const std::string reason = it == reasons.end() ? "Error" : it->second;
    // Lower-case tags, as common servers write them: the page fetch rejects such a page and retries.
    return HtmlReply("<html><head><title>" + std::to_string(code) + " " + reason + "</title></head>\n<body><h1>" +
                         reason + "</h1><p>The gallery server could not answer this request.</p></body></html>\n",
                     code, reason);
}

Reply Gallery::ClientErrorReply()
{
    return HtmlReply("<HTML>\n<HEAD><TITLE>Gallery error</TITLE></HEAD>\n<BODY>\n<H1>Client Error</H1>\n"
                     "<P>There is no folder with this number.</P>\n<P><A HREF=\"" +
                         std::string(kCgi) + "?a=members\">Members</A></P>\n</BODY>\n</HTML>\n",
                     404, "Not Found");
}

std::string NormalizeTarget(const std::string& requestTarget)
{
    std::string lower = requestTarget.substr(0, 8);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::size_t skip = 0;
    if (lower.rfind("http://", 0) == 0) skip = 7;
    else if (lower.rfind("https://", 0) == 0) skip = 8;
    else return requestTarget;
    const std::size_t path = requestTarget.find_first_of("/?", skip);
    if (path == std::string::npos) return "/";
    return requestTarget[path] == '?' ? "/" + requestTarget.substr(path) : requestTarget.substr(path);
}

std::string FileBytes(unsigned seed, const std::string& path, std::size_t size)
{
    std::uint64_t state = Fnv1a(std::to_string(seed) + ":" + path);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = SplitMix(state);
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) bytes[i + k] = static_cast<char>(word >> (8 * k));
    }
    const std::string ext = Extension(path);
    std::string head, tail;
    if (ext == ".jpg") {
        head = std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
        tail = "\xFF\xD9";
    } else if (ext == ".gif") {
        head = "GIF89a";
        tail = ";";
    } else if (ext == ".avi") {
        head = std::string("RIFF\0\0\0\0AVI ", 12);
    } else if (ext == ".mov" || ext == ".MOV") {
        head = std::string("\0\0\0\x14" "ftypqt  ", 12);
    }
    if (head.size() + tail.size() <= size) {
        bytes.replace(0, head.size(), head);
        bytes.replace(size - tail.size(), tail.size(), tail);
    }
    return bytes;
}

}  // namespace gallery
