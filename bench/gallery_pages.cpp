// Writes the sample gallery as static files for the crawl benchmark, every picture a hard link
// to one file. Under OUT, what nginx serves:
//   pages/f<ID>_n<N>.html    the CGI's pages (f<ID>_n.html: a first page asked without n)
//   gallery/.../index.html   each folder's listing; gallery/.../NAME.jpg the pictures
//   index.html, f<ID>_n<N>.html   the same folders and pages as plain links, for wget -r
// Usage: bench_gallery_pages --scale N --per-page N --picture FILE --out DIR
// Prints "<pictures> pictures <pages> pages" (pages: of each crawl, the listings not counted).
#include "Gallery.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Options {
    gallery::GalleryOptions gallery;
    fs::path picture;
    fs::path out;
};

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--scale")
            options.gallery.scale = std::atoi(value);
        else if (key == "--per-page")
            options.gallery.perPage = std::atoi(value);
        else if (key == "--picture")
            options.picture = value;
        else if (key == "--out")
            options.out = value;
        else
            throw std::invalid_argument("unknown option " + key);
    }
    if (options.picture.empty() || options.out.empty())
        throw std::invalid_argument("usage: bench_gallery_pages --scale N --per-page N --picture FILE --out DIR");
    return options;
}

void WriteFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file.flush())
        throw std::runtime_error("cannot write " + path.string());
}

void LinkPicture(const fs::path& picture, const fs::path& path)
{
    fs::create_directories(path.parent_path());
    if (link(picture.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot link " + path.string());
}

std::string PageName(int id, int page)
{
    return 'f' + std::to_string(id) + "_n" + std::to_string(page) + ".html";
}

// One page of a folder for wget: its share of sub-folders and pictures, as plain links.
std::string StaticPage(const gallery::Gallery& g, const gallery::Folder& folder, int page)
{
    const auto& folders = g.Folders();
    const std::size_t perPage = static_cast<std::size_t>(g.Options().perPage);
    std::string html = "<HTML>\n<BODY>\n<H2>" + folder.name + "</H2>\n";
    for (std::size_t entry = (page - 1) * perPage; entry < page * perPage; ++entry) {
        if (entry < folder.children.size()) {
            const auto& child = folders[folder.children[entry]];
            html += "<P><A HREF=\"/" + PageName(child.id, 1) + "\">" + child.name + "</A></P>\n";
        } else if (entry - folder.children.size() < folder.pictures.size()) {
            const auto& picture = folder.pictures[entry - folder.children.size()];
            html += "<P><A HREF=\"" + folder.path + picture.name + "\">" + picture.name + "</A></P>\n";
        }
    }
    if (page < g.PageCount(folder))
        html += "<P><A HREF=\"/" + PageName(folder.id, page + 1) + "\">Next</A></P>\n";
    return html + "</BODY>\n</HTML>\n";
}

int WriteFolder(const gallery::Gallery& g, const gallery::Folder& folder, const Options& options)
{
    const fs::path& out = options.out;
    const std::string cgi = "/cgi-bin/gallery.cgi?m=" + g.Options().member + "&f=" + std::to_string(folder.id);
    WriteFile(out / "pages" / ('f' + std::to_string(folder.id) + "_n.html"), g.Answer(cgi).body);
    WriteFile(out / folder.path.substr(1) / "index.html", g.Answer(folder.path).body);
    const int pages = g.PageCount(folder);
    for (int page = 1; page <= pages; ++page) {
        WriteFile(out / "pages" / PageName(folder.id, page), g.Answer(cgi + "&n=" + std::to_string(page)).body);
        WriteFile(out / PageName(folder.id, page), StaticPage(g, folder, page));
    }
    for (const auto& picture : folder.pictures)
        LinkPicture(options.picture, out / folder.path.substr(1) / picture.name);
    return pages;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const Options options = ParseOptions(argc, argv);
        const gallery::Gallery g(options.gallery);
        int pictures = 0;
        int pages = 0;
        for (const auto& folder : g.Folders()) {
            pages += WriteFolder(g, folder, options);
            pictures += static_cast<int>(folder.pictures.size());
        }
        WriteFile(options.out / "index.html",
                  "<HTML><BODY><A HREF=\"/" + PageName(g.Folders().front().id, 1) + "\">start</A></BODY></HTML>\n");
        std::printf("%d pictures %d pages\n", pictures, pages);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_gallery_pages: %s\n", error.what());
        return 1;
    }
    return 0;
}
