#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/ExitStatus.h"
#include "cli/FilterOptions.h"
#include "cli/UsageError.h"
#include "store/TradeFilter.h"

// The command line of korvalot-watch: a command, the watch's name where it needs one, then
// options. Arguments, exit statuses and messages follow korvalot-harvest.
namespace korvalot::watchcli {

// Every watch's news was delivered (or there was none), or the command was done.
inline constexpr int kExitDone = cli::kExitDone;
// A channel did not take its news (the next check delivers them).
inline constexpr int kExitNotDelivered = cli::kExitPartly;
// Bad arguments, or a watch that is not there.
inline constexpr int kExitUsage = cli::kExitUsage;
// The store was refused.
inline constexpr int kExitNoStore = cli::kExitNoStart;

enum class Command { Add, Change, List, Remove, Show, Check, Test };

struct WatchOptions {
    bool help = false;
    bool version = false;
    Command command = Command::List;
    std::vector<std::string> names;      // the watch (check: none for every watch)
    std::filesystem::path storeFile;     // empty: the store's default place
    std::filesystem::path channelsFile;  // empty: channels.ini in the data folder
    bool quiet = false;
    std::filesystem::path summaryJson;
    // add and change: the filter's members given, the thresholds and the channels.
    store::TradeFilter filter;
    cli::FilterGiven filterGiven;
    std::optional<double> below;
    std::optional<double> drop;
    bool noBelow = false;
    bool noDrop = false;
    std::optional<std::vector<std::string>> channels;
    std::optional<std::string> rename;
    bool reportExisting = false;
};

// The arguments after the program name; `today` resolves "today" and "yesterday". Raises
// cli::UsageError. Checks nothing on disk.
WatchOptions ParseWatchOptions(const std::vector<std::string>& args,
                               std::chrono::year_month_day today);

// The members of the filter that the options give, put into `filter`.
void ApplyFilter(const WatchOptions& options, store::TradeFilter& filter);

std::string HelpText();
std::string VersionText();

}  // namespace korvalot::watchcli
