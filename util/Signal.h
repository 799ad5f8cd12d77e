#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

// Something happened that a waiting thread should look at: a count of notifications, so that a
// waiter that read the count before it looked cannot miss one that came meanwhile.
namespace korvalot::util {

class Signal {
public:
    using Clock = std::chrono::steady_clock;

    // From any thread.
    void Notify() {
        {
            std::lock_guard lock(mutex_);
            ++count_;
        }
        changed_.notify_all();
    }
    std::uint64_t Count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    // Returns once a notification has come since the count was `seen`, or at the deadline.
    void WaitUntil(std::uint64_t seen, std::optional<Clock::time_point> deadline) const {
        std::unique_lock lock(mutex_);
        const auto notified = [&] { return count_ != seen; };
        if (deadline)
            changed_.wait_until(lock, *deadline, notified);
        else
            changed_.wait(lock, notified);
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::uint64_t count_ = 0;
};

}  // namespace korvalot::util
