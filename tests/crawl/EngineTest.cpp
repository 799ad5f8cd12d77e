#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "crawl/PhaseLoop.h"
#include "crawl/ResultsFile.h"
#include "crawl/fakes/FakeRegister.h"
#include "crawl/fakes/RecordingReports.h"
#include "crawl/fakes/TempDir.h"
#include "crawl/uScraper.h"
#include "util/Platform.h"

namespace korvalot::crawl {
namespace {

using namespace std::chrono_literals;
using testing_support::BookTrade;
using testing_support::FakeRegister;
using testing_support::ReadBytes;
using testing_support::RecordingReports;
using testing_support::Reply;
using testing_support::Report;
using testing_support::TempDir;
using testing_support::TradeBook;

const std::string kBase = "https://reg.test";
constexpr std::int32_t kTick = 4242;

std::string Search(const std::string& type, const std::string& region, const std::string& from,
                   const std::string& to) {
    return kBase + "/backend/biddings?limit=50&offset=0&tradeType=" + type +
           "&regionCode=" + region + "&tradeStartDate=" + from +
           "T00%3A00%3A00&tradeEndDate=" + to + "T23%3A59%3A59";
}

std::string Page(const std::vector<std::string>& guids, long long found) {
    std::string body = "{\"found\":" + std::to_string(found) + ",\"pageData\":[";
    for (std::size_t k = 0; k < guids.size(); ++k) {
        body += (k ? "," : "") + std::string("{\"guid\":\"") + guids[k] + "\"}";
    }
    return body + "]}";
}

// A first page's address as its further pages begin.
std::string RemoveOffset(const std::string& job) {
    const std::string marker = "&offset=0";
    const auto at = job.find(marker);
    return job.substr(0, at) + job.substr(at + marker.size());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find("\r\n", start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    return out;
}

class EngineTest : public testing::Test {
protected:
    void SetUp() override {
        reports.inputs.regionItems = {"Москва (77)"};
        reports.inputs.tradeTypePositions = {0};
        reports.inputs.dateFrom = std::chrono::year_month_day{
            std::chrono::year(2023), std::chrono::January, std::chrono::day(1)};
        reports.inputs.dateTo = std::chrono::year_month_day{
            std::chrono::year(2023), std::chrono::January, std::chrono::day(31)};
        reports.inputs.regional.decimalSeparator = ",";
    }

    // Fast timings unless the test is about them.
    ScraperEnvironment Environment(const std::shared_ptr<FakeRegister>& reg) {
        ScraperEnvironment env;
        env.transport = reg->Factory();
        env.executableDir = exeDir.path();
        env.guidsFile = workDir / "guids.txt";
        env.tickCount = [] { return kTick; };
        env.today = [] {
            return std::chrono::year_month_day{std::chrono::year(2026), std::chrono::February,
                                               std::chrono::day(3)};
        };
        env.openDocument = [this](const std::filesystem::path& p) {
            std::lock_guard lock(openedMutex);
            opened.push_back(p);
        };
        env.mutexName = "Global\\KorvalotTest";
        env.timings = {2ms, 1ms};
        env.timings.errorPause = 20ms;
        return env;
    }

    std::shared_ptr<TScraper> Start(const std::shared_ptr<FakeRegister>& reg,
                                    std::optional<ScraperEnvironment> env = {}, int limit = 4) {
        auto run = TScraper::Create(reports, kBase, env ? *env : Environment(reg));
        run->Limit = limit;
        run->Start();
        return run;
    }

    void Finish(const std::shared_ptr<TScraper>& run, const std::shared_ptr<FakeRegister>& reg) {
        ASSERT_TRUE(run->WaitUntilEnded(120s));
        EXPECT_FALSE(run->IsLive());
        reg->Release();
        EXPECT_TRUE(reg->WaitUntilNoTransport(60s));
    }

    std::filesystem::path ResultsPath() const { return exeDir / ResultsFile::FileName(kTick); }
    std::vector<std::string> ResultLines() const { return Lines(ReadBytes(ResultsPath())); }
    std::vector<std::filesystem::path> Opened() {
        std::lock_guard lock(openedMutex);
        return opened;
    }

    TempDir exeDir;
    TempDir workDir;
    RecordingReports reports;
    std::mutex openedMutex;
    std::vector<std::filesystem::path> opened;
};

// The expected line of one lot of a TradeBook trade.
std::string BookLine(const BookTrade& t, const std::string& regionName, int lot) {
    ResultRow r;
    r.guid = t.guid;
    r.region = regionName;
    r.number = "N-" + t.guid;
    r.datePublish =
        t.date.substr(8, 2) + "." + t.date.substr(5, 2) + "." + t.date.substr(0, 4) + " 10:15";
    r.debtorName = "Должник \"" + t.guid + "\"";
    r.debtorInn = "7700";
    r.propertyType = "c" + std::to_string(lot);
    r.lotDescription = TradeBook::LotObject(t.guid, lot);
    r.courtName = "Суд " + t.region;
    r.startPrice = std::to_string(t.price) + ",25";
    r.currentPrice = "null";
    r.resultsDate =
        t.date.substr(8, 2) + "." + t.date.substr(5, 2) + "." + t.date.substr(0, 4) + " 09:00";
    std::string line = ResultsFile::FormatLine(kBase, r);
    line.resize(line.size() - 2);
    return line;
}

TEST_F(EngineTest, ACompleteRunWritesEveryLotOfEveryNewTradeOnce) {
    TradeBook book(kBase);
    // 120 trades in one query: three pages.
    for (int k = 0; k < 120; ++k) {
        book.Add({"m" + std::to_string(k), "77", "OpenAuction",
                  "2023-01-" + std::string(k % 28 < 9 ? "0" : "") + std::to_string(k % 28 + 1),
                  1000 + k, k % 3});
    }
    book.Add({"big", "77", "PublicOffer", "2023-01-05", 5, 120});  // three pages of lots
    book.Add({"DUP", "77", "PublicOffer", "2023-01-06", 5, 1});
    book.Add({"dup", "14", "OpenAuction", "2023-01-06", 5, 1});  // the same trade again
    book.Add({"y1", "14", "OpenAuction", "2023-01-07", 7, 2});
    book.Add({"skipme", "14", "PublicOffer", "2023-01-08", 7, 1});
    book.Add({"blank", "14", "PublicOffer", "2023-01-09", 7, 1});
    book.Add({"late", "77", "OpenAuction", "2023-02-01", 7, 1});  // outside the dates
    auto reg = FakeRegister::Create(book.Script());
    testing_support::WriteBytes(exeDir / "skip.txt", std::string("\xEF\xBB\xBF") + kBase +
                                                         "/BIDDINGS/SKIPME\r\n" + kBase +
                                                         "/biddings/blank \r\n");
    reports.inputs.regionItems = {"Москва (77)", "Республика Саха (Якутия) (14)"};
    reports.inputs.tradeTypePositions = {0, 2};
    // One worker at a time makes the order in which trades are met, and so which spelling
    // and region of the repeated trade wins, certain.
    auto run = Start(reg, {}, 1);
    Finish(run, reg);

    // Reports: start, inputs, first line, count 0 ... ok, opening, progress 0, end.
    const auto all = reports.Reports();
    ASSERT_GE(all.size(), 8u);
    EXPECT_EQ(all[0].kind, Report::UpdateRunUi);
    EXPECT_TRUE(all[0].hourGlass);
    EXPECT_EQ(all[1].kind, Report::ReadRunInputs);
    EXPECT_EQ(all[2].kind, Report::ShowLogMessage);
    EXPECT_EQ(all[2].text, "Начинаем работу...");
    EXPECT_EQ(all[3].kind, Report::ShowFoundCount);
    EXPECT_EQ(all[3].found, 0);
    // ... then the summary, which counts what the run did: 4 queries and two further pages, 126
    // trades reported, "dup" met twice, "skipme" skipped, 124 cards of 244 lots.
    const auto n = all.size();
    EXPECT_EQ(all[n - 8].kind, Report::HandleRunResult);
    EXPECT_EQ(all[n - 8].text, "ok");
    EXPECT_EQ(all[n - 7].text, "Открываем файл с результатами");
    EXPECT_EQ(all[n - 6].kind, Report::ShowProgress);
    EXPECT_EQ(all[n - 6].position, 0);
    EXPECT_EQ(all[n - 5].text, "Итоги: работа завершена");
    EXPECT_EQ(all[n - 4].text,
              "Поисковых запросов: 6, не удалось: 0; реестр сообщил о торгах: 126; найдено "
              "торгов: 125; пропущено по skip.txt: 1");
    EXPECT_EQ(all[n - 3].text,
              "Карточек получено: 124, не удалось получить: 0; строк записано: 244; торгов не "
              "достать ни одним запросом: 0");
    EXPECT_TRUE(all[n - 2].text.starts_with("Время работы: ")) << all[n - 2].text;
    EXPECT_EQ(all[n - 1].kind, Report::UpdateRunUi);
    EXPECT_FALSE(all[n - 1].hourGlass);
    EXPECT_EQ(reports.Results(), (std::vector<std::string>{"ok"}));
    const RunSummary summary = run->Summary();
    EXPECT_EQ(summary.end, RunSummary::End::Finished);
    EXPECT_EQ(summary.queriesAsked, 6);
    EXPECT_EQ(summary.tradesReported, 126);
    EXPECT_EQ(summary.tradesFound, 125);
    EXPECT_EQ(summary.skipped, 1);
    EXPECT_EQ(summary.cardsFetched, 124);
    EXPECT_EQ(summary.rowsWritten, 244);
    EXPECT_TRUE(summary.Complete());

    // Each phase's bar counts the jobs done against every job known so far: the search phase's
    // total grows from the four first queries as further pages come, and neither bar is full
    // before its phase's last job is done. The entry skipped by skip.txt counts as done. The
    // return to zero at a phase's end is left out.
    std::vector<std::vector<std::pair<int, int>>> phases(1);
    for (const Report& r : all) {
        if (r.kind == Report::ShowLogMessage && (r.text.starts_with("Найдено торгов: ") ||
                                                 r.text.starts_with("Данные будут записываться")))
            phases.emplace_back();
        else if (r.kind == Report::ShowProgress && (r.position > 0 || phases.back().empty()))
            phases.back().emplace_back(r.position, r.max);
    }
    ASSERT_EQ(phases.size(), 3u);
    const auto& search = phases[0];
    const auto& cards = phases[2];
    ASSERT_GE(search.size(), 2u);
    EXPECT_EQ(search.front(), std::make_pair(0, 4));
    EXPECT_EQ(search.back(), std::make_pair(6, 6));
    ASSERT_GE(cards.size(), 2u);
    EXPECT_EQ(cards.front(), std::make_pair(0, 125));
    EXPECT_EQ(cards.back(), std::make_pair(125, 125));
    for (const auto* phase : {&search, &cards}) {
        for (std::size_t k = 0; k + 1 < phase->size(); ++k) {
            EXPECT_LT((*phase)[k].first, (*phase)[k].second) << k;
            EXPECT_LE((*phase)[k].first, (*phase)[k + 1].first) << k;
            EXPECT_LE((*phase)[k].second, (*phase)[k + 1].second) << k;
        }
    }

    // The four first queries, regions outermost, with the region's code from its last
    // parentheses.
    const auto calls = reg->Calls();
    const std::vector<std::string> first(calls.begin(), calls.begin() + 4);
    EXPECT_EQ(first,
              (std::vector<std::string>{Search("OpenAuction", "77", "2023-01-01", "2023-01-31"),
                                        Search("PublicOffer", "77", "2023-01-01", "2023-01-31"),
                                        Search("OpenAuction", "14", "2023-01-01", "2023-01-31"),
                                        Search("PublicOffer", "14", "2023-01-01", "2023-01-31")}));
    EXPECT_TRUE(reports.LogContains(Search("OpenAuction", "77", "2023-01-01", "2023-01-31") +
                                    "\r\nНашлось 120 торгов"));

    // guids.txt: every new trade once, "dup" only under its first spelling.
    std::set<std::string> expectedGuids = {"big", "DUP", "y1", "skipme", "blank"};
    for (int k = 0; k < 120; ++k)
        expectedGuids.insert("m" + std::to_string(k));
    const auto guidLines = Lines(ReadBytes(workDir / "guids.txt"));
    EXPECT_EQ(std::set<std::string>(guidLines.begin(), guidLines.end()), expectedGuids);
    EXPECT_EQ(guidLines.size(), expectedGuids.size());
    EXPECT_TRUE(reports.LogContains("Найдено торгов: " + std::to_string(expectedGuids.size())));
    int lastFound = -1;
    for (const auto& r : all) {
        if (r.kind == Report::ShowFoundCount) {
            EXPECT_GE(r.found, lastFound);
            lastFound = r.found;
        }
    }
    EXPECT_EQ(lastFound, static_cast<int>(expectedGuids.size()));

    // The results file: one line per lot, trades in any order, lots in order within a trade.
    std::multiset<std::string> expected;
    std::map<std::string, std::vector<std::string>> byTrade;
    for (const auto& t : book.Trades()) {
        if (!expectedGuids.contains(t.guid) || t.guid == "skipme")
            continue;
        const std::string name = t.region == "77" ? "Москва" : "Республика Саха (Якутия)";
        for (int lot = 0; lot < t.lots; ++lot) {
            expected.insert(BookLine(t, name, lot));
            byTrade[t.guid].push_back(BookLine(t, name, lot));
        }
    }
    auto lines = ResultLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "\xEF\xBB\xBF" + std::string(ResultsFile::kHeader));
    lines.erase(lines.begin());
    EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()), expected);
    for (const auto& [guid, tradeLines] : byTrade) {
        auto from = std::find(lines.begin(), lines.end(), tradeLines.front());
        ASSERT_NE(from, lines.end());
        EXPECT_TRUE(std::equal(tradeLines.begin(), tradeLines.end(), from)) << guid;
    }
    // The skipped trade was never fetched; the blank-suffixed line did not match.
    EXPECT_EQ(reg->CallsTo(kBase + "/backend/biddings/skipme"), 0);
    EXPECT_EQ(reg->CallsTo(kBase + "/backend/biddings/blank"), 1);
    EXPECT_EQ(Opened(), (std::vector<std::filesystem::path>{ResultsPath()}));
    EXPECT_TRUE(reports.LogContains("Данные будут записываться в файл " + ResultsPath().string()));
}

