// The one owner of a file descriptor (socket, file, pipe, epoll, eventfd): it closes the
// descriptor when it goes, so no other code calls close.
#pragma once

#include <unistd.h>

namespace platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Hands the descriptor over; this object owns nothing afterwards.
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the descriptor held, if any, and takes charge of `fd`.
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

    // Closes the descriptor now, for callers that must know whether the close succeeded (a
    // file whose last data the close may still fail to write). False with errno set.
    bool Close()
    {
        const int fd = Release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_ = -1;
};

}  // namespace platform
