#pragma once

#include <iosfwd>
#include <memory>
#include <vector>

#include "notify/Channel.h"
#include "notify/ChannelSettings.h"

namespace korvalot::notify {

// Every channel the settings name, in the order mail, Telegram, webhook, feed, standard output.
// The standard output channel writes to `out`. Raises NotifyError for settings no channel can
// work with (a feed folder that is not a folder, say).
std::vector<std::unique_ptr<Channel>> MakeChannels(const ChannelSettings& settings,
                                                   std::ostream& out);

}  // namespace korvalot::notify
