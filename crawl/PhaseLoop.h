#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/Job.h"
#include "crawl/RegisterOutage.h"
#include "crawl/RunEvents.h"
#include "fetch/TScrapingThread2.h"
#include "fetch/WorkerOwner.h"
#include "json/JsonValue.h"
#include "util/Signal.h"

// The dispatch and collect loop that both phases of a run share: jobs handed to fetch workers,
// finished workers collected one at a time, a failed job given one more chance once every other
// job of the phase is done, a register that is down as a whole waited out as one outage, and the
// workers left behind when the phase stops or fails.
namespace korvalot::crawl {

// The answers of a collected worker, as the worker decoded and parsed them: the search page or
// the card, the card's lots page after page, its additional data. Nothing for an answer that
// the job does not ask for.
struct Answers {
    json::JsonValue html;
    std::vector<json::JsonValue> lotPages;
    json::JsonValue html3;
};

// Added to the log line of a job that failed once; it is asked again at the end of the phase.
inline constexpr std::string_view kRetryLaterNote = "; попробуем ещё раз в конце этапа";
// Added to the log line of a job that failed while the register did not answer at all: the
// failure does not count, the job goes out again as it was once the register answers.
inline constexpr std::string_view kHeldNote =
    "; реестр не отвечает, задание повторим, когда он ответит";

// What the loop needs of its run. Every member is called on the crawl thread and must be set.
struct PhaseHost {
    std::function<bool()> stopRequested;
    // Returns once the run is not paused.
    std::function<void()> waitWhilePaused;
    // A job was taken from the phase's queue (the progress bar counts them).
    std::function<void()> jobTaken;
    std::function<void(std::string text)> log;
    // The run result "ERROR_" + message; the run pauses for the error before this returns.
    std::function<void(const std::string& message)> reportError;
    // Optional: the phase waits for the register (about once a second while it waits), or no
    // longer does (waiting false).
    std::function<void(const RegisterWait& wait)> registerWait;
    // Optional: notified by the run when it is paused, resumed or asked to stop, so that a loop
    // that waits for something to happen looks again. Without it only workers wake the loop.
    std::shared_ptr<util::Signal> wake;
    // Optional: what became of a job, once every line about it is logged.
    std::function<void(const JobFinished& event)> jobFinished;
};

// What one phase does with its jobs.
struct PhaseJobs {
    // In front of every worker's log line: "" in the search phase, "Карточка " in the card
    // phase.
    std::string logPrefix;
    RunPhase phase = RunPhase::Search;
    // Whether a queue entry goes out (the filter may tidy it first); false: it is consumed
    // without a request.
    std::function<bool(Job& job)> filter;
    // A successful answer. A ResultsFileError ends the phase and is thrown on to the caller,
    // since no pause would make the file writable again; any other failure costs this
    // answer a second try after the error pause, and the job is given up if it fails again.
    std::function<void(const Job& job, Answers& answers)> handler;
    // Optional: added to the log line of a job whose worker failed its last chance.
    std::function<std::string(const Job& job)> lostNote;
    // Optional: a job is given up (its last chance failed, or its answer failed twice).
    std::function<void(const Job& job)> givenUp;
};

struct PhaseSettings {
    fetch::WorkerSettings worker;
    std::int32_t limit = 4;  // workers running at once
    std::chrono::milliseconds pacing{200};
    OutageSettings outage;
    // An address the register answered earlier in the run: probes ask it until the phase has
    // one of its own.
    std::string answeredAddress;
};

class PhaseLoop {
public:
    // The lock guards the worker lists of every phase of the run. The owner takes the workers
    // the phase stops waiting for; without one, the loop keeps them and joins them itself when
    // it is destroyed.
    PhaseLoop(std::shared_ptr<std::mutex> workerListLock, PhaseSettings settings, PhaseHost host,
              std::shared_ptr<fetch::WorkerOwner> owner = nullptr);

    // Runs the phase over the queue, which the handler may extend, until the queue and every
    // second chance are done (Done), the run is asked to stop (Stopped: running workers are
    // asked to terminate and handed to the owner), a failure ends the phase (Failed:
    // reported through the host; running workers are handed to the owner and go on) or the
    // register stays down past the outage limit (RegisterLost: as Stopped, and the queue holds
    // every job not done). A ResultsFileError from the handler leaves the workers as Failed does
    // and is thrown on.
    //
    // Jobs that fail without an answer from the register (no connection, 5xx, 429) are held in
    // doubt until the register answers another job, which makes them ordinary failures. When
    // several fail in a row, or the phase has nothing else under way to tell, no job goes out and
    // one probe (a single request to an address the register answered before) decides: answered,
    // the failures are ordinary ones; not answered, the register is down. Then the failures do
    // not count, and probes go out at growing intervals; once the register answers, the held
    // jobs go out again, each with the chances it had.
    PhaseEnd Run(std::deque<Job>& queue, const PhaseJobs& jobs);
    // The first address of the latest job the register answered, for the next phase's probes.
    const std::string& LastAnswered() const { return lastAnswered_; }

private:
    std::shared_ptr<fetch::WorkerOwner> owner_;
    std::shared_ptr<std::mutex> workerListLock_;
    PhaseSettings settings_;
    PhaseHost host_;
    std::string lastAnswered_;
};

}  // namespace korvalot::crawl
