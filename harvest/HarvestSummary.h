#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "crawl/RunSummary.h"
#include "harvest/HarvestOptions.h"

// What one korvalot-harvest did, for scripts: one JSON object written whole at the program's
// end, whatever the end was.
namespace korvalot::harvest {

// How one channel of one watch took the news a --notify check gave it.
struct WatchDelivery {
    std::string watch;
    std::string channel;
    std::size_t items = 0;
    bool delivered = false;
    std::string message;  // why it was not delivered
};

struct HarvestSummary {
    HarvestOptions options;
    std::vector<std::string> regionItems;  // the directory's items of the selection, once known
    int exitStatus = 0;
    std::string error;  // the failure that ended the program, empty when none did
    std::chrono::system_clock::time_point start;
    std::chrono::system_clock::time_point end;
    std::chrono::steady_clock::duration duration{};
    std::optional<crawl::RunSummary> run;  // once a run has ended
    std::filesystem::path logFile;         // empty when none was written
    std::filesystem::path storeFile;       // the store the run opened, when it opened one
    std::optional<std::vector<WatchDelivery>> watches;  // once --notify checked the watches
};

// The summary as one JSON object (UTF-8, one line, a line end after it).
std::string HarvestSummaryJson(const HarvestSummary& summary);

// Written to a temporary file beside path and renamed over it, so that a reader never sees half
// of it. Raises util::PlatformError.
void WriteHarvestSummary(const std::filesystem::path& path, const HarvestSummary& summary);

}  // namespace korvalot::harvest
