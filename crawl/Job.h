#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "crawl/SearchQueries.h"
#include "fetch/FetchJob.h"

namespace korvalot::crawl {

// One job of a phase: a search query, or a trade by its guid. The worker is handed what to
// fetch; the query travels beside it, so that nobody reads it back out of its address.
struct Job {
    fetch::FetchJob work;
    std::optional<SearchQuery> query;  // a search's own query

    static Job Search(SearchQuery query, std::string_view registerBaseUrl) {
        Job job;
        job.work = {fetch::FetchJob::Kind::Search, query.Address(registerBaseUrl)};
        job.query = std::move(query);
        return job;
    }
    static Job Trade(std::string guid) {
        Job job;
        job.work = {fetch::FetchJob::Kind::Trade, std::move(guid)};
        return job;
    }
    // The job as its log lines name it: the search's address, the trade's guid.
    const std::string& Text() const { return work.text; }
};

}  // namespace korvalot::crawl
