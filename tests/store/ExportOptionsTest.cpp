// korvalot-export's words as the filter they make: each date option lands on its own member, so
// that --from and --to select the trade date as the harvest's do.
#include "export/ExportOptions.h"

#include <gtest/gtest.h>

namespace korvalot::exporting {
namespace {

using namespace std::chrono;

constexpr year_month_day kToday{year(2026), month(6), day(20)};

ExportOptions Parse(std::vector<std::string> args) {
    args.insert(args.begin(), {"-o", "out.csv"});
    return ParseExportOptions(args, kToday);
}

TEST(ExportOptionsTest, EachDateOptionSetsItsOwnMember) {
    const year_month_day first{year(2026), month(6), day(1)};
    const year_month_day yesterday{year(2026), month(6), day(19)};
    using Member = std::optional<year_month_day> store::TradeFilter::*;
    const struct {
        const char* option;
        Member member;
    } cases[] = {
        {"--from", &store::TradeFilter::from},
        {"--to", &store::TradeFilter::to},
        {"--announced-from", &store::TradeFilter::announcedFrom},
        {"--announced-to", &store::TradeFilter::announcedTo},
        {"--changed-since", &store::TradeFilter::changedSince},
        {"--new-since", &store::TradeFilter::newSince},
    };
    const Member all[] = {&store::TradeFilter::from,          &store::TradeFilter::to,
                          &store::TradeFilter::announcedFrom, &store::TradeFilter::announcedTo,
                          &store::TradeFilter::changedSince,  &store::TradeFilter::newSince};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        const store::TradeFilter filter = Parse({c.option, "2026-06-01"}).filter;
        for (const Member member : all)
            EXPECT_EQ(filter.*member, member == c.member ? std::optional(first) : std::nullopt);
        EXPECT_EQ(Parse({c.option, "yesterday"}).filter.*c.member, yesterday);
    }
}

TEST(ExportOptionsTest, RegionsTypesAndWordsAsGiven) {
    const ExportOptions o =
        Parse({"-r", "07,77", "-T", "publicoffer", "--words", " квартира  дом* ", "--store", "s"});
    EXPECT_EQ(o.filter.regionCodes, (std::vector<std::string>{"07", "77"}));
    EXPECT_EQ(o.filter.tradeTypes, std::vector<std::string>{"PublicOffer"});
    EXPECT_EQ(o.filter.words, (std::vector<std::string>{"квартира", "дом*"}));
    EXPECT_EQ(o.storeFile, "s");
    // No region and all of them are the whole store.
    EXPECT_TRUE(Parse({}).filter.regionCodes.empty());
    EXPECT_TRUE(Parse({"-r", "all"}).filter.regionCodes.empty());
    EXPECT_TRUE(Parse({}).filter.tradeTypes.empty());
}

}  // namespace
}  // namespace korvalot::exporting
