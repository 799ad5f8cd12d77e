#include "notify/StandardOutputChannel.h"

#include <ostream>

#include "notify/NewsText.h"

namespace korvalot::notify {

DeliveryOutcome StandardOutputChannel::Deliver(const WatchNews& news) {
    if (news.items.empty()) {
        return {DeliveryOutcome::Kind::Delivered, {}};
    }
    return Write(PlainText(news));
}

DeliveryOutcome StandardOutputChannel::Test(const std::string& watchName) {
    return Write(TestText(watchName, Name()) + "\n");
}

DeliveryOutcome StandardOutputChannel::Write(const std::string& text) {
    // A closed pipe or a full disk behind the stream is for a later run to try again.
    out_ << text << std::flush;
    if (!out_) {
        out_.clear();
        return {DeliveryOutcome::Kind::Failed, "вывод: не удалось записать на стандартный вывод"};
    }
    return {DeliveryOutcome::Kind::Delivered, {}};
}

}  // namespace korvalot::notify
