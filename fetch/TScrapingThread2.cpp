#include "fetch/TScrapingThread2.h"

#include <exception>

#include "json/JsonValue.h"
#include "util/uLib.h"

namespace korvalot::fetch {

namespace {

constexpr int kAttempts = 10;
constexpr std::int32_t kNotFound = 404;
constexpr std::size_t kLotsPageSize = 50;
// A register that keeps answering full pages whatever the offset would hold a worker forever.
constexpr int kMaxLotPages = 2000;

bool IsBlank(const std::string& body) {
    for (const char c : body) {
        if (static_cast<unsigned char>(c) > 32)
            return false;
    }
    return true;
}

std::size_t LotCount(const std::string& body) {
    const json::JsonValue page = json::Parse(util::StreamToString(body));
    if (page.IsNothing())
        return 0;
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
    thread_ = std::thread([self = shared_from_this(), lists = std::move(Lists)]() mutable {
        self->Body(*lists);
        lists.reset();
        self.reset();
    });
}

void TScrapingThread2::Terminate() noexcept {
    terminated_.store(true);
}

bool TScrapingThread2::Terminated() const noexcept {
    return terminated_.load();
}

void TScrapingThread2::Join() {
    if (thread_.joinable())
        thread_.join();
}

void TScrapingThread2::Detach() {
    if (thread_.joinable())
        thread_.detach();
}

void TScrapingThread2::Body(WorkerLists& lists) {
    result = 0;
    {
        std::unique_ptr<WorkerTransport> transport;
        try {
            transport = settings_.transport();
        } catch (const std::exception& e) {
            result = -1;
            statusText = std::string("ERROR ") + e.what();
        }
        if (transport) {
            const bool searchJob = url.find("https") != std::string::npos;
            if (searchJob) {
                Request(*transport, url, html);
            } else {
                // The job succeeds only when every request does; after the first failure the
                // trade cannot be written, so the remaining requests are not made.
                const std::string card = settings_.registerBaseUrl + "/backend/biddings/" + url;
                bool ok = Request(*transport, card, html) &&
                          Request(*transport, card + "/lots?offset=0&limit=50", html2);
                // Every lot counts: a full page means there may be another.
                const std::string* last = &html2;
                for (int page = 1; ok && page < kMaxLotPages && LotCount(*last) == kLotsPageSize;
                     ++page) {
                    std::string body;
                    ok = Request(
                        *transport,
                        card + "/lots?offset=" + std::to_string(page * kLotsPageSize) + "&limit=50",
                        body);
                    if (ok && body == *last)
                        break;  // the register ignored the offset
                    moreLots.push_back(std::move(body));
                    last = &moreLots.back();
                }
                if (ok)
                    ok = Request(*transport, card + "/additional", html3);
                if (!ok && result == 1)
                    result = 0;  // stopped part way: not a whole card
            }
        }
    }
    std::lock_guard lock(*lists.WorkerListLock);
    for (auto it = lists.RunningList.begin(); it != lists.RunningList.end(); ++it) {
        if (it->get() == this) {
            lists.FinishedList.push_back(std::move(*it));
            lists.RunningList.erase(it);
            break;
        }
    }
}

bool TScrapingThread2::Request(WorkerTransport& transport, const std::string& address,
                               std::string& body) {
    const std::string referer = settings_.registerBaseUrl + "/biddings";
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        body.clear();
        if (Terminated())
            return false;
        try {
            std::string bytes = transport.Get(address, referer);
            if (Terminated())
                return false;
            body = std::move(bytes);
            if (IsBlank(body)) {
                result = -1;
                statusText = "ERROR_Empty response1 for " + url;
                transport.Close();
                continue;
            }
            result = 1;
            statusText = "успешно";
            return true;
        } catch (const std::exception& e) {
            result = -1;
            statusText = std::string("ERROR ") + e.what();
            transport.Close();
            std::this_thread::sleep_for(settings_.retryPause);
            if (transport.LastStatusCode() == kNotFound)
                return false;
        }
    }
    return false;
}

}  // namespace korvalot::fetch
