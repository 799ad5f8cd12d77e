#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crawl/RunSummary.h"
#include "crawl/SkipFileRecorder.h"
#include "crawl/TradeCard.h"
#include "crawl/TradeSink.h"
#include "crawl/Workbook.h"

// What a card phase writes besides the results file, when the run's environment asks for it:
// skip.txt lines for harvested trades (incremental runs), the workbook and the trade store. None
// may cost the results file a row: their failures are logged and the part that failed is given
// up. A trade goes into the store before skip.txt names it, and once the store is given up
// skip.txt names no further trade, so that it never names a trade the store does not hold.
namespace korvalot::crawl {

struct HarvestOutputOptions {
    bool recordHarvested = false;
    bool writeWorkbook = false;
    std::filesystem::path skipFile;  // where harvested trades are recorded
    std::string registerBaseUrl;
    std::string decimalSeparator;
    // Opens the trade store when the phase begins; empty: no store.
    std::function<std::shared_ptr<TradeSink>()> openTradeSink;
    std::vector<std::string> regionItems;  // the run's regions, for the trade store
};

class HarvestOutputs {
public:
    using Log = std::function<void(std::string)>;

    HarvestOutputs(HarvestOutputOptions options, Log log);

    // Once the results file has been created.
    void Begin(const std::filesystem::path& resultsFile);
    // Once every row of the trade is in the results file. tradeCard is the trade's card answer,
    // for its trade type.
    void TradeWritten(const std::string& guid, const std::string& regionName,
                      const json::JsonValue& tradeCard, const std::vector<ResultRow>& rows);
    // Before the document is opened: the document to open, the workbook when it was written,
    // else the results file.
    // The trade store's counts are added to the summary.
    std::filesystem::path Finish(const std::filesystem::path& resultsFile, RunSummary& summary);

private:
    void Record(const std::string& link);
    void RecordKeptTrades();
    void GiveUpTradeSink(const std::string& reason);

    HarvestOutputOptions options_;
    Log log_;
    std::optional<SkipFileRecorder> recorder_;
    std::unique_ptr<Workbook> workbook_;
    std::shared_ptr<TradeSink> tradeSink_;
    std::vector<std::string> unrecorded_;  // skip.txt lines of trades the store does not keep yet
};

}  // namespace korvalot::crawl
