// The trade store on real SQLite files: what goes in comes out, changes are recorded, words are
// found, open trades are picked, older stores are brought up to date.
#include <gtest/gtest.h>

#include "crawl/ResultsFile.h"
#include "crawl/fakes/TempDir.h"
#include "store/Database.h"
#include "store/Schema.h"
#include "store/StoreExport.h"
#include "store/StoredValues.h"
#include "store/TradeStore.h"
#include "support/ResultsFileReader.h"

namespace korvalot::store {
namespace {

using crawl::ResultRow;
using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;
using crawl::testing_support::WriteBytes;
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
    row.debtorName = "ООО \"Ромашка\"; склад";
    row.debtorInn = "7701234567";
    row.propertyType = "0101|0108";
    row.lotDescription = "Лот " + std::to_string(lot) + ": Квартира, 54 кв.м.\r\nг. Москва";
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

json::JsonValue Card(const std::string& type = "OpenAuction") {
    return json::Parse(R"({"tradeType":")" + type + R"("})");
}

// A store for one run, with its clock in the test's hands.
struct StoreRun {
    StoreRun(const fs::path& path, std::string separator = ".", bool refresh = false,
             std::string now = "2026-06-20T10:00:00")
        : store(path, Options(refresh, now)) {
        store.Begin({path.parent_path() / "data1.csv",
                     kUrl,
                     separator,
                     {"г. Москва (77)", "Краснодарский край (23)"}});
    }
    static StoreOptions Options(bool refresh, const std::string& now) {
        StoreOptions options;
        options.refresh = refresh;
        std::tm tm{};
        strptime(now.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
        tm.tm_isdst = -1;
        const auto when = std::chrono::system_clock::from_time_t(std::mktime(&tm));
        options.clock = [when] { return when; };
        return options;
    }
    void Put(const std::string& guid, const std::vector<ResultRow>& rows,
             const std::string& type = "OpenAuction") {
        store.TradeWritten(guid, rows.empty() ? "г. Москва" : rows.front().region, Card(type),
                           rows);
    }
    TradeStore store;
};

// Reads what a query returns, every column as text (NULL as "<null>").
std::vector<std::vector<std::string>> Query(const fs::path& path, const std::string& sql) {
    Database db(path, Database::Mode::ReadWrite);
    Statement statement(db, sql);
    std::vector<std::vector<std::string>> rows;
    while (statement.Step()) {
        std::vector<std::string> row;
        for (int c = 0; c < statement.ColumnCount(); ++c)
            row.push_back(statement.IsNull(c) ? "<null>" : std::string(statement.Text(c)));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<ResultRow> StoredRows(const fs::path& path, const TradeFilter& filter = {}) {
    const auto db = OpenStoreForReading(path, 1s);
    std::vector<ResultRow> rows;
    ForEachStoredRow(*db, filter, [&](const StoredRow& stored) { rows.push_back(stored.row); });
    return rows;
}

TEST(StoredValues, PricesAreNumbersAndDatesIsoDatesBesideTheTexts) {
    struct PriceCase {
        const char* text;
        const char* separator;
        std::optional<double> value;
    };
    const PriceCase prices[] = {
        {"1500000.5", ".", 1500000.5},  {"1500000,50", ",", 1500000.5},
        {"1500000", ",", 1500000},      {"0.01", ".", 0.01},
        {"1,5e6", ",", 1500000},        {"null", ",", std::nullopt},
        {"", ".", std::nullopt},        {"inf", ".", std::nullopt},
        {"nan", ",", std::nullopt},     {"1 500 000", ",", std::nullopt},
        {"1500000.50", ",", 1500000.5}, {"12.5руб", ".", std::nullopt},
    };
    for (const PriceCase& c : prices)
        EXPECT_EQ(PriceValue(c.text, c.separator), c.value) << c.text << " with " << c.separator;

    struct DateCase {
        const char* text;
        std::optional<std::string> iso;
    };
    const DateCase dates[] = {
        {"10.05.2023 14:30", "2023-05-10T14:30"},
        {"10.05.2023 ", "2023-05-10"},
        {"29.02.2024 00:00", "2024-02-29T00:00"},
        {"29.02.2023 10:00", std::nullopt},
        {"10.05.2023 24:00", std::nullopt},
        {"10.05.2023 14", std::nullopt},
        {"10.05.2023", std::nullopt},
        {"", std::nullopt},
        {"2023-05-10", std::nullopt},
    };
    for (const DateCase& c : dates)
        EXPECT_EQ(IsoDate(c.text), c.iso) << c.text;

    EXPECT_EQ(WithDecimalSeparator("1500000.5", ".", ","), "1500000,5");
    EXPECT_EQ(WithDecimalSeparator("1500000,5", ",", "."), "1500000.5");
    EXPECT_EQ(WithDecimalSeparator("null", ",", "."), "null");
    EXPECT_EQ(FileDateTime("2026-12-10T23:58:30"), "10.12.2026 23:58");
    EXPECT_EQ(FileDateTime(""), "");
}

// What goes in comes out: the texts exactly, the numbers and dates beside them, and an export
// that is the results file of the same rows byte for byte.
TEST(TradeStoreTest, RowsComeBackAsTheyWereHandedOverAndExportAsTheResultsFile) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    std::vector<ResultRow> all;
    {
        StoreRun run(path);
        std::vector<ResultRow> a = Rows("a1", 3);
        a[1].lotDescription = std::string(32000, 'x') + "<cut>";
        a[2].winnerName = "Иванов Иван";
        a[2].winnerInn = "771234567890";
        a[2].currentPrice = "1600000";
        std::vector<ResultRow> b = Rows("B2", 1);
        b[0].region = "Краснодарский край";
        b[0].datePublish = "10.05.2023 ";
        b[0].startPrice = "";
        run.Put("a1", a);
        run.Put("B2", b);
        all = a;
        all.insert(all.end(), b.begin(), b.end());
        const StoreCounts counts = run.store.Counts();
        EXPECT_EQ(counts.tradesStored, 2);
        EXPECT_EQ(counts.tradesNew, 2);
        EXPECT_EQ(counts.tradesChanged, 0);
    }
    // As the file shows them: its double quotes are apostrophes.
    std::vector<ResultRow> inFile = all;
    for (ResultRow& row : inFile)
        row.debtorName = "ООО 'Ромашка'; склад";
    EXPECT_EQ(StoredRows(path), inFile);

    // The column rules, as stored.
    const auto values = Query(path,
                              "SELECT t.guid, t.region_code, t.trade_type, t.date_publish_iso, "
                              "t.results_date_iso, l.start_price_value, l.final_price_value "
                              "FROM lots l JOIN trades t ON t.id = l.trade_id ORDER BY l.id");
    const std::vector<std::vector<std::string>> expected = {
        {"a1", "77", "OpenAuction", "2026-04-24T06:48", "2026-05-15T09:15", "1500000.5", "<null>"},
        {"a1", "77", "OpenAuction", "2026-04-24T06:48", "2026-05-15T09:15", "1500000.5", "<null>"},
        {"a1", "77", "OpenAuction", "2026-04-24T06:48", "2026-05-15T09:15", "1500000.5",
         "1600000.0"},
        {"B2", "23", "OpenAuction", "2023-05-10", "2026-05-15T09:15", "<null>", "<null>"},
    };
    EXPECT_EQ(values, expected);

    // The results file of these rows, written by the engine's own writer.
    {
        crawl::ResultsFile file(dir / "results.csv", kUrl);
        for (const ResultRow& row : all)
            file.WriteRow(row);
        file.Close();
    }
    const auto db = OpenStoreForReading(path, 1s);
    const ExportCounts counts = ExportRows(*db, {}, dir / "export.csv", ExportFormat::Csv, ".");
    EXPECT_EQ(counts.rows, 4);
    EXPECT_EQ(counts.trades, 2);
    EXPECT_EQ(ReadBytes(dir / "export.csv"), ReadBytes(dir / "results.csv"));

    // Another desktop's decimal separator: the prices in its form, everything else the same.
    ExportRows(*db, {}, dir / "comma.csv", ExportFormat::Csv, ",");
    const auto records =
        testing::ReadResultsFile(ReadBytes(dir / "comma.csv"), crawl::ResultsFile::kHeader);
    ASSERT_EQ(records.problem, "");
    ASSERT_EQ(records.rows.size(), 4u);
    EXPECT_EQ(records.rows[0][9], "1500000,5");
    EXPECT_EQ(records.rows[2][10], "1600000");
    EXPECT_EQ(records.rows[0][10], "null");
    EXPECT_EQ(records.rows[0][7], all[0].lotDescription);
}

// A trade harvested again: each changed value is recorded with the old and the new text, the run
// and the time; a price only written with another decimal separator is no change.
TEST(TradeStoreTest, AHarvestAgainRecordsEachChangedValue) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    {
        StoreRun run(path);
        run.Put("t1", Rows("t1", 2));
        run.Put("t2", Rows("t2", 3));
        run.Put("t3", Rows("t3", 1));
    }
    std::int64_t secondRun = 0;
    {
        StoreRun run(path, ",", false, "2026-07-01T12:00:00");
        secondRun = run.store.RunId();
        std::vector<ResultRow> t1 = Rows("t1", 2);
        t1[0].startPrice = "1500000,5";  // the same price, another separator
        t1[0].currentPrice = "1700000";
        t1[0].winnerName = "ООО Победа";
        t1[0].winnerInn = "7709876543";
        t1[1].startPrice = "1500000,5";
        for (auto& row : t1)
            row.courtName = "Девятый арбитражный апелляционный суд";
        std::vector<ResultRow> t2 = Rows("t2", 2);  // its third lot is gone
        for (auto& row : t2)
            row.startPrice = "1500000,5";
        std::vector<ResultRow> t3 = Rows("t3", 2);  // a second lot appears
        for (auto& row : t3)
            row.startPrice = "1500000,5";
        run.Put("T1", t1);  // letter case of a guid does not count
        run.Put("t2", t2);
        run.Put("t3", t3);
        const StoreCounts counts = run.store.Counts();
        EXPECT_EQ(counts.tradesStored, 3);
        EXPECT_EQ(counts.tradesNew, 0);
        EXPECT_EQ(counts.tradesChanged, 3);
        EXPECT_EQ(counts.valuesChanged, 6);
        crawl::RunSummary summary;
        EXPECT_EQ(run.store.Finish(summary),
                  "В хранилище " + path.string() +
                      " записано торгов: 3, из них новых: 0, изменилось: 3 (значений: 6)");
        EXPECT_EQ(summary.tradesStored, 3);
        EXPECT_EQ(summary.tradesChanged, 3);
    }
    const auto changes = Query(path,
                               "SELECT t.guid, c.lot_position, c.field, c.old_value, c.new_value, "
                               "c.run_id, c.changed_at FROM changes c "
                               "JOIN trades t ON t.id = c.trade_id ORDER BY c.id");
    const std::string run = std::to_string(secondRun);
    const std::string at = "2026-07-01T12:00:00";
    const std::string description3 = Row("t2", 3).lotDescription;
    const std::string description2 = Row("t3", 2).lotDescription;
    const std::vector<std::vector<std::string>> expected = {
        {"t1", "<null>", "Наименование суда", "Арбитражный суд города Москвы",
         "Девятый арбитражный апелляционный суд", run, at},
        {"t1", "0", "Итоговая цена", "null", "1700000", run, at},
        {"t1", "0", "Победитель наименование", "", "ООО Победа", run, at},
        {"t1", "0", "Победитель ИНН", "", "7709876543", run, at},
        {"t2", "2", "Лот", description3, "<null>", run, at},
        {"t3", "1", "Лот", "<null>", description2, run, at},
    };
    EXPECT_EQ(changes, expected);

    // The stored texts are the latest ones, separator included, and the times follow.
    const auto lots = Query(path,
                            "SELECT t.guid, l.position, l.start_price, l.last_changed, "
                            "t.last_changed, t.decimal_separator, t.first_seen FROM lots l "
                            "JOIN trades t ON t.id = l.trade_id ORDER BY t.id, l.position");
    const std::string first = "2026-06-20T10:00:00";
    const std::vector<std::vector<std::string>> expectedLots = {
        {"t1", "0", "1500000,5", at, at, ",", first},
        {"t1", "1", "1500000,5", "<null>", at, ",", first},
        {"t2", "0", "1500000,5", "<null>", "<null>", ",", first},
        {"t2", "1", "1500000,5", "<null>", "<null>", ",", first},
        {"t3", "0", "1500000,5", "<null>", "<null>", ",", first},
        {"t3", "1", "1500000,5", at, "<null>", ",", first},
    };
    EXPECT_EQ(lots, expectedLots);

    // "Changed since": the rows whose trade or lot changed on that day or later.
    TradeFilter since;
    since.changedSince = Day(2026, 7, 1);
    std::vector<std::pair<std::string, std::string>> changed;
    for (const ResultRow& row : StoredRows(path, since))
        changed.emplace_back(row.guid, row.lotDescription.substr(0, 9));
    const std::vector<std::pair<std::string, std::string>> expectedChanged = {
        {"t1", Row("", 1).lotDescription.substr(0, 9)},
        {"t1", Row("", 2).lotDescription.substr(0, 9)},
        {"t3", Row("", 2).lotDescription.substr(0, 9)},
    };
    EXPECT_EQ(changed, expectedChanged);
    since.changedSince = Day(2026, 7, 2);
    EXPECT_TRUE(StoredRows(path, since).empty());
}

// Words of lot descriptions and debtor names, letter case ignored, Cyrillic included; the index
// follows the texts as they change.
TEST(TradeStoreTest, WordsAreFoundWhateverTheirCase) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    {
        StoreRun run(path);
        std::vector<ResultRow> a = Rows("a", 1);
        a[0].lotDescription = "Нежилое ПОМЕЩЕНИЕ, Ёлки-Палки";
        a[0].debtorName = "ИП Соколова Юлия";
        std::vector<ResultRow> b = Rows("b", 2);
        b[0].lotDescription = "Автомобиль LADA Granta";
        b[1].lotDescription = "помещение склада";
        b[0].debtorName = b[1].debtorName = "ООО Ромашка";
        run.Put("a", a);
        run.Put("b", b);
    }
    const auto found = [&](std::vector<std::string> words) {
        TradeFilter filter;
        filter.words = std::move(words);
        std::vector<std::string> out;
        for (const ResultRow& row : StoredRows(path, filter))
            out.push_back(row.guid + ":" +
                          row.lotDescription.substr(0, row.lotDescription.find(' ')));
        return out;
    };
    const std::vector<std::string> a = {"a:Нежилое"}, b0 = {"b:Автомобиль"}, b1 = {"b:помещение"};
    EXPECT_EQ(found({"помещение"}), (std::vector<std::string>{"a:Нежилое", "b:помещение"}));
    EXPECT_EQ(found({"ПОМЕЩЕНИЕ", "склада"}), b1);
    EXPECT_EQ(found({"lada"}), b0);
    EXPECT_EQ(found({"соколова"}), a);         // the debtor's name
    EXPECT_EQ(found({"ромашка"}).size(), 2u);  // every lot of that debtor
    EXPECT_EQ(found({"ёлки"}), a);
    EXPECT_EQ(found({"помещ*", "ип"}), a);
    EXPECT_EQ(found({"помещ"}), std::vector<std::string>{});  // a whole word, not a part
    EXPECT_EQ(found({"\"", "-"}), std::vector<std::string>{});
    EXPECT_EQ(found({"\"помещение"}), (std::vector<std::string>{"a:Нежилое", "b:помещение"}));

