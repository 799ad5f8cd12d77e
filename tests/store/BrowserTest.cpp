// The store browser on real SQLite files: lots sort by every kind of column as a reader expects,
// open outcomes follow the refresh's rule, a trade's history and a lot's price come back in
// order, a query stops when told from another thread, and a harvest writing meanwhile is never
// waited for and shows at the next query.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "crawl/fakes/TempDir.h"
#include "store/Database.h"
#include "store/LotBrowser.h"
#include "store/Schema.h"
#include "store/TradeStore.h"

namespace korvalot::store {
namespace {

using crawl::ResultRow;
using crawl::testing_support::TempDir;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kUrl = "https://register.test";

std::chrono::year_month_day Day(int y, unsigned m, unsigned d) {
    return std::chrono::year_month_day{std::chrono::year(y), std::chrono::month(m),
                                       std::chrono::day(d)};
}

ResultRow Row(const std::string& guid, int lot) {
    ResultRow row;
    row.guid = guid;
    row.region = "г. Москва";
    row.number = "24636000";
    row.datePublish = "24.04.2026 06:48";
    row.debtorName = "ООО \"Ромашка\"";
    row.debtorInn = "7701234567";
    row.propertyType = "0101";
    row.lotDescription = "Лот " + std::to_string(lot) + ": Квартира, 54 кв.м.";
    row.courtName = "Арбитражный суд города Москвы";
    row.startPrice = "1500000.5";
    row.currentPrice = "null";
    row.resultsDate = "15.05.2026 09:15";
    return row;
}

std::vector<ResultRow> Rows(const std::string& guid, int lots) {
    std::vector<ResultRow> rows;
    for (int k = 0; k < lots; ++k)
        rows.push_back(Row(guid, k + 1));
    return rows;
}

std::chrono::system_clock::time_point At(const std::string& when) {
    std::tm tm{};
    strptime(when.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

// One run into the store at a time of the test's choosing.
struct StoreRun {
    explicit StoreRun(const fs::path& path, const std::string& now = "2026-06-20T10:00:00",
                      bool refresh = false)
        : store(path, Options(now, refresh)) {
        store.Begin({path.parent_path() / "data1.csv",
                     kUrl,
                     ".",
                     {"г. Москва (77)", "Краснодарский край (23)"}});
    }
    static StoreOptions Options(const std::string& now, bool refresh = false) {
        StoreOptions options;
        options.refresh = refresh;
        const auto when = At(now);
        options.clock = [when] { return when; };
        return options;
    }
    void Put(const std::string& guid, const std::vector<ResultRow>& rows) {
        store.TradeWritten(guid, rows.empty() ? "г. Москва" : rows.front().region,
                           json::Parse(R"({"tradeType":"OpenAuction"})"), rows);
    }
    TradeStore store;
};

std::vector<std::string> Guids(LotBrowser& browser, const std::vector<std::int64_t>& ids) {
    std::vector<std::string> guids;
    for (const BrowsedLot& lot : browser.Lots(ids))
        guids.push_back(lot.row.guid);
    return guids;
}

// Each kind of column sorts by what it means: prices and dates by value, texts as a Russian
// reader sorts them (letter case ignored, ё as е, Latin first), first seen and last changed by
// time. Lots without a value come last both ways; lots that sort alike keep the store's order.
TEST(LotBrowserTest, EachKindOfColumnSortsByWhatItMeans) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    struct Lot {
        const char* guid;
        const char* startPrice;
        const char* datePublish;
        const char* debtor;
        const char* winnerInn;
    };
    // As texts the prices and dates would sort otherwise: "1000.5" < "20000" < "900".
    const Lot lots[] = {
        {"a", "900", "05.01.2027 10:00", "ёлка", "7701"},
        {"b", "1000.5", "20.12.2026 09:00", "Ель", ""},
        {"c", "", "", "Яблоко", "500"},
        {"d", "20000", "31.12.2026 23:59", "абрикос", "7701"},
        {"e", "null", "31.12.2026 ", "", "0099"},
        {"f", "900", "1.1.2027", "Zeta", "12"},
    };
    {
        StoreRun run(path, "2026-06-20T10:00:00");
        for (const Lot& lot : lots) {
            ResultRow row = Row(lot.guid, 1);
            row.startPrice = lot.startPrice;
            row.datePublish = lot.datePublish;
            row.debtorName = lot.debtor;
            row.winnerInn = lot.winnerInn;
            run.Put(lot.guid, {row});
        }
    }
    // Two lots seen again later, one of them changed then and one changed again after that.
    {
        StoreRun run(path, "2026-06-21T10:00:00");
        ResultRow e = Row("e", 1);
        e.startPrice = "null";
        e.datePublish = "31.12.2026 ";
        e.debtorName = "";
        e.winnerInn = "0099";
        e.currentPrice = "5";
        run.Put("e", {e});
        ResultRow g = Row("g", 1);
        g.startPrice = "900";
        g.datePublish = "bad";
        g.debtorName = "Ёж";
        g.winnerInn = "7701";
        run.Put("g", {g});
    }
    {
        StoreRun run(path, "2026-06-22T10:00:00");
        ResultRow a = Row("a", 1);
        a.startPrice = "900";
        a.datePublish = "05.01.2027 10:00";
        a.debtorName = "ёлка";
        a.winnerInn = "7701";
        a.currentPrice = "7";
        run.Put("a", {a});
    }
    struct Case {
        LotColumn column;
        std::vector<std::string> ascending;
        std::vector<std::string> descending;
    };
    const Case cases[] = {
        {LotColumn::Lot, {"a", "b", "c", "d", "e", "f", "g"}, {"g", "f", "e", "d", "c", "b", "a"}},
        {LotColumn::StartPrice,
         {"a", "f", "g", "b", "d", "c", "e"},
         {"d", "b", "a", "f", "g", "c", "e"}},
        {LotColumn::DatePublish,
         {"b", "e", "d", "a", "c", "f", "g"},
         {"a", "d", "e", "b", "c", "f", "g"}},
        {LotColumn::DebtorName,
         {"f", "d", "g", "a", "b", "c", "e"},
         {"c", "b", "a", "g", "d", "f", "e"}},
        {LotColumn::WinnerInn,
         {"e", "f", "c", "a", "d", "g", "b"},
         {"a", "d", "g", "c", "f", "e", "b"}},
        {LotColumn::FirstSeen,
         {"a", "b", "c", "d", "e", "f", "g"},
         {"g", "a", "b", "c", "d", "e", "f"}},
        {LotColumn::LastChanged,
         {"e", "a", "b", "c", "d", "f", "g"},
         {"a", "e", "b", "c", "d", "f", "g"}},
        {LotColumn::CurrentPrice,
         {"e", "a", "b", "c", "d", "f", "g"},
         {"a", "e", "b", "c", "d", "f", "g"}},
    };
    LotBrowser browser(path);
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.column));
        EXPECT_EQ(Guids(browser, browser.LotIds({}, {c.column, false})), c.ascending);
        EXPECT_EQ(Guids(browser, browser.LotIds({}, {c.column, true})), c.descending);
        // The first screen is the head of the same order.
        std::vector<std::string> first;
        for (const BrowsedLot& lot : browser.FirstLots({}, {c.column, true}, 3))
            first.push_back(lot.row.guid);
        EXPECT_EQ(first, std::vector<std::string>(c.descending.begin(), c.descending.begin() + 3));
    }
}

