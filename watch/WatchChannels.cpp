#include "watch/WatchChannels.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "notify/ChannelSettings.h"
#include "notify/Channels.h"
#include "notify/NotifyError.h"
#include "watch/WatchError.h"

namespace korvalot::watch {

const std::vector<std::string>& ChannelNames() {
    static const std::vector<std::string> kNames = {"почта", "telegram", "webhook", "лента",
                                                    "вывод"};
    return kNames;
}

ChannelMaker ChannelsFromSettings(const std::filesystem::path& file, std::ostream& out) {
    auto settings = std::make_shared<std::optional<notify::ChannelSettings>>();
    return [file, &out, settings](const std::vector<std::string>& names) {
        const bool onlyOutput = std::all_of(
            names.begin(), names.end(), [](const std::string& name) { return name == "вывод"; });
        std::error_code error;
        std::vector<std::unique_ptr<notify::Channel>> all;
        try {
            if (!*settings && !(onlyOutput && !std::filesystem::exists(file, error)))
                *settings = notify::ReadChannelSettings(file);
            notify::ChannelSettings used = settings->value_or(notify::ChannelSettings{});
            used.standardOutput = true;
            all = notify::MakeChannels(used, out);
        } catch (const notify::NotifyError& e) {
            throw WatchError(e.what());
        }
        std::vector<std::unique_ptr<notify::Channel>> chosen;
        for (const std::string& name : names) {
            const auto found = std::find_if(all.begin(), all.end(), [&](const auto& channel) {
                return channel && channel->Name() == name;
            });
            if (found == all.end())
                throw WatchError("канал " + name + " не настроен в " + file.string());
            chosen.push_back(std::move(*found));
        }
        return chosen;
    };
}

}  // namespace korvalot::watch
