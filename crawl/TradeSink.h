#pragma once

#include <filesystem>
#include <string>
#include <vector>

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

// A stored trade to fetch again (a refresh): its guid and the region name its rows carry.
struct TradeToRefresh {
    std::string guid;
    std::string regionName;
};

// Every call comes from the crawl thread, in this order: Begin once, TradeWritten per trade,
// Finish once. A failure raises std::exception; the card phase then logs it and gives the sink
// up for the rest of the run.
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
};

}  // namespace korvalot::crawl