// A row carries its texts, its card link, its values and its times; a range comes back in the
// order asked, without the ids the store does not hold.
TEST(LotBrowserTest, RowsOfARangeCarryTheirTextsValuesAndLinks) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    std::vector<ResultRow> rows = Rows("guid-1", 2);
    rows[1].currentPrice = "1700000.25";
    rows[1].winnerName = "ООО Победа";
    {
        StoreRun run(path);
        run.Put("guid-1", rows);
        run.Put("guid-2", Rows("guid-2", 1));
    }
    LotBrowser browser(path);
    const std::vector<std::int64_t> ids = browser.LotIds({}, {});
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(CountTrades(ids), 2);
    EXPECT_EQ(TradeOfLot(ids[1]), TradeOfLot(ids[0]));
    EXPECT_EQ(ids[1], ids[0] + 1);

    const std::vector<BrowsedLot> lots = browser.Lots({ids[2], ids[1] + 7, ids[1]});
    ASSERT_EQ(lots.size(), 2u);
    EXPECT_EQ(lots[0].row.guid, "guid-2");
    const BrowsedLot& lot = lots[1];
    // The texts as the results file shows them: a double quote there is an apostrophe.
    ResultRow shown = rows[1];
    shown.debtorName = "ООО 'Ромашка'";
    EXPECT_EQ(lot.row, shown);
    EXPECT_EQ(lot.lotId, ids[1]);
    EXPECT_EQ(lot.tradeId, TradeOfLot(ids[1]));
    EXPECT_EQ(lot.cardLink, std::string(kUrl) + "/biddings/guid-1");
    EXPECT_EQ(lot.tradeType, "OpenAuction");
    EXPECT_EQ(lot.startPrice, 1500000.5);
    EXPECT_EQ(lot.currentPrice, 1700000.25);
    EXPECT_EQ(lots[0].currentPrice, std::nullopt);
    EXPECT_EQ(lot.datePublish, "2026-04-24T06:48");
    EXPECT_EQ(lot.resultsDate, "2026-05-15T09:15");
    EXPECT_EQ(lot.firstSeen, "2026-06-20T10:00:00");
    EXPECT_EQ(lot.lastChanged, "");
}

