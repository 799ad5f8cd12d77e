#pragma once

#include <ctime>
#include <filesystem>

#include "notify/Channel.h"
#include "notify/ChannelSettings.h"

namespace korvalot::notify {

// An Atom 1.0 feed file a watch (watch-<id>.atom in the settings' folder) for a feed reader to
// follow: its newest entries first, the entries of earlier news kept up to the settings' number.
// The file is replaced whole, so that a reader never meets half a feed.
class FeedChannel : public Channel {
public:
    explicit FeedChannel(FeedSettings settings) : settings_(std::move(settings)) {}
    std::string Name() const override { return "лента"; }
    DeliveryOutcome Deliver(const WatchNews& news) override;
    // Writes no feed (a test knows the watch's name only): checks that the folder takes a file.
    DeliveryOutcome Test(const std::string& watchName) override;

    std::filesystem::path FeedFile(std::int64_t watchId) const;

private:
    FeedSettings settings_;
};

// "2024-05-07T09:30:00+03:00" for a local time written "2024-05-07T09:30:00" or
// "2024-05-07 09:30:00"; a time with its zone already stays as it is; anything else is `now`.
std::string AtomTime(const std::string& localTime, std::time_t now);

}  // namespace korvalot::notify
