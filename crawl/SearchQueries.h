#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Search addresses: the first queries of a run, the narrower queries that replace a query the
// register will not page through, and the further pages of a query.
namespace korvalot::crawl {

// By the position of the trade type in the window's list.
inline constexpr std::array<std::string_view, 6> kTradeTypeCodes = {
    "OpenAuction",  "OpenConcours",  "PublicOffer",
    "CloseAuction", "CloseConcours", "ClosePublicOffer"};
// The texts of the same list.
inline constexpr std::array<std::string_view, 6> kTradeTypeNames = {
    "Открытый аукцион", "Открытый конкурс", "Публичное предложение",
    "Закрытый аукцион", "Закрытый конкурс", "Закрытое публичное предложение"};

// The text of a trade type in the window's list ("Открытый аукцион" for "OpenAuction"); an
// unknown code stays as it is.
std::string TradeTypeName(std::string_view code);

// A register answer reporting this many trades or more is not paged but split.
inline constexpr std::int64_t kSplitThreshold = 1000;
inline constexpr std::int64_t kPageSize = 50;

struct RegionItem {
    std::string code;
    std::string name;
};

// "Республика Саха (Якутия) (14)": the code is inside the last parentheses, the name is what
// stands before the last " (", so names holding parentheses keep them.
RegionItem ParseRegionItem(std::string_view item);

// "yyyy-mm-dd", the only date form that travels inside a run.
std::string FormatIsoDate(std::chrono::year_month_day date);
// A four-digit year, "-", a month, "-", a day (one or two digits each), blanks around allowed;
// nothing when it is not a calendar date.
std::optional<std::chrono::year_month_day> ParseIsoDate(std::string_view text);

std::string SearchAddress(std::string_view registerBaseUrl, std::string_view tradeTypeCode,
                          std::string_view regionCode, std::string_view startDate,
                          std::string_view endDate);

struct FirstQueries {
    std::vector<std::string> jobs;                             // regions outermost
    std::vector<std::pair<std::string, std::string>> regions;  // code, name; one per job
};

// Positions outside the six trade types are ignored.
FirstQueries BuildFirstQueries(std::string_view registerBaseUrl,
                               const std::vector<std::string>& regionItems,
                               const std::vector<int>& tradeTypePositions,
                               std::string_view startDate, std::string_view endDate);

// The job is a first page ("offset=0&"); later pages end with their offset.
bool IsFirstPage(std::string_view job);

// The query covers one day: its start and end dates are the same.
bool IsSingleDay(std::string_view job);

// The register's "found": its digits before any fraction; no digits read as 0.
std::int64_t ReadFoundCount(std::string_view found);

// The narrower queries that replace a query reporting `found` (>= 1000) trades, in the order
// they are built; each is put at the head of the queue in turn, so the last built goes first.
// A query over several days is cut into date ranges, a single day into price ranges whose
// bounds are shared by neighbours. Nothing when the price range can no longer be narrowed.
// Raises CrawlError when the query's dates cannot be read.
std::optional<std::vector<std::string>> SplitQuery(std::string_view job, std::int64_t found);

// The addresses of the pages after the first of a query reporting `found` trades.
std::vector<std::string> FurtherPages(std::string_view job, std::int64_t found);

}  // namespace korvalot::crawl
