// Watches over real store files: the news of store histories written with a clock, each of them
// once, through channels that take them or fail.
#include <gtest/gtest.h>

#include <ctime>
#include <map>

#include "crawl/fakes/TempDir.h"
#include "store/Schema.h"
#include "store/TradeStore.h"
#include "watch/WatchBook.h"
#include "watch/WatchCheck.h"
#include "watch/WatchError.h"
#include "watch/WatchNews.h"

namespace korvalot::watch {
namespace {

using crawl::ResultRow;
using crawl::testing_support::TempDir;
using notify::DeliveryOutcome;
using notify::NewsKind;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One lot of a trade as a harvest finds it.
struct LotValues {
    std::string price = "null";
    std::string winner;
    std::string description = "Квартира, 54 кв.м.";
};

LotValues Lot(std::string price, std::string winner = {},
              std::string description = "Квартира, 54 кв.м.") {
    return LotValues{std::move(price), std::move(winner), std::move(description)};
}

struct TradeValues {
    std::string guid;
    std::vector<LotValues> lots;
    std::string resultsDate = "15.05.2026 09:15";
    std::string region = "г. Москва";
};

std::vector<ResultRow> Rows(const TradeValues& trade) {
    std::vector<ResultRow> rows;
    for (const LotValues& lot : trade.lots) {
        ResultRow row;
        row.guid = trade.guid;
        row.region = trade.region;
        row.number = "24636000";
        row.datePublish = "24.04.2026 06:48";
        row.debtorName = "ООО \"Ромашка\"";
        row.debtorInn = "7701234567";
        row.propertyType = "0101";
        row.lotDescription = lot.description;
        row.courtName = "Арбитражный суд города Москвы";
        row.startPrice = "1500000";
        row.currentPrice = lot.price;
        row.resultsDate = trade.resultsDate;
        row.winnerName = lot.winner;
        row.winnerInn = lot.winner.empty() ? "" : "7707083893";
        rows.push_back(row);
    }
    return rows;
}

std::chrono::system_clock::time_point At(int day) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 5;
    tm.tm_mday = day;
    tm.tm_hour = 10;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

// A store harvested day after day, each day one run at ten o'clock.
struct History {
    TempDir dir;
    fs::path path = dir / "korvalot.sqlite";
    int day = 0;

    History() { Harvest({}); }

    void Harvest(const std::vector<TradeValues>& trades) {
        ++day;
        store::StoreOptions options;
        const auto when = At(day);
        options.clock = [when] { return when; };
        store::TradeStore run(path, options);
        run.Begin({dir / "data.csv",
                   "https://register.test",
                   ".",
                   {"г. Москва (77)", "Краснодарский край (23)"}});
        for (const TradeValues& trade : trades)
            run.TradeWritten(trade.guid, trade.region,
                             json::Parse(R"({"tradeType":"OpenAuction"})"), Rows(trade));
        crawl::RunSummary summary;
        run.Finish(summary);
    }
    std::unique_ptr<store::Database> Open() { return store::OpenStoreForReading(path, 1s); }
};

// The news as the test reads them: "kind guid/lot [old -> new]".
std::string Text(const notify::NewsItem& item) {
    std::string text = KindName(item.kind) + " " + item.row.guid + "/" +
                       std::to_string(item.lotId % store::kLotsPerTrade + 1);
    if (item.oldValue || item.newValue)
        text += " " + item.oldValue.value_or("-") + " -> " + item.newValue.value_or("-");
    return text;
}

std::vector<std::string> Texts(const std::vector<notify::NewsItem>& items) {
    std::vector<std::string> texts;
    for (const notify::NewsItem& item : items)
        texts.push_back(Text(item));
    return texts;
}

// A channel that keeps what it was given, and fails while told to.
class RecordingChannel : public notify::Channel {
public:
    RecordingChannel(std::string name, std::vector<notify::WatchNews>& taken, const bool& failing)
        : name_(std::move(name)), taken_(taken), failing_(failing) {}
    std::string Name() const override { return name_; }
    DeliveryOutcome Deliver(const notify::WatchNews& news) override {
        if (failing_)
            return {DeliveryOutcome::Kind::Failed, name_ + ": нет соединения"};
        taken_.push_back(news);
        return {DeliveryOutcome::Kind::Delivered, {}};
    }
    DeliveryOutcome Test(const std::string&) override {
        return {failing_ ? DeliveryOutcome::Kind::Failed : DeliveryOutcome::Kind::Delivered, {}};
    }

private:
    std::string name_;
    std::vector<notify::WatchNews>& taken_;
    const bool& failing_;
};

// Channels by name, each recording into its own list.
struct Channels {
    std::map<std::string, std::vector<notify::WatchNews>> taken;
    std::map<std::string, bool> failing;