// Only open outcomes: the lots a refresh would fetch again, lot by lot. The trades they belong
// to are exactly those TradeStore::OpenTrades picks on the same day.
TEST(LotBrowserTest, OpenOutcomesFollowTheRefreshRuleLotByLot) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    struct Case {
        const char* guid;
        const char* resultsDate;
        const char* finalPrice;
        const char* winner;
    };
    // Today is 2026-07-01; 60 days back is 2026-05-02.
    const Case cases[] = {
        {"no-price-recent", "15.06.2026 10:00", "null", "ООО А"},
        {"no-winner-recent", "15.06.2026 10:00", "1000", ""},
        {"sold-recent", "15.06.2026 10:00", "1000", "ООО А"},
        {"no-winner-future", "20.07.2026 10:00", "1000", ""},
        {"no-winner-no-date", "", "1000", ""},
        {"no-winner-60-days", "02.05.2026 00:00", "1000", ""},
        {"no-winner-61-days", "01.05.2026 23:59", "1000", ""},
        {"no-price-old", "01.01.2026 10:00", "", "ООО А"},
    };
    {
        StoreRun run(path);
        for (const Case& c : cases) {
            std::vector<ResultRow> rows = Rows(c.guid, 2);
            rows[1].resultsDate = rows[0].resultsDate = c.resultsDate;
            rows[1].currentPrice = "2000";
            rows[1].winnerName = "ООО Б";
            rows[0].currentPrice = c.finalPrice;
            rows[0].winnerName = c.winner;
            run.Put(c.guid, rows);
        }
    }
    TradeFilter filter;
    filter.openOnly = true;
    filter.today = Day(2026, 7, 1);
    std::vector<std::string> refreshed;
    {
        StoreRun refresh(path, "2026-07-01T10:00:00", true);
        for (const auto& trade : refresh.store.OpenTrades({}, *filter.today, kOpenDays))
            refreshed.push_back(trade.guid);
    }
    ASSERT_EQ(refreshed.size(), 5u);
    LotBrowser browser(path);
    std::vector<std::string> open;
    for (const BrowsedLot& lot : browser.Lots(browser.LotIds(filter, {}))) {
        open.push_back(lot.row.guid);
        // The sold lot of an open trade is not open.
        EXPECT_TRUE(lot.row.lotDescription.starts_with("Лот 1:")) << lot.row.guid;
    }
    EXPECT_EQ(open, refreshed);

    // Fewer days leave the trades whose results date lies further back; with open outcomes
    // the current price range takes only lots that have a price.
    filter.openDays = 0;
    filter.currentPriceFrom = 1000;
    filter.currentPriceTo = 1000;
    EXPECT_EQ(Guids(browser, browser.LotIds(filter, {})),
              (std::vector<std::string>{"no-winner-future", "no-winner-no-date"}));
    TradeFilter sold;
    sold.currentPriceFrom = 1500;
    EXPECT_EQ(browser.LotIds(sold, {}).size(), std::size(cases));
}

