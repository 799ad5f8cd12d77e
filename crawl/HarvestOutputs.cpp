#include "crawl/HarvestOutputs.h"

#include "crawl/CrawlError.h"
#include "crawl/RegisterAddresses.h"
#include "json/JsonValue.h"
#include "util/NewFile.h"

namespace korvalot::crawl {
namespace {

// However FinishRecording ends, a store lost in the card phase goes into the summary once.
class LostSinkCount {
public:
    LostSinkCount(std::shared_ptr<TradeSink>& sink, RunSummary& summary)
        : sink_(sink), summary_(summary) {}
    ~LostSinkCount() {
        if (!sink_)
            return;
        summary_.storeLost = true;
        sink_->AddKept(summary_);
        sink_.reset();
    }
    LostSinkCount(const LostSinkCount&) = delete;
    LostSinkCount& operator=(const LostSinkCount&) = delete;

private:
    std::shared_ptr<TradeSink>& sink_;
    RunSummary& summary_;
};

}  // namespace

HarvestOutputs::HarvestOutputs(HarvestOutputOptions options, Log log)
    : options_(std::move(options)), log_(std::move(log)) {}

void HarvestOutputs::Begin(ResultsFile& resultsFile) {
    resultsFile_ = &resultsFile;
    lastFlush_ = std::chrono::steady_clock::now();
    if (options_.recordHarvested) {
        // An incremental run that cannot name what it harvests would have the next run fetch
        // it all again.
        try {
            recorder_.emplace(options_.skipFile);
        } catch (const CrawlError& e) {
            throw SkipFileError(e.what());
        }
    }
    const std::filesystem::path& path = resultsFile.Path();
    if (options_.writeWorkbook) {
        std::filesystem::path workbookPath;
        try {
            // Never over an earlier workbook: the name is taken now, its content comes at the end.
            workbookPath = util::ReserveNewFile(Workbook::PathBeside(path));
            workbook_ = std::make_unique<Workbook>(workbookPath, options_.registerBaseUrl,
                                                   options_.decimalSeparator);
            log_("Книга с результатами будет записана в файл " + workbookPath.string());
        } catch (const std::exception& e) {
            if (!workbookPath.empty()) {
                std::error_code ignored;
                std::filesystem::remove(workbookPath, ignored);
            }
            log_(std::string("Ошибка: ") + e.what() + "; книгу не записываем");
        }
    }
    if (options_.openTradeSink) {
        try {
            tradeSink_ = options_.openTradeSink();
            if (tradeSink_)
                tradeSink_->Begin({path, options_.registerBaseUrl, options_.decimalSeparator,
                                   options_.regionItems});
        } catch (const std::exception& e) {
            // A store that keeps nothing may not have trades fetched for the results file and
            // skip.txt alone: the next run would skip them, and the store never get them.
            TradeSinkFailed(e.what());
        }
    }
}

void HarvestOutputs::TradeWritten(const std::string& guid, const std::string& regionName,
                                  const json::JsonValue& tradeCard,
                                  const std::vector<ResultRow>& rows, bool record) {
    if (workbook_) {
        try {
            const std::string type = tradeCard.MemberText("tradeType");
            workbook_->AddTrade(regionName, type, rows);
        } catch (const std::exception& e) {
            log_(std::string("Ошибка: ") + e.what() + "; книгу не записываем");
            workbook_.reset();
        }
    }
    if (recorder_ || tradeSink_) {
        pending_.push_back({RegisterAddresses(options_.registerBaseUrl).CardLink(guid),
                            resultsFile_->LastTradeStart(), static_cast<std::int64_t>(rows.size()),
                            record});
    }
    if (!tradeSink_) {
        Kept();
    } else {
        try {
            // The store may keep trades a few at a time: true once it keeps all so far.
            if (tradeSink_->TradeWritten(guid, regionName, tradeCard, rows))
                Kept();
        } catch (const std::exception& e) {
            TradeSinkFailed(e.what());
        }
    }
    if (kept_ >= HarvestOutputOptions::kRecordBatch ||
        (kept_ > 0 &&
         std::chrono::steady_clock::now() - lastFlush_ >= HarvestOutputOptions::kRecordInterval))
        FlushRecords();
}

void HarvestOutputs::FlushRecords() {
    lastFlush_ = std::chrono::steady_clock::now();
    if (kept_ == 0)
        return;
    if (!recorder_) {
        // Kept by the store and nothing to name: only what the store may still lose is pending.
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(kept_));
        kept_ = 0;
        return;
    }
    std::vector<std::string> lines;
    lines.reserve(kept_);
    for (std::size_t k = 0; k < kept_; ++k) {
        if (pending_[k].record)
            lines.push_back(pending_[k].link);
    }
    try {
        resultsFile_->Sync();
    } catch (const ResultsFileError& e) {
        // Rows that may not be on the disk are taken out, so that the file keeps what skip.txt
        // names; the card phase ends with the results file's failure.
        try {
            RecordingFailed(e.what());
        } catch (const SkipFileError&) {
        }
        throw;
    }
    try {
        recorder_->AppendLines(lines);
    } catch (const CrawlError& e) {
        RecordingFailed(e.what());
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(kept_));
    kept_ = 0;
}

void HarvestOutputs::RecordingFailed(const std::string& reason) {
    recorder_.reset();
    TakeBackPending();
    throw SkipFileError(reason);
}

void HarvestOutputs::TakeBackPending() {
    if (!pending_.empty()) {
        // A rerun fetches the trades skip.txt does not name: their rows must not stay here too.
        const std::uint64_t keep = pending_.front().resultsStart;
        takenBack_ += static_cast<std::int64_t>(pending_.size());
        for (const Pending& trade : pending_)
            rowsTakenBack_ += trade.rows;
        pending_.clear();
        kept_ = 0;
        try {
            resultsFile_->CutBack(keep);
        } catch (const ResultsFileError& e) {
            log_(std::string("Ошибка: ") + e.what());
        }
    }
}

void HarvestOutputs::TradeSinkFailed(const std::string& reason) {
    lostSink_ = std::move(tradeSink_);
    // The trades the store keeps go into skip.txt, the ones it lost come out of the results
    // file; a skip.txt that fails now takes those back too, and ends the phase in its own name.
    FlushRecords();
    TakeBackPending();
    throw TradeSinkError(reason);
}

void HarvestOutputs::FinishRecording(RunSummary& summary) {
    const LostSinkCount lost(lostSink_, summary);
    if (tradeSink_) {
        try {
            log_(tradeSink_->Finish(summary));
            Kept();
        } catch (const std::exception& e) {
            TradeSinkFailed(e.what());
        }
        tradeSink_.reset();
    }
    FlushRecords();
    recorder_.reset();
    pending_.clear();
    kept_ = 0;
}

std::filesystem::path HarvestOutputs::Finish(const std::filesystem::path& resultsFile,
                                             const RunSummary& summary) {
    if (!workbook_)
        return resultsFile;
    std::unique_ptr<Workbook> workbook = std::move(workbook_);
    try {
        workbook->Close(summary);
        return workbook->Path();
    } catch (const CrawlError& e) {
        log_(std::string("Ошибка: ") + e.what() + "; открываем файл с результатами");
        return resultsFile;
    }
}

}  // namespace korvalot::crawl
