#include "harvest/HarvestOptions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "crawl/fakes/TempDir.h"

namespace korvalot::harvest {
namespace {

using crawl::testing_support::TempDir;
using namespace std::chrono;

constexpr year_month_day kToday{year(2026), month(3), day(1)};

HarvestOptions Parse(std::vector<std::string> args) {
    return ParseHarvestOptions(args, kToday);
}

TEST(HarvestOptionsTest, ReadsASelectionInTheListsOrder) {
    const HarvestOptions o =
        Parse({"--regions", "77, 50", "-T", "closepublicoffer,OpenAuction", "--from", "2026-01-02",
               "--to", "yesterday", "-o", "out", "-i", "-w", "--skip-file", "s.txt"});
    EXPECT_EQ(o.regionCodes, (std::vector<std::string>{"77", "50"}));
    EXPECT_EQ(o.tradeTypePositions, (std::vector<int>{0, 5}));
    EXPECT_EQ(o.from, (year_month_day{year(2026), month(1), day(2)}));
    EXPECT_EQ(o.to, (year_month_day{year(2026), month(2), day(28)}));
    EXPECT_EQ(o.outputDir, "out");
    EXPECT_EQ(o.skipFile, "s.txt");
    EXPECT_TRUE(o.incremental);
    EXPECT_TRUE(o.workbook);
}

TEST(HarvestOptionsTest, DefaultsToEverySixTypesAndNoDates) {
    const HarvestOptions o = Parse({"-r", "all"});
    EXPECT_TRUE(o.allRegions);
    EXPECT_EQ(o.tradeTypePositions, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_FALSE(o.from);
    EXPECT_FALSE(o.to);
    EXPECT_FALSE(o.incremental);
    EXPECT_FALSE(o.workbook);
    EXPECT_EQ(o.outageLimitMinutes, 120);
    EXPECT_EQ(Parse({"-r", "all", "--outage-limit", "0"}).outageLimitMinutes, 0);
    EXPECT_EQ(Parse({"-r", "all", "--outage-limit=525600"}).outageLimitMinutes, 525600);
    EXPECT_TRUE(Parse({"--help"}).help);
    EXPECT_TRUE(Parse({"-V"}).version);
}

TEST(HarvestOptionsTest, RefusesBadArgumentsWithOneLine) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-r", "77", "--from", "2026-13-01"}, "--from: дата должна быть"},
        {{"-r", "77", "--to", "1.2.2026"}, "--to: дата должна быть"},
        {{"-r", "77", "--from", "2026-2-1"}, "--from: дата должна быть"},
        {{"-r", "77", "--from", "2026-03-02", "--to", "2026-03-01"}, "--from позже --to"},
        {{"-r", "77", "-T", "OpenAuction,Barter"}, "неизвестный вид торгов Barter"},
        {{"-r", "77", "-T", ","}, "не указан ни один вид торгов"},
        {{"--from", "2026-01-01"}, "не выбран ни один регион"},
        {{"-r", "77", "--bogus"}, "неизвестный параметр --bogus"},
        {{"-r"}, "нет значения"},
        {{"-r", "77", "extra"}, "лишний аргумент extra"},
        {{"-r", "77", "--outage-limit", "-1"}, "--outage-limit: нужно число минут"},
        {{"-r", "77", "--outage-limit", "2h"}, "--outage-limit: нужно число минут"},
        {{"-r", "77", "--outage-limit", "525601"}, "--outage-limit: нужно число минут"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            Parse(c.args);
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.message), std::string::npos) << what;
            EXPECT_EQ(what.find('\n'), std::string::npos);
        }
    }
}

TEST(HarvestOptionsTest, SelectsRegionsByCodeInTheDirectorysOrder) {
    const std::vector<std::string> directory = {"Республика Саха (Якутия) (14)", "г. Москва (77)",
                                                "Республика Адыгея (01)"};
    HarvestOptions o = Parse({"-r", "1,14"});
    EXPECT_EQ(
        SelectRegionItems(directory, o),
        (std::vector<std::string>{"Республика Саха (Якутия) (14)", "Республика Адыгея (01)"}));
    o = Parse({"-r", "all"});
    EXPECT_EQ(SelectRegionItems(directory, o), directory);
    o = Parse({"-r", "77,99"});
    EXPECT_THROW(SelectRegionItems(directory, o), UsageError);
}

TEST(HarvestOptionsTest, AnOutputFolderMustTakeAFileAndKeepsNone) {
    TempDir dir;
    HarvestOptions o = Parse({"-r", "77", "-o", dir.path().string()});
    EXPECT_NO_THROW(CheckOutputPlaces(o));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    o.outputDir = dir / "missing";
    EXPECT_THROW(CheckOutputPlaces(o), UsageError);
    {
        crawl::testing_support::WriteBytes(dir / "file", "x");
        o.outputDir = dir / "file";
        EXPECT_THROW(CheckOutputPlaces(o), UsageError);
    }
    o.outputDir = dir.path();
    o.skipFile = dir.path();
    EXPECT_THROW(CheckOutputPlaces(o), UsageError);
}

}  // namespace
}  // namespace korvalot::harvest
