// korvalot-watch: the watches of the trade store, kept and checked from the command line.
#include <cstdio>
#include <iostream>

#include <nlohmann/json.hpp>

#include "notify/ChannelSettings.h"
#include "notify/NewsText.h"
#include "store/TradeStore.h"
#include "util/Platform.h"
#include "watch/WatchBook.h"
#include "watch/WatchChannels.h"
#include "watch/WatchCheck.h"
#include "watch/WatchError.h"
#include "watchcli/WatchOptions.h"

namespace {

using namespace korvalot;
using watchcli::Command;

std::string Quoted(const std::string& name) {
    return "\"" + name + "\"";
}

std::string Number(double value) {
    std::string text = nlohmann::json(value).dump();
    if (text.size() > 2 && text.ends_with(".0"))
        text.resize(text.size() - 2);
    return text;
}

// What the program did, for --summary-json.
struct Outcome {
    int status = watchcli::kExitDone;
    std::string error;
    watch::CheckReport report;
};

void WriteSummary(const std::filesystem::path& path, const std::string& command,
                  const Outcome& outcome) {
    nlohmann::json deliveries = nlohmann::json::array();
    for (const watch::Delivery& d : outcome.report.deliveries) {
        deliveries.push_back(
            {{"watch", d.watch},
             {"channel", d.channel},
             {"items", d.items},
             {"delivered", d.outcome.kind == notify::DeliveryOutcome::Kind::Delivered},
             {"message", d.outcome.message}});
    }
    const nlohmann::json summary = {{"command", command},
                                    {"exitStatus", outcome.status},
                                    {"error", outcome.error},
                                    {"deliveries", deliveries}};
    util::WriteFileBytes(path, summary.dump() + "\n");
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    watchcli::WatchOptions options;
    try {
        options = watchcli::ParseWatchOptions(args, util::LocalToday());
        if (options.help) {
            std::fputs(watchcli::HelpText().c_str(), stdout);
            return watchcli::kExitDone;
        }
        if (options.version) {
            std::fputs(watchcli::VersionText().c_str(), stdout);
            return watchcli::kExitDone;
        }
    } catch (const cli::UsageError& e) {
        std::fprintf(stderr, "korvalot-watch: %s (--help: справка)\n", e.what());
        return watchcli::kExitUsage;
    }

    Outcome outcome;
    const auto say = [&](const std::string& line) {
        if (!options.quiet)
            std::fprintf(stderr, "korvalot-watch: %s\n", line.c_str());
    };
    const auto finish = [&](int status, const std::string& error) {
        if (!error.empty())
            std::fprintf(stderr, "korvalot-watch: %s\n", error.c_str());
        outcome.status = status;
        outcome.error = error;
        if (!options.summaryJson.empty()) {
            try {
                WriteSummary(options.summaryJson, args.front(), outcome);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "korvalot-watch: итог не записан: %s\n", e.what());
            }
        }
        return status;
    };

    const std::filesystem::path storeFile =
        options.storeFile.empty() ? store::TradeStore::DefaultPath() : options.storeFile;
    const std::filesystem::path channelsFile =
        options.channelsFile.empty() ? notify::DefaultChannelsFile() : options.channelsFile;
    std::unique_ptr<store::Database> db;
    try {
        std::error_code error;
        if (std::filesystem::is_directory(storeFile, error))
            return finish(watchcli::kExitNoStore,
                          "--store: " + storeFile.string() + " - это папка");
        db = store::OpenStoreForReading(storeFile, std::chrono::seconds(10));
    } catch (const store::StoreError& e) {
        return finish(watchcli::kExitNoStore, e.what());
    }

