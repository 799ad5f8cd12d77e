#include "cli/Places.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/UsageError.h"

namespace korvalot::cli {

std::filesystem::path PathValue(const char* option, const std::string& value) {
    if (value.empty())
        throw UsageError(std::string(option) + ": пустой путь");
    return value;
}

std::filesystem::path FolderOf(const std::filesystem::path& file) {
    std::filesystem::path dir = file.parent_path();
    return dir.empty() ? std::filesystem::path(".") : dir;
}

std::optional<std::string> WhyNotWritable(const std::filesystem::path& dir) {
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error)) {
        if (std::filesystem::exists(dir, error))
            return std::string(std::strerror(ENOTDIR));
        return std::string("папки нет");
    }
    std::string pattern = (dir / ".korvalot-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return std::string(std::strerror(errno));
    ::close(fd);
    ::unlink(pattern.c_str());
    return std::nullopt;
}

std::vector<std::filesystem::path> MakeFolders(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> created;
    std::error_code error;
    if (std::filesystem::exists(dir, error))
        return created;
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path at = dir; !at.empty() && !std::filesystem::exists(at, error);
         at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0777) != 0 && errno != EEXIST) {
            const std::string reason = std::strerror(errno);
            RemoveFolders(created);
            throw PlaceError("папку " + dir.string() + " не создать: " + reason);
        }
        created.push_back(*it);
    }
    return created;
}

void RemoveFolders(const std::vector<std::filesystem::path>& made) {
    for (auto back = made.rbegin(); back != made.rend(); ++back)
        ::rmdir(back->c_str());
}

}  // namespace korvalot::cli
