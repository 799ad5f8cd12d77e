#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
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

// A window stand-in: records every report, pauses the run on an
// error result and resumes it after `errorPause` as the resume timer would.
class RecordingReports : public ScraperReports {
public:
    ~RecordingReports() override;

    RunInputs inputs;
    std::chrono::milliseconds errorPause{20};
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

    std::vector<Report> Reports() const;
    std::vector<std::string> LogTexts() const;  // the texts of ShowLogMessage in order
    std::vector<std::string> Results() const;   // the results HandleRunResult saw
    bool LogContains(const std::string& text) const;

private:
    void Record(TScraper& run, Report::Kind kind);

    mutable std::mutex mutex_;
    std::vector<Report> reports_;
    std::vector<std::thread> resumers_;
};

}  // namespace korvalot::crawl::testing_support
