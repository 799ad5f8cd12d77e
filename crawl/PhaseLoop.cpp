#include "crawl/PhaseLoop.h"

#include <exception>
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
      host_(std::move(host)) {}

PhaseEnd PhaseLoop::Run(std::deque<std::string>& queue, const PhaseJobs& jobs) {
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
    // Whether each worker in flight is its job's last chance.
    std::unordered_map<const fetch::TScrapingThread2*, bool> lastChance;
    // Jobs whose worker failed once, in the order they failed; they are asked again, each once,
    // when nothing else of the phase is left, so that an outage costs them no more than a wait.
    std::deque<std::string> failedOnce;
    std::deque<std::string> finalRound;
    // Jobs whose answer could not be handled once; a second failure drops them.
    std::unordered_set<std::string> unhandledOnce;

    const auto start = [&](std::string job, bool last) {
        auto worker = std::make_shared<fetch::TScrapingThread2>(settings_.worker);
        worker->url = std::move(job);
        worker->Lists = lists;
        lastChance.emplace(worker.get(), last);
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
                if (!queue.empty()) {
                    // Reported first: a report that fails leaves the entry in the queue.
                    host_.jobTaken();
                    std::string entry = std::move(queue.front());
                    queue.pop_front();
                    if (auto job = jobs.filter(entry)) {
                        start(std::move(*job), false);
                        started = true;
                    }
                } else if (!finalRound.empty()) {
                    std::string job = std::move(finalRound.front());
                    finalRound.pop_front();
                    start(std::move(job), true);
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
                const auto chance = lastChance.find(finished.get());
                const bool wasLast = chance != lastChance.end() && chance->second;
                if (chance != lastChance.end())
                    lastChance.erase(chance);
                finished.reset();

                try {
                    const std::string line = jobs.logPrefix + job + ": " + status;
                    if (outcome == 1) {
                        host_.log(line);
                        jobs.handler(job, answers);
                    } else if (!wasLast) {
                        failedOnce.push_back(job);
                        host_.log(line + std::string(kRetryLaterNote));
                    } else {
                        host_.log(line + (jobs.lostNote ? jobs.lostNote(job) : std::string()));
                        giveUp(job);
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

            bool idle = false;
            {
                std::lock_guard lock(*lists->WorkerListLock);
                idle = lists->RunningList.empty() && lists->FinishedList.empty();
            }
            if (idle && queue.empty() && finalRound.empty()) {
                if (failedOnce.empty())
                    return PhaseEnd::Done;
                finalRound.swap(failedOnce);
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
        abandon(false);
        // Jobs in flight or waiting for another chance are not done either: back to the queue,
        // where the owner finds everything the phase did not do.
        {
            std::lock_guard lock(*lists->WorkerListLock);
            for (const auto& worker : lists->RunningList)
                queue.push_front(worker->url);
            for (const auto& worker : lists->FinishedList)
                queue.push_front(worker->url);
        }
        queue.insert(queue.begin(), finalRound.begin(), finalRound.end());
        queue.insert(queue.begin(), failedOnce.begin(), failedOnce.end());
        host_.reportError(e.what());
        return PhaseEnd::Failed;
    }
}

}  // namespace korvalot::crawl