    // A new description and a new debtor: the old words are gone, the new ones found.
    {
        StoreRun run(path, ".", false, "2026-07-01T12:00:00");
        std::vector<ResultRow> b = Rows("b", 1);
        b[0].lotDescription = "Грузовик КАМАЗ";
        b[0].debtorName = "АО Василёк";
        run.Put("b", b);
    }
    EXPECT_EQ(found({"lada"}), std::vector<std::string>{});
    EXPECT_EQ(found({"ромашка"}), std::vector<std::string>{});
    EXPECT_EQ(found({"камаз", "василёк"}), std::vector<std::string>{"b:Грузовик"});
    EXPECT_EQ(found({"помещение"}), a);

    // Lots stored and changed again before anyone looked for words: only their last texts count.
    {
        StoreRun run(path, ".", false, "2026-07-02T12:00:00");
        std::vector<ResultRow> c = Rows("c", 2);
        c[0].lotDescription = "Гараж кирпичный";
        c[1].lotDescription = "Сарай";
        run.Put("c", c);
    }
    {
        StoreRun run(path, ".", false, "2026-07-03T12:00:00");
        std::vector<ResultRow> c = Rows("c", 1);
        c[0].lotDescription = "Гараж металлический";
        run.Put("c", c);
    }
    EXPECT_EQ(found({"кирпичный"}), std::vector<std::string>{});
    EXPECT_EQ(found({"сарай"}), std::vector<std::string>{});
    EXPECT_EQ(found({"гараж"}), std::vector<std::string>{"c:Гараж"});
    EXPECT_EQ(Query(path, "INSERT INTO lot_words(lot_words) VALUES ('integrity-check')").size(),
              0u);
}

// Words as a Russian reader types them: ё is е, letter case does not count (Cyrillic included),
// a word ending in "*" stands for every word it begins. The same answers whether the words index
// holds the lots yet (a run that has ended) or not (a run still writing, read by another
// process), and after a refresh only under the new text.
TEST(TradeStoreTest, WordsAreFoundAsARussianReaderTypesThem) {
    const struct {
        const char* name;
        std::vector<std::string> words;
        std::vector<std::string> lots;  // guids, in the order stored
    } cases[] = {
        {"е finds ё", {"елка"}, {"yo"}},        {"ё finds е", {"ёлка"}, {"yo"}},
        {"capital Ё", {"ЁЛКА"}, {"yo"}},        {"mixed case", {"еЛкА"}, {"yo"}},
        {"debtor with ё", {"семенов"}, {"yo"}}, {"debtor without", {"семен"}, {"plain"}},
        {"prefix with ё", {"ёл*"}, {"yo"}},     {"prefix any case", {"ГАРАЖ*"}, {"plain"}},
        {"Latin case", {"kamaz"}, {"plain"}},   {"all words required", {"елка", "гаражный"}, {}},
        {"a part is not a word", {"лка"}, {}},  {"phrase in one term", {"новогодняя-ёлка"}, {"yo"}},
    };
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    const auto found = [&](const std::vector<std::string>& words) {
        TradeFilter filter;
        filter.words = words;
        std::vector<std::string> out;
        for (const ResultRow& row : StoredRows(path, filter))
            out.push_back(row.guid);
        return out;
    };
    const auto check = [&](const char* state) {
        SCOPED_TRACE(state);
        for (const auto& c : cases)
            EXPECT_EQ(found(c.words), c.lots) << c.name;
    };
    TradeStore store(path, StoreRun::Options(false, "2026-06-20T10:00:00"));
    store.Begin({dir / "data1.csv", kUrl, ".", {"г. Москва (77)"}});
    std::vector<ResultRow> yo = Rows("yo", 1);
    yo[0].lotDescription = "Новогодняя Ёлка искусственная";
    yo[0].debtorName = "ИП Семёнов";
    std::vector<ResultRow> plain = Rows("plain", 1);
    plain[0].lotDescription = "Гаражный бокс, KAMAZ";
    plain[0].debtorName = "ООО СЕМЕН И СЫН";
    store.TradeWritten("yo", "г. Москва", Card(), yo);
    store.TradeWritten("plain", "г. Москва", Card(), plain);
    check("not yet indexed");
    crawl::RunSummary summary;
    store.Finish(summary);
    EXPECT_EQ(Query(path, "SELECT up_to FROM words_indexed")[0][0],
              Query(path, "SELECT max(id) FROM trades")[0][0]);
    check("indexed at the run's end");

    // A refresh changes the description: found under the new text only, before and after the
    // index takes the change in.
    yo[0].lotDescription = "Сосна пушистая";
    TradeStore refresh(path, StoreRun::Options(true, "2026-07-01T10:00:00"));
    refresh.Begin({dir / "data2.csv", kUrl, ".", {"г. Москва (77)"}});
    refresh.TradeWritten("yo", "г. Москва", Card(), yo);
    EXPECT_EQ(found({"елка"}), std::vector<std::string>{});
    EXPECT_EQ(found({"СОСНА"}), std::vector<std::string>{"yo"});
}

// Dates select as a harvest does: from and to by the trade date the register searches by (the
// card's "tradeDate"), the announcement date under its own name, first seen and changed since by
// the store's own days.
TEST(TradeStoreTest, DatesSelectTheTradesAHarvestOfThoseDaysAsksFor) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    const auto put = [&](const std::string& now, const std::string& guid,
                         const std::string& tradeDate, const std::string& published) {
        StoreRun run(path, ".", false, now);
        std::vector<ResultRow> rows = Rows(guid, 1);
        rows[0].datePublish = published;
        rows[0].resultsDate = "";
        run.store.TradeWritten(
            guid, "г. Москва",
            json::Parse(R"({"tradeType":"OpenAuction","tradeDate":")" + tradeDate + R"("})"), rows);
    };
    // Announced weeks before its trade: the two dates select differently.
    put("2026-03-01T08:00:00", "march", "2026-03-10T10:00:00", "10.02.2026 09:00");
    put("2026-03-20T08:00:00", "april", "2026-04-01T00:00:00", "10.03.2026 09:00");
    put("2026-04-02T08:00:00", "nodate", "", "01.04.2026 09:00");
    const auto with = [](auto set) {
        TradeFilter filter;
        set(filter);
        return filter;
    };
    const struct {
        const char* name;
        TradeFilter filter;
        std::vector<std::string> guids;
    } cases[] = {
        {"trade date, March",
         SelectionFilter({}, {}, Day(2026, 3, 1), Day(2026, 3, 31)),
         {"march"}},
        {"trade date, one day",
         SelectionFilter({}, {}, Day(2026, 4, 1), Day(2026, 4, 1)),
         {"april"}},
        {"trade date from", SelectionFilter({}, {}, Day(2026, 3, 11), std::nullopt), {"april"}},
        {"announced in March",
         with([](TradeFilter& f) {
             f.announcedFrom = Day(2026, 3, 1);
             f.announcedTo = Day(2026, 3, 31);
         }),
         {"april"}},
        {"announced to", with([](TradeFilter& f) { f.announcedTo = Day(2026, 2, 10); }), {"march"}},
        {"first seen since",
         with([](TradeFilter& f) { f.newSince = Day(2026, 3, 20); }),
         {"april", "nodate"}},
        {"nothing restricts", TradeFilter{}, {"march", "april", "nodate"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> guids;
        for (const ResultRow& row : StoredRows(path, c.filter))
            guids.push_back(row.guid);
        EXPECT_EQ(guids, c.guids) << c.name;
        if (c.filter.newSince)
            continue;  // a refresh selects trades, not lots
        // A refresh of the same selection takes the same open trades.
        std::vector<std::string> open;
        StoreRun refresh(path, ".", true, "2026-04-05T08:00:00");
        for (const auto& trade : refresh.store.OpenTrades(c.filter, Day(2026, 4, 5), 60))
            open.push_back(trade.guid);
        EXPECT_EQ(open, c.guids) << c.name;
    }
}

// A store an earlier version left between its migration's commit and its mark (its version set,
// no application id) is ours: it is marked and used. The same with another program's table
// beside ours is not ours. A store made now has its mark with its first commit.
TEST(TradeStoreTest, AStoreLeftWithoutItsMarkIsRepaired) {
    TempDir dir;
    const auto leftByTheOldOrder = [&](const fs::path& path, bool foreignTable) {
        Database db(path, Database::Mode::ReadWriteCreate);
        db.Execute("PRAGMA journal_mode = WAL");
        Migrate(db, 2);
        db.Execute("PRAGMA application_id = 0");
        if (foreignTable)
            db.Execute("CREATE TABLE bookmarks (url TEXT)");
    };
    const fs::path ours = dir / "ours.sqlite";
    leftByTheOldOrder(ours, false);
    { StoreRun run(ours); }
    EXPECT_EQ(Query(ours, "PRAGMA application_id")[0][0], std::to_string(kApplicationId));
    EXPECT_EQ(Query(ours, "PRAGMA user_version")[0][0], std::to_string(kSchemaVersion));

    const fs::path foreign = dir / "foreign.sqlite";
    leftByTheOldOrder(foreign, true);
    try {
        TradeStore store(foreign);
        ADD_FAILURE() << "opened";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.What(), StoreError::Problem::NotADatabase);
    }
    EXPECT_EQ(Query(foreign, "PRAGMA application_id")[0][0], "0");

    const fs::path fresh = dir / "fresh.sqlite";
    {
        Database db(fresh, Database::Mode::ReadWriteCreate);
        Migrate(db);
    }
    EXPECT_EQ(Query(fresh, "PRAGMA application_id")[0][0], std::to_string(kApplicationId));
}

// A damaged page is found when the store is opened, before anything is written or asked of the
// register; the file stays as it was and nothing is made beside it.
TEST(TradeStoreTest, ADamagedStoreIsRefusedAtOnce) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    {
        StoreRun run(path);
        for (int k = 0; k < 40; ++k)
            run.Put("g" + std::to_string(k), Rows("g" + std::to_string(k), 5));
    }
    const auto pageSize = std::stoll(Query(path, "PRAGMA page_size")[0][0]);
    const auto root =
        std::stoll(Query(path, "SELECT rootpage FROM sqlite_schema WHERE name = 'lots'")[0][0]);
    std::string bytes = ReadBytes(path);
    ASSERT_FALSE(fs::exists(path.string() + "-wal"));
    // Random bytes over the lots table's first page, past its header.
    std::uint32_t seed = 12345;
    for (std::int64_t k = (root - 1) * pageSize + 16; k < root * pageSize; ++k) {
        seed = seed * 1103515245u + 12345u;
        bytes[static_cast<std::size_t>(k)] = static_cast<char>(seed >> 24);
    }
    WriteBytes(path, bytes);
    try {
        TradeStore store(path);
        ADD_FAILURE() << "opened";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.What(), StoreError::Problem::Damaged);
        EXPECT_EQ(std::string(e.what()), "хранилище " + path.string() + ": база данных повреждена");
    }
    EXPECT_EQ(ReadBytes(path), bytes);
    EXPECT_FALSE(fs::exists(path.string() + "-wal"));
    EXPECT_FALSE(fs::exists(path.string() + "-shm"));
}