// A trade's details hold every lot and each recorded change, oldest first, with the run that
// made it; a lot's price is followed over the runs that changed it.
TEST(LotBrowserTest, DetailsAndPriceHistoryFollowTheRuns) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    std::int64_t runs[3] = {};
    {
        StoreRun run(path, "2026-06-20T10:00:00");
        runs[0] = run.store.RunId();
        run.Put("t1", Rows("t1", 2));
        run.Put("t2", Rows("t2", 1));
    }
    {
        StoreRun run(path, "2026-07-01T12:00:00", true);
        runs[1] = run.store.RunId();
        std::vector<ResultRow> rows = Rows("t1", 2);
        rows[1].currentPrice = "1700000";
        run.Put("t1", rows);
    }
    {
        StoreRun run(path, "2026-07-05T08:30:00");
        runs[2] = run.store.RunId();
        std::vector<ResultRow> rows = Rows("t1", 2);
        rows[1].currentPrice = "1800000.5";
        rows[1].winnerName = "ООО Победа";
        for (ResultRow& row : rows)
            row.courtName = "Девятый арбитражный апелляционный суд";
        run.Put("t1", rows);
    }
    LotBrowser browser(path);
    const std::vector<std::int64_t> ids = browser.LotIds({}, {});
    ASSERT_EQ(ids.size(), 3u);
    const auto details = browser.Trade(TradeOfLot(ids[0]));
    ASSERT_TRUE(details);
    EXPECT_EQ(details->guid, "t1");
    EXPECT_EQ(details->cardLink, std::string(kUrl) + "/biddings/t1");
    EXPECT_EQ(details->regionCode, "77");
    EXPECT_EQ(details->firstSeen, "2026-06-20T10:00:00");
    EXPECT_EQ(details->lastSeen, "2026-07-05T08:30:00");
    EXPECT_EQ(details->lastChanged, "2026-07-05T08:30:00");
    ASSERT_EQ(details->lots.size(), 2u);
    EXPECT_EQ(details->lots[1].row.currentPrice, "1800000.5");
    EXPECT_EQ(details->lots[1].lotId, ids[1]);

    using Seen =
        std::tuple<std::optional<int>, std::string, std::optional<std::string>,
                   std::optional<std::string>, std::int64_t, std::string, std::string, std::string>;
    std::vector<Seen> history;
    for (const ValueChange& c : details->history) {
        history.emplace_back(c.lotPosition, c.field, c.oldValue, c.newValue, c.runId, c.runKind,
                             c.runStarted, c.changedAt);
        EXPECT_EQ(c.runProgram, "korvalot-harvest");
    }
    const std::vector<Seen> expected = {
        {1, "Итоговая цена", "null", "1700000", runs[1], "refresh", "2026-07-01T12:00:00",
         "2026-07-01T12:00:00"},
        {std::nullopt, "Наименование суда", "Арбитражный суд города Москвы",
         "Девятый арбитражный апелляционный суд", runs[2], "harvest", "2026-07-05T08:30:00",
         "2026-07-05T08:30:00"},
        {1, "Итоговая цена", "1700000", "1800000.5", runs[2], "harvest", "2026-07-05T08:30:00",
         "2026-07-05T08:30:00"},
        {1, "Победитель наименование", "", "ООО Победа", runs[2], "harvest", "2026-07-05T08:30:00",
         "2026-07-05T08:30:00"},
    };
    EXPECT_EQ(history, expected);

    const auto points = [&](std::int64_t lotId) {
        std::vector<std::tuple<std::string, std::string, std::optional<double>>> out;
        for (const PricePoint& p : browser.PriceHistory(lotId))
            out.emplace_back(p.time, p.text, p.value);
        return out;
    };
    using Point = std::tuple<std::string, std::string, std::optional<double>>;
    EXPECT_EQ(points(ids[1]),
              (std::vector<Point>{{"2026-06-20T10:00:00", "null", std::nullopt},
                                  {"2026-07-01T12:00:00", "1700000", 1700000.0},
                                  {"2026-07-05T08:30:00", "1800000.5", 1800000.5}}));
    // Never changed: the one price it was first seen with.
    EXPECT_EQ(points(ids[2]), (std::vector<Point>{{"2026-06-20T10:00:00", "null", std::nullopt}}));
    EXPECT_TRUE(browser.PriceHistory(ids[2] + 5).empty());
    EXPECT_FALSE(browser.Trade(TradeOfLot(ids[2]) + 100));
}

