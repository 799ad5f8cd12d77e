#include "fetch/TScrapingThread2.h"

#include <algorithm>
#include <cstdint>
#include <exception>

#include "fetch/AnswerShape.h"
#include "fetch/ClientProfiles.h"
#include "json/JsonValue.h"
#include "util/uLib.h"

namespace korvalot::fetch {

namespace {

constexpr std::int32_t kNotFound = 404;
constexpr std::int32_t kTooManyRequests = 429;
constexpr int kDefaultCapFactor = 32;
constexpr std::size_t kLotsPageSize = 50;
// A register that keeps answering full pages whatever the offset would hold a worker forever.
constexpr int kMaxLotPages = 2000;

// A status says whether the register answers at all: 5xx and 429 are the register's own trouble,
// any other error status is about the address asked.
JobFailure StatusFailure(std::int32_t status) {
    if (status <= 0)
        return JobFailure::Unreachable;
    if (status >= 500 || status == kTooManyRequests)
        return JobFailure::Busy;
    return JobFailure::Refused;
}

bool IsBlank(const std::string& body) {
    for (const char c : body) {
        if (static_cast<unsigned char>(c) > 32)
            return false;
    }
    return true;
}

// An answer is usable only as a JSON object: an HTML page or a body cut short in transit
// would otherwise pass for a card or a page without trades.
json::JsonValue ParseObject(const std::string& body) {
    json::JsonValue doc = json::Parse(util::StreamToString(body));
    if (doc.IsNothing() || doc.Kind() != json::JsonKind::Object)
        return {};
    return doc;
}

std::size_t LotCount(const json::JsonValue& page) {
    const json::JsonValue lots = page.Member("pageData");
    if (lots.IsNothing())
        return 0;
    const json::JsonValue array = lots.AsArray();
    return array.IsNothing() ? 0 : array.Length();
}

}  // namespace

TScrapingThread2::TScrapingThread2(WorkerSettings settings) : settings_(std::move(settings)) {
    if (!settings_.transport)
        settings_.transport = MakeWorkerClientTransport;
    if (settings_.retryPauseCap <= std::chrono::milliseconds::zero())
        settings_.retryPauseCap = settings_.retryPause * kDefaultCapFactor;
}

TScrapingThread2::~TScrapingThread2() {
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void TScrapingThread2::Start() {
    // The thread keeps the worker and its phase's lists alive until it has moved itself.
    // Moved out of the member so that a worker and its lists do not own each other.
    std::shared_ptr<WorkerLists> lists = std::move(Lists);
    try {
        thread_ =
            util::StartThread(settings_.startThread, [self = shared_from_this(), lists]() mutable {
                self->Body(*lists);
                lists.reset();
                self->MarkEnded();
                self.reset();
            });
    } catch (const std::exception& e) {
        // Without a thread the job fails here, as its requests would have, and the phase
        // collects it like any other failed job; a worker left in RunningList would keep the
        // phase and the run's end waiting for ever.
        result = JobOutcome::FailedWith(JobOutcome::Fault::Error,
                                        std::string("Не удалось создать поток: ") + e.what(),
                                        JobFailure::Other);
        MoveToFinished(*lists);
        MarkEnded();
    }
}

void TScrapingThread2::MarkEnded() {
    {
        std::lock_guard lock(pauseMutex_);
        ended_ = true;
    }
    pauseEnded_.notify_all();
}

void TScrapingThread2::Terminate() noexcept {
    {
        // Under the pause's lock, so that a worker about to wait cannot miss the wake-up.
        std::lock_guard lock(pauseMutex_);
        terminated_.store(true);
    }
    pauseEnded_.notify_all();
}

bool TScrapingThread2::Terminated() const noexcept {
    return terminated_.load();
}

void TScrapingThread2::Cancel() noexcept {
    Terminate();
    std::lock_guard lock(transportMutex_);
    cancelled_ = true;
    if (transport_ != nullptr)
        transport_->Cancel();
}

void TScrapingThread2::Join() {
    if (thread_.joinable())
        thread_.join();
}

bool TScrapingThread2::WaitUntilEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(pauseMutex_);
    return pauseEnded_.wait_for(lock, timeout, [this] { return ended_; });
}

void TScrapingThread2::Body(WorkerLists& lists) {
    result = {};
    {
        std::unique_ptr<WorkerTransport> transport;
        try {
            transport = settings_.transport();
        } catch (const std::exception& e) {
            result = JobOutcome::FailedWith(JobOutcome::Fault::Error, e.what(), JobFailure::Other);
        }
        if (transport) {
            std::lock_guard lock(transportMutex_);
            transport_ = transport.get();
            if (cancelled_)
                transport_->Cancel();
        }
        // Cancel may reach the transport only while it is alive: it is let go of under the lock.
        struct Release {
            TScrapingThread2& worker;
            ~Release() {
                std::lock_guard lock(worker.transportMutex_);
                worker.transport_ = nullptr;
            }
        } release{*this};
        if (transport) {
            if (job.kind == FetchJob::Kind::Search) {
                Request(*transport, job.text, AnswerKind::SearchPage, html, htmlDoc);
            } else if (!settings_.tradeAddresses) {
                result = JobOutcome::FailedWith(JobOutcome::Fault::Error,
                                                "no addresses for a trade job", JobFailure::Other);
            } else {
                // The job succeeds only when every request does; after the first failure the
                // trade cannot be written, so the remaining requests are not made.
                const TradeAddresses trade = settings_.tradeAddresses(job.text);
                bool ok =
                    Request(*transport, trade.card, AnswerKind::Card, html, htmlDoc) &&
                    Request(*transport, trade.lotsPage(0), AnswerKind::LotsPage, html2, html2Doc);
                // Every lot counts: a full page means there may be another.
                const std::string* last = &html2;
                const json::JsonValue* page = &html2Doc;
                for (int n = 1; ok && n < kMaxLotPages && LotCount(*page) == kLotsPageSize; ++n) {
                    std::string body;
                    json::JsonValue doc;
                    ok = Request(*transport, trade.lotsPage(n * kLotsPageSize),
                                 AnswerKind::LotsPage, body, doc);
                    if (ok && body == *last)
                        break;  // the register ignored the offset
                    moreLots.push_back(std::move(body));
                    moreLotsDocs.push_back(std::move(doc));
                    last = &moreLots.back();
                    page = &moreLotsDocs.back();
                }
                if (ok)
                    ok = Request(*transport, trade.additional, AnswerKind::Additional, html3,
                                 html3Doc);
                if (!ok && result.Ok())
                    result = {};  // stopped part way: not a whole card
            }
        }
    }
    MoveToFinished(lists);
}

void TScrapingThread2::MoveToFinished(WorkerLists& lists) {
    {
        std::lock_guard lock(*lists.WorkerListLock);
        for (auto it = lists.RunningList.begin(); it != lists.RunningList.end(); ++it) {
            if (it->get() == this) {
                lists.FinishedList.push_back(std::move(*it));
                lists.RunningList.erase(it);
                break;
            }
        }
    }
    if (lists.Finished)
        lists.Finished->Notify();
}

bool TScrapingThread2::Request(WorkerTransport& transport, const std::string& address,
                               AnswerKind kind, std::string& body, json::JsonValue& parsed) {
    const std::string& referer = settings_.referer;
    // From its first failed attempt until its outcome the request counts as failing.
    struct Failing {
        RetryCounters* counters;
        bool on = false;
        void Failed() {
            if (counters != nullptr && !on) {
                ++counters->failing;
                on = true;
            }
        }
        void Retry() {
            if (counters != nullptr)
                ++counters->retried;
        }
        ~Failing() {
            if (on)
                --counters->failing;
        }
    } failing{settings_.retries.get()};
    const int attempts = std::max(settings_.attempts, 1);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        body.clear();
        parsed = {};
        if (Terminated())
            return false;
        if (attempt > 1)
            failing.Retry();
        // An answer that arrived but is of no use is as much a sign of trouble as an error:
        // the next attempt waits all the same.
        try {
            std::string bytes = transport.Get(address, referer);
            if (Terminated())
                return false;
            body = std::move(bytes);
            if (IsBlank(body)) {
                result = JobOutcome::FailedWith(JobOutcome::Fault::Empty, job.text,
                                                JobFailure::Unusable);
                transport.Close();
            } else if (json::JsonValue doc = ParseObject(body); doc.IsNothing()) {
                result = JobOutcome::FailedWith(JobOutcome::Fault::InvalidJson, job.text,
                                                JobFailure::Unusable);
                transport.Close();
            } else if (!IsUsableAnswer(kind, doc)) {
                result = JobOutcome::FailedWith(JobOutcome::Fault::Unusable, job.text,
                                                JobFailure::Unusable);
                transport.Close();
            } else {
                parsed = std::move(doc);
                result = JobOutcome::Succeeded();
                return true;
            }
        } catch (const ClientError& e) {
            result = JobOutcome::FailedWith(JobOutcome::Fault::Error, e.what(),
                                            StatusFailure(e.Status()));
            transport.Close();
            if (transport.LastStatusCode() == kNotFound)
                return false;
        } catch (const std::exception& e) {
            result = JobOutcome::FailedWith(JobOutcome::Fault::Error, e.what(), JobFailure::Other);
            transport.Close();
            if (transport.LastStatusCode() == kNotFound)
                return false;
        }
        if (attempt < attempts) {
            failing.Failed();
            if (!Pause(PauseAfter(attempt, transport)))
                return false;
        }
    }
    return false;
}