// The trades a refresh fetches: a lot without a final price or a winner, and a results date that
// is missing, to come, or recent.
TEST(TradeStoreTest, OpenTradesAreThoseWhoseOutcomeIsNotKnown) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    struct Case {
        const char* guid;
        const char* resultsDate;
        const char* finalPrice;
        const char* winner;
        bool open;
    };
    // Today is 2026-07-01; 60 days back is 2026-05-02.
    const Case cases[] = {
        {"no-price-recent", "15.06.2026 10:00", "null", "ООО А", true},
        {"no-winner-recent", "15.06.2026 10:00", "1000", "", true},
        {"sold-recent", "15.06.2026 10:00", "1000", "ООО А", false},
        {"no-winner-future", "20.07.2026 10:00", "1000", "", true},
        {"no-winner-no-date", "", "1000", "", true},
        {"no-winner-bad-date", "15.06.2026 1", "1000", "", true},
        {"no-winner-60-days", "02.05.2026 00:00", "1000", "", true},
        {"no-winner-61-days", "01.05.2026 23:59", "1000", "", false},
        {"no-price-old", "01.01.2026 10:00", "", "ООО А", false},
    };
    std::vector<std::string> expected;
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
            if (c.open)
                expected.push_back(c.guid);
        }
        run.Put("no-lots", {});
        std::vector<ResultRow> other = Rows("other-region-type", 1);
        other[0].region = "Краснодарский край";
        run.Put("other-region-type", other, "PublicOffer");
        std::vector<ResultRow> sold = Rows("all-sold", 1);
        sold[0].currentPrice = "1";
        sold[0].winnerInn = "7701234567";
        run.Put("all-sold", sold);
    }
    std::vector<std::string> open;
    {
        StoreRun run(path, ".", true);
        TradeFilter filter = SelectionFilter({"077"}, {0}, std::nullopt, std::nullopt);
        for (const auto& trade : run.store.OpenTrades(filter, Day(2026, 7, 1), 60)) {
            open.push_back(trade.guid);
            EXPECT_EQ(trade.regionName, "г. Москва");
        }
        // Every region and type; trade dates choose as well (a card without "tradeDate" has
        // its trade's start, the results date, for it).
        const auto everywhere = run.store.OpenTrades(
            SelectionFilter({}, {0, 1, 2, 3, 4, 5}, std::nullopt, std::nullopt), Day(2026, 7, 1),
            60);
        EXPECT_EQ(everywhere.size(), expected.size() + 1);
        EXPECT_EQ(everywhere.back().guid, "other-region-type");
        EXPECT_EQ(everywhere.back().regionName, "Краснодарский край");
        EXPECT_EQ(run.store
                      .OpenTrades(SelectionFilter({}, {}, Day(2026, 7, 21), std::nullopt),
                                  Day(2026, 7, 1), 60)
                      .size(),
                  0u);
        std::vector<std::string> onTheDay;
        for (const auto& trade : run.store.OpenTrades(
                 SelectionFilter({}, {}, Day(2026, 6, 15), Day(2026, 6, 15)), Day(2026, 7, 1), 60))
            onTheDay.push_back(trade.guid);
        EXPECT_EQ(onTheDay, (std::vector<std::string>{"no-price-recent", "no-winner-recent"}));
    }
    EXPECT_EQ(open, expected);
}

