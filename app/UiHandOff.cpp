#include "app/UiHandOff.h"

#include <condition_variable>
#include <exception>
#include <memory>

#include <QMetaObject>

namespace korvalot::app {
namespace {

struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::exception_ptr error;

    void Finish(std::exception_ptr raised) {
        {
            std::lock_guard lock(mutex);
            if (finished) {
                return;
            }
            finished = true;
            error = std::move(raised);
        }
        done.notify_all();
    }
};

// Lives inside the queued call. When Qt drops the call without running it (its target was
// destroyed first), the destructor still releases the waiting thread.
struct Release {
    explicit Release(std::shared_ptr<Waiter> w) : waiter(std::move(w)) {}
    Release(const Release&) = delete;
    Release& operator=(const Release&) = delete;
    ~Release() { waiter->Finish(nullptr); }
    std::shared_ptr<Waiter> waiter;
};

}  // namespace

UiHandOff::UiHandOff(QObject* target) : target_(target), uiThread_(std::this_thread::get_id()) {}

void UiHandOff::Call(const std::function<void()>& call) {
    if (std::this_thread::get_id() == uiThread_) {
        // A queued call to one's own thread would wait for itself.
        bool attached;
        {
            std::lock_guard lock(mutex_);
            attached = target_ != nullptr;
        }
        if (attached) {
            call();
        }
        return;
    }
    auto waiter = std::make_shared<Waiter>();
    {
        std::lock_guard lock(mutex_);
        if (target_ == nullptr) {
            return;
        }
        auto release = std::make_shared<Release>(waiter);
        QMetaObject::invokeMethod(
            target_,
            [call, release] {
                try {
                    call();
                } catch (...) {
                    // An exception may not cross the event loop: it would end the process.
                    release->waiter->Finish(std::current_exception());
                    return;
                }
                release->waiter->Finish(nullptr);
            },
            Qt::QueuedConnection);
        ++waiting_;
    }
    std::unique_lock lock(waiter->mutex);
    waiter->done.wait(lock, [&] { return waiter->finished; });
    --waiting_;
    if (waiter->error) {
        std::rethrow_exception(waiter->error);
    }
}

void UiHandOff::Detach() {
    std::lock_guard lock(mutex_);
    target_ = nullptr;
}

}  // namespace korvalot::app
