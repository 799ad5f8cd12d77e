#include "util/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace korvalot::util {

FolderLock FolderLock::TryAcquire(const std::filesystem::path& folder) {
    const std::filesystem::path lockFile = folder / ".korvalot.lock";
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), lockFile.string());
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return FolderLock();
        throw std::system_error(error, std::generic_category(), lockFile.string());
    }
    return FolderLock(fd);
}

FolderLock::FolderLock(FolderLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FolderLock::~FolderLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

}  // namespace korvalot::util
