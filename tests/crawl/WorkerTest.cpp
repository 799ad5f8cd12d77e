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

FetchJob Search(std::string address) {
    return {FetchJob::Kind::Search, std::move(address)};
}
FetchJob Trade(std::string guid) {
    return {FetchJob::Kind::Trade, std::move(guid)};
}

// The result as a number: 1 success, -1 failure, 0 stopped.
int Result(const TScrapingThread2& worker) {
    switch (worker.result.kind) {
        case JobOutcome::Kind::Success:
            return 1;
        case JobOutcome::Kind::Failed:
            return -1;
        case JobOutcome::Kind::Stopped:
            break;
    }
    return 0;
}

// Runs one worker to its move into FinishedList and returns it.
std::shared_ptr<TScrapingThread2> RunJob(const std::shared_ptr<FakeRegister>& reg, FetchJob job) {
    auto lists = std::make_shared<WorkerLists>(std::make_shared<std::mutex>());
    auto worker = std::make_shared<TScrapingThread2>(WorkerSettingsFor(reg, kBase));
    worker->job = std::move(job);
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
// Answers of the shape each step reads.
const std::string kPage = "{\"found\":0,\"pageData\":[]}";
const std::string kCard = "{\"message\":{\"number\":\"N-1\"},\"debtor\":{\"name\":\"d\"}}";
const std::string kAdditional = "{\"courtName\":\"c\"}";

// A trade's card and additional data; the lots are the caller's.
Reply CardOrAdditional(const std::string& url) {
    return {200, url.ends_with("/additional") ? kAdditional : kCard};
}

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
    const auto worker = RunJob(reg, Search(kSearch));
    EXPECT_EQ(reg->CallsTo(kSearch), c.attempts) << c.what;
    EXPECT_EQ(Result(*worker), c.result) << c.what;
    EXPECT_EQ(StatusText(worker->result), c.status) << c.what;
    EXPECT_EQ(worker->html, c.body) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, AttemptsTest,
    testing::Values(
        AttemptCase{"a body at once", {{200, kPage}}, 1, 1, "успешно", kPage},
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
        AttemptCase{
            "a reset, then a body", {{0, ""}, {500, ""}, {200, kPage}}, 3, 1, "успешно", kPage},
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
                     {200, kPage}},
                    10,
                    1,
                    "успешно",
                    kPage},
        // Pages that are no JSON object are no answer: an HTML page, a body cut short.
        AttemptCase{"an HTML page ten times",
                    {{200, "<html>busy</html>"}},
                    10,
                    -1,
                    "ERROR_Invalid JSON response for " + kSearch,
                    "<html>busy</html>"},
        AttemptCase{"a cut body, then the whole",
                    {{200, "{\"found\":3,\"pageData\":[{\"gu"}, {200, "[]"}, {200, kPage}},
                    3,
                    1,
                    "успешно",
                    kPage},
        // An object without its list of trades would pass for a page without trades.
        AttemptCase{"a page without its list ten times",
                    {{200, "{\"found\":\"unknown\",\"pageData\":{\"error\":\"rebuilding\"}}"}},
                    10,
                    -1,
                    "ERROR_Unusable response for " + kSearch,
                    "{\"found\":\"unknown\",\"pageData\":{\"error\":\"rebuilding\"}}"},
        AttemptCase{"a page without its list, then a whole page",
                    {{200, "{\"found\":3}"}, {200, kPage}},
                    2,
                    1,
                    "успешно",
                    kPage}));

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
            return {200, kCard};
        if (url == card + "/lots?offset=0&limit=50")
            return {200, LotsPage(50)};
        if (url == card + "/lots?offset=50&limit=50")
            return {200, LotsPage(50, 50)};
        if (url == card + "/lots?offset=100&limit=50")
            return {200, LotsPage(3, 100)};
        if (url == card + "/additional")
            return {200, kAdditional};
        return {404, ""};
    });
    const auto worker = RunJob(reg, Trade("g1"));
    EXPECT_EQ(Result(*worker), 1);
    EXPECT_EQ(StatusText(worker->result), "успешно");
    EXPECT_EQ(reg->Calls(),
              (std::vector<std::string>{card, card + "/lots?offset=0&limit=50",
                                        card + "/lots?offset=50&limit=50",
                                        card + "/lots?offset=100&limit=50", card + "/additional"}));
    EXPECT_EQ(worker->html, kCard);
    EXPECT_EQ(worker->html2, LotsPage(50));
    EXPECT_EQ(worker->moreLots, (std::vector<std::string>{LotsPage(50, 50), LotsPage(3, 100)}));
    EXPECT_EQ(worker->html3, kAdditional);
    // The parses the worker checked the answers with go along with them, one per answer.
    EXPECT_EQ(worker->htmlDoc.Member("message").MemberText("number"), "N-1");
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
        return CardOrAdditional(url);
    });
    const auto worker = RunJob(reg, Trade("g1"));
    EXPECT_EQ(Result(*worker), 1);
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
        return CardOrAdditional(url);
    });
    const auto worker = RunJob(reg, Trade("g1"));
    std::vector<std::string> expected;
    for (const auto& tail : c.made)
        expected.push_back(card + tail);
    EXPECT_EQ(reg->Calls(), expected);
    EXPECT_EQ(Result(*worker), -1);
    EXPECT_EQ(StatusText(worker->result), c.status);
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

