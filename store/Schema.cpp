#include "store/Schema.h"

#include <array>
#include <string>
#include <string_view>

namespace korvalot::store {
namespace {

// Version 1: the rows of the results files, their runs and the changes of their values.
// Texts are exactly those of the results file; *_value and *_iso beside them sort and filter.
// Exports read trades in the order they were stored and filter as they go, so there is no index
// on the filtered columns: one would only tempt SQLite to sort the rows it selects. A lot's id is
// its trade's id times kLotsPerTrade plus its position, so that the lots of a trade lie together
// in lot order without an index of their own.
constexpr std::string_view kVersion1 = R"sql(
CREATE TABLE runs (
    id INTEGER PRIMARY KEY,
    program TEXT NOT NULL,
    kind TEXT NOT NULL,
    started_at TEXT NOT NULL,
    ended_at TEXT,
    results_file TEXT,
    register_url TEXT,
    decimal_separator TEXT,
    trades_stored INTEGER NOT NULL DEFAULT 0,
    trades_new INTEGER NOT NULL DEFAULT 0,
    trades_changed INTEGER NOT NULL DEFAULT 0,
    values_changed INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE regions (
    code TEXT PRIMARY KEY,
    name TEXT NOT NULL
);
CREATE TABLE trades (
    id INTEGER PRIMARY KEY,
    guid TEXT NOT NULL UNIQUE COLLATE NOCASE,
    register_url TEXT NOT NULL,
    trade_type TEXT NOT NULL,
    region TEXT NOT NULL,
    region_code TEXT,
    number TEXT NOT NULL,
    date_publish TEXT NOT NULL,
    date_publish_iso TEXT,
    debtor_name TEXT NOT NULL,
    debtor_inn TEXT NOT NULL,
    court_name TEXT NOT NULL,
    results_date TEXT NOT NULL,
    results_date_iso TEXT,
    decimal_separator TEXT NOT NULL,
    first_seen TEXT NOT NULL,
    first_run INTEGER NOT NULL REFERENCES runs(id),
    last_seen TEXT NOT NULL,
    last_run INTEGER NOT NULL REFERENCES runs(id),
    last_changed TEXT
);
CREATE TABLE lots (
    id INTEGER PRIMARY KEY,
    trade_id INTEGER NOT NULL REFERENCES trades(id),
    position INTEGER NOT NULL,
    property_type TEXT NOT NULL,
    description TEXT NOT NULL,
    start_price TEXT NOT NULL,
    start_price_value REAL,
    final_price TEXT NOT NULL,
    final_price_value REAL,
    winner_name TEXT NOT NULL,
    winner_inn TEXT NOT NULL,
    first_seen TEXT NOT NULL,
    last_changed TEXT
);
CREATE TABLE changes (
    id INTEGER PRIMARY KEY,
    trade_id INTEGER NOT NULL REFERENCES trades(id),
    lot_position INTEGER,
    field TEXT NOT NULL,
    old_value TEXT,
    new_value TEXT,
    run_id INTEGER NOT NULL REFERENCES runs(id),
    changed_at TEXT NOT NULL
);
CREATE INDEX changes_by_trade ON changes(trade_id);
)sql";

// Version 2: the words of lot descriptions and debtor names. The index keeps no copy of the
// texts (they are read from lot_texts); the unicode61 tokenizer folds letter case, Cyrillic
// included. It holds the lots of the trades up to words_indexed.up_to (a trade id): a harvest
// does not spend its time on the words of new trades, which nobody may look for; the first query
// for words after it indexes them (IndexNewWords). A store of version 1 gets the index built
// from its rows.
constexpr std::string_view kVersion2 = R"sql(
CREATE VIEW lot_texts AS
    SELECT lots.id AS id, lots.description AS description, trades.debtor_name AS debtor_name
    FROM lots JOIN trades ON trades.id = lots.trade_id;
CREATE VIRTUAL TABLE lot_words USING fts5(
    description, debtor_name, content = 'lot_texts', content_rowid = 'id',
    tokenize = 'unicode61');
INSERT INTO lot_words(lot_words) VALUES ('rebuild');
CREATE TABLE words_indexed (up_to INTEGER NOT NULL);
INSERT INTO words_indexed SELECT coalesce(max(id), 0) FROM trades;
)sql";

// Version 3: the trade date the register searches by (the card's "tradeDate"), so that the
// same days select the same trades in a harvest, a refresh and an export; a store of an earlier
// version takes the results date, which the register gives as the start of the trade. The words
// index folds ё into е (the tokenizer folds letter case only): the view it reads its texts from
// folds them, and so do the statements that add and remove entries and every query.
constexpr std::string_view kVersion3 = R"sql(
ALTER TABLE trades ADD COLUMN trade_date_iso TEXT;
UPDATE trades SET trade_date_iso = substr(results_date_iso, 1, 10);
DROP VIEW lot_texts;
CREATE VIEW lot_texts AS
    SELECT lots.id AS id,
           replace(replace(lots.description, 'ё', 'е'), 'Ё', 'Е') AS description,
           replace(replace(trades.debtor_name, 'ё', 'е'), 'Ё', 'Е') AS debtor_name
    FROM lots JOIN trades ON trades.id = lots.trade_id;
INSERT INTO lot_words(lot_words) VALUES ('rebuild');
UPDATE words_indexed SET up_to = (SELECT coalesce(max(id), 0) FROM trades);
)sql";

