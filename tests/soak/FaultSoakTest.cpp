// Whole harvests against a register that fails a fifth of all attempts in every way it knows,
// stalls included: nothing may be lost or written twice, a try of a job fails exactly when the
// register failed one of its addresses ten times in a row, and a job is given up only after its
// last chance failed too.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "crawl/ResultsFile.h"
#include "crawl/SearchQueries.h"
#include "crawl/fakes/RecordingReports.h"
#include "crawl/fakes/TempDir.h"
#include "json/JsonValue.h"
#include "soak/SoakSupport.h"
#include "tools/register-sim/SimProcess.h"
#include "util/Platform.h"

namespace korvalot::soak {
namespace {

using namespace std::chrono_literals;
using crawl::testing_support::ReadBytes;
using crawl::testing_support::RecordingReports;
using crawl::testing_support::TempDir;

struct SoakCase {
    const char* name;
    std::uint64_t seed;
    int failFirst;      // every address fails this many times first
    const char* kinds;  // fault kinds of the simulator
    // Only then can every trade of the register be demanded; otherwise the trades that arrive
    // must be whole and the failures must match.
    bool everyTrade;
    const char* rate = "0.2";  // share of attempts that fail
};

void PrintTo(const SoakCase& c, std::ostream* os) {
    *os << c.name;
}

class FaultSoakTest : public ::testing::TestWithParam<SoakCase> {};

TEST_P(FaultSoakTest, EveryTradeOnceAndFailuresMatchTheRegister) {
    const SoakCase& c = GetParam();
    // Cases where every address fails nine times first stay small: they would take hours.
    const bool longRun = LongRun() && c.failFirst == 0;
    // A stall lasts longer than the client waits for data, so it ends in "Read timed out.".
    // Without stalls the limit is generous: a slow answer on a loaded machine must not count as
    // one more failure where the failures are counted exactly.
    const bool stalls = std::string(c.kinds).find("stall") != std::string::npos;
    const auto readLimit = stalls ? 2000ms : 15000ms;
    tools::SimProcess sim({"--port", "0", "--trades", longRun ? "10000" : "1500", "--seed",
                           std::to_string(c.seed), "--fault-rate", c.rate, "--fault-kinds", c.kinds,
                           "--fail-first", std::to_string(c.failFirst), "--stall-ms", "2500"});

    // The long run takes in the crowded region, whose days are split by date and price.
    const std::vector<std::string> items =
        longRun
            ? std::vector<std::string>{"Москва (77)", "Московская область (50)",
                                       "Республика Саха (Якутия) (14)"}
            : std::vector<std::string>{"Московская область (50)", "Республика Саха (Якутия) (14)"};
    const std::string codes = longRun ? "77,50,14" : "50,14";
    const auto truth = ReadTruth(sim.Get("/sim/truth?regions=" + codes +
                                         "&types=OpenAuction,PublicOffer"
                                         "&from=2026-01-01&to=2026-06-30")
                                     .body);
    ASSERT_GT(truth.size(), 20u);

    TempDir exeDir;
    TempDir workDir;
    RecordingReports reports;
    reports.inputs.regionItems = items;
    reports.inputs.tradeTypePositions = {0, 2};
    reports.inputs.dateFrom = std::chrono::year_month_day{
        std::chrono::year(2026), std::chrono::January, std::chrono::day(1)};
    reports.inputs.dateTo = std::chrono::year_month_day{std::chrono::year(2026), std::chrono::June,
                                                        std::chrono::day(30)};
    fetch::ClientLimits limits;
    limits.connect = readLimit;
    limits.read = readLimit;
    crawl::ScraperEnvironment environment =
        TestEnvironment(exeDir.path(), workDir.path(), {5ms, 1ms, 1ms, 5ms},
                        fetch::WorkerClientTransportFactory(limits));
    // An incremental run: skip.txt must name what the file holds, and nothing else.
    environment.recordHarvested = true;
    auto run = crawl::TScraper::Create(reports, sim.BaseUrl(), environment);
    const auto started = std::chrono::steady_clock::now();
    run->Start();
    ASSERT_TRUE(run->WaitUntilEnded(1800s)) << "the run did not end";
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const json::JsonValue stats = json::Parse(sim.Get("/sim/stats").body);
    const json::JsonValue faults = stats.Member("faults");
    for (const char* kind :
         {"503", "500", "empty", "html", "truncated", "reset", "stall", "malformed"}) {
        if (std::string(c.kinds).find(kind) != std::string::npos) {
            EXPECT_NE(faults.MemberText(kind), "0") << "no fault of kind " << kind << " was met";
        }
    }

    const auto log = reports.LogTexts();
    const auto failedLines = FailedJobLines(log, sim.BaseUrl());
    const auto deferredLines = DeferredJobLines(log, sim.BaseUrl());
    // Tries that failed while several jobs in a row met the register's failures: held as an
    // outage, not counted against their jobs, but tries all the same.
    const auto heldLines = HeldJobLines(log, sim.BaseUrl());
    std::set<std::string> failedCards;
    bool searchFailed = false;
    for (const auto& line : failedLines) {
        const std::string prefix = "Карточка ";
        if (line.starts_with(prefix)) {
            const std::size_t end = line.find(": ", prefix.size());
            failedCards.insert(Lower(line.substr(prefix.size(), end - prefix.size())));
        } else {
            searchFailed = true;
        }
    }
    // Each try of a job that failed is one run of ten failures in a row at one of its
    // addresses: a job that failed its first try and then its last chance met two. Every
    // attempt is one request to the register, a reset of a kept connection included, so the
    // count is exact with resets too.
    const std::size_t failedTries = failedLines.size() + deferredLines.size() + heldLines.size();
    const std::size_t runsOfTen = std::stoul(stats.MemberText("runsOfTenFailures"));
    EXPECT_EQ(failedTries, runsOfTen)
        << "failed tries are not the runs of ten failures the register counted";
    // Every job given up had its last chance.
    EXPECT_LE(failedLines.size(), deferredLines.size());
    EXPECT_EQ(reports.Results(), std::vector<std::string>{"ok"});

    const GuidLines guids = ReadGuidsFile(ReadBytes(workDir / "guids.txt"));
    ASSERT_EQ(guids.problem, "");
    std::set<std::string> listed;
    for (const auto& g : guids.lines) {
        EXPECT_TRUE(listed.insert(Lower(g)).second) << "listed twice: " << g;
        EXPECT_TRUE(truth.contains(Lower(g))) << "not a trade of the selection: " << g;
    }
    if (!searchFailed) {
        // A trade no query can reach (no priced lot, past the thousandth of a crowded day) is
        // allowed to be missing only where the log counts it.
        std::map<std::string, std::int64_t> missingByDay;
        for (const auto& [guid, t] : truth) {
            if (!listed.contains(guid))
                ++missingByDay[t.regionCode + "|" + t.tradeType + "|" + t.tradeDate];
        }
        EXPECT_EQ(missingByDay, UnreachableByDay(log))
            << "trades missing from guids.txt that the log does not account for, or the other "
               "way round";
        std::int64_t missing = 0;
        for (const auto& [day, n] : missingByDay)
            missing += n;
        EXPECT_EQ(run->Summary().unreachable, missing);
    }

    const ResultsRecords records =
        ReadResultsFile(ReadBytes(exeDir / crawl::ResultsFile::FileName(kTick)));
    ASSERT_EQ(records.problem, "");
    const auto rows = RowsPerGuid(records, sim.BaseUrl());
    std::map<std::string, int> expectedRows;
    for (const auto& g : listed) {
        const int lots = truth.count(g) ? truth.at(g).lots : 0;
        if (lots > 0 && !failedCards.contains(g))
            expectedRows[g] = lots;
    }
    EXPECT_EQ(rows, expectedRows);
    // Every listed trade is harvested and named in skip.txt, or named as failed in the log and
    // absent from skip.txt: nothing lost silently, nothing vouched for that is not in the file.
    std::set<std::string> recorded;
    for (const auto& line : util::ReadListFile(exeDir / "skip.txt")) {
        const std::string prefix = sim.BaseUrl() + "/biddings/";
        ASSERT_TRUE(line.starts_with(prefix)) << line;
        recorded.insert(Lower(line.substr(prefix.size())));
    }
    for (const auto& g : listed) {
        if (failedCards.contains(g)) {
            EXPECT_FALSE(recorded.contains(g)) << "failed, yet in skip.txt: " << g;
        } else {
            EXPECT_TRUE(recorded.contains(g)) << "harvested, yet not in skip.txt: " << g;
        }
    }
    for (const auto& g : recorded)
        EXPECT_TRUE(listed.contains(g)) << "in skip.txt, never listed: " << g;
    EXPECT_EQ(run->Summary().cardsIncomplete, 0);
    if (c.everyTrade) {
        EXPECT_TRUE(failedLines.empty()) << failedLines.front();
    } else {
        EXPECT_FALSE(deferredLines.empty()) << "the case was meant to make jobs fail a try";
    }

    std::printf(
        "soak: case=%s seed=%llu trades=%zu listed=%zu rows=%zu requests=%s faults=%s "
        "(503 %s, 500 %s, empty %s, html %s, truncated %s, reset %s, stall %s, malformed %s) "
        "failedJobs=%zu deferredJobs=%zu heldJobs=%zu failedTenTimes=%s runsOfTen=%s "
        "unreachable=%lld wall=%.1fs\n",
        c.name, static_cast<unsigned long long>(c.seed), truth.size(), listed.size(),
        records.rows.size(), stats.MemberText("requests").c_str(),
        stats.MemberText("faultsTotal").c_str(), faults.MemberText("503").c_str(),
        faults.MemberText("500").c_str(), faults.MemberText("empty").c_str(),
        faults.MemberText("html").c_str(), faults.MemberText("truncated").c_str(),
        faults.MemberText("reset").c_str(), faults.MemberText("stall").c_str(),
        faults.MemberText("malformed").c_str(), failedLines.size(), deferredLines.size(),
        heldLines.size(), stats.MemberText("failedTenTimes").c_str(),
        stats.MemberText("runsOfTenFailures").c_str(),
        static_cast<long long>(run->Summary().unreachable), seconds);
}

constexpr const char* kEveryKind = "503,500,empty,html,truncated,reset,stall";
constexpr const char* kEveryKindMalformedToo = "503,500,empty,html,truncated,reset,stall,malformed";

INSTANTIATE_TEST_SUITE_P(
    Harvests, FaultSoakTest,
    ::testing::Values(SoakCase{"Seed3", 3, 0, kEveryKind, true},
                      SoakCase{"Seed17", 17, 0, kEveryKind, true},
                      SoakCase{"Seed29", 29, 0, kEveryKind, true},
                      // Answers of the wrong shape among the rest, three attempts in ten failing:
                      // each is asked for again, none passes for a page or a card.
                      SoakCase{"MalformedTooAt30", 11, 0, kEveryKindMalformedToo, true, "0.3"},
                      // Nine failures first make a tenth one common, so jobs are given up and
                      // their count can be held against the register's. Without stalls, which
                      // would only make it slow.
                      SoakCase{"NineFailuresFirst", 7, 9, "503,500,empty,html,truncated", false},
                      // A reset on a kept connection costs one of the ten attempts like any other
                      // failure; were it re-sent silently, the register would see eleven requests.
                      SoakCase{"NineFailuresFirstWithResets", 7, 9,
                               "503,500,empty,html,truncated,reset", false}),
    [](const ::testing::TestParamInfo<SoakCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::soak
