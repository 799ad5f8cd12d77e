// korvalot-export: the rows of the trade store that a person asks for, as a results file or a
// workbook.
#include <cstdio>

#include "export/ExportOptions.h"
#include "export/StoredRegions.h"
#include "store/StoreExport.h"
#include "store/TradeStore.h"
#include "util/Platform.h"

namespace {

using namespace korvalot;

int Fail(int status, const std::string& message) {
    std::fprintf(stderr, "korvalot-export: %s\n", message.c_str());
    return status;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
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
    } catch (const cli::PlaceError& e) {
        // A folder that cannot be written to is no matter for the help.
        return Fail(exporting::kExitUsage, e.what());
    } catch (const cli::UsageError& e) {
        return Fail(exporting::kExitUsage, std::string(e.what()) + " (--help: справка)");
    }

    const std::filesystem::path storeFile =
        options.storeFile.empty() ? store::TradeStore::DefaultPath() : options.storeFile;
    try {
        exporting::CheckStorePlace(storeFile);
        // Longer than a harvest keeps a batch of trades open, for looking for words writes.
        const auto db = store::OpenStoreForReading(storeFile, std::chrono::seconds(10));
        if (const auto missing = exporting::RegionsNotStored(*db, options.filter.regionCodes);
            !missing.empty())
            std::fprintf(stderr, "korvalot-export: в хранилище нет ни одного торга %s %s\n",
                         missing.size() == 1 ? "региона" : "регионов", Joined(missing).c_str());
        const store::ExportCounts counts = store::ExportRows(
            *db, options.filter, options.output, options.format, util::LocaleDecimalSeparator());
        std::fprintf(stderr, "korvalot-export: записано строк: %lld, торгов: %lld, в файл %s\n",
                     static_cast<long long>(counts.rows), static_cast<long long>(counts.trades),
                     options.output.c_str());
        return exporting::kExitWritten;
    } catch (const cli::PlaceError& e) {
        return Fail(exporting::kExitNoStore, e.what());
    } catch (const store::StoreError& e) {
        return Fail(exporting::kExitNoStore, e.what());
    } catch (const store::ExportError& e) {
        return Fail(exporting::kExitNotWritten, e.what());
    }
}
