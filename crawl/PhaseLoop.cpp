#include "crawl/PhaseLoop.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "crawl/CrawlError.h"

namespace korvalot::crawl {

namespace {

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

// Whether the register answered the job, whatever the answer was worth.
RegisterReply ReplyOf(const fetch::JobOutcome& outcome) {
    return !outcome.Ok() && fetch::RegisterSide(outcome.failure) ? RegisterReply::NotAnswered
                                                                 : RegisterReply::Answered;
}

}  // namespace

PhaseLoop::PhaseLoop(std::shared_ptr<std::mutex> workerListLock, PhaseSettings settings,
                     PhaseHost host, std::shared_ptr<fetch::WorkerOwner> owner)
    : owner_(owner ? std::move(owner) : std::make_shared<fetch::WorkerOwner>()),
      workerListLock_(std::move(workerListLock)),
      settings_(std::move(settings)),
      probeSettings_(settings_.worker),
      host_(std::move(host)),
      lastAnswered_(settings_.answeredAddress),
      outage_(settings_.outage) {
    probeSettings_.attempts = 1;
}

PhaseEnd PhaseLoop::Run(std::deque<Job>& queue, const PhaseJobs& jobs) {
    // The retry state belongs to one phase.
    if (ran_)
        throw std::logic_error("PhaseLoop::Run is called once per phase");
    ran_ = true;
    queue_ = &queue;
    jobs_ = &jobs;
    lists_ = std::make_shared<fetch::WorkerLists>(workerListLock_);
    // The loop sleeps until a worker ends, the run is paused, resumed or stopped, or a deadline
    // of its own comes: there is nothing to do in between.
    wake_ = host_.wake ? host_.wake : std::make_shared<util::Signal>();
    lists_->Finished = wake_;

    try {
        while (!host_.stopRequested()) {
            host_.waitWhilePaused();
            ReportProgress();
            // Read before looking at anything: whatever happens from here on wakes the wait.
            const std::uint64_t seen = wake_->Count();
            Turn turn;
            if (const auto end = Dispatch(turn))
                return *end;
            host_.waitWhilePaused();
            if (const auto end = Collect(turn))
                return *end;
            const auto now = Clock::now();
            if (outage_.Current() == RegisterOutage::State::Down &&
                now - waitReported_ >= std::chrono::seconds(1))
                ReportWait(true, now);
            if (const auto end = FinalRound(turn))
                return *end;
            if (!turn.started && !turn.moved)
                Sleep(seen);
        }
        Abandon(true);
        return PhaseEnd::Stopped;
    } catch (const ResultsFileError&) {
        Abandon(false);
        throw;
    } catch (const std::exception& e) {
        // Jobs in flight, held or waiting for another chance are not done either: back to the
        // queue, where the owner finds everything the phase did not do.
        QueueNotDone();
        Abandon(false);
        host_.reportError(e.what());
        return PhaseEnd::Failed;
    }
}

void PhaseLoop::ReportProgress() {
    if (!host_.progress)
        return;
    std::int64_t running = 0;
    for (const auto& [worker, flight] : flights_) {
        if (!flight.probe)
            ++running;
    }
    const auto waiting = [](const auto&... parts) {
        return (static_cast<std::int64_t>(parts.size()) + ...);
    };
    const PhaseProgress now{
        done_, done_ + running +
                   waiting(*queue_, retryFirst_, finalRound_, failedOnce_, doubtful_, held_)};
    if (reported_ == now)
        return;
    reported_ = now;
    host_.progress(now);
}

std::optional<PhaseEnd> PhaseLoop::Dispatch(Turn& turn) {
    std::size_t running = 0;
    {
        std::lock_guard lock(*lists_->WorkerListLock);
        running = lists_->RunningList.size();
    }
    if (static_cast<std::int64_t>(running) >= settings_.limit)
        return std::nullopt;
    if (outage_.Holding()) {
        if (!outage_.ProbeDue(Clock::now()))
            return std::nullopt;
        if (auto address = ProbeAddress()) {
            outage_.ProbeSent();
            // One request to an address, whatever it holds: any answer tells.
            Start(Job{{fetch::FetchJob::Kind::Search, std::move(*address)}, {}}, false, true);
            turn.started = true;
            return std::nullopt;
        }
        turn.moved = true;
        return ProbeEnded(RegisterReply::Answered);
    }
    if (!retryFirst_.empty()) {
        Job job = std::move(retryFirst_.front());
        retryFirst_.pop_front();
        Start(std::move(job), false, false);
        turn.started = true;
    } else if (!queue_->empty()) {
        turn.moved = true;
        Job job = std::move(queue_->front());
        queue_->pop_front();
        if (jobs_->filter(job)) {
            Start(std::move(job), false, false);
            turn.started = true;
        } else {
            ++done_;
        }
    } else if (!finalRound_.empty()) {
        Job job = std::move(finalRound_.front());
        finalRound_.pop_front();
        Start(std::move(job), true, false);
        turn.started = true;
    }
    return std::nullopt;
}

std::optional<PhaseEnd> PhaseLoop::Collect(Turn& turn) {
    Worker done;
    {
        std::lock_guard lock(*lists_->WorkerListLock);
        if (lists_->FinishedList.empty())
            return std::nullopt;
        done = std::move(lists_->FinishedList.front());
        lists_->FinishedList.pop_front();
    }
    turn.moved = true;
    done->Join();
    Answers answers = TakeAnswers(*done);
    const fetch::JobOutcome outcome = std::move(done->result);
    Flight flight;
    if (const auto it = flights_.find(done.get()); it != flights_.end()) {
        flight = std::move(it->second);
        flights_.erase(it);
    }
    done.reset();
    if (flight.probe)
        return ProbeEnded(ReplyOf(outcome));
    try {
        HandleOutcome(flight, outcome, answers);
    } catch (const ResultsFileError&) {
        throw;
    } catch (const std::exception& e) {
        // An answer handled is done whatever failed after it: asked again, its rows would be
        // written twice. A report that fails here fails the phase.
        if (answers.handled)
            throw;
        AnswerNotHandled(flight.job, outcome, e.what());
    }
    return std::nullopt;
}

void PhaseLoop::HandleOutcome(const Flight& flight, const fetch::JobOutcome& outcome,
                              Answers& answers) {
    const Job& job = flight.job;
    const RegisterReply reply = ReplyOf(outcome);
    const std::string line = jobs_->logPrefix + job.Text() + ": " + fetch::StatusText(outcome);
    if (outcome.Ok()) {
        lastAnswered_ = FirstAddress(job);
        Apply(outage_.JobEnded(reply, Clock::now()), Clock::now());
        host_.log(line);
        std::string late;
        try {
            jobs_->handler(job, answers);
        } catch (const ResultsFileError&) {
            throw;
        } catch (const std::exception& e) {
            if (!answers.handled)
                throw;
            late = e.what();
        }
        answers.handled = true;
        ++done_;
        try {
            Finished(job, JobFate::Done, outcome);
        } catch (const std::exception& e) {
            if (late.empty())
                late = e.what();
        }
        if (!late.empty())
            host_.reportError(late);
    } else if (reply == RegisterReply::NotAnswered) {
        Failed failed{job, line, flight.lastChance, outcome};
        if (outage_.Current() == RegisterOutage::State::Down) {
            Hold(std::move(failed));
        } else {
            doubtful_.push_back(std::move(failed));
            Apply(outage_.JobEnded(reply, Clock::now()), Clock::now());
        }
    } else {
        Apply(outage_.JobEnded(reply, Clock::now()), Clock::now());
        Fail(Failed{job, line, flight.lastChance, outcome});
    }
}

std::optional<PhaseEnd> PhaseLoop::ProbeEnded(RegisterReply reply) {
    if (Apply(outage_.ProbeEnded(reply, Clock::now()), Clock::now()))
        return Lose();
    return std::nullopt;
}

// One answer that cannot be handled costs that answer only: it is tried once more after the
// pause, the other jobs go on.
void PhaseLoop::AnswerNotHandled(const Job& job, const fetch::JobOutcome& outcome,
                                 const std::string& reason) {
    host_.reportError(reason);
    if (unhandledOnce_.insert(job.Text()).second) {
        Finished(job, JobFate::Unhandled, outcome);
        queue_->push_front(job);
    } else {
        host_.log("Ответ снова не обработан, задание пропускаем: " + job.Text());
        GiveUp(job, outcome);
    }
}

// When nothing of the phase is left but failures, the register is asked about those in doubt,
// and then the jobs that failed once get their second chance, all in one final round.
std::optional<PhaseEnd> PhaseLoop::FinalRound(Turn& turn) {
    if (!WorkersIdle() || !retryFirst_.empty() || !queue_->empty() || !finalRound_.empty() ||
        outage_.Holding())
        return std::nullopt;
    if (!doubtful_.empty()) {
        // Nothing else under way can tell whether the register answers: a probe will.
        outage_.Doubt(Clock::now());
        turn.moved = true;
        return std::nullopt;
    }
    if (failedOnce_.empty()) {
        // The phase's last word: everything done.
        ReportProgress();
        return PhaseEnd::Done;
    }
    finalRound_.swap(failedOnce_);
    turn.moved = true;
    return std::nullopt;
}

// A turn that started a worker has already paused for the pacing. One that changed nothing waits
// for a worker to end, for the run to be paused, resumed or stopped, or, while the register does
// not answer, for the next probe or the next report of the wait.
void PhaseLoop::Sleep(std::uint64_t seen) {
    const auto now = Clock::now();
    std::optional<Clock::time_point> until;
    // A probe under way, or one due while every worker is busy, is waited for.
    if (const auto probeIn = outage_.NextProbeIn(now);
        outage_.Holding() && probeIn > std::chrono::milliseconds::zero())
        until = now + probeIn;
    if (outage_.Current() == RegisterOutage::State::Down) {
        const auto report = waitReported_ + std::chrono::seconds(1);
        until = until ? std::min(*until, report) : report;
    }
    wake_->WaitUntil(seen, until);
}

void PhaseLoop::Start(Job job, bool lastChance, bool probe) {
    auto worker =
        std::make_shared<fetch::TScrapingThread2>(probe ? probeSettings_ : settings_.worker);
    worker->job = job.work;
    worker->Lists = lists_;
    flights_.emplace(worker.get(), Flight{lastChance, probe, std::move(job)});
    {
        std::lock_guard lock(*lists_->WorkerListLock);
        lists_->RunningList.push_back(worker);
    }
    worker->Start();
    // The pacing holds however many workers end meanwhile; only a stop cuts it short.
    const auto paced = Clock::now() + settings_.pacing;
    while (Clock::now() < paced) {
        const std::uint64_t seen = wake_->Count();
        if (host_.stopRequested())
            break;
        wake_->WaitUntil(seen, paced);
    }
}

void PhaseLoop::Fail(const Failed& failed) {
    if (!failed.lastChance) {
        failedOnce_.push_back(failed.job);
        host_.log(failed.line + std::string(kRetryLaterNote));
        Finished(failed.job, JobFate::RetryLater, failed.outcome);
    } else {
        host_.log(failed.line + (jobs_->lostNote ? jobs_->lostNote(failed.job) : std::string()));
        GiveUp(failed.job, failed.outcome);
    }
}

void PhaseLoop::Hold(Failed failed) {
    host_.log(failed.line + std::string(kHeldNote));
    Finished(failed.job, JobFate::Held, failed.outcome);
    held_.push_back(std::move(failed));
}

void PhaseLoop::GiveUp(const Job& job, const fetch::JobOutcome& outcome) {
    if (jobs_->givenUp)
        jobs_->givenUp(job);
    Finished(job, JobFate::GivenUp, outcome);
    ++done_;
}

void PhaseLoop::Finished(const Job& job, JobFate fate, std::optional<fetch::JobOutcome> outcome) {
    if (host_.jobFinished)
        host_.jobFinished(JobFinished{jobs_->phase, job.Text(), fate, std::move(outcome)});
}

bool PhaseLoop::Apply(OutageStep step, Clock::time_point now) {
    switch (step.event) {
        case OutageEvent::None:
            break;
        case OutageEvent::Settle:
            for (const Failed& failed : doubtful_)
                Fail(failed);
            doubtful_.clear();
            break;
        case OutageEvent::WentDown: {
            const auto minutes =
                std::chrono::duration_cast<std::chrono::minutes>(settings_.outage.limit).count();
            host_.log(
                "Реестр перестал отвечать. Новые задания не начинаем, а неудачи не засчитываем; "
                "проверяем реестр через растущие промежутки и ждём его не дольше " +
                (minutes > 0 ? std::to_string(minutes) + " мин"
                             : DurationText(settings_.outage.limit)));
            for (Failed& failed : doubtful_)
                Hold(std::move(failed));
            doubtful_.clear();
            ReportWait(true, now);
            break;
        }
        case OutageEvent::CameBack: {
            host_.log("Реестр снова отвечает, не отвечал " + DurationText(step.downFor) +
                      "; продолжаем, отложенных заданий: " + std::to_string(held_.size()));
            // Each as it was: first chances before the queue, last chances before the other
            // last chances, in the order they failed.
            for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
                if (it->lastChance)
                    finalRound_.push_front(std::move(it->job));
            }
            for (Failed& failed : held_) {
                if (!failed.lastChance)
                    retryFirst_.push_back(std::move(failed.job));
            }
            held_.clear();
            ReportWait(false, now);
            break;
        }
        case OutageEvent::GaveUp:
            host_.log("Реестр не отвечает уже " + DurationText(step.downFor) +
                      ", больше не ждём; этап прерван");
            ReportWait(false, now);
            return true;
    }
    return false;
}

