#include "fetch/WorkerOwner.h"

#include <algorithm>
#include <vector>

namespace korvalot::fetch {

WorkerOwner::~WorkerOwner() {
    Cancel();
    std::lock_guard lock(mutex_);
    for (auto& worker : workers_)
        worker->Join();
}

void WorkerOwner::Adopt(std::shared_ptr<TScrapingThread2> worker) {
    std::lock_guard lock(mutex_);
    JoinEnded();
    if (cancelled_)
        worker->Cancel();
    workers_.push_back(std::move(worker));
}

void WorkerOwner::Cancel() noexcept {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    for (auto& worker : workers_)
        worker->Cancel();
}

bool WorkerOwner::WaitAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Waited for outside the lock, so that Adopt and Cancel from other threads are not held up.
    std::vector<std::shared_ptr<TScrapingThread2>> waiting;
    {
        std::lock_guard lock(mutex_);
        waiting.assign(workers_.begin(), workers_.end());
    }
    for (auto& worker : waiting) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!worker->WaitUntilEnded(std::max(left, std::chrono::milliseconds::zero())))
            return false;
    }
    std::lock_guard lock(mutex_);
    JoinEnded();
    return workers_.empty();
}

void WorkerOwner::JoinEnded() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->WaitUntilEnded(std::chrono::milliseconds::zero())) {
            (*it)->Join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace korvalot::fetch
