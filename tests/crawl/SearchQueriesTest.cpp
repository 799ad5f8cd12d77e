#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "crawl/SearchQueries.h"

namespace korvalot::crawl {
namespace {

using Kind = SplitDecision::Kind;

const std::string kBase = "https://reg.test";
constexpr std::int64_t kTop = 1000000000000;

std::chrono::year_month_day Day(const char* iso) {
    return *ParseIsoDate(iso);
}

SearchQuery Query(const char* type, const char* region, const char* from, const char* to,
                  std::optional<PriceRange> price = std::nullopt, std::int64_t offset = 0) {
    return SearchQuery{region, type, Day(from), Day(to), price, offset};
}

struct RegionCase {
    std::string item, code, name;
};

void PrintTo(const RegionCase& c, std::ostream* os) {
    *os << c.item;
}

class RegionItemTest : public testing::TestWithParam<RegionCase> {};

TEST_P(RegionItemTest, CodeIsInsideTheLastParenthesesAndNameBeforeTheLastOpening) {
    const RegionItem region = ParseRegionItem(GetParam().item);
    EXPECT_EQ(region.code, GetParam().code);
    EXPECT_EQ(region.name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Items, RegionItemTest,
                         testing::Values(RegionCase{"Москва (77)", "77", "Москва"},
                                         RegionCase{"Республика Саха (Якутия) (14)", "14",
                                                    "Республика Саха (Якутия)"},
                                         RegionCase{"Кемеровская область - Кузбасс (42)", "42",
                                                    "Кемеровская область - Кузбасс"},
                                         RegionCase{"Без кода", "", ""}));

TEST(FirstQueries, RegionsOutermostThenTradeTypesInListOrder) {
    const FirstQueries q = BuildFirstQueries({"Москва (77)", "Республика Саха (Якутия) (14)"},
                                             {0, 2}, Day("2010-01-01"), Day("2026-01-31"));
    const std::vector<SearchQuery> expected = {
        Query("OpenAuction", "77", "2010-01-01", "2026-01-31"),
        Query("PublicOffer", "77", "2010-01-01", "2026-01-31"),
        Query("OpenAuction", "14", "2010-01-01", "2026-01-31"),
        Query("PublicOffer", "14", "2010-01-01", "2026-01-31")};
    EXPECT_EQ(q.queries, expected);
    ASSERT_EQ(q.regions.size(), 4u);
    EXPECT_EQ(q.regions[2].first, "14");
    EXPECT_EQ(q.regions[2].second, "Республика Саха (Якутия)");
}

TEST(FirstQueries, EveryTradeTypePositionHasItsCodeAndOthersAreIgnored) {
    const FirstQueries q = BuildFirstQueries({"Москва (77)"}, {5, 4, -1, 3, 6, 1},
                                             Day("2020-01-01"), Day("2020-01-02"));
    std::vector<std::string> types;
    for (const auto& query : q.queries) {
        types.push_back(query.tradeType);
        EXPECT_TRUE(query.FirstPage());
        EXPECT_FALSE(query.price.has_value());
    }
    EXPECT_EQ(types, (std::vector<std::string>{"ClosePublicOffer", "CloseConcours", "CloseAuction",
                                               "OpenConcours"}));
    EXPECT_EQ(q.regions.size(), q.queries.size());
}

// The addresses the run has always sent, written out in full: a value must make the same bytes.
struct AddressCase {
    const char* name;
    SearchQuery query;
    std::string address;
};

class AddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(AddressTest, IsTheAddressTheRegisterIsAsked) {
    EXPECT_EQ(GetParam().query.Address(kBase), GetParam().address);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AddressTest,
    testing::Values(
        AddressCase{"FirstQuery", Query("OpenAuction", "77", "2023-01-01", "2023-01-31"),
                    "https://reg.test/backend/biddings?limit=50&offset=0&tradeType=OpenAuction&"
                    "regionCode=77&tradeStartDate=2023-01-01T00%3A00%3A00&tradeEndDate=2023-01-"
                    "31T23%3A59%3A59"},
        AddressCase{"DatePart", Query("OpenAuction", "77", "2023-01-17", "2023-01-31"),
                    "https://reg.test/backend/biddings?limit=50&offset=0&tradeType=OpenAuction&"
                    "regionCode=77&tradeStartDate=2023-01-17T00%3A00%3A00&tradeEndDate=2023-01-"
                    "31T23%3A59%3A59"},
        AddressCase{"PageOfADatePart",
                    Query("OpenAuction", "77", "2023-01-01", "2023-01-16", std::nullopt, 100),
                    "https://reg.test/backend/biddings?limit=50&tradeType=OpenAuction&"
                    "regionCode=77&tradeStartDate=2023-01-01T00%3A00%3A00&tradeEndDate=2023-01-"
                    "16T23%3A59%3A59&offset=100"},
        AddressCase{"PageOfAWholeDay",
                    Query("PublicOffer", "05", "2023-05-10", "2023-05-10", std::nullopt, 50),
                    "https://reg.test/backend/biddings?limit=50&tradeType=PublicOffer&"
                    "regionCode=05&tradeStartDate=2023-05-10T00%3A00%3A00&tradeEndDate=2023-05-"
                    "10T23%3A59%3A59&offset=50"},
        AddressCase{
            "PricePart",
            Query("PublicOffer", "05", "2023-05-10", "2023-05-10", PriceRange{900000000000, kTop}),
            "https://reg.test/backend/biddings?limit=50&offset=0&tradeType=PublicOffer&"
            "regionCode=05&tradeStartDate=2023-05-10T00%3A00%3A00&tradeEndDate=2023-05-"
            "10T23%3A59%3A59&lotStartPrice=900000000000&lotFinishPrice=1000000000000"},
        AddressCase{"PricePartCutAgain",
                    Query("PublicOffer", "05", "2023-05-10", "2023-05-10",
                          PriceRange{10000000000, 20000000000}),
                    "https://reg.test/backend/biddings?limit=50&offset=0&tradeType=PublicOffer&"
                    "regionCode=05&tradeStartDate=2023-05-10T00%3A00%3A00&tradeEndDate=2023-05-"
                    "10T23%3A59%3A59&lotStartPrice=10000000000&lotFinishPrice=20000000000"},
        AddressCase{"PageOfAPricePart",
                    Query("PublicOffer", "05", "2023-05-10", "2023-05-10",
                          PriceRange{900000000000, kTop}, 50),
                    "https://reg.test/backend/biddings?limit=50&tradeType=PublicOffer&"
                    "regionCode=05&tradeStartDate=2023-05-10T00%3A00%3A00&tradeEndDate=2023-05-"
                    "10T23%3A59%3A59&lotStartPrice=900000000000&lotFinishPrice=1000000000000&"
                    "offset=50"}),
    [](const testing::TestParamInfo<AddressCase>& info) { return std::string(info.param.name); });

// Date parts of an OpenAuction query of region 77, in the order they are built.
std::vector<SearchQuery> DateParts(std::vector<std::pair<const char*, const char*>> ranges) {
    std::vector<SearchQuery> out;
    for (const auto& [from, to] : ranges)
        out.push_back(Query("OpenAuction", "77", from, to));
    return out;
}

// Price parts of the PublicOffer day 2023-05-10 of region 50: `count` steps from `low`, the
// last cut at `top` when given.
std::vector<SearchQuery> PriceParts(std::int64_t low, std::int64_t step, int count,
                                    std::int64_t top = std::numeric_limits<std::int64_t>::max()) {
    std::vector<SearchQuery> out;
    for (int k = 0; k < count; ++k) {
        const std::int64_t high = std::min(low + (k + 1) * step, top);
        out.push_back(Query("PublicOffer", "50", "2023-05-10", "2023-05-10",
                            PriceRange{low + k * step, high}));
    }
    return out;
}

SearchQuery PricedDay(std::optional<PriceRange> price, std::int64_t offset = 0) {
    return Query("PublicOffer", "50", "2023-05-10", "2023-05-10", price, offset);
}

struct SplitCase {
    const char* name;
    SearchQuery query;
    std::int64_t found;
    Kind kind;
    std::vector<SearchQuery> parts;  // in the order built; the last goes to the queue first
};

class DecideSplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(DecideSplitTest, KindAndPartsInTheOrderBuilt) {
    const SplitCase& c = GetParam();
    const SplitDecision decision = DecideSplit(c.query, c.found);
    EXPECT_EQ(decision.kind, c.kind);
    EXPECT_EQ(decision.parts, c.parts);
}

const SearchQuery kMonth = Query("OpenAuction", "77", "2023-01-01", "2023-01-31");

INSTANTIATE_TEST_SUITE_P(
    Cases, DecideSplitTest,
    testing::Values(
        SplitCase{"BelowTheThresholdIsPaged", kMonth, 999, Kind::Page, {}},
        SplitCase{"NothingFoundIsPaged", PricedDay(std::nullopt), 0, Kind::Page, {}},
        // 30 days / 2 parts: the first 16 days, then the last 15.
        SplitCase{"ExactlyTheThresholdIsCut", kMonth, 1000, Kind::ByDate,
                  DateParts({{"2023-01-01", "2023-01-16"}, {"2023-01-17", "2023-01-31"}})},
        SplitCase{"AMonthInTwo", kMonth, 1500, Kind::ByDate,
                  DateParts({{"2023-01-01", "2023-01-16"}, {"2023-01-17", "2023-01-31"}})},
        // 10 days / 4 parts = 2.5, a half going to the even neighbour: step 2, the last part
        // cut at the end date.
        SplitCase{"ASpanNotDivisible", Query("OpenAuction", "77", "2024-01-01", "2024-01-11"), 3000,
                  Kind::ByDate,
                  DateParts({{"2024-01-01", "2024-01-03"},
                             {"2024-01-04", "2024-01-06"},
                             {"2024-01-07", "2024-01-09"},
                             {"2024-01-10", "2024-01-11"}})},
        // A step rounding to 0 gives one part per day, across a month's end.
        SplitCase{"AStepOfZeroGivesDays", Query("OpenAuction", "77", "2023-02-27", "2023-03-01"),
                  5000, Kind::ByDate,
                  DateParts({{"2023-02-27", "2023-02-27"},
                             {"2023-02-28", "2023-02-28"},
                             {"2023-03-01", "2023-03-01"}})},
        // The largest total there is still yields one part per day, no overflow.
        SplitCase{"TheLargestTotal", Query("OpenAuction", "77", "2023-02-27", "2023-03-01"),
                  std::numeric_limits<std::int64_t>::max(), Kind::ByDate,
                  DateParts({{"2023-02-27", "2023-02-27"},
                             {"2023-02-28", "2023-02-28"},
                             {"2023-03-01", "2023-03-01"}})},
        // Reversed dates cover no day: nothing to cut them into, so the answer is paged
        // rather than dropped.
        SplitCase{"ReversedDatesCannotBeNarrowed",
                  Query("OpenAuction", "77", "2023-01-31", "2023-01-01"),
                  2000,
                  Kind::CannotNarrow,
                  {}},
        // A page of a query never splits by itself, but its parts are first pages.
        SplitCase{"PartsAreFirstPages",
                  Query("OpenAuction", "77", "2023-02-27", "2023-02-28", std::nullopt, 950), 1000,
                  Kind::ByDate,
                  DateParts({{"2023-02-27", "2023-02-27"}, {"2023-02-28", "2023-02-28"}})},
        // A whole day: 0 to 10^12 in ten parts of 10^11.
        SplitCase{"AWholeDayByPrice", PricedDay(std::nullopt), 1000, Kind::ByPrice,
                  PriceParts(0, 100000000000, 10)},
        SplitCase{"APricePartCutAgain", PricedDay(PriceRange{0, 100000000000}), 1000, Kind::ByPrice,
                  PriceParts(0, 10000000000, 10)},
        // 15 / 10 = 1.5 rounds to 2: eight parts, the last cut at the top.
        SplitCase{"AHalfStepRoundsToEven", PricedDay(PriceRange{100, 115}), 1000, Kind::ByPrice,
                  PriceParts(100, 2, 8, 115)},
        // 6 / 10 rounds to 1: six parts of one rouble.
        SplitCase{"OneRoubleParts", PricedDay(PriceRange{7, 13}), 1000, Kind::ByPrice,
                  PriceParts(7, 1, 6)},
        // 5 / 10 rounds to 0: the range can no longer be narrowed.
        SplitCase{"TooNarrowToCut", PricedDay(PriceRange{10, 15}), 5000, Kind::CannotNarrow, {}},
        SplitCase{"OneBound", PricedDay(PriceRange{10, 10}), 5000, Kind::CannotNarrow, {}},
        SplitCase{"ReversedBounds", PricedDay(PriceRange{20, 10}), 5000, Kind::CannotNarrow, {}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

// The widest range is checked by its shape, its ten parts being too long to write out.
TEST(DecideSplit, TheWidestRangeIsCutIntoTenPartsMeetingAtTheirBounds) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const SplitDecision d = DecideSplit(PricedDay(PriceRange{kMin, kMax}), 1000);
    ASSERT_EQ(d.kind, Kind::ByPrice);
    ASSERT_EQ(d.parts.size(), 10u);
    EXPECT_EQ(d.parts.front().price->low, kMin);
    EXPECT_EQ(d.parts.back().price->high, kMax);
    for (std::size_t k = 1; k < d.parts.size(); ++k) {
        EXPECT_EQ(d.parts[k].price->low, d.parts[k - 1].price->high) << k;
        EXPECT_LT(d.parts[k].price->low, d.parts[k].price->high) << k;
    }
}

TEST(DecideSplit, OnlyAWholeDayKeepsItsOwnPages) {
    EXPECT_TRUE(KeepsOwnPages(PricedDay(std::nullopt)));
    EXPECT_FALSE(KeepsOwnPages(PricedDay(PriceRange{0, 100000000000})));
    EXPECT_FALSE(KeepsOwnPages(kMonth));
}

TEST(DecideSplit, PartsAreDisjointQueriesOfTheirOwn) {
    // The run keeps a set of queries; the parts of one split must all stay in it.
    const SplitDecision d = DecideSplit(PricedDay(std::nullopt), 1000);
    const std::set<SearchQuery> distinct(d.parts.begin(), d.parts.end());
    EXPECT_EQ(distinct.size(), d.parts.size());
    EXPECT_FALSE(distinct.contains(PricedDay(std::nullopt)));
}

struct PagesCase {
    std::int64_t found;
    std::vector<std::int64_t> offsets;
};

void PrintTo(const PagesCase& c, std::ostream* os) {
    *os << "found " << c.found;
}

class FurtherPagesTest : public testing::TestWithParam<PagesCase> {};

TEST_P(FurtherPagesTest, OffsetsStopBeforeTheTotal) {
    const SearchQuery part = PricedDay(PriceRange{0, 100000000000});
    std::vector<SearchQuery> expected;
    for (const std::int64_t offset : GetParam().offsets)
        expected.push_back(PricedDay(PriceRange{0, 100000000000}, offset));
    const auto pages = FurtherPages(part, GetParam().found);
    EXPECT_EQ(pages, expected);
    for (const auto& page : pages)
        EXPECT_FALSE(page.FirstPage());
}

std::vector<std::int64_t> Offsets(int last) {
    std::vector<std::int64_t> out;
    for (int o = 50; o <= last; o += 50)
        out.push_back(o);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Totals, FurtherPagesTest,
                         testing::Values(PagesCase{0, {}}, PagesCase{50, {}}, PagesCase{51, {50}},
                                         PagesCase{100, {50}}, PagesCase{999, Offsets(950)},
                                         PagesCase{1000, Offsets(950)}));

TEST(FoundCount, DigitsBeforeAnyFractionOtherwiseZero) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"1500", 1500}, {"999", 999},    {"", 0},        {"null", 0},
        {"12.7", 12},   {"1 234", 1234}, {"\"77\"", 77}, {"99999999999999999999999", INT64_MAX}};
    for (const auto& [text, n] : cases)
        EXPECT_EQ(ReadFoundCount(text), n) << text;
}

TEST(IsoDate, ReadsYearMonthDayAndRejectsTheRest) {
    const std::vector<std::pair<std::string, std::string>> good = {
        {"2023-05-10", "2023-05-10"}, {"2024-2-29", "2024-02-29"}, {" 2023-05-10 ", "2023-05-10"}};
    for (const auto& [text, iso] : good) {
        const auto date = ParseIsoDate(text);
        ASSERT_TRUE(date.has_value()) << text;
        EXPECT_EQ(FormatIsoDate(*date), iso);
    }
    for (const std::string bad : {"", "2023-05", "2023-05-10x", "2023-02-30", "10.05.2023",
                                  "abcd-ef-gh", "0000-01-01", "2023-05-100"}) {
        EXPECT_FALSE(ParseIsoDate(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace korvalot::crawl
