#pragma once

#include <iosfwd>

#include "notify/Channel.h"

namespace korvalot::notify {

// The news as plain text on standard output, for cron to mail on.
class StandardOutputChannel : public Channel {
public:
    explicit StandardOutputChannel(std::ostream& out) : out_(out) {}
    std::string Name() const override { return "вывод"; }
    DeliveryOutcome Deliver(const WatchNews& news) override;
    DeliveryOutcome Test(const std::string& watchName) override;

private:
    DeliveryOutcome Write(const std::string& text);
    std::ostream& out_;
};

}  // namespace korvalot::notify
