#include "crawl/PhaseLoop.h"

#include <exception>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "crawl/CrawlError.h"

namespace korvalot::crawl {

namespace {

using Worker = std::shared_ptr<fetch::TScrapingThread2>;

// Moves the parsed answers out: the worker has handed them over when it moved itself to the
// finished list, and is not used again.
Answers TakeAnswers(fetch::TScrapingThread2& worker) {
    Answers answers;
    answers.html = std::move(worker.htmlDoc);
    answers.lotPages.reserve(1 + worker.moreLotsDocs.size());
    answers.lotPages.push_back(std::move(worker.html2Doc));
    for (auto& more : worker.moreLotsDocs)
        answers.lotPages.push_back(std::move(more));
    answers.html3 = std::move(worker.html3Doc);
    return answers;
}

}  // namespace

PhaseLoop::PhaseLoop(std::shared_ptr<std::mutex> workerListLock, PhaseSettings settings,
                     PhaseHost host, std::shared_ptr<fetch::WorkerOwner> owner)
    : owner_(owner ? std::move(owner) : std::make_shared<fetch::WorkerOwner>()),
      workerListLock_(std::move(workerListLock)),
      settings_(std::move(settings)),
      host_(std::move(host)),
      lastAnswered_(settings_.answeredAddress) {}

PhaseEnd PhaseLoop::Run(std::deque<Job>& queue, const PhaseJobs& jobs) {
    using Clock = RegisterOutage::Clock;
    auto lists = std::make_shared<fetch::WorkerLists>(workerListLock_);
    // The loop sleeps until a worker ends, the run is paused, resumed or stopped, or a deadline
    // of its own comes: there is nothing to do in between.
    const std::shared_ptr<util::Signal> wake =
        host_.wake ? host_.wake : std::make_shared<util::Signal>();
    lists->Finished = wake;
    // Workers the phase stops waiting for keep their share of the lists and finish on their
    // own; the owner joins them.
    const auto abandon = [this, &lists](bool terminate) {
        std::lock_guard lock(*lists->WorkerListLock);
        for (auto& worker : lists->RunningList) {
            if (terminate)
                worker->Terminate();
            owner_->Adopt(worker);
        }
        for (auto& worker : lists->FinishedList)
            owner_->Adopt(worker);
    };
    // What each worker in flight is: its job's last chance, or a probe of the register.
    struct Flight {
        bool lastChance = false;
        bool probe = false;
        Job job;
    };
    std::unordered_map<const fetch::TScrapingThread2*, Flight> flights;
    // Jobs whose worker failed once, in the order they failed; they are asked again, each once,
    // when nothing else of the phase is left, so that an outage costs them no more than a wait.
    std::deque<Job> failedOnce;
    std::deque<Job> finalRound;
    // Jobs handed out before whose failure did not count; they go out again before the queue.
    std::deque<Job> retryFirst;
    // Jobs whose answer could not be handled once; a second failure drops them.
    std::unordered_set<std::string> unhandledOnce;
    // Failures without an answer from the register: in doubt until the register answers another
    // job, held while it is down.
    struct Failed {
        Job job;
        std::string line;
        bool lastChance = false;
        fetch::JobOutcome outcome;
    };
    std::vector<Failed> doubtful;
    std::vector<Failed> held;
    RegisterOutage outage(settings_.outage);
    std::size_t probeTurn = 0;
    Clock::time_point waitReported{};

    // A probe asks once: its answer, or its failure, is all it is for.
    fetch::WorkerSettings probeSettings = settings_.worker;
    probeSettings.attempts = 1;

    const auto start = [&](Job job, bool lastChance, bool probe) {
        auto worker =
            std::make_shared<fetch::TScrapingThread2>(probe ? probeSettings : settings_.worker);
        worker->job = job.work;
        worker->Lists = lists;
        flights.emplace(worker.get(), Flight{lastChance, probe, std::move(job)});
        {
            std::lock_guard lock(*lists->WorkerListLock);
            lists->RunningList.push_back(worker);
        }
        worker->Start();
        // The pacing holds however many workers end meanwhile; only a stop cuts it short.
        const auto paced = Clock::now() + settings_.pacing;
        while (Clock::now() < paced) {
            const std::uint64_t seen = wake->Count();
            if (host_.stopRequested())
                break;
            wake->WaitUntil(seen, paced);
        }
    };
    const auto giveUp = [&](const Job& job) {
        if (jobs.givenUp)
            jobs.givenUp(job);
    };
    const auto finished = [&](const Job& job, JobFate fate,
                              std::optional<fetch::JobOutcome> outcome) {
        if (host_.jobFinished)
            host_.jobFinished(JobFinished{jobs.phase, job.Text(), fate, std::move(outcome)});
    };
    // A failure the register is not to blame for: one more chance, or the job is lost.
    const auto fail = [&](const Failed& f) {
        if (!f.lastChance) {
            failedOnce.push_back(f.job);
            host_.log(f.line + std::string(kRetryLaterNote));
            finished(f.job, JobFate::RetryLater, f.outcome);
        } else {
            host_.log(f.line + (jobs.lostNote ? jobs.lostNote(f.job) : std::string()));
            giveUp(f.job);
            finished(f.job, JobFate::GivenUp, f.outcome);
        }
    };
    const auto hold = [&](Failed f) {
        host_.log(f.line + std::string(kHeldNote));
        finished(f.job, JobFate::Held, f.outcome);
        held.push_back(std::move(f));
    };
    // The address a job asks first: a search job's own, a trade's card.
    const auto firstAddress = [&](const Job& job) {
        if (job.work.kind == fetch::FetchJob::Kind::Search || !settings_.worker.tradeAddresses)
            return job.Text();
        return settings_.worker.tradeAddresses(job.Text()).card;
    };
    // An address the register answered before, else each held job's in turn, so that one
    // address that fails on its own cannot keep the outage going.
    const auto probeAddress = [&]() -> std::optional<std::string> {
        if (!lastAnswered_.empty())
            return lastAnswered_;
        const std::vector<Failed>& waiting = held.empty() ? doubtful : held;
        if (waiting.empty())
            return std::nullopt;
        return firstAddress(waiting[probeTurn++ % waiting.size()].job);
    };
    const auto reportWait = [&](bool waiting, Clock::time_point now) {
        waitReported = now;
        if (host_.registerWait)
            host_.registerWait(
                RegisterWait{waiting, waiting ? outage.DownFor(now) : std::chrono::milliseconds{},
                             waiting ? outage.NextProbeIn(now) : std::chrono::milliseconds{}});
    };
    const auto limitText = [&] {
        const auto minutes =
            std::chrono::duration_cast<std::chrono::minutes>(settings_.outage.limit).count();
        return minutes > 0 ? std::to_string(minutes) + " мин"
                           : DurationText(settings_.outage.limit);
    };
    // Carries out what the outage's step asks for; true when the wait is over for good.
    const auto apply = [&](OutageStep step, Clock::time_point now) {
        switch (step.event) {
            case OutageEvent::None:
                break;
            case OutageEvent::Settle:
                for (const Failed& f : doubtful)
                    fail(f);
                doubtful.clear();
                break;
            case OutageEvent::WentDown:
                host_.log(
                    "Реестр перестал отвечать. Новые задания не начинаем, а неудачи не "
                    "засчитываем; проверяем реестр через растущие промежутки и ждём его "
                    "не дольше " +
                    limitText());
                for (Failed& f : doubtful)
                    hold(std::move(f));
                doubtful.clear();
                reportWait(true, now);
                break;
            case OutageEvent::CameBack: {
                host_.log("Реестр снова отвечает, не отвечал " + DurationText(step.downFor) +
                          "; продолжаем, отложенных заданий: " + std::to_string(held.size()));
                // Each as it was: first chances before the queue, last chances before the
                // other last chances, in the order they failed.
                for (auto it = held.rbegin(); it != held.rend(); ++it) {
                    if (it->lastChance)
                        finalRound.push_front(std::move(it->job));
                }
                for (Failed& f : held) {
                    if (!f.lastChance)
                        retryFirst.push_back(std::move(f.job));
                }
                held.clear();
                reportWait(false, now);
                break;
            }
            case OutageEvent::GaveUp:
                host_.log("Реестр не отвечает уже " + DurationText(step.downFor) +
                          ", больше не ждём; этап прерван");
                reportWait(false, now);
                return true;
        }
        return false;
    };
    // The register's wait is over: every job not done goes back to the queue's head, in the order
    // it would have gone out, for the run to name.
    const auto notDone = [&] {
        std::deque<Job> left;
        for (Failed& f : held)
            left.push_back(std::move(f.job));
        for (Failed& f : doubtful)
            left.push_back(std::move(f.job));
        {
            std::lock_guard lock(*lists->WorkerListLock);
            for (const auto* list : {&lists->RunningList, &lists->FinishedList}) {
                for (const auto& worker : *list) {
                    const auto flight = flights.find(worker.get());
                    if (flight != flights.end() && !flight->second.probe)
                        left.push_back(flight->second.job);
                }
            }
        }
        for (auto* part : {&retryFirst, &queue, &finalRound, &failedOnce}) {
            for (auto& job : *part)
                left.push_back(std::move(job));
            part->clear();
        }
        return left;
    };
    const auto lose = [&] {
        queue = notDone();
        abandon(true);
        return PhaseEnd::RegisterLost;
    };

    try {
        while (!host_.stopRequested()) {
            host_.waitWhilePaused();
            // Read before looking at anything: whatever happens from here on wakes the wait.
            const std::uint64_t seen = wake->Count();
            // Something changed in this turn: the next turn comes at once.
            bool moved = false;
            std::size_t running = 0;
            {
                std::lock_guard lock(*lists->WorkerListLock);
                running = lists->RunningList.size();
            }
            bool started = false;
            if (static_cast<std::int64_t>(running) < settings_.limit) {
                if (outage.Holding()) {
                    if (outage.ProbeDue(Clock::now())) {
                        if (auto address = probeAddress()) {
                            outage.ProbeSent();
                            // One request to an address, whatever it holds: any answer tells.
                            start(Job{{fetch::FetchJob::Kind::Search, std::move(*address)}, {}},
                                  false, true);
                            started = true;
                        } else {
                            moved = true;
                            if (apply(outage.ProbeEnded(RegisterReply::Answered, Clock::now()),
                                      Clock::now()))
                                return lose();
                        }
                    }
                } else if (!retryFirst.empty()) {
                    Job job = std::move(retryFirst.front());
                    retryFirst.pop_front();
                    start(std::move(job), false, false);
                    started = true;
                } else if (!queue.empty()) {
                    // Reported first: a report that fails leaves the entry in the queue.
                    host_.jobTaken();
                    moved = true;
                    Job job = std::move(queue.front());
                    queue.pop_front();
                    if (jobs.filter(job)) {
                        start(std::move(job), false, false);
                        started = true;
                    }
                } else if (!finalRound.empty()) {
                    Job job = std::move(finalRound.front());
                    finalRound.pop_front();
                    start(std::move(job), true, false);
                    started = true;
                }
            }

            host_.waitWhilePaused();
            Worker done;
            {
                std::lock_guard lock(*lists->WorkerListLock);
                if (!lists->FinishedList.empty()) {
                    done = std::move(lists->FinishedList.front());
                    lists->FinishedList.pop_front();
                }
            }
            if (done) {
                moved = true;
                done->Join();
                Answers answers = TakeAnswers(*done);
                const fetch::JobOutcome outcome = std::move(done->result);
                const bool registerSide = !outcome.Ok() && fetch::RegisterSide(outcome.failure);
                Flight flight;
                if (const auto it = flights.find(done.get()); it != flights.end()) {
                    flight = std::move(it->second);
                    flights.erase(it);
                }
                done.reset();
                const Job& job = flight.job;
                const RegisterReply reply =
                    registerSide ? RegisterReply::NotAnswered : RegisterReply::Answered;

                try {
                    const std::string line =
                        jobs.logPrefix + job.Text() + ": " + fetch::StatusText(outcome);
                    if (flight.probe) {
                        if (apply(outage.ProbeEnded(reply, Clock::now()), Clock::now()))
                            return lose();
                    } else if (outcome.Ok()) {
                        lastAnswered_ = firstAddress(job);
                        apply(outage.JobEnded(reply, Clock::now()), Clock::now());
                        host_.log(line);
                        jobs.handler(job, answers);
                        finished(job, JobFate::Done, outcome);
                    } else if (registerSide) {
                        Failed f{job, line, flight.lastChance, outcome};
                        if (outage.Current() == RegisterOutage::State::Down) {
                            hold(std::move(f));
                        } else {
                            doubtful.push_back(std::move(f));
                            apply(outage.JobEnded(reply, Clock::now()), Clock::now());
                        }
                    } else {
                        apply(outage.JobEnded(reply, Clock::now()), Clock::now());
                        fail(Failed{job, line, flight.lastChance, outcome});
                    }
                } catch (const ResultsFileError&) {
                    throw;
                } catch (const std::exception& e) {
                    // One answer that cannot be handled costs that answer only: it is tried
                    // once more after the pause, the other jobs go on.
                    host_.reportError(e.what());
                    if (unhandledOnce.insert(job.Text()).second) {
                        finished(job, JobFate::Unhandled, outcome);
                        queue.push_front(job);
                    } else {
                        host_.log("Ответ снова не обработан, задание пропускаем: " + job.Text());
                        giveUp(job);
                        finished(job, JobFate::GivenUp, outcome);
                    }
                }
            }

            const auto now = Clock::now();
            if (outage.Current() == RegisterOutage::State::Down &&
                now - waitReported >= std::chrono::seconds(1))
                reportWait(true, now);

            bool idle = false;
            {
                std::lock_guard lock(*lists->WorkerListLock);
                idle = lists->RunningList.empty() && lists->FinishedList.empty();
            }
            if (idle && retryFirst.empty() && queue.empty() && finalRound.empty() &&
                !outage.Holding()) {
                if (!doubtful.empty()) {
                    // Nothing else under way can tell whether the register answers: a probe
                    // will.
                    outage.Doubt(now);
                    moved = true;
                } else {
                    if (failedOnce.empty())
                        return PhaseEnd::Done;
                    finalRound.swap(failedOnce);
                    moved = true;
                }
            }
            // A turn that started a worker has already paused for the pacing. One that changed
            // nothing waits for a worker to end, for the run to be paused, resumed or stopped,
            // or, while the register does not answer, for the next probe or the next report of
            // the wait.
            if (!started && !moved) {
                std::optional<Clock::time_point> until;
                // A probe under way, or one due while every worker is busy, is waited for.
                if (const auto probeIn = outage.NextProbeIn(now);
                    outage.Holding() && probeIn > std::chrono::milliseconds::zero())
                    until = now + probeIn;
                if (outage.Current() == RegisterOutage::State::Down) {
                    const auto report = waitReported + std::chrono::seconds(1);
                    until = until ? std::min(*until, report) : report;
                }
                wake->WaitUntil(seen, until);
            }
        }
        abandon(true);
        return PhaseEnd::Stopped;
    } catch (const ResultsFileError&) {
        abandon(false);
        throw;
    } catch (const std::exception& e) {
        // Jobs in flight, held or waiting for another chance are not done either: back to the
        // queue, where the owner finds everything the phase did not do.
        queue = notDone();
        abandon(false);
        host_.reportError(e.what());
        return PhaseEnd::Failed;
    }
}

}  // namespace korvalot::crawl
