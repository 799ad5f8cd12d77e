#pragma once

#include <stdexcept>

namespace korvalot::crawl {

// Every failure the crawl engine raises itself.
class CrawlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure of a file the card phase records its harvest in: nothing more could be recorded, and
// no pause would make the file writable again, so it ends the card phase at once.
class ResultsFileError : public CrawlError {
public:
    using CrawlError::CrawlError;
};

// skip.txt could not name the trades harvested: the results file keeps only the trades it names.
class SkipFileError : public ResultsFileError {
public:
    using ResultsFileError::ResultsFileError;
};

}  // namespace korvalot::crawl
