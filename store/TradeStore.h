#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "crawl/TradeSink.h"
#include "store/Database.h"
#include "store/TradeFilter.h"

// The trade store: every harvest kept in one SQLite database. The rows of the results files go
// in with the same texts as the file shows them (a double quote there is an apostrophe), and
// beside them prices as numbers and dates as ISO dates; a trade
// harvested again updates its values and records each value that changed (old, new, run,
// time). Trades are committed in small batches (at most kBatchTrades trades or kBatchAge), in
// write-ahead logging: a crash loses at most the batch not yet committed, and skip.txt names a
// trade only once its batch is committed.
namespace korvalot::store {

class FileTexts;

// One row as the store keeps it, with what the results file does not show.
struct StoredRow {
    crawl::ResultRow row;
    std::string registerUrl;       // of the card link
    std::string decimalSeparator;  // the one the price texts carry
    std::string tradeType;         // "OpenAuction", ...
    std::string firstSeen;         // ISO local time
    std::string lastChanged;       // ISO local time; empty: never changed
};

struct StoreOptions {
    std::string program = "korvalot-harvest";  // recorded with the run
    bool refresh = false;                      // the run fetches stored trades again
    // How long a lock that another process holds is waited for, when the store is opened and
    // for each trade.
    std::chrono::milliseconds busyTimeout{3000};
    // The store's clock; empty: the system's.
    std::function<std::chrono::system_clock::time_point()> clock;
};

// The counts of the run that writes into the store.
struct StoreCounts {
    std::int64_t tradesStored = 0;   // trades written (a refresh: trades refreshed)
    std::int64_t tradesNew = 0;      // of those, trades the store did not hold before
    std::int64_t tradesChanged = 0;  // of those, trades of which a value changed
    std::int64_t valuesChanged = 0;  // changes recorded
};

class TradeStore : public crawl::TradeSink {
public:
    static constexpr int kBatchTrades = 32;
    static constexpr std::chrono::milliseconds kBatchAge{5000};

    // "korvalot.sqlite" in the program's data folder.
    static std::filesystem::path DefaultPath();

    // Opens the store, creating it when missing, brings an older schema up to date and records
    // the run, which tries a write. Raises StoreError with one line when the file is not a
    // database, another process holds it, a later version of the program wrote it, or it
    // cannot be written (a full disk); the file is then left as it was, and a file that did
    // not exist before does not exist after.
    explicit TradeStore(std::filesystem::path path, StoreOptions options = {});
    ~TradeStore() override;
    TradeStore(const TradeStore&) = delete;
    TradeStore& operator=(const TradeStore&) = delete;

    // Region items ("name (code)"), so that rows, which carry region names, can be chosen by
    // region code. Begin remembers the run's regions.
    void RememberRegions(const std::vector<std::string>& items);

    // The stored trades of the selection whose outcome is still open: a lot without a final
    // price or without a winner, and a results date that is missing, in the future, or no more
    // than recentDays days before today. In the order they were first stored.
    std::vector<crawl::TradeToRefresh> OpenTrades(const TradeFilter& filter,
                                                  std::chrono::year_month_day today,
                                                  int recentDays);

    // crawl::TradeSink
    void Begin(const crawl::TradeSinkRun& run) override;
    bool TradeWritten(const std::string& guid, const std::string& regionName,
                      const json::JsonValue& tradeCard,
                      const std::vector<crawl::ResultRow>& rows) override;
    std::string Finish(crawl::RunSummary& summary) override;

    // Commits the trades handed over so far; true. Raises StoreError, the batch then lost.
    bool CommitBatch();

    // What this run has written so far (committed or not).
    StoreCounts Counts() const { return counts_; }
    std::int64_t RunId() const { return runId_; }
    const std::filesystem::path& Path() const { return path_; }

private:
    struct Statements;

    void Open();
    std::string Now() const;
    void Store(const std::string& guid, const std::string& regionName,
               const json::JsonValue& tradeCard, const std::vector<crawl::ResultRow>& rows);
    void OpenBatch();
    void DropBatch();
    // values: the trade's columns (of its first row); lots: its rows, none for a trade
    // without lots; both as the results file shows them.
    void StoreTrade(const std::string& guid, const std::string& regionName,
                    const std::string& tradeType, const FileTexts& values,
                    const std::vector<FileTexts>& lots);
    void EndRun();

    std::filesystem::path path_;
    StoreOptions options_;
    std::unique_ptr<Database> db_;
    std::unique_ptr<Statements> statements_;
    std::int64_t runId_ = 0;
    bool ended_ = false;
    crawl::TradeSinkRun run_;
    std::unordered_map<std::string, std::string> regionCodes_;  // name -> code
    StoreCounts counts_;
    StoreCounts committed_;
    // The open batch: its transaction, trades and start, and the words index's reach.
    std::optional<Transaction> batch_;
    int batchTrades_ = 0;
    std::chrono::steady_clock::time_point batchStarted_{};
    std::int64_t wordsUpTo_ = 0;
};

// Opens a store to read it (korvalot-export). The file must exist; an older schema is brought
// up to date first. Raises StoreError as TradeStore does.
std::unique_ptr<Database> OpenStoreForReading(const std::filesystem::path& path,
                                              std::chrono::milliseconds busyTimeout);

// Every stored row that the filter takes, trade by trade in the order the trades were first
// stored, a trade's rows in lot order, one at a time: memory does not grow with the rows. The
// row passed in is reused for the next one. Words to look for first bring the words index up to
// date (IndexNewWords), which writes to the store.
void ForEachStoredRow(Database& db, const TradeFilter& filter,
                      const std::function<void(const StoredRow&)>& visit);

}  // namespace korvalot::store