// An answer that parses but holds nothing its step reads is no answer: it is tried again like an
// empty one, and a job whose every attempt gets one fails and is named, instead of passing for a
// page without trades or a card without data.
struct ShapeCase {
    const char* what;
    const char* step;  // "search", or the tail of a trade's address: "", "/lots...", "/additional"
    std::string body;
    bool usable;
};

void PrintTo(const ShapeCase& c, std::ostream* os) {
    *os << c.what;
}

class AnswerShapeTest : public testing::TestWithParam<ShapeCase> {};

TEST_P(AnswerShapeTest, AnAnswerWithoutWhatItsStepReadsIsTriedAgainAndFailsTheJob) {
    const auto& c = GetParam();
    const bool search = std::string(c.step) == "search";
    const std::string card = kBase + "/backend/biddings/g1";
    const std::string address = search ? kSearch : card + c.step;
    auto reg = FakeRegister::Create([&](const std::string& url) -> Reply {
        if (url == address)
            return {200, c.body};
        if (url.find("/lots?") != std::string::npos)
            return {200, LotsPage(2)};
        return CardOrAdditional(url);
    });
    const std::string job = search ? kSearch : "g1";
    const auto worker = RunJob(reg, search ? Search(job) : Trade(job));
    if (c.usable) {
        EXPECT_EQ(reg->CallsTo(address), 1);
        EXPECT_EQ(Result(*worker), 1);
        EXPECT_EQ(StatusText(worker->result), "успешно");
    } else {
        EXPECT_EQ(reg->CallsTo(address), 10);
        EXPECT_EQ(Result(*worker), -1);
        EXPECT_EQ(StatusText(worker->result), "ERROR_Unusable response for " + job);
        // The job stops at the request that failed.
        if (!search && std::string(c.step) != "/additional") {
            EXPECT_EQ(reg->CallsTo(card + "/additional"), 0);
        }
    }
}

const std::string kMalformed = "{\"found\":\"unknown\",\"pageData\":{\"error\":\"rebuilding\"}}";

INSTANTIATE_TEST_SUITE_P(
    Shapes, AnswerShapeTest,
    testing::Values(
        ShapeCase{"search: an empty list", "search", "{\"found\":0,\"pageData\":[]}", true},
        ShapeCase{"search: the list an object", "search", kMalformed, false},
        ShapeCase{"search: the list null", "search", "{\"found\":5,\"pageData\":null}", false},
        ShapeCase{"search: no list", "search", "{\"found\":5}", false},
        ShapeCase{"search: an error object", "search", "{\"status\":500,\"message\":\"x\"}", false},
        ShapeCase{"card: one member, null", "", "{\"message\":null}", true},
        ShapeCase{"card: only the period", "", "{\"biddingPeriod\":{}}", true},
        ShapeCase{"card: none of its members", "", "{\"guid\":\"g1\",\"tradeType\":\"x\"}", false},
        ShapeCase{"card: a page in its place", "", kMalformed, false},
        ShapeCase{"lots: an empty list", "/lots?offset=0&limit=50", "{\"pageData\":[]}", true},
        ShapeCase{"lots: the list an object", "/lots?offset=0&limit=50", kMalformed, false},
        ShapeCase{"lots: no list", "/lots?offset=0&limit=50", "{\"total\":3}", false},
        ShapeCase{"additional: the court null", "/additional", "{\"courtName\":null}", true},
        ShapeCase{"additional: the court blank", "/additional", "{\"courtName\":\"\"}", true},
        ShapeCase{"additional: an empty object", "/additional", "{}", false},
        ShapeCase{"additional: a card in its place", "/additional", kCard, false}));

TEST(Worker, TerminatedWhileARequestRunsMakesNoFurtherAttemptAndStillMovesItself) {
    auto reg = FakeRegister::Create([](const std::string&) { return Reply{500, ""}; });
    reg->Hold();
    auto lists = std::make_shared<WorkerLists>(std::make_shared<std::mutex>());
    auto worker = std::make_shared<TScrapingThread2>(WorkerSettingsFor(reg, kBase));
    worker->job = Trade("g1");
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
    auto reg = FakeRegister::Create([](const std::string& url) {
        return url.find("/lots?") != std::string::npos ? Reply{200, LotsPage(1)}
                                                       : CardOrAdditional(url);
    });
    reg->Hold();
    std::weak_ptr<WorkerLists> watched;
    WorkerOwner owner;
    {
        auto lists = std::make_shared<WorkerLists>(std::make_shared<std::mutex>());
        watched = lists;
        for (int k = 0; k < 3; ++k) {
            auto worker = std::make_shared<TScrapingThread2>(WorkerSettingsFor(reg, kBase));
            worker->job = Trade("g" + std::to_string(k));
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
