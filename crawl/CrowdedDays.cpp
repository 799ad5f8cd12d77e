#include "crawl/CrowdedDays.h"

#include "crawl/SearchQueries.h"
#include "util/uLib.h"

namespace korvalot::crawl {

std::string CrowdedDays::DayKey(std::string_view job) {
    return util::RemoveUrlParam(
        util::RemoveUrlParam(util::RemoveUrlParam(job, "offset"), "lotStartPrice"),
        "lotFinishPrice");
}

void CrowdedDays::Cut(std::string_view job, std::int64_t reported) {
    std::string key = DayKey(job);
    if (byKey_.contains(key))
        return;
    byKey_.emplace(key, days_.size());
    Day day;
    day.key = std::move(key);
    day.reported = reported;
    days_.push_back(std::move(day));
}

void CrowdedDays::Reached(std::string_view job, const std::vector<std::string>& guids) {
    if (days_.empty())
        return;
    const auto it = byKey_.find(DayKey(job));
    if (it == byKey_.end())
        return;
    Day& day = days_[it->second];
    for (const auto& guid : guids)
        day.reached.insert(guid);
}

void CrowdedDays::Lost(std::string_view job) {
    if (days_.empty())
        return;
    const auto it = byKey_.find(DayKey(job));
    if (it != byKey_.end())
        ++days_[it->second].lostJobs;
}

std::vector<CrowdedDays::Shortfall> CrowdedDays::Shortfalls() const {
    std::vector<Shortfall> out;
    for (const Day& day : days_) {
        const auto reached = static_cast<std::int64_t>(day.reached.size());
        if (reached >= day.reported)
            continue;
        Shortfall s;
        s.regionCode = util::ExtractBetween(day.key, "regionCode=", {}, "&");
        s.tradeType = util::ExtractBetween(day.key, "tradeType=", {}, "&");
        s.day = util::ExtractBetween(day.key, "tradeStartDate=", {}, "T");
        s.reported = day.reported;
        s.reached = reached;
        s.lostJobs = day.lostJobs;
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace korvalot::crawl
