#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crawl/RegisterOutage.h"
#include "crawl/RunEvents.h"
#include "crawl/RunSummary.h"
#include "crawl/TradeSink.h"
#include "fetch/TScrapingThread2.h"
#include "fetch/WorkerOwner.h"
#include "util/Platform.h"
#include "util/Signal.h"

// One crawl run: from the operator's selection to the results file, on its own thread.
//
// How the window drives a run:
//
//   auto run = TScraper::Create(reports, registerBaseUrl);   // created, not started
//   run->Limit = 4;
//   run->Start();                                            // the crawl thread begins
//   ... run->Pause() / run->Resume() / run->IsPaused() / run->Terminate() from the UI thread
//   ... run->IsLive() is false once the crawl thread has ended; the window keeps the run until
//   ... Join(0) says its workers have ended too.
//   run->Cancel(); run->Join(timeout);                       // at the program's end
//
// Threads. The run owns its crawl thread and the fetch workers its phases stopped waiting for
// (a stopped or failed phase goes on without them); Join waits for all of them, and destroying
// a run cancels it and joins them.
//
// Reports. The crawl thread never touches the window. It sets one field of the run (result,
// LogMessageText, CursorHourGlass, ProgressBarPosition/ProgressBarMax or firmscounter) and then
// calls the matching operation of ScraperReports, passing the run, and waits until it returns.
// The window's implementation must run the operation on the UI thread and block the crawl thread
// meanwhile (e.g. a blocking queued call); an exception thrown by the operation must be carried
// back and thrown again on the crawl thread (std::exception_ptr). The fields are stable while an
// operation runs; read them only from inside an operation.
//
// Call order of a run with new trades: UpdateRunUi (CursorHourGlass true), ReadRunInputs,
// ShowLogMessage ("Начинаем работу..."), ShowFoundCount (0), the search phase's reports
// (between PhaseStarted and PhaseEnded events), ShowProgress (position 0), ShowLogMessage
// ("Найдено торгов: N"), the card phase's reports (between its own two events),
// HandleRunResult (Ok), ShowLogMessage ("Открываем файл с результатами"), ShowProgress (0),
// the summary's ShowLogMessage lines ("Итоги: ..." to "Время работы: ..."; a stopped or failed
// run logs them too), RunSummarised, UpdateRunUi (CursorHourGlass false). While a phase waits for a
// register that does not answer, ShowRegisterWait comes about once a second, and once more when the
// wait is over.
//
// Pause. The run pauses itself after an error: once HandleRunResult (an error result) has
// returned, the run reports ErrorPauseStarted with the pause's end and halts at its next pause
// point. When the end comes and the run is still paused (by the error, or by an operator's pause
// made before the end), the run resumes and reports ErrorPauseEnded. A second error before the
// end keeps the first end; a pause made after the end is left to the operator. Pause, Resume and
// Terminate come from any thread; Pause during an error pause is the window's to turn into a
// Resume. Pause points lie before every dispatch, collection, report and file write, and after
// every report; no lock is held while halted, so workers keep finishing.
//
// Stop. Terminate ends the pause of any kind and wakes the crawl thread, so a stopped run winds
// down at once; it enters no error pause from then on. A Pause after Terminate still halts the
// winding-down run until Resume.
namespace korvalot::crawl {

class TScraper;

// The desktop's regional settings as the run needs them.
struct RegionalSettings {
    // Replaces every "." of the two price columns ("," with Russian settings).
    std::string decimalSeparator = ",";
    // The date and time in front of each log line, as strftime conversions (short date, a
    // blank, long time). The run formats no log line itself; reporters without a window of
    // their own use it through FormatLogDateTime.
    std::string logDateTimeFormat = "%d.%m.%Y %H:%M:%S";
};

// What the run reads from the window, once, after UpdateRunUi (start) has disabled the controls.
struct RunInputs {
    // Texts of the selected items of the region list, in list order: "name (code)".
    std::vector<std::string> regionItems;
    // Positions (0 to 5) of the selected trade types, in list order.
    std::vector<int> tradeTypePositions;
    // The two date pickers; empty when a picker holds no date.
    std::optional<std::chrono::year_month_day> dateFrom;
    std::optional<std::chrono::year_month_day> dateTo;
    RegionalSettings regional;
};

// The window's side of a run. Every operation is called on the crawl thread; see above.
class ScraperReports {
public:
    virtual ~ScraperReports() = default;

