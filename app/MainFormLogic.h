#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <QDateTime>
#include <QString>

#include "app/AppConfig.h"
#include "app/DesktopNotice.h"
#include "app/LocaleFormats.h"
#include "app/MainView.h"
#include "app/RunHandle.h"
#include "crawl/RunEvents.h"

namespace korvalot::app {

// GET of the region directory: address, referer, and a callback to run at least every 100 ms
// while the answer is awaited. Returns the body's bytes; raises on failure.
using DirectoryFetch = std::function<std::string(
    const std::string& address, const std::string& referer, const std::function<void()>&)>;

// The program-wide tick count of the last progress shown.
std::atomic<std::uint32_t>& LastProgressUpdate();

// What the logic takes from the program around it; tests replace each part.
struct MainFormServices {
    QString exeDir;  // the executable's directory with a trailing separator
    // Where settings, selections and run logs live, with a trailing separator; empty: exeDir.
    QString dataDir;
    AppConfig config;
    LocaleFormats regional;
    std::function<std::uint32_t()> tickCount;
    std::function<QDateTime()> now;
    std::function<bool()> tlsReady;
    DirectoryFetch fetchDirectory;
    // Creates a run, hands it what it needs and starts its thread. Raises AppError, having
    // begun nothing, when the trade store settings.ini asks for cannot be used.
    std::function<std::shared_ptr<IRunHandle>()> startRun;
    // The tick count at which progress was last shown; 0 when a run begins. Null: the
    // program-wide one.
    std::atomic<std::uint32_t>* lastProgressUpdate = nullptr;
    // Where the watches' news of a run are told beside the log; null: only the log.
    std::shared_ptr<DesktopNotice> desktopNotice;
};

// The window's behaviour without its widgets: the handlers of the main window and the report
// operations of a run. Everything here runs on the UI thread.
class MainFormLogic {
public:
    MainFormLogic(IMainView& view, MainFormServices services);

    QString WindowCaption() const;

    // Window handlers.
    void FormShow();
    // Saves selections and dates. False when a file could not be written: the error is in the
    // log and the window should stay open once, so that the operator sees it.
    bool FormClose();
    void Timer1Timer();
    void StartButtonClick();
    void PauseButtonClick();
    void StopButtonClick();
    // The run's error pause is over (it ended it itself): logs that the run goes on.
    void ResumeTimerTimer();
    void SelectAllCitiesButtonClick();
    void Button1Click();

    // Report operations of the live run.
    void HandleRunResult(const crawl::RunResult& result);
    void UpdateRunUi(bool cursorHourGlass);
    void ShowLogMessage(const QString& text);
    void ShowProgress(std::int32_t position, std::int32_t maximum);
    void ShowFoundCount(std::int32_t count);
    // The run's error pause began and ends in remainingMs: the hint counts down to it.
    void StartResumeTimer(int remainingMs);
    // The run waits for a register that does not answer (waiting false: it no longer does).
    void ShowRegisterWait(bool waiting, std::int64_t downSeconds, std::int64_t nextProbeSeconds);
    // The run into the trade store brought the store's watches this many news (error: they
    // could not be counted), just before the run's end: the log says so, and the desktop too
    // when there are any.
    void ShowWatchNews(std::size_t items, const QString& error);

    // Shows a progress report that the once-a-second limit held back (ScheduleProgressFlush).
    void FlushProgress();
    // Brings the pause button and the pause line of the progress hint up to date: the window
    // calls it every second of an error pause, to count down to the resumption.
    void RefreshPauseHint();

    // What a run reads from the window when it begins.
    WindowSelection CollectWindowSelection() const;

    bool HasLiveRun() const { return activeRun_ != nullptr && activeRun_->IsLive(); }
    // ActiveScraper: the most recent run, live or not; empty before the first Start.
    const std::shared_ptr<IRunHandle>& ActiveRun() const { return activeRun_; }
    // Selects exactly the items of the list whose text is a line of the file, when it exists.
    void ApplySavedSelection(ListId list, const QString& fileName);
    const MainFormServices& Services() const { return services_; }
    // settings.ini, where the window keeps its state and the options it has no control for.
    QString SettingsFile() const;
    void SetRunStarter(std::function<std::shared_ptr<IRunHandle>()> startRun) {
        services_.startRun = std::move(startRun);
    }

private:
    void Log(const QString& afterStamp);
    // The path of one of the program's own files.
    QString DataFile(const QString& name) const;
    void SetRunControlsEnabled(bool enabled);
    void SelectAll(ListId list);
    void SaveSelection(ListId list, const QString& fileName);
    void ApplyProgress(std::int32_t position, std::int32_t maximum);
    void NotePace(std::uint32_t now, std::int32_t position, std::int32_t maximum);
    QString TimeLeftLine() const;
    void ShowHint();

    IMainView& view_;
    MainFormServices services_;
    std::shared_ptr<IRunHandle> activeRun_;
    bool shown_ = false;
    bool ended_ = false;    // a start-up check ended the program
    bool closing_ = false;  // the close handler has run; a pending directory wait gives up
    bool closeFailed_ = false;
    // The saved selections were applied to the lists; until then the lists do not hold them,
    // and closing must not write them over the files.
    bool selectionsApplied_ = false;

    // A progress report held back by the once-a-second limit, shown by FlushProgress.
    std::optional<std::pair<std::int32_t, std::int32_t>> pendingProgress_;
    bool flushScheduled_ = false;
    // The progress hint: the shown report's line, the time left in the phase, the wait for the
    // register, and the pause.
    QString progressLine_;
    QString timeLeftLine_;
    QString pauseLine_;
    QString registerLine_;  // the run waits for the register
    bool hintShown_ = false;
    // Tick count and position of the latest reports of the running phase, for its pace, and its
    // latest total.
    std::deque<std::pair<std::uint32_t, std::int32_t>> pace_;
    std::int32_t paceMaximum_ = -1;
};

}  // namespace korvalot::app
