#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fetch/AnswerShape.h"
#include "fetch/FetchJob.h"
#include "fetch/JobOutcome.h"
#include "json/JsonValue.h"
#include "util/Platform.h"
#include "util/Signal.h"

// The fetch workers: one short-lived thread per job of a crawl run.
namespace korvalot::fetch {

/// How a worker reaches the register: a WorkerClient in the product, a fake in tests. One per
/// worker, used by that worker's thread only. Get raises ClientError.
class WorkerTransport {
public:
    virtual ~WorkerTransport() = default;
    virtual std::string Get(const std::string& address, const std::string& referer) = 0;
    virtual std::int32_t LastStatusCode() const noexcept = 0;
    /// How long the last answer asked to be left alone (Retry-After of a 429 or 503), when the
    /// last Get received such an answer.
    virtual std::optional<std::chrono::milliseconds> RetryAfter() const noexcept {
        return std::nullopt;
    }
    virtual void Close() noexcept = 0;
    /// Called from another thread while the worker's thread may be inside Get: that Get must
    /// end at once (closing its socket), and later ones fail. Nothing to do for a transport
    /// whose Get never blocks.
    virtual void Cancel() noexcept {}
};

/// Makes the transport of one worker; called on the worker's thread when it starts. Must be
/// safe to call from several threads at once.
using WorkerTransportFactory = std::function<std::unique_ptr<WorkerTransport>()>;

/// The product's transport: a WorkerClient with the default limits.
std::unique_ptr<WorkerTransport> MakeWorkerClientTransport();

class TScrapingThread2;

/// The running and finished workers of one phase, with the run's lock. Every worker holds a
/// share of it, so that workers a stopped or failed phase no longer waits for can still move
/// themselves when they end, after the phase has handed them to a WorkerOwner.
struct WorkerLists {
    explicit WorkerLists(std::shared_ptr<std::mutex> lock) : WorkerListLock(std::move(lock)) {}
    std::shared_ptr<std::mutex> WorkerListLock;
    std::list<std::shared_ptr<TScrapingThread2>> RunningList;
    std::list<std::shared_ptr<TScrapingThread2>> FinishedList;
    /// Notified whenever a worker has moved itself to FinishedList; optional.
    std::shared_ptr<util::Signal> Finished;
};

/// The addresses of one trade's card, ready to fetch.
struct TradeAddresses {
    std::string card;
    std::function<std::string(std::size_t offset)> lotsPage;  ///< 50 lots from the offset on
    std::string additional;
};

/// What the workers of a run tell about their failed attempts while they work, read from any
/// thread: the count goes into the run's summary, the gauge into its progress line.
struct RetryCounters {
    std::atomic<std::int64_t> retried{0};  ///< attempts made again after a failed one
    std::atomic<std::int32_t> failing{0};  ///< requests whose last attempt failed, still tried
};

/// Settings of a worker. The product always uses the defaults; tests shorten the pauses.
struct WorkerSettings {
    std::string referer;               ///< named by every request
    WorkerTransportFactory transport;  ///< empty: MakeWorkerClientTransport
    /// The first pause after a failed attempt; each further failure of the same request doubles
    /// it, up to retryPauseCap, and a random part of up to half of it is taken off.
    std::chrono::milliseconds retryPause{100};
    /// Zero: 32 times retryPause (3.2 s with the default), so that shortened pauses stay short.
    std::chrono::milliseconds retryPauseCap{0};
    /// The longest a Retry-After of a 429 or 503 answer is honoured.
    std::chrono::milliseconds retryAfterCap{60000};
    /// Shared by the run's workers; empty: nobody counts.
    std::shared_ptr<RetryCounters> retries;
    /// The addresses of a trade job's guid; needed for trade jobs only.
    std::function<TradeAddresses(const std::string& guid)> tradeAddresses;
    /// Attempts per request: 10 for a job, 1 for a probe of a register that does not answer.
    int attempts = 10;
    /// Creates the worker's thread; empty: std::thread.
    util::ThreadStarter startThread;
};

/// One job: a search page fetched into html, or a trade whose card, lots pages and additional
/// data are fetched into html, html2 (and moreLots) and html3. Every request is tried up to 10
/// times, until it yields a JSON object of the shape its step reads (fetch/AnswerShape.h); a 404
/// ends the attempts at once. Between attempts the worker waits longer and longer, so that ten
/// attempts outlast a short outage of the register. A trade job stops at its first request that
/// fails.
class TScrapingThread2 : public std::enable_shared_from_this<TScrapingThread2> {
public:
    explicit TScrapingThread2(WorkerSettings settings);
    /// Joins the thread (unless the caller is that thread).
    ~TScrapingThread2();
    TScrapingThread2(const TScrapingThread2&) = delete;
    TScrapingThread2& operator=(const TScrapingThread2&) = delete;