TEST_F(EngineTest, WithoutDatesTheQueriesRunFrom2010ToToday) {
    auto reg = FakeRegister::Create([](const std::string&) { return Reply{200, Page({}, 0)}; });
    reports.inputs.dateFrom.reset();
    reports.inputs.dateTo.reset();
    auto run = Start(reg);
    Finish(run, reg);
    EXPECT_EQ(reg->Calls(),
              (std::vector<std::string>{Search("OpenAuction", "77", "2010-01-01", "2026-02-03")}));
}

TEST_F(EngineTest, ARunWithoutNewTradesWritesAnEmptyGuidsFileAndNoResults) {
    testing_support::WriteBytes(workDir / "guids.txt", "old\r\n");
    auto reg = FakeRegister::Create([](const std::string&) { return Reply{200, Page({}, 0)}; });
    auto run = Start(reg);
    Finish(run, reg);
    EXPECT_TRUE(reports.LogContains("Найдено 0 новых торгов на странице"));
    EXPECT_TRUE(reports.LogContains("Найдено торгов: 0"));
    EXPECT_EQ(ReadBytes(workDir / "guids.txt"), "");
    EXPECT_TRUE(reports.Results().empty());
    EXPECT_FALSE(std::filesystem::exists(ResultsPath()));
    EXPECT_TRUE(Opened().empty());
    EXPECT_FALSE(reports.Reports().back().hourGlass);
    EXPECT_EQ(reports.Reports().back().kind, Report::UpdateRunUi);
}

