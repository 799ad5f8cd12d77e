#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crawl/TradeCard.h"

// What a watch (a saved search over the trade store) has to tell, as values: the store's side
// finds the news, the channels (mail, Telegram, a webhook, a feed, standard output) make their
// texts from them at the edge.
namespace korvalot::notify {

enum class NewsKind {
    NewLot,              // a lot that matches, seen for the first time
    PriceBelow,          // its current price fell below the watch's threshold
    PriceDrop,           // its current price fell by at least the watch's percentage
    OutcomeKnown,        // a final price or a winner became known
    ResultsDateChanged,  // the results date changed
};

struct NewsItem {
    NewsKind kind = NewsKind::NewLot;
    std::int64_t lotId = 0;
    std::int64_t runId = 0;  // the run that found it
    std::string when;        // ISO local time the store saw it
    std::string cardLink;    // the trade's card on the register
    crawl::ResultRow row;    // the lot as the results file shows it now
    // For a change: the value before and after, as the results file shows them.
    std::optional<std::string> oldValue;
    std::optional<std::string> newValue;
};

// The news of one watch for one channel: everything after what the channel accepted last, up
// to `upTo`, where the channel's position moves once it accepted this message.
struct WatchNews {
    std::int64_t watchId = 0;
    std::string watchName;
    std::vector<NewsItem> items;
    std::int64_t upTo = 0;
};

}  // namespace korvalot::notify