// Every trade is committed as it comes, so that the store's write lock is never held while the
// run waits for the register. A trade that finds another process writing the store waits, with
// those after it, and is kept in its order once the lock is free: another writer is no loss.
TEST(TradeStoreTest, EachTradeIsKeptAtOnceAndWaitsOutAnotherWriter) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    StoreOptions options = StoreRun::Options(false, "2026-06-20T10:00:00");
    options.busyTimeout = 50ms;
    TradeStore store(path, options);
    store.Begin({dir / "data1.csv", kUrl, ".", {"г. Москва (77)"}});
    const auto stored = [&] { return Query(path, "SELECT guid FROM trades ORDER BY id"); };
    store.TradeWritten("first", "г. Москва", Card(), Rows("first", 2));
    EXPECT_EQ(stored(), (std::vector<std::vector<std::string>>{{"first"}}));
    {
        Database other(path, Database::Mode::ReadWrite);
        Transaction holding(other);
        EXPECT_FALSE(store.TradeWritten("second", "г. Москва", Card(), Rows("second", 1)));
        EXPECT_FALSE(store.TradeWritten("third", "г. Москва", Card(), Rows("third", 1)));
        EXPECT_FALSE(store.CommitBatch());
        // Readers do not wait for a writer.
        EXPECT_EQ(StoredRows(path).size(), 2u);
        EXPECT_EQ(store.Counts().tradesStored, 1);
    }
    store.TradeWritten("fourth", "г. Москва", Card(), Rows("fourth", 1));
    EXPECT_EQ(stored(), (std::vector<std::vector<std::string>>{
                            {"first"}, {"second"}, {"third"}, {"fourth"}}));
    EXPECT_EQ(Query(path, "SELECT trades_stored FROM runs")[0][0], "4");
}

