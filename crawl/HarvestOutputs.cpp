#include "crawl/HarvestOutputs.h"

#include "crawl/CrawlError.h"
#include "crawl/RegisterAddresses.h"
#include "json/JsonValue.h"

namespace korvalot::crawl {

HarvestOutputs::HarvestOutputs(HarvestOutputOptions options, Log log)
    : options_(std::move(options)), log_(std::move(log)) {}

void HarvestOutputs::Begin(const std::filesystem::path& resultsFile, SyncResults syncResults) {
    syncResults_ = std::move(syncResults);
    lastFlush_ = std::chrono::steady_clock::now();
    if (options_.recordHarvested) {
        try {
            recorder_.emplace(options_.skipFile);
        } catch (const CrawlError& e) {
            log_(std::string("Ошибка: ") + e.what() + "; собранные торги в skip.txt не отмечаем");
            recordingFailed_ = true;
        }
    }
    if (options_.writeWorkbook) {
        const std::filesystem::path path = Workbook::PathBeside(resultsFile);
        try {
            workbook_ = std::make_unique<Workbook>(path, options_.registerBaseUrl,
                                                   options_.decimalSeparator);
            log_("Книга с результатами будет записана в файл " + path.string());
        } catch (const CrawlError& e) {
            log_(std::string("Ошибка: ") + e.what() + "; книгу не записываем");
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
    if (!record)
        return;
    if (recordingFailed_) {
        ++unrecorded_;
        return;
    }
    if (!recorder_)
        return;
    pending_.push_back(RegisterAddresses(options_.registerBaseUrl).CardLink(guid));
    if (pending_.size() >= HarvestOutputOptions::kRecordBatch ||
        std::chrono::steady_clock::now() - lastFlush_ >= HarvestOutputOptions::kRecordInterval)
        FlushRecords();
}

void HarvestOutputs::FlushRecords() {
    lastFlush_ = std::chrono::steady_clock::now();
    if (!recorder_ || pending_.empty())
        return;
    try {
        if (syncResults_)
            syncResults_();
    } catch (const std::exception& e) {
        StopRecording(e.what());
        return;
    }
    try {
        recorder_->AppendLines(pending_);
        recorder_->Sync();
        pending_.clear();
    } catch (const std::exception& e) {
        StopRecording(e.what());
    }
}

void HarvestOutputs::StopRecording(const std::string& reason) {
    // The batch's lines may be partly in skip.txt; counting them all as missing errs on the
    // side that makes a later run fetch a trade again rather than leave it out.
    unrecorded_ += static_cast<std::int64_t>(pending_.size());
    pending_.clear();
    recorder_.reset();
    recordingFailed_ = true;
    log_("Ошибка: " + reason + "; собранные торги в skip.txt больше не отмечаем");
}

std::int64_t HarvestOutputs::FinishRecording() {
    if (recordingFinished_)
        return unrecorded_;
    recordingFinished_ = true;
    FlushRecords();
    recorder_.reset();
    if (unrecorded_ > 0) {
        log_("В skip.txt не отмечено собранных торгов: " + std::to_string(unrecorded_) +
             "; следующий запуск соберёт их снова");
    }
    return unrecorded_;
}

std::filesystem::path HarvestOutputs::Finish(const std::filesystem::path& resultsFile,
                                             const RunSummary& summary) {
    FinishRecording();
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
