#pragma once

#include "notify/Channel.h"
#include "notify/ChannelSettings.h"

namespace korvalot::notify {

// The news as one JSON document, POSTed over HTTPS:
//   {"watch": {"id": 3, "name": "..."}, "upTo": 120, "items": [{"kind": "price_drop",
//    "title": "цена снизилась", "lotId": 7, "runId": 12, "when": "...", "card": "https://...",
//    "old": "...", "new": "...", "lot": {"guid": "...", "region": "...", ...}}]}
// and a test as {"watch": {"name": "..."}, "test": true, "text": "..."}.
class WebhookChannel : public Channel {
public:
    explicit WebhookChannel(WebhookSettings settings) : settings_(std::move(settings)) {}
    std::string Name() const override { return "webhook"; }
    DeliveryOutcome Deliver(const WatchNews& news) override;
    DeliveryOutcome Test(const std::string& watchName) override;

private:
    DeliveryOutcome Post(const std::string& body);
    WebhookSettings settings_;
};

// The JSON document of the news.
std::string WebhookDocument(const WatchNews& news);

}  // namespace korvalot::notify
