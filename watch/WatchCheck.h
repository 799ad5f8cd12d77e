#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "notify/Channel.h"
#include "store/Database.h"
#include "watch/Watch.h"

// A check of watches: each channel of each watch gets the news after its own cut, in one
// message, and its cut moves on only once it accepted the message.
namespace korvalot::watch {

// The channels of a watch, one for each name, in the names' order. Raises WatchError for a
// name no channel has or a channel that is not set up.
using ChannelMaker = std::function<std::vector<std::unique_ptr<notify::Channel>>(
    const std::vector<std::string>& names)>;

// How one channel of one watch fared.
struct Delivery {
    std::string watch;
    std::string channel;
    std::size_t items = 0;  // the news it was to take; none: nothing was sent
    notify::DeliveryOutcome outcome;
};

struct CheckReport {
    std::vector<Delivery> deliveries;
    // Some channel did not take its news (they wait for the next check).
    bool Failed() const;
};

// What the check says as it goes, one line each, in Russian.
using CheckLog = std::function<void(const std::string& line)>;

// Checks the watches (in their order). The store's file names the lock that keeps two checks
// of one store from sending the same news twice: a second check waits for the first. Raises
// store::StoreError when the store fails and WatchError when the lock cannot be had; a channel
// that cannot be made fails that watch's channels only.
CheckReport CheckWatches(store::Database& db, const std::vector<Watch>& watches,
                         const ChannelMaker& makeChannels, const CheckLog& log,
                         std::function<std::chrono::system_clock::time_point()> clock = {});

// A test message through each channel of the watch.
CheckReport TestChannels(const Watch& watch, const ChannelMaker& makeChannels, const CheckLog& log);

// The news of one watch since the earliest cut of its channels, without sending anything.
notify::WatchNews PendingNews(store::Database& db, const Watch& watch);

// "новый лот", "цена ниже порога", ...: how the log and the console name a kind of news.
std::string KindName(notify::NewsKind kind);

}  // namespace korvalot::watch
