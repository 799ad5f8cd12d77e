#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/ExitStatus.h"
#include "cli/UsageError.h"

// The command line of korvalot-harvest.
namespace korvalot::harvest {

// Exit statuses, those of cli/ExitStatus.h as a harvest reads them. A run ended by SIGINT or
// SIGTERM exits with 128 + the signal, as shells do.
// Every trade the register reported was harvested.
inline constexpr int kExitComplete = cli::kExitDone;
// Some trades failed or could not be reached.
inline constexpr int kExitIncomplete = cli::kExitPartly;
// Bad arguments, or an output place that cannot be used; no file was changed.
inline constexpr int kExitUsage = cli::kExitUsage;
// The store was refused, the region directory not loaded, or another harvest holds the folder.
inline constexpr int kExitCannotStart = cli::kExitNoStart;

using cli::PlaceError;
using cli::UsageError;

struct HarvestOptions {
    bool help = false;
    bool version = false;
    std::optional<std::chrono::year_month_day> from;
    std::optional<std::chrono::year_month_day> to;
    bool allRegions = false;
    std::vector<std::string> regionCodes;  // as given
    std::vector<int> tradeTypePositions;   // in list order; all six by default
    std::filesystem::path outputDir = ".";
    std::filesystem::path skipFile;  // empty: outputDir / "skip.txt"
    bool incremental = false;
    bool workbook = false;
    bool verbose = false;
    bool quiet = false;                 // nothing on standard error but failures
    std::filesystem::path summaryJson;  // empty: no summary file
    bool store = false;                 // --store; --refresh needs it
    std::filesystem::path storeFile;    // empty: the store's default place
    bool refresh = false;
    int refreshDays = 60;          // a results date this many days back still leaves a trade open
    int outageLimitMinutes = 120;  // how long a register that does not answer is waited for
    bool notify = false;           // check the store's watches after the run; needs --store
    std::filesystem::path channelsFile;  // empty: channels.ini in the data folder
};

// The arguments after the program name; `today` resolves "today" and "yesterday". Raises
// UsageError. Checks nothing on disk.
HarvestOptions ParseHarvestOptions(const std::vector<std::string>& args,
                                   std::chrono::year_month_day today);

// Creates the output folder when it is missing (with the folders above it), then checks that a
// file can be created in it (tried with a file that is removed at once), and in the folders of
// the skip file (when the run will write to it) and the summary file likewise. Returns the
// folders it created, outermost first. Raises PlaceError.
std::vector<std::filesystem::path> CheckOutputPlaces(const HarvestOptions& options);

// The store's file is no folder, and its folder, made when missing as the output folder is,
// takes a file. Returns the folders it created, outermost first. Raises PlaceError, which the
// harvest answers as it answers any store it cannot open.
std::vector<std::filesystem::path> CheckStorePlace(const std::filesystem::path& storeFile);

// The items of the region directory ("name (code)") whose codes were asked for, in the
// directory's order; all of them for "all". A code the directory does not hold raises
// UsageError. Leading zeros of a code do not count.
std::vector<std::string> SelectRegionItems(const std::vector<std::string>& directory,
                                           const HarvestOptions& options);

std::string HelpText();
std::string VersionText();

}  // namespace korvalot::harvest
