#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace korvalot::testing {

// Empty when the user uid (group gid, no other groups) may reach the path: enter it when it is a
// folder, run it when it is a program. Otherwise why not, for a test to say when it skips: a
// folder on the way is closed to that user, or the program lies on a file system mounted noexec
// (which the system's own access check reports).
inline std::string WhyNotReachableBy(const std::filesystem::path& path, uid_t uid, gid_t gid) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(255);
        ::_exit(::access(path.c_str(), X_OK) == 0 ? 0 : errno);
    }
    if (pid < 0)
        return std::string("fork: ") + std::strerror(errno);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status))
        return "the check ended by a signal";
    const int code = WEXITSTATUS(status);
    if (code == 255)
        return "cannot become uid " + std::to_string(uid);
    return code == 0 ? std::string() : path.string() + ": " + std::strerror(code);
}

// A copy of a program that another user of the machine may run: in a fresh folder under /tmp
// that every user may enter (mode 755), removed at the end. A test that runs a program as
// another user runs this copy, since the build folder may lie where only its owner can enter
// (a checkout in root's home, mode 700). Our own libraries are linked into the programs
// statically; what else they load is the system's, which every user reaches.
class ReachableCopy {
public:
    explicit ReachableCopy(const std::filesystem::path& program) {
        std::string pattern = "/tmp/korvalot-program-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            problem_ = std::string("mkdtemp: ") + std::strerror(errno);
            return;
        }
        dir_ = pattern;
        path_ = dir_ / program.filename();
        std::error_code error;
        std::filesystem::copy_file(program, path_, error);
        if (error) {
            problem_ = "copying " + program.string() + ": " + error.message();
            return;
        }
        if (::chmod(dir_.c_str(), 0755) != 0 || ::chmod(path_.c_str(), 0755) != 0)
            problem_ = std::string("chmod: ") + std::strerror(errno);
    }
    ~ReachableCopy() {
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }
    ReachableCopy(const ReachableCopy&) = delete;
    ReachableCopy& operator=(const ReachableCopy&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Empty when the user may run the copy; otherwise why not (see WhyNotReachableBy).
    std::string WhyNotRunnableBy(uid_t uid, gid_t gid) const {
        return problem_.empty() ? WhyNotReachableBy(path_, uid, gid) : problem_;
    }

private:
    std::filesystem::path dir_;
    std::filesystem::path path_;
    std::string problem_;
};

}  // namespace korvalot::testing
