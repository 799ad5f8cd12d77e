#pragma once

#include <cstdint>

#include "store/Database.h"

// The store's tables and how a store of an earlier version is brought up to date. The version
// is the database's user_version: 0 for a new file.
namespace korvalot::store {

inline constexpr std::int64_t kSchemaVersion = 2;

// A lot's id is its trade's id times this, plus the lot's position in its trade.
inline constexpr std::int64_t kLotsPerTrade = std::int64_t{1} << 20;

// The version the file says it has. Raises StoreError (not a database, locked, ...).
std::int64_t SchemaVersion(Database& db);

// Brings a store of an earlier version (0: empty) to `target` in one transaction: each step
// from version k to k + 1 in turn. The caller has checked that the store is not newer.
void Migrate(Database& db, std::int64_t target = kSchemaVersion);

// Adds the lots stored since the last query for words to the words index, in one transaction.
void IndexNewWords(Database& db);

}  // namespace korvalot::store
