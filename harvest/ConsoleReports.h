#pragma once

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crawl/uScraper.h"

// The window's part of a run, on the console: the log kept in memory and written to the log
// file at the end, the progress on standard error; the run's error pause logged as it comes.
namespace korvalot::harvest {

struct ConsoleSettings {
    crawl::RunInputs inputs;
    std::filesystem::path outputDir;
    bool terminal = false;  // a bar redrawn in place; plain lines otherwise
    bool verbose = false;   // every log line on the progress stream as well
    bool quiet = false;     // no progress on the progress stream
    std::string registerBaseUrl;
    // The run's log; a name already taken gives way to the next free one.
    std::filesystem::path logFile;
    // Where the progress and, when verbose, the log lines go, and the clock their pace is
    // reckoned by; tests give their own.
    std::FILE* progressStream = stderr;
    std::function<std::chrono::steady_clock::time_point()> clock = std::chrono::steady_clock::now;
};

class ConsoleReports : public crawl::ScraperReports {
public:
    explicit ConsoleReports(ConsoleSettings settings);
    ConsoleReports(const ConsoleReports&) = delete;
    ConsoleReports& operator=(const ConsoleReports&) = delete;

    void UpdateRunUi(crawl::TScraper& run) override;
    void ShowLogMessage(crawl::TScraper& run) override;
    void ShowProgress(crawl::TScraper& run) override;
    void ShowFoundCount(crawl::TScraper& run) override;
    void HandleRunResult(crawl::TScraper& run) override;
    crawl::RunInputs ReadRunInputs(crawl::TScraper& run) override;
    void ShowRegisterWait(crawl::TScraper& run) override;
    void ReportEvent(crawl::TScraper& run, const crawl::RunEvent& event) override;

    // As the Stop button: the run is asked to stop, which also ends its pause. From any thread.
    void Stop(crawl::TScraper& run);
    // From the thread that waits for the run, every fraction of a second: the progress line
    // follows what no report brings, a phase waiting for the register or a pause.
    void Tick(const crawl::TScraper& run);

    // Once the run has ended: the log file written, empty when it could not be.
    std::filesystem::path LogFile() const;

    // Once the run has ended: its log lines from the last job's line on (the end of the run
    // and its summary).
    std::vector<std::string> ClosingLines() const;

private:
    void Log(const std::string& text);
    // The position of a phase as a report gives it; false when it is no news (the bar's return
    // to zero at a phase's end).
    bool NoteProgress(std::int32_t position, std::int32_t maximum, std::int32_t limit);
    void DrawProgress(const crawl::TScraper& run, bool force);
    std::string TimeLeft() const;

    ConsoleSettings settings_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::size_t lastJobLine_ = 0;  // index after the lines about the latest job finished
    bool cards_ = false;           // the card phase has begun
    // Progress of the current phase: jobs done of all it knows, and the times at which the
    // latest jobs were done, once the first ones are (they end at the pacing's speed).
    std::int32_t lastMaximum_ = -1;
    std::int32_t lastPosition_ = 0;
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::int32_t>> pace_;
    std::chrono::steady_clock::time_point lastDrawn_{};
    std::string lastState_;  // what the line said besides the counts when last drawn
    bool barShown_ = false;
    std::filesystem::path logWritten_;
};

}  // namespace korvalot::harvest
