// korvalot-harvest: one crawl run from the command line, for scheduled harvests.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <optional>
#include <thread>

#include "crawl/RegionDirectory.h"
#include "crawl/RegisterAddresses.h"
#include "crawl/uScraper.h"
#include "fetch/ClientProfiles.h"
#include "harvest/ConsoleReports.h"
#include "harvest/HarvestOptions.h"
#include "harvest/HarvestSummary.h"
#include "notify/ChannelSettings.h"
#include "store/TradeStore.h"
#include "util/FolderLock.h"
#include "util/NewFile.h"
#include "util/Platform.h"
#include "watch/WatchBook.h"
#include "watch/WatchChannels.h"
#include "watch/WatchCheck.h"

namespace {

using namespace korvalot;


// The stem of one run's file names: the local date and time of its start, so that a folder of
// daily runs lists in order, across reboots too.
std::string StartStem(std::chrono::system_clock::time_point start) {
    const std::time_t t = std::chrono::system_clock::to_time_t(start);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d_%H%M%S", &local);
    return std::string(text, n);
}

// The failure of the directory load, as values: nothing crosses from the loading thread but
// these.
struct LoadFailure {
    std::string message;
    std::string host;
    std::string reason;
};

// The region directory, loaded on a thread of its own while this one waits for a stop signal,
// which cuts the request short: a register that accepts and never answers does not hold the
// program for the directory client's two minutes. 0 and the directory, or the stop signal.
int LoadDirectory(const std::string& baseUrl, const sigset_t& stopSignals,
                  std::vector<std::string>& directory, std::optional<LoadFailure>& failure) {
    crawl::RegionDirectoryLoad load(baseUrl);
    std::atomic<bool> done{false};
    std::thread loader([&] {
        try {
            directory = load.Run();
        } catch (const fetch::ClientError& e) {
            failure = LoadFailure{e.what(), e.Host(), e.Reason()};
        } catch (const std::exception& e) {
            failure = LoadFailure{e.what(), {}, {}};
        }
        done.store(true);
    });
    int stoppedBy = 0;
    while (!done.load()) {
        const timespec wait{0, 50'000'000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal == SIGINT || signal == SIGTERM) {
            stoppedBy = signal;
            load.Cancel();
            break;
        }
    }
    loader.join();
    return stoppedBy;
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
    const auto startedAt = std::chrono::system_clock::now();
    const auto started = std::chrono::steady_clock::now();

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
    } catch (const harvest::UsageError& e) {
        std::fprintf(stderr, "korvalot-harvest: %s (--help: справка)\n", e.what());
        return harvest::kExitUsage;
    }

    // From here on every end, a stop or a failure too, leaves the summary file when asked for.
    harvest::HarvestSummary summary;
    summary.options = options;
    summary.start = startedAt;
    // A summary that cannot be written is said on a line of its own, unless the line before
    // said already that its folder cannot be written to.
    bool summaryPlaceBad = false;
    const auto finish = [&](int status, const std::string& error) {
        if (!error.empty())
            std::fprintf(stderr, "korvalot-harvest: %s\n", error.c_str());
        summary.exitStatus = status;
        summary.error = error;
        summary.end = std::chrono::system_clock::now();
        summary.duration = std::chrono::steady_clock::now() - started;
        if (!options.summaryJson.empty()) {
            try {
                harvest::WriteHarvestSummary(options.summaryJson, summary);
            } catch (const std::exception& e) {
                if (!summaryPlaceBad)
                    std::fprintf(stderr, "korvalot-harvest: сводка не записана: %s\n", e.what());
            }
        }
        return status;
    };

    try {
        harvest::CheckOutputPlaces(options);
    } catch (const harvest::UsageError& e) {
        // A folder that cannot be written to is no matter for the help.
        summaryPlaceBad = true;
        return finish(harvest::kExitUsage, e.what());
    }

    // Two runs into one folder would append to one skip.txt and one guids list.
    util::FolderLock folderLock;
    try {
        folderLock = util::FolderLock::TryAcquire(options.outputDir);
    } catch (const std::exception& e) {
        return finish(harvest::kExitCannotStart,
                      std::string("Ошибка блокировки папки: ") + e.what());
    }
    if (!folderLock.Held())
        return finish(harvest::kExitCannotStart,
                      "в папке " + options.outputDir.string() + " уже идёт другой сбор");

    // The store is opened before any request: one that cannot be used ends the program first.
    std::shared_ptr<store::TradeStore> tradeStore;
    if (options.store) {
        store::StoreOptions storeOptions;
        storeOptions.refresh = options.refresh;
        try {
            const std::filesystem::path storeFile =
                options.storeFile.empty() ? store::TradeStore::DefaultPath() : options.storeFile;
            // A store's place that cannot be used is a store refused, whatever refuses it.
            harvest::CheckStorePlace(storeFile);
            tradeStore = std::make_shared<store::TradeStore>(storeFile, storeOptions);
            summary.storeFile = storeFile;
        } catch (const store::StoreError& e) {
            return finish(harvest::kExitCannotStart, e.what());
        } catch (const harvest::PlaceError& e) {
            return finish(harvest::kExitCannotStart, e.what());
        }
    }

