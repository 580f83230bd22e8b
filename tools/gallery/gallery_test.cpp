// The sample gallery must be mirrorable by the walks exactly as they read pages, and its
// misbehaviour knobs must do what they promise on the wire.
#include "Gallery.h"
#include "GalleryServer.h"
#include "GradientJpeg.h"
#include "Knobs.h"

#include <algorithm>
#include <arpa/inet.h>
#include <iterator>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include <jpeglib.h>

namespace gallery {
namespace {

// --- the walks' string rules: 1-based positions, 0 when missing -------------------------------

long Pos(const std::string& sub, const std::string& text)
{
    const auto at = text.find(sub);
    return at == std::string::npos ? 0 : static_cast<long>(at) + 1;
}

std::string Keep(const std::string& text, long n) { return n <= 0 ? std::string() : text.substr(0, n); }

std::string Drop(const std::string& text, long n)
{
    if (n <= 0) return text;
    return n >= static_cast<long>(text.size()) ? std::string() : text.substr(n);
}

bool Has(const std::string& text, const std::string& sub) { return text.find(sub) != std::string::npos; }

std::string Replace(std::string text, char from, char to)
{
    for (char& c : text)
        if (c == from) c = to;
    return text;
}

std::string TakeFirstLine(std::string& text)
{
    const auto lf = text.find('\n');
    std::string line = text.substr(0, lf);
    text = lf == std::string::npos ? std::string() : text.substr(lf + 1);
    return line;
}

// A model of the gallery and listing walks that fetches straight from the gallery, records the
// files it would store and counts the features it met.
class WalkModel {
public:
    explicit WalkModel(const Gallery& gallery) : gallery_(gallery) {}

    void Job(const std::string& query)
    {
        std::string text;
        if (FetchPage(site_ + "/cgi-bin/gallery.cgi?" + query, text)) WalkGalleryPage(text, 0);
    }

    std::vector<std::string> Tree() const
    {
        std::set<std::string> entries(dirs_.begin(), dirs_.end());
        for (const auto& [path, bytes] : files_) entries.insert(path + " " + std::to_string(bytes.size()));
        return {entries.begin(), entries.end()};
    }

    std::vector<std::string> log;
    int redirects = 0;
    int galleryNextPages = 0;
    int listingNextPages = 0;
    int duplicates = 0;
    std::map<std::string, std::string> files_;

private:
    bool FetchPage(const std::string& url, std::string& text)
    {
        const Reply reply = gallery_.Answer(NormalizeTarget(url));
        text = reply.body.substr(0, reply.body.find_first_of("\r\x1a"));
        if (Has(text, "this.location.replace") || Has(text, "<HTML>")) return true;
        log.push_back("**Tried 5 times and got errors every time, skipping this folder");
        return false;
    }

    void MakeLocalFolders(const std::string& subPath)
    {
        std::string current;
        for (std::string rest = Replace(subPath, '\\', '/') + "/"; !rest.empty();) {
            const std::string field = rest.substr(0, rest.find('/'));
            rest = rest.substr(rest.find('/') + 1);
            if (field.empty()) continue;
            current += field + "/";
            dirs_.insert(current);
        }
    }

    void WalkGalleryPage(std::string text, int depth)
    {
        ASSERT_LT(depth, 64) << "walk recursion runs away";
        std::string line;
        bool error = false;
        do {
            line = TakeFirstLine(text);
            if (Has(line, "Client Error")) {
                log.push_back("** ERROR - i can't find this folder ID.  Please check the folder ID.");
                error = true;
            }
        } while (!Has(line, "/cgi-bin/gallery.cgi?") && !Has(line, "</HTML>") && !text.empty());
        if (error) return;
        if (Has(line, "</HTML>") || !Has(line, "/cgi-bin/gallery.cgi?")) {
            log.push_back("** ERROR - i can't find this user directory.  Please check the USER ID.");
            return;
        }
        std::string subPath;
        for (;;) {
            bool handedOver = false;
            if (Has(line, "\">Up</A></CODE></TD></TD>")) {
            } else if (Has(line, "/cgi-bin/gallery.cgi?f=")) {
                if (!SubFolder(line, subPath, depth)) return;
            } else if (Has(line, "/cgi-bin/gallery.cgi?i=") || Has(line, "_thumb.")) {
                std::string path = Drop(line, Pos("SRC=", line) + 3);
                path = Keep(path, Pos("><", path) - 1);
                WalkPictureListing(Keep(path, Pos("/thumb/", path)), 0);
                handedOver = true;
            } else if (Has(line, "Next</B></A>")) {
                if (!NextPage(line, subPath, depth)) return;
            }
            if (text.empty()) return;
            line = TakeFirstLine(text);
            if (Has(line, "</HTML>") || handedOver) return;
        }
    }

