#include "harvest/HarvestSummary.h"

#include <cmath>
#include <ctime>

#include <nlohmann/json.hpp>

#include "crawl/SearchQueries.h"
#include "util/Platform.h"

namespace korvalot::harvest {
namespace {

using nlohmann::json;

// Local time with its offset from UTC, as ISO 8601 writes it: "2026-12-10T06:30:00+03:00".
std::string LocalTimeText(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string out(text, n);
    // strftime's "+0300" becomes "+03:00".
    if (out.size() >= 5)
        out.insert(out.size() - 2, ":");
    return out;
}

json DateOrNull(const std::optional<std::chrono::year_month_day>& date) {
    return date ? json(crawl::FormatIsoDate(*date)) : json(nullptr);
}

const char* EndName(crawl::RunSummary::End end) {
    switch (end) {
        case crawl::RunSummary::End::NotStarted:
            return "not-started";
        case crawl::RunSummary::End::Finished:
            return "finished";
        case crawl::RunSummary::End::CutShort:
            return "cut-short";
        case crawl::RunSummary::End::Stopped:
            return "stopped";
        case crawl::RunSummary::End::Failed:
            return "failed";
    }
    return "failed";
}

}  // namespace

std::string HarvestSummaryJson(const HarvestSummary& s) {
    const HarvestOptions& o = s.options;
    json types = json::array();
    for (const int position : o.tradeTypePositions)
        types.push_back(std::string(crawl::kTradeTypeCodes.at(static_cast<std::size_t>(position))));
    json selection = {
        {"regions", o.allRegions ? json("all") : json(o.regionCodes)},
        {"regionItems", s.regionItems},
        {"types", types},
        {"from", DateOrNull(o.from)},
        {"to", DateOrNull(o.to)},
        {"incremental", o.incremental},
        {"workbook", o.workbook},
        {"store", o.store},
        {"refresh", o.refresh},
    };
    json files = json::object();
    json counts = nullptr;
    std::string end = "not-started";
    if (s.run) {
        const crawl::RunSummary& r = *s.run;
        end = EndName(r.end);
        counts = {
            {"searchQueries", r.queriesAsked},          {"searchQueriesFailed", r.searchJobsFailed},
            {"tradesReported", r.tradesReported},       {"tradesFound", r.tradesFound},
            {"skippedBySkipFile", r.skipped},           {"cardsFetched", r.cardsFetched},
            {"cardsFailed", r.tradeJobsFailed},         {"rowsWritten", r.rowsWritten},
            {"unreachableTrades", r.unreachable},       {"tradesNotTried", r.tradesNotTried},
            {"tradesStored", r.tradesStored},           {"tradesChanged", r.tradesChanged},
            {"retriedAttempts", r.retriedAttempts},     {"phaseErrors", r.phaseErrors},
            {"resultsFileFailed", r.resultsFileFailed}, {"skipFileFailed", r.skipFileFailed},
            {"storeLost", r.storeLost},                 {"tradesTakenBack", r.tradesTakenBack},
            {"complete", r.Complete()},
        };
        if (!r.resultsFile.empty())
            files["results"] = r.resultsFile.string();
        if (!r.workbookFile.empty())
            files["workbook"] = r.workbookFile.string();
        if (!r.guidsFile.empty())
            files["guids"] = r.guidsFile.string();
        if (o.incremental && !r.resultsFile.empty())
            files["skip"] = (o.skipFile.empty() ? o.outputDir / "skip.txt" : o.skipFile).string();
    }
    if (!s.logFile.empty())
        files["log"] = s.logFile.string();
    // The store the run wrote into, or was to: a lost one is named however little it kept.
    std::filesystem::path storeFile = s.storeFile;
    if (storeFile.empty() && s.run)
        storeFile = s.run->storeFile;
    if (!storeFile.empty() && s.run && (s.run->tradesStored > 0 || s.run->storeLost))
        files["store"] = storeFile.string();
    const double seconds =
        std::chrono::duration_cast<std::chrono::duration<double>>(s.duration).count();
    json out = {
        {"program", "korvalot-harvest"},
        {"exitStatus", s.exitStatus},
        {"error", s.error.empty() ? json(nullptr) : json(s.error)},
        {"outcome", end},
        {"start", LocalTimeText(s.start)},
        {"end", LocalTimeText(s.end)},
        {"durationSeconds", std::round(seconds * 1000) / 1000},
        {"outputFolder", o.outputDir.string()},
        {"storeFile", storeFile.empty() ? json(nullptr) : json(storeFile.string())},
        {"selection", selection},
        {"counts", counts},
        {"files", files},
    };
    if (s.watches) {
        json deliveries = json::array();
        for (const WatchDelivery& d : *s.watches) {
            deliveries.push_back({{"watch", d.watch},
                                  {"channel", d.channel},
                                  {"items", d.items},
                                  {"delivered", d.delivered},
                                  {"message", d.message}});
        }
        out["watches"] = deliveries;
    }
    // Texts that are not UTF-8 (a path's bytes) are written with replacement characters
    // rather than failing the summary.
    return out.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void WriteHarvestSummary(const std::filesystem::path& path, const HarvestSummary& summary) {
    util::WriteFileBytes(path, HarvestSummaryJson(summary));
}

}  // namespace korvalot::harvest
