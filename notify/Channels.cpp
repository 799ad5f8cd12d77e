#include "notify/Channels.h"

#include <system_error>

#include "notify/FeedChannel.h"
#include "notify/MailChannel.h"
#include "notify/NotifyError.h"
#include "notify/StandardOutputChannel.h"
#include "notify/TelegramChannel.h"
#include "notify/WebhookChannel.h"

namespace korvalot::notify {

std::vector<std::unique_ptr<Channel>> MakeChannels(const ChannelSettings& settings,
                                                   std::ostream& out) {
    std::vector<std::unique_ptr<Channel>> channels;
    if (settings.mail) {
        channels.push_back(std::make_unique<MailChannel>(*settings.mail));
    }
    if (settings.telegram) {
        channels.push_back(std::make_unique<TelegramChannel>(*settings.telegram));
    }
    if (settings.webhook) {
        channels.push_back(std::make_unique<WebhookChannel>(*settings.webhook));
    }
    if (settings.feed) {
        std::error_code error;
        if (std::filesystem::exists(settings.feed->folder, error) &&
            !std::filesystem::is_directory(settings.feed->folder, error)) {
            throw NotifyError("лента: " + settings.feed->folder.string() + " не папка");
        }
        channels.push_back(std::make_unique<FeedChannel>(*settings.feed));
    }
    if (settings.standardOutput) {
        channels.push_back(std::make_unique<StandardOutputChannel>(out));
    }
    return channels;
}

}  // namespace korvalot::notify
