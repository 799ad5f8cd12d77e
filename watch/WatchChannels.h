#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "watch/WatchCheck.h"

namespace korvalot::watch {

// The names a watch's channels may have, as the channels name themselves.
const std::vector<std::string>& ChannelNames();

// The channels of the watches as the channel settings file sets them up; the standard output
// ("вывод", writing to `out`) needs no settings, so a watch that speaks only there works
// without the file. The file is read at the first watch that needs it. A name the file sets no
// channel for, or a file that cannot be used, raises WatchError for that watch.
ChannelMaker ChannelsFromSettings(const std::filesystem::path& file, std::ostream& out);

}  // namespace korvalot::watch
