// The generated sample gallery: folders, pictures, pages and file bytes, without any sockets.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace gallery {

struct GalleryOptions {
    std::string member = "tessa";  // owner of the gallery; ?m= of the member page
    int rootId = 77154;            // folder ID of the member's root folder; the others follow it
    unsigned seed = 1;             // picks the sizes and bytes of the files
    int scale = 1;                 // multiplies every folder's picture count
    int perPage = 6;               // entries (sub-folders and pictures) per gallery page
    int pictureBytes = 4096;       // a picture has from this many up to twice as many bytes
    bool movies = false;           // adds clip.avi and clip.MOV to the folder "family"
    bool jpegPictures = false;     // .jpg pictures are real JPEGs (GradientJpeg) instead of random bytes
};

struct Picture {
    std::string name;  // file name, also the thumbnail's ALT text
    int id = 0;        // ?i= of its view page
};

struct Folder {
    int id = 0;
    std::string name;
    std::string path;  // server path, "/gallery/<member>/.../", ends in "/"
    int parent = -1;   // index into the folder list; -1 for the root
    std::vector<int> children;
    std::vector<Picture> pictures;
    bool thumbnail = true;         // false: shown with the generic folder icon, outside any /thumb/
    bool redirectListing = false;  // its listing answers with a script redirect to its page
};

struct Reply {
    int code = 200;
    std::string reason = "OK";
    std::string contentType = "text/html";
    std::string body;
};

class Gallery {
public:
    explicit Gallery(GalleryOptions options);

    // Answers a request target given as path and query ("/cgi-bin/gallery.cgi?f=77154").
    Reply Answer(const std::string& target) const;

    // What a complete mirror leaves under its destination folder: "dir/" lines and
    // "dir/file SIZE" lines, "/"-separated, sorted.
    std::vector<std::string> LocalTree() const;

    const std::vector<Folder>& Folders() const { return folders_; }
    const GalleryOptions& Options() const { return options_; }
    int PageCount(const Folder& folder) const;

    static Reply ErrorReply(int code);
    static Reply ClientErrorReply();

private:
    void Build();
    int AddFolder(int parent, const std::string& name, int pictures);
    void AddPicture(Folder& folder, std::string name);

    Reply CgiReply(const std::string& query) const;
    Reply GalleryPathReply(const std::string& path) const;
    std::string FolderPage(const Folder& folder, int page) const;
    std::string AvatarLine() const;
    std::string SubFolderLine(const Folder& child) const;
    std::string PictureLine(const Folder& folder, const Picture& picture) const;
    std::string PageLink(const Folder& folder, int page) const;
    std::string RedirectPage(const Folder& folder) const;
    std::string PictureViewPage(const Folder& folder, const Picture& picture) const;
    std::string IndexPage() const;
    Reply FileReply(const std::string& path, std::size_t size, const char* type) const;
    std::size_t PictureSize(const std::string& path) const;
    Reply PictureReply(const std::string& path) const;
    std::string RealJpegBytes(const std::string& path) const;
    bool RealJpeg(const std::string& path) const;
    const Folder* FolderById(int id) const;
    const Folder* FolderByPath(const std::string& path) const;

    GalleryOptions options_;
    std::vector<Folder> folders_;
    std::map<std::string, int> byPath_;
    std::map<int, int> byId_;
    std::map<int, std::pair<int, int>> byPictureId_;  // picture ID -> (folder, picture)
    int nextPictureId_ = 500001;
    // The real JPEGs made so far, by path: the server answers from several threads.
    mutable std::mutex jpegMutex_;
    mutable std::map<std::string, std::string> jpegs_;
};

// Path and query of a request target; an absolute URL ("http://host/p?q") loses scheme and host.
std::string NormalizeTarget(const std::string& requestTarget);

// Deterministic bytes of a served file, from the seed and the server path; starts with a
// magic number that fits the file's extension.
std::string FileBytes(unsigned seed, const std::string& path, std::size_t size);

}  // namespace gallery
