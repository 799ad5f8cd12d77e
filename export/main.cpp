// korvalot-export: the rows of the trade store that a person asks for, as a results file or a
// workbook.
#include <cstdio>

#include "export/ExportOptions.h"
#include "harvest/HarvestOptions.h"
#include "store/StoreExport.h"
#include "store/TradeStore.h"
#include "util/Platform.h"

namespace {

using namespace korvalot;

int Fail(int status, const std::string& message) {
    std::fprintf(stderr, "korvalot-export: %s\n", message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    exporting::ExportOptions options;
    try {
        options = exporting::ParseExportOptions(std::vector<std::string>(argv + 1, argv + argc),
                                                util::LocalToday());
        if (options.help) {
            std::fputs(exporting::HelpText().c_str(), stdout);
            return exporting::kExitWritten;
        }
        if (options.version) {
            std::fputs(exporting::VersionText().c_str(), stdout);
            return exporting::kExitWritten;
        }
        exporting::CheckOutputPlace(options);
    } catch (const harvest::UsageError& e) {
        return Fail(harvest::kExitUsage, std::string(e.what()) + " (--help: справка)");
    }

    const std::filesystem::path storeFile =
        options.storeFile.empty() ? store::TradeStore::DefaultPath() : options.storeFile;
    try {
        // Longer than a harvest keeps a batch of trades open, for looking for words writes.
        const auto db = store::OpenStoreForReading(storeFile, std::chrono::seconds(10));
        const store::ExportCounts counts = store::ExportRows(
            *db, options.filter, options.output, options.format, util::LocaleDecimalSeparator());
        std::fprintf(stderr, "korvalot-export: записано строк: %lld, торгов: %lld, в файл %s\n",
                     static_cast<long long>(counts.rows), static_cast<long long>(counts.trades),
                     options.output.c_str());
        return exporting::kExitWritten;
    } catch (const store::StoreError& e) {
        return Fail(exporting::kExitNoStore, e.what());
    } catch (const store::ExportError& e) {
        return Fail(exporting::kExitNotWritten, e.what());
    }
}
