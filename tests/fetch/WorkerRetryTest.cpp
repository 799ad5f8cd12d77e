// A worker against a real loopback server that fails a few times and then answers: the pauses
// between its attempts grow, honour Retry-After within their cap, and end at once on Terminate.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fetch/TScrapingThread2.h"
#include "support/ScriptedServer.h"

namespace korvalot::fetch {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::OkAnswer;
using testing::ReceivedRequest;
using testing::Reply;
using testing::ScriptedServer;

const std::string kPage = "{\"found\":0,\"pageData\":[]}";

// A server whose first `failures` answers are `failure` and whose later ones are an empty page
// of trades; it notes when each request arrived.
class FailingServer {
public:
    FailingServer(int failures, Reply failure)
        : server_([this, failures, failure](const ReceivedRequest&) {
              std::lock_guard lock(mutex_);
              arrivals_.push_back(Clock::now());
              arrived_.notify_all();
              return static_cast<int>(arrivals_.size()) <= failures ? failure
                                                                    : Reply().Send(OkAnswer(kPage));
          }) {}

    std::string Address() const { return server_.Address("/search?https=1"); }

    bool WaitForRequests(std::size_t n) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, 30s, [&] { return arrivals_.size() >= n; });
    }

    // Whether the worker has let go of its first connection, as it does just before it pauses.
    bool WaitUntilFirstConnectionClosed() { return server_.WaitUntilClosed(0); }

    // The time from each request to the next.
    std::vector<Clock::duration> Gaps() const {
        std::lock_guard lock(mutex_);
        std::vector<Clock::duration> gaps;
        for (std::size_t i = 1; i < arrivals_.size(); ++i)
            gaps.push_back(arrivals_[i] - arrivals_[i - 1]);
        return gaps;
    }

    std::size_t Requests() const {
        std::lock_guard lock(mutex_);
        return arrivals_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Clock::time_point> arrivals_;
    ScriptedServer server_;  // last: its threads stop before the members they use go
};

// Starts one search job; Finish joins it and checks that it moved itself.
class Job {
public:
    Job(WorkerSettings settings, const std::string& address)
        : lists_(std::make_shared<WorkerLists>(std::make_shared<std::mutex>())),
          worker_(std::make_shared<TScrapingThread2>(std::move(settings))) {
        worker_->job = {FetchJob::Kind::Search, address};
        worker_->Lists = lists_;
        {
            std::lock_guard lock(*lists_->WorkerListLock);
            lists_->RunningList.push_back(worker_);
        }
        worker_->Start();
    }

    TScrapingThread2& Finish() {
        worker_->Join();
        std::lock_guard lock(*lists_->WorkerListLock);
        EXPECT_TRUE(lists_->RunningList.empty());
        EXPECT_EQ(lists_->FinishedList.size(), 1u);
        return *worker_;
    }

    TScrapingThread2& Worker() { return *worker_; }

private:
    std::shared_ptr<WorkerLists> lists_;
    std::shared_ptr<TScrapingThread2> worker_;
};

WorkerSettings Settings(std::chrono::milliseconds base, std::chrono::milliseconds cap = {},
                        std::chrono::milliseconds retryAfterCap = 60s) {
    WorkerSettings settings;
    settings.referer = "https://register.test/biddings";
    settings.retryPause = base;
    settings.retryPauseCap = cap;
    settings.retryAfterCap = retryAfterCap;
    return settings;
}

std::string Status(int code, const char* reason, const std::string& extra = {}) {
    return "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n" + extra +
           "Content-Length: 0\r\n\r\n";
}

struct OutageCase {
    const char* name;
    Reply failure;
    friend void PrintTo(const OutageCase& c, std::ostream* os) { *os << c.name; }
};

class WorkerOutage : public ::testing::TestWithParam<OutageCase> {};

// Four failures of any kind, an answer that is no use included: each pause is at least half of
// 40 ms doubled once more for every failure before it, so the last one is at least 160 ms.
TEST_P(WorkerOutage, IsRiddenOutWithGrowingPauses) {
    FailingServer server(4, GetParam().failure);
    Job job(Settings(40ms), server.Address());
    TScrapingThread2& worker = job.Finish();
    EXPECT_TRUE(worker.result.Ok());
    EXPECT_EQ(StatusText(worker.result), "успешно");
    EXPECT_EQ(worker.html, kPage);
    ASSERT_EQ(server.Requests(), 5u);
    const auto gaps = server.Gaps();
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        EXPECT_GE(gaps[i], 20ms * (1 << i)) << "pause before attempt " << i + 2;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WorkerOutage,
    ::testing::Values(
        OutageCase{"MaintenancePage", Reply().Send(Status(503, "Service Unavailable"))},
        OutageCase{"ServerError", Reply().Send(Status(500, "Internal Server Error"))},
        OutageCase{"EmptyBody", Reply().Send(OkAnswer(""))},
        OutageCase{"HtmlPage", Reply().Send(OkAnswer("<html>busy</html>"))},
        OutageCase{"PageWithoutItsList", Reply().Send(OkAnswer("{\"found\":1,\"pageData\":{}}"))},
        OutageCase{"Reset", Reply().Reset()}),
    [](const auto& info) { return std::string(info.param.name); });

