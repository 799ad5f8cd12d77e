#include "crawl/HarvestOutputs.h"

#include "crawl/CrawlError.h"
#include "crawl/RegisterAddresses.h"
#include "json/JsonValue.h"
#include "util/NewFile.h"

namespace korvalot::crawl {

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
            log_(std::string("Ошибка: ") + e.what() + "; в хранилище не записываем");
            tradeSink_.reset();
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
    if (recorder_) {
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
            GiveUpTradeSink(e.what());
        }
    }
    if (kept_ >= HarvestOutputOptions::kRecordBatch ||
        (kept_ > 0 &&
         std::chrono::steady_clock::now() - lastFlush_ >= HarvestOutputOptions::kRecordInterval))
        FlushRecords();
}

void HarvestOutputs::FlushRecords() {
    lastFlush_ = std::chrono::steady_clock::now();
    if (!recorder_ || kept_ == 0)
        return;
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
    throw SkipFileError(reason);
}

void HarvestOutputs::GiveUpTradeSink(const std::string& reason) {
    tradeSink_.reset();
    // Neither the trades the store lost nor the ones that follow are in it: skip.txt must not
    // name them. The ones it keeps still go into skip.txt.
    std::string line = "Ошибка: " + reason + "; в хранилище больше не записываем";
    if (recorder_) {
        line += ", собранные торги в skip.txt не отмечаем";
        log_(std::move(line));
        FlushRecords();
        recorder_.reset();
        pending_.clear();
        kept_ = 0;
        return;
    }
    log_(std::move(line));
}

void HarvestOutputs::FinishRecording(RunSummary& summary) {
    if (tradeSink_) {
        try {
            log_(tradeSink_->Finish(summary));
            Kept();
        } catch (const std::exception& e) {
            GiveUpTradeSink(e.what());
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
