// Many runs paused, resumed and stopped at random moments, as an impatient operator would:
// every run must end, and whatever a run leaves behind must be whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crawl/ResultsFile.h"
#include "crawl/fakes/RecordingReports.h"
#include "crawl/fakes/TempDir.h"
#include "soak/SoakSupport.h"
#include "tools/register-sim/SimProcess.h"

namespace korvalot::soak {
namespace {

using namespace std::chrono_literals;
using crawl::testing_support::ReadBytes;
using crawl::testing_support::RecordingReports;
using crawl::testing_support::TempDir;
using Clock = std::chrono::steady_clock;

// One operator action: after `wait`, pause (or resume when paused), or stop as the window's
// Stop does (a paused run is resumed first so that it sees the request).
struct Action {
    enum Kind { TogglePause, Stop } kind;
    std::chrono::milliseconds wait;
};

// Actions at random moments within the first 1.5 s of a run, whose search phase takes about
// the first 0.2 s: four plans in ten stop it there, three later, three let it end by itself.
// Pauses fall anywhere, also between a stop and the run's end.
std::vector<Action> PlanFor(std::mt19937& random) {
    std::vector<std::pair<int, Action::Kind>> moments;
    std::uniform_int_distribution<int> anyTime(0, 1500);
    const int toggles = std::uniform_int_distribution<int>(0, 6)(random);
    for (int i = 0; i < toggles; ++i)
        moments.emplace_back(anyTime(random), Action::TogglePause);
    const double stopDraw = std::uniform_real_distribution<double>(0, 1)(random);
    if (stopDraw < 0.4) {
        moments.emplace_back(std::uniform_int_distribution<int>(0, 200)(random), Action::Stop);
    } else if (stopDraw < 0.7) {
        moments.emplace_back(std::uniform_int_distribution<int>(200, 1500)(random), Action::Stop);
    }
    std::sort(moments.begin(), moments.end());
    std::vector<Action> plan;
    int previous = 0;
    for (const auto& [at, kind] : moments) {
        plan.push_back({kind, std::chrono::milliseconds(at - previous)});
        previous = at;
    }
    return plan;
}

TEST(StormTest, RunsPausedAndStoppedAtRandomMomentsEndWholeAndComplete) {
    const bool longRun = LongRun();
    const int runs = longRun ? 300 : 50;
    // A little latency and a few faults stretch each run over many pause points.
    tools::SimProcess sim({"--port", "0", "--trades", "1500", "--seed", "5", "--latency-ms", "10",
                           "--fault-rate", "0.05", "--fault-kinds", "503,empty,truncated,reset"});
    const auto truth =
        ReadTruth(sim.Get("/sim/truth?regions=14,23&types=OpenAuction,OpenConcours,PublicOffer,"
                          "CloseAuction,CloseConcours,ClosePublicOffer"
                          "&from=2026-01-01&to=2026-06-30")
                      .body);
    ASSERT_GT(truth.size(), 10u);

    fetch::ClientLimits limits;
    limits.connect = 5s;
    limits.read = 5s;
    std::mt19937 random(20261210);
    int stopped = 0;
    int finished = 0;
    int toggles = 0;
    int withFile = 0;
    std::size_t rowsSeen = 0;
    double longestEnd = 0;
    for (int n = 0; n < runs; ++n) {
        SCOPED_TRACE("run " + std::to_string(n));
        const std::vector<Action> plan = PlanFor(random);
        TempDir exeDir;
        TempDir workDir;
        RecordingReports reports;
        reports.inputs.regionItems = {"Республика Саха (Якутия) (14)", "Краснодарский край (23)"};
        reports.inputs.tradeTypePositions = {0, 1, 2, 3, 4, 5};
        reports.inputs.dateFrom = std::chrono::year_month_day{
            std::chrono::year(2026), std::chrono::January, std::chrono::day(1)};
        reports.inputs.dateTo = std::chrono::year_month_day{
            std::chrono::year(2026), std::chrono::June, std::chrono::day(30)};
        auto run = crawl::TScraper::Create(
            reports, sim.BaseUrl(),
            TestEnvironment(exeDir.path(), workDir.path(), {15ms, 1ms, 10ms, 10ms},
                            fetch::WorkerClientTransportFactory(limits)));
        run->Start();
        bool stopRequested = false;
        for (const Action& action : plan) {
            std::this_thread::sleep_for(action.wait);
            if (action.kind == Action::Stop) {
                if (run->IsPaused())
                    run->Resume();
                run->Terminate();
                stopRequested = true;
            } else {
                run->IsPaused() ? run->Resume() : run->Pause();
                ++toggles;
            }
        }
        if (run->IsPaused())
            run->Resume();
        const auto waitStart = Clock::now();
        const bool ended = run->WaitUntilEnded(120s);
        longestEnd =
            std::max(longestEnd, std::chrono::duration<double>(Clock::now() - waitStart).count());
        if (!ended) {
            // A run that never ends is the failure; its thread would use this frame's objects.
            ADD_FAILURE() << "the run did not end within 120 s after the last action";
            std::abort();
        }
        stopRequested ? ++stopped : ++finished;
        // Workers of a stopped run end on their own, within their time limits.
        ASSERT_TRUE(run->Join(60s)) << "a worker of the run did not end";

        const auto all = reports.Reports();
        ASSERT_FALSE(all.empty());
        EXPECT_EQ(all.back().kind, crawl::testing_support::Report::UpdateRunUi);
        EXPECT_FALSE(all.back().hourGlass) << "the run ended without its finish report";
        EXPECT_TRUE(reports.Results().empty() ||
                    reports.Results() == std::vector<std::string>{"ok"})
            << "a result other than ok";

        if (std::filesystem::exists(workDir / "guids.txt")) {
            const GuidLines guids = ReadGuidsFile(ReadBytes(workDir / "guids.txt"));
            EXPECT_EQ(guids.problem, "");
            for (const auto& g : guids.lines)
                EXPECT_TRUE(truth.contains(Lower(g))) << "not a trade of the selection: " << g;
        }
        const auto file = exeDir / crawl::ResultsFile::FileName(kTick);
        if (!std::filesystem::exists(file)) {
            EXPECT_TRUE(stopRequested) << "a run that was not stopped wrote no results file";
            continue;
        }
        ++withFile;
        const ResultsRecords records = ReadResultsFile(ReadBytes(file));
        ASSERT_EQ(records.problem, "");
        rowsSeen += records.rows.size();
        // A trade's rows are written together: a stop or a pause never leaves half a trade.
        std::map<std::string, int> expected;
        for (const auto& [guid, count] : RowsPerGuid(records, sim.BaseUrl())) {
            ASSERT_TRUE(truth.contains(guid)) << guid;
            expected[guid] = truth.at(guid).lots;
        }
        EXPECT_EQ(RowsPerGuid(records, sim.BaseUrl()), expected);
        if (!stopRequested) {
            EXPECT_EQ(FailedJobLines(reports.LogTexts(), sim.BaseUrl()),
                      std::vector<std::string>{});
            std::map<std::string, int> all;
            for (const auto& [guid, t] : truth) {
                if (t.lots > 0)
                    all[guid] = t.lots;
            }
            EXPECT_EQ(RowsPerGuid(records, sim.BaseUrl()), all) << "a run left alone lost rows";
        }
    }
    std::printf(
        "storm: runs=%d stopped=%d finished=%d pauseToggles=%d withResultsFile=%d rows=%zu "
        "longestWaitForEnd=%.2fs\n",
        runs, stopped, finished, toggles, withFile, rowsSeen, longestEnd);
}

}  // namespace
}  // namespace korvalot::soak
