#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crawl/RunSummary.h"
#include "crawl/SkipFileRecorder.h"
#include "crawl/TradeCard.h"
#include "crawl/Workbook.h"

// What a card phase writes besides the results file, when the run's environment asks for it:
// skip.txt lines for harvested trades (incremental runs) and the workbook. Neither may cost the
// results file a row: their failures are logged and the part that failed is given up.
namespace korvalot::crawl {

struct HarvestOutputOptions {
    // skip.txt lines are flushed after this many trades or this long after the last flush.
    static constexpr std::size_t kRecordBatch = 100;
    static constexpr std::chrono::seconds kRecordInterval{2};

    bool recordHarvested = false;
    bool writeWorkbook = false;
    std::filesystem::path skipFile;  // where harvested trades are recorded
    std::string registerBaseUrl;
    std::string decimalSeparator;
};

class HarvestOutputs {
public:
    using Log = std::function<void(std::string)>;

    HarvestOutputs(HarvestOutputOptions options, Log log);

    // Flushes the results file to the disk; raises when it cannot.
    using SyncResults = std::function<void()>;

    // Once the results file has been created.
    void Begin(const std::filesystem::path& resultsFile, SyncResults syncResults = {});
    // Once every row of the trade is in the results file. tradeCard is the trade's card answer,
    // for its trade type. A trade not to be recorded (its card lacked data) stays out of
    // skip.txt, so that a later incremental run tries it again.
    void TradeWritten(const std::string& guid, const std::string& regionName,
                      const json::JsonValue& tradeCard, const std::vector<ResultRow>& rows,
                      bool record = true);
    // Before the results file is closed: the last skip lines go out after the results file has
    // been flushed. The number of harvested trades skip.txt lacks because recording failed.
    std::int64_t FinishRecording();
    // Before the document is opened: the document to open, the workbook when it was written,
    // else the results file.
    std::filesystem::path Finish(const std::filesystem::path& resultsFile,
                                 const RunSummary& summary);

private:
    HarvestOutputOptions options_;
    Log log_;
    // skip.txt vouches for rows on disk only: its lines wait until the results file is flushed,
    // in batches so that the flushes stay a small part of the cost of a card.
    void FlushRecords();
    void StopRecording(const std::string& reason);

    std::optional<SkipFileRecorder> recorder_;
    SyncResults syncResults_;
    std::vector<std::string> pending_;
    std::chrono::steady_clock::time_point lastFlush_;
    bool recordingFailed_ = false;
    bool recordingFinished_ = false;
    std::int64_t unrecorded_ = 0;
    std::unique_ptr<Workbook> workbook_;
};

}  // namespace korvalot::crawl
