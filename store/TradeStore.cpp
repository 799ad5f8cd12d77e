#include "store/TradeStore.h"

#include <array>

#include "crawl/SearchQueries.h"
#include "store/Schema.h"
#include "store/StoredValues.h"
#include "util/Platform.h"
#include "util/uLib.h"

namespace korvalot::store {
namespace {

namespace fs = std::filesystem;
using Problem = StoreError::Problem;
using crawl::ResultRow;

// Marks a database as a store of this program ("KVLT"), so that another program's SQLite file
// is never taken for one and written into.
constexpr std::int64_t kApplicationId = 0x4B564C54;

// A column of the results file that the store follows, by the name the file's header gives it.
struct Field {
    const char* name;
    std::string ResultRow::*member;
    bool price;
};

constexpr std::array<Field, 7> kTradeFields = {{
    {"Регион", &ResultRow::region, false},
    {"Номер объявления о торгах", &ResultRow::number, false},
    {"Дата объявления о торгах", &ResultRow::datePublish, false},
    {"Наименование должника", &ResultRow::debtorName, false},
    {"ИНН должника", &ResultRow::debtorInn, false},
    {"Наименование суда", &ResultRow::courtName, false},
    {"Дата объявления результатов", &ResultRow::resultsDate, false},
}};

constexpr std::array<Field, 6> kLotFields = {{
    {"Тип имущества", &ResultRow::propertyType, false},
    {"Описание лота", &ResultRow::lotDescription, false},
    {"Начальная цена", &ResultRow::startPrice, true},
    {"Итоговая цена", &ResultRow::currentPrice, true},
    {"Победитель наименование", &ResultRow::winnerName, false},
    {"Победитель ИНН", &ResultRow::winnerInn, false},
}};

// A lot that appears in or disappears from a stored trade.
constexpr const char* kLotField = "Лот";

void RemoveStoreFiles(const fs::path& path) {
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        fs::remove(fs::path(path.string() + suffix), ignored);
}

// Checks that the file is a store this program may use; returns its schema version.
std::int64_t CheckStore(Database& db) {
    const std::int64_t version = SchemaVersion(db);
    const std::string where = "хранилище " + db.Path().string() + ": ";
    if (version > kSchemaVersion) {
        throw StoreError(Problem::NewerSchema,
                         where + "записано более новой версией программы (версия схемы " +
                             std::to_string(version) + ", эта программа знает версии до " +
                             std::to_string(kSchemaVersion) + ")");
    }
    const std::int64_t application = db.QueryInt("PRAGMA application_id");
    const bool foreign =
        version > 0 ? application != kApplicationId
                    : db.QueryInt("SELECT count(*) FROM sqlite_schema") > 0 || application != 0;
    if (foreign)
        throw StoreError(Problem::NotADatabase, where + "это база данных другой программы");
    return version;
}

void BringUpToDate(Database& db, std::int64_t version) {
    // Write-ahead logging before anything is written, so that a crash never leaves a
    // half-written transaction in the database itself.
    db.Execute("PRAGMA journal_mode = WAL");
    if (version < kSchemaVersion) {
        Migrate(db);
        db.Execute("PRAGMA application_id = " + std::to_string(kApplicationId));
    }
}

bool HoldsQuotes(const std::vector<ResultRow>& rows) {
    for (const ResultRow& row : rows) {
        for (const std::string* value : row.Columns()) {
            if (value->find('"') != std::string::npos)
                return true;
        }
    }
    return false;
}

// The rows' texts as the results file shows them: a double quote there is an apostrophe.
std::vector<ResultRow> AsInFile(const std::vector<ResultRow>& rows) {
    std::vector<ResultRow> out = rows;
    for (ResultRow& row : out) {
        for (std::string* value :
             {&row.region, &row.number, &row.datePublish, &row.debtorName, &row.debtorInn,
              &row.propertyType, &row.lotDescription, &row.courtName, &row.startPrice,
              &row.currentPrice, &row.resultsDate, &row.winnerName, &row.winnerInn}) {
            if (value->find('"') != std::string::npos)
                *value = util::EscapeCsvQuotes(*value);
        }
    }
    return out;
}

std::string IsoDay(std::chrono::year_month_day date) {
    return crawl::FormatIsoDate(date);
}

}  // namespace

struct TradeStore::Statements {
    explicit Statements(Database& db)
        : insertRun(db, "INSERT INTO runs(program, kind, started_at) VALUES (?, ?, ?)"),
          beginRun(db,
                   "UPDATE runs SET results_file = ?, register_url = ?, decimal_separator = ? "
                   "WHERE id = ?"),
          countRun(db,
                   "UPDATE runs SET trades_stored = ?, trades_new = ?, trades_changed = ?, "
                   "values_changed = ? WHERE id = ?"),
          endRun(db, "UPDATE runs SET ended_at = ? WHERE id = ?"),
          findTrade(db,
                    "SELECT id, region, number, date_publish, debtor_name, debtor_inn, "
                    "court_name, results_date, decimal_separator FROM trades WHERE guid = ?"),
          insertTrade(db,
                      "INSERT INTO trades(guid, register_url, trade_type, region, region_code, "
                      "number, date_publish, date_publish_iso, debtor_name, debtor_inn, "
                      "court_name, results_date, results_date_iso, decimal_separator, "
                      "first_seen, first_run, last_seen, last_run) "
                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, "
                      "?15, ?16, ?15, ?16)"),
          updateTrade(db,
                      "UPDATE trades SET register_url = ?2, trade_type = ?3, region = ?4, "
                      "region_code = ?5, number = ?6, date_publish = ?7, date_publish_iso = ?8, "
                      "debtor_name = ?9, debtor_inn = ?10, court_name = ?11, results_date = ?12, "
                      "results_date_iso = ?13, decimal_separator = ?14, last_seen = ?15, "
                      "last_run = ?16, last_changed = coalesce(?17, last_changed) WHERE id = ?1"),
          findLots(db,
                   "SELECT id, property_type, description, start_price, final_price, "
                   "winner_name, winner_inn FROM lots WHERE trade_id = ? ORDER BY position"),
          insertLot(db,
                    "INSERT INTO lots(trade_id, position, property_type, description, "
                    "start_price, start_price_value, final_price, final_price_value, "
                    "winner_name, winner_inn, first_seen, last_changed) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
          updateLot(db,
                    "UPDATE lots SET property_type = ?2, description = ?3, start_price = ?4, "
                    "start_price_value = ?5, final_price = ?6, final_price_value = ?7, "
                    "winner_name = ?8, winner_inn = ?9, last_changed = coalesce(?10, "
                    "last_changed) WHERE id = ?1"),
          deleteLot(db, "DELETE FROM lots WHERE id = ?"),
          indexWords(db, "INSERT INTO lot_words(rowid, description, debtor_name) VALUES (?, ?, ?)"),
          forgetWords(db,
                      "INSERT INTO lot_words(lot_words, rowid, description, debtor_name) "
                      "VALUES ('delete', ?, ?, ?)"),
          insertChange(db,
                       "INSERT INTO changes(trade_id, lot_position, field, old_value, "
                       "new_value, run_id, changed_at) VALUES (?, ?, ?, ?, ?, ?, ?)"),
          rememberRegion(db,
                         "INSERT INTO regions(code, name) VALUES (?, ?) "
                         "ON CONFLICT(code) DO UPDATE SET name = excluded.name") {}

    Statement insertRun, beginRun, countRun, endRun;
    Statement findTrade, insertTrade, updateTrade;
    Statement findLots, insertLot, updateLot, deleteLot;
    Statement indexWords, forgetWords;
    Statement insertChange;
    Statement rememberRegion;
};

fs::path TradeStore::DefaultPath() {
    return util::DataDirectory() / "korvalot.sqlite";
}

TradeStore::TradeStore(fs::path path, StoreOptions options)
    : path_(std::move(path)), options_(std::move(options)) {
    std::error_code error;
    const bool existed = fs::exists(path_, error) || fs::is_symlink(path_, error);
    try {
        Open();
    } catch (...) {
        statements_.reset();
        db_.reset();
        if (!existed)
            RemoveStoreFiles(path_);
        throw;
    }
}

TradeStore::~TradeStore() {
    try {
        EndRun();
    } catch (...) {
        // The run's end time is a note; the trades are stored already.
    }
    statements_.reset();
}

void TradeStore::Open() {
    db_ = std::make_unique<Database>(path_, Database::Mode::ReadWriteCreate);
    db_->SetBusyTimeout(options_.busyTimeout);
    const std::int64_t version = CheckStore(*db_);
    BringUpToDate(*db_, version);
    // Every commit reaches the disk before skip.txt may name its trade.
    db_->Execute("PRAGMA synchronous = FULL");
    db_->Execute("PRAGMA foreign_keys = ON");
    statements_ = std::make_unique<Statements>(*db_);

    Statement regions(*db_, "SELECT code, name FROM regions");
    while (regions.Step())
        regionCodes_.emplace(regions.Text(1), regions.Text(0));

    // The run's record is the write that shows the store can be written at all.
    Transaction transaction(*db_);
    statements_->insertRun.Bind(1, options_.program)
        .Bind(2, std::string_view(options_.refresh ? "refresh" : "harvest"))
        .Bind(3, Now())
        .Run();
    runId_ = db_->LastInsertId();
    transaction.Commit();
}

std::string TradeStore::Now() const {
    return IsoTimestamp(options_.clock ? options_.clock() : std::chrono::system_clock::now());
}

void TradeStore::RememberRegions(const std::vector<std::string>& items) {
    Transaction transaction(*db_);
    for (const std::string& item : items) {
        crawl::RegionItem region = crawl::ParseRegionItem(item);
        if (region.code.empty())
            continue;
        region.code = NormalRegionCode(region.code);
        statements_->rememberRegion.Bind(1, region.code).Bind(2, region.name).Run();
        regionCodes_[region.name] = region.code;
    }
    transaction.Commit();
}

std::vector<crawl::TradeToRefresh> TradeStore::OpenTrades(const TradeFilter& filter,
                                                          std::chrono::year_month_day today,
                                                          int recentDays) {
    const SqlCondition condition = TradeConditions(filter);
    Statement query(
        *db_, "SELECT t.guid, t.region FROM trades t WHERE " + condition.sql +
                  " AND (t.results_date_iso IS NULL OR t.results_date_iso >= ?)"
                  " AND EXISTS (SELECT 1 FROM lots l WHERE l.trade_id = t.id AND"
                  " (l.final_price_value IS NULL OR (l.winner_name = '' AND l.winner_inn = '')))"
                  " ORDER BY t.id");
    int index = 1;
    for (const auto& parameter : condition.parameters)
        std::visit([&](const auto& value) { query.Bind(index++, value); }, parameter);
    query.Bind(index, IsoDay(std::chrono::year_month_day{std::chrono::sys_days(today) -
                                                         std::chrono::days(recentDays)}));
    std::vector<crawl::TradeToRefresh> trades;
    while (query.Step())
        trades.push_back({std::string(query.Text(0)), std::string(query.Text(1))});
    return trades;
}

void TradeStore::Begin(const crawl::TradeSinkRun& run) {
    run_ = run;
    RememberRegions(run.regionItems);
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(run.resultsFile, error);
    statements_->beginRun.Bind(1, (error ? run.resultsFile : file).string())
        .Bind(2, run.registerBaseUrl)
        .Bind(3, run.decimalSeparator)
        .Bind(4, runId_)
        .Run();
}

void TradeStore::TradeWritten(const std::string& guid, const std::string& regionName,
                              const json::JsonValue& tradeCard,
                              const std::vector<crawl::ResultRow>& rows) {
    const std::string tradeType = tradeCard.IsNothing() ? "" : tradeCard.MemberText("tradeType");
    if (!rows.empty()) {
        if (!HoldsQuotes(rows)) {
            StoreTrade(guid, regionName, tradeType, rows.front(), rows);
            return;
        }
        const std::vector<ResultRow> lots = AsInFile(rows);
        StoreTrade(guid, regionName, tradeType, lots.front(), lots);
        return;
    }
    // A trade without lots gives no row, but skip.txt names it all the same: the store keeps
    // its card's own values (the court name comes with the additional data, which the engine
    // hands over inside the rows only).
    static const json::JsonValue kOneEmptyLot = json::Parse(R"({"pageData":[{}]})");
    crawl::CardDocuments card{tradeCard, {kOneEmptyLot}, {}};
    crawl::CardRows values = crawl::ExtractCard(guid, regionName, card, run_.decimalSeparator);
    ResultRow trade = values.rows.empty() ? ResultRow{} : std::move(values.rows.front());
    trade.guid = guid;
    trade.region = regionName;
    StoreTrade(guid, regionName, tradeType, AsInFile({trade}).front(), {});
}

void TradeStore::StoreTrade(const std::string& guid, const std::string& regionName,
                            const std::string& tradeType, const ResultRow& values,
                            const std::vector<ResultRow>& lots) {
    Statements& s = *statements_;
    const std::string now = Now();
    const std::string& separator = run_.decimalSeparator;
    const auto code = regionCodes_.find(regionName);
    const std::optional<std::string> regionCode =
        code != regionCodes_.end() ? std::optional<std::string>(code->second) : std::nullopt;
    StoreCounts counts = counts_;
    std::int64_t changes = 0;

    Transaction transaction(*db_);
    const auto recordChange = [&](std::int64_t tradeId, std::optional<std::int64_t> position,
                                  const char* field, std::optional<std::string_view> from,
                                  std::optional<std::string_view> to) {
        s.insertChange.Bind(1, tradeId).Bind(2, position).Bind(3, std::string_view(field));
        if (from)
            s.insertChange.Bind(4, *from);
        if (to)
            s.insertChange.Bind(5, *to);
        s.insertChange.Bind(6, runId_).Bind(7, now).Run();
        ++changes;
    };
    const auto bindTrade = [&](Statement& statement) {
        statement.Bind(2, run_.registerBaseUrl)
            .Bind(3, tradeType)
            .Bind(4, values.region)
            .Bind(5, regionCode)
            .Bind(6, values.number)
            .Bind(7, values.datePublish)
            .Bind(8, IsoDate(values.datePublish))
            .Bind(9, values.debtorName)
            .Bind(10, values.debtorInn)
            .Bind(11, values.courtName)
            .Bind(12, values.resultsDate)
            .Bind(13, IsoDate(values.resultsDate))
            .Bind(14, separator)
            .Bind(15, now)
            .Bind(16, runId_);
    };

    s.findTrade.Bind(1, guid);
    std::int64_t tradeId = 0;
    std::optional<std::string> oldDebtor;
    std::string oldSeparator = separator;
    bool tradeChanged = false;
    if (s.findTrade.Step()) {
        tradeId = s.findTrade.Int(0);
        for (std::size_t k = 0; k < kTradeFields.size(); ++k) {
            const std::string_view old = s.findTrade.Text(static_cast<int>(k) + 1);
            const std::string& fresh = values.*kTradeFields[k].member;
            if (old != fresh) {
                recordChange(tradeId, std::nullopt, kTradeFields[k].name, old, fresh);
                tradeChanged = true;
            }
        }
        oldDebtor = std::string(s.findTrade.Text(4));
        oldSeparator = std::string(s.findTrade.Text(8));
        s.findTrade.Reset();
        s.updateTrade.Bind(1, tradeId);
        bindTrade(s.updateTrade);
        if (tradeChanged)
            s.updateTrade.Bind(17, now);
        s.updateTrade.Run();
    } else {
        s.findTrade.Reset();
        s.insertTrade.Bind(1, guid);
        bindTrade(s.insertTrade);
        s.insertTrade.Run();
        tradeId = db_->LastInsertId();
        ++counts.tradesNew;
    }

    // The trade's lots as stored, in lot order.
    struct OldLot {
        std::int64_t id;
        std::array<std::string, kLotFields.size()> texts;
    };
    std::vector<OldLot> oldLots;
    s.findLots.Bind(1, tradeId);
    while (s.findLots.Step()) {
        OldLot lot{s.findLots.Int(0), {}};
        for (std::size_t k = 0; k < kLotFields.size(); ++k)
            lot.texts[k] = s.findLots.Text(static_cast<int>(k) + 1);
        oldLots.push_back(std::move(lot));
    }
    s.findLots.Reset();

    const std::size_t newCount = lots.size();
    bool lotsChanged = false;
    for (std::size_t position = 0; position < newCount; ++position) {
        const ResultRow& row = lots[position];
        const auto startValue = PriceValue(row.startPrice, separator);
        const auto finalValue = PriceValue(row.currentPrice, separator);
        if (position >= oldLots.size()) {
            s.insertLot.Bind(1, tradeId)
                .Bind(2, static_cast<std::int64_t>(position))
                .Bind(3, row.propertyType)
                .Bind(4, row.lotDescription)
                .Bind(5, row.startPrice)
                .Bind(6, startValue)
                .Bind(7, row.currentPrice)
                .Bind(8, finalValue)
                .Bind(9, row.winnerName)
                .Bind(10, row.winnerInn)
                .Bind(11, now);
            // A lot that appears in a stored trade is a change of that trade.
            if (oldDebtor)
                s.insertLot.Bind(12, now);
            s.insertLot.Run();
            const std::int64_t lotId = db_->LastInsertId();
            s.indexWords.Bind(1, lotId)
                .Bind(2, row.lotDescription)
                .Bind(3, values.debtorName)
                .Run();
            if (oldDebtor) {
                recordChange(tradeId, static_cast<std::int64_t>(position), kLotField, std::nullopt,
                             row.lotDescription);
                lotsChanged = true;
            }
            continue;
        }
        const OldLot& old = oldLots[position];
        bool differs = false;
        bool changed = false;
        for (std::size_t k = 0; k < kLotFields.size(); ++k) {
            const std::string& fresh = row.*kLotFields[k].member;
            if (old.texts[k] == fresh)
                continue;
            differs = true;
            // A price written with another decimal separator is the same price.
            if (kLotFields[k].price &&
                WithDecimalSeparator(old.texts[k], oldSeparator, separator) == fresh)
                continue;
            recordChange(tradeId, static_cast<std::int64_t>(position), kLotFields[k].name,
                         old.texts[k], fresh);
            changed = true;
        }
        if (differs) {
            s.updateLot.Bind(1, old.id)
                .Bind(2, row.propertyType)
                .Bind(3, row.lotDescription)
                .Bind(4, row.startPrice)
                .Bind(5, startValue)
                .Bind(6, row.currentPrice)
                .Bind(7, finalValue)
                .Bind(8, row.winnerName)
                .Bind(9, row.winnerInn);
            if (changed)
                s.updateLot.Bind(10, now);
            s.updateLot.Run();
        }
        lotsChanged = lotsChanged || changed;
        // The index forgets a text by the words it was given.
        if (old.texts[1] != row.lotDescription || *oldDebtor != values.debtorName) {
            s.forgetWords.Bind(1, old.id).Bind(2, old.texts[1]).Bind(3, *oldDebtor).Run();
            s.indexWords.Bind(1, old.id)
                .Bind(2, row.lotDescription)
                .Bind(3, values.debtorName)
                .Run();
        }
    }
    for (std::size_t position = newCount; position < oldLots.size(); ++position) {
        const OldLot& old = oldLots[position];
        s.forgetWords.Bind(1, old.id).Bind(2, old.texts[1]).Bind(3, *oldDebtor).Run();
        s.deleteLot.Bind(1, old.id).Run();
        recordChange(tradeId, static_cast<std::int64_t>(position), kLotField, old.texts[1],
                     std::nullopt);
        lotsChanged = true;
    }

    ++counts.tradesStored;
    if (tradeChanged || lotsChanged)
        ++counts.tradesChanged;
    counts.valuesChanged += changes;
    s.countRun.Bind(1, counts.tradesStored)
        .Bind(2, counts.tradesNew)
        .Bind(3, counts.tradesChanged)
        .Bind(4, counts.valuesChanged)
        .Bind(5, runId_)
        .Run();
    transaction.Commit();
    counts_ = counts;
}

std::string TradeStore::Finish(crawl::RunSummary& summary) {
    EndRun();
    summary.tradesStored += counts_.tradesStored;
    summary.tradesChanged += counts_.tradesChanged;
    if (options_.refresh) {
        return "Обновлено торгов: " + std::to_string(counts_.tradesStored) +
               ", изменилось: " + std::to_string(counts_.tradesChanged) +
               " (значений: " + std::to_string(counts_.valuesChanged) + ")";
    }
    return "В хранилище " + path_.string() +
           " записано торгов: " + std::to_string(counts_.tradesStored) +
           ", из них новых: " + std::to_string(counts_.tradesNew) +
           ", изменилось: " + std::to_string(counts_.tradesChanged) +
           " (значений: " + std::to_string(counts_.valuesChanged) + ")";
}

void TradeStore::EndRun() {
    if (ended_ || !statements_)
        return;
    ended_ = true;
    statements_->endRun.Bind(1, Now()).Bind(2, runId_).Run();
}

std::unique_ptr<Database> OpenStoreForReading(const fs::path& path,
                                              std::chrono::milliseconds busyTimeout) {
    std::error_code error;
    if (!fs::exists(path, error))
        throw StoreError(Problem::CannotOpen, "хранилище " + path.string() + ": файла нет");
    auto db = std::make_unique<Database>(path, Database::Mode::ReadWrite);
    db->SetBusyTimeout(busyTimeout);
    const std::int64_t version = CheckStore(*db);
    if (version < kSchemaVersion)
        BringUpToDate(*db, version);
    return db;
}

void ForEachStoredRow(Database& db, const TradeFilter& filter,
                      const std::function<void(const StoredRow&)>& visit) {
    const SqlCondition condition = RowConditions(filter);
    Statement query(
        db,
        "SELECT t.guid, t.register_url, t.region, t.number, t.date_publish, t.debtor_name, "
        "t.debtor_inn, l.property_type, l.description, t.court_name, l.start_price, "
        "l.final_price, t.results_date, l.winner_name, l.winner_inn, t.decimal_separator, "
        "t.trade_type, l.first_seen, t.last_changed, l.last_changed "
        "FROM trades t JOIN lots l ON l.trade_id = t.id WHERE " +
            condition.sql + " ORDER BY t.id, l.position");
    int index = 1;
    for (const auto& parameter : condition.parameters)
        std::visit([&](const auto& value) { query.Bind(index++, value); }, parameter);
    StoredRow out;
    ResultRow& row = out.row;
    while (query.Step()) {
        row.guid = query.Text(0);
        out.registerUrl = query.Text(1);
        row.region = query.Text(2);
        row.number = query.Text(3);
        row.datePublish = query.Text(4);
        row.debtorName = query.Text(5);
        row.debtorInn = query.Text(6);
        row.propertyType = query.Text(7);
        row.lotDescription = query.Text(8);
        row.courtName = query.Text(9);
        row.startPrice = query.Text(10);
        row.currentPrice = query.Text(11);
        row.resultsDate = query.Text(12);
        row.winnerName = query.Text(13);
        row.winnerInn = query.Text(14);
        out.decimalSeparator = query.Text(15);
        out.tradeType = query.Text(16);
        out.firstSeen = query.Text(17);
        const std::string_view tradeChanged = query.Text(18);
        const std::string_view lotChanged = query.Text(19);
        out.lastChanged = std::max(tradeChanged, lotChanged);
        visit(out);
    }
}

}  // namespace korvalot::store