    bool SubFolder(const std::string& line, std::string& subPath, int depth)
    {
        std::string link = Drop(line, Pos("/cgi-bin/", line));
        link = Keep(link, Pos("\"><", link) - 1);
        std::string thumb = Drop(line, Pos("SRC=", line) + 3);
        thumb = Keep(thumb, Pos("><", thumb) - 1);
        thumb = Keep(thumb, Pos("/thumb/", thumb) - 1);
        subPath = Replace(thumb, '/', '\\');
        log.push_back(site_ + "/" + link);
        if (subPath.empty() && !lastFolderPath_.empty()) subPath = lastFolderPath_;
        MakeLocalFolders(subPath);
        std::string text;
        if (!FetchPage(site_ + "/" + link, text)) return false;
        WalkGalleryPage(text, depth + 1);
        lastFolderPath_ = subPath;
        return true;
    }

    bool NextPage(const std::string& line, const std::string& subPath, int depth)
    {
        const std::string rest = Drop(line, Pos("<A HREF=\"", line) + 9);
        const std::string next = Keep(rest, Pos("\">", rest) - 1);
        std::string number = Drop(rest, Pos("&n", rest) + 2);
        number = Keep(number, Pos("\"", number) - 1);
        EXPECT_FALSE(number.empty()) << line;
        EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << line;
        ++galleryNextPages;
        std::string text;
        if (!FetchPage(site_ + "/" + next, text)) return false;
        WalkGalleryPage(text, depth + 1);
        lastFolderPath_ = subPath;
        return true;
    }

    void WalkPictureListing(std::string path, int depth)
    {
        ASSERT_LT(depth, 256) << "listing chain runs away";
        std::string local = Replace(path, '/', '\\');
        const long k = Pos("cgi-bin", local);
        if (k > 0) {
            local = Keep(local, k - 1);
            path = Drop(path, Pos("/cgi-bin/", path) - 1);
        }
        MakeLocalFolders(local);
        std::string text;
        if (!FetchPage(site_ + path, text)) return;
        if (k > 0) path = Replace(local, '\\', '/');
        if (Has(text, "this.location.replace")) {
            std::string target = Drop(text, Pos("('", text) + 1);
            target = Keep(target, Pos("')", target) - 1);
            ++redirects;
            if (!FetchPage(site_ + target, text)) return;
        }
        std::string next;
        if (Has(text, "_thumb.jpg")) {
            std::string line;
            do line = TakeFirstLine(text);
            while (!Has(line, "_thumb.jpg"));
            for (;;) {
                if (Has(line, "Next</B></A>")) {
                    line = Drop(line, Pos("<A HREF=\"", line) + 9);
                    next = Keep(line, Pos("\">", line) - 1);
                }
                if (Has(line, "_thumb.jpg") && !Has(line, "cgi?f") && Has(line, "SRC=/gallery/")) {
                    std::string name = Drop(line, Pos("ALT=\"", line) + 4);
                    name = Keep(name, Pos("\"", name) - 1);
                    log.push_back(path + name);
                    MakeLocalFolders(Replace(path, '/', '\\'));
                    Download(path, name);
                }
                if (text.empty()) break;
                line = TakeFirstLine(text);
                if (Has(line, "</HTML>")) break;
            }
        }
        if (!next.empty()) {
            ++listingNextPages;
            WalkPictureListing(path + next, depth + 1);
        }
    }

    void Download(const std::string& folderPath, const std::string& name)
    {
        const Reply reply = gallery_.Answer(NormalizeTarget(site_ + folderPath + name));
        EXPECT_EQ(reply.code, 200) << folderPath << name;
        const std::string local = folderPath.substr(1) + name;
        if (files_.count(local)) ++duplicates;
        files_[local] = reply.body;
    }

