#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "store/StoreExport.h"
#include "store/TradeFilter.h"

// The command line of korvalot-export. Arguments, exit statuses and messages follow
// korvalot-harvest: one line on standard error, "korvalot-export: " in front.
namespace korvalot::exporting {

// Exit statuses besides korvalot-harvest's 2 (bad arguments, no file changed).
inline constexpr int kExitWritten = 0;
inline constexpr int kExitNotWritten = 1;  // the output could not be written; it is as it was
inline constexpr int kExitNoStore = 3;     // the store could not be opened or read

struct ExportOptions {
    bool help = false;
    bool version = false;
    std::filesystem::path storeFile;  // empty: the store's default place
    std::filesystem::path output;
    store::ExportFormat format = store::ExportFormat::Csv;
    store::TradeFilter filter;
};

// The arguments after the program name; `today` resolves "today" and "yesterday". Raises
// harvest::UsageError. Checks nothing on disk.
ExportOptions ParseExportOptions(const std::vector<std::string>& args,
                                 std::chrono::year_month_day today);

// The output is not a folder and its folder can be written to. Raises harvest::UsageError.
void CheckOutputPlace(const ExportOptions& options);

std::string HelpText();
std::string VersionText();

}  // namespace korvalot::exporting
