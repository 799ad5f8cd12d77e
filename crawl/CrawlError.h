#pragma once

#include <stdexcept>
#include <string>

namespace korvalot::crawl {

// Every failure the crawl engine raises itself.
class CrawlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure of the results file: nothing more could be written, so it ends the card phase.
class ResultsFileError : public CrawlError {
public:
    // DiskFull and Unwritable leave nothing to retry: the card phase can end at once.
    enum class Kind { DiskFull, Unwritable, Other };

    explicit ResultsFileError(const std::string& what, Kind kind = Kind::Other)
        : CrawlError(what), kind_(kind) {}

    // The kind of the system's error number (errno) behind a failed call.
    static Kind KindOf(int error);

    Kind GetKind() const noexcept { return kind_; }

private:
    Kind kind_;
};

}  // namespace korvalot::crawl
