#include "crawl/fakes/RecordingReports.h"

#include <algorithm>

namespace korvalot::crawl::testing_support {

void RecordingReports::Record(TScraper& run, Report::Kind kind) {
    Report r;
    r.kind = kind;
    r.text = kind == Report::HandleRunResult ? run.result.Text() : run.LogMessageText;
    r.hourGlass = run.CursorHourGlass;
    r.position = run.ProgressBarPosition;
    r.max = run.ProgressBarMax;
    r.found = run.firmscounter;
    r.wait = run.WaitingForRegister;
    r.at = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex_);
        reports_.push_back(r);
    }
    if (onReport)
        onReport(run, r);
}

void RecordingReports::UpdateRunUi(TScraper& run) {
    Record(run, Report::UpdateRunUi);
}
void RecordingReports::ShowLogMessage(TScraper& run) {
    Record(run, Report::ShowLogMessage);
}
void RecordingReports::ShowProgress(TScraper& run) {
    Record(run, Report::ShowProgress);
}
void RecordingReports::ShowFoundCount(TScraper& run) {
    Record(run, Report::ShowFoundCount);
}

void RecordingReports::HandleRunResult(TScraper& run) {
    Record(run, Report::HandleRunResult);
}

void RecordingReports::ReportEvent(TScraper& run, const RunEvent& event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    changed_.notify_all();
    if (onEvent)
        onEvent(run, event);
}

std::vector<RunEvent> RecordingReports::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void RecordingReports::ShowRegisterWait(TScraper& run) {
    Record(run, Report::ShowRegisterWait);
}

RunInputs RecordingReports::ReadRunInputs(TScraper& run) {
    Record(run, Report::ReadRunInputs);
    return inputs;
}

std::vector<Report> RecordingReports::Reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

std::vector<std::string> RecordingReports::LogTexts() const {
    std::vector<std::string> out;
    for (const auto& r : Reports()) {
        if (r.kind == Report::ShowLogMessage)
            out.push_back(r.text);
    }
    return out;
}

std::vector<std::string> RecordingReports::Results() const {
    std::vector<std::string> out;
    for (const auto& r : Reports()) {
        if (r.kind == Report::HandleRunResult)
            out.push_back(r.text);
    }
    return out;
}

bool RecordingReports::LogContains(const std::string& text) const {
    const auto log = LogTexts();
    return std::find(log.begin(), log.end(), text) != log.end();
}

}  // namespace korvalot::crawl::testing_support