// Nine failures with pauses doubling from 100 ms would wait 51 s at the least; held at 100 ms
// they cost 0.9 s, which leaves room for a slow machine below the bound.
TEST(WorkerRetry, PausesStopGrowingAtTheirCap) {
    FailingServer server(9, Reply().Send(Status(500, "Internal Server Error")));
    const auto started = Clock::now();
    Job job(Settings(100ms, 100ms), server.Address());
    EXPECT_TRUE(job.Finish().result.Ok());
    EXPECT_LT(Clock::now() - started, 15s);
    EXPECT_EQ(server.Requests(), 10u);
}

// Ten failures in a row give the job up after its tenth attempt, with the last message.
TEST(WorkerRetry, GivesUpAfterTenAttempts) {
    FailingServer server(10, Reply().Send(Status(500, "Internal Server Error")));
    Job job(Settings(1ms), server.Address());
    TScrapingThread2& worker = job.Finish();
    EXPECT_EQ(worker.result.kind, JobOutcome::Kind::Failed);
    EXPECT_EQ(StatusText(worker.result), "ERROR HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(server.Requests(), 10u);
}

// The run's summary counts every attempt made again, and its progress line knows while a
// request is failing: from its first failed attempt to its outcome, success or giving up.
TEST(WorkerRetry, CountsItsRepeatedAttemptsAndWhileARequestFails) {
    const auto counters = std::make_shared<RetryCounters>();
    // Pauses of a second: the test thread sees the failing request however busy the machine.
    WorkerSettings settings = Settings(1s, 1s);
    settings.retries = counters;
    {
        FailingServer server(3, Reply().Send(Status(500, "Internal Server Error")));
        Job job(settings, server.Address());
        const auto deadline = Clock::now() + 30s;
        while (counters->failing.load() == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(counters->failing.load(), 1);
        EXPECT_TRUE(job.Finish().result.Ok());
        EXPECT_EQ(counters->retried.load(), 3);
        EXPECT_EQ(counters->failing.load(), 0);
    }
    {
        // Given up after ten attempts: nine of them were made again.
        FailingServer server(10, Reply().Send(Status(500, "Internal Server Error")));
        settings = Settings(1ms);
        settings.retries = counters;
        Job job(settings, server.Address());
        EXPECT_EQ(job.Finish().result.kind, JobOutcome::Kind::Failed);
        EXPECT_EQ(counters->retried.load(), 3 + 9);
        EXPECT_EQ(counters->failing.load(), 0);
    }
}

struct RetryAfterCase {
    const char* name;
    std::string failure;
    std::chrono::milliseconds retryAfterCap;
    std::chrono::milliseconds atLeast;
    std::chrono::milliseconds below;
    friend void PrintTo(const RetryAfterCase& c, std::ostream* os) { *os << c.name; }
};

class WorkerRetryAfter : public ::testing::TestWithParam<RetryAfterCase> {};

// The pauses of these cases start at 10 ms: whatever is longer comes from Retry-After.
TEST_P(WorkerRetryAfter, IsHonouredOn429And503UpToItsCap) {
    const auto& c = GetParam();
    FailingServer server(1, Reply().Send(c.failure));
    Job job(Settings(10ms, {}, c.retryAfterCap), server.Address());
    EXPECT_TRUE(job.Finish().result.Ok());
    const auto gaps = server.Gaps();
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_GE(gaps[0], c.atLeast);
    EXPECT_LT(gaps[0], c.below);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, WorkerRetryAfter,
    ::testing::Values(
        RetryAfterCase{"On503", Status(503, "Service Unavailable", "Retry-After: 1\r\n"), 60s,
                       1000ms, 30s},
        RetryAfterCase{"On429", Status(429, "Too Many Requests", "Retry-After: 1\r\n"), 60s, 1000ms,
                       30s},
        RetryAfterCase{"CappedWhenLong",
                       Status(503, "Service Unavailable", "Retry-After: 3600\r\n"), 300ms, 300ms,
                       30s},
        RetryAfterCase{"IgnoredOnOtherStatuses",
                       Status(500, "Internal Server Error", "Retry-After: 60\r\n"), 60s, 0ms, 30s}),
    [](const auto& info) { return std::string(info.param.name); });

// A register that asks for an hour: Stop must not wait for it.
TEST(WorkerRetry, TerminateEndsALongPauseAtOnce) {
    FailingServer server(1,
                         Reply().Send(Status(503, "Service Unavailable", "Retry-After: 3600\r\n")));
    Job job(Settings(10ms), server.Address());
    ASSERT_TRUE(server.WaitForRequests(1));
    // Stopped once the worker is about to wait, so that the wait itself must end.
    ASSERT_TRUE(server.WaitUntilFirstConnectionClosed());
    const auto asked = Clock::now();
    job.Worker().Terminate();
    TScrapingThread2& worker = job.Finish();
    EXPECT_LT(Clock::now() - asked, 10s);
    EXPECT_EQ(worker.result.kind, JobOutcome::Kind::Failed);
    EXPECT_EQ(StatusText(worker.result), "ERROR HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(server.Requests(), 1u);
}

}  // namespace
}  // namespace korvalot::fetch
