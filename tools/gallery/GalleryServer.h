// HTTP/1.0 front of the sample gallery: one request per connection, one thread per connection.
#pragma once

#include "Gallery.h"
#include "Knobs.h"
#include "platform/UniqueFd.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace gallery {

using platform::UniqueFd;

class GalleryServer {
public:
    GalleryServer(const Gallery& gallery, std::vector<Knob> knobs, int slowMs = 0);
    ~GalleryServer();
    GalleryServer(const GalleryServer&) = delete;
    GalleryServer& operator=(const GalleryServer&) = delete;

    // Binds 127.0.0.1:port (0 = any free port) and returns the port; throws std::runtime_error.
    std::uint16_t Listen(std::uint16_t port);

    // Serves until Stop; then ends every connection and joins its thread.
    void Run();

    // Safe from a signal handler and from any thread.
    void Stop() noexcept;

    // One line per answered request, from the connection's thread.
    std::function<void(GalleryServer& sender, const std::string& line)> OnRequest;

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    // One request and what is done with it.
    struct Exchange {
        std::string method;
        std::string target;
        Reply reply;
        std::optional<Knob> knob;

        std::string Wire(std::size_t& bodyBytes) const;
    };

    void Serve(UniqueFd connection);
    Exchange Answer(const std::string& request);
    void HoldUntilClosed(int fd) const;
    bool ReadRequest(int fd, std::string& head) const;
    bool SendAll(int fd, const std::string& data) const;
    bool WaitFor(int fd, short events, int timeoutMs) const;
    bool Stopping() const;
    void Linger(int fd) const;
    void ReapWorkers(bool all);
    void Report(const std::string& line);

    const Gallery& gallery_;
    KnobTable knobs_;
    int slowMs_;
    UniqueFd listener_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::vector<Worker> workers_;
    std::mutex reportMutex_;
};

}  // namespace gallery
