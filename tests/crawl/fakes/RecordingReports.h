#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "crawl/uScraper.h"

namespace korvalot::crawl::testing_support {

// One report the run made, with the fields it read.
struct Report {
    enum Kind {
        UpdateRunUi,
        ShowLogMessage,
        ShowProgress,
        ShowFoundCount,
        HandleRunResult,
        ReadRunInputs,
        ShowRegisterWait
    };
    Kind kind;
    std::string text;  // LogMessageText or result
    bool hourGlass = false;
    int position = 0;
    int max = 0;
    int found = 0;
    RegisterWait wait;  // WaitingForRegister
    std::chrono::steady_clock::time_point at;
};

// A window stand-in: records every report and every event. The run pauses itself after an
// error; tests shorten that pause through ScraperTimings::errorPause.
class RecordingReports : public ScraperReports {
public:
    RunInputs inputs;
    // Runs on the crawl thread after each report is recorded; may throw, as a window's
    // operation may.
    std::function<void(TScraper&, const Report&)> onReport;

    void UpdateRunUi(TScraper& run) override;
    void ShowLogMessage(TScraper& run) override;
    void ShowProgress(TScraper& run) override;
    void ShowFoundCount(TScraper& run) override;
    void HandleRunResult(TScraper& run) override;
    RunInputs ReadRunInputs(TScraper& run) override;
    void ShowRegisterWait(TScraper& run) override;
    void ReportEvent(TScraper& run, const RunEvent& event) override;

    std::vector<Report> Reports() const;
    std::vector<std::string> LogTexts() const;  // the texts of ShowLogMessage in order
    std::vector<std::string> Results() const;   // the results HandleRunResult saw
    bool LogContains(const std::string& text) const;
    std::vector<RunEvent> Events() const;
    // Events of one kind, in order.
    template <typename E>
    std::vector<E> EventsOf() const {
        std::vector<E> out;
        for (const auto& e : Events()) {
            if (const auto* found = std::get_if<E>(&e))
                out.push_back(*found);
        }
        return out;
    }
    // Waits until `count` events of the kind have been reported; false when the time ran out
    // first.
    template <typename E>
    bool WaitForEvent(std::chrono::milliseconds timeout, std::size_t count = 1) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            std::size_t seen = 0;
            for (const auto& e : events_) {
                if (std::holds_alternative<E>(e))
                    ++seen;
            }
            return seen >= count;
        });
    }
    // Runs on the crawl thread after each event is recorded.
    std::function<void(TScraper&, const RunEvent&)> onEvent;

private:
    void Record(TScraper& run, Report::Kind kind);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Report> reports_;
    std::vector<RunEvent> events_;
};

}  // namespace korvalot::crawl::testing_support
