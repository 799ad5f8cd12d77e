#pragma once

#include <optional>
#include <vector>

#include <QDate>
#include <QStringList>

namespace korvalot::app {

// The window's hold on one crawl run. Every call comes from the UI thread.
class IRunHandle {
public:
    virtual ~IRunHandle() = default;
    // From creation until the crawl thread has ended.
    virtual bool IsLive() const = 0;
    virtual bool IsPaused() const = 0;
    // Waits until a paused run's crawl thread has stopped at its pause point; false when the
    // time ran out first. On the UI thread only with a zero time-out: the crawl thread may be
    // waiting for a report to run there.
    virtual bool WaitUntilHalted(int timeoutMs) const = 0;
    // Halts the crawl thread at its next pause point.
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    // Asks the run to end; it notices at the top of its next loop turn.
    virtual void Terminate() = 0;
};

// What a run reads from the window, once, early in the run, in Qt types; ScraperRun turns it
// into the run's crawl::RunInputs.
struct WindowSelection {
    QStringList regionItems;      // texts of the selected region items, in list order
    std::vector<int> tradeTypes;  // positions of the selected trade types, 0 to 5
    std::optional<QDate> from;    // nothing for a picker without a date
    std::optional<QDate> to;
};

}  // namespace korvalot::app
