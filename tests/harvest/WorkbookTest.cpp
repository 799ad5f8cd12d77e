#include "crawl/Workbook.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "crawl/CrawlError.h"
#include "crawl/ResultsFile.h"
#include "crawl/fakes/TempDir.h"

namespace korvalot::crawl {
namespace {

using testing_support::ReadBytes;
using testing_support::TempDir;

ResultRow Row(std::string guid, std::string start, std::string published, std::string inn) {
    ResultRow row;
    row.guid = std::move(guid);
    row.region = "г. Москва";
    row.number = "0012";
    row.datePublish = std::move(published);
    row.debtorName = "ООО \"Ромашка\"";
    row.debtorInn = std::move(inn);
    row.lotDescription = "строка\r\nвторая; с \"кавычками\"";
    row.startPrice = std::move(start);
    row.currentPrice = "null";
    row.resultsDate = "";
    return row;
}

// Values that are not what their column holds stay text; nothing is lost or turned into a
// number it is not. Read back by an independent reader.
TEST(WorkbookTest, HoldsTheResultsFilesRowsTyped) {
    TempDir dir;
    const std::string base = "https://r.example";
    const std::vector<std::vector<ResultRow>> trades = {
        {Row("a", "1500000,50", "10.05.2023 14:30", "007707083893"),
         Row("a", "1 500,00", "31.02.2023 10:00", "")},
        {},
        {Row("b", "12", "01.01.2026", "1"), Row("b", "-", "10.05.2023 24:00", "12,5"),
         Row("b", ",5", "", "9"), Row("b", "inf", "", "2"), Row("b", "nan", "", "3")},
    };
    const auto csv = dir / "data1.csv";
    {
        ResultsFile file(csv, base);
        Workbook book(Workbook::PathBeside(csv), base, ",");
        for (const auto& rows : trades) {
            for (const auto& row : rows)
                file.WriteRow(row);
            book.AddTrade("г. Москва", "OpenAuction", rows);
        }
        file.Close();
        book.Close(RunSummary{});
    }
    EXPECT_EQ(Workbook::PathBeside(csv), dir / "data1.xlsx");
    const std::string command = std::string("'") + PYTHON_PATH + "' '" + COMPARE_WORKBOOK_SCRIPT +
                                "' '" + csv.string() + "' '" + (dir / "data1.xlsx").string() +
                                "' , > '" + (dir / "out.txt").string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << ReadBytes(dir / "out.txt");
}

TEST(WorkbookTest, AWorkbookLeftUnclosedLeavesNoFile) {
    TempDir dir;
    {
        Workbook book(dir / "data1.xlsx", "https://r.example", ",");
        book.AddTrade("г. Москва", "OpenAuction", {Row("a", "1", "", "")});
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "data1.xlsx"));
}

// The header row fails inside the constructor: the workbook is freed there (the leak checker of
// the sanitizer build sees it otherwise), and no file is left behind.
TEST(WorkbookTest, AHeaderThatCannotBeWrittenRaisesAndLeavesNothing) {
    TempDir dir;
    // Longer than a cell takes.
    EXPECT_THROW(Workbook(dir / "data1.xlsx", "https://r.example", ",", {std::string(40000, 'x')}),
                 CrawlError);
    EXPECT_FALSE(std::filesystem::exists(dir / "data1.xlsx"));
}

TEST(WorkbookTest, AFolderThatTakesNoFileIsAnError) {
    TempDir dir;
    Workbook book(dir / "missing" / "data1.xlsx", "https://r.example", ",");
    EXPECT_THROW(book.Close(RunSummary{}), CrawlError);
}

}  // namespace
}  // namespace korvalot::crawl
