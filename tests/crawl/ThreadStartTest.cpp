// A system that cannot create a thread: the run and its workers through a thread starter that
// fails the creations a case names, as a machine out of threads would.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ostream>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "crawl/PhaseLoop.h"
#include "crawl/ResultsFile.h"
#include "crawl/fakes/FakeRegister.h"
#include "crawl/fakes/RecordingReports.h"
#include "crawl/fakes/TempDir.h"
#include "crawl/uScraper.h"

namespace korvalot::crawl {
namespace {

using namespace std::chrono_literals;
using testing_support::FakeRegister;
using testing_support::RecordingReports;
using testing_support::TempDir;
using testing_support::TradeBook;

const std::string kBase = "https://reg.test";
const std::string kNoThread = "ERROR Не удалось создать поток: ";
const std::string kSearch =
    kBase +
    "/backend/biddings?limit=50&offset=0&tradeType=OpenAuction&regionCode=77&tradeStartDate="
    "2023-01-01T00%3A00%3A00&tradeEndDate=2023-01-31T23%3A59%3A59";

// Creations are counted from 1 in the order asked for; those named fail, and so does every one
// from failFrom on (0: none).
struct FailingThreads {
    std::set<int> failing;
    int failFrom = 0;
    std::atomic<int> asked{0};

    util::ThreadStarter Starter() {
        return [this](std::function<void()> body) {
            const int n = ++asked;
            if (failing.contains(n) || (failFrom > 0 && n >= failFrom))
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            return std::thread(std::move(body));
        };
    }
};

class ThreadStartTest : public testing::Test {
protected:
    void SetUp() override {
        reports.inputs.regionItems = {"Москва (77)"};
        reports.inputs.tradeTypePositions = {0};
        reports.inputs.dateFrom = std::chrono::year_month_day{
            std::chrono::year(2023), std::chrono::January, std::chrono::day(1)};
        reports.inputs.dateTo = std::chrono::year_month_day{
            std::chrono::year(2023), std::chrono::January, std::chrono::day(31)};
        book.Add({"t1", "77", "OpenAuction", "2023-01-02"});
        book.Add({"t2", "77", "OpenAuction", "2023-01-03"});
        reg = FakeRegister::Create(book.Script());
    }

    // One worker at a time, so that the creations come in a known order: the crawl thread, the
    // search job, then the cards in the order met.
    std::shared_ptr<TScraper> Create() {
        ScraperEnvironment env;
        env.transport = reg->Factory();
        env.executableDir = exeDir.path();
        env.guidsFile = exeDir / "guids.txt";
        env.tickCount = [] { return std::int32_t{7}; };
        env.openDocument = [](const std::filesystem::path&) {};
        env.mutexName = "Global\\KorvalotThreadTest";
        env.timings = {2ms, 1ms};
        env.timings.errorPause = 20ms;
        env.startThread = threads.Starter();
        auto run = TScraper::Create(reports, kBase, env);
        run->Limit = 1;
        return run;
    }

    std::vector<std::string> LogLinesWith(const std::string& part) const {
        std::vector<std::string> lines;
        for (const auto& line : reports.LogTexts()) {
            if (line.find(part) != std::string::npos)
                lines.push_back(line);
        }
        return lines;
    }

    // The guids of the results file's lines, in any order.
    std::multiset<std::string> Harvested() const {
        std::multiset<std::string> guids;
        const std::string text = testing_support::ReadBytes(exeDir / ResultsFile::FileName(7));
        const std::string link = "\"" + kBase + "/biddings/";
        for (auto at = text.find(link); at != std::string::npos; at = text.find(link, at + 1)) {
            const auto from = at + link.size();
            guids.insert(text.substr(from, text.find('"', from) - from));
        }
        return guids;
    }

    TradeBook book{kBase};
    std::shared_ptr<FakeRegister> reg;
    TempDir exeDir;
    RecordingReports reports;
    FailingThreads threads;
};

TEST_F(ThreadStartTest, ARunWhoseThreadCannotBeCreatedHasEndedAndCanBeJoined) {
    threads.failing = {1};
    auto run = Create();
    EXPECT_FALSE(run->Start());
    EXPECT_FALSE(run->IsLive());
    EXPECT_TRUE(run->WaitUntilEnded(0ms));
    EXPECT_TRUE(run->Join(0ms));
    EXPECT_EQ(run->Summary().end, RunSummary::End::NotStarted);
    EXPECT_TRUE(reports.Reports().empty());
    EXPECT_TRUE(reg->Calls().empty());
}

struct WorkerCase {
    const char* name;
    std::set<int> failing;  // 1 is the crawl thread
    int failFrom = 0;
    std::vector<std::string> lostLines;  // log lines of jobs given up, before their reason
    std::multiset<std::string> harvested;
    std::int64_t searchJobsFailed = 0;
    std::int64_t tradeJobsFailed = 0;
};

void PrintTo(const WorkerCase& c, std::ostream* os) {
    *os << c.name;
}

class WorkerThreadStartTest : public ThreadStartTest,
                              public testing::WithParamInterface<WorkerCase> {};

// A worker without a thread is a failed job of its phase: logged with the reason, asked once
// more at the end of the phase, given up when that fails too, and the run ends and is joined.
TEST_P(WorkerThreadStartTest, AWorkerWithoutAThreadIsAFailedJobWithItsSecondChance) {
    const WorkerCase& c = GetParam();
    threads.failing = c.failing;
    threads.failFrom = c.failFrom;
    auto run = Create();
    ASSERT_TRUE(run->Start());
    ASSERT_TRUE(run->WaitUntilEnded(60s));
    EXPECT_TRUE(run->Join(60s));
    EXPECT_TRUE(reg->WaitUntilNoTransport(60s));

    const RunSummary summary = run->Summary();
    EXPECT_EQ(summary.end, RunSummary::End::Finished);
    EXPECT_EQ(summary.searchJobsFailed, c.searchJobsFailed);
    EXPECT_EQ(summary.tradeJobsFailed, c.tradeJobsFailed);
    const auto failed = LogLinesWith(kNoThread);
    const auto failedCreations =
        c.failFrom > 0 ? threads.asked.load() - c.failFrom + 1 : static_cast<int>(c.failing.size());
    EXPECT_EQ(static_cast<int>(failed.size()), failedCreations);
    // Every failure but a job's last is followed by its second chance.
    EXPECT_EQ(
        std::count_if(failed.begin(), failed.end(),
                      [](const std::string& line) { return line.ends_with(kRetryLaterNote); }),
        static_cast<long>(failed.size() - c.lostLines.size()));
    for (const auto& lost : c.lostLines) {
        const auto it = std::find_if(failed.begin(), failed.end(), [&](const std::string& line) {
            return line.starts_with(lost + ": " + kNoThread) && !line.ends_with(kRetryLaterNote);
        });
        EXPECT_NE(it, failed.end()) << lost;
    }
    if (c.harvested.empty())
        EXPECT_FALSE(std::filesystem::exists(exeDir / ResultsFile::FileName(7)));
    else
        EXPECT_EQ(Harvested(), c.harvested);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerThreadStartTest,
    testing::Values(WorkerCase{"SearchJobOnce", {2}, 0, {}, {"t1", "t2"}, 0, 0},
                    WorkerCase{"CardOnce", {3}, 0, {}, {"t1", "t2"}, 0, 0},
                    WorkerCase{"CardTwice", {3, 5}, 0, {"Карточка t1"}, {"t2"}, 0, 1},
                    WorkerCase{"EveryWorker", {}, 2, {kSearch}, {}, 1, 0}),
    [](const testing::TestParamInfo<WorkerCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::crawl