void PhaseLoop::ReportWait(bool waiting, Clock::time_point now) {
    waitReported_ = now;
    if (host_.registerWait)
        host_.registerWait(
            RegisterWait{waiting, waiting ? outage_.DownFor(now) : std::chrono::milliseconds{},
                         waiting ? outage_.NextProbeIn(now) : std::chrono::milliseconds{}});
}

// The address a job asks first: a search job's own, a trade's card.
std::string PhaseLoop::FirstAddress(const Job& job) const {
    if (job.work.kind == fetch::FetchJob::Kind::Search || !settings_.worker.tradeAddresses)
        return job.Text();
    return settings_.worker.tradeAddresses(job.Text()).card;
}

// An address the register answered before, else each held job's in turn, so that one address
// that fails on its own cannot keep the outage going.
std::optional<std::string> PhaseLoop::ProbeAddress() {
    if (!lastAnswered_.empty())
        return lastAnswered_;
    const std::vector<Failed>& waiting = held_.empty() ? doubtful_ : held_;
    if (waiting.empty())
        return std::nullopt;
    return FirstAddress(waiting[probeTurn_++ % waiting.size()].job);
}

bool PhaseLoop::WorkersIdle() const {
    std::lock_guard lock(*lists_->WorkerListLock);
    return lists_->RunningList.empty() && lists_->FinishedList.empty();
}

