#include "crawl/RegisterOutage.h"

#include <algorithm>
#include <cstdio>

namespace korvalot::crawl {

using std::chrono::milliseconds;

OutageStep RegisterOutage::JobEnded(RegisterReply reply, Clock::time_point now) {
    if (state_ == State::Lost)
        return {};
    if (reply == RegisterReply::Answered)
        return Answered(now);
    if (state_ == State::Down)
        return {};
    if (failures_++ == 0)
        since_ = now;
    // Several in a row stop the jobs; a probe of an address the register answered before then
    // tells an outage from a run of trades that fail on their own.
    if (failures_ >= settings_.failuresInRow)
        Doubt(now);
    return {};
}

void RegisterOutage::Doubt(Clock::time_point now) {
    if (state_ != State::Answering)
        return;
    if (failures_ == 0)
        since_ = now;
    state_ = State::Checking;
    nextProbe_ = now;
}

bool RegisterOutage::ProbeDue(Clock::time_point now) const {
    return (state_ == State::Checking || state_ == State::Down) && !probing_ && now >= nextProbe_;
}

void RegisterOutage::ProbeSent() {
    probing_ = true;
}

OutageStep RegisterOutage::ProbeEnded(RegisterReply reply, Clock::time_point now) {
    probing_ = false;
    if (state_ == State::Lost || state_ == State::Answering)
        return {};
    if (reply == RegisterReply::Answered)
        return Answered(now);
    if (state_ == State::Checking)
        return GoDown(now);
    // Checked only when a probe has failed, so that a run paused past the limit asks once more
    // before it gives up.
    if (now - since_ >= settings_.limit) {
        state_ = State::Lost;
        return {OutageEvent::GaveUp, DownFor(now)};
    }
    wait_ = std::min(wait_ * 2, settings_.probeCap);
    nextProbe_ = now + wait_;
    return {};
}

std::chrono::milliseconds RegisterOutage::DownFor(Clock::time_point now) const {
    if (failures_ == 0 && state_ == State::Answering)
        return milliseconds::zero();
    return std::max(std::chrono::duration_cast<milliseconds>(now - since_), milliseconds::zero());
}

std::chrono::milliseconds RegisterOutage::NextProbeIn(Clock::time_point now) const {
    if (probing_ || now >= nextProbe_)
        return milliseconds::zero();
    return std::chrono::duration_cast<milliseconds>(nextProbe_ - now);
}

OutageStep RegisterOutage::Answered(Clock::time_point now) {
    const State was = state_;
    const bool doubted = failures_ > 0;
    const milliseconds down = DownFor(now);
    state_ = State::Answering;
    failures_ = 0;
    // A probe still under way when a job brings the register back ends unheeded.
    if (was == State::Down)
        return {OutageEvent::CameBack, down};
    return {doubted || was == State::Checking ? OutageEvent::Settle : OutageEvent::None,
            milliseconds::zero()};
}

OutageStep RegisterOutage::GoDown(Clock::time_point now) {
    state_ = State::Down;
    wait_ = std::min(settings_.firstProbe, settings_.probeCap);
    nextProbe_ = now + wait_;
    return {OutageEvent::WentDown, milliseconds::zero()};
}

std::string DurationText(std::chrono::milliseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
    const auto h = seconds / 3600;
    const auto m = seconds / 60 % 60;
    const auto s = seconds % 60;
    char text[64];
    if (h > 0) {
        std::snprintf(text, sizeof text, "%lld ч %02lld мин %02lld с", static_cast<long long>(h),
                      static_cast<long long>(m), static_cast<long long>(s));
    } else if (m > 0) {
        std::snprintf(text, sizeof text, "%lld мин %02lld с", static_cast<long long>(m),
                      static_cast<long long>(s));
    } else {
        std::snprintf(text, sizeof text, "%lld с", static_cast<long long>(s));
    }
    return text;
}

}  // namespace korvalot::crawl
