#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crawl/TradeCard.h"
#include "store/Database.h"
#include "store/TradeFilter.h"

// The store as a browser reads it: the lots a filter takes, sorted by any column, found among a
// million while the user types. A LotBrowser holds a read-only connection of its own and is used
// from one thread (the browser's worker); only Interrupt may be called from any other. Every
// query reads the store as it is when the query starts: a harvest writing meanwhile is never
// waited for (write-ahead logging), and running a query again shows what it added.
namespace korvalot::store {

// What the lots are sorted by: the results file's columns, first seen and last changed; Lot is
// the store's order, the order the trades were first stored, a trade's lots in lot order.
enum class LotColumn {
    Lot,
    CardLink,        // 1  the link of the trade's card
    Region,          // 2
    Number,          // 3
    DatePublish,     // 4  by date
    DebtorName,      // 5
    DebtorInn,       // 6
    PropertyType,    // 7
    LotDescription,  // 8
    CourtName,       // 9
    StartPrice,      // 10 by value
    CurrentPrice,    // 11 by value
    ResultsDate,     // 12 by date
    WinnerName,      // 13
    WinnerInn,       // 14
    FirstSeen,
    LastChanged,
};

// Texts sort as a Russian reader expects: letter case ignored, ё as е. Prices and dates sort by
// their values. A lot without a value in the column (an empty text, a price or a date that
// cannot be read, never changed) comes last in both directions; lots that sort alike keep the
// store's order.
struct LotOrder {
    LotColumn column = LotColumn::Lot;
    bool descending = false;
};

// One lot as the browser shows it.
struct BrowsedLot {
    std::int64_t lotId = 0;
    std::int64_t tradeId = 0;
    crawl::ResultRow row;   // the texts, as the results file shows them
    std::string cardLink;   // column 1
    std::string tradeType;  // "OpenAuction", ...
    std::optional<double> startPrice;
    std::optional<double> currentPrice;
    std::optional<std::string> datePublish;  // ISO
    std::optional<std::string> resultsDate;  // ISO
    std::string firstSeen;                   // ISO local time
    std::string lastChanged;                 // ISO local time; empty: never changed
};

// One recorded change of a trade's or a lot's value.
struct ValueChange {
    std::optional<int> lotPosition;  // nothing: a value of the trade
    std::string field;               // the results file's column name
    std::optional<std::string> oldValue;
    std::optional<std::string> newValue;
    std::int64_t runId = 0;
    std::string runProgram;  // "korvalot-harvest", ...
    std::string runKind;
    std::string runStarted;  // ISO local time
    std::string changedAt;   // ISO local time
};

// A trade with every lot and its change history, oldest change first.
struct TradeDetails {
    std::int64_t tradeId = 0;
    std::string guid;
    std::string cardLink;
    std::string tradeType;
    std::string regionCode;
    std::optional<std::string> tradeDate;  // ISO: the date the register searches by
    std::string firstSeen;
    std::string lastSeen;
    std::string lastChanged;
    std::vector<BrowsedLot> lots;  // in lot order
    std::vector<ValueChange> history;
};

// A lot's current price ("Итоговая цена") at one time: when it was first seen, and each time a
// run changed it.
struct PricePoint {
    std::string time;             // ISO local time
    std::string text;             // as the results file shows it
    std::optional<double> value;  // nothing: no price
};

// The trades that lots belong to: a lot id is its trade's id times kLotsPerTrade plus its
// position.
std::int64_t TradeOfLot(std::int64_t lotId);
// The number of different trades among the lots.
std::int64_t CountTrades(const std::vector<std::int64_t>& lotIds);

class LotBrowser {
public:
    // Opens the store through OpenStoreForReading. Raises StoreError.
    explicit LotBrowser(const std::filesystem::path& path,
                        std::chrono::milliseconds busyTimeout = std::chrono::milliseconds{3000});
    ~LotBrowser();
    LotBrowser(const LotBrowser&) = delete;
    LotBrowser& operator=(const LotBrowser&) = delete;

    // From any thread: the query under way ends at once with StoreError::Problem::Interrupted.
    // A query that starts afterwards runs as usual.
    void Interrupt() noexcept;

    // The first `count` lots the filter takes, in that order.
    std::vector<BrowsedLot> FirstLots(const TradeFilter& filter, const LotOrder& order,
                                      std::size_t count);
    // The id of every lot the filter takes, in that order: 8 bytes a lot.
    std::vector<std::int64_t> LotIds(const TradeFilter& filter, const LotOrder& order);
    // The lots of those ids (a visible range), in the order given; an id the store no longer
    // holds is left out.
    std::vector<BrowsedLot> Lots(const std::vector<std::int64_t>& lotIds);
    // Nothing when the store holds no such trade.
    std::optional<TradeDetails> Trade(std::int64_t tradeId);
    // The lot's current price when it was first seen and after each change, oldest first; the
    // last point is the price the store holds now. Empty when the store holds no such lot.
    std::vector<PricePoint> PriceHistory(std::int64_t lotId);

    Database& Connection() { return *db_; }

private:
    // Every public query starts here: an Interrupt before it no longer counts.
    void StartQuery();
    void CheckInterrupted() const;

    std::unique_ptr<Database> db_;
    std::atomic<bool> interrupted_{false};
};

}  // namespace korvalot::store
