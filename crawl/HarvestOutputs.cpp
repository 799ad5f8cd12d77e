#include "crawl/HarvestOutputs.h"

#include "crawl/CrawlError.h"
#include "crawl/RegisterAddresses.h"
#include "json/JsonValue.h"
#include "util/NewFile.h"

namespace korvalot::crawl {

HarvestOutputs::HarvestOutputs(HarvestOutputOptions options, Log log)
    : options_(std::move(options)), log_(std::move(log)) {}

void HarvestOutputs::Begin(const std::filesystem::path& resultsFile) {
    if (options_.recordHarvested) {
        try {
            recorder_.emplace(options_.skipFile);
        } catch (const CrawlError& e) {
            log_(std::string("Ошибка: ") + e.what() + "; собранные торги в skip.txt не отмечаем");
        }
    }
    if (options_.writeWorkbook) {
        std::filesystem::path path;
        try {
            // Never over an earlier workbook: the name is taken now, its content comes at the end.
            path = util::ReserveNewFile(Workbook::PathBeside(resultsFile));
            workbook_ = std::make_unique<Workbook>(path, options_.registerBaseUrl,
                                                   options_.decimalSeparator);
            log_("Книга с результатами будет записана в файл " + path.string());
        } catch (const std::exception& e) {
            if (!path.empty()) {
                std::error_code ignored;
                std::filesystem::remove(path, ignored);
            }
            log_(std::string("Ошибка: ") + e.what() + "; книгу не записываем");
        }
    }
    if (options_.openTradeSink) {
        try {
            tradeSink_ = options_.openTradeSink();
            if (tradeSink_)
                tradeSink_->Begin({resultsFile, options_.registerBaseUrl, options_.decimalSeparator,
                                   options_.regionItems});
        } catch (const std::exception& e) {
            log_(std::string("Ошибка: ") + e.what() + "; в хранилище не записываем");
            tradeSink_.reset();
        }
    }
}

void HarvestOutputs::TradeWritten(const std::string& guid, const std::string& regionName,
                                  const json::JsonValue& tradeCard,
                                  const std::vector<ResultRow>& rows) {
    if (workbook_) {
        try {
            const std::string type = tradeCard.MemberText("tradeType");
            workbook_->AddTrade(regionName, type, rows);
        } catch (const std::exception& e) {
            log_(std::string("Ошибка: ") + e.what() + "; книгу не записываем");
            workbook_.reset();
        }
    }
    std::string link = RegisterAddresses(options_.registerBaseUrl).CardLink(guid);
    if (!tradeSink_) {
        Record(link);
        return;
    }
    // skip.txt names a trade once the store keeps it, which it may do a few trades at a time.
    unrecorded_.push_back(std::move(link));
    try {
        if (tradeSink_->TradeWritten(guid, regionName, tradeCard, rows))
            RecordKeptTrades();
    } catch (const std::exception& e) {
        GiveUpTradeSink(e.what());
    }
}

void HarvestOutputs::Record(const std::string& link) {
    if (!recorder_)
        return;
    try {
        recorder_->Append(link);
    } catch (const CrawlError& e) {
        log_(std::string("Ошибка: ") + e.what() + "; собранные торги в skip.txt не отмечаем");
        recorder_.reset();
    }
}

void HarvestOutputs::RecordKeptTrades() {
    for (const std::string& link : unrecorded_)
        Record(link);
    unrecorded_.clear();
}

void HarvestOutputs::GiveUpTradeSink(const std::string& reason) {
    tradeSink_.reset();
    // Neither the trades the store lost nor the ones that follow are in it: skip.txt must not
    // name them.
    unrecorded_.clear();
    std::string line = "Ошибка: " + reason + "; в хранилище больше не записываем";
    if (recorder_) {
        recorder_.reset();
        line += ", собранные торги в skip.txt не отмечаем";
    }
    log_(std::move(line));
}

std::filesystem::path HarvestOutputs::Finish(const std::filesystem::path& resultsFile,
                                             RunSummary& summary) {
    if (tradeSink_) {
        try {
            log_(tradeSink_->Finish(summary));
            RecordKeptTrades();
        } catch (const std::exception& e) {
            GiveUpTradeSink(e.what());
        }
        tradeSink_.reset();
    }
    recorder_.reset();
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