    ChannelMaker Maker() {
        return [this](const std::vector<std::string>& names) {
            std::vector<std::unique_ptr<notify::Channel>> made;
            for (const std::string& name : names)
                made.push_back(
                    std::make_unique<RecordingChannel>(name, taken[name], failing[name]));
            return made;
        };
    }
    // Every item the channel took for the watch, message after message.
    std::vector<std::string> Items(const std::string& channel, const std::string& watch) {
        std::vector<std::string> items;
        for (const notify::WatchNews& news : taken[channel]) {
            if (news.watchName != watch)
                continue;
            for (const std::string& text : Texts(news.items))
                items.push_back(text);
        }
        return items;
    }
};

CheckReport Check(History& history, Channels& channels) {
    const auto db = history.Open();
    WatchBook book(*db);
    return CheckWatches(*db, book.List(), channels.Maker(), [](const std::string&) {});
}

Watch Add(History& history, Watch watch, bool fromBeginning = false) {
    const auto db = history.Open();
    return WatchBook(*db).Add(std::move(watch), fromBeginning);
}

Watch Flats(std::vector<std::string> channels = {"вывод"}) {
    Watch watch;
    watch.name = "Квартиры";
    watch.filter.words = {"квартира"};
    watch.channels = std::move(channels);
    return watch;
}

// Histories of a few lots and what a watch reports after each day's harvest: every news once,
// on the day it happened. The threshold is 1000, the drop 10 %.
TEST(WatchNewsTest, EachHistoryGivesItsNewsOnceOnItsDay) {
    const auto lot = [](std::string price, std::string winner = {}) {
        return Lot(std::move(price), std::move(winner));
    };
    const auto trade = [](std::vector<LotValues> lots, std::string results = "15.05.2026 09:15") {
        return TradeValues{"a", std::move(lots), std::move(results)};
    };
    struct Case {
        const char* name;
        std::optional<double> below;
        std::optional<double> drop;
        std::vector<TradeValues> days;  // trade "a" each day
        std::vector<std::vector<std::string>> news;
    };
    const Case cases[] = {
        {"new lots, one that appears later, nothing for a harvest that changes nothing",
         {},
         {},
         {trade({lot("null")}), trade({lot("null")}), trade({lot("null"), lot("null")})},
         {{"новый лот a/1"}, {}, {"новый лот a/2"}}},
        {"below the threshold once; wobbling below it and staying there is no news; back at "
         "the threshold and below again is",
         1000,
         {},
         {trade({lot("1500")}), trade({lot("900")}), trade({lot("950")}), trade({lot("800")}),
          trade({lot("1000")}), trade({lot("990")}), trade({lot("990")})},
         {{"новый лот a/1"},
          {"цена ниже порога a/1 1500 -> 900"},
          {},
          {},
          {},
          {"цена ниже порога a/1 1000 -> 990"},
          {}}},
        {"a drop from the price last reported; a rise and a smaller fall are no news",
         {},
         10,
         {trade({lot("1000")}), trade({lot("950")}), trade({lot("900")}), trade({lot("1000")}),
          trade({lot("850")}), trade({lot("810")})},
         {{"новый лот a/1"},
          {},
          {"цена снизилась a/1 1000 -> 900"},
          {},
          {},
          {"цена снизилась a/1 900 -> 810"}}},
        {"a first price after none is where drops are measured from",
         {},
         10,
         {trade({lot("null")}), trade({lot("1000")}), trade({lot("899.99")})},
         {{"новый лот a/1"}, {}, {"цена снизилась a/1 1000 -> 899.99"}}},
        {"an outcome known: a price and a winner; once, however often it is harvested again",
         {},
         {},
         {trade({lot("null"), lot("2000")}), trade({lot("2100", "ООО Покупатель"), lot("2000")}),
          trade({lot("2100", "ООО Покупатель"), lot("2000")}),
          trade({lot("2100", "ООО Покупатель"), lot("2000", "ИП Иванов")})},
         {{"новый лот a/1", "новый лот a/2"},
          {"известен итог a/1 - -> 2100"},
          {},
          {"известен итог a/2 - -> 2000"}}},
        {"a results date changed: once for the trade, with its first lot",
         {},
         {},
         {trade({lot("null"), lot("null")}), trade({lot("null"), lot("null")}, "20.05.2026 09:15"),
          trade({lot("null"), lot("null")}, "20.05.2026 09:15")},
         {{"новый лот a/1", "новый лот a/2"},
          {"изменилась дата результатов a/1 15.05.2026 09:15 -> 20.05.2026 09:15"},
          {}}},
        {"a lot sold below the threshold and with a drop: each news of it",
         1000,
         10,
         {trade({lot("1500")}), trade({lot("600", "ООО Покупатель")})},
         {{"новый лот a/1"},
          {"цена ниже порога a/1 1500 -> 600", "цена снизилась a/1 1500 -> 600",
           "известен итог a/1 - -> 600"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        History history;
        Watch watch = Flats();
        watch.priceBelow = c.below;
        watch.dropPercent = c.drop;
        Add(history, watch);
        Channels channels;
        for (std::size_t day = 0; day < c.days.size(); ++day) {
            history.Harvest({c.days[day]});
            const std::size_t before = channels.Items("вывод", "Квартиры").size();
            EXPECT_FALSE(Check(history, channels).Failed());
            const std::vector<std::string> all = channels.Items("вывод", "Квартиры");
            EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()),
                      c.news[day])
                << "day " << day + 1;
        }
        // Nothing is sent when there is nothing new.
        const std::size_t messages = channels.taken["вывод"].size();
        Check(history, channels);
        EXPECT_EQ(channels.taken["вывод"].size(), messages);
    }
}

// A channel that fails keeps its cut: the next check gives it everything since, in one message,
// and nothing the other channel or an earlier message of its own had.
TEST(WatchNewsTest, AFailedChannelTakesEverythingOnceWhenItWorksAgain) {
    History history;
    Watch watch = Flats({"вывод", "webhook"});
    watch.priceBelow = 1000;
    Add(history, watch);
    Channels channels;
    const std::vector<std::vector<TradeValues>> days = {
        {{"a", {Lot("1500")}}},
        {{"a", {Lot("900")}}, {"b", {Lot("2000")}}},
        {{"a", {Lot("900")}}, {"b", {Lot("2000")}}, {"c", {Lot("null")}}},
        {{"a", {Lot("900")}}, {"b", {Lot("800")}}, {"c", {Lot("null")}}},
    };
    const bool fails[] = {false, true, true, false};
    std::vector<std::size_t> webhookMessages;
    for (std::size_t day = 0; day < days.size(); ++day) {
        history.Harvest(days[day]);
        channels.failing["webhook"] = fails[day];
        const CheckReport report = Check(history, channels);
        EXPECT_EQ(report.Failed(), fails[day]) << "day " << day + 1;
        webhookMessages.push_back(channels.taken["webhook"].size());
    }
    const std::vector<std::string> expected = {"новый лот a/1", "цена ниже порога a/1 1500 -> 900",
                                               "новый лот b/1", "новый лот c/1",
                                               "цена ниже порога b/1 2000 -> 800"};
    EXPECT_EQ(channels.Items("вывод", "Квартиры"), expected);
    EXPECT_EQ(channels.Items("webhook", "Квартиры"), expected);
    // Day 1 one message, none while failing, then days 2 to 4 in one.
    EXPECT_EQ(webhookMessages, (std::vector<std::size_t>{1, 1, 1, 2}));
    EXPECT_EQ(channels.taken["вывод"].size(), 4u);
}

// A new watch takes what the store holds for known, unless it is asked to report what matches
// already; two watches that match one lot both report it, and a channel added to a watch
// starts from then.
TEST(WatchNewsTest, AWatchStartsFromNowUnlessAskedAndEveryWatchReportsItsLots) {
    History history;
    history.Harvest({{"a", {Lot("900")}}, {"b", {Lot("1500", {}, "Гараж")}}});
    Watch fresh = Flats();
    fresh.name = "С сегодняшнего дня";
    fresh.priceBelow = 1000;
    Add(history, fresh);
    Watch whole = Flats();
    whole.name = "Всё";
    whole.priceBelow = 1000;
    Add(history, whole, true);
    Watch everything;
    everything.name = "Любые";
    everything.channels = {"вывод"};
    Add(history, everything);

    Channels channels;
    Check(history, channels);
    EXPECT_EQ(channels.Items("вывод", "С сегодняшнего дня"), std::vector<std::string>{});
    // A lot below the threshold when the watch first meets it is only new.
    EXPECT_EQ(channels.Items("вывод", "Всё"), std::vector<std::string>{"новый лот a/1"});

    history.Harvest({{"a", {Lot("900"), Lot("800")}}, {"b", {Lot("1500", {}, "Гараж")}}});
    {
        const auto db = history.Open();
        WatchBook book(*db);
        Watch changed = *book.Find("Любые");
        changed.channels = {"вывод", "лента"};
        book.Change(changed);
    }
    history.Harvest(
        {{"a", {Lot("900"), Lot("800")}}, {"b", {Lot("700", {}, "Гараж")}}, {"c", {Lot("null")}}});
    Check(history, channels);
    EXPECT_EQ(channels.Items("вывод", "С сегодняшнего дня"),
              (std::vector<std::string>{"новый лот a/2", "новый лот c/1"}));
    EXPECT_EQ(channels.Items("вывод", "Всё"),
              (std::vector<std::string>{"новый лот a/1", "новый лот a/2", "новый лот c/1"}));
    EXPECT_EQ(channels.Items("вывод", "Любые"),
              (std::vector<std::string>{"новый лот a/2", "новый лот c/1"}));
    // The feed was added after a/2 appeared.
    EXPECT_EQ(channels.Items("лента", "Любые"), std::vector<std::string>{"новый лот c/1"});

    // Names are a watch's own, and a watch removed is gone with its cuts.
    const auto db = history.Open();
    WatchBook book(*db);
    Watch again = Flats();
    again.name = "Всё";
    EXPECT_THROW(book.Add(again, false), WatchError);
    EXPECT_TRUE(book.Remove("Любые"));
    EXPECT_FALSE(book.Remove("Любые"));
    EXPECT_EQ(db->QueryInt("SELECT count(*) FROM watch_deliveries WHERE channel = 'лента'"), 0);
}

// A watch's filter and thresholds come back from the store as they went in.
TEST(WatchNewsTest, AWatchIsKeptAsItWasGiven) {
    History history;
    Watch watch;
    watch.name = "Москва и Кубань";
    watch.filter.regionCodes = {"77", "23"};
    watch.filter.tradeTypes = {"OpenAuction", "PublicOffer"};
    watch.filter.from = std::chrono::year_month_day{std::chrono::year(2026), std::chrono::month(3),
                                                    std::chrono::day(1)};
    watch.filter.startPriceTo = 5000000.5;
    watch.filter.currentPriceFrom = 100;
    watch.filter.words = {"квартира", "\"Ромашка\"", "дом*"};
    watch.filter.openOnly = true;
    watch.priceBelow = 1000000;
    watch.dropPercent = 12.5;
    watch.channels = {"почта", "telegram"};
    Add(history, watch);
    const auto db = history.Open();
    const std::optional<Watch> read = WatchBook(*db).Find("Москва и Кубань");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->filter, watch.filter);
    EXPECT_EQ(read->priceBelow, watch.priceBelow);
    EXPECT_EQ(read->dropPercent, watch.dropPercent);
    EXPECT_EQ(read->channels, watch.channels);
    EXPECT_THROW(FilterFromJson("[1]"), WatchError);
    EXPECT_THROW(FilterFromJson(R"({"from":"2026-02-30"})"), WatchError);
}

}  // namespace
}  // namespace korvalot::watch
