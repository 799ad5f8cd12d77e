#include "util/TempFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "util/Platform.h"

namespace korvalot::util {
namespace {

namespace fs = std::filesystem;

// A clash with a name of sixteen random letters means someone makes them on purpose; a few
// tries are enough for chance.
constexpr int kTries = 8;
// Room in a file name (255 bytes) for the dot, the random part and ".tmp".
constexpr std::size_t kNameRoom = 200;

std::string SystemReason(int error) {
    return std::system_category().message(error);
}

[[noreturn]] void FailCreate(const fs::path& target, int error) {
    throw PlatformError("Cannot create file \"" + target.string() + "\".", SystemReason(error));
}

[[noreturn]] void FailWrite(const fs::path& target, const std::string& reason) {
    throw PlatformError("Cannot write to file \"" + target.string() + "\".", reason);
}

// Sixteen letters and digits from the system's random source.
std::string RandomPart(const fs::path& target) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            FailCreate(target, errno);
        got += static_cast<std::size_t>(n);
    }
    std::string out;
    for (const unsigned char b : bytes)
        out += kLetters[b % (sizeof kLetters - 1)];
    return out;
}

fs::path FolderOf(const fs::path& target) {
    return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

}  // namespace

TempFile::TempFile(fs::path target) : target_(std::move(target)) {
    const std::string stem = target_.filename().string().substr(0, kNameRoom);
    for (int attempt = 0; attempt < kTries && !fd_.IsOpen(); ++attempt) {
        path_ = FolderOf(target_) / ("." + stem + "." + RandomPart(target_) + ".tmp");
        // Exclusive and not through a link: nothing that stands at the name already, a fifo or a
        // link to another file, is ever opened.
        fd_ = FileDescriptor(
            ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!fd_.IsOpen() && errno != EEXIST)
            FailCreate(target_, errno);
    }
    if (!fd_.IsOpen())
        FailCreate(target_, EEXIST);
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0) {
        const int error = errno;
        Discard();
        FailCreate(target_, error);
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    // What a plain create gives under the umask (and the folder's default rights), kept for a
    // file that replaces none; until Keep nobody else may read the content half written, which
    // may be meant for this user alone.
    createdMode_ = st.st_mode & 07777;
    if (::fchmod(fd_.Get(), createdMode_ & 0600) != 0) {
        const int error = errno;
        Discard();
        FailCreate(target_, error);
    }
}

TempFile::~TempFile() {
    Discard();
}

fs::path TempFile::DescriptorPath() const {
    const fs::path path = "/proc/self/fd/" + std::to_string(fd_.Get());
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        FailWrite(target_, SystemReason(errno) + " (" + path.string() + ")");
    if (st.st_dev != device_ || st.st_ino != inode_)
        FailWrite(target_, path.string() + " does not name the open file");
    return path;
}

void TempFile::Write(std::string_view bytes) {
    if (const int error = WriteAll(fd_.Get(), bytes))
        FailWrite(target_, SystemReason(error));
}

void TempFile::Keep() {
    Place(true);
}

FileDescriptor TempFile::KeepOpen() {
    Place(false);
    return std::move(fd_);
}

void TempFile::Place(bool close) {
    const auto fail = [this](const std::string& reason) {
        Discard();
        FailWrite(target_, reason);
    };
    if (done_ || !fd_.IsOpen())
        fail(SystemReason(EBADF));
    const int fd = fd_.Get();

    mode_t mode = createdMode_;
    struct stat old {};
    // lstat: a link at the target lends neither its file's mode nor its owner.
    if (::lstat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 07777;
        struct stat own {};
        if (::fstat(fd, &own) == 0 && (own.st_uid != old.st_uid || own.st_gid != old.st_gid)) {
            // Root may keep both; an ordinary user at most a group of its own. A set-id bit is
            // kept only with the id it gives.
            const bool both = ::fchown(fd, old.st_uid, old.st_gid) == 0;
            const bool group = both || ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
            if (!both && own.st_uid != old.st_uid)
                mode &= ~static_cast<mode_t>(S_ISUID);
            if (!group)
                mode &= ~static_cast<mode_t>(S_ISGID);
        }
    }
    if (::fchmod(fd, mode) != 0)
        fail(SystemReason(errno));
    if (::fsync(fd) != 0)
        fail(SystemReason(errno));
    // Renamed by name, so the name must still be this file: else what someone put there would
    // take the target's place.
    struct stat atName {};
    if (::lstat(path_.c_str(), &atName) != 0)
        fail(SystemReason(errno) + " (" + path_.string() + ")");
    if (atName.st_dev != device_ || atName.st_ino != inode_)
        fail(path_.string() + " is no longer the file written");
    // A file system that writes late (NFS) reports its failure at the close.
    if (close && fd_.Close() != 0)
        fail(SystemReason(errno));
    if (::rename(path_.c_str(), target_.c_str()) != 0)
        fail(SystemReason(errno));
    done_ = true;

    // The rename itself reaches the disk with the folder's entries.
    const FileDescriptor folder(
        ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A folder this user may write but not read cannot be synced, and a file system that does
    // not sync folders says EINVAL: the file is in place all the same.
    if (folder.IsOpen() && ::fsync(folder.Get()) != 0 && errno != EINVAL)
        FailWrite(target_, SystemReason(errno));
}

bool TempFile::KeepIfNone() {
    const auto fail = [this](const std::string& reason) {
        Discard();
        FailWrite(target_, reason);
    };
    if (done_ || !fd_.IsOpen())
        fail(SystemReason(EBADF));
    if (::fchmod(fd_.Get(), createdMode_) != 0 || ::fsync(fd_.Get()) != 0)
        fail(SystemReason(errno));
    // Linked from the open file itself, not from its name: nothing put at the temporary name
    // takes the target's place. A link never replaces what stands at the target.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.Get());
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        if (errno == EEXIST) {
            Discard();
            return false;
        }
        fail(SystemReason(errno));
    }
    Discard();  // the temporary name; the file stays under the target's
    const FileDescriptor folder(
        ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.IsOpen() && ::fsync(folder.Get()) != 0 && errno != EINVAL)
        FailWrite(target_, SystemReason(errno));
    return true;
}

void TempFile::Discard() noexcept {
    if (done_)
        return;
    done_ = true;
    fd_.Close();
    // Only the file created here: something put at its name since is not ours to remove.
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_)
        ::unlink(path_.c_str());
}

}  // namespace korvalot::util
