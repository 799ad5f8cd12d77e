#pragma once

#include <cstdint>
#include <string>

#include "fetch/JobOutcome.h"

// What a fetch worker is asked to do, and how it went.
namespace korvalot::fetch {

/// One job of a worker: a search page at its address, or a trade's card, lots and additional
/// data by its guid. The kind decides what is fetched; the text is never looked into.
struct FetchJob {
    enum class Kind : std::uint8_t { Search, Trade };
    Kind kind = Kind::Search;
    /// The search page's address, or the trade's guid.
    std::string text;
};

}  // namespace korvalot::fetch
