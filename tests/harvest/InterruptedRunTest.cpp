// The bookkeeping of an incremental run that was killed, completed by the next run: states the
// killed run can leave, made as real files (a results file and a mark written as the card phase
// writes them, skip.txt, a real store), and what the next run finds in them afterwards.
#include "crawl/InterruptedRun.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crawl/CrawlError.h"
#include "crawl/ResultsFile.h"
#include "crawl/fakes/TempDir.h"
#include "json/JsonValue.h"
#include "store/TradeStore.h"
#include "util/Platform.h"

namespace korvalot::crawl {
namespace {

using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;

const std::string kBase = "https://reg.test";
const std::string kPrefix = kBase + "/biddings/";

ResultRow Row(const std::string& guid, int lot) {
    ResultRow row;
    row.guid = guid;
    row.region = "г. Москва";
    row.number = "N-" + guid;
    row.datePublish = "02.01.2023 10:15";
    row.debtorName = "Должник \"" + guid + "\"";
    row.debtorInn = "7700";
    row.propertyType = "c" + std::to_string(lot);
    // A line end inside a quoted text is no line of the file.
    row.lotDescription = "Лот " + std::to_string(lot) + "\r\nг. Москва";
    row.courtName = "Суд";
    row.startPrice = "1000.25";
    row.currentPrice = "null";
    row.resultsDate = "03.01.2023 09:00";
    return row;
}

std::vector<ResultRow> Rows(const std::string& guid, int lots) {
    std::vector<ResultRow> rows;
    for (int k = 1; k <= lots; ++k)
        rows.push_back(Row(guid, k));
    return rows;
}

std::string Lines(const std::string& guid, int lots) {
    std::string text;
    for (const ResultRow& row : Rows(guid, lots))
        text += ResultsFile::FormatLine(kBase, row);
    return text;
}

std::string Header() {
    return "\xEF\xBB\xBF" + std::string(ResultsFile::kHeader) + "\r\n";
}

// What the killed run had done with one trade when it was killed.
struct Written {
    std::string guid;
    int lots = 1;
    enum How {
        Marked,      // its rows whole and its line in the mark
        NotMarked,   // its rows whole, killed before its line went into the mark
        CutShort     // killed while its rows were written: the file ends inside them
    } how = Marked;
    bool inSkip = false;   // skip.txt named it before the kill
    bool stored = true;    // the store kept it (with a store)
    bool record = true;    // skip.txt is to name it (false: its card lacked data)
};

struct RecoveryCase {
    const char* name;
    bool store;
    std::vector<Written> trades;
    // What the next run leaves: the trades whose rows stay in the file, the lines skip.txt
    // holds afterwards, and the counts.
    std::vector<std::string> rowsKept;
    std::vector<std::string> skipAfter;
    std::int64_t named;
    std::int64_t rowsCut;
    std::int64_t tradesCut;
    std::int64_t notStored;
    bool halfTradeCut;
};

void PrintTo(const RecoveryCase& c, std::ostream* os) {
    *os << c.name;
}

class InterruptedRunTest : public testing::TestWithParam<RecoveryCase> {};

TEST_P(InterruptedRunTest, TheNextRunNamesWhatIsWholeAndCutsTheRest) {
    const RecoveryCase& c = GetParam();
    TempDir dir;
    const auto skip = dir / "skip.txt";
    const auto storePath = dir / "korvalot.sqlite";
    const auto resultsPath = dir / "data-1.csv";
    {
        // The killed run: its store, its results file and its mark, as the card phase keeps
        // them. Nothing is finished: leaving the scope is the kill.
        std::optional<store::TradeStore> store;
        if (c.store) {
            store.emplace(storePath);
            store->Begin({resultsPath, kBase, ".", {"г. Москва (77)"}});
        }
        ResultsFile file(resultsPath, kBase);
        RunMarkHead head{resultsPath, dir.path(), skip, kPrefix, file.Size(), {}};
        if (store)
            head.store = store->RunKey();
        RunMark mark(RunMark::PathBeside(skip), head);
        std::string skipText;
        std::string cutShort;
        for (const Written& t : c.trades) {
            if (t.how == Written::CutShort) {
                const std::string lines = Lines(t.guid, t.lots);
                cutShort = lines.substr(0, lines.size() - 40);
                continue;
            }
            file.WriteTrade(Rows(t.guid, t.lots));
            if (t.how == Written::Marked)
                mark.TradeWritten(t.guid, file.LastTradeStart(), file.Size(), t.record);
            if (store && t.stored)
                store->TradeWritten(t.guid, "г. Москва",
                                    json::Parse(R"({"tradeType":"OpenAuction"})"),
                                    Rows(t.guid, t.lots));
            if (t.inSkip)
                skipText += kPrefix + t.guid + "\r\n";
        }
        file.Close();
        WriteBytes(skip, skipText);
        if (!cutShort.empty()) {
            const int fd = ::open(resultsPath.c_str(), O_WRONLY | O_APPEND);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::write(fd, cutShort.data(), cutShort.size()),
                      static_cast<ssize_t>(cutShort.size()));
            ::close(fd);
        }
    }

