#include "util/NewFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "util/Platform.h"

namespace korvalot::util {
namespace {

// Beyond this many taken names something other than clashing runs is at work.
constexpr int kMaxNumber = 10000;

bool Exists(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

}  // namespace

std::filesystem::path NumberedName(const std::filesystem::path& path, int n) {
    if (n < 2)
        return path;
    std::filesystem::path numbered = path;
    numbered.replace_filename(path.stem().string() + "-" + std::to_string(n) +
                              path.extension().string());
    return numbered;
}

std::filesystem::path FreeName(const std::filesystem::path& path) {
    for (int n = 1; n < kMaxNumber; ++n) {
        std::filesystem::path candidate = NumberedName(path, n);
        if (!Exists(candidate))
            return candidate;
    }
    return path;
}

std::string FreeStem(const std::filesystem::path& dir, const std::string& stem,
                     const std::vector<StemForm>& forms) {
    for (int n = 1; n < kMaxNumber; ++n) {
        const std::string candidate = n < 2 ? stem : stem + "-" + std::to_string(n);
        bool free = true;
        for (const auto& [prefix, suffix] : forms)
            free = free && !Exists(dir / (prefix + candidate + suffix));
        if (free)
            return candidate;
    }
    return stem;
}

int CreateNewFile(std::filesystem::path& path) {
    for (int n = 1; n < kMaxNumber; ++n) {
        const std::filesystem::path candidate = NumberedName(path, n);
        const int fd =
            ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            path = candidate;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

std::filesystem::path ReserveNewFile(const std::filesystem::path& path) {
    std::filesystem::path created = path;
    const int fd = CreateNewFile(created);
    if (fd < 0) {
        throw PlatformError("Cannot create file \"" + path.string() + "\". " +
                            std::system_category().message(errno));
    }
    ::close(fd);
    return created;
}

}  // namespace korvalot::util
