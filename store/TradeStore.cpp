#include "store/TradeStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <list>
#include <thread>

#include "crawl/SearchQueries.h"
#include "store/RowColumns.h"
#include "store/Schema.h"
#include "store/StoredValues.h"
#include "store/Words.h"
#include "util/Platform.h"
#include "util/TempFile.h"
#include "util/uLib.h"

namespace korvalot::store {
namespace {

namespace fs = std::filesystem;
using Problem = StoreError::Problem;
using crawl::ResultRow;

// Columns 2 to 14 of a row, in ResultRow::Columns() order.
enum Column : std::size_t {
    kRegion,
    kNumber,
    kDatePublish,
    kDebtorName,
    kDebtorInn,
    kPropertyType,
    kDescription,
    kCourtName,
    kStartPrice,
    kFinalPrice,
    kResultsDate,
    kWinnerName,
    kWinnerInn,
};

// A column of the results file that the store follows, by the name the file's header gives it,
// and the store's column that keeps it.
struct Field {
    const char* name;
    Column column;
    bool price;
    const char* stored;
};

constexpr std::array<Field, 7> kTradeFields = {{
    {"Регион", kRegion, false, "region"},
    {"Номер объявления о торгах", kNumber, false, "number"},
    {"Дата объявления о торгах", kDatePublish, false, "date_publish"},
    {"Наименование должника", kDebtorName, false, "debtor_name"},
    {"ИНН должника", kDebtorInn, false, "debtor_inn"},
    {"Наименование суда", kCourtName, false, "court_name"},
    {"Дата объявления результатов", kResultsDate, false, "results_date"},
}};

constexpr std::array<Field, 6> kLotFields = {{
    {"Тип имущества", kPropertyType, false, "property_type"},
    {"Описание лота", kDescription, false, "description"},
    {"Начальная цена", kStartPrice, true, "start_price"},
    {"Итоговая цена", kFinalPrice, true, "final_price"},
    {"Победитель наименование", kWinnerName, false, "winner_name"},
    {"Победитель ИНН", kWinnerInn, false, "winner_inn"},
}};

// The result columns of a statement, by the store's names of the fields, in the fields' order.
template <std::size_t N>
std::array<int, N> ColumnsOf(const Statement& statement, const std::array<Field, N>& fields) {
    std::array<int, N> columns{};
    for (std::size_t k = 0; k < N; ++k)
        columns[k] = statement.ColumnIndex(fields[k].stored);
    return columns;
}

}  // namespace

// A row's texts as the results file shows them (a double quote there is an apostrophe), the
// row's own strings wherever nothing changes, so that long descriptions are not copied.
class FileTexts {
public:
    explicit FileTexts(const ResultRow& row) : columns_(row.Columns()) {
        for (const std::string*& column : columns_) {
            if (column->find('"') != std::string::npos) {
                escaped_.push_back(util::EscapeCsvQuotes(*column));
                column = &escaped_.back();
            }
        }
    }
    const std::string& operator[](Column column) const { return *columns_[column]; }

private:
    std::array<const std::string*, 13> columns_;
    std::list<std::string> escaped_;  // its elements stay where they are
};

namespace {

// A lot that appears in or disappears from a stored trade.
constexpr const char* kLotField = "Лот";

// A new store appears at its name whole, with its tables and its mark, or not at all: it is made
// in a temporary file beside it and linked into place only if nothing stands there yet. Two
// harvests that make the same store at once thus never see each other's half-made file, and the
// one that comes second uses the first one's store.
void CreateStore(const fs::path& path) {
    try {
        util::TempFile file(path);
        const fs::path shown = file.DescriptorPath();
        try {
            Database db(shown, Database::Mode::ReadWrite);
            // Nothing beside a file that nobody else sees yet: no journal to name.
            db.Execute("PRAGMA journal_mode = OFF");
            Migrate(db);
        } catch (const StoreError& e) {
            std::string what = e.what();
            if (const auto at = what.find(shown.string()); at != std::string::npos)
                what.replace(at, shown.string().size(), path.string());
            throw StoreError(e.What(), what);
        }
        file.KeepIfNone();
    } catch (const util::PlatformError& e) {
        throw StoreError(Problem::CannotWrite,
                         "хранилище " + path.string() + ": не удалось записать: " + e.what());
    }
}

// Checks that the file is a store this program may use; returns its schema version. A store an
// earlier version left without its mark is ours; `repair` gives it the mark.
std::int64_t CheckStore(Database& db, bool repair) {
    const std::int64_t version = SchemaVersion(db);
    const std::string where = "хранилище " + db.Path().string() + ": ";
    if (version > kSchemaVersion) {
        throw StoreError(Problem::NewerSchema,
                         where + "записано более новой версией программы (версия схемы " +
                             std::to_string(version) + ", эта программа знает версии до " +
                             std::to_string(kSchemaVersion) + ")");
    }
    std::int64_t application = db.QueryInt("PRAGMA application_id");
    if (application == 0 && version > 0 && LeftWithoutMark(db)) {
        if (repair)
            Mark(db);
        application = kApplicationId;
    }
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
    if (version < kSchemaVersion)
        Migrate(db);
}

// A damaged page is found before anything is asked of the register or written, not halfway
// through a run or by the next export.
void CheckWhole(Database& db) {
    Statement check(db, "PRAGMA quick_check(1)");
    const std::string verdict = check.Step() ? std::string(check.Text(0)) : "ok";
    if (verdict != "ok")
        throw StoreError(Problem::Damaged,
                         "хранилище " + db.Path().string() + ": база данных повреждена");
}

// The store's file and its folder can be written: a real attempt, since access() passes for
// root and knows nothing of a read-only mount until a write fails. SQLite would open a file it
// may not write read-only and leave its -wal and -shm files behind.
void CheckWritable(const fs::path& path) {
    const auto fail = [&](const std::string& reason) {
        throw StoreError(Problem::CannotWrite,
                         "хранилище " + path.string() + ": не удалось записать: " + reason);
    };
    std::error_code error;
    if (fs::is_directory(path, error))
        fail("это папка");
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        ::close(fd);
    } else if (errno != ENOENT) {
        fail(errno == EACCES || errno == EPERM || errno == EROFS
                 ? std::string("файл только для чтения (") + std::strerror(errno) + ")"
                 : std::string(std::strerror(errno)));
    }
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::string probe = (folder / ".korvalot-store-XXXXXX").string();
    const int probeFd = ::mkstemp(probe.data());
    if (probeFd < 0) {
        fail(std::string("в папку ") + folder.string() + " нельзя записывать (" +
             std::strerror(errno) + ")");
    }
    ::close(probeFd);
    ::unlink(probe.c_str());
}

// The date part of the card's "tradeDate" ("2026-03-02T10:00:00"), the date the register's
// search selects by.
std::optional<std::string> TradeDay(const json::JsonValue& tradeCard) {
    if (tradeCard.IsNothing())
        return std::nullopt;
    const std::string text = tradeCard.MemberText("tradeDate");
    if (text.size() < 10 || text[4] != '-' || text[7] != '-')
        return std::nullopt;
    for (const int k : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[static_cast<std::size_t>(k)] < '0' || text[static_cast<std::size_t>(k)] > '9')
            return std::nullopt;
    }
    return text.substr(0, 10);
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
                      "first_seen, first_run, last_seen, last_run, trade_date_iso) "
                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, "
                      "?15, ?16, ?15, ?16, coalesce(?18, substr(?13, 1, 10)))"),
          updateTrade(db,
                      "UPDATE trades SET register_url = ?2, trade_type = ?3, region = ?4, "
                      "region_code = ?5, number = ?6, date_publish = ?7, date_publish_iso = ?8, "
                      "debtor_name = ?9, debtor_inn = ?10, court_name = ?11, results_date = ?12, "
                      "results_date_iso = ?13, decimal_separator = ?14, last_seen = ?15, "
                      "last_run = ?16, last_changed = coalesce(?17, last_changed), "
                      "trade_date_iso = coalesce(?18, trade_date_iso, substr(?13, 1, 10)) "
                      "WHERE id = ?1"),
          findLots(db,
                   "SELECT id, property_type, description, start_price, final_price, "
                   "winner_name, winner_inn FROM lots WHERE id BETWEEN ?1 * " +
                       std::to_string(kLotsPerTrade) + " AND ?1 * " +
                       std::to_string(kLotsPerTrade) + " + " + std::to_string(kLotsPerTrade - 1) +
                       " ORDER BY id"),
          insertLot(db,
                    "INSERT INTO lots(id, trade_id, position, property_type, description, "
                    "start_price, start_price_value, final_price, final_price_value, "
                    "winner_name, winner_inn, first_seen, last_changed) "
                    "VALUES (?1 * " +
                        std::to_string(kLotsPerTrade) +
                        " + ?2, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)"),
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
          wordsUpTo(db, "SELECT up_to FROM words_indexed"),
          rememberRegion(db,
                         "INSERT INTO regions(code, name) VALUES (?, ?) "
                         "ON CONFLICT(code) DO UPDATE SET name = excluded.name") {}

    Statement insertRun, beginRun, countRun, endRun;
    Statement findTrade, insertTrade, updateTrade;
    Statement findLots, insertLot, updateLot, deleteLot;
    Statement indexWords, forgetWords;
    Statement insertChange;
    Statement wordsUpTo;
    Statement rememberRegion;
    // Where findTrade and findLots give each field.
    std::array<int, kTradeFields.size()> tradeColumns = ColumnsOf(findTrade, kTradeFields);
    std::array<int, kLotFields.size()> lotColumns = ColumnsOf(findLots, kLotFields);
    int tradeId = findTrade.ColumnIndex("id");
    int tradeSeparator = findTrade.ColumnIndex("decimal_separator");
    int tradeDebtor = findTrade.ColumnIndex("debtor_name");
    int lotId = findLots.ColumnIndex("id");
};

