// korvalot-export's filter options as the filter they make, the table the browser's tests share
// included, and the arguments that make no sense refused.
#include <gtest/gtest.h>

#include "export/ExportOptions.h"
#include "support/FilterCases.h"

namespace korvalot::exporting {
namespace {

using namespace std::chrono;

constexpr year_month_day kToday{year(2026), month(12), day(11)};

ExportOptions Parse(std::vector<std::string> args) {
    args.insert(args.begin(), {"-o", "out.csv"});
    return ParseExportOptions(args, kToday);
}

TEST(ExportFilterOptionsTest, EachSharedCaseIsItsFilter) {
    for (const testing::FilterCase& c : testing::FilterCases(kToday)) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(Parse(c.args).filter == c.filter);
    }
}

TEST(ExportFilterOptionsTest, OpenOutcomesCountFromTheDayTheArgumentsAreRead) {
    const store::TradeFilter open = Parse({"--open"}).filter;
    EXPECT_TRUE(open.openOnly);
    EXPECT_EQ(open.openDays, store::kOpenDays);
    EXPECT_EQ(open.today, kToday);
    EXPECT_EQ(Parse({"--open", "--open-days", "0"}).filter.openDays, 0);
    const store::TradeFilter none = Parse({}).filter;
    EXPECT_FALSE(none.openOnly);
    EXPECT_EQ(none.today, std::nullopt);
}

TEST(ExportFilterOptionsTest, BadFilterArgumentsAreRefused) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--open-days", "10"}, "--open-days без --open ничего не меняет"},
        {{"--open", "--open-days", "-1"}, "--open-days: нужно число дней от 0 до 36600: -1"},
        {{"--open", "--open-days", "36601"}, "--open-days: нужно число дней от 0 до 36600: 36601"},
        {{"--open", "--open-days", "7д"}, "--open-days: нужно число дней от 0 до 36600: 7д"},
        {{"--current-price-from", "5", "--current-price-to", "4"},
         "--current-price-from больше --current-price-to"},
        {{"--current-price-to", "дорого"},
         "--current-price-to: нужна цена в рублях (1500000 или 1500000,50): дорого"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            Parse(c.args);
            ADD_FAILURE() << "accepted";
        } catch (const cli::UsageError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

}  // namespace
}  // namespace korvalot::exporting
