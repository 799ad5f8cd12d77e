// korvalot-harvest: one crawl run from the command line, for scheduled harvests.
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "crawl/RegionDirectory.h"
#include "crawl/RegisterAddresses.h"
#include "crawl/uScraper.h"
#include "harvest/ConsoleReports.h"
#include "harvest/HarvestOptions.h"
#include "store/TradeStore.h"
#include "util/FolderLock.h"
#include "util/Platform.h"

namespace {

using namespace korvalot;

// The decimal separator of the user's locale, as the window takes it from the desktop's
// regional settings.
std::string LocaleDecimalSeparator() {
    locale_t locale = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr))
        return ".";
    std::string separator = nl_langinfo_l(RADIXCHAR, locale);
    freelocale(locale);
    return separator.empty() ? "." : separator;
}

int Fail(int status, const std::string& message) {
    std::fprintf(stderr, "korvalot-harvest: %s\n", message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Every thread started from here on inherits the blocked signals; this thread takes them
    // with sigtimedwait, so a signal never interrupts the engine in the middle of a write.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    harvest::HarvestOptions options;
    try {
        options = harvest::ParseHarvestOptions(std::vector<std::string>(argv + 1, argv + argc),
                                               util::LocalToday());
        if (options.help) {
            std::fputs(harvest::HelpText().c_str(), stdout);
            return harvest::kExitComplete;
        }
        if (options.version) {
            std::fputs(harvest::VersionText().c_str(), stdout);
            return harvest::kExitComplete;
        }
        harvest::CheckOutputPlaces(options);
    } catch (const harvest::UsageError& e) {
        return Fail(harvest::kExitUsage, std::string(e.what()) + " (--help: справка)");
    }

    // Two runs into one folder would append to one skip.txt and one guids list.
    util::FolderLock folderLock;
    try {
        folderLock = util::FolderLock::TryAcquire(options.outputDir);
    } catch (const std::exception& e) {
        return Fail(harvest::kExitCannotStart, std::string("Ошибка блокировки папки: ") + e.what());
    }
    if (!folderLock.Held())
        return Fail(harvest::kExitCannotStart,
                    "в папке " + options.outputDir.string() + " уже идёт другой сбор");

    // The store is opened before any request: one that cannot be used ends the program first.
    std::shared_ptr<store::TradeStore> tradeStore;
    if (options.store) {
        store::StoreOptions storeOptions;
        storeOptions.refresh = options.refresh;
        try {
            tradeStore = std::make_shared<store::TradeStore>(
                options.storeFile.empty() ? store::TradeStore::DefaultPath() : options.storeFile,
                storeOptions);
        } catch (const store::StoreError& e) {
            return Fail(harvest::kExitCannotStart, e.what());
        }
    }

    const std::string baseUrl = crawl::ConfiguredRegisterBaseUrl();
    std::vector<std::string> directory;
    try {
        directory = crawl::LoadRegionDirectory(baseUrl);
    } catch (const std::exception& e) {
        return Fail(harvest::kExitCannotStart, std::string("Ошибка ") + e.what());
    }
    // A stop asked for while the directory loaded ends the program before any run begins.
    const timespec noWait{0, 0};
    if (const int signal = sigtimedwait(&stopSignals, nullptr, &noWait); signal > 0)
        return 128 + signal;
    harvest::ConsoleSettings settings;
    try {
        settings.inputs.regionItems = harvest::SelectRegionItems(directory, options);
    } catch (const harvest::UsageError& e) {
        return Fail(harvest::kExitUsage, e.what());
    }
    settings.inputs.tradeTypePositions = options.tradeTypePositions;
    settings.inputs.dateFrom = options.from;
    settings.inputs.dateTo = options.to;
    settings.inputs.regional.decimalSeparator = LocaleDecimalSeparator();
    settings.outputDir = options.outputDir;
    settings.terminal = ::isatty(STDERR_FILENO) == 1;
    settings.verbose = options.verbose;
    settings.registerBaseUrl = baseUrl;
    harvest::ConsoleReports reports(settings);

    crawl::ScraperEnvironment environment;
    environment.executableDir = options.outputDir;
    environment.guidsFile = options.outputDir / "guids.txt";
    environment.skipFile = options.skipFile;  // empty: skip.txt in the output folder
    // Nobody is at the desktop of a scheduled run.
    environment.openDocument = [](const std::filesystem::path&) {};
    environment.recordHarvested = options.incremental;
    environment.writeWorkbook = options.workbook;
    environment.outageLimit = std::chrono::minutes(options.outageLimitMinutes);
    if (tradeStore) {
        try {
            // A refresh fetches trades harvested before: skip.txt names them already.
            if (options.refresh) {
                environment.refreshTrades = tradeStore->OpenTrades(
                    store::SelectionFilter(
                        options.allRegions ? std::vector<std::string>{} : options.regionCodes,
                        options.tradeTypePositions, options.from, options.to),
                    util::LocalToday(), options.refreshDays);
                environment.recordHarvested = false;
            }
        } catch (const store::StoreError& e) {
            return Fail(harvest::kExitCannotStart, e.what());
        }
        environment.openTradeSink = [tradeStore] { return tradeStore; };
    }

    auto run = crawl::TScraper::Create(reports, baseUrl, environment);
    run->Limit = 4;
    run->Start();
    int stoppedBy = 0;
    while (run->IsLive()) {
        const timespec wait{0, 200'000'000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if ((signal == SIGINT || signal == SIGTERM) && stoppedBy == 0) {
            stoppedBy = signal;
            reports.Stop(*run);
        }
    }

    // With -v every line is on the screen already.
    if (!options.verbose) {
        for (const std::string& line : reports.ClosingLines())
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    if (stoppedBy != 0)
        return 128 + stoppedBy;
    const crawl::RunSummary summary = run->Summary();
    if (summary.Complete())
        return harvest::kExitComplete;
    if (summary.end == crawl::RunSummary::End::NotStarted)
        return harvest::kExitCannotStart;
    return harvest::kExitIncomplete;
}
