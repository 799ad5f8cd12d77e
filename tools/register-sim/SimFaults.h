#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvalot::tools {

enum class FaultKind : std::uint8_t {
    None,
    Unavailable,  // 503 with Retry-After
    ServerError,  // 500
    Empty,        // 200 without a body
    Html,         // 200 with an HTML page
    Truncated,    // the body cut short of its Content-Length, then the connection closed
    Reset,        // the connection reset instead of an answer
    Stall,        // silence for a while, then the connection closed
    Malformed,    // 200 with a JSON object whose "pageData" is not an array; asked for by name
                  // only, as it is a broken register rather than a passing fault
};

inline constexpr FaultKind kAllFaultKinds[] = {
    FaultKind::Unavailable, FaultKind::ServerError, FaultKind::Empty, FaultKind::Html,
    FaultKind::Truncated,   FaultKind::Reset,       FaultKind::Stall};

// "503", "500", "empty", "html", "truncated", "reset", "stall", "malformed"; "none".
std::string_view FaultKindName(FaultKind kind);
std::optional<FaultKind> ParseFaultKind(std::string_view name);

struct SimFaultOptions {
    std::uint64_t seed = 1;
    double rate = 0.0;  // share of attempts that fail
    std::vector<FaultKind> kinds{std::begin(kAllFaultKinds), std::end(kAllFaultKinds)};
    std::uint32_t failFirst = 0;  // every address fails this many times before anything else
};

// Which attempt at which address fails, and how. The decision depends only on the seed, the
// address and the attempt's number at that address, never on timing or on other addresses, so
// a run with several clients meets the same faults however its requests interleave.
class SimFaultPlan {
public:
    explicit SimFaultPlan(SimFaultOptions options);

    FaultKind Decide(std::string_view address, std::uint32_t attempt) const;
    const SimFaultOptions& Options() const { return options_; }

private:
    SimFaultOptions options_;
    std::uint64_t threshold_ = 0;
};

// Counts the attempts at each address and the runs of failures.
class SimAttemptBook {
public:
    // The number of earlier attempts at this address.
    std::uint32_t Begin(std::string_view address);
    void End(std::string_view address, bool failed);
    // Distinct addresses that failed ten or more times in a row at some point.
    std::uint64_t FailedTenTimes() const;
    // Runs of ten failures in a row, over all addresses: twenty in a row count as two. A client
    // that gives up a job after ten failed attempts and asks it again later meets one per try
    // that failed.
    std::uint64_t RunsOfTen() const;
    std::uint64_t Addresses() const;

private:
    struct Entry {
        std::uint32_t attempts = 0;
        std::uint32_t streak = 0;
        bool reachedTen = false;
    };
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::uint64_t failedTenTimes_ = 0;
    std::uint64_t runsOfTen_ = 0;
};

}  // namespace korvalot::tools