    // CursorHourGlass true: the run starts (clear the log, log the start line, disable the
    // selection controls and Start; reset the once-a-second progress throttle so that the
    // run's first progress report shows). False: the run has ended (write the log file,
    // enable the controls).
    virtual void UpdateRunUi(TScraper& run) = 0;
    // One log line: date and time, ": ", run.LogMessageText.
    virtual void ShowLogMessage(TScraper& run) = 0;
    // run.ProgressBarPosition of run.ProgressBarMax (at most once a second).
    virtual void ShowProgress(TScraper& run) = 0;
    // "Найдено торгов: " + run.firmscounter.
    virtual void ShowFoundCount(TScraper& run) = 0;
    // run.result: Ok, or an error, after which the run pauses itself (see above).
    virtual void HandleRunResult(TScraper& run) = 0;
    // The selection, the dates and the regional settings; called once per run, right after
    // UpdateRunUi (start).
    virtual RunInputs ReadRunInputs(TScraper& run) = 0;
    // run.WaitingForRegister: the register does not answer and the phase waits for it (about
    // once a second while it waits), or no longer does. Shown beside the progress.
    virtual void ShowRegisterWait(TScraper& run) { (void)run; }
    // What the run tells besides its log lines (RunEvents.h), each once the log lines about it
    // are reported.
    virtual void ReportEvent(TScraper& run, const RunEvent& event) {
        (void)run;
        (void)event;
    }
};

// Timings of a run. The product always uses the defaults; tests shorten them.
struct ScraperTimings {
    std::chrono::milliseconds pacing{200};      // after starting a worker
    std::chrono::milliseconds retryPause{100};  // a worker's first pause after a failed attempt
    std::chrono::milliseconds retryAfterCap{60000};  // the longest Retry-After a worker honours
    // While the register does not answer: the first wait before probing it, doubled after each
    // probe that fails, up to the cap.
    std::chrono::milliseconds probeFirst{1000};
    std::chrono::milliseconds probeCap{60000};
    // How long the run pauses itself after an error result.
    std::chrono::milliseconds errorPause{30000};
};

// Where a run meets the machine. Every member left empty takes the product's choice; tests
// replace them.
struct ScraperEnvironment {
    fetch::WorkerTransportFactory transport;             // a fetch::WorkerClient per worker
    std::filesystem::path executableDir;                 // util::DataDirectory(): skip.txt, the
                                                         // results file
    std::filesystem::path guidsFile;                     // "guids.txt" in the working directory
    std::filesystem::path skipFile;                      // "skip.txt" in executableDir
    std::function<std::int32_t()> tickCount;             // util::TickCount()
    std::function<std::chrono::year_month_day()> today;  // the local date
    std::function<void(const std::filesystem::path&)> openDocument;  // util::OpenWithDesktop
    std::string mutexName;                                           // "Global\\KorvalotMutex"
    ScraperTimings timings;
    // Incremental runs: the card address of every trade whose rows were all written is appended
    // to skip.txt, so the next run leaves it out. Off in the window unless settings.ini asks.
    bool recordHarvested = false;
    // Also write data<ticks>.xlsx beside the results file and open that instead.
    bool writeWorkbook = false;
    // Names the run's results file "data-" + fileStem + ".csv" (the workbook likewise) instead
    // of after the tick count; the caller has made sure the name is free. Empty: the tick count.
    std::string fileStem;
    // False for a program nobody sits at: the results are not opened, and the log does not say
    // "Открываем файл с результатами"; the summary names the files written instead.
    bool openResults = true;
    // The trade store: opened when the card phase begins, it gets every harvested trade before
    // skip.txt names it. A store that cannot be opened raises; the run logs that and goes on
    // without it. Empty: no store.
    std::function<std::shared_ptr<TradeSink>()> openTradeSink;
    // A refresh: no search; the card phase fetches exactly these trades, whatever skip.txt says,
    // their rows carrying the region names given.
    std::optional<std::vector<TradeToRefresh>> refreshTrades;
    // The longest outage of the register a run waits out; then it ends, naming every trade it
    // did not fetch. settings.ini's OutageLimitMinutes and --outage-limit set it.
    std::chrono::milliseconds outageLimit = std::chrono::hours(2);
    // Creates the crawl thread and every worker's thread; empty: std::thread.
    util::ThreadStarter startThread;
};

class TScraper : public std::enable_shared_from_this<TScraper> {
public:
    // A run that has not started. The reports object must outlive the run.
    static std::shared_ptr<TScraper> Create(ScraperReports& reports, std::string registerBaseUrl,
                                            ScraperEnvironment environment = {});
    ~TScraper();
    TScraper(const TScraper&) = delete;
    TScraper& operator=(const TScraper&) = delete;

