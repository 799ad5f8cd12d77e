#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "crawl/uScraper.h"
#include "harvest/ConsoleReports.h"

namespace korvalot::harvest {
namespace {

// The texts of log lines, without the date and time in front.
std::vector<std::string> Texts(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        out.push_back(line.substr(line.find(": ") + 2));
    return out;
}

class ConsoleReportsTest : public testing::Test {
protected:
    ConsoleSettings Settings() {
        ConsoleSettings settings;
        settings.quiet = true;
        settings.registerBaseUrl = "https://reg.test";
        return settings;
    }
    void Log(const std::string& text) {
        run->LogMessageText = text;
        reports.ShowLogMessage(*run);
    }

    ConsoleReports reports{Settings()};
    std::shared_ptr<crawl::TScraper> run = crawl::TScraper::Create(reports, "https://reg.test");
};

// The closing lines begin after the lines about the latest job the run reported finished,
// whatever those lines say.
TEST_F(ConsoleReportsTest, ClosingLinesFollowTheLatestFinishedJob) {
    Log("Карточка g1: успешно");
    reports.ReportEvent(
        *run, crawl::JobFinished{crawl::RunPhase::Cards, "g1", crawl::JobFate::Done, std::nullopt});
    Log("Карточка g2: не получена, реестр не отвечает");
    reports.ReportEvent(*run, crawl::JobFinished{crawl::RunPhase::Cards, "g2",
                                                 crawl::JobFate::NotDone, std::nullopt});
    Log("Итоги: работа завершена");
    Log("Время работы: 1 с");
    EXPECT_EQ(Texts(reports.ClosingLines()),
              (std::vector<std::string>{"Итоги: работа завершена", "Время работы: 1 с"}));
}

// The run pauses itself: the console logs its result and the pause's end, and Stop only asks
// the run to stop, which ends the pause too.
TEST_F(ConsoleReportsTest, TheErrorPauseIsLoggedAndStopEndsItWithoutAResume) {
    run->result = crawl::RunResult::Failure(std::string(250, 'x'));
    reports.HandleRunResult(*run);
    reports.ReportEvent(*run, crawl::ErrorPauseEnded{});
    run->result = crawl::RunResult::Success();
    reports.HandleRunResult(*run);
    run->Pause();
    reports.Stop(*run);
    EXPECT_TRUE(run->Terminated());
    EXPECT_FALSE(run->IsPaused());
    EXPECT_EQ(
        Texts(reports.ClosingLines()),
        (std::vector<std::string>{"Ошибка: " + std::string(200, 'x'), "Включаем паузу на 30 секунд",
                                  "Отключаем паузу, продолжаем работу", "Сбор данных завершен",
                                  "Останавливаем работу"}));
}

// The time left on the bar is reckoned from the pace of the latest jobs, on the console's own
// clock: not from the phase's first jobs, which end as far apart as the pacing started them,
// nor from jobs before a pause or before the position went back; a total that grows keeps the
// pace.
TEST(ConsoleProgressTest, TheTimeLeftFollowsThePaceOfTheLatestJobs) {
    struct Step {
        int afterMs;
        std::int32_t position;
        std::int32_t maximum;
        bool paused = false;
    };
    // Jobs done at positions first..last, one every `everyMs`.
    const auto jobs = [](std::int32_t first, std::int32_t last, int everyMs, std::int32_t maximum) {
        std::vector<Step> steps;
        for (std::int32_t p = first; p <= last; ++p)
            steps.push_back({everyMs, p, maximum});
        return steps;
    };
    const auto join = [](std::vector<std::vector<Step>> parts) {
        std::vector<Step> all;
        for (auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::string shown;  // the bar's counts and what follows them, as last drawn
    };
    const std::vector<Case> cases = {
        {"SteadyPace", jobs(5, 10, 1000, 100), "10 из 100, осталось 1:30"},
        {"TooFewJobsForAPace", jobs(5, 6, 1000, 100), "6 из 100"},
        // The four the pacing started are left out: 13 left at 2 s each.
        {"FirstJobsLeftOut", join({jobs(1, 4, 200, 20), jobs(5, 7, 2000, 20)}),
         "7 из 20, осталось 0:26"},
        {"TotalThatGrows", join({jobs(5, 7, 1000, 10), jobs(8, 8, 1000, 40)}),
         "8 из 40, осталось 0:32"},
        {"PositionThatGoesBack",
         join({jobs(5, 8, 1000, 100), jobs(2, 2, 1000, 100), jobs(5, 7, 10000, 100)}),
         "7 из 100, осталось 15:30"},
        // Fifty slow jobs, then fifty at a second each: only the latest fifty count.
        {"OnlyTheLatestFifty", join({jobs(5, 55, 10000, 200), jobs(56, 105, 1000, 200)}),
         "105 из 200, осталось 1:35"},
        {"PauseStartsAfresh",
         join({jobs(5, 10, 1000, 100), {{1000, 10, 100, true}}, jobs(11, 12, 1000, 100)}),
         "12 из 100"},
        {"PausedShowsThePause", join({jobs(5, 10, 1000, 100), {{1000, 10, 100, true}}}),
         "10 из 100, пауза после ошибки"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), &std::fclose);
        ASSERT_NE(out, nullptr);
        auto now = std::chrono::steady_clock::time_point(std::chrono::hours(1));
        ConsoleSettings settings;
        settings.terminal = true;
        settings.progressStream = out.get();
        settings.clock = [&now] { return now; };
        ConsoleReports reports(settings);
        auto run = crawl::TScraper::Create(reports, "https://reg.test");
        run->Limit = 4;
        for (const Step& step : c.steps) {
            now += std::chrono::milliseconds(step.afterMs);
            run->ProgressBarPosition = step.position;
            run->ProgressBarMax = step.maximum;
            if (step.paused)
                run->Pause();
            reports.ShowProgress(*run);
            if (step.paused)
                run->Resume();
        }
        std::string drawn(static_cast<std::size_t>(std::ftell(out.get())), '\0');
        std::rewind(out.get());
        ASSERT_EQ(std::fread(drawn.data(), 1, drawn.size(), out.get()), drawn.size());
        const std::size_t last = drawn.rfind("] ");
        ASSERT_NE(last, std::string::npos) << drawn;
        EXPECT_EQ(drawn.substr(last + 2), c.shown);
    }
}

}  // namespace
}  // namespace korvalot::harvest
