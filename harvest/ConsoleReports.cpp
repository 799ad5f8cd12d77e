#include "harvest/ConsoleReports.h"

#include <algorithm>
#include <variant>

#include "util/NewFile.h"
#include "util/Platform.h"

namespace korvalot::harvest {
namespace {

// The time left is reckoned from the pace of this many latest jobs.
constexpr std::size_t kPaceJobs = 50;

// At most `count` characters of the text from character `from`, characters being UTF-8
// sequences, so that a cut never splits one.
std::string Characters(const std::string& text, std::size_t from, std::size_t count) {
    std::size_t i = 0;
    std::size_t seen = 0;
    const auto next = [&] {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            ++i;
    };
    while (i < text.size() && seen < from) {
        next();
        ++seen;
    }
    const std::size_t start = i;
    for (std::size_t n = 0; i < text.size() && n < count; ++n)
        next();
    return text.substr(start, i - start);
}

std::string Duration(std::chrono::seconds left) {
    const long total = static_cast<long>(left.count());
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}

}  // namespace

ConsoleReports::ConsoleReports(ConsoleSettings settings) : settings_(std::move(settings)) {}

void ConsoleReports::Log(const std::string& text) {
    const std::string line = crawl::FormatLogDateTime(settings_.inputs.regional.logDateTimeFormat,
                                                      std::chrono::system_clock::now()) +
                             ": " + text;
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
    if (settings_.verbose) {
        if (barShown_)
            std::fputs("\r\033[K", settings_.progressStream);
        std::fprintf(settings_.progressStream, "%s\n", line.c_str());
        barShown_ = false;
    }
}

void ConsoleReports::UpdateRunUi(crawl::TScraper& run) {
    if (run.CursorHourGlass) {
        {
            std::lock_guard lock(mutex_);
            lines_.clear();
            lastJobLine_ = 0;
            cards_ = false;
            lastMaximum_ = -1;
            pace_.clear();
        }
        Log("Начинаем работу по заданным регионам и категориям");
        return;
    }
    // Nothing is opened on the console: the files are named instead.
    const crawl::RunSummary summary = run.Summary();
    if (!summary.resultsFile.empty())
        Log("Файл с результатами: " + summary.resultsFile.string());
    if (!summary.workbookFile.empty())
        Log("Книга с результатами: " + summary.workbookFile.string());
    if (!summary.guidsFile.empty())
        Log("Список найденных торгов: " + summary.guidsFile.string());
    std::filesystem::path path =
        !settings_.logFile.empty()
            ? settings_.logFile
            : settings_.outputDir / ("log-" + std::to_string(util::TickCount()) + ".txt");
    // The name is taken before the line that names it; the log then replaces only this file.
    bool reserved = false;
    try {
        path = util::ReserveNewFile(path);
        reserved = true;
    } catch (const std::exception&) {
        // The write below fails as well and says why.
    }
    const std::string stamp = crawl::FormatLogDateTime(settings_.inputs.regional.logDateTimeFormat,
                                                       std::chrono::system_clock::now());
    std::lock_guard lock(mutex_);
    // The file ends with the line that names it; the line is shown only once the file is
    // written, and otherwise says where the log could not go.
    std::string closing = stamp + ": Работа завершена, лог записан в " + path.string();
    lines_.push_back(closing);
    try {
        util::WriteListFile(path, lines_);
        logWritten_ = path;
    } catch (const std::exception& e) {
        if (reserved) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
        lines_.pop_back();
        closing = stamp + ": Работа завершена; лог записать в " + path.string() +
                  " не удалось: " + e.what();
        lines_.push_back(closing);
    }
    if (settings_.verbose) {
        if (barShown_)
            std::fputs("\r\033[K", settings_.progressStream);
        std::fprintf(settings_.progressStream, "%s\n", closing.c_str());
        barShown_ = false;
    }
    if (barShown_) {
        std::fputs("\n", settings_.progressStream);
        barShown_ = false;
    }
}

std::filesystem::path ConsoleReports::LogFile() const {
    std::lock_guard lock(mutex_);
    return logWritten_;
}

void ConsoleReports::ShowLogMessage(crawl::TScraper& run) {
    Log(run.LogMessageText);
}

void ConsoleReports::ReportEvent(crawl::TScraper&, const crawl::RunEvent& event) {
    if (const auto* started = std::get_if<crawl::PhaseStarted>(&event)) {
        // A new phase counts afresh and shows at once.
        std::lock_guard lock(mutex_);
        cards_ = started->phase == crawl::RunPhase::Cards;
        lastMaximum_ = -1;
        lastPosition_ = 0;
        pace_.clear();
        lastDrawn_ = {};
    } else if (std::holds_alternative<crawl::JobFinished>(event)) {
        // Reported once every line about the job is logged: what follows closes the run.
        std::lock_guard lock(mutex_);
        lastJobLine_ = lines_.size();
    } else if (std::holds_alternative<crawl::ErrorPauseEnded>(event)) {
        Log("Отключаем паузу, продолжаем работу");
    }
}

bool ConsoleReports::NoteProgress(std::int32_t position, std::int32_t maximum, std::int32_t limit) {
    // The bar's return to zero at the end of a phase is no news on the console.
    if (position == 0 && maximum == lastMaximum_)
        return false;
    // The total grows as the phase learns of more jobs; only a position that goes back starts
    // the pace afresh.
    if (position < lastPosition_)
        pace_.clear();
    lastMaximum_ = maximum;
    lastPosition_ = position;
    // The first jobs end as far apart as the pacing started them, not at the phase's pace.
    if (position > limit && (pace_.empty() || pace_.back().second != position)) {
        pace_.emplace_back(settings_.clock(), position);
        if (pace_.size() > kPaceJobs + 1)
            pace_.pop_front();
    }
    return true;
}

std::string ConsoleReports::TimeLeft() const {
    if (pace_.size() < 3)
        return {};
    const auto [firstTime, firstPosition] = pace_.front();
    const auto [lastTime, lastPosition] = pace_.back();
    const std::int64_t jobs = lastPosition - firstPosition;
    const std::int64_t left = std::int64_t{lastMaximum_} - lastPosition;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(lastTime - firstTime).count();
    if (jobs <= 0 || left <= 0 || elapsed <= 0)
        return {};
    return "осталось " + Duration(std::chrono::seconds((left * elapsed / jobs + 999) / 1000));
}

void ConsoleReports::DrawProgress(const crawl::TScraper& run, bool tick) {
    if (settings_.quiet || lastMaximum_ <= 0)
        return;
    const auto now = settings_.clock();
    // A phase that waits says so instead of counting down, and the pace before the wait says
    // nothing about the jobs after it.
    std::string state;
    std::string kind;
    if (run.IsPaused()) {
        state = kind = "пауза после ошибки";
        pace_.clear();
    } else if (const std::int32_t failing = run.FailingRequests(); failing > 0) {
        kind = "ждём ответа реестра";
        state = kind + ", запросов повторяется: " + std::to_string(failing);
        pace_.clear();
    } else {
        state = TimeLeft();
    }
    const bool turned = kind != lastState_;
    lastState_ = kind;
    const auto every =
        settings_.terminal ? std::chrono::milliseconds(200) : std::chrono::milliseconds(10000);
    if (!turned && now - lastDrawn_ < every)
        return;
    // In a log a line is news only when the phase's state turned; on a terminal the bar is
    // simply redrawn.
    if (tick && !turned && !settings_.terminal)
        return;
    lastDrawn_ = now;
    const std::int32_t maximum = lastMaximum_;
    const std::int32_t position = std::clamp(lastPosition_, 0, maximum);
    const std::string tail = state.empty() ? std::string() : ", " + state;
    const char* phase = cards_ ? "Карточки" : "Поиск";
    if (settings_.terminal) {
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(static_cast<std::int64_t>(kWidth) * position / maximum);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kWidth - filled), '.');
        std::fprintf(settings_.progressStream, "\r\033[K%s [%s] %d из %d%s", phase, bar.c_str(),
                     position, maximum, tail.c_str());
        barShown_ = true;
    } else {
        std::fprintf(settings_.progressStream, "%s: %d из %d%s\n", phase, position, maximum,
                     tail.c_str());
    }
    std::fflush(settings_.progressStream);
}

