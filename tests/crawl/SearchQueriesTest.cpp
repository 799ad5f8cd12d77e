#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "crawl/CrawlError.h"
#include "crawl/SearchQueries.h"

namespace korvalot::crawl {
namespace {

const std::string kBase = "https://reg.test";

std::string Query(const std::string& type, const std::string& region, const std::string& from,
                  const std::string& to) {
    return kBase + "/backend/biddings?limit=50&offset=0&tradeType=" + type +
           "&regionCode=" + region + "&tradeStartDate=" + from +
           "T00%3A00%3A00&tradeEndDate=" + to + "T23%3A59%3A59";
}

// What the queue looks like after a split: each part goes to the head in turn.
std::deque<std::string> Queued(const std::vector<std::string>& parts) {
    std::deque<std::string> queue = {"waiting"};
    for (const auto& part : parts)
        queue.push_front(part);
    return queue;
}

struct RegionCase {
    std::string item, code, name;
};

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
    const FirstQueries q =
        BuildFirstQueries(kBase, {"Москва (77)", "Республика Саха (Якутия) (14)"}, {0, 2},
                          "2010-01-01", "2026-01-31");
    const std::vector<std::string> expected = {
        Query("OpenAuction", "77", "2010-01-01", "2026-01-31"),
        Query("PublicOffer", "77", "2010-01-01", "2026-01-31"),
        Query("OpenAuction", "14", "2010-01-01", "2026-01-31"),
        Query("PublicOffer", "14", "2010-01-01", "2026-01-31")};
    EXPECT_EQ(q.jobs, expected);
    ASSERT_EQ(q.regions.size(), 4u);
    EXPECT_EQ(q.regions[2].first, "14");
    EXPECT_EQ(q.regions[2].second, "Республика Саха (Якутия)");
}

TEST(FirstQueries, EveryTradeTypePositionHasItsCode) {
    const FirstQueries q =
        BuildFirstQueries(kBase, {"Москва (77)"}, {5, 4, 3, 1}, "2020-01-01", "2020-01-02");
    ASSERT_EQ(q.jobs.size(), 4u);
    EXPECT_NE(q.jobs[0].find("tradeType=ClosePublicOffer&"), std::string::npos);
    EXPECT_NE(q.jobs[1].find("tradeType=CloseConcours&"), std::string::npos);
    EXPECT_NE(q.jobs[2].find("tradeType=CloseAuction&"), std::string::npos);
    EXPECT_NE(q.jobs[3].find("tradeType=OpenConcours&"), std::string::npos);
}

struct DateSplitCase {
    std::string from, to;
    std::int64_t found;
    // The parts in the order they will be fetched.
    std::vector<std::pair<std::string, std::string>> fetched;
};

class DateSplitTest : public testing::TestWithParam<DateSplitCase> {};

TEST_P(DateSplitTest, PartsMeetWithoutGapOrOverlapAndTheLatestGoesFirst) {
    const auto& c = GetParam();
    const auto parts = SplitQuery(Query("OpenAuction", "77", c.from, c.to), c.found);
    ASSERT_TRUE(parts.has_value());
    std::vector<std::string> expected;
    for (const auto& [from, to] : c.fetched) {
        expected.push_back(kBase +
                           "/backend/biddings?limit=50&offset=0&tradeType=OpenAuction&"
                           "regionCode=77&tradeStartDate=" +
                           from + "T00%3A00%3A00&tradeEndDate=" + to + "T23%3A59%3A59");
    }
    expected.push_back("waiting");
    const auto queue = Queued(*parts);
    EXPECT_EQ(std::vector<std::string>(queue.begin(), queue.end()), expected);
}

INSTANTIATE_TEST_SUITE_P(Ranges, DateSplitTest,
                         testing::Values(
                             // 30 days / 2 parts: the first 16 days, then the last 15.
                             DateSplitCase{
                                 "2023-01-01",
                                 "2023-01-31",
                                 1500,
                                 {{"2023-01-17", "2023-01-31"}, {"2023-01-01", "2023-01-16"}}},
                             // A step rounding to 0 gives one part per day.
                             DateSplitCase{"2023-02-27",
                                           "2023-03-01",
                                           5000,
                                           {{"2023-03-01", "2023-03-01"},
                                            {"2023-02-28", "2023-02-28"},
                                            {"2023-02-27", "2023-02-27"}}},
                             // 10 days / 4 parts = 2.5, a half going to the even neighbour: step 2.
                             DateSplitCase{"2024-01-01",
                                           "2024-01-11",
                                           3000,
                                           {{"2024-01-10", "2024-01-11"},
                                            {"2024-01-07", "2024-01-09"},
                                            {"2024-01-04", "2024-01-06"},
                                            {"2024-01-01", "2024-01-03"}}}));

// The price parts of a split as (low, high) pairs, in the order they were built.
std::vector<std::pair<std::int64_t, std::int64_t>> PriceParts(
    const std::vector<std::string>& parts) {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const auto& part : parts) {
        const auto a = part.find("&lotStartPrice=");
        const auto b = part.find("&lotFinishPrice=");
        EXPECT_NE(a, std::string::npos);
        EXPECT_NE(b, std::string::npos);
        EXPECT_EQ(part.find("&", b + 1), std::string::npos) << "bounds are the last parameters";
        out.emplace_back(std::stoll(part.substr(a + 15, b - a - 15)),
                         std::stoll(part.substr(b + 16)));
    }
    return out;
}