// Totals around the threshold: 999 is paged, 1000 is split (and not collected).
TEST_F(EngineTest, ATotalOf999IsPagedAndOneOf1000IsSplitByDate) {
    const std::string paged = Search("OpenAuction", "77", "2023-01-01", "2023-01-31");
    const std::string split = Search("PublicOffer", "77", "2023-01-01", "2023-01-31");
    auto reg = FakeRegister::Create([&](const std::string& url) -> Reply {
        if (url == paged)
            return {200, Page({"p0"}, 999)};
        if (url == split)
            return {200, Page({"never"}, 1000)};
        if (url.find("tradeType=PublicOffer") != std::string::npos) {
            return {200, Page({"s-" + url.substr(url.find("tradeStartDate=") + 15, 10)}, 1)};
        }
        return {200, Page({}, 999)};
    });
    reports.inputs.tradeTypePositions = {0, 2};
    // Stop before the card phase; the search is what this test is about.
    reports.onReport = [](TScraper& r, const Report& report) {
        if (report.text.starts_with("Найдено торгов: "))
            r.Terminate();
    };
    // One worker at a time: the register then sees the queries in the order they were queued.
    auto run = Start(reg, {}, 1);
    Finish(run, reg);
    const auto calls = reg->Calls();
    for (int offset = 50; offset <= 950; offset += 50) {
        const std::string page =
            kBase +
            "/backend/biddings?limit=50&tradeType=OpenAuction&regionCode=77&"
            "tradeStartDate=2023-01-01T00%3A00%3A00&tradeEndDate=2023-01-31T23%"
            "3A59%3A59&offset=" +
            std::to_string(offset);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), page), 1) << offset;
    }
    EXPECT_EQ(std::count_if(
                  calls.begin(), calls.end(),
                  [](const std::string& c) { return c.find("offset=1000") != std::string::npos; }),
              0);
    // 30 days, 1000 trades: two parts, the later first.
    const auto a = std::find(calls.begin(), calls.end(),
                             Search("PublicOffer", "77", "2023-01-17", "2023-01-31"));
    const auto b = std::find(calls.begin(), calls.end(),
                             Search("PublicOffer", "77", "2023-01-01", "2023-01-16"));
    ASSERT_NE(a, calls.end());
    ASSERT_NE(b, calls.end());
    EXPECT_LT(a, b);
    EXPECT_TRUE(reports.LogContains(
        "Разбиваем длинный интервал на несколько мелких, с текущей ссылки торги не собираем."));
    const auto guids = Lines(ReadBytes(workDir / "guids.txt"));
    EXPECT_EQ(std::count(guids.begin(), guids.end(), "never"), 0);
    EXPECT_EQ(std::count(guids.begin(), guids.end(), "s-2023-01-17"), 1);
    EXPECT_EQ(std::count(guids.begin(), guids.end(), "p0"), 1);
}

// A single day that still reports 1000 trades is narrowed by price down to ranges the step
// cannot cut; those are paged as far as the register goes, and the log says so.
TEST_F(EngineTest, APriceRangeThatCannotBeNarrowedIsPagedAndFlagged) {
    reports.inputs.dateFrom = reports.inputs.dateTo = std::chrono::year_month_day{
        std::chrono::year(2023), std::chrono::May, std::chrono::day(10)};
    auto reg = FakeRegister::Create([](const std::string& url) -> Reply {
        const auto p = testing_support::QueryParameters(url);
        const long long low = p.contains("lotStartPrice") ? std::stoll(p.at("lotStartPrice")) : 0;
        const long long high =
            p.contains("lotFinishPrice") ? std::stoll(p.at("lotFinishPrice")) : 1000000000000;
        const bool hot = low <= 5 && 5 <= high;  // every trade costs exactly 5
        if (!hot)
            return {200, Page({}, 0)};
        if (p.contains("offset") && p.at("offset") != "0") {
            return {200, Page({"t" + p.at("offset")}, 1200)};
        }
        return {200, Page({"first"}, 1200)};
    });
    reports.onReport = [](TScraper& r, const Report& report) {
        if (report.text.starts_with("Найдено торгов: "))
            r.Terminate();
    };
    auto run = Start(reg);
    Finish(run, reg);
    const std::string narrowest4 = Search("OpenAuction", "77", "2023-05-10", "2023-05-10") +
                                   "&lotStartPrice=4&lotFinishPrice=5";
    const std::string narrowest5 = Search("OpenAuction", "77", "2023-05-10", "2023-05-10") +
                                   "&lotStartPrice=5&lotFinishPrice=6";
    EXPECT_EQ(reg->CallsTo(narrowest4), 1);
    EXPECT_EQ(reg->CallsTo(narrowest5), 1);
    const std::string flag =
        "Интервал больше не сужается: реестр сообщает о 1200 торгах, больше, чем даёт "
        "пролистать; по этой ссылке собрано может быть не всё: ";
    EXPECT_TRUE(reports.LogContains(flag + narrowest4));
    EXPECT_TRUE(reports.LogContains(flag + narrowest5));
    const auto guids = Lines(ReadBytes(workDir / "guids.txt"));
    const std::set<std::string> unique(guids.begin(), guids.end());
    EXPECT_EQ(unique.size(), guids.size());
    EXPECT_TRUE(unique.contains("first"));
    EXPECT_TRUE(unique.contains("t950"));  // the last page the register lets through
    EXPECT_FALSE(unique.contains("t1000"));
}

// The product's own pacing and limit.
TEST_F(EngineTest, AtMostFourWorkersRunAndStartsAreAtLeast200MsApart) {
    auto reg = FakeRegister::Create([](const std::string&) {
        std::this_thread::sleep_for(1500ms);
        return Reply{200, Page({}, 0)};
    });
    reports.inputs.regionItems = {"A (1)", "B (2)"};
    reports.inputs.tradeTypePositions = {0, 1, 2, 3};
    auto env = Environment(reg);
    env.timings = ScraperTimings{};
    // Every thread the run creates, its own first and then a worker per job, as it is created.
    struct Starts {
        std::mutex mutex;
        std::vector<std::chrono::steady_clock::time_point> at;
    };
    auto starts = std::make_shared<Starts>();
    env.startThread = [starts](std::function<void()> body) {
        {
            std::lock_guard lock(starts->mutex);
            starts->at.push_back(std::chrono::steady_clock::now());
        }
        return std::thread(std::move(body));
    };
    auto run = Start(reg, env);
    Finish(run, reg);
    EXPECT_EQ(reg->Calls().size(), 8u);
    EXPECT_LE(reg->MaxConcurrent(), 4);
    std::lock_guard lock(starts->mutex);
    ASSERT_EQ(starts->at.size(), 9u);
    for (std::size_t k = 2; k < starts->at.size(); ++k) {
        EXPECT_GE(starts->at[k] - starts->at[k - 1], 200ms) << k;
    }
}

TEST_F(EngineTest, StopDuringTheSearchAbandonsRunningWorkersAndWritesNothing) {
    testing_support::WriteBytes(workDir / "guids.txt", "previous\r\n");
    auto reg = FakeRegister::Create([](const std::string&) { return Reply{200, Page({"x"}, 1)}; });
    reg->Hold();
    reports.inputs.tradeTypePositions = {0, 1, 2, 3, 4, 5};
    auto run = Start(reg);
    ASSERT_TRUE(reg->WaitForActive(4, 60s));
    run->Terminate();
    ASSERT_TRUE(run->WaitUntilEnded(60s));
    EXPECT_EQ(reg->Active(), 4) << "the run did not wait for its workers";
    EXPECT_FALSE(run->Join(20ms)) << "the run still owns the workers it left";
    reg->Release();
    ASSERT_TRUE(run->Join(60s)) << "the workers it left ended and were joined";
    EXPECT_EQ(reg->Active(), 0);
    EXPECT_EQ(reg->Calls().size(), 4u) << "a terminated worker made another request";
    EXPECT_EQ(ReadBytes(workDir / "guids.txt"), "previous\r\n");
    EXPECT_FALSE(std::filesystem::exists(ResultsPath()));
    EXPECT_TRUE(reports.Results().empty());
    for (const auto& line : reports.LogTexts()) {
        EXPECT_EQ(line.find(": успешно"), std::string::npos) << "collected: " << line;
    }
    EXPECT_EQ(reports.Reports().back().kind, Report::UpdateRunUi);
    EXPECT_FALSE(reports.Reports().back().hourGlass);
}