void ConsoleReports::ShowProgress(crawl::TScraper& run) {
    std::lock_guard lock(mutex_);
    if (!NoteProgress(run.ProgressBarPosition, run.ProgressBarMax, run.Limit))
        return;
    DrawProgress(run, false);
}

void ConsoleReports::Tick(const crawl::TScraper& run) {
    std::lock_guard lock(mutex_);
    DrawProgress(run, true);
}

void ConsoleReports::ShowFoundCount(crawl::TScraper&) {}

// In place of the bar while the run waits for the register: on a terminal redrawn each time,
// otherwise at the bar's own pace.
void ConsoleReports::ShowRegisterWait(crawl::TScraper& run) {
    const crawl::RegisterWait& wait = run.WaitingForRegister;
    std::lock_guard lock(mutex_);
    if (!wait.waiting) {
        lastDrawn_ = {};
        return;
    }
    const auto now = settings_.clock();
    if (!settings_.terminal && now - lastDrawn_ < std::chrono::seconds(10))
        return;
    lastDrawn_ = now;
    const std::string text = "Реестр не отвечает " +
                             Duration(std::chrono::duration_cast<std::chrono::seconds>(wait.down)) +
                             ", ждём его";
    if (settings_.terminal) {
        std::fprintf(settings_.progressStream, "\r\033[K%s", text.c_str());
        barShown_ = true;
    } else {
        std::fprintf(settings_.progressStream, "%s\n", text.c_str());
    }
    std::fflush(settings_.progressStream);
}

// The run pauses itself after an error, once this has returned, and says when it goes on.
void ConsoleReports::HandleRunResult(crawl::TScraper& run) {
    if (!run.result.IsError()) {
        Log("Сбор данных завершен");
        return;
    }
    Log("Ошибка: " + Characters(run.result.message, 0, 200));
    Log("Включаем паузу на 30 секунд");
}

void ConsoleReports::Stop(crawl::TScraper& run) {
    run.Terminate();
    Log("Останавливаем работу");
}

crawl::RunInputs ConsoleReports::ReadRunInputs(crawl::TScraper&) {
    return settings_.inputs;
}

std::vector<std::string> ConsoleReports::ClosingLines() const {
    std::lock_guard lock(mutex_);
    return std::vector<std::string>(lines_.begin() + static_cast<std::ptrdiff_t>(lastJobLine_),
                                    lines_.end());
}

}  // namespace korvalot::harvest
