#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "crawl/ResultsFile.h"
#include "crawl/SearchQueries.h"
#include "crawl/fakes/RecordingReports.h"
#include "crawl/fakes/TempDir.h"
#include "crawl/uScraper.h"
#include "json/JsonValue.h"
#include "support/ResultsFileReader.h"
#include "tools/register-sim/SimProcess.h"
#include "util/Platform.h"

namespace korvalot::crawl {
namespace {

using namespace std::chrono_literals;
using testing_support::ReadBytes;
using testing_support::RecordingReports;
using testing_support::TempDir;

constexpr std::int32_t kTick = 777;

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The environment of a harvest into these two folders: a fixed tick and short timings; the
// results file is not handed to the desktop.
ScraperEnvironment HarvestEnvironment(const TempDir& exeDir, const TempDir& workDir) {
    ScraperEnvironment env;
    env.executableDir = exeDir.path();
    env.guidsFile = workDir / "guids.txt";
    env.tickCount = [] { return kTick; };
    env.openDocument = [](const std::filesystem::path&) {};
    env.mutexName = "Global\\KorvalotTest";
    env.timings = {5ms, 20ms, 20ms};
    env.timings.errorPause = 20ms;
    return env;
}

// The lines the run sums itself up with, printed so that a reader of the test's output sees them.
void PrintSummary(const std::vector<std::string>& log) {
    bool summary = false;
    for (const auto& line : log) {
        summary = summary || line.starts_with("Итоги: ");
        if (summary)
            std::printf("summary: %s\n", line.c_str());
    }
}

struct Selection {
    const char* what;
    std::vector<std::string> regionItems;
    std::vector<int> types;
    bool cards;  // false: the run is stopped at the hand-over and guids.txt is compared
    double faultRate;
};

void PrintTo(const Selection& s, std::ostream* os) {
    *os << s.what << (s.faultRate > 0 ? ", faults" : "");
}

class HarvestTest : public ::testing::TestWithParam<Selection> {};

// The harvest of a selection holds exactly the register's trades for it: every lot one row,
// none lost, none twice.
TEST_P(HarvestTest, HoldsExactlyTheRegistersTradesForTheSelection) {
    const Selection& s = GetParam();
    std::vector<std::string> args = {"--port", "0",  "--trades",   "3000",
                                     "--seed", "11", "--stall-ms", "100"};
    if (s.faultRate > 0) {
        args.insert(args.end(), {"--fault-rate", std::to_string(s.faultRate)});
    }
    tools::SimProcess sim(args);

    std::vector<std::string> codes;
    std::map<std::string, std::string> names;
    for (const auto& item : s.regionItems) {
        const auto open = item.rfind(" (");
        codes.push_back(item.substr(open + 2, item.size() - open - 3));
        names[codes.back()] = item.substr(0, open);
    }
    std::string typesParam;
    for (const int t : s.types) {
        typesParam += (typesParam.empty() ? "" : ",") + std::string(kTradeTypeCodes[t]);
    }
    std::string regionsParam;
    for (const auto& c : codes)
        regionsParam += (regionsParam.empty() ? "" : ",") + c;
    const auto truthAnswer = sim.Get("/sim/truth?regions=" + regionsParam + "&types=" + typesParam +
                                     "&from=2026-01-01&to=2026-06-30");
    ASSERT_EQ(truthAnswer.status, 200);
    const json::JsonValue truth = json::Parse(truthAnswer.body);
    ASSERT_FALSE(truth.IsNothing());
    std::map<std::string, int> lots;              // guid -> lots
    std::map<std::string, std::string> regionOf;  // guid -> region code
    for (std::size_t k = 0; k < truth.Length(); ++k) {
        const auto t = truth.Element(k);
        const std::string guid = Lower(t.MemberText("guid"));
        lots[guid] = std::stoi(t.MemberText("lots"));
        regionOf[guid] = t.MemberText("regionCode");
    }
    ASSERT_GT(lots.size(), 10u) << "a selection worth harvesting";

    TempDir exeDir;
    TempDir workDir;
    RecordingReports reports;
    reports.inputs.regionItems = s.regionItems;
    reports.inputs.tradeTypePositions = s.types;
    reports.inputs.dateFrom = std::chrono::year_month_day{
        std::chrono::year(2026), std::chrono::January, std::chrono::day(1)};
    reports.inputs.dateTo = std::chrono::year_month_day{std::chrono::year(2026), std::chrono::June,
                                                        std::chrono::day(30)};
    if (!s.cards) {
        reports.onReport = [](TScraper& run, const testing_support::Report& r) {
            if (r.text.starts_with("Найдено торгов: "))
                run.Terminate();
        };
    }
    ScraperEnvironment env = HarvestEnvironment(exeDir, workDir);
    auto run = TScraper::Create(reports, sim.BaseUrl(), env);
    run->Limit = 4;
    run->Start();
    ASSERT_TRUE(run->WaitUntilEnded(600s));

    // Every answer arrived within its ten attempts.
    const auto stats = json::Parse(sim.Get("/sim/stats").body);
    EXPECT_EQ(stats.MemberText("failedTenTimes"), "0");
    if (s.faultRate > 0) {
        EXPECT_NE(stats.MemberText("faultsTotal"), "0");
    }
    for (const auto& line : reports.LogTexts()) {
        EXPECT_EQ(line.find(": ERROR"), std::string::npos) << line;
    }

    // guids.txt: every trade of the selection once.
    std::multiset<std::string> found;
    for (const std::string& guid : util::ReadListFile(workDir / "guids.txt"))
        found.insert(Lower(guid));
    std::multiset<std::string> expectedGuids;
    for (const auto& [guid, n] : lots)
        expectedGuids.insert(guid);
    EXPECT_EQ(found, expectedGuids);
    if (!s.cards)
        return;

    EXPECT_EQ(reports.Results(), (std::vector<std::string>{"ok"}));
    const std::string bytes = ReadBytes(exeDir / ResultsFile::FileName(kTick));
    const auto records = korvalot::testing::ReadResultsFile(bytes, ResultsFile::kHeader);
    ASSERT_EQ(records.problem, "");
    ASSERT_FALSE(records.rows.empty());
    std::map<std::string, int> rows;
    const std::string prefix = sim.BaseUrl() + "/biddings/";
    for (const auto& record : records.rows) {
        ASSERT_TRUE(record[0].starts_with(prefix)) << record[0];
        const std::string guid = Lower(record[0].substr(prefix.size()));
        ++rows[guid];
        EXPECT_EQ(record[1], names[regionOf[guid]]) << guid;
    }
    std::map<std::string, int> expectedRows;
    for (const auto& [guid, n] : lots) {
        if (n > 0)
            expectedRows[guid] = n;
    }
    EXPECT_EQ(rows, expectedRows);
    const RunSummary summary = run->Summary();
    EXPECT_TRUE(summary.Complete());
    EXPECT_EQ(summary.tradesFound, static_cast<std::int64_t>(lots.size()));
    EXPECT_EQ(summary.rowsWritten, static_cast<std::int64_t>(records.rows.size()));
    PrintSummary(reports.LogTexts());
}

INSTANTIATE_TEST_SUITE_P(
    Selections, HarvestTest,
    ::testing::Values(Selection{"two regions two types",
                                {"Республика Саха (Якутия) (14)", "Московская область (50)"},
                                {0, 2},
                                true,
                                0.0},
                      Selection{"two regions two types",
                                {"Республика Саха (Якутия) (14)", "Московская область (50)"},
                                {0, 2},
                                true,
                                0.2},
                      // The crowded days of this register need splits by date and by price.
                      Selection{"crowded region search", {"Москва (77)"}, {0}, false, 0.0},
                      Selection{"crowded region search", {"Москва (77)"}, {0}, false, 0.2}),
    [](const ::testing::TestParamInfo<Selection>& info) {
        std::string name = info.param.cards ? "Harvest" : "CrowdedSearch";
        return name + (info.param.faultRate > 0 ? "WithFaults" : "");
    });

// A crowded day with trades whose lots have no start price: no price range finds them, so each
// is either on the uncut day's first thousand and harvested, or counted in the line that
// accounts for the day; none is silently missing.
TEST(CrowdedDayTest, TradesWithoutAPricedLotAreHarvestedOrAccountedFor) {
    tools::SimProcess sim(
        {"--port", "0", "--trades", "6000", "--seed", "11", "--unpriced-crowded", "4"});
    const json::JsonValue truth =
        json::Parse(sim.Get("/sim/truth?regions=77&types=OpenAuction").body);
    std::map<std::string, int> perDay;
    for (std::size_t k = 0; k < truth.Length(); ++k)
        ++perDay[truth.Element(k).MemberText("tradeDate")];
    const auto crowded = std::max_element(perDay.begin(), perDay.end(),
                                          [](auto& a, auto& b) { return a.second < b.second; });
    ASSERT_GT(crowded->second, 1002);
    const std::string day = crowded->first;
    std::map<std::string, bool> priced;  // guid -> has a priced lot
    for (std::size_t k = 0; k < truth.Length(); ++k) {
        const auto t = truth.Element(k);
        if (t.MemberText("tradeDate") == day)
            priced[Lower(t.MemberText("guid"))] = t.MemberText("pricedLots") != "0";
    }

    TempDir exeDir;
    TempDir workDir;
    RecordingReports reports;
    reports.inputs.regionItems = {"Москва (77)"};
    reports.inputs.tradeTypePositions = {0};
    const auto ymd = ParseIsoDate(day);
    ASSERT_TRUE(ymd.has_value());
    reports.inputs.dateFrom = reports.inputs.dateTo = *ymd;
    // The search is what this is about; the cards of 1800 trades would only take time.
    reports.onReport = [](TScraper& run, const testing_support::Report& r) {
        if (r.text.starts_with("Найдено торгов: "))
            run.Terminate();
    };
    ScraperEnvironment env = HarvestEnvironment(exeDir, workDir);
    auto run = TScraper::Create(reports, sim.BaseUrl(), env);
    run->Start();
    ASSERT_TRUE(run->WaitUntilEnded(600s));

    std::set<std::string> listed;
    for (const std::string& guid : util::ReadListFile(workDir / "guids.txt"))
        listed.insert(Lower(guid));
    int missing = 0;
    int unpricedFound = 0;
    for (const auto& [guid, hasPrice] : priced) {
        if (!listed.contains(guid)) {
            EXPECT_FALSE(hasPrice) << "a trade with a priced lot was missed: " << guid;
            ++missing;
        } else {
            unpricedFound += !hasPrice;
        }
    }
    // Two of the four are on the day's first page, two past its thousandth trade.
    EXPECT_GE(unpricedFound, 2);
    EXPECT_GE(missing, 2);
    const std::string accounting = "Москва (77), Открытый аукцион, " + day +
                                   ": реестр сообщает о " + std::to_string(priced.size()) +
                                   " торгах, собрано " + std::to_string(priced.size() - missing) +
                                   "; ни одним запросом не достать: " + std::to_string(missing);
    EXPECT_TRUE(reports.LogContains(accounting)) << accounting;
    EXPECT_EQ(run->Summary().unreachable, missing);
    EXPECT_EQ(run->Summary().tradesReported, static_cast<std::int64_t>(priced.size()));
    PrintSummary(reports.LogTexts());
}

}  // namespace
}  // namespace korvalot::crawl
