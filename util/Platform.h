#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The few services the program takes from the operating system, in one place.
namespace korvalot::util {

// A failure of one of these services; the message names the file or object and the system's
// reason.
class PlatformError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Milliseconds since the machine started, wrapping at 2^32, as the signed 32-bit value that file
// names carry (negative after about 24.9 days of uptime).
std::int32_t TickCount();

// The directory of the running executable.
std::filesystem::path ExecutableDirectory();

// A system-wide named object that exists while any holder keeps it open; the run holds one so
// that others can see a harvest is in progress. A POSIX named semaphore: "Global\\Name" (or
// "Name") becomes "/Name". It is opened without waiting and never taken; it stays in /dev/shm
// after the last close. Raises PlatformError when it cannot be opened.
class NamedMutex {
public:
    explicit NamedMutex(const std::string& name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

private:
    void* handle_;
};

// Asks the desktop to open the document with the application the user has associated with it
// (xdg-open, started without a shell and not awaited; it is reaped in the background). Failure
// is ignored.
void OpenWithDesktop(const std::filesystem::path& document);

// Replaces the file with these bytes. Raises PlatformError.
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);

// Writes the lines (any range of strings) as UTF-8 (this system's "ANSI code page"), no
// byte-order mark, each line followed by CR LF; replaces the file. Raises PlatformError.
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
