#pragma once

#include <memory>
#include <vector>

#include "notify/News.h"
#include "store/Database.h"
#include "watch/Watch.h"

// What a watch has to tell between two cuts through the store's history.
//
// News of a lot that matches the watch's filter (as the lot is now):
// - NewLot: the lot was stored after the first cut (a new trade, or a lot that appeared in a
//   stored trade).
// - PriceBelow: its current price went below the watch's threshold. Reported once; it is
//   reported again only after a harvest saw the price at or above the threshold again and it
//   then falls below once more, so that a price that wobbles below the threshold, or stays
//   there, is told of once.
// - PriceDrop: its current price fell by at least the watch's percentage from the price last
//   reported (the first price the watch knew of the lot when none was). A rise moves nothing: a
//   price that goes up and down again by less than the percentage below the last reported one is
//   no news.
// - OutcomeKnown: the lot came to have a final price and a winner (before, one of them was
//   missing), as the store's refresh counts an outcome.
// - ResultsDateChanged: its trade's results date changed; once per trade, with its first lot
//   that matches.
//
// What was reported is never kept as such: the state of each lot (its price last reported,
// whether it is below the threshold) follows from the store's recorded changes, replayed from the
// watch's start. Every channel thus meets the same crossings at the same places of the history,
// and a channel that failed takes, from its own cut, exactly what the others took meanwhile.
// A lot that is new to the watch starts its state at its first price, without a price news.
namespace korvalot::watch {

// A read of the store at one moment: every question asked of it sees the same history, which
// ends at Now(). Holds a read transaction while it lives. Raises store::StoreError.
class NewsReader {
public:
    explicit NewsReader(store::Database& db);
    ~NewsReader();
    NewsReader(const NewsReader&) = delete;
    NewsReader& operator=(const NewsReader&) = delete;

    Cut Now() const { return now_; }

    // The news of the watch after `from` up to Now(), in the order the store saw them.
    std::vector<notify::NewsItem> Since(const Watch& watch, Cut from);

private:
    store::Database& db_;
    Cut now_;
};

}  // namespace korvalot::watch
