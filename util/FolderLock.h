#pragma once

#include <filesystem>

namespace korvalot::util {

// An advisory lock (flock) on a file in a folder, held while the object lives. The system
// releases it when the process ends in any way, kill -9 included, so a stale lock never
// stays behind.
class FolderLock {
public:
    // Returns an empty lock (Held() false) when another process holds it; throws
    // std::system_error when the lock file cannot be opened.
    static FolderLock TryAcquire(const std::filesystem::path& folder);

    FolderLock() = default;
    FolderLock(FolderLock&& other) noexcept;
    FolderLock& operator=(FolderLock&& other) noexcept;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();

    bool Held() const { return fd_ >= 0; }

private:
    explicit FolderLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace korvalot::util
