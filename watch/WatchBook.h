#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/Database.h"
#include "watch/Watch.h"

namespace korvalot::watch {

// The watches kept in one store, and for each of its channels the cut up to which the channel
// took the news. Raises WatchError for a name taken or unknown, store::StoreError for the
// store's own failures.
class WatchBook {
public:
    // The clock gives the times recorded; empty: the system's.
    explicit WatchBook(store::Database& db,
                       std::function<std::chrono::system_clock::time_point()> clock = {});

    // The store as a reader sees it now.
    Cut Now();

    std::vector<Watch> List();
    std::optional<Watch> Find(const std::string& name);

    // A new watch, its start and every channel's cut now; with fromBeginning, at the store's
    // beginning, so that everything that matches already is news. Returns it with its id.
    Watch Add(Watch watch, bool fromBeginning);
    // New settings of a watch found by its id: the news already delivered stay delivered; a
    // channel added starts now, a channel dropped forgets its cut.
    void Change(const Watch& watch);
    // False when there is no such watch.
    bool Remove(const std::string& name);

    // Where the channel took the news up to: its cut, the watch's start when it has none yet.
    Cut Delivered(const Watch& watch, const std::string& channel);
    // The channel took the news up to the cut.
    void MarkDelivered(const Watch& watch, const std::string& channel, Cut upTo);

private:
    std::string Timestamp() const;
    store::Database& db_;
    std::function<std::chrono::system_clock::time_point()> clock_;
};

}  // namespace korvalot::watch
