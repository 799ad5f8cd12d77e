#pragma once

#include <stdexcept>

namespace korvalot::crawl {

// Every failure the crawl engine raises itself.
class CrawlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure of the results file: nothing more could be written, so it ends the card phase.
class ResultsFileError : public CrawlError {
public:
    using CrawlError::CrawlError;
};

}  // namespace korvalot::crawl
