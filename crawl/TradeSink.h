#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "crawl/CrawlError.h"
#include "crawl/RunSummary.h"
#include "crawl/TradeCard.h"
#include "json/JsonValue.h"

// Where a card phase hands every harvested trade besides the results file: the trade store
// (store::TradeStore). The engine knows only this interface, so that the store may use the
// engine's rows and file formats without the engine depending on it.
namespace korvalot::crawl {

// What the rows of a card phase are made with.
struct TradeSinkRun {
    std::filesystem::path resultsFile;
    std::string registerBaseUrl;   // the card links of the results file are made from it
    std::string decimalSeparator;  // the one the price columns carry
    // The run's regions, "name (code)": the rows name their regions, a store also knows them
    // by code.
    std::vector<std::string> regionItems;
};

// Where a sink keeps the trades of a run and the id it gave the run. An incremental run's mark
// names them, so that the run after a kill asks the sink which of the killed run's trades it kept.
struct TradeSinkRunKey {
    std::filesystem::path file;
    std::int64_t runId = 0;
};

// A stored trade to fetch again (a refresh): its guid and the region name its rows carry.
struct TradeToRefresh {
    std::string guid;
    std::string regionName;
};

// The trade sink failed: it keeps no further trade, so the card phase ends, and the results file
// and skip.txt keep only the trades the sink keeps.
class TradeSinkError : public ResultsFileError {
public:
    using ResultsFileError::ResultsFileError;
};

// Every call comes from the crawl thread, in this order: Begin once, TradeWritten per trade,
// Finish once. A failure raises std::exception; the card phase then gives the sink up, takes the
// trades it does not keep back out of the results file, ends and calls AddKept.
class TradeSink {
public:
    virtual ~TradeSink() = default;

    // The results file has been created.
    virtual void Begin(const TradeSinkRun& run) = 0;
    // Every row of the trade is in the results file (none for a trade without lots). True when
    // this trade and every one before it are kept for good: a sink may keep trades a few at a
    // time, and skip.txt names a trade only once it is kept.
    virtual bool TradeWritten(const std::string& guid, const std::string& regionName,
                              const json::JsonValue& tradeCard,
                              const std::vector<ResultRow>& rows) = 0;
    // The card phase has ended. Keeps every trade handed over, adds the sink's counts to the
    // summary and returns the line that reports them in the run's log.
    virtual std::string Finish(RunSummary& summary) = 0;
    // Where this run's trades are kept; empty for a sink that cannot tell later what it kept.
    virtual std::optional<TradeSinkRunKey> RunKey() const { return std::nullopt; }
    // Of the guids, those the sink keeps as the run of that id, or a later run, left them.
    // Raises std::exception when the sink cannot tell.
    virtual std::vector<std::string> KeptSince(std::int64_t runId,
                                               const std::vector<std::string>& guids) {
        (void)runId;
        (void)guids;
        return {};
    }
    // Once the sink has failed and been given up: adds to the summary what it kept for good
    // before the failure (tradesStored, tradesChanged) and names its file (storeFile). It
    // raises nothing, so that the loss is reported whatever state the sink is in.
    virtual void AddKept(RunSummary& summary) const noexcept { (void)summary; }
};

}  // namespace korvalot::crawl
