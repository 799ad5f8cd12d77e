#include "crawl/fakes/FakeRegister.h"

#include <algorithm>

#include "crawl/RegisterAddresses.h"
#include "fetch/ClientProfiles.h"

namespace korvalot::crawl::testing_support {

namespace {

class FakeTransport final : public fetch::WorkerTransport {
public:
    explicit FakeTransport(std::shared_ptr<FakeRegister> reg) : reg_(std::move(reg)) {
        reg_->TransportMade();
    }
    ~FakeTransport() override { reg_->TransportGone(); }

    std::string Get(const std::string& address, const std::string& referer) override {
        if (referer.find("/biddings") == std::string::npos) {
            throw fetch::ClientError("bad referer " + referer);
        }
        const Reply reply = reg_->Serve(address);
        status_ = reply.status == 0 ? status_ : reply.status;
        if (reply.status == 0) {
            throw fetch::ClientError("Socket Error # 10054\r\nConnection reset by peer.");
        }
        if (reply.status < 200 || reply.status > 299) {
            throw fetch::ClientError(
                "HTTP/1.1 " + std::to_string(reply.status) +
                    (reply.status == 404 ? " Not Found" : " Internal Server Error"),
                {}, {}, reply.status);
        }
        return reply.body;
    }
    std::int32_t LastStatusCode() const noexcept override { return status_; }
    void Close() noexcept override {}

private:
    std::shared_ptr<FakeRegister> reg_;
    std::int32_t status_ = -1;
};

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::shared_ptr<FakeRegister> FakeRegister::Create(Script script) {
    return std::shared_ptr<FakeRegister>(new FakeRegister(std::move(script)));
}

fetch::WorkerTransportFactory FakeRegister::Factory() {
    return [self = shared_from_this()]() -> std::unique_ptr<fetch::WorkerTransport> {
        return std::make_unique<FakeTransport>(self);
    };
}

std::vector<std::string> FakeRegister::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

int FakeRegister::CallsTo(const std::string& url) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), url));
}

void FakeRegister::Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
    heldUntil_ = std::chrono::steady_clock::now() + kHoldLimit;
}

void FakeRegister::Release() {
    {
        std::lock_guard lock(mutex_);
        held_ = false;
    }
    changed_.notify_all();
}

bool FakeRegister::WaitForActive(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return active_.load() >= count; });
}

bool FakeRegister::WaitUntilNoTransport(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return transports_ == 0; });
}

Reply FakeRegister::Serve(const std::string& url) {
    {
        std::unique_lock lock(mutex_);
        calls_.push_back(url);
        const int now = ++active_;
        int seen = maxConcurrent_.load();
        while (now > seen && !maxConcurrent_.compare_exchange_weak(seen, now)) {
        }
        changed_.notify_all();
        changed_.wait_until(lock, heldUntil_, [&] { return !held_; });
    }
    Reply reply;
    try {
        reply = script_(url);
    } catch (...) {
        --active_;
        throw;
    }
    {
        std::lock_guard lock(mutex_);
        --active_;
    }
    changed_.notify_all();
    return reply;
}

void FakeRegister::TransportMade() {
    std::lock_guard lock(mutex_);
    ++transports_;
}

void FakeRegister::TransportGone() {
    {
        std::lock_guard lock(mutex_);
        --transports_;
    }
    changed_.notify_all();
}

std::map<std::string, std::string> QueryParameters(const std::string& url) {
    std::map<std::string, std::string> out;
    const auto q = url.find('?');
    if (q == std::string::npos)
        return out;
    std::size_t start = q + 1;
    while (start <= url.size()) {
        std::size_t end = url.find('&', start);
        if (end == std::string::npos)
            end = url.size();
        const std::string pair = url.substr(start, end - start);
        const auto eq = pair.find('=');
        if (eq != std::string::npos)
            out.emplace(pair.substr(0, eq), pair.substr(eq + 1));
        start = end + 1;
    }
    return out;
}