// skip.txt names a trade only once the store's commit of it is on the disk: the store says so
// (true) after a synced commit, which comes at the latest with every kSyncTrades-th trade, and
// then of every trade before it.
TEST(TradeStoreTest, ATradeIsSaidKeptOnceItsCommitIsOnTheDisk) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    TradeStore store(path, StoreRun::Options(false, "2026-06-20T10:00:00"));
    store.Begin({dir / "data1.csv", kUrl, ".", {"г. Москва (77)"}});
    int sinceKept = 0;
    for (int k = 0; k < 3 * TradeStore::kSyncTrades; ++k) {
        const std::string guid = "g" + std::to_string(k);
        ++sinceKept;
        if (store.TradeWritten(guid, "г. Москва", Card(), Rows(guid, 1)))
            sinceKept = 0;
        ASSERT_LT(sinceKept, TradeStore::kSyncTrades) << k;
    }
    // The run's end takes the rest to the disk.
    crawl::RunSummary summary;
    store.Finish(summary);
    EXPECT_EQ(summary.tradesStored, 3 * TradeStore::kSyncTrades);
}

// A store another process keeps locked past the run's end: the end waits for it a while, then
// says how many trades it could not keep; those committed before stay, and so do their counts.
TEST(TradeStoreTest, TheEndOfARunWaitsForTheLockThenSaysWhatWasNotKept) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    StoreOptions options;
    options.busyTimeout = 20ms;
    options.finishWait = 200ms;
    TradeStore store(path, options);
    store.Begin({dir / "data1.csv", kUrl, ".", {"г. Москва (77)"}});
    store.TradeWritten("kept", "г. Москва", Card(), Rows("kept", 1));
    Database other(path, Database::Mode::ReadWrite);
    Transaction holding(other);
    EXPECT_FALSE(store.TradeWritten("held", "г. Москва", Card(), Rows("held", 1)));
    crawl::RunSummary summary;
    try {
        store.Finish(summary);
        ADD_FAILURE() << "finished";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.What(), StoreError::Problem::Locked);
        EXPECT_NE(std::string(e.what()).find("не записано торгов: 1"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(store.Counts().tradesStored, 1);
}

// A trade without lots has no row, but skip.txt names it: the store keeps it, with its card's
// own values, and exports nothing for it.
TEST(TradeStoreTest, ATradeWithoutLotsIsKeptWithoutRows) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    {
        StoreRun run(path);
        run.store.TradeWritten(
            "empty", "г. Москва",
            json::Parse(R"({"tradeType":"PublicOffer","message":{"number":"77",)"
                        R"("datePublish":"2026-04-24T06:48:00+03:00"},"debtor":{"name":"ООО Я",)"
                        R"("inn":"7701"}})"),
            {});
    }
    const auto trades = Query(path,
                              "SELECT guid, trade_type, number, date_publish, debtor_name, "
                              "debtor_inn, (SELECT count(*) FROM lots) FROM trades");
    const std::vector<std::vector<std::string>> expected = {
        {"empty", "PublicOffer", "77", "24.04.2026 06:48", "ООО Я", "7701", "0"}};
    EXPECT_EQ(trades, expected);
    EXPECT_TRUE(StoredRows(path).empty());
}

