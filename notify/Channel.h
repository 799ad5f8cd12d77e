#pragma once

#include <string>

#include "notify/News.h"

namespace korvalot::notify {

// How a channel took a message. Delivered: the server accepted it (only then does the watch's
// position move on). Failed: it may succeed later (no connection, a 5xx, a time-out). Refused:
// it will not succeed as set up (a refused login, a 4xx, bad settings).
struct DeliveryOutcome {
    enum class Kind { Delivered, Failed, Refused };
    Kind kind = Kind::Failed;
    std::string message;  // one line, in Russian, naming the channel; empty when delivered
};

class Channel {
public:
    virtual ~Channel() = default;
    // "почта", "telegram", "webhook", "лента", "вывод": as the log and the summary name it.
    virtual std::string Name() const = 0;
    // One message with every item of the news; nothing is sent for news without items.
    virtual DeliveryOutcome Deliver(const WatchNews& news) = 0;
    // A test message that says which watch and channel it comes from.
    virtual DeliveryOutcome Test(const std::string& watchName) = 0;
};

}  // namespace korvalot::notify
