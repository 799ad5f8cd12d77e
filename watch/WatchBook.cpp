#include "watch/WatchBook.h"

#include <algorithm>

#include "store/StoredValues.h"
#include "watch/WatchError.h"

namespace korvalot::watch {
namespace {

constexpr const char* kColumns =
    "SELECT id, name, filter, price_below, price_drop_percent, channels, start_trade, "
    "start_change, created_at FROM watches";

Watch Read(store::Statement& row) {
    Watch watch;
    watch.id = row.Int(row.ColumnIndex("id"));
    watch.name = row.Text(row.ColumnIndex("name"));
    watch.filter = FilterFromJson(std::string(row.Text(row.ColumnIndex("filter"))));
    const int below = row.ColumnIndex("price_below");
    if (!row.IsNull(below))
        watch.priceBelow = row.Real(below);
    const int drop = row.ColumnIndex("price_drop_percent");
    if (!row.IsNull(drop))
        watch.dropPercent = row.Real(drop);
    watch.channels = SplitNames(std::string(row.Text(row.ColumnIndex("channels"))));
    watch.start = {row.Int(row.ColumnIndex("start_trade")),
                   row.Int(row.ColumnIndex("start_change"))};
    watch.createdAt = row.Text(row.ColumnIndex("created_at"));
    return watch;
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

WatchBook::WatchBook(store::Database& db,
                     std::function<std::chrono::system_clock::time_point()> clock)
    : db_(db), clock_(std::move(clock)) {}

std::string WatchBook::Timestamp() const {
    return store::IsoTimestamp(clock_ ? clock_() : std::chrono::system_clock::now());
}

Cut WatchBook::Now() {
    return {db_.QueryInt("SELECT coalesce(max(id), 0) FROM trades"),
            db_.QueryInt("SELECT coalesce(max(id), 0) FROM changes")};
}

std::vector<Watch> WatchBook::List() {
    store::Statement rows(db_, std::string(kColumns) + " ORDER BY name");
    std::vector<Watch> watches;
    while (rows.Step())
        watches.push_back(Read(rows));
    return watches;
}

std::optional<Watch> WatchBook::Find(const std::string& name) {
    store::Statement row(db_, std::string(kColumns) + " WHERE name = ?");
    row.Bind(1, name);
    if (!row.Step())
        return std::nullopt;
    return Read(row);
}

Watch WatchBook::Add(Watch watch, bool fromBeginning) {
    store::Transaction transaction(db_);
    store::Statement taken(db_, "SELECT 1 FROM watches WHERE name = ?");
    taken.Bind(1, watch.name);
    if (taken.Step())
        throw WatchError("наблюдение \"" + watch.name + "\" уже есть");
    watch.start = fromBeginning ? Cut{} : Now();
    watch.createdAt = Timestamp();
    store::Statement insert(db_,
                            "INSERT INTO watches(name, filter, price_below, price_drop_percent, "
                            "channels, start_trade, start_change, created_at) "
                            "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    insert.Bind(1, watch.name)
        .Bind(2, FilterJson(watch.filter))
        .Bind(3, watch.priceBelow)
        .Bind(4, watch.dropPercent)
        .Bind(5, JoinedNames(watch.channels))
        .Bind(6, watch.start.trade)
        .Bind(7, watch.start.change)
        .Bind(8, watch.createdAt)
        .Run();
    watch.id = db_.LastInsertId();
    for (const std::string& channel : watch.channels)
        MarkDelivered(watch, channel, watch.start);
    transaction.Commit();
    return watch;
}

void WatchBook::Change(const Watch& watch) {
    store::Transaction transaction(db_);
    std::vector<std::string> before;
    {
        store::Statement old(db_, "SELECT channels FROM watches WHERE id = ?");
        old.Bind(1, watch.id);
        if (!old.Step())
            throw WatchError("наблюдения \"" + watch.name + "\" нет");
        before = SplitNames(std::string(old.Text(0)));
    }
    store::Statement taken(db_, "SELECT 1 FROM watches WHERE name = ? AND id <> ?");
    taken.Bind(1, watch.name).Bind(2, watch.id);
    if (taken.Step())
        throw WatchError("наблюдение \"" + watch.name + "\" уже есть");
    store::Statement update(db_,
                            "UPDATE watches SET name = ?, filter = ?, price_below = ?, "
                            "price_drop_percent = ?, channels = ?, changed_at = ? WHERE id = ?");
    update.Bind(1, watch.name)
        .Bind(2, FilterJson(watch.filter))
        .Bind(3, watch.priceBelow)
        .Bind(4, watch.dropPercent)
        .Bind(5, JoinedNames(watch.channels))
        .Bind(6, Timestamp())
        .Bind(7, watch.id)
        .Run();
    // A channel added takes what comes from now on, not the news the others took before it.
    const Cut now = Now();
    for (const std::string& channel : watch.channels) {
        if (!Has(before, channel))
            MarkDelivered(watch, channel, now);
    }
    store::Statement forget(db_, "DELETE FROM watch_deliveries WHERE watch_id = ? AND channel = ?");
    for (const std::string& channel : before) {
        if (!Has(watch.channels, channel)) {
            forget.Reset();
            forget.Bind(1, watch.id).Bind(2, channel).Run();
        }
    }
    transaction.Commit();
}

bool WatchBook::Remove(const std::string& name) {
    store::Transaction transaction(db_);
    const std::optional<Watch> watch = Find(name);
    if (!watch)
        return false;
    store::Statement deliveries(db_, "DELETE FROM watch_deliveries WHERE watch_id = ?");
    deliveries.Bind(1, watch->id).Run();
    store::Statement remove(db_, "DELETE FROM watches WHERE id = ?");
    remove.Bind(1, watch->id).Run();
    transaction.Commit();
    return true;
}

Cut WatchBook::Delivered(const Watch& watch, const std::string& channel) {
    store::Statement row(db_,
                         "SELECT up_to_trade, up_to_change FROM watch_deliveries "
                         "WHERE watch_id = ? AND channel = ?");
    row.Bind(1, watch.id).Bind(2, channel);
    if (!row.Step())
        return watch.start;
    return {row.Int(0), row.Int(1)};
}

void WatchBook::MarkDelivered(const Watch& watch, const std::string& channel, Cut upTo) {
    store::Statement mark(db_,
                          "INSERT INTO watch_deliveries(watch_id, channel, up_to_trade, "
                          "up_to_change, delivered_at) VALUES (?, ?, ?, ?, ?) "
                          "ON CONFLICT(watch_id, channel) DO UPDATE SET "
                          "up_to_trade = excluded.up_to_trade, "
                          "up_to_change = excluded.up_to_change, "
                          "delivered_at = excluded.delivered_at");
    mark.Bind(1, watch.id)
        .Bind(2, channel)
        .Bind(3, upTo.trade)
        .Bind(4, upTo.change)
        .Bind(5, Timestamp())
        .Run();
}

}  // namespace korvalot::watch
