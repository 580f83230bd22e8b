// sample-gallery: serves a generated gallery over HTTP/1.0 on 127.0.0.1 for the demo and the tests.
#include "Gallery.h"
#include "GalleryServer.h"
#include "Knobs.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = R"(usage: sample-gallery [options]

Serves a generated sample gallery on 127.0.0.1 over HTTP/1.0. Requests may name an
absolute URL (proxy style, any host) or a plain path. Prints "listening on 127.0.0.1:PORT".

Gallery:
  --port N              port to listen on; 0 picks a free one (default 0)
  --member NAME         member who owns the gallery (default tessa)
  --root ID             folder ID of the member's root folder (default 77154)
  --seed N              seed for the sizes and bytes of the files (default 1)
  --scale N             multiply every folder's picture count by N (default 1)
  --per-page N          entries per gallery page (default 6)
  --picture-bytes N     pictures have N to 2N-1 bytes (default 4096)
  --movies              add clip.avi and clip.MOV to the folder "family"
  --jpeg-pictures       serve every .jpg picture as a real 320x240 JPEG (a colour
                        gradient per path) instead of random bytes; --picture-bytes
                        then applies to the clips only
  --print-tree          print the tree a complete mirror leaves behind, then exit

Misbehaviour (TARGET is a path with query, e.g. /cgi-bin/gallery.cgi?f=77156;
a trailing * matches every target with that prefix; each may be given several times):
  --error TARGET[,code=C][,times=N]     answer code C (default 500) with an error page
                                        in lower case; code=client gives the gallery's
                                        "Client Error" page instead
  --stall TARGET[,after=N][,times=N]    send nothing (or the head and N body bytes),
                                        then hold the connection until the client closes
  --truncate TARGET[,after=N][,times=N] announce the full length, send N body bytes
                                        (default half), then close
  times=N limits a knob to the first N matching requests.
  --slow MS             send every reply in 512-byte pieces, MS milliseconds apart

Other:
  --log FILE            append one line per request to FILE ("-" = standard error)
  --help                show this text
)";

gallery::GalleryServer* g_server = nullptr;

extern "C" void OnSignal(int)
{
    if (g_server) g_server->Stop();
}

struct Settings {
    gallery::GalleryOptions gallery;
    std::vector<gallery::Knob> knobs;
    int port = 0;
    int slowMs = 0;
    bool printTree = false;
    std::string logFile;
};

int ParseInt(const std::string& option, const std::string& value, int minimum, int maximum)
{
    std::size_t used = 0;
    int number = 0;
    try {
        number = std::stoi(value, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != value.size() || value.empty() || number < minimum || number > maximum)
        throw std::invalid_argument(option + " needs a whole number from " + std::to_string(minimum) + " to " +
                                    std::to_string(maximum) + ", got '" + value + "'");
    return number;
}

// The walks cut paths at "cgi-bin" and "/thumb/", so a member name must not contain either.
bool ValidMember(const std::string& name)
{
    if (name.empty() || name.size() > 32 || name == "thumb" || name.find("cgi-bin") != std::string::npos)
        return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-')) return false;
    return true;
}

void ApplyOption(Settings& settings, const std::string& option, const std::string& value)
{
    auto& g = settings.gallery;
    if (option == "--port") settings.port = ParseInt(option, value, 0, 65535);
    else if (option == "--member") {
        if (!ValidMember(value))
            throw std::invalid_argument("--member needs letters, digits, '_' or '-' (and no 'cgi-bin' or 'thumb')");
        g.member = value;
    }
    else if (option == "--root") g.rootId = ParseInt(option, value, 1, 1000000000);
    else if (option == "--seed") g.seed = static_cast<unsigned>(ParseInt(option, value, 0, 2147483647));
    else if (option == "--scale") g.scale = ParseInt(option, value, 1, 10000);
    else if (option == "--per-page") g.perPage = ParseInt(option, value, 1, 10000);
    else if (option == "--picture-bytes") g.pictureBytes = ParseInt(option, value, 32, 64 * 1024 * 1024);
    else if (option == "--error") settings.knobs.push_back(gallery::ParseKnob(gallery::KnobKind::Error, value));
    else if (option == "--stall") settings.knobs.push_back(gallery::ParseKnob(gallery::KnobKind::Stall, value));
    else if (option == "--truncate") settings.knobs.push_back(gallery::ParseKnob(gallery::KnobKind::Truncate, value));
    else if (option == "--slow") settings.slowMs = ParseInt(option, value, 0, 60000);
    else if (option == "--log") settings.logFile = value;
    else throw std::invalid_argument("unknown option " + option);
}

Settings ParseArguments(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--movies") { settings.gallery.movies = true; continue; }
        if (option == "--jpeg-pictures") { settings.gallery.jpegPictures = true; continue; }
        if (option == "--print-tree") { settings.printTree = true; continue; }
        static const std::set<std::string> valued = {"--port", "--member", "--root", "--seed", "--scale",
                                                     "--per-page", "--picture-bytes", "--error", "--stall",
                                                     "--truncate", "--slow", "--log"};
        if (!valued.count(option.substr(0, option.find('='))))
            throw std::invalid_argument("unknown option " + option);
        std::string value;
        const std::size_t eq = option.find('=');
        if (option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            throw std::invalid_argument(option + " needs a value");
        }
        ApplyOption(settings, option, value);
    }
    return settings;
}

void InstallSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int Serve(const Settings& settings)
{
    const gallery::Gallery gallery(settings.gallery);
    gallery::GalleryServer server(gallery, settings.knobs, settings.slowMs);

    std::unique_ptr<std::ofstream> logFile;
    std::ostream* log = nullptr;
    if (settings.logFile == "-") {
        log = &std::cerr;
    } else if (!settings.logFile.empty()) {
        logFile = std::make_unique<std::ofstream>(settings.logFile, std::ios::app);
        if (!*logFile) throw std::runtime_error("cannot open log file " + settings.logFile);
        log = logFile.get();
    }
    if (log)
        server.OnRequest = [log](gallery::GalleryServer&, const std::string& line) { *log << line << std::endl; };

    const std::uint16_t port = server.Listen(static_cast<std::uint16_t>(settings.port));
    g_server = &server;
    InstallSignalHandlers();
    std::cout << "listening on 127.0.0.1:" << port << std::endl;
    server.Run();
    g_server = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kUsage;
            return 0;
        }
    }
    Settings settings;
    try {
        settings = ParseArguments(argc, argv);
        if (settings.printTree) {
            for (const std::string& line : gallery::Gallery(settings.gallery).LocalTree()) std::cout << line << '\n';
            return 0;
        }
    } catch (const std::invalid_argument& error) {
        std::cerr << "sample-gallery: " << error.what() << "\n(see --help)\n";
        return 2;
    }
    try {
        return Serve(settings);
    } catch (const std::exception& error) {
        std::cerr << "sample-gallery: " << error.what() << '\n';
        return 1;
    }
}
