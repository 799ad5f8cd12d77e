#include "notify/Channels.h"

#include "notify/StandardOutputChannel.h"

namespace korvalot::notify {

std::vector<std::unique_ptr<Channel>> MakeChannels(const ChannelSettings& settings,
                                                   std::ostream& out) {
    std::vector<std::unique_ptr<Channel>> channels;
    if (settings.standardOutput) {
        channels.push_back(std::make_unique<StandardOutputChannel>(out));
    }
    return channels;
}

}  // namespace korvalot::notify