    try {
        watch::WatchBook book(*db);
        const auto found = [&](const std::string& name) {
            std::optional<watch::Watch> w = book.Find(name);
            if (!w)
                throw watch::WatchError("наблюдения " + Quoted(name) + " нет");
            return *w;
        };
        switch (options.command) {
            case Command::Add: {
                watch::Watch w;
                w.name = options.names.front();
                watchcli::ApplyFilter(options, w.filter);
                w.priceBelow = options.below;
                w.dropPercent = options.drop;
                w.channels = options.channels.value_or(std::vector<std::string>{"вывод"});
                book.Add(w, options.reportExisting);
                say("наблюдение " + Quoted(w.name) + " добавлено");
                break;
            }
            case Command::Change: {
                watch::Watch w = found(options.names.front());
                watchcli::ApplyFilter(options, w.filter);
                if (options.below)
                    w.priceBelow = options.below;
                if (options.noBelow)
                    w.priceBelow.reset();
                if (options.drop)
                    w.dropPercent = options.drop;
                if (options.noDrop)
                    w.dropPercent.reset();
                if (options.channels)
                    w.channels = *options.channels;
                if (options.rename)
                    w.name = *options.rename;
                book.Change(w);
                say("наблюдение " + Quoted(options.names.front()) + " изменено");
                break;
            }
            case Command::List:
                for (const watch::Watch& w : book.List()) {
                    std::string line = w.name + "\tканалы: " + watch::JoinedNames(w.channels);
                    if (w.priceBelow)
                        line += "\tниже: " + Number(*w.priceBelow);
                    if (w.dropPercent)
                        line += "\tснижение: " + Number(*w.dropPercent) + " %";
                    line += "\tфильтр: " + watch::FilterJson(w.filter);
                    std::printf("%s\n", line.c_str());
                }
                break;
            case Command::Remove:
                if (!book.Remove(options.names.front()))
                    throw watch::WatchError("наблюдения " + Quoted(options.names.front()) + " нет");
                say("наблюдение " + Quoted(options.names.front()) + " удалено");
                break;
            case Command::Show: {
                const notify::WatchNews news =
                    watch::PendingNews(*db, found(options.names.front()));
                if (news.items.empty())
                    say("наблюдение " + Quoted(news.watchName) + ": новостей нет");
                else
                    std::fputs(notify::PlainText(news).c_str(), stdout);
                break;
            }
            case Command::Check:
            case Command::Test: {
                std::vector<watch::Watch> watches;
                for (const std::string& name : options.names)
                    watches.push_back(found(name));
                if (options.names.empty())
                    watches = book.List();
                // A channel's failure is said whatever --quiet says.
                const auto log = [&](const std::string& line) {
                    if (!options.quiet || line.find("не доставлено") != std::string::npos ||
                        line.find("не настроен") != std::string::npos)
                        std::fprintf(stderr, "korvalot-watch: %s\n", line.c_str());
                };
                const watch::ChannelMaker channels =
                    watch::ChannelsFromSettings(channelsFile, std::cout);
                if (options.command == Command::Test) {
                    outcome.report = watch::TestChannels(watches.front(), channels, log);
                } else {
                    try {
                        outcome.report = watch::CheckWatches(*db, watches, channels, log);
                    } catch (const watch::WatchError& e) {
                        std::cout.flush();
                        return finish(watchcli::kExitNoStore, e.what());
                    }
                }
                std::cout.flush();
                if (outcome.report.Failed()) {
                    std::string failed;
                    for (const watch::Delivery& d : outcome.report.deliveries) {
                        if (d.outcome.kind != notify::DeliveryOutcome::Kind::Delivered)
                            failed +=
                                (failed.empty() ? "" : ", ") + Quoted(d.watch) + " " + d.channel;
                    }
                    return finish(watchcli::kExitNotDelivered, "не доставлено: " + failed);
                }
                break;
            }
        }
    } catch (const watch::WatchError& e) {
        return finish(watchcli::kExitUsage, e.what());
    } catch (const store::StoreError& e) {
        return finish(watchcli::kExitNoStore, e.what());
    }
    return finish(watchcli::kExitDone, {});
}
