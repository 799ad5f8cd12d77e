#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crawl/CrowdedDays.h"
#include "crawl/SearchQueries.h"

namespace korvalot::crawl {
namespace {

SearchQuery Query(const char* from, const char* to, std::optional<PriceRange> price = std::nullopt,
                  std::int64_t offset = 0, const char* region = "77",
                  const char* type = "OpenAuction") {
    return SearchQuery{region, type, *ParseIsoDate(from), *ParseIsoDate(to), price, offset};
}

const SearchQuery kDay = Query("2026-05-08", "2026-05-08");
const SearchQuery kDayPage = Query("2026-05-08", "2026-05-08", std::nullopt, 950);
const SearchQuery kPart = Query("2026-05-08", "2026-05-08", PriceRange{0, 100000000000});
const SearchQuery kPartPage = Query("2026-05-08", "2026-05-08", PriceRange{0, 100000000000}, 50);
const SearchQuery kOtherDay = Query("2026-05-09", "2026-05-09");
const SearchQuery kOtherRegion = Query("2026-05-08", "2026-05-08", std::nullopt, 0, "78");
const SearchQuery kOtherType =
    Query("2026-05-08", "2026-05-08", std::nullopt, 0, "77", "PublicOffer");
// Begins on the day but covers two: not the day.
const SearchQuery kTwoDays = Query("2026-05-08", "2026-05-09");

struct ReachCase {
    const char* name;
    std::vector<std::pair<SearchQuery, std::vector<std::string>>> pages;  // query, guids
    int lost;              // queries of the day given up
    std::int64_t reached;  // -1: no shortfall
};

class CrowdedDaysReachTest : public testing::TestWithParam<ReachCase> {};

// A day reporting four trades.
TEST_P(CrowdedDaysReachTest, TheShortfallCountsDistinctTradesOfTheDayOnly) {
    const ReachCase& c = GetParam();
    CrowdedDays days;
    days.Cut(kDay, 4);
    days.Cut(kPart, 1200);  // a part cut again belongs to its day
    for (const auto& [query, guids] : c.pages)
        days.Reached(query, guids);
    for (int k = 0; k < c.lost; ++k)
        days.Lost(kPartPage);
    days.Lost(kTwoDays);  // belongs to no day
    const auto shortfalls = days.Shortfalls();
    if (c.reached < 0) {
        EXPECT_TRUE(shortfalls.empty());
        return;
    }
    ASSERT_EQ(shortfalls.size(), 1u);
    const auto& s = shortfalls[0];
    EXPECT_EQ(s.regionCode, "77");
    EXPECT_EQ(s.tradeType, "OpenAuction");
    EXPECT_EQ(s.day, "2026-05-08");
    EXPECT_EQ(s.reported, 4);
    EXPECT_EQ(s.reached, c.reached);
    EXPECT_EQ(s.Missing(), 4 - c.reached);
    EXPECT_EQ(s.lostJobs, c.lost);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CrowdedDaysReachTest,
    testing::Values(ReachCase{"AllReachedAcrossPagesAndParts",
                              {{kDay, {"a", "b"}}, {kPart, {"c"}}, {kPartPage, {"d"}}},
                              0,
                              -1},
                    ReachCase{"AllReachedOnTheDaysOwnPages",
                              {{kDay, {"a", "b"}}, {kDayPage, {"c", "d"}}},
                              0,
                              -1},
                    // Met in two parts and on the day's page, in another letter case: one trade.
                    ReachCase{"ATradeMetThreeTimesCountsOnce",
                              {{kDay, {"a", "b"}}, {kPart, {"c", "A"}}, {kPartPage, {"a"}}},
                              0,
                              3},
                    ReachCase{"AnotherDaysRegionsOrTypesTradesDoNotCount",
                              {{kDay, {"a", "b", "c"}},
                               {kOtherDay, {"x"}},
                               {kOtherRegion, {"y"}},
                               {kOtherType, {"z"}},
                               {kTwoDays, {"w"}}},
                              0,
                              3},
                    ReachCase{"ALostJobIsNamed", {{kDay, {"a", "b"}}}, 1, 2}),
    [](const testing::TestParamInfo<ReachCase>& info) { return std::string(info.param.name); });

TEST(CrowdedDaysTest, AQueryOverSeveralDaysIsNeverACutDay) {
    CrowdedDays days;
    days.Cut(kTwoDays, 5000);
    days.Reached(kTwoDays, {"a"});
    EXPECT_TRUE(days.Shortfalls().empty());
}

TEST(CrowdedDaysTest, DaysAreToldInTheOrderTheyWereCut) {
    CrowdedDays days;
    days.Cut(kOtherDay, 1500);
    days.Cut(kOtherType, 1100);
    days.Cut(kDay, 1000);
    const auto shortfalls = days.Shortfalls();
    ASSERT_EQ(shortfalls.size(), 3u);
    EXPECT_EQ(shortfalls[0].day, "2026-05-09");
    EXPECT_EQ(shortfalls[0].reported, 1500);
    EXPECT_EQ(shortfalls[1].tradeType, "PublicOffer");
    EXPECT_EQ(shortfalls[2].reported, 1000);
}

TEST(CrowdedDaysTest, TradeTypesAreNamedAsTheWindowListsThem) {
    EXPECT_EQ(TradeTypeName("OpenAuction"), "Открытый аукцион");
    EXPECT_EQ(TradeTypeName("ClosePublicOffer"), "Закрытое публичное предложение");
    EXPECT_EQ(TradeTypeName("Unknown"), "Unknown");
}

}  // namespace
}  // namespace korvalot::crawl