TEST_F(EngineTest, StopAtTheFirstTurnOfTheCardPhaseLeavesAHeaderOnlyFileThatIsOpened) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02"});
    auto reg = FakeRegister::Create(book.Script());
    reports.onReport = [](TScraper& r, const Report& report) {
        if (report.text.starts_with("Найдено торгов: "))
            r.Terminate();
    };
    auto run = Start(reg);
    Finish(run, reg);
    EXPECT_EQ(ReadBytes(ResultsPath()).size(), 509u);
    EXPECT_EQ(Opened(), (std::vector<std::filesystem::path>{ResultsPath()}));
    EXPECT_TRUE(reports.Results().empty());
    EXPECT_TRUE(reports.LogContains("Открываем файл с результатами"));
    EXPECT_EQ(reg->CallsTo(kBase + "/backend/biddings/g1"), 0);
}

// Count of this process's threads: workers that ended are gone from it.
int ThreadCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

TEST_F(EngineTest, APausedRunStartsNothingWhileItsWorkersFinish) {
    auto reg = FakeRegister::Create([](const std::string&) {
        std::this_thread::sleep_for(200ms);
        return Reply{200, Page({}, 0)};
    });
    reports.inputs.regionItems = {"A (1)", "B (2)"};
    reports.inputs.tradeTypePositions = {0, 1, 2, 3, 4, 5};
    // A first thread wakes a sanitizer's own helper thread; count from after it.
    std::thread([] {}).join();
    const int baseline = ThreadCount();
    auto run = Start(reg);
    ASSERT_TRUE(reg->WaitForActive(2, 60s));
    run->Pause();
    ASSERT_TRUE(reg->WaitUntilNoTransport(60s));
    // Every worker that had started ends although nobody collects it while paused: the paused
    // run holds no lock they need.
    for (int i = 0; i < 600 && ThreadCount() > baseline + 1; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ThreadCount(), baseline + 1) << "only the paused crawl thread is left";
    // The crawl thread stands at its pause point and no worker is left: nothing can ask the
    // register or report until Resume.
    ASSERT_TRUE(run->WaitUntilHalted(60s));
    EXPECT_TRUE(run->IsLive());
    EXPECT_LT(reg->Calls().size(), 12u);
    run->Resume();
    Finish(run, reg);
    EXPECT_EQ(reg->Calls().size(), 12u);
}

// An answer whose handling fails pauses the run, is asked once more, and the other jobs go on;
// one that fails again is dropped with a line. No answer of the register fails its handling (one
// of the wrong shape is asked for again by the worker), so the window's log does.
TEST_F(EngineTest, AnAnswerThatFailsIsRetriedOnceAfterTheErrorPauseAndTheRunGoesOn) {
    TradeBook book(kBase);
    book.Add({"a1", "77", "OpenAuction", "2023-01-02"});
    book.Add({"b1", "77", "OpenConcours", "2023-01-02"});
    book.Add({"c1", "77", "PublicOffer", "2023-01-02"});
    const std::string flaky = Search("OpenAuction", "77", "2023-01-01", "2023-01-31");
    const std::string broken = Search("OpenConcours", "77", "2023-01-01", "2023-01-31");
    auto reg = FakeRegister::Create(book.Script());
    auto flakyFailed = std::make_shared<std::atomic<bool>>(false);
    reports.onReport = [&, flakyFailed](TScraper&, const Report& r) {
        if (r.kind != Report::ShowLogMessage)
            return;
        if ((r.text.starts_with(flaky + "\r\n") && !flakyFailed->exchange(true)) ||
            r.text.starts_with(broken + "\r\n"))
            throw std::runtime_error("window closed its log");
    };
    reports.inputs.tradeTypePositions = {0, 1, 2};
    auto run = Start(reg);
    Finish(run, reg);
    EXPECT_EQ(reg->CallsTo(flaky), 2);
    EXPECT_EQ(reg->CallsTo(broken), 2);
    const auto results = reports.Results();
    ASSERT_EQ(results.size(), 4u);
    EXPECT_TRUE(results[0].starts_with("ERROR_"));
    EXPECT_TRUE(results[1].starts_with("ERROR_"));
    EXPECT_TRUE(results[2].starts_with("ERROR_"));
    EXPECT_EQ(results[3], "ok");
    EXPECT_TRUE(reports.LogContains("Ответ снова не обработан, задание пропускаем: " + broken));
    const auto lines = ResultLines();
    EXPECT_EQ(lines.size(), 3u);  // header, a1, c1
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.find("/biddings/a1\"") != std::string::npos;
                            }),
              1);
}

// ---- The error pause and Stop ----

// Stop ends the run at once in every state: a paused run need not be resumed first, and a run in
// or entering its error pause does not wait it out.
TEST_F(EngineTest, StopEndsTheRunAtOnceInEveryState) {
    enum class State { Running, PausedByOperator, ErrorPause, ErrorReport };
    for (const State state :
         {State::Running, State::PausedByOperator, State::ErrorPause, State::ErrorReport}) {
        SCOPED_TRACE(static_cast<int>(state));
        RecordingReports local;
        local.inputs = reports.inputs;
        local.inputs.tradeTypePositions = {0, 1};
        TradeBook book(kBase);
        book.Add({"a1", "77", "OpenAuction", "2023-01-02"});
        book.Add({"b1", "77", "OpenConcours", "2023-01-02"});
        const std::string broken = Search("OpenAuction", "77", "2023-01-01", "2023-01-31");
        auto reg = FakeRegister::Create(book.Script());
        if (state == State::Running || state == State::PausedByOperator)
            reg->Hold();
        if (state == State::ErrorPause || state == State::ErrorReport) {
            local.onReport = [&, state](TScraper& r, const Report& report) {
                if (report.kind == Report::ShowLogMessage &&
                    report.text.starts_with(broken + "\r\n"))
                    throw std::runtime_error("window closed its log");
                if (state == State::ErrorReport && report.kind == Report::HandleRunResult &&
                    report.text.starts_with("ERROR_"))
                    r.Terminate();
            };
        }
        auto env = Environment(reg);
        env.timings.errorPause = 60s;
        auto run = TScraper::Create(local, kBase, env);
        ASSERT_TRUE(run->Start());
        switch (state) {
            case State::Running:
                ASSERT_TRUE(reg->WaitForActive(1, 60s));
                break;
            case State::PausedByOperator:
                ASSERT_TRUE(reg->WaitForActive(1, 60s));
                run->Pause();
                ASSERT_TRUE(run->WaitUntilHalted(60s));
                break;
            case State::ErrorPause:
                ASSERT_TRUE(local.WaitForEvent<ErrorPauseStarted>(60s));
                ASSERT_TRUE(run->WaitUntilHalted(60s));
                break;
            case State::ErrorReport:
                break;
        }
        if (state != State::ErrorReport)
            run->Terminate();
        // Far below the 60 s error pause, with room for a slow machine.
        EXPECT_TRUE(run->WaitUntilEnded(30s)) << "the stopped run waited";
        reg->Release();
        ASSERT_TRUE(run->Join(60s));
        EXPECT_EQ(run->Summary().end, RunSummary::End::Stopped);
        EXPECT_TRUE(local.EventsOf<ErrorPauseEnded>().empty());
        EXPECT_EQ(local.EventsOf<ErrorPauseStarted>().size(), state == State::ErrorPause ? 1u : 0u)
            << "a stopped run entered an error pause";
        EXPECT_TRUE(local.LogContains("Итоги: работа остановлена"));
    }
}

// The state after Stop is still a run that Pause halts, until it is resumed.
TEST_F(EngineTest, PauseAfterStopHaltsTheWindingDownRun) {
    TradeBook book(kBase);
    book.Add({"a1", "77", "OpenAuction", "2023-01-02"});
    auto reg = FakeRegister::Create(book.Script());
    reg->Hold();
    // The winding-down run's first report waits for the Pause, as a window's hand-off would
    // when the operator clicks while the run is busy; otherwise a quick run could end first.
    std::promise<void> pausePressed;
    reports.onReport = [pressed = pausePressed.get_future().share()](TScraper& r, const Report&) {
        if (r.Terminated())
            pressed.wait();
    };
    auto run = Start(reg);
    ASSERT_TRUE(reg->WaitForActive(1, 60s));
    run->Terminate();
    run->Pause();
    pausePressed.set_value();
    ASSERT_TRUE(run->WaitUntilHalted(60s));
    EXPECT_TRUE(run->IsLive());
    run->Resume();
    EXPECT_TRUE(run->WaitUntilEnded(30s));
    Finish(run, reg);
    EXPECT_EQ(run->Summary().end, RunSummary::End::Stopped);
}

