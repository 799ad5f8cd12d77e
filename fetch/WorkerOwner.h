#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <mutex>

#include "fetch/TScrapingThread2.h"

namespace korvalot::fetch {

/// Keeps the workers that a stopped or failed phase no longer waits for, until their threads
/// have ended and been joined. One per crawl run; thread-safe.
class WorkerOwner {
public:
    WorkerOwner() = default;
    /// Cancels the workers still kept and joins them.
    ~WorkerOwner();
    WorkerOwner(const WorkerOwner&) = delete;
    WorkerOwner& operator=(const WorkerOwner&) = delete;

    /// Takes a worker over; those taken earlier whose threads have ended are joined meanwhile.
    /// After Cancel, a worker taken over is cancelled at once.
    void Adopt(std::shared_ptr<TScrapingThread2> worker);
    /// Cuts off the requests of every worker kept and of every one taken over later.
    void Cancel() noexcept;
    /// Waits for every worker kept to end and joins it; false when the time ran out first.
    bool WaitAll(std::chrono::milliseconds timeout);

private:
    void JoinEnded();  // under mutex_

    std::mutex mutex_;
    std::list<std::shared_ptr<TScrapingThread2>> workers_;
    bool cancelled_ = false;
};

}  // namespace korvalot::fetch
