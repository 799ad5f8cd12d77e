#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include <QObject>
#include <QPointer>

namespace korvalot::app {

// Runs a call on the UI thread for another thread and waits until it has returned; an exception
// that the call raises is raised again in the calling thread. Called on the UI thread itself, it
// runs the call directly.
//
// Once the window is gone (Detach), calls from other threads return without running, so a run
// that outlives its window never touches freed widgets and never waits for ever.
class UiHandOff {
public:
    // target lives on the UI thread; calls are queued to it.
    explicit UiHandOff(QObject* target);

    void Call(const std::function<void()>& call);

    // UI thread, before the target is destroyed.
    void Detach();

    // Threads whose call has been queued and not yet run or dropped.
    int CallsWaiting() const { return waiting_.load(); }

private:
    std::atomic<int> waiting_{0};
    std::mutex mutex_;
    QObject* target_;
    std::thread::id uiThread_;
};

}  // namespace korvalot::app