fs::path TradeStore::DefaultPath() {
    return util::DataDirectory() / "korvalot.sqlite";
}

TradeStore::TradeStore(fs::path path, StoreOptions options)
    : path_(std::move(path)), options_(std::move(options)) {
    std::error_code error;
    const bool existed = fs::exists(path_, error) || fs::is_symlink(path_, error);
    CheckWritable(path_);
    if (!existed)
        CreateStore(path_);
    try {
        Open();
    } catch (...) {
        // Never removed: another process may have opened the store meanwhile.
        statements_.reset();
        db_.reset();
        throw;
    }
}

TradeStore::~TradeStore() {
    try {
        // Trades still waiting for another process's lock are kept too: skip.txt does not name
        // them, so the next run stores them again at worst.
        StoreBacklog();
        EndRun();
    } catch (...) {
        // The run's end time is a note; the trades are stored already.
    }
    statements_.reset();
}

void TradeStore::Open() {
    db_ = std::make_unique<Database>(path_, Database::Mode::ReadWriteCreate);
    db_->SetBusyTimeout(options_.busyTimeout);
    const std::int64_t version = CheckStore(*db_, true);
    if (version > 0)
        CheckWhole(*db_);
    BringUpToDate(*db_, version);
    // A trade's own commit is safe from a crash of the program at once, and reaches the disk
    // with the next synced commit (SyncCommits), before skip.txt may name it: a sync of the log
    // for every trade would cost more than the card.
    db_->Execute("PRAGMA synchronous = NORMAL");
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
    std::optional<Transaction> transaction;
    if (!inTransaction_)
        transaction.emplace(*db_);
    for (const std::string& item : items) {
        crawl::RegionItem region = crawl::ParseRegionItem(item);
        if (region.code.empty())
            continue;
        region.code = crawl::NormalRegionCode(region.code);
        statements_->rememberRegion.Bind(1, region.code).Bind(2, region.name).Run();
        regionCodes_[region.name] = region.code;
    }
    if (transaction)
        transaction->Commit();
}

