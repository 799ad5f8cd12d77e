#pragma once

#include <unistd.h>

#include <utility>

namespace korvalot::util {

// Owns one open descriptor, so that no error path has to close it by hand.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() { Reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const noexcept { return fd_; }
    bool IsOpen() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int Release() noexcept { return std::exchange(fd_, -1); }
    // Closes the descriptor now; the system's result, for callers that must report it.
    int Close() noexcept { return fd_ >= 0 ? ::close(Release()) : 0; }

private:
    void Reset() noexcept {
        if (fd_ >= 0)
            ::close(Release());
    }

    int fd_ = -1;
};

}  // namespace korvalot::util
