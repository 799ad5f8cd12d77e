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

// A region code as the register compares it: leading zeros do not count, so "01" and "1" name
// one region ("00" is "0", an empty code stays empty).
std::string NormalRegionCode(std::string_view code);

// "yyyy-mm-dd", the only date form that travels inside a run.
std::string FormatIsoDate(std::chrono::year_month_day date);
// A four-digit year, "-", a month, "-", a day (one or two digits each), blanks around allowed;
// nothing when it is not a calendar date.
std::optional<std::chrono::year_month_day> ParseIsoDate(std::string_view text);

// The register's "found": its digits before any fraction; no digits read as 0.
std::int64_t ReadFoundCount(std::string_view found);

// The bounds of a lot start price range, as the register's query carries them; both ends belong
// to the range.
struct PriceRange {
    std::int64_t low = 0;
    std::int64_t high = 0;
    auto operator<=>(const PriceRange&) const = default;
};

// One search query of a run: one page of one region's trades of one type over whole days, and,
// once a single day proved too crowded, within a lot price range.
struct SearchQuery {
    std::string regionCode;
    std::string tradeType;  // the code, e.g. "OpenAuction"
    std::chrono::year_month_day firstDay;
    std::chrono::year_month_day lastDay;
    std::optional<PriceRange> price;
    std::int64_t offset = 0;  // of the page: 0, 50, 100...

    bool FirstPage() const { return offset == 0; }
    bool SingleDay() const { return firstDay == lastDay; }
    // The one place a search address is made. A first page names its offset right after the
    // page size; a later page names it last; price bounds follow the dates.
    std::string Address(std::string_view registerBaseUrl) const;

    auto operator<=>(const SearchQuery&) const = default;
};

struct FirstQueries {
    std::vector<SearchQuery> queries;                          // regions outermost
    std::vector<std::pair<std::string, std::string>> regions;  // code, name; one per query
};

// The first pages of the selection over firstDay..lastDay. Positions outside the six trade
// types are ignored.
FirstQueries BuildFirstQueries(const std::vector<std::string>& regionItems,
                               const std::vector<int>& tradeTypePositions,
                               std::chrono::year_month_day firstDay,
                               std::chrono::year_month_day lastDay);

// What a first page reporting `found` trades asks of the run.
struct SplitDecision {
    enum class Kind {
        Page,          // fewer than kSplitThreshold: page through it
        ByDate,        // several days: replaced by the date ranges in `parts`
        ByPrice,       // a single day: replaced by the price ranges in `parts`
        CannotNarrow,  // a single day whose price range cannot be cut further, or reversed
                       // dates: page through what the register lets us, knowing it is not all
    };
    Kind kind = Kind::Page;
    // The narrower first pages in the order they are built; each is put at the head of the
    // queue in turn, so the last built goes first. Date parts meet without gap or overlap;
    // neighbouring price parts share their bound, so a price between two whole numbers is
    // asked too.
    std::vector<SearchQuery> parts;
};

// A whole day without a price range, when cut by price, keeps its own pages as well: its first
// thousand are collected besides the parts, since a trade whose lots have no start price matches
// no price range and is found on the day's own pages or nowhere. A price part cut again does not:
// its parts hold all it could add.
inline bool KeepsOwnPages(const SearchQuery& query) {
    return query.SingleDay() && !query.price;
}

// Reversed dates cover no day, and a reported total there cannot be narrowed by date either:
// CannotNarrow, so that the answer is paged rather than dropped.
SplitDecision DecideSplit(const SearchQuery& query, std::int64_t found);

// The pages after the first of a query reporting `found` trades: offsets 50, 100... below
// `found`. The caller caps `found` at what the register pages through.
std::vector<SearchQuery> FurtherPages(const SearchQuery& query, std::int64_t found);

}  // namespace korvalot::crawl