Reply TradeBook::Answer(const std::string& url) const {
    if (!url.starts_with(base_ + "/backend/biddings"))
        return {404, ""};
    const std::string rest = url.substr(base_.size() + std::string("/backend/biddings").size());
    const auto params = QueryParameters(url);
    const auto param = [&](const std::string& name, const std::string& fallback) {
        const auto it = params.find(name);
        return it == params.end() ? fallback : it->second;
    };
    if (rest.starts_with("?")) {
        const std::string from = param("tradeStartDate", "0000-00-00").substr(0, 10);
        const std::string to = param("tradeEndDate", "9999-99-99").substr(0, 10);
        const bool byPrice = params.contains("lotStartPrice") || params.contains("lotFinishPrice");
        const long long low = std::stoll(param("lotStartPrice", "0"));
        const long long high = std::stoll(param("lotFinishPrice", "1000000000000"));
        const auto priced = [&](const BookTrade& t) {
            if (!byPrice)
                return true;
            if (t.unpriced)
                return false;
            if (t.price >= low && t.price <= high)
                return true;
            return std::any_of(t.morePrices.begin(), t.morePrices.end(),
                               [&](long long p) { return p >= low && p <= high; });
        };
        std::vector<const BookTrade*> hits;
        for (const auto& t : trades_) {
            if (t.type == param("tradeType", "") && t.region == param("regionCode", "") &&
                t.date >= from && t.date <= to && priced(t)) {
                hits.push_back(&t);
            }
        }
        const std::size_t offset = std::stoul(param("offset", "0"));
        if (offset >= 1000)
            return {400, ""};
        const std::size_t limit = std::stoul(param("limit", "50"));
        std::string body = "{\"found\":" + std::to_string(hits.size()) + ",\"pageData\":[";
        for (std::size_t k = offset; k < hits.size() && k < offset + limit; ++k) {
            body += (k > offset ? "," : "") + std::string("{\"guid\":") +
                    JsonString(hits[k]->guid) + ",\"tradeType\":" + JsonString(hits[k]->type) + "}";
        }
        return {200, body + "]}"};
    }
    // "/" + guid [+ "/lots?..." | "/additional"]
    const std::string path = rest.substr(
        1, rest.find('?') == std::string::npos ? std::string::npos : rest.find('?') - 1);
    const auto slash = path.find('/');
    const std::string guid = path.substr(0, slash);
    const std::string tail = slash == std::string::npos ? "" : path.substr(slash);
    const auto it = std::find_if(trades_.begin(), trades_.end(),
                                 [&](const BookTrade& t) { return t.guid == guid; });
    if (it == trades_.end())
        return {404, ""};
    const BookTrade& t = *it;
    if (tail.empty()) {
        const std::string published =
            t.datePublish.empty() ? t.date + "T10:15:00+03:00" : t.datePublish;
        return {200, "{\"message\":{\"number\":" + JsonString("N-" + t.guid) + ",\"datePublish\":" +
                         JsonString(published) + "},\"debtor\":{\"name\":\"Должник \\\"" + t.guid +
                         "\\\"\",\"inn\":\"7700\"},\"biddingPeriod\":{\"startDate\":" +
                         JsonString(t.date + "T09:00:00") + "}}"};
    }
    if (tail == "/additional")
        return {200, "{\"courtName\":\"Суд " + t.region + "\"}"};
    if (tail == "/lots") {
        const int offset = std::stoi(param("offset", "0"));
        const int limit = std::stoi(param("limit", "50"));
        std::string body = "{\"total\":" + std::to_string(t.lots) + ",\"pageData\":[";
        for (int k = offset; k < t.lots && k < offset + limit; ++k) {
            body += (k > offset ? "," : "") + std::string("{\"tradeObject\":") +
                    JsonString(LotObject(t.guid, k)) + ",\"startPrice\":\"" +
                    std::to_string(t.price) + ".25\",\"currentPrice\":null,\"classifiers\":[\"c" +
                    std::to_string(k) + "\"]}";
        }
        return {200, body + "]}"};
    }
    return {404, ""};
}

FakeRegister::Script TradeBook::Script() const {
    return [book = *this](const std::string& url) { return book.Answer(url); };
}

fetch::WorkerSettings WorkerSettingsFor(const std::shared_ptr<FakeRegister>& reg,
                                        const std::string& base) {
    const RegisterAddresses addresses(base);
    fetch::WorkerSettings settings;
    settings.referer = addresses.Referer();
    settings.transport = reg->Factory();
    settings.retryPause = std::chrono::milliseconds(1);
    settings.tradeAddresses = [addresses](const std::string& guid) {
        return addresses.Trade(guid);
    };
    return settings;
}

}  // namespace korvalot::crawl::testing_support