// Interrupt from another thread ends the query under way at once with its own problem; the next
// query runs as usual. The words of lots a running harvest stored are matched one by one, which
// the test holds at its first lot until the interrupt has been sent.
TEST(LotBrowserTest, InterruptFromAnotherThreadEndsTheQueryUnderWay) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    constexpr int kTrades = 300;
    StoreRun run(path);
    for (int k = 0; k < kTrades; ++k)
        run.Put("t" + std::to_string(k), Rows("t" + std::to_string(k), 1));
    run.store.CommitBatch();

    LotBrowser browser(path);
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool started = false;
        bool interrupted = false;
        int calls = 0;
    } gate;
    // The connection's own matcher, replaced by one that says the query is under way and then
    // waits for the interrupt.
    const auto held = [](sqlite3_context* context, int, sqlite3_value**) {
        auto* g = static_cast<Gate*>(sqlite3_user_data(context));
        std::unique_lock lock(g->mutex);
        ++g->calls;
        g->started = true;
        g->changed.notify_all();
        g->changed.wait(lock, [&] { return g->interrupted; });
        sqlite3_result_int(context, 1);
    };
    ASSERT_EQ(sqlite3_create_function_v2(browser.Connection().Handle(), "korvalot_words", -1,
                                         SQLITE_UTF8, &gate, held, nullptr, nullptr, nullptr),
              SQLITE_OK);
    TradeFilter words;
    words.words = {"квартира"};
    std::optional<StoreError::Problem> problem;
    std::thread worker([&] {
        try {
            browser.LotIds(words, {LotColumn::LotDescription, false});
        } catch (const StoreError& e) {
            problem = e.What();
        }
    });
    {
        std::unique_lock lock(gate.mutex);
        gate.changed.wait(lock, [&] { return gate.started; });
    }
    browser.Interrupt();
    {
        std::lock_guard lock(gate.mutex);
        gate.interrupted = true;
    }
    gate.changed.notify_all();
    worker.join();
    EXPECT_EQ(problem, StoreError::Problem::Interrupted);
    EXPECT_LT(gate.calls, kTrades / 2);
    EXPECT_EQ(browser.LotIds(words, {}).size(), static_cast<std::size_t>(kTrades));
}

// A harvest writing the store never holds the browser up, and what it commits shows when the
// browser asks again; a trade shows with all its lots or not at all.
TEST(LotBrowserTest, AHarvestWritingMeanwhileIsNeitherWaitedForNorMissed) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    StoreRun run(path);
    run.Put("first", Rows("first", 3));
    run.store.CommitBatch();
    // Not a moment's wait for a lock.
    LotBrowser browser(path, 0ms);
    EXPECT_EQ(browser.LotIds({}, {}).size(), 3u);
    {
        Database other(path, Database::Mode::ReadWrite);
        Transaction holding(other);
        other.Execute("DELETE FROM lots");
        EXPECT_EQ(browser.LotIds({}, {}).size(), 3u);
        EXPECT_EQ(browser.FirstLots({}, {LotColumn::DebtorName, false}, 60).size(), 3u);
    }

    constexpr int kTrades = 200;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int k = 0; k < kTrades; ++k)
            run.Put("w" + std::to_string(k), Rows("w" + std::to_string(k), 3));
        run.store.CommitBatch();
        done = true;
    });
    std::size_t seen = 3;
    int reads = 0;
    for (bool last = false; !last;) {
        last = done.load();
        const std::vector<std::int64_t> ids = browser.LotIds({}, {LotColumn::FirstSeen, true});
        EXPECT_GE(ids.size(), seen);
        EXPECT_EQ(static_cast<std::size_t>(CountTrades(ids)) * 3, ids.size());
        seen = ids.size();
        ++reads;
    }
    writer.join();
    EXPECT_EQ(seen, 3u * (kTrades + 1));
    EXPECT_GT(reads, 0);
}

}  // namespace
}  // namespace korvalot::store
