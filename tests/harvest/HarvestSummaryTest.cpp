// The summary file's account of how a run ended: its outcome, a flag for each thing that
// failed, and the store named whenever it was lost.
#include "harvest/HarvestSummary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ostream>

namespace korvalot::harvest {
namespace {

using End = crawl::RunSummary::End;

struct EndCase {
    const char* name;
    End end;
    bool resultsFile;
    bool skipFile;
    bool store;
    std::int64_t stored;
    const char* outcome;
    bool storeNamed;  // files.store
};

void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.name;
}

class SummaryEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(SummaryEndTest, SaysHowTheRunEndedAndWhatFailed) {
    const EndCase& c = GetParam();
    HarvestSummary summary;
    summary.options.store = true;
    summary.storeFile = "trades.sqlite";
    crawl::RunSummary run;
    run.end = c.end;
    run.resultsFileFailed = c.resultsFile;
    run.skipFileFailed = c.skipFile;
    run.storeLost = c.store;
    run.tradesStored = c.stored;
    run.tradesTakenBack = c.store || c.skipFile ? 3 : 0;
    summary.run = run;
    const nlohmann::json json = nlohmann::json::parse(HarvestSummaryJson(summary));
    const nlohmann::json& counts = json.at("counts");
    EXPECT_EQ(json.at("outcome"), c.outcome);
    EXPECT_EQ(counts.at("resultsFileFailed"), c.resultsFile);
    EXPECT_EQ(counts.at("skipFileFailed"), c.skipFile);
    EXPECT_EQ(counts.at("storeLost"), c.store);
    EXPECT_EQ(counts.at("tradesStored"), c.stored);
    EXPECT_EQ(counts.at("tradesTakenBack"), run.tradesTakenBack);
    EXPECT_EQ(counts.at("complete"), c.end == End::Finished && !c.resultsFile && !c.skipFile &&
                                         !c.store);
    EXPECT_EQ(json.at("storeFile"), "trades.sqlite");
    EXPECT_EQ(json.at("files").contains("store"), c.storeNamed) << json.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SummaryEndTest,
    ::testing::Values(
        EndCase{"Complete", End::Finished, false, false, false, 5, "finished", true},
        EndCase{"NothingStored", End::Finished, false, false, false, 0, "finished", false},
        EndCase{"ResultsFile", End::CutShort, true, false, false, 2, "cut-short", true},
        EndCase{"SkipFile", End::CutShort, false, true, false, 2, "cut-short", true},
        // A store lost before it kept anything is named all the same.
        EndCase{"StoreLostAtOnce", End::CutShort, false, false, true, 0, "cut-short", true},
        EndCase{"StoreLost", End::CutShort, false, false, true, 4, "cut-short", true},
        EndCase{"Stopped", End::Stopped, false, false, false, 1, "stopped", true}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::harvest
