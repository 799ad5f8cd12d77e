#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "notify/Channel.h"
#include "notify/ChannelSettings.h"

namespace korvalot::notify {

// The most characters of one Telegram message, counted as Telegram counts them: UTF-16 units.
inline constexpr std::size_t kTelegramLimit = 4096;

// Characters as Telegram counts them.
std::size_t TelegramLength(std::string_view text);

// The messages that carry the headline and the entries: as many entries in one as fit, an entry
// never cut unless it does not fit into a message by itself (then at line ends, or at a
// character when a line is longer still); every message after the first begins with
// `continued`.
std::vector<std::string> SplitMessages(const std::string& headline,
                                       const std::vector<std::string>& entries,
                                       const std::string& continued,
                                       std::size_t limit = kTelegramLimit);

// The news through a Telegram bot (sendMessage), as plain text in as few messages as fit.
class TelegramChannel : public Channel {
public:
    explicit TelegramChannel(TelegramSettings settings) : settings_(std::move(settings)) {}
    std::string Name() const override { return "telegram"; }
    DeliveryOutcome Deliver(const WatchNews& news) override;
    DeliveryOutcome Test(const std::string& watchName) override;

private:
    DeliveryOutcome SendOne(const std::string& text);
    TelegramSettings settings_;
};

}  // namespace korvalot::notify
