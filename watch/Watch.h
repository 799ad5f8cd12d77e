#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/TradeFilter.h"

// A watch: a named saved search over the trade store and the news it reports.
namespace korvalot::watch {

// A cut through the store's history: the last trade and the last change a reader saw at once.
// Trade ids and change ids only grow, in the order the trades are committed, so that everything
// committed after a cut lies above both.
struct Cut {
    std::int64_t trade = 0;
    std::int64_t change = 0;
    bool operator==(const Cut&) const = default;
};

struct Watch {
    std::int64_t id = 0;
    std::string name;
    store::TradeFilter filter;  // which lots; its words take the lot's description or debtor
    // A matching lot's current price fell below this (once for each time it falls below).
    std::optional<double> priceBelow;
    // A matching lot's current price fell by at least this many percent from the price last
    // reported (or the price it had when the watch first met it).
    std::optional<double> dropPercent;
    std::vector<std::string> channels;  // as notify's channels are named
    Cut start;                          // what the watch takes for known when it began
    std::string createdAt;              // ISO local time
};

// The filter as one JSON object and back; members left empty are not written. Raises
// WatchError for a text that is not such an object.
std::string FilterJson(const store::TradeFilter& filter);
store::TradeFilter FilterFromJson(const std::string& text);

// The channel names as one text ("вывод,webhook") and back.
std::string JoinedNames(const std::vector<std::string>& names);
std::vector<std::string> SplitNames(const std::string& text);

}  // namespace korvalot::watch
