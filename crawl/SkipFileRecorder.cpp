#include "crawl/SkipFileRecorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crawl/CrawlError.h"
#include "util/Platform.h"

namespace korvalot::crawl {
namespace {

[[noreturn]] void Fail(const std::filesystem::path& path, const char* what, int error) {
    throw CrawlError(std::string(what) + " " + path.string() + ": " + std::strerror(error));
}

// Reads up to `size` bytes at `offset`; fewer at the end of the file.
std::string ReadAt(int fd, off_t offset, std::size_t size) {
    std::string bytes(size, '\0');
    const ssize_t n = ::pread(fd, bytes.data(), size, offset);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

// Decodes one code point of valid UTF-8 at text[i], advancing i; invalid bytes give U+FFFD.
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    int length = lead < 0x80         ? 1
                 : (lead >> 5) == 6  ? 2
                 : (lead >> 4) == 14 ? 3
                 : (lead >> 3) == 30 ? 4
                                     : 0;
    if (length == 0 || i + length > text.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    i += length;
    return cp;
}

// The UTF-8 text in the given encoding, without a byte-order mark.
std::string EncodeForListFile(std::string_view utf8, SkipFileRecorder::Encoding encoding) {
    if (encoding == SkipFileRecorder::Encoding::Utf8)
        return std::string(utf8);
    const bool little = encoding == SkipFileRecorder::Encoding::Utf16Le;
    std::string out;
    out.reserve(utf8.size() * 2);
    const auto unit = [&](char16_t u) {
        const char low = static_cast<char>(u & 0xFF);
        const char high = static_cast<char>(u >> 8);
        out += little ? low : high;
        out += little ? high : low;
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t cp = NextCodePoint(utf8, i);
        if (cp >= 0x10000) {
            unit(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            unit(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            unit(static_cast<char16_t>(cp));
        }
    }
    return out;
}

}  // namespace

SkipFileRecorder::SkipFileRecorder(std::filesystem::path path) : path_(std::move(path)) {
    fd_ =
        util::FileDescriptor(::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd_.IsOpen())
        Fail(path_, "Не удалось открыть", errno);
    struct stat info {};
    if (::fstat(fd_.Get(), &info) != 0)
        Fail(path_, "Не удалось открыть", errno);
    const std::string head = ReadAt(fd_.Get(), 0, 3);
    std::size_t unitSize = 1;
    if (head.starts_with("\xFF\xFE")) {
        encoding_ = Encoding::Utf16Le;
        unitSize = 2;
    } else if (head.starts_with("\xFE\xFF")) {
        encoding_ = Encoding::Utf16Be;
        unitSize = 2;
    }
    // A file holding only its byte-order mark has no line to end.
    const off_t size = info.st_size;
    const off_t bom = encoding_ == Encoding::Utf8 ? (head == "\xEF\xBB\xBF" ? 3 : 0) : 2;
    if (size > bom) {
        const std::string last = ReadAt(fd_.Get(), size - static_cast<off_t>(unitSize), unitSize);
        const std::string cr = EncodeForListFile("\r", encoding_);
        const std::string lf = EncodeForListFile("\n", encoding_);
        if (last != cr && last != lf)
            Write(EncodeForListFile("\r\n", encoding_));
    }
}

SkipFileRecorder::~SkipFileRecorder() = default;

void SkipFileRecorder::Append(std::string_view line) {
    std::string text(line);
    text += "\r\n";
    Write(EncodeForListFile(text, encoding_));
}

void SkipFileRecorder::AppendLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    if (text.empty())
        return;
    struct stat info {};
    if (::fstat(fd_.Get(), &info) != 0)
        Fail(path_, "Не удалось дописать", errno);
    int error = util::WriteAll(fd_.Get(), EncodeForListFile(text, encoding_));
    if (error == 0 && ::fsync(fd_.Get()) != 0)
        error = errno;
    if (error != 0) {
        // Lines that got in part way, or may not be on the disk, would vouch for trades the
        // caller is about to take out of the results file.
        if (::ftruncate(fd_.Get(), info.st_size) == 0)
            ::fsync(fd_.Get());
        Fail(path_, "Не удалось дописать", error);
    }
}

void SkipFileRecorder::Write(const std::string& bytes) {
    // One write call per line: with O_APPEND the line lands whole at the end of the file.
    if (const int error = util::WriteAll(fd_.Get(), bytes))
        Fail(path_, "Не удалось дописать", error);
}

}  // namespace korvalot::crawl
