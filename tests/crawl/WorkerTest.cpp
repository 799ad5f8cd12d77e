#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "crawl/fakes/FakeRegister.h"
#include "fetch/TScrapingThread2.h"
#include "fetch/WorkerOwner.h"

namespace korvalot::fetch {
namespace {

using crawl::testing_support::FakeRegister;
using crawl::testing_support::Reply;
using crawl::testing_support::WorkerSettingsFor;
using namespace std::chrono_literals;

const std::string kBase = "https://reg.test";

// Runs one worker to its move into FinishedList and returns it.
std::shared_ptr<TScrapingThread2> RunJob(const std::shared_ptr<FakeRegister>& reg,
                                         const std::string& job) {
    auto lists = std::make_shared<WorkerLists>(std::make_shared<std::mutex>());
    auto worker = std::make_shared<TScrapingThread2>(WorkerSettingsFor(reg, kBase));
    worker->url = job;
    worker->Lists = lists;
    {
        std::lock_guard lock(*lists->WorkerListLock);
        lists->RunningList.push_back(worker);
    }
    worker->Start();
    worker->Join();
    std::lock_guard lock(*lists->WorkerListLock);
    EXPECT_TRUE(lists->RunningList.empty());
    EXPECT_EQ(lists->FinishedList.size(), 1u);
    EXPECT_EQ(lists->FinishedList.front(), worker);
    return worker;
}

const std::string kSearch = kBase + "/backend/biddings?limit=50&offset=0&tradeType=OpenAuction";

struct AttemptCase {
    const char* what;
    std::vector<Reply> replies;  // one per attempt, the last repeated
    int attempts;
    int result;
    std::string status;
    std::string body;
};

void PrintTo(const AttemptCase& c, std::ostream* os) {
    *os << c.what;
}

class AttemptsTest : public testing::TestWithParam<AttemptCase> {};

TEST_P(AttemptsTest, TriesUpToTenTimesAndReportsTheLastAttempt) {
    const auto& c = GetParam();
    auto calls = std::make_shared<int>(0);
    auto reg = FakeRegister::Create([c, calls](const std::string&) {
        const std::size_t k = static_cast<std::size_t>((*calls)++);
        return c.replies[std::min(k, c.replies.size() - 1)];
    });
    const auto worker = RunJob(reg, kSearch);
    EXPECT_EQ(reg->CallsTo(kSearch), c.attempts) << c.what;
    EXPECT_EQ(worker->result, c.result) << c.what;
    EXPECT_EQ(worker->statusText, c.status) << c.what;
    EXPECT_EQ(worker->html, c.body) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, AttemptsTest,
    testing::Values(
        AttemptCase{"a body at once", {{200, "{}"}}, 1, 1, "успешно", "{}"},
        AttemptCase{
            "404 ends the attempts", {{404, ""}}, 1, -1, "ERROR HTTP/1.1 404 Not Found", ""},
        AttemptCase{"500 is tried ten times",
                    {{500, ""}},
                    10,
                    -1,
                    "ERROR HTTP/1.1 500 Internal Server Error",
                    ""},
        AttemptCase{"blank bodies ten times",
                    {{200, " \r\n\t"}},
                    10,
                    -1,
                    "ERROR_Empty response1 for " + kSearch,
                    " \r\n\t"},
        AttemptCase{"a reset, then a body",
                    {{0, ""}, {500, ""}, {200, "{\"ok\":1}"}},
                    3,
                    1,
                    "успешно",
                    "{\"ok\":1}"},
        AttemptCase{"success on the tenth",
                    {{0, ""},
                     {0, ""},
                     {0, ""},
                     {0, ""},
                     {0, ""},
                     {0, ""},
                     {0, ""},
                     {0, ""},
                     {0, ""},
                     {200, "{}"}},
                    10,
                    1,
                    "успешно",
                    "{}"},
        // Pages that are no JSON object are no answer: an HTML page, a body cut short.
        AttemptCase{"an HTML page ten times",
                    {{200, "<html>busy</html>"}},
                    10,
                    -1,
                    "ERROR_Invalid JSON response for " + kSearch,
                    "<html>busy</html>"},
        AttemptCase{
            "a cut body, then the whole",
            {{200, "{\"found\":3,\"pageData\":[{\"gu"}, {200, "[]"}, {200, "{\"found\":0}"}},
            3,
            1,
            "успешно",
            "{\"found\":0}"}));

// Lots numbered from `first`, as the register numbers them.
std::string LotsPage(int count, int first = 0) {
    std::string page = "{\"pageData\":[";
    for (int k = 0; k < count; ++k) {
        page += (k ? "," : "") + std::string("{\"n\":") + std::to_string(first + k) + "}";
    }
    return page + "]}";
}

TEST(TradeJob, AFullLotsPageAsksForTheNextUntilAShortOne) {
    const std::string card = kBase + "/backend/biddings/g1";
    auto reg = FakeRegister::Create([&](const std::string& url) -> Reply {
        if (url == card)
            return {200, "{\"card\":1}"};
        if (url == card + "/lots?offset=0&limit=50")
            return {200, LotsPage(50)};
        if (url == card + "/lots?offset=50&limit=50")
            return {200, LotsPage(50, 50)};
        if (url == card + "/lots?offset=100&limit=50")
            return {200, LotsPage(3, 100)};
        if (url == card + "/additional")
            return {200, "{\"courtName\":\"c\"}"};
        return {404, ""};
    });
    const auto worker = RunJob(reg, "g1");
    EXPECT_EQ(worker->result, 1);
    EXPECT_EQ(worker->statusText, "успешно");
    EXPECT_EQ(reg->Calls(),
              (std::vector<std::string>{card, card + "/lots?offset=0&limit=50",
                                        card + "/lots?offset=50&limit=50",
                                        card + "/lots?offset=100&limit=50", card + "/additional"}));
    EXPECT_EQ(worker->html, "{\"card\":1}");
    EXPECT_EQ(worker->html2, LotsPage(50));
    EXPECT_EQ(worker->moreLots, (std::vector<std::string>{LotsPage(50, 50), LotsPage(3, 100)}));
    EXPECT_EQ(worker->html3, "{\"courtName\":\"c\"}");
    // The parses the worker checked the answers with go along with them, one per answer.
    EXPECT_EQ(worker->htmlDoc.MemberText("card"), "1");
    EXPECT_EQ(worker->html2Doc.Member("pageData").Length(), 50u);
    ASSERT_EQ(worker->moreLotsDocs.size(), 2u);
    EXPECT_EQ(worker->moreLotsDocs[0].Member("pageData").Length(), 50u);
    EXPECT_EQ(worker->moreLotsDocs[1].Member("pageData").Length(), 3u);
    EXPECT_EQ(worker->html3Doc.MemberText("courtName"), "c");
}

TEST(TradeJob, ARegisterRepeatingTheSamePageEndsThePaging) {
    const std::string card = kBase + "/backend/biddings/g1";
    auto reg = FakeRegister::Create([&](const std::string& url) -> Reply {
        if (url.find("/lots?") != std::string::npos)
            return {200, LotsPage(50)};
        return {200, "{}"};
    });
    const auto worker = RunJob(reg, "g1");
    EXPECT_EQ(worker->result, 1);
    EXPECT_EQ(reg->CallsTo(card + "/lots?offset=50&limit=50"), 1);
    EXPECT_EQ(reg->CallsTo(card + "/lots?offset=100&limit=50"), 0);
    EXPECT_TRUE(worker->moreLots.empty());
}

// A trade is whole only when every one of its requests succeeded.
struct PartialCase {
    const char* failing;  // the address tail that fails
    Reply reply;
    std::vector<std::string> made;  // address tails requested, in order
    std::string status;
};

void PrintTo(const PartialCase& c, std::ostream* os) {
    *os << "failing " << (*c.failing ? c.failing : "card");
}

class PartialTradeTest : public testing::TestWithParam<PartialCase> {};

TEST_P(PartialTradeTest, FailsWithTheFirstFailedRequestAndMakesNoMore) {
    const std::string card = kBase + "/backend/biddings/g1";
    const auto& c = GetParam();
    auto reg = FakeRegister::Create([&](const std::string& url) -> Reply {
        if (url == card + c.failing)
            return c.reply;
        if (url.find("/lots?") != std::string::npos)
            return {200, LotsPage(2)};
        return {200, "{}"};
    });
    const auto worker = RunJob(reg, "g1");
    std::vector<std::string> expected;
    for (const auto& tail : c.made)
        expected.push_back(card + tail);
    EXPECT_EQ(reg->Calls(), expected);
    EXPECT_EQ(worker->result, -1);
    EXPECT_EQ(worker->statusText, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, PartialTradeTest,
    testing::Values(PartialCase{"", {404, ""}, {""}, "ERROR HTTP/1.1 404 Not Found"},
                    PartialCase{"/lots?offset=0&limit=50",
                                {404, ""},
                                {"", "/lots?offset=0&limit=50"},
                                "ERROR HTTP/1.1 404 Not Found"},
                    PartialCase{"/additional",
                                {200, ""},
                                {"", "/lots?offset=0&limit=50", "/additional", "/additional",
                                 "/additional", "/additional", "/additional", "/additional",
                                 "/additional", "/additional", "/additional", "/additional"},
                                "ERROR_Empty response1 for g1"}));

TEST(Worker, TerminatedWhileARequestRunsMakesNoFurtherAttemptAndStillMovesItself) {
    auto reg = FakeRegister::Create([](const std::string&) { return Reply{500, ""}; });
    reg->Hold();
    auto lists = std::make_shared<WorkerLists>(std::make_shared<std::mutex>());
    auto worker = std::make_shared<TScrapingThread2>(WorkerSettingsFor(reg, kBase));
    worker->url = "g1";
    worker->Lists = lists;
    {
        std::lock_guard lock(*lists->WorkerListLock);
        lists->RunningList.push_back(worker);
    }
    worker->Start();
    ASSERT_TRUE(reg->WaitForActive(1, 30s));
    worker->Terminate();
    reg->Release();
    worker->Join();
    EXPECT_EQ(reg->Calls().size(), 1u);
    std::lock_guard lock(*lists->WorkerListLock);
    EXPECT_TRUE(lists->RunningList.empty());
    EXPECT_EQ(lists->FinishedList.size(), 1u);
}

// A worker its phase no longer collects keeps its lists alive on its own, ends cleanly after
// the phase has let go of them, and is joined by the owner it was handed to.
TEST(Worker, OutlivesItsPhaseWithoutUseAfterReleaseAndIsJoinedByItsOwner) {
    auto reg = FakeRegister::Create([](const std::string&) { return Reply{200, "{}"}; });
    reg->Hold();
    std::weak_ptr<WorkerLists> watched;
    WorkerOwner owner;
    {
        auto lists = std::make_shared<WorkerLists>(std::make_shared<std::mutex>());
        watched = lists;
        for (int k = 0; k < 3; ++k) {
            auto worker = std::make_shared<TScrapingThread2>(WorkerSettingsFor(reg, kBase));
            worker->url = "g" + std::to_string(k);
            worker->Lists = lists;
            std::lock_guard lock(*lists->WorkerListLock);
            lists->RunningList.push_back(worker);
        }
        for (auto& w : lists->RunningList)
            w->Start();
        ASSERT_TRUE(reg->WaitForActive(3, 30s));
        std::lock_guard lock(*lists->WorkerListLock);
        for (auto& w : lists->RunningList)
            owner.Adopt(w);
    }
    EXPECT_FALSE(watched.expired()) << "the running workers hold the lists";
    EXPECT_FALSE(owner.WaitAll(0ms)) << "the owner keeps the running workers";
    reg->Release();
    ASSERT_TRUE(owner.WaitAll(30s)) << "every worker ended and was joined";
    EXPECT_TRUE(watched.expired()) << "the last worker released the lists";
    EXPECT_EQ(reg->Calls().size(), 9u) << "each worker fetched its whole card";
}

}  // namespace
}  // namespace korvalot::fetch