std::chrono::milliseconds TScrapingThread2::PauseAfter(int failures,
                                                       const WorkerTransport& transport) {
    using std::chrono::milliseconds;
    milliseconds pause = settings_.retryPause;
    for (int n = 1; n < failures && pause < settings_.retryPauseCap; ++n)
        pause *= 2;
    pause = std::min(pause, settings_.retryPauseCap);
    // Workers that failed together must not come back together: up to half is left out at
    // random.
    if (pause.count() > 1) {
        if (!jitterSeeded_) {
            // Seeded at the first failure only: most workers never need it, and opening the
            // system's random device for every worker showed in the harvest's CPU profile.
            jitter_.seed(static_cast<std::minstd_rand::result_type>(
                std::chrono::steady_clock::now().time_since_epoch().count() ^
                reinterpret_cast<std::uintptr_t>(this)));
            jitterSeeded_ = true;
        }
        std::uniform_int_distribution<milliseconds::rep> cut(0, pause.count() / 2);
        pause -= milliseconds(cut(jitter_));
    }
    if (const auto asked = transport.RetryAfter())
        pause = std::max(pause, std::min(*asked, settings_.retryAfterCap));
    return pause;
}

bool TScrapingThread2::Pause(std::chrono::milliseconds pause) {
    std::unique_lock lock(pauseMutex_);
    return !pauseEnded_.wait_for(lock, pause, [this] { return terminated_.load(); });
}

}  // namespace korvalot::fetch
