#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "crawl/CrowdedDays.h"
#include "crawl/RunSummary.h"
#include "fetch/JobOutcome.h"

// What a run tells besides its log lines, as values: whoever follows a run (the console, the
// benchmark, the tests) reads these and never the log's words, which may change.
namespace korvalot::crawl {

enum class RunPhase : std::uint8_t { Search, Cards };

// How a phase ended. RegisterLost: the register did not answer within the outage limit.
enum class PhaseEnd : std::uint8_t { Done, Stopped, Failed, RegisterLost };

// A run's result as the window's result report gets it: the card phase went through (Ok), or an
// error (its message) paused the run for the error pause.
struct RunResult {
    enum class Kind : std::uint8_t { Ok, Error };
    Kind kind = Kind::Ok;
    std::string message;  // Error only

    static RunResult Success() { return {Kind::Ok, {}}; }
    static RunResult Failure(std::string message) { return {Kind::Error, std::move(message)}; }
    bool IsError() const { return kind == Kind::Error; }
    // "ok", or "ERROR_" + the message: the result as the window's log file and its tests have
    // always named it.
    std::string Text() const { return kind == Kind::Ok ? "ok" : "ERROR_" + message; }
};

// A phase begins: its jobs so far (the search phase adds pages and parts as it goes).
struct PhaseStarted {
    RunPhase phase = RunPhase::Search;
    std::int64_t jobs = 0;
};

// A phase is over: how, and what became of its jobs.
struct PhaseEnded {
    RunPhase phase = RunPhase::Search;
    PhaseEnd end = PhaseEnd::Done;
    std::int64_t done = 0;    // jobs answered and handled
    std::int64_t failed = 0;  // jobs given up
};

// What became of a job once its worker was collected and every line about it was logged.
enum class JobFate : std::uint8_t {
    Done,        // answered, and the answer handled
    RetryLater,  // failed its first chance: asked again at the end of the phase
    Held,        // failed while the register did not answer: goes out again once it does
    GivenUp,     // failed its last chance, or its answer could not be handled twice
    Unhandled,   // its answer could not be handled: asked once more after the error pause
    NotDone,     // never finished: the phase ended without it (an error, an outage)
};

struct JobFinished {
    RunPhase phase = RunPhase::Search;
    // The search page's address, or the trade's guid, as the job's log line names it.
    std::string job;
    JobFate fate = JobFate::Done;
    // The worker's outcome; nothing for a job that never went out (NotDone).
    std::optional<fetch::JobOutcome> outcome;
};

// A day the register reports more trades for than any query reaches.
struct CrowdedDayAccounted {
    CrowdedDays::Shortfall day;
};

// The run reported an error and pauses until `resumeAt`, unless it is resumed or stopped first.
// A second error before then keeps the first end.
struct ErrorPauseStarted {
    std::string message;
    std::chrono::steady_clock::time_point resumeAt;
};

// The error pause's time is up while the run is paused (by the error, or by the operator
// since): the run goes on. Not reported when the run had been resumed or stopped before.
struct ErrorPauseEnded {};

// The run's summary lines are logged: what it did, complete.
struct RunSummarised {
    RunSummary summary;
};

using RunEvent = std::variant<PhaseStarted, PhaseEnded, JobFinished, CrowdedDayAccounted,
                              ErrorPauseStarted, ErrorPauseEnded, RunSummarised>;

}  // namespace korvalot::crawl
