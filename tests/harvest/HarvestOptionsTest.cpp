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
        // getopt moves the stray word behind the options; it is named all the same.
        {{"--regions", "78", "extra", "--output", "out"}, "лишний аргумент extra"},
        {{"-r", "77", "-iw", "one", "-o", "out", "two"}, "лишний аргумент one"},
        {{"-r", "77", "-ix"}, "неизвестный параметр -x"},
        {{"-r", "77", "--output"}, "у параметра --output нет значения"},
        {{"-r", "77", "-q", "-v"}, "--quiet и --verbose вместе не указывают"},
        {{"-r", "77", "--summary-json="}, "--summary-json: пустой путь"},
        {{"-r", "77", "--outage-limit", "-1"}, "--outage-limit: нужно число минут"},
        {{"-r", "77", "--outage-limit", "2h"}, "--outage-limit: нужно число минут"},
        {{"-r", "77", "--outage-limit", "525601"}, "--outage-limit: нужно число минут"},
        // A filter with nothing in it is a mistake, never "everything".
        {{"-r", ""}, "--regions: не указан ни один регион"},
        {{"-r", " , "}, "--regions: не указан ни один регион"},
        {{"-r", "77", "-T", ""}, "не указан ни один вид торгов"},
        // A code is a number of one or two digits, leading zeros aside.
        {{"-r", "abc"}, "--regions: abc - не код региона"},
        {{"-r", "77,100"}, "--regions: 100 - не код региона"},
        {{"-r", "0"}, "--regions: 0 - не код региона"},
        {{"-r", "-7"}, "--regions: -7 - не код региона"},
        {{"-r", "all,77"}, "--regions: all - не код региона"},
        {{"-r", "all", "-r", "77"}, "all вместе с кодами"},
        // Options that would change nothing in the combination given.
        {{"-r", "77", "--refresh"}, "--refresh без --store"},
        {{"-r", "77", "--store", "--refresh", "-i"}, "--incremental и --refresh"},
        {{"-r", "77", "--store", "--refresh", "-s", "s.txt"}, "--skip-file и --refresh"},
        {{"-r", "77", "--store", "--refresh-days", "5"}, "--refresh-days без --refresh"},
        {{"-r", "77", "--skip-file="}, "--skip-file: пустой путь"},
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

// Codes with leading zeros are the codes without them, as the register compares them.
TEST(HarvestOptionsTest, RegionCodesKeepTheirFormAndRefreshNeedsTheStore) {
    EXPECT_EQ(Parse({"-r", "007, 77,7"}).regionCodes, (std::vector<std::string>{"007", "77", "7"}));
    const HarvestOptions o = Parse({"-r", "77", "--store", "--refresh", "--refresh-days", "5"});
    EXPECT_TRUE(o.store);
    EXPECT_TRUE(o.refresh);
    EXPECT_EQ(o.refreshDays, 5);
    EXPECT_FALSE(Parse({"-r", "77", "--store"}).refresh);
}

// "--store FILE" takes the word after it, wherever getopt has moved the stray words by then.
TEST(HarvestOptionsTest, TheStoresFileIsTheWordAfterItAmongStrayWords) {
    EXPECT_EQ(Parse({"--store", "s.sqlite", "-r", "77"}).storeFile, "s.sqlite");
    EXPECT_EQ(Parse({"-r", "77", "--store", "s.sqlite", "-q"}).storeFile, "s.sqlite");
    EXPECT_EQ(Parse({"-r", "77", "--store", "-q"}).storeFile, "");
    try {
        Parse({"-r", "77", "stray", "--store", "s.sqlite", "-i"});
        ADD_FAILURE() << "accepted";
    } catch (const UsageError& e) {
        EXPECT_STREQ(e.what(), "лишний аргумент stray");
    }
}

TEST(HarvestOptionsTest, SelectsRegionsByCodeInTheDirectorysOrder) {
    const std::vector<std::string> directory = {"Республика Саха (Якутия) (14)", "г. Москва (77)",
                                                "Республика Адыгея (01)"};
    HarvestOptions o = Parse({"-r", "001,14"});
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
    EXPECT_TRUE(CheckOutputPlaces(o).empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    {
        crawl::testing_support::WriteBytes(dir / "file", "x");
        o.outputDir = dir / "file";
        EXPECT_THROW(CheckOutputPlaces(o), PlaceError);
    }
    o.outputDir = dir.path();
    o.skipFile = dir.path();
    EXPECT_THROW(CheckOutputPlaces(o), PlaceError);
    o.skipFile.clear();
    o.summaryJson = dir / "missing" / "summary.json";
    EXPECT_THROW(CheckOutputPlaces(o), PlaceError);
}

// The store's place is checked as the output folder is: a folder is made when missing, and one
// that cannot be made or that the store's path names is refused, nothing left behind.
TEST(HarvestOptionsTest, TheStoresPlaceIsMadeOrRefused) {
    TempDir dir;
    EXPECT_EQ(CheckStorePlace(dir / "a" / "b" / "s.sqlite"),
              (std::vector<std::filesystem::path>{dir / "a", dir / "a" / "b"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "a" / "b"));
    EXPECT_TRUE(CheckStorePlace(dir / "a" / "b" / "s.sqlite").empty());
    crawl::testing_support::WriteBytes(dir / "file", "x");
    const struct {
        std::filesystem::path store;
        std::string message;
    } refused[] = {
        {dir / "a", "--store: " + (dir / "a").string() + " - это папка"},
        {dir / "file" / "c" / "s.sqlite",
         "--store: папку " + (dir / "file" / "c").string() + " не создать: Not a directory"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.store);
        try {
            CheckStorePlace(c.store);
            ADD_FAILURE() << "accepted";
        } catch (const PlaceError& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "file" / "c"));
}

// A scheduled run's first morning: the folder is made, the folders above it too.
TEST(HarvestOptionsTest, AMissingOutputFolderIsMade) {
    TempDir dir;
    HarvestOptions o = Parse({"-r", "77", "-o", (dir / "a" / "b").string()});
    EXPECT_EQ(CheckOutputPlaces(o),
              (std::vector<std::filesystem::path>{dir / "a", dir / "a" / "b"}));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a" / "b"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "a" / "b"));
    EXPECT_TRUE(CheckOutputPlaces(o).empty());

    // One that cannot be made leaves nothing behind and names the reason.
    crawl::testing_support::WriteBytes(dir / "file", "x");
    o.outputDir = dir / "file" / "c";
    try {
        CheckOutputPlaces(o);
        ADD_FAILURE() << "made a folder under a file";
    } catch (const PlaceError& e) {
        EXPECT_NE(std::string(e.what()).find("не создать: Not a directory"), std::string::npos)
            << e.what();
    }
    // A summary beside a folder that is made with the run is no obstacle.
    o.outputDir = dir / "d";
    o.summaryJson = dir / "d" / "summary.json";
    EXPECT_EQ(CheckOutputPlaces(o), std::vector<std::filesystem::path>{dir / "d"});
}

}  // namespace
}  // namespace korvalot::harvest
