#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/ExitStatus.h"
#include "cli/UsageError.h"
#include "store/StoreExport.h"
#include "store/TradeFilter.h"

// The command line of korvalot-export. Arguments, exit statuses and messages follow
// korvalot-harvest: one line on standard error, "korvalot-export: " in front.
namespace korvalot::exporting {

// Exit statuses, those of cli/ExitStatus.h as an export reads them.
inline constexpr int kExitWritten = cli::kExitDone;
// The output could not be written; it is as it was.
inline constexpr int kExitNotWritten = cli::kExitPartly;
// Bad arguments or an output folder that cannot be written to; no file changed.
inline constexpr int kExitUsage = cli::kExitUsage;
// The store was refused: no file, a folder, not a database, written by a later version, busy.
inline constexpr int kExitNoStore = cli::kExitNoStart;

struct ExportOptions {
    bool help = false;
    bool version = false;
    std::filesystem::path storeFile;  // empty: the store's default place
    std::filesystem::path output;
    store::ExportFormat format = store::ExportFormat::Csv;
    store::TradeFilter filter;
};

// The arguments after the program name; `today` resolves "today" and "yesterday". Raises
// cli::UsageError. Checks nothing on disk.
ExportOptions ParseExportOptions(const std::vector<std::string>& args,
                                 std::chrono::year_month_day today);

// The output is not a folder and its folder takes a file. Raises cli::PlaceError.
void CheckOutputPlace(const ExportOptions& options);

// The store named is no folder. Raises cli::PlaceError, which the export answers as it answers
// any store it cannot open.
void CheckStorePlace(const std::filesystem::path& storeFile);

std::string HelpText();
std::string VersionText();

}  // namespace korvalot::exporting