// The run pauses itself after an error and goes on by itself when the pause's time is up, also
// when the operator has paused it again meanwhile; a pause begun after that time is the
// operator's to end.
TEST_F(EngineTest, TheErrorPauseEndsAnyPauseBegunBeforeItsEndAndNoLaterOne) {
    enum class Operator { Nothing, ResumesAndPausesAgain, PausesAfterTheEnd };
    for (const Operator op :
         {Operator::Nothing, Operator::ResumesAndPausesAgain, Operator::PausesAfterTheEnd}) {
        SCOPED_TRACE(static_cast<int>(op));
        RecordingReports local;
        local.inputs = reports.inputs;
        TradeBook book(kBase);
        book.Add({"a1", "77", "OpenAuction", "2023-01-02"});
        const std::string flaky = Search("OpenAuction", "77", "2023-01-01", "2023-01-31");
        auto reg = FakeRegister::Create(book.Script());
        auto failed = std::make_shared<std::atomic<bool>>(false);
        auto resumeAt = std::make_shared<std::atomic<std::chrono::steady_clock::rep>>(0);
        auto pausedAfter = std::make_shared<std::atomic<bool>>(false);
        local.onReport = [&, failed, resumeAt, pausedAfter, op](TScraper& r, const Report& report) {
            if (report.kind == Report::ShowLogMessage && report.text.starts_with(flaky + "\r\n") &&
                !failed->exchange(true))
                throw std::runtime_error("window closed its log");
            // The operator's pause lands in a report made after the error pause's end.
            const auto end = std::chrono::steady_clock::time_point(
                std::chrono::steady_clock::duration(resumeAt->load()));
            if (op == Operator::PausesAfterTheEnd && resumeAt->load() != 0 && report.at > end &&
                !pausedAfter->exchange(true))
                r.Pause();
        };
        local.onEvent = [resumeAt, op](TScraper& r, const RunEvent& event) {
            const auto* started = std::get_if<ErrorPauseStarted>(&event);
            if (started == nullptr)
                return;
            resumeAt->store(started->resumeAt.time_since_epoch().count());
            // Pause pressed during the error pause resumes the run at once.
            if (op != Operator::Nothing)
                r.Resume();
            if (op == Operator::ResumesAndPausesAgain)
                r.Pause();
        };
        auto env = Environment(reg);
        // The operator's second pause must begin before the error pause's end, however late the
        // crawl thread gets to it.
        env.timings.errorPause = op == Operator::PausesAfterTheEnd       ? 1ms
                                 : op == Operator::ResumesAndPausesAgain ? 2s
                                                                         : 100ms;
        auto run = TScraper::Create(local, kBase, env);
        ASSERT_TRUE(run->Start());
        if (op == Operator::PausesAfterTheEnd) {
            ASSERT_TRUE(run->WaitUntilHalted(60s));
            EXPECT_TRUE(pausedAfter->load());
            EXPECT_TRUE(run->IsPaused()) << "the error pause's end ended a later pause";
            EXPECT_TRUE(local.EventsOf<ErrorPauseEnded>().empty());
            run->Resume();
        }
        Finish(run, reg);
        EXPECT_EQ(local.Results(), (std::vector<std::string>{"ERROR_window closed its log", "ok"}));
        ASSERT_EQ(local.EventsOf<ErrorPauseStarted>().size(), 1u);
        EXPECT_EQ(local.EventsOf<ErrorPauseStarted>()[0].message, "window closed its log");
        EXPECT_EQ(local.EventsOf<ErrorPauseEnded>().size(),
                  op == Operator::PausesAfterTheEnd ? 0u : 1u);
        if (op != Operator::PausesAfterTheEnd) {
            // Reported once the time was up, and before the job was asked again.
            const auto events = local.Events();
            const auto ended = std::find_if(events.begin(), events.end(), [](const RunEvent& e) {
                return std::holds_alternative<ErrorPauseEnded>(e);
            });
            const auto started = std::find_if(events.begin(), events.end(), [](const RunEvent& e) {
                return std::holds_alternative<ErrorPauseStarted>(e);
            });
            EXPECT_LT(started, ended);
        }
        EXPECT_EQ(reg->CallsTo(flaky), 2);
    }
}

// A second error before the first pause's end keeps that end.
TEST_F(EngineTest, ASecondErrorBeforeTheEndKeepsTheFirstEnd) {
    TradeBook book(kBase);
    book.Add({"a1", "77", "OpenAuction", "2023-01-02"});
    const std::string broken = Search("OpenAuction", "77", "2023-01-01", "2023-01-31");
    auto reg = FakeRegister::Create(book.Script());
    reports.onReport = [&](TScraper&, const Report& report) {
        if (report.kind == Report::ShowLogMessage && report.text.starts_with(broken + "\r\n"))
            throw std::runtime_error("window closed its log");
    };
    auto env = Environment(reg);
    env.timings.errorPause = 60s;
    auto run = Start(reg, env);
    ASSERT_TRUE(reports.WaitForEvent<ErrorPauseStarted>(60s));
    ASSERT_TRUE(run->WaitUntilHalted(60s));
    run->Resume();  // the operator's Pause during the error pause
    // The job is asked once more and fails again: a second error pause.
    ASSERT_TRUE(reports.WaitForEvent<ErrorPauseStarted>(60s, 2));
    const auto pauses = reports.EventsOf<ErrorPauseStarted>();
    EXPECT_EQ(pauses[1].resumeAt, pauses[0].resumeAt);
    run->Terminate();
    EXPECT_TRUE(run->WaitUntilEnded(30s));
    Finish(run, reg);
}

// A report that fails is raised in the crawl thread and handled like a failed answer.
TEST_F(EngineTest, AFailingReportDuringACardCostsThatCardOneRetry) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02", 1000, 2});
    book.Add({"g2", "77", "OpenAuction", "2023-01-03", 1000, 2});
    auto reg = FakeRegister::Create(book.Script());
    auto thrown = std::make_shared<std::atomic<bool>>(false);
    reports.onReport = [thrown](TScraper&, const Report& r) {
        if (r.text == "Карточка g2: успешно" && !thrown->exchange(true)) {
            throw std::runtime_error("window closed its log");
        }
    };
    auto run = Start(reg);
    Finish(run, reg);
    EXPECT_EQ(reports.Results(), (std::vector<std::string>{"ERROR_window closed its log", "ok"}));
    EXPECT_EQ(reg->CallsTo(kBase + "/backend/biddings/g2"), 2);
    EXPECT_EQ(ResultLines().size(), 5u);  // header and two lots of each trade, once
}

// The report of a card's end failing after its rows were written costs an error pause, never a
// second fetch: the rows are in the file once.
TEST_F(EngineTest, AFailingReportAfterACardWasWrittenCostsNoSecondFetch) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02", 1000, 2});
    book.Add({"g2", "77", "OpenAuction", "2023-01-03", 1000, 2});
    auto reg = FakeRegister::Create(book.Script());
    auto thrown = std::make_shared<std::atomic<bool>>(false);
    reports.onEvent = [thrown](TScraper&, const RunEvent& event) {
        const auto* finished = std::get_if<JobFinished>(&event);
        if (finished && finished->job == "g2" && finished->fate == JobFate::Done &&
            !thrown->exchange(true))
            throw std::runtime_error("window closed its list");
    };
    auto run = Start(reg);
    Finish(run, reg);
    EXPECT_TRUE(thrown->load());
    EXPECT_EQ(reports.Results(), (std::vector<std::string>{"ERROR_window closed its list", "ok"}));
    EXPECT_EQ(reg->CallsTo(kBase + "/backend/biddings/g2"), 1);
    EXPECT_EQ(ResultLines().size(), 5u);  // header and two lots of each trade, once
}

