#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "util/FileDescriptor.h"

// Incremental runs: the card address of every harvested trade is added to skip.txt, so that the
// next run leaves the trade out.
namespace korvalot::crawl {

class SkipFileRecorder {
public:
    enum class Encoding { Utf8, Utf16Le, Utf16Be };

    // Opens the file for appending, creating it (UTF-8, no byte-order mark) when it is missing.
    // The lines keep the encoding its byte-order mark names, as util::ReadListFile reads it. A
    // last line without its line end gets one first, so that the next line is not glued to it.
    // Raises CrawlError naming the file and the system's reason.
    explicit SkipFileRecorder(std::filesystem::path path);
    ~SkipFileRecorder();
    SkipFileRecorder(const SkipFileRecorder&) = delete;
    SkipFileRecorder& operator=(const SkipFileRecorder&) = delete;

    // One line and its CR LF, handed to the system before the call returns, so that a crash
    // loses at most the line being written. Raises CrawlError.
    void Append(std::string_view line);
    // Several lines in one write call, flushed to the disk (fsync) before the call returns. All
    // or none: a write or flush that fails cuts the file back to its size before the call.
    // Raises CrawlError.
    void AppendLines(const std::vector<std::string>& lines);

    Encoding FileEncoding() const { return encoding_; }

private:
    void Write(const std::string& bytes);

    std::filesystem::path path_;
    util::FileDescriptor fd_;
    Encoding encoding_ = Encoding::Utf8;
};

}  // namespace korvalot::crawl
