#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The few services the program takes from the operating system, in one place.
namespace korvalot::util {

// A failure of one of these services; the message names the file or object and the system's
// reason.
class PlatformError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    // what() is message, a space and reason; Reason() gives the reason alone, for a caller that
    // words the message in its own voice.
    PlatformError(const std::string& message, const std::string& reason)
        : std::runtime_error(message + " " + reason), reasonAt_(message.size() + 1) {}

    std::string_view Reason() const noexcept { return std::string_view(what()).substr(reasonAt_); }

private:
    // An offset into what() rather than a string of its own, so that copying never raises.
    std::size_t reasonAt_ = 0;
};

// Milliseconds since the machine started, wrapping at 2^32, as the signed 32-bit value that file
// names carry (negative after about 24.9 days of uptime).
std::int32_t TickCount();

// Creates the threads of a run and of its workers: a std::thread running the body, or an
// exception (std::system_error) when the system cannot create one. Empty: std::thread itself;
// tests put one here that fails when they want it to.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// The thread the starter (or, when it is empty, std::thread) makes for the body. Raises what the
// starter raises; the body has then not run and never will.
std::thread StartThread(const ThreadStarter& starter, std::function<void()> body);

// The local calendar date.
std::chrono::year_month_day LocalToday();

// The decimal separator of the user's locale (LC_NUMERIC, LC_ALL, LANG), as the window takes it
// from the desktop's regional settings; "." when the locale names none.
std::string LocaleDecimalSeparator();

// The directory of the running executable.
std::filesystem::path ExecutableDirectory();

// The folder for everything the program keeps (settings, selections, skip.txt, run logs,
// results files): the executable's own folder whenever this user may write there, so that a
// copy unpacked into a folder of its own keeps its files beside it; otherwise (an installed
// copy in a system folder) the per-user folder of ChooseDataDirectory, created when missing.
// Decided once per process, so that the window and every run agree.
std::filesystem::path DataDirectory();

// The choice DataDirectory makes for an executable in programDir: programDir itself when the
// effective user may create files in it, else xdgDataHome/korvalot when xdgDataHome is an
// absolute path, else home/.local/share/korvalot (home empty: the user's home from the user
// database). Creates nothing.
std::filesystem::path ChooseDataDirectory(const std::filesystem::path& programDir,
                                          const std::string& xdgDataHome, const std::string& home);

// A system-wide named object that exists while any holder keeps it open; the run holds one so
// that others can see a harvest is in progress. A POSIX named semaphore of this user:
// "Global\\Name" (or "Name") becomes "/Name.<uid>", so that every user of the machine has an
// object of their own that nobody else can own or block. It is opened without waiting and never
// taken; it stays in /dev/shm after the last close. Raises PlatformError with the system's
// reason when it cannot be opened.
class NamedMutex {
public:
    explicit NamedMutex(const std::string& name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // The POSIX name that name stands for for the effective user.
    static std::string SystemName(const std::string& name);

private:
    void* handle_;
};

// Asks the desktop to open the document with the application the user has associated with it
// (xdg-open, started without a shell and not awaited; it is reaped in the background). Failure
// is ignored.
void OpenWithDesktop(const std::filesystem::path& document);

// Writes all of bytes to the open descriptor, going on after interruptions and partial writes.
// Returns 0, or the system's error number of the write that failed (ENOSPC when the system
// took nothing without saying why); the bytes before it may have been written.
int WriteAll(int fd, std::string_view bytes);

// Replaces the file with these bytes at once, through a TempFile: the file is never seen half
// written, a replaced file keeps its mode (and its owner where the process may set it), and a
// link or anything else at the file's name is replaced, never written through. Raises
// PlatformError naming path.
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);

// Writes the lines (any range of strings) as UTF-8 (this system's "ANSI code page"), no
// byte-order mark, each line followed by CR LF; replaces the file as WriteFileBytes does.
// Raises PlatformError.
template <typename Lines>
void WriteListFile(const std::filesystem::path& path, const Lines& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    WriteFileBytes(path, text);
}

inline void WriteListFile(const std::filesystem::path& path,
                          const std::vector<std::string>& lines) {
    WriteListFile<std::vector<std::string>>(path, lines);
}

// Reads the lines of a list file: UTF-8, UTF-16 LE or UTF-16 BE by its byte-order mark, else
// UTF-8 (invalid bytes become U+FFFD). Lines end in CR LF, CR or LF; a final line end adds no
// empty line; lines are not trimmed. Raises PlatformError when the file cannot be read.
std::vector<std::string> ReadListFile(const std::filesystem::path& path);

// The list file's text decoded to UTF-8 as ReadListFile does, before it is split into lines.
std::string DecodeListFileBytes(const std::string& bytes);

}  // namespace korvalot::util