TEST_F(EngineTest, AnUnreadableDateEmptiesItsColumnLogsAndKeepsTheRows) {
    TradeBook book(kBase);
    BookTrade t{"g1", "77", "OpenAuction", "2023-01-02", 1000, 2};
    t.datePublish = "2023-01-02";
    book.Add(t);
    book.Add({"g2", "77", "OpenAuction", "2023-01-03", 1000, 1});
    auto reg = FakeRegister::Create(book.Script());
    auto run = Start(reg);
    Finish(run, reg);
    EXPECT_TRUE(reports.LogContains("Карточка g1: '''' is not a valid date"));
    EXPECT_EQ(reports.Results(), (std::vector<std::string>{"ok"}));
    const auto lines = ResultLines();
    ASSERT_EQ(lines.size(), 4u);
    int withEmptyDate = 0;
    for (const auto& l : lines) {
        if (l.find("/biddings/g1\";\"Москва\";\"N-g1\";\"\";") != std::string::npos)
            ++withEmptyDate;
    }
    EXPECT_EQ(withEmptyDate, 2);
}

TEST_F(EngineTest, ATradeWithAFailedRequestGetsNoRowAndItsFirstFailureIsLogged) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02", 1000, 2});
    book.Add({"g2", "77", "OpenAuction", "2023-01-03", 1000, 1});
    auto reg = FakeRegister::Create([book](const std::string& url) -> Reply {
        if (url.find("/biddings/g1/lots") != std::string::npos)
            return {404, ""};
        return book.Answer(url);
    });
    auto run = Start(reg);
    Finish(run, reg);
    EXPECT_TRUE(reports.LogContains("Карточка g1: ERROR HTTP/1.1 404 Not Found"));
    EXPECT_EQ(reg->CallsTo(kBase + "/backend/biddings/g1/additional"), 0);
    const auto lines = ResultLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("/biddings/g2\""), std::string::npos);
}

TEST_F(EngineTest, AFailedWriteEndsTheCardPhaseAtOnceKeepingTheRowsWritten) {
    TradeBook book(kBase);
    for (int k = 0; k < 10; ++k)
        book.Add({"g" + std::to_string(k), "77", "OpenAuction", "2023-01-02"});
    auto reg = FakeRegister::Create(book.Script());
    // Room for the header and one and a half lines (all lines are equally long here).
    const std::size_t line = BookLine(book.Trades()[0], "Москва", 0).size() + 2;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = 509 + line + line / 2;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    auto env = Environment(reg);
    env.guidsFile = "/dev/null";
    auto run = Start(reg, env);
    Finish(run, reg);
    setrlimit(RLIMIT_FSIZE, &old);
    // No error pause and no "ok": nothing would be retried.
    EXPECT_TRUE(reports.Results().empty());
    EXPECT_FALSE(run->Summary().Complete());
    EXPECT_GT(run->Summary().tradesNotTried, 0);
    const auto lines = ResultLines();
    EXPECT_EQ(lines.size(), 2u) << "the header and the one whole row";
    EXPECT_EQ(Opened(), (std::vector<std::filesystem::path>{ResultsPath()}));
    EXPECT_LT(reg->Calls().size(), 1u + 10u * 3u) << "the phase went on after the file failed";
}

TEST_F(EngineTest, AResultsFileThatCannotBeCreatedEndsTheRunWithoutPauseOrOk) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02"});
    auto reg = FakeRegister::Create(book.Script());
    auto env = Environment(reg);
    env.executableDir = exeDir / "missing";
    auto run = Start(reg, env);
    Finish(run, reg);
    // Nothing would be retried, so neither the error pause nor "ok" is reported.
    EXPECT_TRUE(reports.Results().empty());
    const auto log = reports.LogTexts();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return l.starts_with("Ошибка записи файла результатов (") &&
               l.ends_with("сбор карточек прекращён; торгов не опрошено: 1");
    }));
    EXPECT_TRUE(reports.LogContains("Итоги: работа прервана: файл результатов не записать"));
    const RunSummary summary = run->Summary();
    EXPECT_TRUE(summary.resultsFileFailed);
    EXPECT_EQ(summary.tradesNotTried, 1);
    EXPECT_FALSE(summary.Complete());
    EXPECT_TRUE(Opened().empty());
    EXPECT_FALSE(reports.LogContains("Открываем файл с результатами"));
    EXPECT_EQ(reg->CallsTo(kBase + "/backend/biddings/g1"), 0);
}

TEST_F(EngineTest, ASkipFileThatCannotBeReadIsLoggedAndTheRunEndsNormally) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02"});
    auto reg = FakeRegister::Create(book.Script());
    std::filesystem::create_directory(exeDir / "skip.txt");
    auto run = Start(reg);
    Finish(run, reg);
    const auto log = reports.LogTexts();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return l.starts_with("Не удалось прочитать skip.txt, пропускаем его: ");
    }));
    EXPECT_EQ(reports.Results(), (std::vector<std::string>{"ok"}));
    EXPECT_EQ(ResultLines().size(), 2u);
    EXPECT_FALSE(reports.Reports().back().hourGlass);
}

// An incremental run: a card whose answers lack a member is written with blank columns, named
// and counted, and left out of skip.txt so that the next run tries it again; the run is not
// complete. Whole cards go into skip.txt.
TEST_F(EngineTest, ACardWithMembersMissingIsWrittenNamedAndLeftOutOfSkipTxt) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02"});
    book.Add({"g2", "77", "OpenAuction", "2023-01-03"});
    book.Add({"g3", "77", "OpenAuction", "2023-01-04"});
    auto reg = FakeRegister::Create([&](const std::string& url) -> Reply {
        if (url == kBase + "/backend/biddings/g2/additional")
            return {200, "{\"courtId\":7}"};  // no courtName: of the wrong shape, asked again
        if (url == kBase + "/backend/biddings/g1")
            return {200,
                    "{\"message\":{\"number\":\"N-g1\",\"datePublish\":\"2023-01-02T10:00\"}}"};
        return book.Answer(url);
    });
    auto env = Environment(reg);
    env.recordHarvested = true;
    auto run = Start(reg, env);
    Finish(run, reg);
    EXPECT_TRUE(reports.LogContains(
        "Карточка g1: данные неполные (нет debtor, biddingPeriod), записана с пустыми полями; в "
        "skip.txt не отмечаем"));
    EXPECT_TRUE(reports.LogContains("Карточка g2: ERROR_Unusable response for g2" +
                                    std::string(kRetryLaterNote)));
    const auto lines = ResultLines();
    ASSERT_EQ(lines.size(), 3u);  // the header, g1's lot and g3's
    const auto g1 = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("/biddings/g1\"") != std::string::npos;
    });
    ASSERT_NE(g1, lines.end());
    EXPECT_NE(g1->find("\"N-g1\";\"02.01.2023 10:00\";\"\";\"\""), std::string::npos) << *g1;
    EXPECT_EQ(util::ReadListFile(exeDir / "skip.txt"),
              std::vector<std::string>{kBase + "/biddings/g3"});
    const RunSummary summary = run->Summary();
    EXPECT_EQ(summary.cardsIncomplete, 1);
    EXPECT_EQ(summary.tradeJobsFailed, 1);
    EXPECT_FALSE(summary.Complete());
    EXPECT_TRUE(reports.LogContains(
        "Карточек получено: 2, не удалось получить: 1; строк записано: 2; торгов не достать ни "
        "одним запросом: 0; карточек с неполными данными: 1"));
}