// A store of the first version, before the words were indexed, is brought up to date when it is
// opened: its rows stay, and their words are found.
TEST(TradeStoreTest, AStoreOfAnEarlierVersionIsBroughtUpToDate) {
    TempDir dir;
    const fs::path path = dir / "korvalot.sqlite";
    {
        Database db(path, Database::Mode::ReadWriteCreate);
        db.Execute("PRAGMA journal_mode = WAL");
        Migrate(db, 1);
        db.Execute("PRAGMA application_id = 1263946836");
        db.Execute(
            "INSERT INTO runs(id, program, kind, started_at) VALUES (1, 'korvalot', 'harvest', "
            "'2026-01-01T00:00:00');"
            "INSERT INTO trades VALUES (1, 'g', 'https://register.test', 'OpenAuction', "
            "'г. Москва', '77', '1', '01.01.2026 10:00', '2026-01-01T10:00', 'ООО Старое', '1', "
            "'Суд', '', NULL, '.', '2026-01-01T00:00:00', 1, '2026-01-01T00:00:00', 1, NULL);"
            "INSERT INTO lots VALUES (1048576, 1, 0, '', 'Старинный комод', '10', 10, 'null', "
            "NULL, '', "
            "'', '2026-01-01T00:00:00', NULL);");
        EXPECT_EQ(SchemaVersion(db), 1);
    }
    { StoreRun run(path); }
    Database db(path, Database::Mode::ReadWrite);
    EXPECT_EQ(SchemaVersion(db), kSchemaVersion);
    TradeFilter filter;
    filter.words = {"КОМОД"};
    ASSERT_EQ(StoredRows(path, filter).size(), 1u);
    EXPECT_EQ(StoredRows(path, filter)[0].debtorName, "ООО Старое");
}

