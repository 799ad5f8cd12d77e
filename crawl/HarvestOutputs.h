#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crawl/ResultsFile.h"
#include "crawl/RunSummary.h"
#include "crawl/SkipFileRecorder.h"
#include "crawl/TradeCard.h"
#include "crawl/TradeSink.h"
#include "crawl/Workbook.h"

// What a card phase writes besides the results file, when the run's environment asks for it:
// skip.txt lines for harvested trades (incremental runs), the workbook and the trade store. The
// workbook and the store may not cost the results file a row: their failures are logged and the
// part that failed is given up. skip.txt vouches for what is on disk: it names a trade only once
// the results file has been flushed to the disk with the trade's rows and, with a store, once the
// store keeps the trade; once the store is given up skip.txt names no further trade.
namespace korvalot::crawl {

struct HarvestOutputOptions {
    // skip.txt lines go out, after a flush of the results file, once this many trades wait or
    // this long after the last flush: flushing after every trade would cost more than the card.
    static constexpr std::size_t kRecordBatch = 100;
    static constexpr std::chrono::seconds kRecordInterval{2};

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

    // Once the results file has been created. It must outlive FinishRecording.
    void Begin(ResultsFile& resultsFile);
    // Once every row of the trade is in the results file. tradeCard is the trade's card answer,
    // for its trade type. A trade not to be recorded (its card lacked data) stays out of
    // skip.txt, so that a later incremental run tries it again. Raises SkipFileError when
    // skip.txt cannot take the lines due: the results file has then been cut back to the trades
    // skip.txt names, and the card phase must end.
    void TradeWritten(const std::string& guid, const std::string& regionName,
                      const json::JsonValue& tradeCard, const std::vector<ResultRow>& rows,
                      bool record = true);
    // Once the card phase has ended, before the results file is closed: the store keeps what it
    // was handed and its counts go into the summary, then the last skip.txt lines go out.
    // Raises SkipFileError as TradeWritten does.
    void FinishRecording(RunSummary& summary);
    // Trades whose rows were taken back out of the results file because skip.txt could not name
    // them.
    std::int64_t TradesTakenBack() const { return takenBack_; }
    std::int64_t RowsTakenBack() const { return rowsTakenBack_; }
    // After the results file is closed: the document to open, the workbook when it was written,
    // else the results file.
    std::filesystem::path Finish(const std::filesystem::path& resultsFile,
                                 const RunSummary& summary);

private:
    // A trade written to the results file that skip.txt does not name yet.
    struct Pending {
        std::string link;
        std::uint64_t resultsStart;  // the results file's size before the trade's rows
        std::int64_t rows;
        bool record;
    };

    void GiveUpTradeSink(const std::string& reason);
    // Marks every pending trade as kept (the store keeps it, or there is no store).
    void Kept() { kept_ = pending_.size(); }
    void FlushRecords();
    [[noreturn]] void RecordingFailed(const std::string& reason);

    HarvestOutputOptions options_;
    Log log_;
    ResultsFile* resultsFile_ = nullptr;
    std::optional<SkipFileRecorder> recorder_;
    std::unique_ptr<Workbook> workbook_;
    std::shared_ptr<TradeSink> tradeSink_;
    std::vector<Pending> pending_;
    std::size_t kept_ = 0;  // the first kept_ of pending_ are kept wherever they must be
    std::chrono::steady_clock::time_point lastFlush_;
    std::int64_t takenBack_ = 0;
    std::int64_t rowsTakenBack_ = 0;
};

}  // namespace korvalot::crawl
