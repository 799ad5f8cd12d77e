#include "watch/WatchNews.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <string_view>

#include "crawl/RegisterAddresses.h"
#include "store/RowColumns.h"
#include "store/Schema.h"
#include "store/StoredValues.h"

namespace korvalot::watch {
namespace {

using notify::NewsItem;
using notify::NewsKind;
constexpr std::int64_t kLots = store::kLotsPerTrade;

// The fields the store's changes name, as the results file's header does.
constexpr std::string_view kPriceField = "Итоговая цена";
constexpr std::string_view kWinnerNameField = "Победитель наименование";
constexpr std::string_view kWinnerInnField = "Победитель ИНН";
constexpr std::string_view kResultsDateField = "Дата объявления результатов";
constexpr std::string_view kLotField = "Лот";

// A lot that matches, as it is now.
struct MatchingLot {
    std::int64_t id = 0;
    std::int64_t tradeId = 0;
    std::int64_t position = 0;
    crawl::ResultRow row;
    std::string cardLink;
    std::string separator;
    std::string firstSeen;
    std::int64_t firstRun = 0;
};

// A recorded change of a trade or one of its lots.
struct Change {
    std::int64_t id = 0;
    std::optional<std::int64_t> position;
    std::string field;
    std::optional<std::string> oldValue;
    std::optional<std::string> newValue;
    std::int64_t runId = 0;
    std::string when;
};

std::string IdList(const std::set<std::int64_t>& ids) {
    std::string list = "[";
    for (const std::int64_t id : ids)
        list += (list.size() > 1 ? "," : "") + std::to_string(id);
    return list + "]";
}

// A price text of a change may carry the decimal separator of an earlier run.
std::optional<double> Price(const std::string& text, const std::string& separator) {
    if (auto value = store::PriceValue(text, separator))
        return value;
    return store::PriceValue(text, separator == "," ? "." : ",");
}

// The lots that match the filter among those `where` picks (its parameters come first).
std::vector<MatchingLot> Matching(store::Database& db, const store::TradeFilter& filter,
                                  const std::string& where,
                                  const std::vector<std::variant<std::string, std::int64_t>>& own) {
    const store::SqlCondition condition = store::RowConditions(filter);
    store::Statement query(
        db, std::string("SELECT ") + store::kRowTextColumns +
                ", l.id AS id, l.trade_id AS trade_id, l.position AS position, "
                "t.register_url AS register_url, t.decimal_separator AS decimal_separator, "
                "l.first_seen AS first_seen, t.first_run AS first_run "
                "FROM lots l JOIN trades t ON t.id = l.trade_id WHERE " +
                where + " AND " + condition.sql + " ORDER BY l.id");
    int index = 1;
    for (const auto& parameter : own)
        std::visit([&](const auto& value) { query.Bind(index++, value); }, parameter);
    for (const auto& parameter : condition.parameters)
        std::visit([&](const auto& value) { query.Bind(index++, value); }, parameter);
    const store::RowTextColumns texts(query);
    const int id = query.ColumnIndex("id");
    const int tradeId = query.ColumnIndex("trade_id");
    const int position = query.ColumnIndex("position");
    const int registerUrl = query.ColumnIndex("register_url");
    const int separator = query.ColumnIndex("decimal_separator");
    const int firstSeen = query.ColumnIndex("first_seen");
    const int firstRun = query.ColumnIndex("first_run");
    std::vector<MatchingLot> lots;
    while (query.Step()) {
        MatchingLot lot;
        lot.id = query.Int(id);
        lot.tradeId = query.Int(tradeId);
        lot.position = query.Int(position);
        texts.Read(query, lot.row);
        lot.cardLink =
            crawl::RegisterAddresses(std::string(query.Text(registerUrl))).CardLink(lot.row.guid);
        lot.separator = query.Text(separator);
        lot.firstSeen = query.Text(firstSeen);
        lot.firstRun = query.Int(firstRun);
        lots.push_back(std::move(lot));
    }
    return lots;
}

NewsItem Item(NewsKind kind, const MatchingLot& lot, std::int64_t runId, std::string when) {
    NewsItem item;
    item.kind = kind;
    item.lotId = lot.id;
    item.runId = runId;
    item.when = std::move(when);
    item.cardLink = lot.cardLink;
    item.row = lot.row;
    return item;
}

// The lot's values that its news follow, at one place of its history.
struct LotState {
    std::string price;
    std::string winnerName;
    std::string winnerInn;

