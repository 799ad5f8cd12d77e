#pragma once

#include "notify/Channel.h"
#include "notify/ChannelSettings.h"

namespace korvalot::notify {

// The news as one mail to every address of the settings, over SMTP with STARTTLS or TLS.
class MailChannel : public Channel {
public:
    explicit MailChannel(MailSettings settings) : settings_(std::move(settings)) {}
    std::string Name() const override { return "почта"; }
    DeliveryOutcome Deliver(const WatchNews& news) override;
    DeliveryOutcome Test(const std::string& watchName) override;

private:
    DeliveryOutcome Send(const std::string& subject, const std::string& plain,
                         const std::string& html);
    MailSettings settings_;
};

}  // namespace korvalot::notify