// Files that are not this program's stores are refused as they are, and a store that could not
// be made leaves nothing behind.
TEST(TradeStoreTest, FilesThatAreNotStoresAreLeftAlone) {
    TempDir dir;
    using Problem = StoreError::Problem;
    // Another program's SQLite database.
    const fs::path other = dir / "other.sqlite";
    {
        Database db(other, Database::Mode::ReadWriteCreate);
        db.Execute("CREATE TABLE bookmarks (url TEXT)");
    }
    const std::string otherBytes = ReadBytes(other);
    const fs::path text = dir / "notes.sqlite";
    WriteBytes(text, std::string(5000, 'x'));
    const fs::path newer = dir / "newer.sqlite";
    {
        Database db(newer, Database::Mode::ReadWriteCreate);
        db.Execute("PRAGMA user_version = 99");
    }
    const std::string newerBytes = ReadBytes(newer);
    const struct {
        fs::path path;
        Problem problem;
        std::string says;
    } cases[] = {
        {other, Problem::NotADatabase, "это база данных другой программы"},
        {text, Problem::NotADatabase, "это не база данных SQLite"},
        {newer, Problem::NewerSchema,
         "записано более новой версией программы (версия схемы 99, эта программа знает "
         "версии до " +
             std::to_string(kSchemaVersion) + ")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.string());
        const std::string before = ReadBytes(c.path);
        for (int reading = 0; reading < 2; ++reading) {
            try {
                if (reading)
                    OpenStoreForReading(c.path, 1s);
                else
                    TradeStore opened(c.path);
                ADD_FAILURE() << "opened";
            } catch (const StoreError& e) {
                EXPECT_EQ(e.What(), c.problem);
                EXPECT_EQ(std::string(e.what()), "хранилище " + c.path.string() + ": " + c.says);
            }
            EXPECT_EQ(ReadBytes(c.path), before);
        }
    }
    EXPECT_EQ(ReadBytes(other), otherBytes);
    EXPECT_EQ(ReadBytes(newer), newerBytes);

    // A folder that cannot be written: no store, and no file left.
    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    if (::geteuid() != 0) {
        EXPECT_THROW(TradeStore(dir / "locked" / "korvalot.sqlite"), StoreError);
        EXPECT_TRUE(fs::is_empty(dir / "locked"));
    }
    EXPECT_THROW(OpenStoreForReading(dir / "missing.sqlite", 1s), StoreError);
    EXPECT_FALSE(fs::exists(dir / "missing.sqlite"));
}

}  // namespace
}  // namespace korvalot::store
