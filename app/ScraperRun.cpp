#include "app/ScraperRun.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "app/HarvestSettings.h"
#include "app/RunWatchNews.h"
#include "app/UiHandOff.h"
#include "app/uMain.h"

namespace korvalot::app {
namespace {

// The window's side of a run's reports. Each operation crosses to the UI thread and waits.
class WindowReports : public crawl::ScraperReports {
public:
    // store: the trade store settings.ini has the run write, whose watches' news the window
    // tells at the run's end; nothing: none.
    WindowReports(std::shared_ptr<UiHandOff> handOff, MainFormLogic* logic,
                  std::optional<std::filesystem::path> store)
        : handOff_(std::move(handOff)), logic_(logic) {
        if (store)
            watchNews_.emplace(std::move(*store));
    }

    void UpdateRunUi(crawl::TScraper& run) override {
        if (!watchNews_) {
            handOff_->Call([&] { logic_->UpdateRunUi(run.CursorHourGlass); });
            return;
        }
        // The store is read here, on the crawl thread: the window never waits for it.
        if (run.CursorHourGlass) {
            watchNews_->Begin();
            handOff_->Call([&] { logic_->UpdateRunUi(true); });
            return;
        }
        const WatchNewsCount news = watchNews_->End();
        handOff_->Call([&] {
            // Before the log's last line, so that the log file has it too.
            logic_->ShowWatchNews(news.items, QString::fromStdString(news.error));
            logic_->UpdateRunUi(false);
        });
    }
    void ShowLogMessage(crawl::TScraper& run) override {
        handOff_->Call([&] { logic_->ShowLogMessage(QString::fromStdString(run.LogMessageText)); });
    }
    void ShowProgress(crawl::TScraper& run) override {
        handOff_->Call([&] { logic_->ShowProgress(run.ProgressBarPosition, run.ProgressBarMax); });
    }
    void ShowFoundCount(crawl::TScraper& run) override {
        handOff_->Call([&] { logic_->ShowFoundCount(run.firmscounter); });
    }
    void HandleRunResult(crawl::TScraper& run) override {
        handOff_->Call([&] { logic_->HandleRunResult(run.result); });
    }
    void ReportEvent(crawl::TScraper&, const crawl::RunEvent& event) override {
        if (const auto* started = std::get_if<crawl::ErrorPauseStarted>(&event)) {
            handOff_->Call([&] {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    started->resumeAt - std::chrono::steady_clock::now());
                logic_->StartResumeTimer(static_cast<int>(left.count()));
            });
        } else if (std::holds_alternative<crawl::ErrorPauseEnded>(event)) {
            handOff_->Call([&] { logic_->ResumeTimerTimer(); });
        }
    }
    void ShowRegisterWait(crawl::TScraper& run) override {
        handOff_->Call([&] {
            const crawl::RegisterWait& wait = run.WaitingForRegister;
            logic_->ShowRegisterWait(
                wait.waiting, std::chrono::duration_cast<std::chrono::seconds>(wait.down).count(),
                (std::chrono::duration_cast<std::chrono::milliseconds>(wait.nextProbe).count() +
                 999) /
                    1000);
        });
    }
    crawl::RunInputs ReadRunInputs(crawl::TScraper&) override {
        crawl::RunInputs inputs;
        handOff_->Call([&] {
            const WindowSelection window = logic_->CollectWindowSelection();
            for (const QString& item : window.regionItems) {
                inputs.regionItems.push_back(item.toStdString());
            }
            inputs.tradeTypePositions = window.tradeTypes;
            const auto toDay =
                [](const std::optional<QDate>& date) -> std::optional<std::chrono::year_month_day> {
                if (!date) {
                    return std::nullopt;
                }
                return std::chrono::year_month_day{
                    std::chrono::year{date->year()},
                    std::chrono::month{static_cast<unsigned>(date->month())},
                    std::chrono::day{static_cast<unsigned>(date->day())}};
            };
            inputs.dateFrom = toDay(window.from);
            inputs.dateTo = toDay(window.to);
            const LocaleFormats& regional = logic_->Services().regional;
            inputs.regional.decimalSeparator = QString(regional.DecimalSeparator()).toStdString();
            inputs.regional.logDateTimeFormat = regional.StampAsStrftime();
        });
        return inputs;
    }

private:
    std::shared_ptr<UiHandOff> handOff_;
    MainFormLogic* logic_;
    std::optional<RunWatchNews> watchNews_;
};

class ScraperRun : public IRunHandle {
public:
    ScraperRun(std::unique_ptr<WindowReports> reports, const std::string& baseUrl,
               crawl::ScraperEnvironment environment)
        : reports_(std::move(reports)),
          run_(crawl::TScraper::Create(*reports_, baseUrl, std::move(environment))) {}

