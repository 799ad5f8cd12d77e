#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/Collections.h"
#include "crawl/SearchQueries.h"

// Single days for which the register reports more trades than one query may page through.
// Such a day is cut by lot price, but a trade whose lots have no start price matches no price
// range, and the day's own pages reach only its first thousand trades. So the run keeps, for
// every day it had to cut, the total the register reported and the distinct trades it reached
// through the day's pages and all its price parts, and tells where the two differ.
namespace korvalot::crawl {

class CrowdedDays {
public:
    // A single-day query reporting `reported` trades was cut by price. The first cut of a day
    // counts; the cuts of its price parts belong to it. A query over several days is never cut
    // by price and is not a day: it is ignored.
    void Cut(const SearchQuery& query, std::int64_t reported);
    // The guids on one page of a query; counted when the query's day was cut. Every page and
    // price part of a day belongs to it; a query over several days belongs to no day.
    void Reached(const SearchQuery& query, const std::vector<std::string>& guids);
    // A query of a cut day was given up: some of the day's trades may sit on its pages.
    void Lost(const SearchQuery& query);

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
    struct Key {
        std::string regionCode;
        std::string tradeType;
        std::chrono::year_month_day day;
        auto operator<=>(const Key&) const = default;
    };
    struct Day {
        Key key;
        std::int64_t reported = 0;
        std::int64_t lostJobs = 0;
        CaseInsensitiveSet reached;
    };
    Day* Find(const SearchQuery& query);

    std::vector<Day> days_;
    std::map<Key, std::size_t> byKey_;
};

}  // namespace korvalot::crawl
