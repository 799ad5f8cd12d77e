#include "crawl/SearchQueries.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include "crawl/CrawlError.h"
#include "util/uLib.h"

namespace korvalot::crawl {

namespace {

using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year_month_day;

// The upper price bound of a day not yet cut by price.
constexpr std::int64_t kHighestPrice = 1000000000000;

// a / b rounded to the nearest whole number, a half going to the even neighbour (b > 0).
template <typename T>
T DivideRoundHalfEven(T a, T b) {
    T q = a / b;
    T r = a % b;
    if (r < 0) {  // floor division for negative numerators
        r += b;
        q -= 1;
    }
    if (2 * r > b || (2 * r == b && q % 2 != 0))
        q += 1;
    return q;
}

std::string DateTail(std::string_view from, std::string_view to) {
    std::string tail = "&tradeStartDate=";
    tail += from;
    tail += "T00%3A00%3A00&tradeEndDate=";
    tail += to;
    tail += "T23%3A59%3A59";
    return tail;
}

}  // namespace

RegionItem ParseRegionItem(std::string_view item) {
    RegionItem region;
    const auto open = item.rfind('(');
    if (open != std::string_view::npos) {
        const auto close = item.find(')', open + 1);
        if (close != std::string_view::npos) {
            region.code = std::string(item.substr(open + 1, close - open - 1));
        }
    }
    const auto nameEnd = item.rfind(" (");
    if (nameEnd != std::string_view::npos)
        region.name = std::string(item.substr(0, nameEnd));
    return region;
}

std::string NormalRegionCode(std::string_view code) {
    const std::size_t first = code.find_first_not_of('0');
    if (first == std::string_view::npos)
        return code.empty() ? std::string() : std::string("0");
    return std::string(code.substr(first));
}

std::string TradeTypeName(std::string_view code) {
    for (std::size_t k = 0; k < kTradeTypeCodes.size(); ++k) {
        if (kTradeTypeCodes[k] == code)
            return std::string(kTradeTypeNames[k]);
    }
    return std::string(code);
}

std::string FormatIsoDate(year_month_day date) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::optional<year_month_day> ParseIsoDate(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    int parts[3] = {0, 0, 0};
    const std::size_t maxDigits[3] = {4, 2, 2};
    const std::size_t minDigits[3] = {4, 1, 1};
    std::size_t pos = 0;
    for (int k = 0; k < 3; ++k) {
        if (k > 0) {
            if (pos >= text.size() || text[pos] != '-')
                return std::nullopt;
            ++pos;
        }
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < maxDigits[k]) {
            parts[k] = parts[k] * 10 + (text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits < minDigits[k])
            return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;
    const year_month_day date{std::chrono::year(parts[0]),
                              std::chrono::month(static_cast<unsigned>(parts[1])),
                              std::chrono::day(static_cast<unsigned>(parts[2]))};
    if (!date.ok() || parts[0] == 0)
        return std::nullopt;
    return date;
}

std::int64_t ReadFoundCount(std::string_view found) {
    constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
    // A total too large for a 64-bit integer reaches us as a floating number such as "1e+30":
    // its exponent counts, or the total would read as 130 and the query be paged, not split.
    if (const auto first = found.find_first_of("0123456789"); first != std::string_view::npos) {
        const std::string_view number = found.substr(first);
        double value = 0;
        const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
        const std::string_view used(number.data(), static_cast<std::size_t>(end - number.data()));
        if (used.find_first_of("eE") != std::string_view::npos) {
            if (ec == std::errc::result_out_of_range)
                return used.find_first_of("-") == std::string_view::npos ? kLargest : 0;
            return value >= 9.2e18 ? kLargest : static_cast<std::int64_t>(value);
        }
    }
    const auto fraction = found.find('.');
    if (fraction != std::string_view::npos)
        found = found.substr(0, fraction);
    std::int64_t n = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    for (const char c : found) {
        if (c < '0' || c > '9')
            continue;
        const int digit = c - '0';
        n = n > (kMax - digit) / 10 ? kMax : n * 10 + digit;
    }
    return n;
}

std::string SearchQuery::Address(std::string_view registerBaseUrl) const {
    std::string address(registerBaseUrl);
    address += FirstPage() ? "/backend/biddings?limit=50&offset=0&tradeType="
                           : "/backend/biddings?limit=50&tradeType=";
    address += tradeType;
    address += "&regionCode=";
    address += regionCode;
    address += DateTail(FormatIsoDate(firstDay), FormatIsoDate(lastDay));
    if (price) {
        address += "&lotStartPrice=" + std::to_string(price->low);
        address += "&lotFinishPrice=" + std::to_string(price->high);
    }
    if (!FirstPage())
        address += "&offset=" + std::to_string(offset);
    return address;
}

FirstQueries BuildFirstQueries(const std::vector<std::string>& regionItems,
                               const std::vector<int>& tradeTypePositions, year_month_day firstDay,
                               year_month_day lastDay) {
    FirstQueries first;
    for (const auto& item : regionItems) {
        const RegionItem region = ParseRegionItem(item);
        for (const int position : tradeTypePositions) {
            if (position < 0 || position >= static_cast<int>(kTradeTypeCodes.size()))
                continue;
            SearchQuery query;
            query.regionCode = region.code;
            query.tradeType = std::string(kTradeTypeCodes[position]);
            query.firstDay = firstDay;
            query.lastDay = lastDay;
            first.queries.push_back(std::move(query));
            first.regions.emplace_back(region.code, region.name);
        }
    }
    return first;
}

SplitDecision DecideSplit(const SearchQuery& query, std::int64_t found) {
    SplitDecision decision;
    if (found < kSplitThreshold)
        return decision;
    SearchQuery part = query;
    part.offset = 0;
    if (query.SingleDay()) {
        const std::int64_t low = query.price ? query.price->low : 0;
        const std::int64_t high = query.price ? query.price->high : kHighestPrice;
        const __int128 width = static_cast<__int128>(high) - low;
        const __int128 step = width <= 0 ? 0 : DivideRoundHalfEven<__int128>(width, 10);
        if (step == 0) {
            decision.kind = SplitDecision::Kind::CannotNarrow;
            return decision;
        }
        decision.kind = SplitDecision::Kind::ByPrice;
        __int128 a = low;
        while (a < high) {
            const __int128 b = a + step < high ? a + step : static_cast<__int128>(high);
            part.price = PriceRange{static_cast<std::int64_t>(a), static_cast<std::int64_t>(b)};
            decision.parts.push_back(part);
            a = b;
        }
        return decision;
    }
    const sys_days first(query.firstDay);
    const sys_days last(query.lastDay);
    if (last < first) {
        decision.kind = SplitDecision::Kind::CannotNarrow;
        return decision;
    }
    decision.kind = SplitDecision::Kind::ByDate;
    const std::int64_t span = (last - first).count();
    const std::int64_t parts = found / kSplitThreshold + 1;
    const std::int64_t step = DivideRoundHalfEven(span, parts);
    sys_days from = first;
    sys_days to = from + days(step);
    while (from <= last) {
        if (to > last)
            to = last;
        part.firstDay = year_month_day(from);
        part.lastDay = year_month_day(to);
        decision.parts.push_back(part);
        from = to + days(1);
        to = from + days(step);
    }
    return decision;
}

std::vector<SearchQuery> FurtherPages(const SearchQuery& query, std::int64_t found) {
    std::vector<SearchQuery> pages;
    SearchQuery page = query;
    for (std::int64_t offset = kPageSize; offset < found; offset += kPageSize) {
        page.offset = offset;
        pages.push_back(page);
    }
    return pages;
}

}  // namespace korvalot::crawl
