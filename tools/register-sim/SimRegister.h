#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/register-sim/SimData.h"
#include "tools/register-sim/SimFaults.h"

// The register's answers, apart from the network: one request in, one answer out.
namespace korvalot::tools {

using SimHeaders = std::vector<std::pair<std::string, std::string>>;

inline constexpr std::string_view kExpectedUserAgent =
    "Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:109.0) Gecko/20100101 Firefox/115.0";

struct SimRequest {
    std::string method = "GET";
    std::string target;  // path and query as sent
    SimHeaders headers;  // in the order received
    bool clientCertificate = false;
};

struct SimAnswer {
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    SimHeaders headers;
    std::string body;
    FaultKind fault = FaultKind::None;  // the wire-level ones are the server's to act out
    bool control = false;               // a /sim/ answer: no latency, no log line
};

struct SimRegisterOptions {
    SimFaultOptions faults;
    bool strictHeaders = false;
    bool requireClientCert = false;
};

class SimRegister {
public:
    SimRegister(std::shared_ptr<const SimData> data, SimRegisterOptions options);

    // The register's address "https://host:port"; the Referer that strict headers expect
    // is this plus "/biddings".
    void SetBaseUrl(std::string baseUrl) { baseUrl_ = std::move(baseUrl); }
    const std::string& BaseUrl() const { return baseUrl_; }

    // Safe to call from several threads at once.
    SimAnswer Handle(const SimRequest& request);

    void NoteConnection(bool clientCertificate);
    void NoteHandshakeFailure();

    std::string StatsJson() const;
    // With outcomes, each trade also lists its lots' outcomes ("lotOutcomes": currentPrice as
    // the lots answer writes it, winnerName and winnerInn or null).
    std::string TruthJson(const SimFilter& filter, bool outcomes = false) const;
    std::string RegionsJson() const;
    const SimData& Data() const { return *data_; }
    const SimRegisterOptions& Options() const { return options_; }

private:
    SimAnswer Search(std::string_view query);
    SimAnswer Card(std::string_view rest, std::string_view query) const;
    SimAnswer Control(std::string_view path, std::string_view query) const;
    void Count(const SimAnswer& answer);

    std::shared_ptr<const SimData> data_;
    SimRegisterOptions options_;
    SimFaultPlan plan_;
    SimAttemptBook book_;
    std::string baseUrl_;
    std::string regionsJson_;

    std::atomic<std::uint64_t> requests_{0};
    std::atomic<std::uint64_t> controlRequests_{0};
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<std::uint64_t> certificateConnections_{0};
    std::atomic<std::uint64_t> handshakeFailures_{0};
    std::atomic<std::uint64_t> pagingCapErrors_{0};
    std::atomic<std::uint64_t> forbidden_{0};
    std::array<std::atomic<std::uint64_t>, 6>
        endpoints_{};  // regions, search, card, lots, additional, other
    std::array<std::atomic<std::uint64_t>, 9> faults_{};  // by FaultKind, Malformed included
    static constexpr std::array<int, 8> kStatuses = {200, 400, 403, 404, 405, 500, 503, 0};
    std::array<std::atomic<std::uint64_t>, 8> statuses_{};
};

// The query's parameters, percent-decoded; of a key given twice the last value counts.
std::map<std::string, std::string, std::less<>> ParseQuery(std::string_view query);

// The non-empty items of a comma-separated list, in order.
std::vector<std::string> SplitCommaList(std::string_view text);

// A price bound "100000" or "100000.5" in kopecks.
std::optional<std::int64_t> ParseKopecks(std::string_view text);

// The selection of a search address, or the text of what is wrong with it.
struct SearchQuery {
    SimFilter filter;
    std::size_t offset = 0;
    std::size_t limit = 50;
    std::string error;
};
SearchQuery ParseSearchQuery(std::string_view query);

// The selection of a /sim/truth request: regions=77,50&types=OpenAuction&from=d&to=d (and
// outcomes=1 for the lots' outcomes).
std::optional<SimFilter> ParseTruthQuery(std::string_view query, std::string& error);

}  // namespace korvalot::tools
