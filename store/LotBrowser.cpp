#include "store/LotBrowser.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <unordered_set>
#include <utility>
#include <variant>

#include "crawl/RegisterAddresses.h"
#include "store/RowColumns.h"
#include "store/Schema.h"
#include "store/StoredValues.h"
#include "store/TradeStore.h"

namespace korvalot::store {
namespace {

using crawl::ResultRow;

// The price column whose history PriceHistory follows, as the changes name it.
constexpr std::string_view kCurrentPriceField = "Итоговая цена";

// How many of SQLite's steps run between two looks at the interrupt flag: often enough that an
// interrupted query ends at once, seldom enough to cost nothing measurable.
constexpr int kProgressSteps = 1000;

// Appends the UTF-8 text's sort key: Latin and Cyrillic letters in lower case, ё as е. Folded
// Cyrillic letters follow the alphabet in their code points, so the key sorts as a Russian
// reader expects with a plain byte comparison.
void AppendFolded(std::string& key, const unsigned char* text, int size) {
    for (int k = 0; k < size; ++k) {
        const unsigned char c = text[k];
        if (c >= 'A' && c <= 'Z') {
            key.push_back(static_cast<char>(c + ('a' - 'A')));
        } else if ((c == 0xD0 || c == 0xD1) && k + 1 < size) {
            const unsigned char next = text[k + 1];
            ++k;
            if (c == 0xD0 && next >= 0x90 && next <= 0x9F) {  // А..П
                key += {static_cast<char>(0xD0), static_cast<char>(next + 0x20)};
            } else if (c == 0xD0 && next >= 0xA0 && next <= 0xAF) {  // Р..Я
                key += {static_cast<char>(0xD1), static_cast<char>(next - 0x20)};
            } else if ((c == 0xD0 && next == 0x81) || (c == 0xD1 && next == 0x91)) {  // Ё, ё
                key += {static_cast<char>(0xD0), static_cast<char>(0xB5)};
            } else {
                key += {static_cast<char>(c), static_cast<char>(next)};
            }
        } else {
            key.push_back(static_cast<char>(c));
        }
    }
}

// korvalot_fold(text): the text's sort key; NULL for NULL and for an empty text, so that lots
// without a value sort last.
void FoldFunction(sqlite3_context* context, int, sqlite3_value** values) {
    const unsigned char* text = sqlite3_value_text(values[0]);
    const int size = sqlite3_value_bytes(values[0]);
    if (text == nullptr || size == 0) {
        sqlite3_result_null(context);
        return;
    }
    std::string key;
    key.reserve(static_cast<std::size_t>(size));
    AppendFolded(key, text, size);
    sqlite3_result_text(context, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
}

int ProgressHandler(void* flag) {
    return static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed) ? 1 : 0;
}

// The value a lot sorts by in that column; empty for the store's order. NULL where the lot has
// none.
std::string SortKey(LotColumn column) {
    switch (column) {
        case LotColumn::Lot:
            return {};
        case LotColumn::CardLink:
            return "korvalot_fold(t.register_url || t.guid)";
        case LotColumn::Region:
            return "korvalot_fold(t.region)";
        case LotColumn::Number:
            return "korvalot_fold(t.number)";
        case LotColumn::DatePublish:
            return "t.date_publish_iso";
        case LotColumn::DebtorName:
            return "korvalot_fold(t.debtor_name)";
        case LotColumn::DebtorInn:
            return "korvalot_fold(t.debtor_inn)";
        case LotColumn::PropertyType:
            return "korvalot_fold(l.property_type)";
        case LotColumn::LotDescription:
            return "korvalot_fold(l.description)";
        case LotColumn::CourtName:
            return "korvalot_fold(t.court_name)";
        case LotColumn::StartPrice:
            return "l.start_price_value";
        case LotColumn::CurrentPrice:
            return "l.final_price_value";
        case LotColumn::ResultsDate:
            return "t.results_date_iso";
        case LotColumn::WinnerName:
            return "korvalot_fold(l.winner_name)";
        case LotColumn::WinnerInn:
            return "korvalot_fold(l.winner_inn)";
        case LotColumn::FirstSeen:
            return "l.first_seen";
        case LotColumn::LastChanged:
            return "nullif(max(coalesce(t.last_changed, ''), coalesce(l.last_changed, '')), '')";
    }
    return {};
}

std::string OrderBy(const LotOrder& order) {
    const char* direction = order.descending ? " DESC" : " ASC";
    const std::string key = SortKey(order.column);
    if (key.empty())
        return std::string(" ORDER BY l.id") + direction;
    return " ORDER BY " + key + direction + " NULLS LAST, l.id";
}

void BindAll(Statement& statement, const SqlCondition& condition) {
    int index = 1;
    for (const auto& parameter : condition.parameters)
        std::visit([&](const auto& value) { statement.Bind(index++, value); }, parameter);
}

const std::string kLotColumns =
    std::string("SELECT ") + kRowTextColumns +
    ", l.id AS lot_id, l.trade_id AS trade_id, t.register_url AS register_url, "
    "t.trade_type AS trade_type, t.date_publish_iso AS date_publish_iso, "
    "l.start_price_value AS start_price_value, l.final_price_value AS final_price_value, "
    "t.results_date_iso AS results_date_iso, l.first_seen AS first_seen, "
    "max(coalesce(t.last_changed, ''), coalesce(l.last_changed, '')) AS last_changed "
    "FROM lots l JOIN trades t ON t.id = l.trade_id ";

// Reads the rows of a statement that selects kLotColumns, each column found once.
class LotReader {
public:
    explicit LotReader(Statement& statement) : statement_(statement), texts_(statement) {
        lotId_ = statement.ColumnIndex("lot_id");
        tradeId_ = statement.ColumnIndex("trade_id");
        registerUrl_ = statement.ColumnIndex("register_url");
        tradeType_ = statement.ColumnIndex("trade_type");
        datePublishIso_ = statement.ColumnIndex("date_publish_iso");
        startValue_ = statement.ColumnIndex("start_price_value");
        finalValue_ = statement.ColumnIndex("final_price_value");
        resultsDateIso_ = statement.ColumnIndex("results_date_iso");
        firstSeen_ = statement.ColumnIndex("first_seen");
        lastChanged_ = statement.ColumnIndex("last_changed");
    }

