#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "watch/Watch.h"

namespace korvalot::app {

// How many news of the store's watches a run brought.
struct WatchNewsCount {
    std::size_t items = 0;
    std::string error;  // one line: the store could not be read for them
};

// The watches' news of one run of the window into the trade store: where the store stood as the
// run began, and at its end every watch's news since then (from its own start, for a watch made
// meanwhile). Both read the store on a connection of their own, on the crawl thread, never on the
// window's.
class RunWatchNews {
public:
    explicit RunWatchNews(std::filesystem::path store);

    void Begin();
    WatchNewsCount End();

private:
    std::filesystem::path store_;
    std::optional<watch::Cut> begin_;
    std::string beginError_;
};

}  // namespace korvalot::app