    CaseInsensitiveSet skipList;
    for (auto& line : util::ReadListFile(skip))
        skipList.insert(std::move(line));
    const std::size_t skipBefore = skipList.size();
    InterruptedRunPlace place{dir.path(), skip, {}};
    if (c.store)
        place.openTradeSink = [&] { return std::make_shared<store::TradeStore>(storePath); };
    const InterruptedRun run = CompleteInterruptedRun(place, skipList);

    EXPECT_EQ(run.found, InterruptedRun::Found::Completed);
    EXPECT_EQ(run.resultsFile, resultsPath);
    EXPECT_EQ(run.named, c.named);
    EXPECT_EQ(run.rowsCut, c.rowsCut);
    EXPECT_EQ(run.tradesCut, c.tradesCut);
    EXPECT_EQ(run.notStored, c.notStored);
    EXPECT_EQ(run.halfTradeCut, c.halfTradeCut);
    EXPECT_TRUE(run.storeUnasked.empty()) << run.storeUnasked;

    std::string expected = Header();
    for (const std::string& guid : c.rowsKept) {
        for (const Written& t : c.trades) {
            if (t.guid == guid)
                expected += Lines(guid, t.lots);
        }
    }
    EXPECT_EQ(ReadBytes(resultsPath), expected);
    std::vector<std::string> skipAfter;
    for (const std::string& guid : c.skipAfter)
        skipAfter.push_back(kPrefix + guid);
    EXPECT_EQ(util::ReadListFile(skip), skipAfter) << "each trade named once, in order";
    EXPECT_EQ(skipList.size(), skipBefore + static_cast<std::size_t>(c.named));
    EXPECT_FALSE(std::filesystem::exists(RunMark::PathBeside(skip))) << "the mark stayed";

