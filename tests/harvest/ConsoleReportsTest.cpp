#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korvalot::harvest