// A failure of the card phase itself (here the window's progress report) names every trade it
// did not ask for, counts them as never tried, and keeps the run from counting as complete.
TEST_F(EngineTest, AFailedCardPhaseNamesTheTradesItDidNotAskFor) {
    TradeBook book(kBase);
    for (const char* guid : {"g1", "g2", "g3"})
        book.Add({guid, "77", "OpenAuction", "2023-01-02"});
    auto reg = FakeRegister::Create(book.Script());
    auto cards = std::make_shared<std::atomic<bool>>(false);
    reports.onReport = [cards](TScraper&, const Report& r) {
        if (r.kind == Report::ShowLogMessage && r.text.starts_with("Данные будут записываться"))
            cards->store(true);
        // The card phase's first progress report fails.
        if (r.kind == Report::ShowProgress && cards->exchange(false))
            throw std::runtime_error("window closed its progress bar");
    };
    auto run = Start(reg, std::nullopt, 1);
    Finish(run, reg);
    EXPECT_EQ(reports.Results(),
              (std::vector<std::string>{"ERROR_window closed its progress bar", "ok"}));
    for (const char* guid : {"g1", "g2", "g3"}) {
        EXPECT_TRUE(reports.LogContains(std::string("Карточка ") + guid +
                                        ": не запрошена, сбор карточек прерван ошибкой"))
            << guid;
    }
    const RunSummary summary = run->Summary();
    EXPECT_EQ(summary.tradesNotTried, 3);
    EXPECT_FALSE(summary.Complete());
    EXPECT_EQ(reg->CallsTo(kBase + "/backend/biddings/g1"), 0);
}

struct CrowdedDayCase {
    const char* name;
    int unpricedAt;         // position of the trade without a priced lot among the day's trades
    bool twoRanges;         // one trade has lots in two price ranges
    int failingOffset;      // a page of the uncut day that always fails; 0: none
    const char* shortfall;  // the line that accounts for the day; empty: none
    std::int64_t unreachable;
};

void PrintTo(const CrowdedDayCase& c, std::ostream* os) {
    *os << c.name;
}

class CrowdedDayTest : public EngineTest, public testing::WithParamInterface<CrowdedDayCase> {};

// A day of 1200 trades is cut by price; the trade whose lots have no start price is found on
// the day's own first thousand or accounted for, never silently missing.
TEST_P(CrowdedDayTest, EveryTradeOfTheDayIsFoundOrAccountedFor) {
    const CrowdedDayCase& c = GetParam();
    TradeBook book(kBase);
    for (int k = 0; k < 1200; ++k) {
        BookTrade t{"d" + std::to_string(k), "77", "OpenAuction", "2023-05-10",
                    (k % 10) * 100000000000LL + 5};
        t.unpriced = k == c.unpricedAt;
        if (c.twoRanges && k == 7)
            t.morePrices = {900000000000LL};
        book.Add(std::move(t));
    }
    const std::string day = Search("OpenAuction", "77", "2023-05-10", "2023-05-10");
    const std::string failing =
        kBase +
        "/backend/biddings?limit=50&tradeType=OpenAuction&regionCode=77&tradeStartDate=2023-05-"
        "10T00%3A00%3A00&tradeEndDate=2023-05-10T23%3A59%3A59&offset=" +
        std::to_string(c.failingOffset);
    auto reg = FakeRegister::Create([&book, failing, c](const std::string& url) -> Reply {
        if (c.failingOffset > 0 && url == failing)
            return {404, ""};
        return book.Answer(url);
    });
    reports.inputs.dateFrom = reports.inputs.dateTo = std::chrono::year_month_day{
        std::chrono::year(2023), std::chrono::May, std::chrono::day(10)};
    reports.onReport = [](TScraper& r, const Report& report) {
        if (report.text.starts_with("Найдено торгов: "))
            r.Terminate();
    };
    auto run = Start(reg);
    Finish(run, reg);

    EXPECT_TRUE(reports.LogContains(
        "Разбиваем длинный интервал на несколько мелких по цене лота, с текущей ссылки собираем "
        "первые 1000 торгов."));
    EXPECT_EQ(reg->CallsTo(RemoveOffset(day) + "&offset=950"), 1);
    EXPECT_EQ(reg->CallsTo(RemoveOffset(day) + "&offset=1000"), 0);

    const auto guids = Lines(ReadBytes(workDir / "guids.txt"));
    const std::set<std::string> listed(guids.begin(), guids.end());
    EXPECT_EQ(listed.size(), guids.size()) << "a trade listed twice";
    const std::string unpriced = "d" + std::to_string(c.unpricedAt);
    const bool found = listed.contains(unpriced);
    EXPECT_EQ(found, c.unreachable == 0);

    std::vector<std::string> accounted;
    for (const auto& line : reports.LogTexts()) {
        if (line.starts_with("Москва (77), Открытый аукцион, 2023-05-10: "))
            accounted.push_back(line);
    }
    EXPECT_EQ(accounted, std::string(c.shortfall).empty() ? std::vector<std::string>{}
                                                          : std::vector<std::string>{c.shortfall});
    const RunSummary summary = run->Summary();
    EXPECT_EQ(summary.unreachable, c.unreachable);
    EXPECT_EQ(summary.searchJobsFailed, c.failingOffset > 0 ? 1 : 0);
    EXPECT_EQ(summary.tradesReported, 1200);
    EXPECT_EQ(summary.end, RunSummary::End::Stopped);
    if (c.failingOffset > 0) {
        EXPECT_TRUE(reports.LogContains(failing + ": ERROR HTTP/1.1 404 Not Found" +
                                        "; эта страница в этом запуске потеряна"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Days, CrowdedDayTest,
    testing::Values(
        CrowdedDayCase{"UnpricedAmongTheFirstThousand", 10, false, 0, "", 0},
        CrowdedDayCase{"UnpricedBeyondThePagingLimit", 1100, false, 0,
                       "Москва (77), Открытый аукцион, 2023-05-10: реестр сообщает о 1200 "
                       "торгах, собрано 1199; ни одним запросом не достать: 1",
                       1},
        // The price parts report 1201 trades between them: a sum would hide the loss.
        CrowdedDayCase{"UnpricedBeyondTheLimitAndATradeInTwoRanges", 1100, true, 0,
                       "Москва (77), Открытый аукцион, 2023-05-10: реестр сообщает о 1200 "
                       "торгах, собрано 1199; ни одним запросом не достать: 1",
                       1},
        CrowdedDayCase{"UnpricedOnAPageThatFails", 510, false, 500,
                       "Москва (77), Открытый аукцион, 2023-05-10: реестр сообщает о 1200 "
                       "торгах, собрано 1199; ни одним запросом не достать: 1 (среди них и "
                       "торги неудавшихся запросов этого дня)",
                       1}),
    [](const testing::TestParamInfo<CrowdedDayCase>& info) {
        return std::string(info.param.name);
    });

// Nothing reads guids.txt, so the harvest goes on without it.
TEST_F(EngineTest, AGuidsFileThatCannotBeWrittenIsLoggedAndTheCardsAreFetched) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02"});
    auto reg = FakeRegister::Create(book.Script());
    auto env = Environment(reg);
    env.guidsFile = workDir / "missing" / "guids.txt";
    auto run = Start(reg, env);
    Finish(run, reg);
    const auto log = reports.LogTexts();
    const std::string prefix =
        "Не удалось записать " + env.guidsFile.string() + ", продолжаем без него: ";
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [&](const std::string& l) {
                                return l.starts_with(prefix) && l.size() > prefix.size();
                            }),
              1);
    EXPECT_EQ(reports.Results(), (std::vector<std::string>{"ok"}));
    EXPECT_EQ(ResultLines().size(), 2u);
    EXPECT_EQ(run->Summary().rowsWritten, 1);
    EXPECT_EQ(run->Summary().end, RunSummary::End::Finished);
}

// A first page lost after its second chance takes its further pages with it; the log and the
// summary say so.
TEST_F(EngineTest, ASearchJobLostAfterItsSecondChanceIsLoggedAndCounted) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02"});
    const std::string lost = Search("PublicOffer", "77", "2023-01-01", "2023-01-31");
    auto reg = FakeRegister::Create([&book, lost](const std::string& url) -> Reply {
        if (url == lost)
            return {404, ""};
        return book.Answer(url);
    });
    reports.inputs.tradeTypePositions = {0, 2};
    auto run = Start(reg);
    Finish(run, reg);
    EXPECT_EQ(reg->CallsTo(lost), 2);
    EXPECT_TRUE(reports.LogContains(lost + ": ERROR HTTP/1.1 404 Not Found" +
                                    std::string(kRetryLaterNote)));
    EXPECT_TRUE(reports.LogContains(lost + ": ERROR HTTP/1.1 404 Not Found" +
                                    "; его страницы и части в этом запуске потеряны"));
    const RunSummary summary = run->Summary();
    EXPECT_EQ(summary.searchJobsFailed, 1);
    EXPECT_EQ(summary.queriesAsked, 2);
    EXPECT_EQ(summary.cardsFetched, 1);
    EXPECT_FALSE(summary.Complete());
    EXPECT_TRUE(reports.LogContains(
        "Поисковых запросов: 2, не удалось: 1; реестр сообщил о торгах: 1; найдено торгов: 1; "
        "пропущено по skip.txt: 0"));
}