void PhaseLoop::QueueNotDone() {
    std::deque<Job> left;
    for (Failed& failed : held_)
        left.push_back(std::move(failed.job));
    for (Failed& failed : doubtful_)
        left.push_back(std::move(failed.job));
    held_.clear();
    doubtful_.clear();
    {
        std::lock_guard lock(*lists_->WorkerListLock);
        for (const auto* list : {&lists_->RunningList, &lists_->FinishedList}) {
            for (const auto& worker : *list) {
                const auto flight = flights_.find(worker.get());
                if (flight != flights_.end() && !flight->second.probe)
                    left.push_back(flight->second.job);
            }
        }
    }
    for (auto* part : {&retryFirst_, queue_, &finalRound_, &failedOnce_}) {
        for (auto& job : *part)
            left.push_back(std::move(job));
        part->clear();
    }
    *queue_ = std::move(left);
}

// Workers the phase stops waiting for keep their share of the lists and finish on their own;
// the owner joins them.
void PhaseLoop::Abandon(bool terminate) {
    std::lock_guard lock(*lists_->WorkerListLock);
    for (auto& worker : lists_->RunningList) {
        if (terminate)
            worker->Terminate();
        owner_->Adopt(worker);
    }
    for (auto& worker : lists_->FinishedList)
        owner_->Adopt(worker);
}

// The register's wait is over: every job not done is left in the queue for the run to name.
PhaseEnd PhaseLoop::Lose() {
    QueueNotDone();
    Abandon(true);
    return PhaseEnd::RegisterLost;
}

}  // namespace korvalot::crawl
