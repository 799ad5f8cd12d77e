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
#include <unordered_map>
#include <unordered_set>
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
    // Set by the handler once the answer has left its mark (a card's rows are in the results
    // file), and by the loop once the handler has returned: from then on a failure is reported,
    // but the job is done and never goes out again, so that nothing is written twice.
    bool handled = false;
};

// Added to the log line of a job that failed once; it is asked again at the end of the phase.
inline constexpr std::string_view kRetryLaterNote = "; попробуем ещё раз в конце этапа";
// Added to the log line of a job that failed while the register did not answer at all: the
// failure does not count, the job goes out again as it was once the register answers.
inline constexpr std::string_view kHeldNote =
    "; реестр не отвечает, задание повторим, когда он ответит";

// How far a phase is: jobs done for good (answered, given up, or taken from the queue without a
// request) against those and every job still to do, queued, running or waiting for another
// chance. The total grows as answers queue further jobs.
struct PhaseProgress {
    std::int64_t done = 0;
    std::int64_t total = 0;
    bool operator==(const PhaseProgress&) const = default;
};

// What the loop needs of its run. Every member is called on the crawl thread and must be set.
struct PhaseHost {
    std::function<bool()> stopRequested;
    // Returns once the run is not paused.
    std::function<void()> waitWhilePaused;
    // Optional: the phase's progress, whenever it changed, before the next job is taken from the
    // queue, so that a report that fails leaves the queue as it was; and once more when every job
    // is done. A report that fails fails the phase, as any failure of the loop does.
    std::function<void(const PhaseProgress& progress)> progress;
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
    // answer a second try after the error pause, and the job is given up if it fails again,
    // unless the handler had set answers.handled: then the failure is reported and the job is
    // done.
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

// One phase's loop; Run is called once. Each turn reports the progress, dispatches at most one
// job, collects at most one finished worker and, when nothing else is left, starts the final round
// of second chances; a turn that did none of it sleeps until something happens.
class PhaseLoop {
public:
    // The lock guards the worker lists of every phase of the run. The owner takes the workers
    // the phase stops waiting for; without one, the loop keeps them and joins them itself when
    // it is destroyed.
    PhaseLoop(std::shared_ptr<std::mutex> workerListLock, PhaseSettings settings, PhaseHost host,
              std::shared_ptr<fetch::WorkerOwner> owner = nullptr);
    PhaseLoop(const PhaseLoop&) = delete;
    PhaseLoop& operator=(const PhaseLoop&) = delete;

    // Runs the phase over the queue, which the handler may extend, until the queue and every
    // second chance are done (Done), the run is asked to stop (Stopped: running workers are
    // asked to terminate and handed to the owner), a failure ends the phase (Failed:
    // reported through the host; running workers are handed to the owner and go on) or the
    // register stays down past the outage limit (RegisterLost: as Stopped). A failed or lost
    // phase leaves in the queue every job not done: in flight, held, or waiting for another
    // chance. A ResultsFileError from the handler leaves the workers as Failed does and is thrown
    // on.
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
    using Clock = RegisterOutage::Clock;
    using Worker = std::shared_ptr<fetch::TScrapingThread2>;

    // A worker in flight: its job's last chance, or a probe of the register.
    struct Flight {
        bool lastChance = false;
        bool probe = false;
        Job job;
    };
    // A failure without an answer from the register, with its log line kept until it is known
    // whether the failure counts.
    struct Failed {
        Job job;
        std::string line;
        bool lastChance = false;
        fetch::JobOutcome outcome;
    };
    // What one turn did: a turn that started a worker has paused for the pacing, one that moved
    // anything goes on at once, one that did neither sleeps.
    struct Turn {
        bool started = false;
        bool moved = false;
    };

    // The steps of a turn; those that return a PhaseEnd end the phase with it.
    void ReportProgress();
    std::optional<PhaseEnd> Dispatch(Turn& turn);
    std::optional<PhaseEnd> Collect(Turn& turn);
    void HandleOutcome(const Flight& flight, const fetch::JobOutcome& outcome, Answers& answers);
    std::optional<PhaseEnd> ProbeEnded(RegisterReply reply);
    void AnswerNotHandled(const Job& job, const fetch::JobOutcome& outcome,
                          const std::string& reason);
    std::optional<PhaseEnd> FinalRound(Turn& turn);
    void Sleep(std::uint64_t seen);

    void Start(Job job, bool lastChance, bool probe);
    // A failure the register is not to blame for: one more chance, or the job is given up.
    void Fail(const Failed& failed);
    void Hold(Failed failed);
    void GiveUp(const Job& job, const fetch::JobOutcome& outcome);
    void Finished(const Job& job, JobFate fate, std::optional<fetch::JobOutcome> outcome);
    // Carries out what the outage's step asks for; true when the wait is over for good.
    bool Apply(OutageStep step, Clock::time_point now);
    void ReportWait(bool waiting, Clock::time_point now);
    std::string FirstAddress(const Job& job) const;
    std::optional<std::string> ProbeAddress();
    bool WorkersIdle() const;
    // Every job not done back in the queue, in the order it would have gone out.
    void QueueNotDone();
    // The phase stops waiting for its workers: the owner joins them.
    void Abandon(bool terminate);
    PhaseEnd Lose();

    std::shared_ptr<fetch::WorkerOwner> owner_;
    std::shared_ptr<std::mutex> workerListLock_;
    PhaseSettings settings_;
    // A probe asks once: its answer, or its failure, is all it is for.
    fetch::WorkerSettings probeSettings_;
    PhaseHost host_;
    std::string lastAnswered_;
    bool ran_ = false;

    // The phase being run.
    std::deque<Job>* queue_ = nullptr;
    const PhaseJobs* jobs_ = nullptr;
    std::shared_ptr<fetch::WorkerLists> lists_;
    std::shared_ptr<util::Signal> wake_;
    std::unordered_map<const fetch::TScrapingThread2*, Flight> flights_;
    std::int64_t done_ = 0;
    std::optional<PhaseProgress> reported_;

    // Retry state. Jobs whose worker failed once, in the order they failed; they are asked again,
    // each once, when nothing else of the phase is left, so that an outage costs them no more than
    // a wait.
    std::deque<Job> failedOnce_;
    std::deque<Job> finalRound_;
    // Jobs handed out before whose failure did not count; they go out again before the queue.
    std::deque<Job> retryFirst_;
    // Jobs whose answer could not be handled once; a second failure gives them up.
    std::unordered_set<std::string> unhandledOnce_;
    // Failures without an answer from the register: in doubt until the register answers another
    // job, held while it is down.
    std::vector<Failed> doubtful_;
    std::vector<Failed> held_;
    RegisterOutage outage_;
    std::size_t probeTurn_ = 0;
    Clock::time_point waitReported_{};
};

}  // namespace korvalot::crawl