    // Report fields, written by the crawl thread before each report.
    RunResult result;
    std::string LogMessageText;
    bool CursorHourGlass = false;
    // The current phase's jobs done, of those and the jobs still to do (PhaseProgress).
    std::int32_t ProgressBarPosition = 0;
    std::int32_t ProgressBarMax = 0;
    std::int32_t firmscounter = 0;
    RegisterWait WaitingForRegister;
    // The most fetch workers running at once; set before Start (the window sets 4).
    std::int32_t Limit = 4;

    // Starts the crawl thread; once only. False when the system could not create the thread:
    // the run has then ended without reporting anything (Summary: NotStarted), as one whose
    // named mutex cannot be had before its first report would.
    bool Start();
    // From any thread. A paused run halts at its next pause point.
    void Pause();
    void Resume();
    bool IsPaused() const;
    // Waits until the crawl thread of a paused run has stopped at a pause point (from then on it
    // reports nothing and starts no worker until Resume); false when the time ran out first.
    bool WaitUntilHalted(std::chrono::milliseconds timeout) const;
    // Asks the run to stop; ends any pause, and the crawl thread sees it at the top of the next
    // turn of a phase loop.
    void Terminate();
    bool Terminated() const;
    // Started and its thread not yet ended.
    bool IsLive() const;
    // Waits until the crawl thread has ended; false when the time ran out first.
    bool WaitUntilEnded(std::chrono::milliseconds timeout) const;
    // For a program that ends: the run stops (resumed if paused), the requests of its workers
    // are cut off, it reports nothing further that matters and opens no results file for the
    // operator. From any thread.
    void Cancel();
    // Waits until the crawl thread and every worker the run started have ended, and joins
    // them; false when the time ran out first.
    bool Join(std::chrono::milliseconds timeout);
    // What the run did; complete once the run has ended (IsLive() false after Start).
    RunSummary Summary() const;
    // From any thread: requests whose last attempt failed and that are being tried again, so
    // that nobody counts down a phase that waits for the register.
    std::int32_t FailingRequests() const;

private:
    struct Shared;
    class Run;
    friend class Run;

    TScraper(ScraperReports& reports, std::string registerBaseUrl, ScraperEnvironment environment);

    // The report operations: field first, then these (crawl thread only).
    void UpdateRunUi();
    void ShowLogMessage();
    void ShowProgress();
    void ShowFoundCount();
    void HandleRunResult();
    RunInputs ReadRunInputs();
    void ShowRegisterWait();
    void ReportEvent(const RunEvent& event);
    // After an error result: the error pause begins, unless the run is stopped.
    void StartErrorPause();
    // Halts the crawl thread while the run is paused, and ends an error pause whose time is up.
    void WaitWhilePaused();
    void Body();

    ScraperReports& reports_;
    std::string registerBaseUrl_;
    ScraperEnvironment environment_;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<fetch::WorkerOwner> workers_ = std::make_shared<fetch::WorkerOwner>();
    std::shared_ptr<fetch::RetryCounters> retries_ = std::make_shared<fetch::RetryCounters>();
    std::atomic<bool> started_{false};
    // Wakes a phase loop that waits for something to happen: Pause, Resume, Terminate, Cancel.
    std::shared_ptr<util::Signal> wake_ = std::make_shared<util::Signal>();
    // Cancel has been called: the program ends under the run.
    bool Cancelled() const;
    std::mutex threadMutex_;
    std::thread thread_;  // the crawl thread
    RunSummary summary_;  // crawl thread while live; read after the end
};

// The date and time at the start of a log line in the given strftime form, local time.
std::string FormatLogDateTime(const std::string& format,
                              std::chrono::system_clock::time_point when);

}  // namespace korvalot::crawl