    const Gallery& gallery_;
    const std::string site_ = "http://www.fotoarchive.com";
    std::string lastFolderPath_;
    std::set<std::string> dirs_;
};

// --- a full mirror reproduces the promised tree -------------------------------------------------

struct MirrorCase {
    const char* name;
    GalleryOptions options;
};

// Test names show the case's name, not a dump of its bytes.
void PrintTo(const MirrorCase& c, std::ostream* out) { *out << c.name; }

class MirrorTest : public testing::TestWithParam<MirrorCase> {};

TEST_P(MirrorTest, BothJobsMirrorTheWholeTree)
{
    const Gallery gallery(GetParam().options);
    const GalleryOptions& options = gallery.Options();
    for (const std::string& query : {"m=" + options.member, "f=" + std::to_string(options.rootId)}) {
        WalkModel walk(gallery);
        walk.Job(query);
        const auto got = walk.Tree();
        const auto want = gallery.LocalTree();
        std::vector<std::string> missing, extra;
        std::set_difference(want.begin(), want.end(), got.begin(), got.end(), std::back_inserter(missing));
        std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
        EXPECT_TRUE(missing.empty() && extra.empty())
            << query << ": " << missing.size() << " missing, first " << (missing.empty() ? "-" : missing[0])
            << "; " << extra.size() << " extra, first " << (extra.empty() ? "-" : extra[0]);
        EXPECT_EQ(walk.duplicates, 0) << query;
        for (const std::string& line : walk.log) EXPECT_FALSE(Has(line, "**")) << query << ": " << line;
    }
}

GalleryOptions With(int perPage, int scale, bool movies, bool jpegPictures = false)
{
    GalleryOptions options;
    options.perPage = perPage;
    options.scale = scale;
    options.movies = movies;
    options.jpegPictures = jpegPictures;
    return options;
}

INSTANTIATE_TEST_SUITE_P(Layouts, MirrorTest,
                         testing::Values(MirrorCase{"Default", GalleryOptions{}},
                                         MirrorCase{"Movies", With(6, 1, true)},
                                         MirrorCase{"TwoPerPage", With(2, 1, false)},
                                         MirrorCase{"OnePerPageScaled", With(1, 2, true)},
                                         MirrorCase{"OnePage", With(100, 3, false)},
                                         MirrorCase{"JpegPictures", With(6, 1, true, true)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Gallery, DefaultMirrorMeetsEveryFeatureOfTheWalks)
{
    const Gallery gallery{GalleryOptions{}};
    WalkModel walk(gallery);
    walk.Job("f=77154");
    EXPECT_EQ(walk.redirects, 1);
    EXPECT_GE(walk.galleryNextPages, 1);
    EXPECT_GE(walk.listingNextPages, 3);
    std::size_t deepest = 0;
    for (const std::string& line : gallery.LocalTree())
        deepest = std::max<std::size_t>(deepest, std::count(line.begin(), line.end(), '/'));
    EXPECT_GE(deepest, 5u);  // gallery/tessa/trips/alps/summit/
    for (const auto& [path, bytes] : walk.files_)
        EXPECT_EQ(bytes, FileBytes(1, "/" + path, bytes.size())) << path;
}

struct Decoded {
    int width = 0;
    int height = 0;
    long warnings = 0;
};

// Reads the whole picture; libjpeg's own handler ends the test program on a fatal error.
Decoded Decode(const std::string& bytes)
{
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    std::vector<unsigned char> row(static_cast<std::size_t>(info.output_width) * info.output_components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[] = {row.data()};
        jpeg_read_scanlines(&info, rows, 1);
    }
    jpeg_finish_decompress(&info);
    const Decoded decoded{static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                          errors.num_warnings};
    jpeg_destroy_decompress(&info);
    return decoded;
}

TEST(Gallery, JpegPicturesDecodeAndDiffer)
{
    const Gallery gallery{With(6, 1, false, true)};
    const std::vector<std::string> pictures = {"/gallery/tessa/tessa001.jpg", "/gallery/tessa/animals/cats/cats003.jpg",
                                               "/gallery/tessa/trips/alps/summit/summit002.jpg"};
    // Several threads at once, as the server asks, each making or finding the same pictures.
    std::vector<std::vector<std::string>> bodies(4);
    std::vector<std::thread> threads;
    for (auto& got : bodies)
        threads.emplace_back([&] {
            for (const std::string& path : pictures) got.push_back(gallery.Answer(path).body);
        });
    for (std::thread& thread : threads) thread.join();
    const Gallery again{With(6, 1, false, true)};
    std::set<std::string> distinct;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE(pictures[i]);
        const std::string& body = bodies[0][i];
        for (const auto& other : bodies) EXPECT_EQ(other[i], body);
        EXPECT_EQ(again.Answer(pictures[i]).body, body);
        EXPECT_EQ(again.Answer(pictures[i]).contentType, "image/jpeg");
        ASSERT_GT(body.size(), 4u);
        EXPECT_EQ(body.substr(0, 2), "\xFF\xD8");
        EXPECT_EQ(body.substr(body.size() - 2), "\xFF\xD9");
        const Decoded decoded = Decode(body);
        EXPECT_EQ(decoded.width, GradientWidth);
        EXPECT_EQ(decoded.height, GradientHeight);
        EXPECT_EQ(decoded.warnings, 0);
        distinct.insert(body);
    }
    EXPECT_EQ(distinct.size(), pictures.size());
}

TEST(Gallery, JpegPicturesChangeOnlyThePictures)
{
    const Gallery plain{With(6, 1, true)};
    const Gallery real{With(6, 1, true, true)};
    const struct {
        const char* target;
        bool changes;
    } cases[] = {
        {"/gallery/tessa/family/family002.jpg", true},
        {"/gallery/tessa/family/clip.avi", false},
        {"/gallery/tessa/family/clip.MOV", false},
        {"/gallery/tessa/family/thumb/family002_thumb.jpg", false},
        {"/members/tessa_thumb.jpg", false},
        {"/icons/folder.gif", false},
        {"/cgi-bin/gallery.cgi?f=77154", false},
    };
    for (const auto& c : cases) {
        const std::string before = plain.Answer(c.target).body;
        EXPECT_EQ(real.Answer(c.target).body != before, c.changes) << c.target;
        if (std::string(c.target).rfind("/gallery/", 0) == 0) {
            EXPECT_EQ(before, FileBytes(1, c.target, before.size())) << c.target;
        }
    }
}

TEST(Gallery, FailurePagesLeadToTheWalksMessages)
{
    const Gallery gallery{GalleryOptions{}};
    const struct {
        const char* query;
        const char* message;
    } cases[] = {
        {"f=4242", "** ERROR - i can't find this folder ID.  Please check the folder ID."},
        {"f=77156&n=99", "** ERROR - i can't find this folder ID.  Please check the folder ID."},
        {"f=seven", "** ERROR - i can't find this folder ID.  Please check the folder ID."},
        {"m=nobody", "** ERROR - i can't find this user directory.  Please check the USER ID."},
    };
    for (const auto& c : cases) {
        WalkModel walk(gallery);
        walk.Job(c.query);
        EXPECT_EQ(walk.log, std::vector<std::string>{c.message}) << c.query;
    }
}

TEST(Gallery, ServerErrorPagesAreNotAcceptedAsPages)
{
    for (int code : {404, 500, 503}) {
        const Reply reply = Gallery::ErrorReply(code);
        EXPECT_EQ(reply.code, code);
        EXPECT_FALSE(Has(reply.body, "<HTML>"));
        EXPECT_FALSE(Has(reply.body, "this.location.replace"));
    }
    const Gallery gallery{GalleryOptions{}};
    for (const char* target : {"/gallery/tessa/nothere/", "/gallery/tessa/cats001.jpg", "/elsewhere",
                               "/gallery/tessa/animals/cats/thumb/dog_thumb.jpg"})
        EXPECT_EQ(gallery.Answer(target).code, 404) << target;
}

TEST(Gallery, RequestTargetsLoseSchemeAndHost)
{
    const struct {
        const char* raw;
        const char* target;
    } cases[] = {
        {"http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=1", "/cgi-bin/gallery.cgi?f=1"},
        {"HTTP://www.pixhaven.com:8080/gallery/", "/gallery/"},
        {"http://www.pixhaven.com", "/"},
        {"http://host?x=1", "/?x=1"},
        {"/plain/path?q", "/plain/path?q"},
    };
    for (const auto& c : cases) EXPECT_EQ(NormalizeTarget(c.raw), c.target) << c.raw;
}

TEST(Knobs, ParseAcceptsFieldsAndRejectsNonsense)
{
    const Knob error = ParseKnob(KnobKind::Error, "/cgi-bin/gallery.cgi?f=77156,code=404,times=2");
    EXPECT_EQ(error.target, "/cgi-bin/gallery.cgi?f=77156");
    EXPECT_EQ(error.code, 404);
    EXPECT_EQ(error.times, 2);
    EXPECT_EQ(ParseKnob(KnobKind::Error, "/x,code=client").code, 0);
    EXPECT_EQ(ParseKnob(KnobKind::Stall, "/x,after=0").after, 0);
    EXPECT_EQ(ParseKnob(KnobKind::Truncate, "/x").after, -1);
    for (const auto& [kind, text] : std::vector<std::pair<KnobKind, std::string>>{
             {KnobKind::Error, ""}, {KnobKind::Error, "nopath"}, {KnobKind::Error, "/x,code=abc"},
             {KnobKind::Error, "/x,after=3"}, {KnobKind::Stall, "/x,code=500"}, {KnobKind::Stall, "/x,after=-1"},
             {KnobKind::Truncate, "/x,times=0"}, {KnobKind::Truncate, "/x,bogus"}})
        EXPECT_THROW(ParseKnob(kind, text), std::invalid_argument) << text;
}

TEST(Knobs, TimesAndPrefixesLimitWhatIsSpoilt)
{
    KnobTable table({ParseKnob(KnobKind::Error, "/gallery/tessa/*,times=2"), ParseKnob(KnobKind::Stall, "/a")});
    EXPECT_TRUE(table.Take("/gallery/tessa/x.jpg"));
    EXPECT_TRUE(table.Take("/gallery/tessa/y.jpg"));
    EXPECT_FALSE(table.Take("/gallery/tessa/z.jpg"));
    EXPECT_FALSE(table.Take("/ab"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(table.Take("/a")->kind, KnobKind::Stall);
}

// --- the server on loopback ---------------------------------------------------------------------

class RunningServer {
public:
    RunningServer(const Gallery& gallery, std::vector<Knob> knobs) : server_(gallery, std::move(knobs))
    {
        server_.OnRequest = [this](GalleryServer&, const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            answered_.notify_all();
        };
        port = server_.Listen(0);
        thread_ = std::thread([this] { server_.Run(); });
    }
    ~RunningServer() { Stop(); }
    void Stop()
    {
        server_.Stop();
        if (thread_.joinable()) thread_.join();
    }
    // The request log lines once `count` requests are answered (bounded wait).
    std::vector<std::string> Answered(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        answered_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
        return lines_;
    }
    std::uint16_t port = 0;

private:
    std::mutex mutex_;
    std::condition_variable answered_;
    std::vector<std::string> lines_;
    GalleryServer server_;
    std::thread thread_;
};

// Connects, sends the request and returns what arrives until the server closes or `limit` bytes
// are in; every receive is bounded by a time-out so that a fault fails instead of hanging.
class Client {
public:
    Client(std::uint16_t port, const std::string& request) : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        timeval timeout{10, 0};
        ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::send(fd_.Get(), request.data(), request.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(request.size());
    }
    // Returns false on a time-out.
    bool Receive(std::string& data, std::size_t limit = std::string::npos)
    {
        char buffer[4096];
        while (connected_ && data.size() < limit) {
            const ssize_t got = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
            if (got == 0) return closed = true;
            if (got < 0) return errno == ECONNRESET ? (closed = true) : false;
            data.append(buffer, static_cast<std::size_t>(got));
        }
        return connected_;
    }
    bool closed = false;

private:
    UniqueFd fd_;
    bool connected_ = false;
};

std::string Get(std::uint16_t port, const std::string& target)
{
    Client client(port, "GET " + target + " HTTP/1.0\r\nHost: www.fotoarchive.com\r\n\r\n");
    std::string reply;
    EXPECT_TRUE(client.Receive(reply));
    return reply;
}

std::string BodyOf(const std::string& reply) { return reply.substr(reply.find("\r\n\r\n") + 4); }

TEST(Server, ProxyAndPlainRequestsGetTheSameReply)
{
    const Gallery gallery{GalleryOptions{}};
    RunningServer server(gallery, {});
    const std::string proxied = Get(server.port, "http://www.pixhaven.com/cgi-bin/gallery.cgi?f=77154");
    const std::string plain = Get(server.port, "/cgi-bin/gallery.cgi?f=77154");
    const std::string expected = gallery.Answer("/cgi-bin/gallery.cgi?f=77154").body;
    EXPECT_EQ(proxied.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_TRUE(Has(proxied, "\r\nContent-Length: " + std::to_string(expected.size()) + "\r\n"));
    EXPECT_EQ(BodyOf(proxied), expected);
    EXPECT_EQ(plain, proxied);
    const std::string picture = "/gallery/tessa/animals/cats/cats003.jpg";
    EXPECT_EQ(BodyOf(Get(server.port, "http://www.fotoarchive.com" + picture)), gallery.Answer(picture).body);
}

TEST(Server, ErrorKnobSpoilsOnlyItsFirstRequests)
{
    const Gallery gallery{GalleryOptions{}};
    RunningServer server(gallery, {ParseKnob(KnobKind::Error, "/cgi-bin/gallery.cgi?f=77156,times=2"),
                                   ParseKnob(KnobKind::Error, "/gallery/*,code=client")});
    const std::string target = "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77156";
    for (int i = 0; i < 2; ++i) {
        const std::string reply = Get(server.port, target);
        EXPECT_EQ(reply.rfind("HTTP/1.0 500 ", 0), 0u) << reply;
        EXPECT_FALSE(Has(BodyOf(reply), "<HTML>"));
    }
    EXPECT_EQ(Get(server.port, target).rfind("HTTP/1.0 200 OK", 0), 0u);
    EXPECT_TRUE(Has(BodyOf(Get(server.port, "/gallery/tessa/")), "Client Error"));
}

TEST(Server, TruncatedBodyIsShorterThanAnnounced)
{
    const Gallery gallery{GalleryOptions{}};
    const std::string picture = "/gallery/tessa/family/family002.jpg";
    const std::string full = gallery.Answer(picture).body;
    for (const auto& [knob, expected] : std::vector<std::pair<std::string, std::size_t>>{
             {picture + ",after=100", 100}, {picture, full.size() / 2}}) {
        RunningServer server(gallery, {ParseKnob(KnobKind::Truncate, knob)});
        const std::string reply = Get(server.port, picture);
        EXPECT_TRUE(Has(reply, "\r\nContent-Length: " + std::to_string(full.size()) + "\r\n")) << knob;
        EXPECT_EQ(BodyOf(reply), full.substr(0, expected)) << knob;
    }
}

TEST(Server, StallHoldsTheConnectionUntilTheServerStops)
{
    const Gallery gallery{GalleryOptions{}};
    const std::string picture = "/gallery/tessa/family/family001.jpg";
    const Reply full = gallery.Answer(picture);
    const std::string head = "HTTP/1.0 200 OK\r\nServer: sample-gallery\r\nContent-Type: image/jpeg\r\n"
                             "Content-Length: " + std::to_string(full.body.size()) + "\r\nConnection: close\r\n\r\n";
    for (const auto& [knob, expected] : std::vector<std::pair<std::string, std::string>>{
             {picture + ",after=10", head + full.body.substr(0, 10)}, {picture, ""}}) {
        RunningServer server(gallery, {ParseKnob(KnobKind::Stall, knob)});
        Client client(server.port, "GET " + picture + " HTTP/1.0\r\n\r\n");
        std::string data;
        ASSERT_TRUE(client.Receive(data, expected.size())) << knob;
        EXPECT_FALSE(client.closed) << knob;
        const auto lines = server.Answered(1);
        ASSERT_EQ(lines.size(), 1u) << knob;
        EXPECT_EQ(lines[0], "GET " + picture + " 200 " + std::to_string(expected.empty() ? 0 : 10) + "/" +
                                std::to_string(full.body.size()) + " stall");
        server.Stop();
        ASSERT_TRUE(client.Receive(data)) << knob;
        EXPECT_TRUE(client.closed) << knob;
        EXPECT_EQ(data, expected) << knob;
    }
}

}  // namespace
}  // namespace gallery
