#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fetch/TScrapingThread2.h"

namespace korvalot::crawl::testing_support {

// What the register answers one request: a body with 200, another status (raised as the
// client does, with the status line as message), or a broken connection (status 0).
struct Reply {
    int status = 200;
    std::string body;
};

// A scripted register behind the workers' transport. Everything it records is safe to read
// from the test thread while workers run.
class FakeRegister : public std::enable_shared_from_this<FakeRegister> {
public:
    using Script = std::function<Reply(const std::string& url)>;

    static std::shared_ptr<FakeRegister> Create(Script script);

    fetch::WorkerTransportFactory Factory();

    std::vector<std::string> Calls() const;
    int CallsTo(const std::string& url) const;
    int MaxConcurrent() const { return maxConcurrent_.load(); }
    int Active() const { return active_.load(); }

    // While held, every request waits inside the register until Release, or for at most
    // kHoldLimit: a test that fails before its Release then ends instead of hanging.
    static constexpr std::chrono::seconds kHoldLimit{90};
    void Hold();
    void Release();
    // Waits until that many requests are inside the register at once.
    bool WaitForActive(int count, std::chrono::milliseconds timeout);
    // Waits until every transport made so far has been released by its worker.
    bool WaitUntilNoTransport(std::chrono::milliseconds timeout);

    // Called by the transports.
    Reply Serve(const std::string& url);
    void TransportMade();
    void TransportGone();

private:
    explicit FakeRegister(Script script) : script_(std::move(script)) {}

    Script script_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
    bool held_ = false;
    std::chrono::steady_clock::time_point heldUntil_;
    int transports_ = 0;
    std::atomic<int> active_{0};
    std::atomic<int> maxConcurrent_{0};
};

// Worker settings that reach the register's own addresses at base through the fake, with a
// short pause between attempts.
fetch::WorkerSettings WorkerSettingsFor(const std::shared_ptr<FakeRegister>& reg,
                                        const std::string& base);

// A small register of trades that answers search, card, lots and additional requests as the
// real one does: search by trade type, region, date range and lot price (bounds inclusive),
// paged by offset and limit up to an offset of 1000 (400 beyond).
struct BookTrade {
    BookTrade(std::string guid_, std::string region_, std::string type_, std::string date_,
              long long price_ = 1000, int lots_ = 1)
        : guid(std::move(guid_)),
          region(std::move(region_)),
          type(std::move(type_)),
          date(std::move(date_)),
          price(price_),
          lots(lots_) {}
    std::string guid;
    std::string region;
    std::string type;
    std::string date;  // yyyy-mm-dd
    long long price = 1000;
    int lots = 1;
    std::string datePublish;  // empty: date + "T10:15:00+03:00"
    // Start prices of further lots, which a search by price finds the trade by as well.
    std::vector<long long> morePrices;
    // No lot has a start price: a search by price never finds the trade.
    bool unpriced = false;
};

class TradeBook {
public:
    explicit TradeBook(std::string baseUrl) : base_(std::move(baseUrl)) {}
    void Add(BookTrade trade) { trades_.push_back(std::move(trade)); }
    const std::vector<BookTrade>& Trades() const { return trades_; }

    // The answer to a request, or nothing (404) for an address it does not know.
    Reply Answer(const std::string& url) const;
    FakeRegister::Script Script() const;

    static std::string LotObject(const std::string& guid, int lot) {
        return "Лот " + std::to_string(lot + 1) + " торгов " + guid;
    }

private:
    std::string base_;
    std::vector<BookTrade> trades_;
};

std::map<std::string, std::string> QueryParameters(const std::string& url);

}  // namespace korvalot::crawl::testing_support
