#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

#include "util/FileDescriptor.h"

namespace korvalot::util {

// The one way a file is replaced as a whole: the new content is written to a temporary file
// beside it, which Keep renames over it, so that a reader (or the next run, after a crash or a
// full disk) finds either the old file or the whole new one. The temporary file is created
// exclusively under a random name that nobody can foresee, never through a symbolic link, and is
// only ever reached through its descriptor afterwards: whatever someone puts at either name is
// neither opened nor written through. A file that is not kept is removed: Discard, or the
// destructor on every path that does not reach Keep.
class TempFile {
public:
    // Creates the temporary file in target's folder, open for writing and readable by this user
    // only until it is kept. Raises PlatformError naming target and the system's reason.
    explicit TempFile(std::filesystem::path target);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::filesystem::path& Target() const { return target_; }
    const std::filesystem::path& Path() const { return path_; }
    // The open descriptor, for a caller that writes itself; -1 once kept or discarded.
    int Descriptor() const { return fd_.Get(); }

    // A name of the open file itself, not of a place in its folder ("/proc/self/fd/N"), for a
    // library that insists on opening a file by name: opened by that name it is this file
    // whatever has been put at the temporary name since. Raises PlatformError when the system
    // offers no such name.
    std::filesystem::path DescriptorPath() const;

    // Appends bytes. Raises PlatformError naming the target and the system's reason.
    void Write(std::string_view bytes);

    // Puts the file in the target's place: it gets the mode of the regular file it replaces and,
    // where the process may set them, that file's owner and group; with no regular file to
    // replace (none, a symbolic link, a fifo) the mode a new file gets under the umask. The data
    // goes to disk, then the rename (which replaces a symbolic link at the target, never writes
    // through it), then the folder's entry. Raises PlatformError naming the target; the target
    // is then the old file, unless only the last step failed.
    void Keep();

    // Keep, with the descriptor left open and handed over: for a file that goes on being
    // written under its name (locked, say, before it is seen there).
    FileDescriptor KeepOpen();

    // Puts the file at the target's name only when nothing stands there, with the mode a new file
    // gets under the umask: for a file that must appear whole or not at all and that another
    // process may be making at the same time. False when something stands there already (it is
    // left as it is and the temporary file removed). Raises PlatformError naming the target.
    bool KeepIfNone();
    // Removes the temporary file, unless it was kept. Never raises.
    void Discard() noexcept;

private:
    // Keep, closing the descriptor before the rename or not.
    void Place(bool close);

    std::filesystem::path target_;
    std::filesystem::path path_;
    FileDescriptor fd_;
    // The temporary file as created, so that nothing put at its name later is taken for it.
    dev_t device_ = 0;
    ino_t inode_ = 0;
    mode_t createdMode_ = 0;
    bool done_ = false;
};

}  // namespace korvalot::util
