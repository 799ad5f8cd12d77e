#pragma once

#include <cstdint>

#include "store/Database.h"

// The store's tables and how a store of an earlier version is brought up to date. The version
// is the database's user_version: 0 for a new file.
namespace korvalot::store {

inline constexpr std::int64_t kSchemaVersion = 4;

// Marks a database as a store of this program ("KVLT"), so that another program's SQLite file
// is never taken for one and written into.
inline constexpr std::int64_t kApplicationId = 0x4B564C54;

// A lot's id is its trade's id times this, plus the lot's position in its trade.
inline constexpr std::int64_t kLotsPerTrade = std::int64_t{1} << 20;

// The version the file says it has. Raises StoreError (not a database, locked, ...).
std::int64_t SchemaVersion(Database& db);

// Brings a store of an earlier version (0: empty) to `target` in one transaction: each step
// from version k to k + 1 in turn. The caller has checked that the store is not newer.
void Migrate(Database& db, std::int64_t target = kSchemaVersion);

// A store that an earlier version of the program left marked with its version but without its
// application id (it set the id after the migration's transaction, and a crash or a second
// process could come between): our tables and nothing else. Mark gives it the id.
bool LeftWithoutMark(Database& db);
void Mark(Database& db);

// Adds the lots stored since the last query for words to the words index, in one transaction.
void IndexNewWords(Database& db);

}  // namespace korvalot::store