    bool IsLive() const override { return run_->IsLive(); }
    bool IsPaused() const override { return run_->IsPaused(); }
    bool WaitUntilHalted(int timeoutMs) const override {
        return run_->WaitUntilHalted(std::chrono::milliseconds(timeoutMs));
    }
    void Pause() override { run_->Pause(); }
    void Resume() override { run_->Resume(); }
    void Terminate() override { run_->Terminate(); }

    void Start() {
        run_->Limit = 4;
        run_->Start();
    }
    void Cancel() { run_->Cancel(); }
    bool Join(std::chrono::milliseconds timeout) { return run_->Join(timeout); }

private:
    std::unique_ptr<WindowReports> reports_;  // outlives the run: declared first
    std::shared_ptr<crawl::TScraper> run_;
};

// A run's reports must outlive its crawl thread, also when the window is closed while the run
// goes on; runs are kept here until they have ended, and the program's end cancels and joins
// those still going (EndRuns).
struct RunKeeper {
    std::mutex mutex;
    std::vector<std::shared_ptr<ScraperRun>> runs;

    void Keep(std::shared_ptr<ScraperRun> run) {
        std::lock_guard lock(mutex);
        // An ended run may still own workers of a failed phase: it is let go of only when they
        // are done as well.
        std::erase_if(runs, [](const auto& kept) {
            return !kept->IsLive() && kept->Join(std::chrono::milliseconds::zero());
        });
        runs.push_back(std::move(run));
    }
};

// Never destroyed: the program ends its runs itself (EndRuns) once the window is gone; exit
// handlers run too late for that.
RunKeeper& Keeper() {
    static auto* keeper = new RunKeeper;
    return *keeper;
}

}  // namespace

bool EndRuns(std::chrono::milliseconds timeout) {
    RunKeeper& keeper = Keeper();
    std::lock_guard lock(keeper.mutex);
    for (const auto& run : keeper.runs) {
        run->Cancel();
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ended = true;
    for (const auto& run : keeper.runs) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        ended = run->Join(std::max(left, std::chrono::milliseconds::zero())) && ended;
    }
    if (ended) {
        keeper.runs.clear();
    }
    return ended;
}

void ConnectCrawl(TMainForm& form, crawl::ScraperEnvironment environment) {
    std::shared_ptr<UiHandOff> handOff = form.HandOff();
    MainFormLogic* logic = &form.Logic();
    logic->SetRunStarter([handOff, logic, environment]() -> std::shared_ptr<IRunHandle> {
        crawl::ScraperEnvironment runEnvironment = environment;
        ApplyHarvestSettings(logic->SettingsFile(), runEnvironment);
        std::optional<std::filesystem::path> store;
        if (!environment.openTradeSink && runEnvironment.openTradeSink)
            store = HarvestStorePath(logic->SettingsFile());
        auto run = std::make_shared<ScraperRun>(
            std::make_unique<WindowReports>(handOff, logic, std::move(store)),
            logic->Services().config.RegisterBaseUrl, std::move(runEnvironment));
        Keeper().Keep(run);
        run->Start();
        return run;
    });
}

}  // namespace korvalot::app
