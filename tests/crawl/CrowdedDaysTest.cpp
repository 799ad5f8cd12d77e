#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crawl/CrowdedDays.h"
#include "crawl/SearchQueries.h"

namespace korvalot::crawl {
namespace {

const std::string kDay =
    "https://reg.test/backend/biddings?limit=50&offset=0&tradeType=OpenAuction&regionCode=77&"
    "tradeStartDate=2026-05-08T00%3A00%3A00&tradeEndDate=2026-05-08T23%3A59%3A59";
const std::string kDayPage =
    "https://reg.test/backend/biddings?limit=50&tradeType=OpenAuction&regionCode=77&"
    "tradeStartDate=2026-05-08T00%3A00%3A00&tradeEndDate=2026-05-08T23%3A59%3A59&offset=950";
const std::string kPart = kDay + "&lotStartPrice=0&lotFinishPrice=100000000000";
const std::string kPartPage =
    "https://reg.test/backend/biddings?limit=50&tradeType=OpenAuction&regionCode=77&"
    "tradeStartDate=2026-05-08T00%3A00%3A00&tradeEndDate=2026-05-08T23%3A59%3A59&lotStartPrice=0&"
    "lotFinishPrice=100000000000&offset=50";
const std::string kOtherDay =
    "https://reg.test/backend/biddings?limit=50&offset=0&tradeType=OpenAuction&regionCode=77&"
    "tradeStartDate=2026-05-09T00%3A00%3A00&tradeEndDate=2026-05-09T23%3A59%3A59";

TEST(CrowdedDaysTest, EveryPageAndPartOfADayBelongsToIt) {
    const std::string key = CrowdedDays::DayKey(kDay);
    EXPECT_EQ(CrowdedDays::DayKey(kDayPage), key);
    EXPECT_EQ(CrowdedDays::DayKey(kPart), key);
    EXPECT_EQ(CrowdedDays::DayKey(kPartPage), key);
    EXPECT_NE(CrowdedDays::DayKey(kOtherDay), key);
}

struct ReachCase {
    const char* name;
    std::vector<std::pair<std::string, std::vector<std::string>>> pages;  // job, guids
    int lost;              // jobs of the day given up
    std::int64_t reached;  // -1: no shortfall
};

class CrowdedDaysReachTest : public testing::TestWithParam<ReachCase> {};

// A day reporting four trades.
TEST_P(CrowdedDaysReachTest, TheShortfallCountsDistinctTradesOfTheDayOnly) {
    const ReachCase& c = GetParam();
    CrowdedDays days;
    days.Cut(kDay, 4);
    days.Cut(kPart, 1200);  // a part cut again belongs to its day
    for (const auto& [job, guids] : c.pages)
        days.Reached(job, guids);
    for (int k = 0; k < c.lost; ++k)
        days.Lost(kPartPage);
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
                    // Met in two parts and on the day's page, in another letter case: one trade.
                    ReachCase{"ATradeMetThreeTimesCountsOnce",
                              {{kDay, {"a", "b"}}, {kPart, {"c", "A"}}, {kPartPage, {"a"}}},
                              0,
                              3},
                    ReachCase{"AnotherDaysTradesDoNotCount",
                              {{kDay, {"a", "b", "c"}}, {kOtherDay, {"x"}}},
                              0,
                              3},
                    ReachCase{"ALostJobIsNamed", {{kDay, {"a", "b"}}}, 1, 2}),
    [](const testing::TestParamInfo<ReachCase>& info) { return std::string(info.param.name); });

TEST(CrowdedDaysTest, TradeTypesAreNamedAsTheWindowListsThem) {
    EXPECT_EQ(TradeTypeName("OpenAuction"), "Открытый аукцион");
    EXPECT_EQ(TradeTypeName("ClosePublicOffer"), "Закрытое публичное предложение");
    EXPECT_EQ(TradeTypeName("Unknown"), "Unknown");
}

}  // namespace
}  // namespace korvalot::crawl
