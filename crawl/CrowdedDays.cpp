#include "crawl/CrowdedDays.h"

namespace korvalot::crawl {

void CrowdedDays::Cut(const SearchQuery& query, std::int64_t reported) {
    if (!query.SingleDay())
        return;
    Key key{query.regionCode, query.tradeType, query.firstDay};
    if (byKey_.contains(key))
        return;
    byKey_.emplace(key, days_.size());
    Day day;
    day.key = std::move(key);
    day.reported = reported;
    days_.push_back(std::move(day));
}

CrowdedDays::Day* CrowdedDays::Find(const SearchQuery& query) {
    if (days_.empty() || !query.SingleDay())
        return nullptr;
    const auto it = byKey_.find(Key{query.regionCode, query.tradeType, query.firstDay});
    return it == byKey_.end() ? nullptr : &days_[it->second];
}

void CrowdedDays::Reached(const SearchQuery& query, const std::vector<std::string>& guids) {
    if (Day* day = Find(query)) {
        for (const auto& guid : guids)
            day->reached.insert(guid);
    }
}

void CrowdedDays::Lost(const SearchQuery& query) {
    if (Day* day = Find(query))
        ++day->lostJobs;
}

std::vector<CrowdedDays::Shortfall> CrowdedDays::Shortfalls() const {
    std::vector<Shortfall> out;
    for (const Day& day : days_) {
        const auto reached = static_cast<std::int64_t>(day.reached.size());
        if (reached >= day.reported)
            continue;
        Shortfall s;
        s.regionCode = day.key.regionCode;
        s.tradeType = day.key.tradeType;
        s.day = FormatIsoDate(day.key.day);
        s.reported = day.reported;
        s.reached = reached;
        s.lostJobs = day.lostJobs;
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace korvalot::crawl