struct PriceSplitCase {
    std::string bounds;  // appended to a single-day query
    std::vector<std::pair<std::int64_t, std::int64_t>> parts;
};

class PriceSplitTest : public testing::TestWithParam<PriceSplitCase> {};

TEST_P(PriceSplitTest, NeighboursShareTheirBoundAndTheLastEndsAtTheTop) {
    const std::string job =
        Query("PublicOffer", "50", "2023-05-10", "2023-05-10") + GetParam().bounds;
    const auto parts = SplitQuery(job, 1000);
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(PriceParts(*parts), GetParam().parts);
    for (const auto& part : *parts) {
        EXPECT_TRUE(part.starts_with(Query("PublicOffer", "50", "2023-05-10", "2023-05-10") +
                                     "&lotStartPrice="))
            << part;
    }
}

std::vector<std::pair<std::int64_t, std::int64_t>> Steps(std::int64_t low, std::int64_t step,
                                                         int count) {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (int k = 0; k < count; ++k)
        out.emplace_back(low + k * step, low + (k + 1) * step);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, PriceSplitTest,
    testing::Values(
        // No bounds yet: 0 to 10^12 in ten parts of 10^11.
        PriceSplitCase{"", Steps(0, 100000000000, 10)},
        // A second split of the first part.
        PriceSplitCase{"&lotStartPrice=0&lotFinishPrice=100000000000", Steps(0, 10000000000, 10)},
        // 15 / 10 = 1.5 rounds to 2: the last part is cut at the top.
        PriceSplitCase{"&lotStartPrice=100&lotFinishPrice=115",
                       {{100, 102},
                        {102, 104},
                        {104, 106},
                        {106, 108},
                        {108, 110},
                        {110, 112},
                        {112, 114},
                        {114, 115}}},
        // 6 / 10 rounds to 1: six parts of one rouble.
        PriceSplitCase{"&lotStartPrice=7&lotFinishPrice=13", Steps(7, 1, 6)},
        // A bound that is not a number reads as 0.
        PriceSplitCase{"&lotStartPrice=abc&lotFinishPrice=20", Steps(0, 2, 10)}));

TEST(PriceSplit, ARangeThatRoundsToAZeroStepCannotBeNarrowed) {
    for (const std::string bounds :
         {"&lotStartPrice=10&lotFinishPrice=15", "&lotStartPrice=10&lotFinishPrice=10",
          "&lotStartPrice=20&lotFinishPrice=10"}) {
        EXPECT_FALSE(
            SplitQuery(Query("OpenAuction", "77", "2023-05-10", "2023-05-10") + bounds, 5000)
                .has_value())
            << bounds;
    }
}

TEST(DateSplit, AnUnreadableDateRaises) {
    EXPECT_THROW(SplitQuery(Query("OpenAuction", "77", "2023-13-01", "2023-12-31"), 2000),
                 CrawlError);
}

struct PagesCase {
    std::int64_t found;
    std::vector<int> offsets;
};

class FurtherPagesTest : public testing::TestWithParam<PagesCase> {};

TEST_P(FurtherPagesTest, OffsetsAreLastAndStopBeforeTheTotal) {
    const std::string job = Query("OpenAuction", "77", "2023-01-01", "2023-01-31");
    std::vector<std::string> expected;
    for (const int offset : GetParam().offsets) {
        expected.push_back(kBase +
                           "/backend/biddings?limit=50&tradeType=OpenAuction&regionCode=77&"
                           "tradeStartDate=2023-01-01T00%3A00%3A00&tradeEndDate=2023-01-31T23%"
                           "3A59%3A59&offset=" +
                           std::to_string(offset));
    }
    const auto pages = FurtherPages(job, GetParam().found);
    EXPECT_EQ(pages, expected);
    for (const auto& page : pages)
        EXPECT_FALSE(IsFirstPage(page));
}

std::vector<int> Offsets(int last) {
    std::vector<int> out;
    for (int o = 50; o <= last; o += 50)
        out.push_back(o);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Totals, FurtherPagesTest,
                         testing::Values(PagesCase{0, {}}, PagesCase{50, {}}, PagesCase{51, {50}},
                                         PagesCase{100, {50}}, PagesCase{999, Offsets(950)}));

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