    // Done once, it is done: the next run finds nothing left and changes nothing.
    EXPECT_EQ(CompleteInterruptedRun(place, skipList).found, InterruptedRun::Found::None);
    EXPECT_EQ(ReadBytes(resultsPath), expected);
}

using W = Written;

INSTANTIATE_TEST_SUITE_P(
    States, InterruptedRunTest,
    testing::Values(
        // skip.txt named the first trade; the second is whole, the third was being written and
        // the file ends inside its last line.
        RecoveryCase{"ResultsFileCutMidLine",
                     false,
                     {{"a", 2, W::Marked, true}, {"b", 1}, {"c", 3, W::CutShort}},
                     {"a", "b"},
                     {"a", "b"},
                     1,
                     3,
                     0,
                     0,
                     true},
        // Killed after the rows went out but before any batch of skip.txt lines.
        RecoveryCase{"WholeTradesNotInSkipTxt",
                     false,
                     {{"a", 2}, {"b", 1}, {"c", 3}},
                     {"a", "b", "c"},
                     {"a", "b", "c"},
                     3,
                     0,
                     0,
                     0,
                     false},
        // Killed right after a batch of skip.txt lines: nothing is left to do.
        RecoveryCase{"SkipTxtAheadOfNothing",
                     false,
                     {{"a", 2, W::Marked, true}, {"b", 1, W::Marked, true}},
                     {"a", "b"},
                     {"a", "b"},
                     0,
                     0,
                     0,
                     0,
                     false},
        // A trade without lots has no row to show it, only its line in the mark.
        RecoveryCase{"ATradeWithoutLots",
                     false,
                     {{"a", 1, W::Marked, true}, {"none", 0}, {"b", 2}},
                     {"a", "none", "b"},
                     {"a", "none", "b"},
                     2,
                     0,
                     0,
                     0,
                     false},
        // Rows whole, but killed before the mark had the trade: fetched again, not named.
        RecoveryCase{"WholeRowsWithoutTheirMarkLine",
                     false,
                     {{"a", 1}, {"b", 2, W::NotMarked}},
                     {"a"},
                     {"a"},
                     1,
                     2,
                     0,
                     0,
                     true},
        // A card that lacked data keeps its rows and stays out of skip.txt, as in a run that
        // ends.
        RecoveryCase{"ACardThatLackedData",
                     false,
                     {{"a", 1}, {"part", 1, W::Marked, false, true, false}, {"b", 1}},
                     {"a", "part", "b"},
                     {"a", "b"},
                     2,
                     0,
                     0,
                     0,
                     false},
        // The store committed every trade but the last: that one goes, to be fetched again.
        RecoveryCase{"AStoreThatLacksTheLastTrade",
                     true,
                     {{"a", 2, W::Marked, true}, {"b", 1}, {"c", 2, W::Marked, false, false}},
                     {"a", "b"},
                     {"a", "b"},
                     1,
                     2,
                     1,
                     1,
                     false},
        // A trade the store lacks takes those written after it along, kept or not.
        RecoveryCase{"AStoreThatLacksATradeInTheMiddle",
                     true,
                     {{"a", 1}, {"b", 2, W::Marked, false, false}, {"c", 1}, {"none", 0, W::Marked,
                                                                          false, false}},
                     {"a"},
                     {"a"},
                     1,
                     3,
                     3,
                     2,
                     false}),
    [](const testing::TestParamInfo<RecoveryCase>& info) { return std::string(info.param.name); });

// A mark whose run is still at work, or that another folder's run left, is not this run's to
// complete: its files stay as they are.
TEST(InterruptedRunPlaceTest, AMarkOfARunAtWorkOrOfAnotherFolderIsLeftAlone) {
    TempDir dir;
    const auto skip = dir / "skip.txt";
    const auto resultsPath = dir / "data-1.csv";
    ResultsFile file(resultsPath, kBase);
    file.WriteTrade(Rows("a", 1));
    const RunMarkHead head{resultsPath, dir.path(), skip, kPrefix, Header().size(), {}};
    const std::string before = ReadBytes(resultsPath);
    CaseInsensitiveSet skipList;
    {
        RunMark atWork(RunMark::PathBeside(skip), head);
        atWork.TradeWritten("a", file.LastTradeStart(), file.Size(), true);
        EXPECT_EQ(CompleteInterruptedRun({dir.path(), skip, {}}, skipList).found,
                  InterruptedRun::Found::Busy);
        EXPECT_TRUE(std::filesystem::exists(RunMark::PathBeside(skip)));
    }
    std::filesystem::create_directory(dir / "other");
    const InterruptedRun other = CompleteInterruptedRun({dir / "other", skip, {}}, skipList);
    EXPECT_EQ(other.found, InterruptedRun::Found::Elsewhere);
    EXPECT_EQ(other.folder, dir.path());
    EXPECT_TRUE(std::filesystem::exists(RunMark::PathBeside(skip)));
    EXPECT_EQ(ReadBytes(resultsPath), before);
    EXPECT_FALSE(std::filesystem::exists(skip));

    // Its own folder's run completes it.
    EXPECT_EQ(CompleteInterruptedRun({dir.path(), skip, {}}, skipList).found,
              InterruptedRun::Found::Completed);
    EXPECT_EQ(util::ReadListFile(skip), std::vector<std::string>{kPrefix + "a"});
}

// A store named in the mark that this run cannot ask: nothing is named that the store may lack;
// what skip.txt does not name yet is fetched again.
TEST(InterruptedRunPlaceTest, AStoreThatCannotBeAskedCostsASecondFetchNotALineTwice) {
    TempDir dir;
    const auto skip = dir / "skip.txt";
    const auto resultsPath = dir / "data-1.csv";
    {
        ResultsFile file(resultsPath, kBase);
        RunMark mark(RunMark::PathBeside(skip),
                     {resultsPath, dir.path(), skip, kPrefix, file.Size(),
                      TradeSinkRunKey{dir / "korvalot.sqlite", 3}});
        for (const char* guid : {"a", "b"}) {
            file.WriteTrade(Rows(guid, 1));
            mark.TradeWritten(guid, file.LastTradeStart(), file.Size(), true);
        }
    }
    WriteBytes(skip, kPrefix + "a\r\n");
    CaseInsensitiveSet skipList{kPrefix + "a"};
    const InterruptedRun run = CompleteInterruptedRun({dir.path(), skip, {}}, skipList);
    EXPECT_EQ(run.found, InterruptedRun::Found::Completed);
    EXPECT_FALSE(run.storeUnasked.empty());
    EXPECT_EQ(run.named, 0);
    EXPECT_EQ(run.tradesCut, 1);
    EXPECT_EQ(ReadBytes(resultsPath), Header() + Lines("a", 1));
    EXPECT_EQ(util::ReadListFile(skip), std::vector<std::string>{kPrefix + "a"});
}

// A mark that is not one tells nothing: it goes, and nothing else is touched.
TEST(InterruptedRunPlaceTest, AMarkThatIsNoMarkIsRemoved) {
    TempDir dir;
    const auto skip = dir / "skip.txt";
    WriteBytes(RunMark::PathBeside(skip), "results\t/x\n");
    CaseInsensitiveSet skipList;
    EXPECT_EQ(CompleteInterruptedRun({dir.path(), skip, {}}, skipList).found,
              InterruptedRun::Found::Unreadable);
    EXPECT_FALSE(std::filesystem::exists(RunMark::PathBeside(skip)));
    EXPECT_FALSE(std::filesystem::exists(skip));
}

}  // namespace
}  // namespace korvalot::crawl
