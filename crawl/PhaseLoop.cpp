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

PhaseEnd PhaseLoop::Run(std::deque<std::string>& queue, const PhaseJobs& jobs) {
    using Clock = RegisterOutage::Clock;
    auto lists = std::make_shared<fetch::WorkerLists>(workerListLock_);
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
    };
    std::unordered_map<const fetch::TScrapingThread2*, Flight> flights;
    // Jobs whose worker failed once, in the order they failed; they are asked again, each once,
    // when nothing else of the phase is left, so that an outage costs them no more than a wait.
    std::deque<std::string> failedOnce;
    std::deque<std::string> finalRound;
    // Jobs handed out before whose failure did not count; they go out again before the queue.
    std::deque<std::string> retryFirst;
    // Jobs whose answer could not be handled once; a second failure drops them.
    std::unordered_set<std::string> unhandledOnce;
    // Failures without an answer from the register: in doubt until the register answers another
    // job, held while it is down.
    struct Failed {
        std::string job;
        std::string line;
        bool lastChance = false;
    };
    std::vector<Failed> doubtful;
    std::vector<Failed> held;
    RegisterOutage outage(settings_.outage);
    std::size_t probeTurn = 0;
    Clock::time_point waitReported{};

    // A probe asks once: its answer, or its failure, is all it is for.
    fetch::WorkerSettings probeSettings = settings_.worker;
    probeSettings.attempts = 1;

    const auto start = [&](std::string job, Flight flight) {
        auto worker = std::make_shared<fetch::TScrapingThread2>(flight.probe ? probeSettings
                                                                             : settings_.worker);
        worker->url = std::move(job);
        worker->Lists = lists;
        flights.emplace(worker.get(), flight);
        {
            std::lock_guard lock(*lists->WorkerListLock);
            lists->RunningList.push_back(worker);
        }
        worker->Start();
        std::this_thread::sleep_for(settings_.pacing);
    };
    const auto giveUp = [&](const std::string& job) {
        if (jobs.givenUp)
            jobs.givenUp(job);
    };
    // A failure the register is not to blame for: one more chance, or the job is lost.
    const auto fail = [&](const Failed& f) {
        if (!f.lastChance) {
            failedOnce.push_back(f.job);
            host_.log(f.line + std::string(kRetryLaterNote));
        } else {
            host_.log(f.line + (jobs.lostNote ? jobs.lostNote(f.job) : std::string()));
            giveUp(f.job);
        }
    };
    const auto hold = [&](Failed f) {
        host_.log(f.line + std::string(kHeldNote));
        held.push_back(std::move(f));
    };
    // The address a job asks first: a search job's own, a trade's card.
    const auto firstAddress = [&](const std::string& job) {
        if (job.find("https") != std::string::npos || !settings_.worker.tradeAddresses)
            return job;
        return settings_.worker.tradeAddresses(job).card;
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
        std::deque<std::string> left;
        for (Failed& f : held)
            left.push_back(std::move(f.job));
        for (Failed& f : doubtful)
            left.push_back(std::move(f.job));
        {
            std::lock_guard lock(*lists->WorkerListLock);
            for (const auto* list : {&lists->RunningList, &lists->FinishedList}) {
                for (const auto& worker : *list) {
                    const auto flight = flights.find(worker.get());
                    if (flight == flights.end() || !flight->second.probe)
                        left.push_back(worker->url);
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
                            start(std::move(*address), Flight{false, true});
                            started = true;
                        } else if (apply(outage.ProbeEnded(RegisterReply::Answered, Clock::now()),
                                         Clock::now())) {
                            return lose();
                        }
                    }
                } else if (!retryFirst.empty()) {
                    std::string job = std::move(retryFirst.front());
                    retryFirst.pop_front();
                    start(std::move(job), Flight{});
                    started = true;
                } else if (!queue.empty()) {
                    // Reported first: a report that fails leaves the entry in the queue.
                    host_.jobTaken();
                    std::string entry = std::move(queue.front());
                    queue.pop_front();
                    if (auto job = jobs.filter(entry)) {
                        start(std::move(*job), Flight{});
                        started = true;
                    }
                } else if (!finalRound.empty()) {
                    std::string job = std::move(finalRound.front());
                    finalRound.pop_front();
                    start(std::move(job), Flight{true, false});
                    started = true;
                }
            }

            host_.waitWhilePaused();
            Worker finished;
            {
                std::lock_guard lock(*lists->WorkerListLock);
                if (!lists->FinishedList.empty()) {
                    finished = std::move(lists->FinishedList.front());
                    lists->FinishedList.pop_front();
                }
            }
            if (finished) {
                finished->Join();
                Answers answers = TakeAnswers(*finished);
                const std::string job = finished->url;
                const std::int32_t outcome = finished->result;
                const std::string status = finished->statusText;
                const bool registerSide = outcome != 1 && fetch::RegisterSide(finished->failure);
                Flight flight;
                if (const auto it = flights.find(finished.get()); it != flights.end()) {
                    flight = it->second;
                    flights.erase(it);
                }
                finished.reset();
                const RegisterReply reply =
                    registerSide ? RegisterReply::NotAnswered : RegisterReply::Answered;

                try {
                    const std::string line = jobs.logPrefix + job + ": " + status;
                    if (flight.probe) {
                        if (apply(outage.ProbeEnded(reply, Clock::now()), Clock::now()))
                            return lose();
                    } else if (outcome == 1) {
                        lastAnswered_ = firstAddress(job);
                        apply(outage.JobEnded(reply, Clock::now()), Clock::now());
                        host_.log(line);
                        jobs.handler(job, answers);
                    } else if (registerSide) {
                        Failed f{job, line, flight.lastChance};
                        if (outage.Current() == RegisterOutage::State::Down) {
                            hold(std::move(f));
                        } else {
                            doubtful.push_back(std::move(f));
                            apply(outage.JobEnded(reply, Clock::now()), Clock::now());
                        }
                    } else {
                        apply(outage.JobEnded(reply, Clock::now()), Clock::now());
                        fail(Failed{job, line, flight.lastChance});
                    }
                } catch (const ResultsFileError&) {
                    throw;
                } catch (const std::exception& e) {
                    // One answer that cannot be handled costs that answer only: it is tried
                    // once more after the pause, the other jobs go on.
                    host_.reportError(e.what());
                    if (unhandledOnce.insert(job).second) {
                        queue.push_front(job);
                    } else {
                        host_.log("Ответ снова не обработан, задание пропускаем: " + job);
                        giveUp(job);
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
                } else {
                    if (failedOnce.empty())
                        return PhaseEnd::Done;
                    finalRound.swap(failedOnce);
                }
            }
            // A turn that started a worker has already paused for the pacing; another pause
            // would only stretch every job beyond it.
            if (!started)
                std::this_thread::sleep_for(settings_.loopTurn);
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