    BrowsedLot Read() const {
        const Statement& s = statement_;
        BrowsedLot lot;
        lot.lotId = s.Int(lotId_);
        lot.tradeId = s.Int(tradeId_);
        texts_.Read(s, lot.row);
        lot.cardLink =
            crawl::RegisterAddresses(std::string(s.Text(registerUrl_))).CardLink(lot.row.guid);
        lot.tradeType = s.Text(tradeType_);
        if (!s.IsNull(startValue_))
            lot.startPrice = s.Real(startValue_);
        if (!s.IsNull(finalValue_))
            lot.currentPrice = s.Real(finalValue_);
        lot.datePublish = s.OptionalText(datePublishIso_);
        lot.resultsDate = s.OptionalText(resultsDateIso_);
        lot.firstSeen = s.Text(firstSeen_);
        lot.lastChanged = s.Text(lastChanged_);
        return lot;
    }

private:
    const Statement& statement_;
    RowTextColumns texts_;
    int lotId_ = 0, tradeId_ = 0, registerUrl_ = 0, tradeType_ = 0, datePublishIso_ = 0;
    int startValue_ = 0, finalValue_ = 0, resultsDateIso_ = 0, firstSeen_ = 0, lastChanged_ = 0;
};

// One read transaction over several statements, so that what they read agrees; ended however
// the reading ends. An interrupted statement may have ended it already.
class ReadTransaction {
public:
    explicit ReadTransaction(Database& db) : db_(db) { db_.Execute("BEGIN"); }
    ~ReadTransaction() {
        if (sqlite3_get_autocommit(db_.Handle()) == 0)
            sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

private:
    Database& db_;
};

std::vector<std::int64_t> ReadIds(Statement& query) {
    std::vector<std::int64_t> ids;
    while (query.Step())
        ids.push_back(query.Int(0));
    return ids;
}

}  // namespace

std::int64_t TradeOfLot(std::int64_t lotId) {
    return lotId / kLotsPerTrade;
}

std::int64_t CountTrades(const std::vector<std::int64_t>& lotIds) {
    std::unordered_set<std::int64_t> trades;
    std::int64_t last = -1;
    for (const std::int64_t id : lotIds) {
        // The lots of a trade mostly lie together: most lots cost no look-up.
        const std::int64_t trade = TradeOfLot(id);
        if (trade != last)
            trades.insert(trade);
        last = trade;
    }
    return static_cast<std::int64_t>(trades.size());
}

LotBrowser::LotBrowser(const std::filesystem::path& path, std::chrono::milliseconds busyTimeout)
    : db_(OpenStoreForReading(path, busyTimeout)) {
    sqlite3_create_function_v2(db_->Handle(), "korvalot_fold", 1,
                               SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                               FoldFunction, nullptr, nullptr, nullptr);
    // sqlite3_interrupt alone misses a statement that starts just after it: the flag stops that
    // one too.
    sqlite3_progress_handler(db_->Handle(), kProgressSteps, ProgressHandler, &interrupted_);
}

LotBrowser::~LotBrowser() = default;

void LotBrowser::Interrupt() noexcept {
    interrupted_.store(true);
    db_->Interrupt();
}

void LotBrowser::StartQuery() {
    interrupted_.store(false);
}

void LotBrowser::CheckInterrupted() const {
    if (interrupted_.load())
        throw StoreError(StoreError::Problem::Interrupted,
                         "хранилище " + db_->Path().string() + ": запрос прерван");
}

std::vector<BrowsedLot> LotBrowser::FirstLots(const TradeFilter& filter, const LotOrder& order,
                                              std::size_t count) {
    StartQuery();
    const SqlCondition condition = RowConditions(filter);
    Statement query(
        *db_, std::string(kLotColumns) + "WHERE " + condition.sql + OrderBy(order) + " LIMIT ?");
    BindAll(query, condition);
    query.Bind(static_cast<int>(condition.parameters.size()) + 1, static_cast<std::int64_t>(count));
    const LotReader reader(query);
    std::vector<BrowsedLot> lots;
    while (query.Step())
        lots.push_back(reader.Read());
    CheckInterrupted();
    return lots;
}

std::vector<std::int64_t> LotBrowser::LotIds(const TradeFilter& filter, const LotOrder& order) {
    StartQuery();
    const SqlCondition condition = RowConditions(filter);
    Statement query(*db_, "SELECT l.id FROM lots l JOIN trades t ON t.id = l.trade_id WHERE " +
                              condition.sql + OrderBy(order));
    BindAll(query, condition);
    std::vector<std::int64_t> ids = ReadIds(query);
    CheckInterrupted();
    return ids;
}

std::vector<BrowsedLot> LotBrowser::Lots(const std::vector<std::int64_t>& lotIds) {
    StartQuery();
    Statement query(*db_, std::string(kLotColumns) + "WHERE l.id = ?");
    const LotReader reader(query);
    std::vector<BrowsedLot> lots;
    lots.reserve(lotIds.size());
    const ReadTransaction transaction(*db_);
    for (const std::int64_t id : lotIds) {
        query.Bind(1, id);
        if (query.Step())
            lots.push_back(reader.Read());
        query.Reset();
    }
    CheckInterrupted();
    return lots;
}

std::optional<TradeDetails> LotBrowser::Trade(std::int64_t tradeId) {
    StartQuery();
    const ReadTransaction transaction(*db_);
    Statement trade(*db_,
                    "SELECT guid, register_url, trade_type, coalesce(region_code, '') AS code, "
                    "trade_date_iso, first_seen, last_seen, coalesce(last_changed, '') AS "
                    "changed FROM trades WHERE id = ?");
    trade.Bind(1, tradeId);
    if (!trade.Step())
        return std::nullopt;
    TradeDetails details;
    details.tradeId = tradeId;
    details.guid = trade.Text(trade.ColumnIndex("guid"));
    details.cardLink =
        crawl::RegisterAddresses(std::string(trade.Text(trade.ColumnIndex("register_url"))))
            .CardLink(details.guid);
    details.tradeType = trade.Text(trade.ColumnIndex("trade_type"));
    details.regionCode = trade.Text(trade.ColumnIndex("code"));
    details.tradeDate = trade.OptionalText(trade.ColumnIndex("trade_date_iso"));
    details.firstSeen = trade.Text(trade.ColumnIndex("first_seen"));
    details.lastSeen = trade.Text(trade.ColumnIndex("last_seen"));
    details.lastChanged = trade.Text(trade.ColumnIndex("changed"));

    Statement lots(*db_, std::string(kLotColumns) + "WHERE l.id BETWEEN ? AND ? ORDER BY l.id");
    lots.Bind(1, tradeId * kLotsPerTrade).Bind(2, tradeId * kLotsPerTrade + kLotsPerTrade - 1);
    const LotReader reader(lots);
    while (lots.Step())
        details.lots.push_back(reader.Read());

    Statement history(*db_,
                      "SELECT c.lot_position AS position, c.field AS field, "
                      "c.old_value AS old_value, c.new_value AS new_value, c.run_id AS run, "
                      "r.program AS program, r.kind AS kind, r.started_at AS started, "
                      "c.changed_at AS changed FROM changes c JOIN runs r ON r.id = c.run_id "
                      "WHERE c.trade_id = ? ORDER BY c.id");
    history.Bind(1, tradeId);
    const int position = history.ColumnIndex("position");
    const int field = history.ColumnIndex("field");
    const int oldValue = history.ColumnIndex("old_value");
    const int newValue = history.ColumnIndex("new_value");
    const int run = history.ColumnIndex("run");
    const int program = history.ColumnIndex("program");
    const int kind = history.ColumnIndex("kind");
    const int started = history.ColumnIndex("started");
    const int changed = history.ColumnIndex("changed");
    while (history.Step()) {
        ValueChange change;
        if (!history.IsNull(position))
            change.lotPosition = static_cast<int>(history.Int(position));
        change.field = history.Text(field);
        change.oldValue = history.OptionalText(oldValue);
        change.newValue = history.OptionalText(newValue);
        change.runId = history.Int(run);
        change.runProgram = history.Text(program);
        change.runKind = history.Text(kind);
        change.runStarted = history.Text(started);
        change.changedAt = history.Text(changed);
        details.history.push_back(std::move(change));
    }
    CheckInterrupted();
    return details;
}

std::vector<PricePoint> LotBrowser::PriceHistory(std::int64_t lotId) {
    StartQuery();
    const ReadTransaction transaction(*db_);
    Statement lot(*db_,
                  "SELECT l.first_seen, l.final_price, t.decimal_separator, "
                  "coalesce(l.last_changed, t.last_seen) FROM lots l "
                  "JOIN trades t ON t.id = l.trade_id WHERE l.id = ?");
    lot.Bind(1, lotId);
    std::vector<PricePoint> points;
    if (!lot.Step())
        return points;
    const std::string separator(lot.Text(2));
    const auto point = [&](std::string_view time, std::string_view text) {
        return PricePoint{std::string(time), std::string(text), PriceValue(text, separator)};
    };
    Statement changes(*db_,
                      "SELECT changed_at, old_value, new_value FROM changes "
                      "WHERE trade_id = ? AND lot_position = ? AND field = ? ORDER BY id");
    changes.Bind(1, TradeOfLot(lotId)).Bind(2, lotId % kLotsPerTrade).Bind(3, kCurrentPriceField);
    bool first = true;
    while (changes.Step()) {
        // The value before the first change is the one the lot was first seen with.
        if (first)
            points.push_back(point(lot.Text(0), changes.Text(1)));
        first = false;
        points.push_back(point(changes.Text(0), changes.Text(2)));
    }
    const std::string_view current = lot.Text(1);
    if (points.empty())
        points.push_back(point(lot.Text(0), current));
    else if (points.back().text != current)
        points.push_back(point(lot.Text(3), current));
    CheckInterrupted();
    return points;
}

}  // namespace korvalot::store
