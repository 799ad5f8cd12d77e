#include "store/Schema.h"

#include <array>
#include <string>
#include <string_view>

namespace korvalot::store {
namespace {

// Version 1: the rows of the results files, their runs and the changes of their values.
// Texts are exactly those of the results file; *_value and *_iso beside them sort and filter.
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
CREATE INDEX trades_by_date_publish ON trades(date_publish_iso);
CREATE INDEX trades_by_results_date ON trades(results_date_iso);
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
    last_changed TEXT,
    UNIQUE (trade_id, position)
);
CREATE INDEX lots_by_start_price ON lots(start_price_value);
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
CREATE INDEX changes_by_time ON changes(changed_at);
)sql";

// Version 2: the words of lot descriptions and debtor names. The index keeps no copy of the
// texts (they are read from lot_texts); the unicode61 tokenizer folds letter case, Cyrillic
// included. A store of version 1 gets the index built from its rows.
constexpr std::string_view kVersion2 = R"sql(
CREATE VIEW lot_texts AS
    SELECT lots.id AS id, lots.description AS description, trades.debtor_name AS debtor_name
    FROM lots JOIN trades ON trades.id = lots.trade_id;
CREATE VIRTUAL TABLE lot_words USING fts5(
    description, debtor_name, content = 'lot_texts', content_rowid = 'id',
    tokenize = 'unicode61');
INSERT INTO lot_words(lot_words) VALUES ('rebuild');
)sql";

constexpr std::array<std::string_view, kSchemaVersion> kSteps = {kVersion1, kVersion2};

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
    db.Execute("PRAGMA user_version = " + std::to_string(target));
    transaction.Commit();
}

}  // namespace korvalot::store
