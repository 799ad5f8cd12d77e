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
// workbook may not cost the results file a row: its failure is logged and the workbook given up.
// skip.txt vouches for what is on disk: it names a trade only once the results file has been
// flushed to the disk with the trade's rows and, with a store, once the store keeps the trade. A
// store that fails ends the card phase as skip.txt does: the trades it does not keep are taken
// back out of the results file, so that the next run fetches them once.
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

    // Once the results file has been created. It must outlive FinishRecording. Raises
    // SkipFileError when skip.txt cannot be opened and TradeSinkError when the store cannot
    // begin: the card phase must then end before its first card.
    void Begin(ResultsFile& resultsFile);
    // Once every row of the trade is in the results file. tradeCard is the trade's card answer,
    // for its trade type. A trade not to be recorded (its card lacked data) stays out of
    // skip.txt, so that a later incremental run tries it again. Raises SkipFileError when
    // skip.txt cannot take the lines due: the results file has then been cut back to the trades
    // skip.txt names, and the card phase must end. Raises TradeSinkError when the store fails:
    // the trades it keeps have gone into skip.txt, the others out of the results file, and the
    // card phase must end.
    void TradeWritten(const std::string& guid, const std::string& regionName,
                      const json::JsonValue& tradeCard, const std::vector<ResultRow>& rows,
                      bool record = true);
    // Once the card phase has ended, before the results file is closed: the store keeps what it
    // was handed and its counts go into the summary, then the last skip.txt lines go out.
    // Raises SkipFileError and TradeSinkError as TradeWritten does. Called again after such a
    // failure, and however it ends, a store lost in the phase is in the summary (storeLost,
    // what it kept, its file).
    void FinishRecording(RunSummary& summary);
    // Trades whose rows were taken back out of the results file because skip.txt could not name
    // them or the store lost them.
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

    [[noreturn]] void TradeSinkFailed(const std::string& reason);
    // Cuts the results file back to the first trade skip.txt does not name yet.
    void TakeBackPending();
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
    std::shared_ptr<TradeSink> lostSink_;  // failed, not yet in the summary
    std::vector<Pending> pending_;
    std::size_t kept_ = 0;  // the first kept_ of pending_ are kept wherever they must be
    std::chrono::steady_clock::time_point lastFlush_;
    std::int64_t takenBack_ = 0;
    std::int64_t rowsTakenBack_ = 0;
};

}  // namespace korvalot::crawl
