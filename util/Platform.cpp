#include "util/Platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <pwd.h>
#include <semaphore.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/TempFile.h"
#include "util/uLib.h"

extern char** environ;

namespace korvalot::util {

namespace {

std::string SystemReason(int error) {
    return std::system_category().message(error);
}

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size());
    const auto unit = [&](std::size_t i) -> char16_t {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    };
    const std::size_t units = bytes.size() / 2;
    for (std::size_t k = 0; k < units; ++k) {
        const char16_t u = unit(2 * k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units) {
            const char16_t v = unit(2 * (k + 1));
            if (v >= 0xDC00 && v <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (v - 0xDC00));
                ++k;
                continue;
            }
        }
        // A lone surrogate cannot be written as UTF-8.
        AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? char32_t{0xFFFD} : char32_t{u});
    }
    if (bytes.size() % 2 != 0)
        AppendUtf8(out, 0xFFFD);
    return out;
}

}  // namespace

std::thread StartThread(const ThreadStarter& starter, std::function<void()> body) {
    if (starter)
        return starter(std::move(body));
    return std::thread(std::move(body));
}

std::chrono::year_month_day LocalToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return std::chrono::year_month_day{std::chrono::year(local.tm_year + 1900),
                                       std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
                                       std::chrono::day(static_cast<unsigned>(local.tm_mday))};
}

std::string LocaleDecimalSeparator() {
    locale_t locale = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr))
        return ".";
    std::string separator = nl_langinfo_l(RADIXCHAR, locale);
    freelocale(locale);
    return separator.empty() ? "." : separator;
}

std::int32_t TickCount() {
    timespec ts{};
    // CLOCK_BOOTTIME keeps counting while the machine sleeps, as the boot-time counter does.
    clock_gettime(CLOCK_BOOTTIME, &ts);
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(ms));
}

std::filesystem::path ExecutableDirectory() {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::filesystem::current_path();
    return exe.parent_path();
}

std::filesystem::path ChooseDataDirectory(const std::filesystem::path& programDir,
                                          const std::string& xdgDataHome, const std::string& home) {
    // The effective ids decide, as they do for the files written later; root is refused only
    // by a read-only file system.
    if (::faccessat(AT_FDCWD, programDir.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
        return programDir;
    // A relative XDG_DATA_HOME is invalid and ignored, as the base directory rules say.
    if (!xdgDataHome.empty() && xdgDataHome.front() == '/')
        return std::filesystem::path(xdgDataHome) / "korvalot";
    std::string base = home;
    if (base.empty()) {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr)
            base = found->pw_dir;
    }
    return std::filesystem::path(base) / ".local" / "share" / "korvalot";
}

std::filesystem::path DataDirectory() {
    static const std::filesystem::path programDir = ExecutableDirectory();
    static const std::filesystem::path chosen = [] {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        return ChooseDataDirectory(programDir, xdg ? xdg : "", home ? home : "");
    }();
    if (chosen != programDir) {
        // Made again should it have been removed meanwhile; a folder that cannot be made shows
        // up as the failure of the first file written into it, which names it.
        std::error_code error;
        std::filesystem::create_directories(chosen, error);
    }
    return chosen;
}

std::string NamedMutex::SystemName(const std::string& name) {
    std::string bare = name;
    const auto slash = bare.find_last_of('\\');
    if (slash != std::string::npos)
        bare = bare.substr(slash + 1);
    return "/" + bare + "." + std::to_string(::geteuid());
}

NamedMutex::NamedMutex(const std::string& name) {
    const std::string posixName = SystemName(name);
    // Only this user ever opens it, so nobody else needs any right to it.
    sem_t* sem = sem_open(posixName.c_str(), O_CREAT, 0600, 1);
    if (sem == SEM_FAILED) {
        throw PlatformError("Cannot open the named object \"" + posixName + "\". " +
                            SystemReason(errno));
    }
    handle_ = sem;
}

NamedMutex::~NamedMutex() {
    sem_close(static_cast<sem_t*>(handle_));
}

void OpenWithDesktop(const std::filesystem::path& document) {
    const std::string file = document.string();
    std::string program = "xdg-open";
    char* argv[] = {program.data(), const_cast<char*>(file.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0)
        return;
    // Reaped in the background so that no zombie stays behind; nobody waits for the viewer.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

int WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

void WriteFileBytes(const std::filesystem::path& path, std::string_view text) {
    TempFile file(path);
    file.Write(text);
    file.Keep();
}

std::string DecodeListFileBytes(const std::string& bytes) {
    const std::string_view b(bytes);
    if (b.starts_with("\xEF\xBB\xBF"))
        return StreamToString(b.substr(3));
    if (b.starts_with("\xFF\xFE"))
        return Utf16ToUtf8(b.substr(2), false);
    if (b.starts_with("\xFE\xFF"))
        return Utf16ToUtf8(b.substr(2), true);
    return StreamToString(b);
}

std::vector<std::string> ReadListFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw PlatformError("Cannot open file \"" + path.string() + "\". " + SystemReason(errno));
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw PlatformError("Cannot read file \"" + path.string() + "\". " +
                                SystemReason(error));
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const std::string text = DecodeListFileBytes(bytes);
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(text, start, i - start);
            i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        lines.emplace_back(text, start, text.size() - start);
    return lines;
}

}  // namespace korvalot::util