    const std::string baseUrl = crawl::ConfiguredRegisterBaseUrl();
    std::vector<std::string> directory;
    std::optional<LoadFailure> loadFailure;
    // A stop asked for while the directory loads ends the program before any run begins.
    if (const int signal = LoadDirectory(baseUrl, stopSignals, directory, loadFailure))
        return finish(128 + signal, {});
    if (loadFailure) {
        if (loadFailure->host.empty())
            return finish(harvest::kExitCannotStart, "Ошибка " + loadFailure->message);
        return finish(
            harvest::kExitCannotStart,
            "справочник регионов не загружен с " + loadFailure->host + ": " + loadFailure->reason);
    }
    const timespec noWait{0, 0};
    if (const int signal = sigtimedwait(&stopSignals, nullptr, &noWait); signal > 0)
        return finish(128 + signal, {});
    harvest::ConsoleSettings settings;
    try {
        settings.inputs.regionItems = harvest::SelectRegionItems(directory, options);
    } catch (const harvest::UsageError& e) {
        return finish(harvest::kExitUsage, e.what());
    }
    summary.regionItems = settings.inputs.regionItems;
    // One stem for every file of the run, free for all of them: a clash moves them together. A
    // refresh's files say so in their names, beside the harvests' in the same folder.
    const std::string stem = util::FreeStem(
        options.outputDir, (options.refresh ? "refresh-" : "") + StartStem(startedAt),
        {{"data-", ".csv"}, {"data-", ".xlsx"}, {"log-", ".txt"}, {"guids-", ".txt"}});
    settings.inputs.tradeTypePositions = options.tradeTypePositions;
    settings.inputs.dateFrom = options.from;
    settings.inputs.dateTo = options.to;
    settings.inputs.regional.decimalSeparator = util::LocaleDecimalSeparator();
    settings.outputDir = options.outputDir;
    settings.terminal = ::isatty(STDERR_FILENO) == 1;
    settings.verbose = options.verbose;
    settings.quiet = options.quiet;
    settings.registerBaseUrl = baseUrl;
    settings.logFile = options.outputDir / ("log-" + stem + ".txt");
    harvest::ConsoleReports reports(settings);

    crawl::ScraperEnvironment environment;
    environment.executableDir = options.outputDir;
    environment.guidsFile = options.outputDir / ("guids-" + stem + ".txt");
    environment.fileStem = stem;
    environment.skipFile = options.skipFile;  // empty: skip.txt in the output folder
    // Nobody is at the desktop of a scheduled run.
    environment.openResults = false;
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
            return finish(harvest::kExitCannotStart, e.what());
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
        reports.Tick(*run);
    }

    summary.run = run->Summary();
    summary.logFile = reports.LogFile();
    int status = harvest::kExitIncomplete;
    if (stoppedBy != 0)
        status = 128 + stoppedBy;
    else if (summary.run->Complete())
        status = harvest::kExitComplete;
    // A results file, skip.txt or store that could not be had before the first card: no harvest
    // began.
    else if (summary.run->end == crawl::RunSummary::End::NotStarted ||
             (summary.run->OutputFailed() && !summary.run->cardsStarted))
        status = harvest::kExitCannotStart;
    // With -v every line is on the screen already; with -q only a run that went wrong speaks.
    const bool wentWrong =
        status == harvest::kExitIncomplete || status == harvest::kExitCannotStart;
    if (!options.verbose && (!options.quiet || wentWrong)) {
        for (const std::string& line : reports.ClosingLines())
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    // The watches after a run that wrote into the store, complete or not: what it kept is news.
    if (options.notify && tradeStore && stoppedBy == 0 &&
        (status == harvest::kExitComplete || status == harvest::kExitIncomplete) &&
        !summary.run->storeLost) {
        const auto log = [&](const std::string& line) {
            if (!options.quiet || line.find("не доставлено") != std::string::npos ||
                line.find("не настроен") != std::string::npos)
                std::fprintf(stderr, "korvalot-harvest: %s\n", line.c_str());
        };
        std::vector<harvest::WatchDelivery> deliveries;
        try {
            const auto db = store::OpenStoreForReading(tradeStore->Path(), std::chrono::seconds(60));
            watch::WatchBook book(*db);
            const watch::CheckReport report = watch::CheckWatches(
                *db, book.List(),
                watch::ChannelsFromSettings(options.channelsFile.empty()
                                                ? notify::DefaultChannelsFile()
                                                : options.channelsFile,
                                            std::cout),
                log);
            std::cout.flush();
            for (const watch::Delivery& d : report.deliveries) {
                deliveries.push_back(
                    {d.watch, d.channel, d.items,
                     d.outcome.kind == notify::DeliveryOutcome::Kind::Delivered,
                     d.outcome.message});
            }
            summary.watches = deliveries;
            if (report.Failed())
                status = harvest::kExitIncomplete;
        } catch (const std::exception& e) {
            summary.watches = deliveries;
            std::fprintf(stderr, "korvalot-harvest: наблюдения не проверены: %s\n", e.what());
            status = harvest::kExitIncomplete;
        }
    }
    return finish(status, {});
}
