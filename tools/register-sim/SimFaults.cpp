#include "tools/register-sim/SimFaults.h"

#include <cmath>

#include "tools/register-sim/SimRandom.h"

namespace korvalot::tools {

std::string_view FaultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::None:
            return "none";
        case FaultKind::Unavailable:
            return "503";
        case FaultKind::ServerError:
            return "500";
        case FaultKind::Empty:
            return "empty";
        case FaultKind::Html:
            return "html";
        case FaultKind::Truncated:
            return "truncated";
        case FaultKind::Reset:
            return "reset";
        case FaultKind::Stall:
            return "stall";
        case FaultKind::Malformed:
            return "malformed";
    }
    return "none";
}

std::optional<FaultKind> ParseFaultKind(std::string_view name) {
    for (FaultKind kind : kAllFaultKinds) {
        if (FaultKindName(kind) == name) {
            return kind;
        }
    }
    if (name == FaultKindName(FaultKind::Malformed)) {
        return FaultKind::Malformed;
    }
    return std::nullopt;
}

SimFaultPlan::SimFaultPlan(SimFaultOptions options) : options_(std::move(options)) {
    if (options_.rate >= 1.0) {
        threshold_ = UINT64_MAX;
    } else if (options_.rate > 0.0) {
        threshold_ = static_cast<std::uint64_t>(std::ldexp(options_.rate, 64));
    }
}

FaultKind SimFaultPlan::Decide(std::string_view address, std::uint32_t attempt) const {
    if (options_.kinds.empty()) {
        return FaultKind::None;
    }
    const std::uint64_t h = Mix(Mix(options_.seed, HashText(address)), attempt);
    const bool fails =
        attempt < options_.failFirst || (threshold_ != 0 && SplitMix64(h) < threshold_);
    if (!fails) {
        return FaultKind::None;
    }
    return options_.kinds[SplitMix64(h ^ 0x5bd1e995ULL) % options_.kinds.size()];
}

std::uint32_t SimAttemptBook::Begin(std::string_view address) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(std::string(address));
    if (it == entries_.end()) {
        it = entries_.emplace(std::string(address), Entry{}).first;
    }
    return it->second.attempts++;
}

void SimAttemptBook::End(std::string_view address, bool failed) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(std::string(address));
    if (it == entries_.end()) {
        return;
    }
    Entry& entry = it->second;
    if (!failed) {
        entry.streak = 0;
        return;
    }
    if (++entry.streak % 10 == 0)
        ++runsOfTen_;
    if (entry.streak >= 10 && !entry.reachedTen) {
        entry.reachedTen = true;
        ++failedTenTimes_;
    }
}

std::uint64_t SimAttemptBook::RunsOfTen() const {
    std::lock_guard lock(mutex_);
    return runsOfTen_;
}

std::uint64_t SimAttemptBook::FailedTenTimes() const {
    std::lock_guard lock(mutex_);
    return failedTenTimes_;
}

std::uint64_t SimAttemptBook::Addresses() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace korvalot::tools