    std::string* Field(std::string_view field) {
        if (field == kPriceField)
            return &price;
        if (field == kWinnerNameField)
            return &winnerName;
        if (field == kWinnerInnField)
            return &winnerInn;
        return nullptr;
    }
    bool Closed(const std::string& separator) const {
        return Price(price, separator) && (!winnerName.empty() || !winnerInn.empty());
    }
};

// Replays the lot's changes after the watch's start (its history ends at the reader's cut) and
// adds the news that lie after `from`.
void Replay(const Watch& watch, const MatchingLot& lot, const std::vector<Change>& tradeHistory,
            Cut from, std::vector<NewsItem>& items) {
    std::vector<const Change*> history;
    for (const Change& change : tradeHistory) {
        if (change.position != lot.position)
            continue;
        // A lot removed and stored again begins anew.
        if (change.field == kLotField) {
            history.clear();
            continue;
        }
        if (change.field == kPriceField || change.field == kWinnerNameField ||
            change.field == kWinnerInnField)
            history.push_back(&change);
    }
    // The values before the first change the watch follows: the old value of each field's first
    // change, the value now for a field that never changed.
    LotState state{lot.row.currentPrice, lot.row.winnerName, lot.row.winnerInn};
    std::set<std::string_view> seen;
    for (const Change* change : history) {
        if (seen.insert(change->field).second)
            *state.Field(change->field) = change->oldValue.value_or("");
    }
    const std::string& separator = lot.separator;
    std::optional<double> price = Price(state.price, separator);
    std::string reportedText = state.price;  // the price a drop is measured from
    std::optional<double> reported = price;
    bool below = watch.priceBelow && price && *price < *watch.priceBelow;
    bool closed = state.Closed(separator);

    for (std::size_t k = 0; k < history.size();) {
        // One commit's changes of the lot together: its run and its time.
        const Change& first = *history[k];
        const std::string before = state.price;
        std::size_t end = k;
        for (; end < history.size() && history[end]->runId == first.runId &&
               history[end]->when == first.when;
             ++end)
            *state.Field(history[end]->field) = history[end]->newValue.value_or("");
        const bool news = history[end - 1]->id > from.change;
        k = end;
        const auto add = [&](NewsKind kind, std::optional<std::string> oldValue,
                             std::optional<std::string> newValue) {
            if (!news)
                return;
            NewsItem item = Item(kind, lot, first.runId, first.when);
            item.oldValue = std::move(oldValue);
            item.newValue = std::move(newValue);
            items.push_back(std::move(item));
        };
        if (const std::optional<double> now = Price(state.price, separator);
            now && state.price != before) {
            if (watch.priceBelow) {
                if (*now < *watch.priceBelow && !below)
                    add(NewsKind::PriceBelow, before, state.price);
                below = *now < *watch.priceBelow;
            }
            if (watch.dropPercent) {
                // In whole numbers where the prices and the percentage are: 90 is 10 % below 100.
                if (reported && *now * 100 <= *reported * (100 - *watch.dropPercent)) {
                    add(NewsKind::PriceDrop, reportedText, state.price);
                    reported = now;
                    reportedText = state.price;
                } else if (!reported) {
                    reported = now;
                    reportedText = state.price;
                }
            }
        }
        const bool closedNow = state.Closed(separator);
        if (closedNow && !closed)
            add(NewsKind::OutcomeKnown, std::nullopt, state.price);
        closed = closedNow;
    }
}

constexpr int Order(NewsKind kind) {
    return static_cast<int>(kind);
}

}  // namespace

NewsReader::NewsReader(store::Database& db) : db_(db) {
    // Deferred: the snapshot is taken by the first read and holds for every read after it.
    db_.Execute("BEGIN");
    try {
        now_ = {db_.QueryInt("SELECT coalesce(max(id), 0) FROM trades"),
                db_.QueryInt("SELECT coalesce(max(id), 0) FROM changes")};
    } catch (...) {
        db_.Execute("ROLLBACK");
        throw;
    }
}

NewsReader::~NewsReader() {
    try {
        db_.Execute("ROLLBACK");
    } catch (const store::StoreError&) {
        // A read transaction ends with its connection at the latest.
    }
}

std::vector<NewsItem> NewsReader::Since(const Watch& watch, Cut from) {
    std::vector<NewsItem> items;

    // Lots of trades stored after the cut.
    if (now_.trade > from.trade) {
        for (const MatchingLot& lot :
             Matching(db_, watch.filter, "l.id BETWEEN ? AND ?",
                      {(from.trade + 1) * kLots, now_.trade * kLots + kLots - 1})) {
            items.push_back(Item(NewsKind::NewLot, lot, lot.firstRun, lot.firstSeen));
        }
    }

    // Lots that appeared in trades stored before it, and the changes the news follow.
    store::Statement changes(db_,
                             "SELECT id, trade_id, lot_position, field, new_value, run_id, "
                             "changed_at FROM changes WHERE id > ? AND id <= ? AND field IN "
                             "(?, ?, ?, ?, ?) ORDER BY id");
    changes.Bind(1, from.change)
        .Bind(2, now_.change)
        .Bind(3, kLotField)
        .Bind(4, kPriceField)
        .Bind(5, kWinnerNameField)
        .Bind(6, kWinnerInnField)
        .Bind(7, kResultsDateField);
    std::map<std::int64_t, std::pair<std::int64_t, std::string>> appeared;  // lot -> run, when
    std::set<std::int64_t> changedLots;
    std::set<std::int64_t> datedTrades;
    while (changes.Step()) {
        const std::int64_t tradeId = changes.Int(1);
        const std::string_view field = changes.Text(3);
        if (field == kResultsDateField) {
            datedTrades.insert(tradeId);
            continue;
        }
        if (changes.IsNull(2))
            continue;
        const std::int64_t lotId = tradeId * kLots + changes.Int(2);
        if (field != kLotField) {
            changedLots.insert(lotId);
        } else if (!changes.IsNull(4) && tradeId <= from.trade) {
            appeared[lotId] = {changes.Int(5), std::string(changes.Text(6))};
        }
    }
    if (!appeared.empty()) {
        std::set<std::int64_t> ids;
        for (const auto& [id, seen] : appeared)
            ids.insert(id);
        for (const MatchingLot& lot : Matching(
                 db_, watch.filter, "l.id IN (SELECT value FROM json_each(?))", {IdList(ids)})) {
            const auto& [runId, when] = appeared.at(lot.id);
            items.push_back(Item(NewsKind::NewLot, lot, runId, when));
        }
    }

    // The history of each trade concerned, from the watch's start to the cut.
    store::Statement tradeChanges(db_,
                                  "SELECT id, lot_position, field, old_value, new_value, run_id, "
                                  "changed_at FROM changes WHERE trade_id = ? AND id > ? AND "
                                  "id <= ? ORDER BY id");
    std::map<std::int64_t, std::vector<Change>> histories;
    const auto historyOf = [&](std::int64_t tradeId) -> const std::vector<Change>& {
        auto found = histories.find(tradeId);
        if (found != histories.end())
            return found->second;
        std::vector<Change>& history = histories[tradeId];
        tradeChanges.Reset();
        tradeChanges.Bind(1, tradeId).Bind(2, watch.start.change).Bind(3, now_.change);
        while (tradeChanges.Step()) {
            Change change;
            change.id = tradeChanges.Int(0);
            if (!tradeChanges.IsNull(1))
                change.position = tradeChanges.Int(1);
            change.field = tradeChanges.Text(2);
            change.oldValue = tradeChanges.OptionalText(3);
            change.newValue = tradeChanges.OptionalText(4);
            change.runId = tradeChanges.Int(5);
            change.when = tradeChanges.Text(6);
            history.push_back(std::move(change));
        }
        return history;
    };

    if (!changedLots.empty()) {
        for (const MatchingLot& lot :
             Matching(db_, watch.filter, "l.id IN (SELECT value FROM json_each(?))",
                      {IdList(changedLots)}))
            Replay(watch, lot, historyOf(lot.tradeId), from, items);
    }

    if (!datedTrades.empty()) {
        std::set<std::int64_t> reported;
        for (const MatchingLot& lot :
             Matching(db_, watch.filter,
                      "t.id IN (SELECT value FROM json_each(?)) AND l.id BETWEEN t.id * " +
                          std::to_string(kLots) + " AND t.id * " + std::to_string(kLots) + " + " +
                          std::to_string(kLots - 1),
                      {IdList(datedTrades)})) {
            if (!reported.insert(lot.tradeId).second)
                continue;
            for (const Change& change : historyOf(lot.tradeId)) {
                if (change.id <= from.change || change.position ||
                    change.field != kResultsDateField)
                    continue;
                NewsItem item = Item(NewsKind::ResultsDateChanged, lot, change.runId, change.when);
                item.oldValue = change.oldValue;
                item.newValue = change.newValue;
                items.push_back(std::move(item));
            }
        }
    }

    std::stable_sort(items.begin(), items.end(), [](const NewsItem& a, const NewsItem& b) {
        if (a.when != b.when)
            return a.when < b.when;
        if (a.lotId != b.lotId)
            return a.lotId < b.lotId;
        return Order(a.kind) < Order(b.kind);
    });
    return items;
}

}  // namespace korvalot::watch
