#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
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
// time). Every trade is committed on its own as it comes, in write-ahead logging: readers never
// wait for a harvest, the write lock is never held while the run waits for the register, a crash
// loses at most the trade being written, and skip.txt names a trade only once it is committed.
// Another process writing the same store is waited for: a trade that finds the store locked
// waits, with those after it, until the lock is free.
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
    // for each trade; a trade that waits longer is kept back and tried again with the next.
    std::chrono::milliseconds busyTimeout{3000};
    // How long the end of a run waits for another process's lock to keep the trades held up.
    std::chrono::milliseconds finishWait{60000};
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
    // "korvalot.sqlite" in the program's data folder.
    static std::filesystem::path DefaultPath();

    // Opens the store, creating it when missing, checks that it is whole (a quick check of
    // every page), brings an older schema up to date and records the run, which tries a write.
    // Raises StoreError with one line when the file is not a database, is damaged, another
    // process holds it, a later version of the program wrote it, or it or its folder cannot be
    // written (a read-only file or folder, a full disk); the file is then left as it was, with
    // no -wal or -shm file made beside it, and a file that did not exist before does not exist
    // after.
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
    // After a failure: the trades committed before it, and this file.
    void AddKept(crawl::RunSummary& summary) const noexcept override;
    // This file and RunId().
    std::optional<crawl::TradeSinkRunKey> RunKey() const override;
    // The trades whose last run is that one or a later one. Raises StoreError.
    std::vector<std::string> KeptSince(std::int64_t runId,
                                       const std::vector<std::string>& guids) override;

    // A trade's commit is safe from a crash of the program at once; it reaches the disk (safe
    // from a crash of the system) with a synced commit, which comes after kSyncTrades trades or
    // kSyncInterval, and at the run's end. TradeWritten is true after such a commit.
    static constexpr int kSyncTrades = 100;
    static constexpr std::chrono::seconds kSyncInterval{2};

    // Stores the trades held up by another process's lock; true once none is left. Raises
    // StoreError.
    bool CommitBatch();

    // What this run has committed so far.
    StoreCounts Counts() const { return counts_; }
    std::int64_t RunId() const { return runId_; }
    const std::filesystem::path& Path() const { return path_; }

private:
    struct Statements;

    // A trade handed over while another process held the lock.
    struct Waiting {
        std::string guid;
        std::string regionName;
        json::JsonValue tradeCard;
        std::vector<crawl::ResultRow> rows;
    };

    void Open();
    std::string Now() const;
    // Stores and commits one trade; false when another process holds the lock.
    bool StoreOne(const std::string& guid, const std::string& regionName,
                  const json::JsonValue& tradeCard, const std::vector<crawl::ResultRow>& rows);
    bool StoreBacklog();
    // Takes every commit so far to the disk; false when another process holds the lock.
    bool SyncCommits();
    // A write transaction; nothing when another process holds the lock.
    std::optional<Transaction> BeginUnlessLocked();
    void CountRun(const StoreCounts& counts);
    void Store(const std::string& guid, const std::string& regionName,
               const json::JsonValue& tradeCard, const std::vector<crawl::ResultRow>& rows);
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
    std::deque<Waiting> backlog_;
    int unsynced_ = 0;  // trades committed since the last synced commit
    std::chrono::steady_clock::time_point lastSync_ = std::chrono::steady_clock::now();
    bool inTransaction_ = false;
    // The words index's reach, read in each trade's transaction, and the trade date of the
    // trade being stored.
    std::int64_t wordsUpTo_ = 0;
    std::optional<std::string> tradeDay_;
};

// Opens a store to read it (korvalot-export, the store's window); needs only read access and
// never writes: a file the user may write is opened for writing, so that SQLite removes the -wal
// and -shm files it makes when the last connection closes; another user's file is read only,
// as it is when no harvest writes it (nothing made beside it). The file must exist and be a
// store; an empty file is no store. An older schema is brought up to date first where the user
// may write the store, and refused otherwise. Raises StoreError as TradeStore does.
std::unique_ptr<Database> OpenStoreForReading(const std::filesystem::path& path,
                                              std::chrono::milliseconds busyTimeout);

// Every stored row that the filter takes, trade by trade in the order the trades were first
// stored, a trade's rows in lot order, one at a time: memory does not grow with the rows. The
// row passed in is reused for the next one. Reads only.
void ForEachStoredRow(Database& db, const TradeFilter& filter,
                      const std::function<void(const StoredRow&)>& visit);

}  // namespace korvalot::store