// Version 4: the watches, saved searches that tell what is new once. A watch's filter is kept
// as a JSON object (the filter grows members; a column each would need a step each). Its news
// lie between two cuts through the store's history: the last trade id and the last change id a
// reader saw at once, since both only grow in the order trades are committed. Each channel of a
// watch keeps the cut up to which it took the news; a channel that failed keeps its old cut and
// takes everything after it the next time.
constexpr std::string_view kVersion4 = R"sql(
CREATE TABLE watches (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    filter TEXT NOT NULL,
    price_below REAL,
    price_drop_percent REAL,
    channels TEXT NOT NULL DEFAULT '',
    start_trade INTEGER NOT NULL,
    start_change INTEGER NOT NULL,
    created_at TEXT NOT NULL,
    changed_at TEXT
);
CREATE TABLE watch_deliveries (
    watch_id INTEGER NOT NULL REFERENCES watches(id) ON DELETE CASCADE,
    channel TEXT NOT NULL,
    up_to_trade INTEGER NOT NULL,
    up_to_change INTEGER NOT NULL,
    delivered_at TEXT,
    PRIMARY KEY (watch_id, channel)
);
)sql";

constexpr std::array<std::string_view, kSchemaVersion> kSteps = {kVersion1, kVersion2, kVersion3,
                                                                 kVersion4};

// The tables, views and indexes a store of the last version holds, and nothing else.
bool OnlyOurTables(Database& db) {
    Statement names(db, "SELECT name FROM sqlite_schema WHERE name NOT LIKE 'sqlite_%'");
    static constexpr std::array<std::string_view, 16> kOurs = {
        "runs",          "regions",           "trades",
        "lots",          "changes",           "changes_by_trade",
        "lot_texts",     "lot_words",         "lot_words_data",
        "lot_words_idx", "lot_words_docsize", "lot_words_config",
        "words_indexed", "lot_words_content", "watches",
        "watch_deliveries"};
    while (names.Step()) {
        bool ours = false;
        for (const std::string_view name : kOurs)
            ours = ours || names.Text(0) == name;
        if (!ours)
            return false;
    }
    return true;
}

}  // namespace

std::int64_t SchemaVersion(Database& db) {
    return db.QueryInt("PRAGMA user_version");
}

void Migrate(Database& db, std::int64_t target) {
    Transaction transaction(db);
    // Another process may have brought it up to date while this one waited for the lock.
    std::int64_t version = SchemaVersion(db);
    if (version >= target)
        return;
    for (; version < target; ++version)
        db.Execute(kSteps[static_cast<std::size_t>(version)]);
    // The mark and the version in the one transaction: a file is never left with our tables
    // and another program's (or no) mark.
    db.Execute("PRAGMA user_version = " + std::to_string(target));
    db.Execute("PRAGMA application_id = " + std::to_string(kApplicationId));
    transaction.Commit();
}

bool LeftWithoutMark(Database& db) {
    return SchemaVersion(db) > 0 && db.QueryInt("PRAGMA application_id") == 0 && OnlyOurTables(db);
}

void Mark(Database& db) {
    Transaction transaction(db);
    db.Execute("PRAGMA application_id = " + std::to_string(kApplicationId));
    transaction.Commit();
}

void IndexNewWords(Database& db) {
    Transaction transaction(db);
    // The view folds ё as the index wants it.
    const std::int64_t upTo = db.QueryInt("SELECT up_to FROM words_indexed");
    const std::int64_t last = db.QueryInt("SELECT coalesce(max(id), 0) FROM trades");
    if (last <= upTo)
        return;
    Statement index(db,
                    "INSERT INTO lot_words(rowid, description, debtor_name) "
                    "SELECT id, description, debtor_name FROM lot_texts WHERE id >= ?");
    index.Bind(1, (upTo + 1) * kLotsPerTrade).Run();
    Statement mark(db, "UPDATE words_indexed SET up_to = ?");
    mark.Bind(1, last).Run();
    transaction.Commit();
}

}  // namespace korvalot::store