    // Written by the crawl thread before Start; Start hands the lists over to the thread.
    std::shared_ptr<WorkerLists> Lists;
    FetchJob job;

    // Written by the worker before it moves itself to FinishedList; read by the crawl thread
    // only after taking it from there.
    /// Stopped until the worker has finished, and also when the worker, asked to terminate,
    /// stopped before its job was whole without a failed attempt.
    JobOutcome result;
    std::string html;                   ///< search answer, or the trade's card
    std::string html2;                  ///< the first page of lots (offset 0)
    std::vector<std::string> moreLots;  ///< the further pages of lots (offsets 50, 100, ...)
    std::string html3;                  ///< the additional data
    /// The answers above as the worker decoded and parsed them to check them, so that nobody
    /// parses them again: html's, html2's, moreLots' (one each) and html3's. Nothing where a
    /// request was not made or failed.
    json::JsonValue htmlDoc;
    json::JsonValue html2Doc;
    std::vector<json::JsonValue> moreLotsDocs;
    json::JsonValue html3Doc;

    /// Starts the thread. The caller must already have added the worker to Lists->RunningList.
    /// A thread that cannot be created fails the job at once: the worker moves itself to
    /// FinishedList with a failed result naming the reason, like a job whose requests failed.
    void Start();
    /// Asks the worker to make no further attempt; a request in progress runs to its end, a
    /// pause between attempts ends at once.
    void Terminate() noexcept;
    bool Terminated() const noexcept;
    /// Terminate, and the request in progress is cut off at once (its connection closed).
    void Cancel() noexcept;
    /// Waits for the thread to end (after the worker reached FinishedList).
    void Join();
    /// Whether the thread's work is over (Join then returns at once), waiting up to timeout.
    bool WaitUntilEnded(std::chrono::milliseconds timeout);

private:
    void Body(WorkerLists& lists);
    /// The worker's last step: from RunningList to FinishedList, under the lists' lock.
    void MoveToFinished(WorkerLists& lists);
    /// The thread's work is over: WaitUntilEnded returns.
    void MarkEnded();
    bool Request(WorkerTransport& transport, const std::string& address, AnswerKind kind,
                 std::string& body, json::JsonValue& parsed);
    std::chrono::milliseconds PauseAfter(int failures, const WorkerTransport& transport);
    /// False when the worker was asked to terminate before or during the pause.
    bool Pause(std::chrono::milliseconds pause);

    WorkerSettings settings_;
    std::atomic<bool> terminated_{false};
    std::mutex pauseMutex_;
    std::condition_variable pauseEnded_;  // also: the thread's work is over
    bool ended_ = false;                  // under pauseMutex_
    // The transport while the thread uses it, for Cancel from other threads.
    std::mutex transportMutex_;
    WorkerTransport* transport_ = nullptr;
    bool cancelled_ = false;  // under transportMutex_
    std::minstd_rand jitter_;
    bool jitterSeeded_ = false;
    std::thread thread_;
};

}  // namespace korvalot::fetch
