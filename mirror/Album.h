// The offline album: a page of the mirror's own in every mirrored folder, showing its
// sub-folders, its pictures as thumbnails in the gallery's order and its other files, which works
// from the disk without a server and without the network. A job writes the pages of the folders it
// touched and of those above them; thumbnails are made locally from the stored JPEG pictures.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

// The files a job listed, by local folder (as the walk names it, ending in '/'), in the
// gallery's order.
using TListedFiles = std::map<std::string, std::vector<std::string>>;

struct TAlbumCounts {
    int Pages = 0;
    int Thumbnails = 0;  // made now; those still up to date are not counted
};

struct TAlbumRequest {
    std::string Destination;                 // the mirror's top folder
    std::string IndexName = "index.html";    // each folder's page
    bool Whole = false;                      // every folder, else those of Listed and above
    TListedFiles Listed;
    std::function<void(const std::string&)> Log;  // a line for each file left without a thumbnail
};

// The hidden folder of the album's own files beside a folder's pictures.
inline constexpr const char* AlbumFolder = ".album";
// Whether the file at `path` is a page the album wrote.
bool IsAlbumPage(const std::string& path);

// The longest side of a thumbnail, in pixels.
inline constexpr int ThumbnailBox = 240;

// Writes the pages the request names, each under a new name renamed into place, with the
// album's stylesheet and script in the destination's hidden folder. A page name that holds a
// file of the gallery's own is never written over.
// Throws std::invalid_argument when the page name is not a plain file name.
TAlbumCounts BuildAlbum(const TAlbumRequest& request);
// The log's line on what BuildAlbum did.
std::string AlbumSummary(const TAlbumCounts& counts);

// For the pages: `text` with HTML's special characters as entities, and a path's names with
// everything but unreserved characters percent-encoded.
std::string HtmlEscaped(const std::string& text);
std::string UrlEscaped(const std::string& path);
