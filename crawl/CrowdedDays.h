#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "crawl/Collections.h"

// Single days for which the register reports more trades than one query may page through.
// Such a day is cut by lot price, but a trade whose lots have no start price matches no price
// range, and the day's own pages reach only its first thousand trades. So the run keeps, for
// every day it had to cut, the total the register reported and the distinct trades it reached
// through the day's pages and all its price parts, and tells where the two differ.
namespace korvalot::crawl {

class CrowdedDays {
public:
    // The query a search job belongs to, without its page and price range: the same text for a
    // day's first page, its further pages, its price parts and theirs.
    static std::string DayKey(std::string_view job);

    // A single-day query reporting `reported` trades was cut by price. The first cut of a day
    // counts; the cuts of its price parts belong to it.
    void Cut(std::string_view job, std::int64_t reported);
    // The guids on one page of a job; counted when the job's day was cut.
    void Reached(std::string_view job, const std::vector<std::string>& guids);
    // A job of a cut day was given up: some of the day's trades may sit on its pages.
    void Lost(std::string_view job);

    struct Shortfall {
        std::string regionCode;
        std::string tradeType;  // the code, e.g. "OpenAuction"
        std::string day;        // yyyy-mm-dd
        std::int64_t reported = 0;
        std::int64_t reached = 0;
        std::int64_t lostJobs = 0;
        std::int64_t Missing() const { return reported - reached; }
    };
    // The cut days that reached fewer trades than they reported, in the order they were cut.
    std::vector<Shortfall> Shortfalls() const;

private:
    struct Day {
        std::string key;
        std::int64_t reported = 0;
        std::int64_t lostJobs = 0;
        CaseInsensitiveSet reached;
    };
    std::vector<Day> days_;
    std::unordered_map<std::string, std::size_t> byKey_;
};

}  // namespace korvalot::crawl