std::vector<crawl::TradeToRefresh> TradeStore::OpenTrades(const TradeFilter& filter,
                                                          std::chrono::year_month_day today,
                                                          int recentDays) {
    const SqlCondition condition = TradeConditions(filter);
    Statement query(
        *db_, "SELECT t.guid, t.region FROM trades t WHERE " + condition.sql +
                  " AND (t.results_date_iso IS NULL OR t.results_date_iso >= ?)"
                  " AND EXISTS (SELECT 1 FROM lots l WHERE l.id BETWEEN t.id * " +
                  std::to_string(kLotsPerTrade) + " AND t.id * " + std::to_string(kLotsPerTrade) +
                  " + " + std::to_string(kLotsPerTrade - 1) +
                  " AND"
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
    Transaction transaction(*db_);
    inTransaction_ = true;
    try {
        RememberRegions(run.regionItems);
        std::error_code error;
        const std::filesystem::path file = std::filesystem::absolute(run.resultsFile, error);
        statements_->beginRun.Bind(1, (error ? run.resultsFile : file).string())
            .Bind(2, run.registerBaseUrl)
            .Bind(3, run.decimalSeparator)
            .Bind(4, runId_)
            .Run();
        transaction.Commit();
    } catch (...) {
        inTransaction_ = false;
        throw;
    }
    inTransaction_ = false;
}

bool TradeStore::TradeWritten(const std::string& guid, const std::string& regionName,
                              const json::JsonValue& tradeCard,
                              const std::vector<crawl::ResultRow>& rows) {
    // Trades keep their order: one that waits for the lock holds up those after it.
    if (!StoreBacklog() || !StoreOne(guid, regionName, tradeCard, rows)) {
        backlog_.push_back({guid, regionName, tradeCard, rows});
        return false;
    }
    ++unsynced_;
    if (unsynced_ < kSyncTrades && std::chrono::steady_clock::now() - lastSync_ < kSyncInterval)
        return false;
    return SyncCommits();
}

std::optional<Transaction> TradeStore::BeginUnlessLocked() {
    try {
        return std::optional<Transaction>(std::in_place, *db_);
    } catch (const StoreError& e) {
        // Another process writes the store: not a loss, what was to be written waits.
        if (e.What() == Problem::Locked)
            return std::nullopt;
        throw;
    }
}

void TradeStore::CountRun(const StoreCounts& counts) {
    statements_->countRun.Bind(1, counts.tradesStored)
        .Bind(2, counts.tradesNew)
        .Bind(3, counts.tradesChanged)
        .Bind(4, counts.valuesChanged)
        .Bind(5, runId_)
        .Run();
}

bool TradeStore::SyncCommits() {
    if (unsynced_ == 0)
        return true;
    // One commit with the log synced takes every commit before it to the disk.
    struct Synced {
        explicit Synced(Database& db) : db(db) { db.Execute("PRAGMA synchronous = FULL"); }
        ~Synced() {
            try {
                db.Execute("PRAGMA synchronous = NORMAL");
            } catch (const StoreError&) {
                // A setting of the connection: it fails only with the connection itself.
            }
        }
        Database& db;
    } synced(*db_);
    std::optional<Transaction> transaction = BeginUnlessLocked();
    if (!transaction)
        return false;  // the next trade tries again
    CountRun(committed_);
    transaction->Commit();
    unsynced_ = 0;
    lastSync_ = std::chrono::steady_clock::now();
    return true;
}

bool TradeStore::StoreOne(const std::string& guid, const std::string& regionName,
                          const json::JsonValue& tradeCard,
                          const std::vector<crawl::ResultRow>& rows) {
    // Every trade in a transaction of its own, committed at once: the store's write lock is
    // never held while the run waits for the register, and a crash loses no trade the results
    // file holds whole but the one being written.
    std::optional<Transaction> transaction = BeginUnlessLocked();
    if (!transaction)
        return false;  // the trade waits for its turn
    inTransaction_ = true;
    try {
        Statement& upTo = statements_->wordsUpTo;
        wordsUpTo_ = upTo.Step() ? upTo.Int(0) : 0;
        upTo.Reset();
        Store(guid, regionName, tradeCard, rows);
        CountRun(counts_);
        transaction->Commit();
    } catch (...) {
        // Rolled back whole: the store never holds half a trade.
        inTransaction_ = false;
        transaction.reset();
        counts_ = committed_;
        throw;
    }
    inTransaction_ = false;
    committed_ = counts_;
    return true;
}

bool TradeStore::StoreBacklog() {
    while (!backlog_.empty()) {
        const Waiting& trade = backlog_.front();
        if (!StoreOne(trade.guid, trade.regionName, trade.tradeCard, trade.rows))
            return false;
        backlog_.pop_front();
    }
    return true;
}

void TradeStore::Store(const std::string& guid, const std::string& regionName,
                       const json::JsonValue& tradeCard,
                       const std::vector<crawl::ResultRow>& rows) {
    const std::string tradeType = tradeCard.IsNothing() ? "" : tradeCard.MemberText("tradeType");
    tradeDay_ = TradeDay(tradeCard);
    if (!rows.empty()) {
        std::vector<FileTexts> lots;
        lots.reserve(rows.size());
        for (const ResultRow& row : rows)
            lots.emplace_back(row);
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
    StoreTrade(guid, regionName, tradeType, FileTexts(trade), {});
}

void TradeStore::StoreTrade(const std::string& guid, const std::string& regionName,
                            const std::string& tradeType, const FileTexts& values,
                            const std::vector<FileTexts>& lots) {
    Statements& s = *statements_;
    const std::string now = Now();
    const std::string& separator = run_.decimalSeparator;
    const auto code = regionCodes_.find(regionName);
    const std::optional<std::string> regionCode =
        code != regionCodes_.end() ? std::optional<std::string>(code->second) : std::nullopt;
    StoreCounts counts = counts_;
    std::int64_t changes = 0;

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
            .BindStatic(4, values[kRegion])
            .Bind(5, regionCode)
            .BindStatic(6, values[kNumber])
            .BindStatic(7, values[kDatePublish])
            .Bind(8, IsoDate(values[kDatePublish]))
            .BindStatic(9, values[kDebtorName])
            .BindStatic(10, values[kDebtorInn])
            .BindStatic(11, values[kCourtName])
            .BindStatic(12, values[kResultsDate])
            .Bind(13, IsoDate(values[kResultsDate]))
            .Bind(14, separator)
            .Bind(15, now)
            .Bind(16, runId_)
            .Bind(18, tradeDay_);
    };

    s.findTrade.Bind(1, guid);
    std::int64_t tradeId = 0;
    std::optional<std::string> oldDebtor;
    std::string oldSeparator = separator;
    bool tradeChanged = false;
    if (s.findTrade.Step()) {
        tradeId = s.findTrade.Int(s.tradeId);
        for (std::size_t k = 0; k < kTradeFields.size(); ++k) {
            const std::string_view old = s.findTrade.Text(s.tradeColumns[k]);
            const std::string& fresh = values[kTradeFields[k].column];
            if (old != fresh) {
                recordChange(tradeId, std::nullopt, kTradeFields[k].name, old, fresh);
                tradeChanged = true;
            }
        }
        oldDebtor = std::string(s.findTrade.Text(s.tradeDebtor));
        oldSeparator = std::string(s.findTrade.Text(s.tradeSeparator));
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
    if (oldDebtor) {
        s.findLots.Bind(1, tradeId);
        while (s.findLots.Step()) {
            OldLot lot{s.findLots.Int(s.lotId), {}};
            for (std::size_t k = 0; k < kLotFields.size(); ++k)
                lot.texts[k] = s.findLots.Text(s.lotColumns[k]);
            oldLots.push_back(std::move(lot));
        }
        s.findLots.Reset();
    }
    // The words of a trade the index holds follow its texts at once; those of later trades
    // wait for the first query for words.
    const bool indexed = tradeId <= wordsUpTo_;
    if (lots.size() > static_cast<std::size_t>(kLotsPerTrade))
        throw StoreError(Problem::Other, "хранилище " + path_.string() + ": у торгов " + guid +
                                             " больше " + std::to_string(kLotsPerTrade) + " лотов");

    const std::size_t newCount = lots.size();
    bool lotsChanged = false;
    for (std::size_t position = 0; position < newCount; ++position) {
        const FileTexts& row = lots[position];
        const auto startValue = PriceValue(row[kStartPrice], separator);
        const auto finalValue = PriceValue(row[kFinalPrice], separator);
        if (position >= oldLots.size()) {
            s.insertLot.Bind(1, tradeId)
                .Bind(2, static_cast<std::int64_t>(position))
                .BindStatic(3, row[kPropertyType])
                .BindStatic(4, row[kDescription])
                .BindStatic(5, row[kStartPrice])
                .Bind(6, startValue)
                .BindStatic(7, row[kFinalPrice])
                .Bind(8, finalValue)
                .BindStatic(9, row[kWinnerName])
                .BindStatic(10, row[kWinnerInn])
                .Bind(11, now);
            // A lot that appears in a stored trade is a change of that trade.
            if (oldDebtor)
                s.insertLot.Bind(12, now);
            s.insertLot.Run();
            if (indexed) {
                s.indexWords.Bind(1, tradeId * kLotsPerTrade + static_cast<std::int64_t>(position))
                    .Bind(2, FoldYo(row[kDescription]))
                    .Bind(3, FoldYo(values[kDebtorName]))
                    .Run();
            }
            if (oldDebtor) {
                recordChange(tradeId, static_cast<std::int64_t>(position), kLotField, std::nullopt,
                             row[kDescription]);
                lotsChanged = true;
            }
            continue;
        }
        const OldLot& old = oldLots[position];
        bool differs = false;
        bool changed = false;
        for (std::size_t k = 0; k < kLotFields.size(); ++k) {
            const std::string& fresh = row[kLotFields[k].column];
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
                .BindStatic(2, row[kPropertyType])
                .BindStatic(3, row[kDescription])
                .BindStatic(4, row[kStartPrice])
                .Bind(5, startValue)
                .BindStatic(6, row[kFinalPrice])
                .Bind(7, finalValue)
                .BindStatic(8, row[kWinnerName])
                .BindStatic(9, row[kWinnerInn]);
            if (changed)
                s.updateLot.Bind(10, now);
            s.updateLot.Run();
        }
        lotsChanged = lotsChanged || changed;
        // The index forgets a text by the words it was given.
        if (indexed && (old.texts[1] != row[kDescription] || *oldDebtor != values[kDebtorName])) {
            s.forgetWords.Bind(1, old.id)
                .Bind(2, FoldYo(old.texts[1]))
                .Bind(3, FoldYo(*oldDebtor))
                .Run();
            s.indexWords.Bind(1, old.id)
                .Bind(2, FoldYo(row[kDescription]))
                .Bind(3, FoldYo(values[kDebtorName]))
                .Run();
        }
    }
    for (std::size_t position = newCount; position < oldLots.size(); ++position) {
        const OldLot& old = oldLots[position];
        if (indexed) {
            s.forgetWords.Bind(1, old.id)
                .Bind(2, FoldYo(old.texts[1]))
                .Bind(3, FoldYo(*oldDebtor))
                .Run();
        }
        s.deleteLot.Bind(1, old.id).Run();
        recordChange(tradeId, static_cast<std::int64_t>(position), kLotField, old.texts[1],
                     std::nullopt);
        lotsChanged = true;
    }

    ++counts.tradesStored;
    if (tradeChanged || lotsChanged)
        ++counts.tradesChanged;
    counts.valuesChanged += changes;
    counts_ = counts;
}

bool TradeStore::CommitBatch() {
    return StoreBacklog();
}

std::string TradeStore::Finish(crawl::RunSummary& summary) {
    // Another process's lock is waited out for a while yet: the trades held up are kept or
    // the store is lost for them.
    const auto deadline = std::chrono::steady_clock::now() + options_.finishWait;
    while (!StoreBacklog()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw StoreError(Problem::Locked,
                             "хранилище " + path_.string() +
                                 ": занято другим процессом; не записано торгов: " +
                                 std::to_string(backlog_.size()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    while (!SyncCommits()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw StoreError(Problem::Locked, "хранилище " + path_.string() +
                                                  ": занято другим процессом; не сохранены на "
                                                  "диске торги этого запуска");
        }
    }
    EndRun();
    // The words of this run's trades are looked for without writing to the store: the words
    // index is brought up to date here. Its failure loses nothing: words of trades it does not
    // hold are still found, only more slowly.
    try {
        IndexNewWords(*db_);
    } catch (const StoreError&) {
    }
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

void TradeStore::AddKept(crawl::RunSummary& summary) const noexcept {
    summary.tradesStored += committed_.tradesStored;
    summary.tradesChanged += committed_.tradesChanged;
    try {
        summary.storeFile = path_;
    } catch (...) {
        // Without memory for the name the loss is still reported, only not where.
    }
}

std::optional<crawl::TradeSinkRunKey> TradeStore::RunKey() const {
    return crawl::TradeSinkRunKey{path_, runId_};
}

std::vector<std::string> TradeStore::KeptSince(std::int64_t runId,
                                               const std::vector<std::string>& guids) {
    Statement lastRun(*db_, "SELECT last_run FROM trades WHERE guid = ?");
    std::vector<std::string> kept;
    for (const std::string& guid : guids) {
        lastRun.Reset();
        lastRun.Bind(1, std::string_view(guid));
        if (lastRun.Step() && lastRun.Int(0) >= runId)
            kept.push_back(guid);
    }
    return kept;
}

void TradeStore::EndRun() {
    if (ended_ || !statements_ || !backlog_.empty())
        return;
    ended_ = true;
    statements_->endRun.Bind(1, Now()).Bind(2, runId_).Run();
}

std::unique_ptr<Database> OpenStoreForReading(const fs::path& path,
                                              std::chrono::milliseconds busyTimeout) {
    const std::string where = "хранилище " + path.string() + ": ";
    std::error_code error;
    const auto status = fs::status(path, error);
    if (!fs::exists(status))
        throw StoreError(Problem::CannotOpen, where + "файла нет");
    if (fs::is_directory(status))
        throw StoreError(Problem::CannotOpen, where + "это папка");
    // SQLite would take an empty file for a new database and write a schema into it.
    if (fs::is_regular_file(status) && fs::file_size(path, error) == 0 && !error)
        throw StoreError(Problem::NotADatabase, where + "файл пуст, это не хранилище торгов");
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    // Whether to ask for write access only: nothing is written either way.
    const bool mayWrite = ::access(path.c_str(), W_OK) == 0 && ::access(folder.c_str(), W_OK) == 0;
    const bool harvestWrites = fs::exists(fs::path(path.string() + "-wal"), error);
    const Database::Mode mode = mayWrite        ? Database::Mode::ReadWrite
                                : harvestWrites ? Database::Mode::ReadOnly
                                                : Database::Mode::Immutable;
    auto db = std::make_unique<Database>(path, mode);
    db->SetBusyTimeout(busyTimeout);
    const std::int64_t version = CheckStore(*db, false);
    if (version == 0)
        throw StoreError(Problem::NotADatabase,
                         where + "это не хранилище торгов (в нём нет таблиц)");
    if (version < kSchemaVersion) {
        if (!mayWrite) {
            throw StoreError(Problem::CannotWrite,
                             where + "записано прежней версией программы (версия схемы " +
                                 std::to_string(version) +
                                 "); его обновит первый запуск korvalot-harvest с этим "
                                 "хранилищем от пользователя, которому можно его записывать");
        }
        BringUpToDate(*db, version);
    }
    return db;
}

void ForEachStoredRow(Database& db, const TradeFilter& filter,
                      const std::function<void(const StoredRow&)>& visit) {
    const SqlCondition condition = RowConditions(filter);
    Statement query(db, std::string("SELECT ") + kRowTextColumns +
                            ", t.register_url AS register_url, "
                            "t.decimal_separator AS decimal_separator, t.trade_type AS trade_type, "
                            "l.first_seen AS first_seen, t.last_changed AS trade_changed, "
                            "l.last_changed AS lot_changed "
                            "FROM lots l JOIN trades t ON t.id = l.trade_id WHERE " +
                            condition.sql + " ORDER BY l.id");
    int index = 1;
    for (const auto& parameter : condition.parameters)
        std::visit([&](const auto& value) { query.Bind(index++, value); }, parameter);
    const RowTextColumns texts(query);
    const int registerUrl = query.ColumnIndex("register_url");
    const int separator = query.ColumnIndex("decimal_separator");
    const int tradeType = query.ColumnIndex("trade_type");
    const int firstSeen = query.ColumnIndex("first_seen");
    const int tradeChanged = query.ColumnIndex("trade_changed");
    const int lotChanged = query.ColumnIndex("lot_changed");
    StoredRow out;
    ResultRow& row = out.row;
    while (query.Step()) {
        texts.Read(query, row);
        out.registerUrl = query.Text(registerUrl);
        out.decimalSeparator = query.Text(separator);
        out.tradeType = query.Text(tradeType);
        out.firstSeen = query.Text(firstSeen);
        out.lastChanged = std::max(query.Text(tradeChanged), query.Text(lotChanged));
        visit(out);
    }
}

}  // namespace korvalot::store