// A run that cannot have its named object still tells the operator why and gives the window
// back, instead of ending with the controls as they were and nothing in the log.
TEST_F(EngineTest, ANamedObjectThatCannotBeOpenedIsLoggedAndTheWindowIsGivenBack) {
    TradeBook book(kBase);
    book.Add({"g1", "77", "OpenAuction", "2023-01-02"});
    auto reg = FakeRegister::Create(book.Script());
    auto env = Environment(reg);
    env.mutexName = std::string(300, 'x');  // longer than the system takes
    auto run = Start(reg, env);
    Finish(run, reg);
    const auto made = reports.Reports();
    ASSERT_EQ(made.size(), 3u);
    EXPECT_EQ(made[0].kind, Report::UpdateRunUi);
    EXPECT_TRUE(made[0].hourGlass);
    EXPECT_EQ(made[1].kind, Report::ShowLogMessage);
    // The object's name, then the system's reason.
    const std::string head = "Ошибка: Cannot open the named object \"" +
                             util::NamedMutex::SystemName(env.mutexName) + "\". ";
    EXPECT_TRUE(made[1].text.starts_with(head)) << made[1].text;
    EXPECT_GT(made[1].text.size(), head.size()) << made[1].text;
    EXPECT_EQ(made[2].kind, Report::UpdateRunUi);
    EXPECT_FALSE(made[2].hourGlass);
    EXPECT_EQ(reg->CallsTo(Search("OpenAuction", "77", "2023-01-01", "2023-01-31")), 0);
}

// A store of the test's own that keeps every trade at once and fails at the given one.
class FailingSink : public TradeSink {
public:
    explicit FailingSink(int failAt) : failAt_(failAt) {}
    void Begin(const TradeSinkRun&) override {}
    bool TradeWritten(const std::string&, const std::string&, const json::JsonValue&,
                      const std::vector<ResultRow>&) override {
        if (++handed_ == failAt_)
            throw std::runtime_error("хранилище test.sqlite: диск заполнен");
        ++kept_;
        return true;
    }
    std::string Finish(RunSummary& summary) override {
        summary.tradesStored += kept_;
        return {};
    }
    void AddKept(RunSummary& summary) const noexcept override {
        summary.tradesStored += kept_;
        summary.storeFile = "test.sqlite";
    }

private:
    int failAt_;
    int handed_ = 0;
    std::int64_t kept_ = 0;
};

struct CutShortCase {
    const char* name;
    const char* failed;  // the line that ends the card phase begins so
    const char* end;     // the summary's closing words
};

void PrintTo(const CutShortCase& c, std::ostream* os) {
    *os << c.name;
}

class CutShortTest : public EngineTest, public testing::WithParamInterface<CutShortCase> {};

// What the card phase records in fails part way: the phase ends at once, without "ok"; the
// trades it never got to are named one by one and counted, so that with the cards written,
// given up and skipped they make up the whole list; only the flag of what failed is set.
TEST_P(CutShortTest, TheTradesNeverTriedAreNamedAndOnlyWhatFailedIsFlagged) {
    const CutShortCase& c = GetParam();
    const std::string name = c.name;
    constexpr int kListed = 120;  // more than a batch of skip.txt lines
    TradeBook book(kBase);
    for (int k = 0; k < kListed; ++k)
        book.Add({"g" + std::to_string(k), "77", "OpenAuction", "2023-01-02"});
    auto reg = FakeRegister::Create(book.Script());
    auto env = Environment(reg);
    env.guidsFile = "/dev/null";
    std::optional<rlimit> old;
    if (name == "Store") {
        env.openTradeSink = [] { return std::make_shared<FailingSink>(30); };
    } else {
        // A full disk: the results file meets it after some 30 rows; skip.txt, filled up
        // beforehand with lines of no trade, at its first batch of lines.
        std::uint64_t limit = 509 + 30 * (BookLine(book.Trades()[0], "Москва", 0).size() + 2);
        if (name == "SkipFile") {
            env.recordHarvested = true;
            std::string filler;
            for (int k = 0; filler.size() < (1u << 20); ++k)
                filler += "https://other.test/biddings/x" + std::to_string(k) + "\r\n";
            testing_support::WriteBytes(exeDir / "skip.txt", filler);
            limit = filler.size() + 1000;
        }
        std::signal(SIGXFSZ, SIG_IGN);
        old.emplace();
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &*old), 0);
        rlimit limited = *old;
        limited.rlim_cur = limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    auto run = Start(reg, env);
    Finish(run, reg);
    if (old)
        setrlimit(RLIMIT_FSIZE, &*old);

    const RunSummary summary = run->Summary();
    EXPECT_EQ(summary.end, RunSummary::End::CutShort);
    EXPECT_FALSE(summary.Complete());
    EXPECT_EQ(summary.resultsFileFailed, name == "ResultsFile");
    EXPECT_EQ(summary.skipFileFailed, name == "SkipFile");
    EXPECT_EQ(summary.storeLost, name == "Store");
    EXPECT_TRUE(reports.Results().empty());
    EXPECT_TRUE(reports.LogContains(std::string("Итоги: ") + c.end));

    std::set<std::string> named;
    std::int64_t announced = -1;
    for (const std::string& line : reports.LogTexts()) {
        const std::string suffix = ": не получена, сбор карточек прекращён";
        if (line.starts_with("Карточка ") && line.ends_with(suffix)) {
            EXPECT_TRUE(named.insert(line.substr(9, line.size() - 9 - suffix.size())).second);
        }
        if (line.starts_with(c.failed))
            announced = std::stoll(line.substr(line.rfind(' ') + 1));
    }
    EXPECT_GT(summary.tradesNotTried, 0);
    EXPECT_EQ(static_cast<std::int64_t>(named.size()), summary.tradesNotTried);
    EXPECT_EQ(announced, summary.tradesNotTried);
    EXPECT_EQ(summary.tradesNotTried + summary.cardsFetched + summary.tradeJobsFailed +
                  summary.skipped,
              kListed);
    std::int64_t notDone = 0;
    for (const auto& event : reports.EventsOf<JobFinished>())
        notDone += event.phase == RunPhase::Cards && event.fate == JobFate::NotDone;
    EXPECT_EQ(notDone, summary.tradesNotTried);
    // No trade named as never tried has a row, and the file holds whole rows only.
    const auto lines = ResultLines();
    for (std::size_t k = 1; k < lines.size(); ++k) {
        const auto at = lines[k].find("/biddings/");
        ASSERT_NE(at, std::string::npos) << lines[k];
        const std::string guid = lines[k].substr(at + 10, lines[k].find('"', at) - at - 10);
        EXPECT_FALSE(named.contains(guid)) << guid;
    }
    EXPECT_EQ(static_cast<std::int64_t>(lines.size()) - 1,
              summary.cardsFetched - summary.tradesTakenBack);
    if (name == "Store") {
        EXPECT_EQ(summary.tradesStored, 29);
        EXPECT_EQ(summary.tradesTakenBack, 1);
        EXPECT_EQ(summary.storeFile, "test.sqlite");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CutShortTest,
    testing::Values(CutShortCase{"ResultsFile", "Ошибка записи файла результатов (",
                                 "работа прервана: файл результатов не записать"},
                    CutShortCase{"SkipFile", "Ошибка записи skip.txt (",
                                 "работа прервана: skip.txt не дописать"},
                    CutShortCase{"Store", "Ошибка записи в хранилище (",
                                 "работа прервана: хранилище не записать"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::crawl
