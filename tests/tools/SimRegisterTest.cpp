#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/register-sim/SimContent.h"
#include "tools/register-sim/SimData.h"
#include "tools/register-sim/SimDate.h"
#include "tools/register-sim/SimRegister.h"

namespace korvalot::tools {
namespace {

using nlohmann::json;

constexpr const char* kBase = "https://127.0.0.1:4443";

SimRequest Get(std::string target, SimHeaders headers = {}) {
    SimRequest request;
    request.target = std::move(target);
    request.headers = std::move(headers);
    return request;
}

json Body(const SimAnswer& answer) {
    return json::parse(answer.body);
}

std::set<std::string> Guids(const json& page) {
    std::set<std::string> out;
    for (const json& trade : page.at("pageData")) {
        out.insert(trade.at("guid").get<std::string>());
    }
    return out;
}

std::string Search(std::string_view region, std::string_view type, std::string_view from,
                   std::string_view to) {
    return "/backend/biddings?limit=50&offset=0&tradeType=" + std::string(type) +
           "&regionCode=" + std::string(region) + "&tradeStartDate=" + std::string(from) +
           "T00%3A00%3A00&tradeEndDate=" + std::string(to) + "T23%3A59%3A59";
}

class SimSearch : public ::testing::Test {
protected:
    static SimTrade Trade(std::string guid, std::string_view region, std::uint8_t type,
                          std::string_view day, std::vector<SimPrice> lots) {
        static const SimData regions = SimData::FromTrades({});
        SimTrade t;
        t.guid = std::move(guid);
        t.region = *regions.RegionIndex(region);
        t.type = type;
        t.day = *ParseDate(day);
        t.minute = 600;
        t.lots = std::move(lots);
        t.debtor = {"ООО \"Тест\"", "5001007329", false};
        t.messageNumber = "10000001";
        return t;
    }
    static SimPrice Rub(std::int64_t kopecks) { return {kopecks, PriceForm::Decimal}; }

    SimSearch()
        : reg_(std::make_shared<SimData>(SimData::FromTrades({
                   Trade("a0000000-0000-4000-8000-000000000001", "77", 0, "2026-01-10",
                         {Rub(10000050)}),
                   Trade("a0000000-0000-4000-8000-000000000002", "77", 0, "2026-01-10",
                         {Rub(10000000)}),
                   Trade("a0000000-0000-4000-8000-000000000003", "77", 0, "2026-01-11",
                         {Rub(10000100)}),
                   Trade("a0000000-0000-4000-8000-000000000004", "77", 0, "2026-01-31",
                         {{0, PriceForm::Null}, Rub(500000)}),
                   Trade("a0000000-0000-4000-8000-000000000005", "50", 2, "2026-01-01", {}),
                   Trade("a0000000-0000-4000-8000-000000000006", "01", 0, "2026-02-01",
                         {Rub(9999999), Rub(20000000)}),
               })),
               SimRegisterOptions{}) {}

    std::set<std::string> Found(const std::string& target) {
        const SimAnswer answer = reg_.Handle(Get(target));
        EXPECT_EQ(answer.status, 200) << target << "\n" << answer.body;
        const json page = Body(answer);
        EXPECT_EQ(page.at("found").get<std::size_t>(), page.at("pageData").size()) << target;
        return Guids(page);
    }

    SimRegister reg_;
};

std::set<std::string> Ids(std::initializer_list<int> ids) {
    std::set<std::string> out;
    for (int id : ids) {
        out.insert("a0000000-0000-4000-8000-00000000000" + std::to_string(id));
    }
    return out;
}

TEST_F(SimSearch, FiltersByTypeRegionWholeDaysAndLotPrice) {
    struct Case {
        std::string target;
        std::set<std::string> expected;
    };
    const std::string jan = Search("77", "OpenAuction", "2026-01-01", "2026-01-31");
    const std::string tenth = Search("77", "OpenAuction", "2026-01-10", "2026-01-11");
    const Case cases[] = {
        {jan, Ids({1, 2, 3, 4})},
        // both ends of the range are whole days
        {Search("77", "OpenAuction", "2026-01-31", "2026-01-31"), Ids({4})},
        {Search("77", "OpenAuction", "2026-01-11", "2026-01-30"), Ids({3})},
        {Search("77", "OpenAuction", "2026-01-01", "2026-01-09"), Ids({})},
        // 100000.50 lies within [100000, 100001] but within neither neighbour
        {tenth + "&lotStartPrice=100000&lotFinishPrice=100001", Ids({1, 2, 3})},
        {tenth + "&lotStartPrice=0&lotFinishPrice=100000", Ids({2})},
        {tenth + "&lotStartPrice=100001&lotFinishPrice=200000", Ids({3})},
        // a null price matches no range; one priced lot of several is enough
        {jan + "&lotStartPrice=0&lotFinishPrice=5000", Ids({4})},
        {Search("1", "OpenAuction", "2026-02-01", "2026-02-01") +
             "&lotStartPrice=150000&lotFinishPrice=1000000000000",
         Ids({6})},
        // a trade without lots is found by dates but by no price range
        {Search("50", "PublicOffer", "2026-01-01", "2026-01-01"), Ids({5})},
        {Search("50", "PublicOffer", "2026-01-01", "2026-01-01") +
             "&lotStartPrice=0&lotFinishPrice=1000000000000",
         Ids({})},
        {Search("01", "OpenAuction", "2026-01-01", "2026-12-31"), Ids({6})},
        {Search("77", "PublicOffer", "2026-01-01", "2026-12-31"), Ids({})},
        {Search("77", "NoSuchType", "2026-01-01", "2026-12-31"), Ids({})},
        // of a key given twice the later value counts
        {Search("50", "OpenAuction", "2026-01-01", "2026-01-31") + "&regionCode=77",
         Ids({1, 2, 3, 4})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Found(c.target), c.expected) << c.target;
    }
}

TEST_F(SimSearch, MalformedQueriesGetAnErrorAnswer) {
    for (const std::string& target : {
             Search("77", "OpenAuction", "2026-02-30", "2026-03-01"),
             Search("77", "OpenAuction", "2026-01-01", "yesterday"),
             Search("77", "OpenAuction", "2026-01-01", "2026-01-31") + "&lotStartPrice=1e5",
             std::string("/backend/biddings?limit=0&offset=0"),
             std::string("/backend/biddings?limit=50&offset=-50"),
         }) {
        const SimAnswer answer = reg_.Handle(Get(target));
        EXPECT_EQ(answer.status, 400) << target;
        EXPECT_TRUE(Body(answer).contains("message")) << target;
    }
}

TEST(SimPaging, PagesAreStableAndCappedAtOneThousand) {
    std::vector<SimTrade> trades;
    for (int i = 0; i < 1234; ++i) {
        SimTrade t;
        t.guid = MakeGuid(static_cast<std::uint64_t>(i) * 7919, static_cast<std::uint64_t>(i));
        t.region = 0;
        t.type = 0;
        t.day = *ParseDate("2026-03-03");
        t.minute =
            600 + i % 5;  // many trades share their time: the order must not depend on it alone
        t.lots = {{100000, PriceForm::Decimal}};
        trades.push_back(std::move(t));
    }
    SimRegister reg(std::make_shared<SimData>(SimData::FromTrades(std::move(trades))), {});
    const std::string first = Search("01", "OpenAuction", "2026-03-03", "2026-03-03");
    auto page = [&](int offset) {
        return reg.Handle(Get(first + "&offset=" + std::to_string(offset)));
    };

    std::vector<std::string> seen;
    for (int offset = 0; offset < 1000; offset += 50) {
        const json body = Body(page(offset));
        EXPECT_EQ(body.at("found"), 1234);
        ASSERT_EQ(body.at("pageData").size(), 50u);
        for (const json& t : body.at("pageData")) {
            seen.push_back(t.at("guid"));
        }
    }
    std::set<std::string> distinct(seen.begin(), seen.end());
    EXPECT_EQ(distinct.size(), 1000u);
    EXPECT_EQ(Body(page(50)).at("pageData"), Body(page(50)).at("pageData"));
    EXPECT_EQ(Body(page(999)).at("pageData").at(0).at("guid"), seen.back());

    for (int offset : {1000, 1050, 5000}) {
        EXPECT_EQ(page(offset).status, 400) << offset;
    }
    EXPECT_NE(reg.StatsJson().find("\"pagingCapErrors\":3"), std::string::npos);
}

TEST(SimCards, AnswersHaveTheMembersTheHarvesterReads) {
    const auto data = std::make_shared<SimData>(SimData::Generate(SimDataOptions{300, 21}));
    SimRegister reg(data, {});
    int checkedLots = 0;
    for (const SimTrade& trade : data->Trades()) {
        std::string upper = trade.guid;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        const json card = Body(reg.Handle(Get("/backend/biddings/" + upper)));
        EXPECT_EQ(card.at("guid"), trade.guid);
        const std::string published = card.at("message").at("datePublish");
        ASSERT_GE(published.size(), 17u);
        EXPECT_EQ(published[10], 'T');
        EXPECT_TRUE(ParseDate(published.substr(0, 10))) << published;
        EXPECT_TRUE(card.at("message").at("number").is_string());
        EXPECT_TRUE(InnIsValid(card.at("debtor").at("inn").get<std::string>()));
        EXPECT_FALSE(card.at("debtor").at("name").get<std::string>().empty());
        // the day of the trade, as the register's search and the truth give it
        EXPECT_EQ(card.at("biddingPeriod").at("startDate").get<std::string>().substr(0, 11),
                  FormatDate(trade.day) + "T");

        const json additional =
            Body(reg.Handle(Get("/backend/biddings/" + trade.guid + "/additional")));
        EXPECT_EQ(additional.at("courtName"), data->Regions()[trade.region].courtName);

        std::vector<json> lots;
        for (std::size_t offset = 0; offset == 0 || offset < trade.lots.size(); offset += 50) {
            const json page =
                Body(reg.Handle(Get("/backend/biddings/" + trade.guid +
                                    "/lots?offset=" + std::to_string(offset) + "&limit=50")));
            EXPECT_EQ(page.at("found"), trade.lots.size());
            EXPECT_LE(page.at("pageData").size(), 50u);
            lots.insert(lots.end(), page.at("pageData").begin(), page.at("pageData").end());
        }
        ASSERT_EQ(lots.size(), trade.lots.size()) << trade.guid;
        for (std::size_t i = 0; i < lots.size(); ++i) {
            const json& lot = lots[i];
            EXPECT_EQ(lot.at("lotNumber"), i + 1);
            EXPECT_TRUE(lot.at("tradeObject").is_string());
            EXPECT_TRUE(!lot.contains("classifiers") || lot.at("classifiers").is_array());
            EXPECT_TRUE(lot.contains("currentPrice"));
            const json& price = lot.at("startPrice");
            if (price.is_null()) {
                EXPECT_TRUE(trade.lots[i].IsNull());
            } else {
                const std::string text =
                    price.is_string() ? price.get<std::string>() : price.dump();
                EXPECT_EQ(ParseKopecks(text), trade.lots[i].kopecks) << text;
            }
            if (lot.contains("winner") && !lot.at("winner").is_null()) {
                EXPECT_TRUE(InnIsValid(lot.at("winner").at("inn").get<std::string>()));
            }
            ++checkedLots;
        }
    }
    EXPECT_GT(checkedLots, 300);
}

TEST(SimCards, UnknownTradesAndPathsAreNotFound) {
    const auto data = std::make_shared<SimData>(SimData::Generate(SimDataOptions{20, 2}));
    SimRegister reg(data, {});
    const std::string guid = data->Trades()[0].guid;
    for (const std::string& target :
         {std::string("/backend/biddings/00000000-0000-4000-8000-000000000000"),
          "/backend/biddings/" + guid + "/winners", "/backend/biddings/" + guid.substr(1),
          std::string("/backend/unknown"), std::string("/")}) {
        EXPECT_EQ(reg.Handle(Get(target)).status, 404) << target;
    }
}

TEST(SimRegions, DirectoryListsEverySubjectWithItsCode) {
    SimRegister reg(std::make_shared<SimData>(SimData::FromTrades({})), {});
    const json regions = Body(reg.Handle(Get("/backend/reference-book/regions")));
    ASSERT_TRUE(regions.is_array());
    EXPECT_EQ(regions.size(), RegionTable().size());
    std::set<std::string> codes;
    int numeric = 0;
    bool yakutia = false;
    for (const json& r : regions) {
        const json& code = r.at("code");
        numeric += code.is_number();
        codes.insert(code.is_number() ? std::to_string(code.get<int>()) : code.get<std::string>());
        yakutia |= r.at("description") == "Республика Саха (Якутия)" && code == "14";
    }
    EXPECT_EQ(codes.size(), regions.size());
    EXPECT_GT(numeric, 0);
    EXPECT_LT(numeric, static_cast<int>(regions.size()));
    EXPECT_TRUE(yakutia);
}

TEST(SimTruth, ListsTheSameTradesAsTheSearch) {
    const auto data = std::make_shared<SimData>(SimData::Generate(SimDataOptions{3000, 8}));
    SimRegister reg(data, {});
    const json truth = Body(reg.Handle(Get(
        "/sim/truth?regions=77,50&types=OpenAuction,PublicOffer&from=2026-02-01&to=2026-02-28")));
    std::set<std::string> fromTruth;
    for (const json& t : truth) {
        fromTruth.insert(t.at("guid"));
        const SimTrade* trade = data->FindTrade(t.at("guid").get<std::string>());
        ASSERT_NE(trade, nullptr);
        EXPECT_EQ(t.at("lots"), trade->lots.size());
        EXPECT_EQ(t.at("tradeDate"), FormatDate(trade->day));
    }
    std::set<std::string> fromSearch;
    for (const char* region : {"77", "50"}) {
        for (const char* type : {"OpenAuction", "PublicOffer"}) {
            const std::string first = Search(region, type, "2026-02-01", "2026-02-28");
            const json head = Body(reg.Handle(Get(first)));
            for (std::size_t offset = 0; offset < head.at("found").get<std::size_t>();
                 offset += 50) {
                const auto page =
                    Guids(Body(reg.Handle(Get(first + "&offset=" + std::to_string(offset)))));
                fromSearch.insert(page.begin(), page.end());
            }
        }
    }
    EXPECT_GT(fromTruth.size(), 20u);
    EXPECT_EQ(fromTruth, fromSearch);
    EXPECT_EQ(reg.Handle(Get("/sim/truth?from=2026-02-31")).status, 400);
}

// A simulator with a later today is the same register some days on: the trades of the days in
// between have held their bidding, every other trade shows what it showed.
TEST(SimTruth, ALaterTodayMovesOnTheTradesInBetweenOnly) {
    SimDataOptions options{600, 5, ParseDate("2026-06-01").value(),
                           ParseDate("2026-06-30").value()};
    options.today = ParseDate("2026-06-10").value();
    const auto before = std::make_shared<SimData>(SimData::Generate(options));
    options.today = ParseDate("2026-06-20").value();
    const auto after = std::make_shared<SimData>(SimData::Generate(options));
    SimRegister then(before, {}), now(after, {});
    const json truthThen = Body(then.Handle(Get("/sim/truth?outcomes=1")));
    const json truthNow = Body(now.Handle(Get("/sim/truth?outcomes=1")));
    ASSERT_EQ(truthThen.size(), truthNow.size());

    int movedOn = 0, gainedWinner = 0;
    for (std::size_t i = 0; i < truthThen.size(); ++i) {
        const json& a = truthThen[i];
        const json& b = truthNow[i];
        ASSERT_EQ(a.at("guid"), b.at("guid"));
        const std::string day = a.at("tradeDate");
        const bool between = day >= "2026-06-10" && day < "2026-06-20";
        if (!between) {
            EXPECT_EQ(a.at("lotOutcomes"), b.at("lotOutcomes")) << a.at("guid") << " " << day;
            continue;
        }
        movedOn += a.at("lotOutcomes") != b.at("lotOutcomes");
        for (std::size_t k = 0; k < a.at("lotOutcomes").size(); ++k) {
            EXPECT_TRUE(a.at("lotOutcomes")[k].at("winnerName").is_null()) << "not held before";
            gainedWinner += !b.at("lotOutcomes")[k].at("winnerName").is_null();
        }
        const std::string card = "/backend/biddings/" + a.at("guid").get<std::string>();
        EXPECT_EQ(Body(then.Handle(Get(card))).at("status"), "Announced");
        EXPECT_EQ(Body(now.Handle(Get(card))).at("status"), "Completed");
    }
    EXPECT_GT(movedOn, 5);
    EXPECT_GT(gainedWinner, 5);

    // The truth says what the lots answer shows.
    for (std::size_t i = 0; i < truthNow.size(); i += 7) {
        const json& t = truthNow[i];
        const json lots = Body(now.Handle(Get(
            "/backend/biddings/" + t.at("guid").get<std::string>() + "/lots?offset=0&limit=50")));
        const json& outcomes = t.at("lotOutcomes");
        ASSERT_EQ(lots.at("pageData").size(), std::min<std::size_t>(outcomes.size(), 50));
        for (std::size_t k = 0; k < lots.at("pageData").size(); ++k) {
            const json& lot = lots.at("pageData")[k];
            EXPECT_EQ(lot.at("currentPrice"), outcomes[k].at("currentPrice"));
            const json winner = lot.value("winner", json());
            EXPECT_EQ(winner.is_null() ? json() : winner.at("name"), outcomes[k].at("winnerName"));
            EXPECT_EQ(winner.is_null() ? json() : winner.at("inn"), outcomes[k].at("winnerInn"));
        }
    }
}

TEST(SimFaultPlan, DecisionsDependOnSeedAddressAndAttemptOnly) {
    SimFaultOptions options;
    options.seed = 5;
    options.rate = 0.2;
    const SimFaultPlan plan(options);
    const SimFaultPlan same(options);
    options.seed = 6;
    const SimFaultPlan other(options);
    int faults = 0, differences = 0;
    std::set<FaultKind> kinds;
    for (int i = 0; i < 5000; ++i) {
        const std::string address = "/backend/biddings/" + std::to_string(i);
        const FaultKind kind = plan.Decide(address, static_cast<std::uint32_t>(i % 3));
        EXPECT_EQ(kind, same.Decide(address, static_cast<std::uint32_t>(i % 3)));
        differences += kind != other.Decide(address, static_cast<std::uint32_t>(i % 3));
        faults += kind != FaultKind::None;
        kinds.insert(kind);
    }
    EXPECT_NEAR(faults, 1000, 150);
    EXPECT_GT(differences, 500);
    EXPECT_EQ(kinds.size(), std::size(kAllFaultKinds) + 1);
}

TEST(SimFaultPlan, FailFirstAndChosenKinds) {
    SimFaultOptions options;
    options.failFirst = 3;
    options.kinds = {FaultKind::Empty, FaultKind::Reset};
    const SimFaultPlan plan(options);
    for (int i = 0; i < 200; ++i) {
        const std::string address = "/a" + std::to_string(i);
        for (std::uint32_t attempt = 0; attempt < 6; ++attempt) {
            const FaultKind kind = plan.Decide(address, attempt);
            if (attempt < 3) {
                EXPECT_TRUE(kind == FaultKind::Empty || kind == FaultKind::Reset);
            } else {
                EXPECT_EQ(kind, FaultKind::None);
            }
        }
    }
}

// Two clients asking in different orders meet the same faults at each address.
TEST(SimFaultRegister, OutcomesDoNotDependOnInterleaving) {
    const auto data = std::make_shared<SimData>(SimData::Generate(SimDataOptions{50, 3}));
    SimRegisterOptions options;
    options.faults.seed = 3;
    options.faults.rate = 0.5;
    SimRegister a(data, options);
    SimRegister b(data, options);
    std::vector<std::string> targets;
    for (int i = 0; i < 20; ++i) {
        targets.push_back("/backend/biddings/" + data->Trades()[static_cast<std::size_t>(i)].guid);
    }
    std::map<std::string, std::vector<FaultKind>> seenA, seenB;
    for (int round = 0; round < 4; ++round) {
        for (const std::string& t : targets) {
            seenA[t].push_back(a.Handle(Get(t)).fault);
        }
    }
    for (auto it = targets.rbegin(); it != targets.rend(); ++it) {
        for (int round = 0; round < 4; ++round) {
            seenB[*it].push_back(b.Handle(Get(*it)).fault);
        }
    }
    EXPECT_EQ(seenA, seenB);
}

TEST(SimFaultRegister, CountsAddressesFailedTenTimesInARow) {
    const auto data = std::make_shared<SimData>(SimData::Generate(SimDataOptions{20, 3}));
    struct Case {
        std::uint32_t failFirst;
        int requests;
        int expected;
    };
    for (const Case& c : {Case{10, 11, 1}, Case{9, 12, 0}, Case{12, 10, 1}}) {
        SimRegisterOptions options;
        options.faults.failFirst = c.failFirst;
        SimRegister reg(data, options);
        const std::string target =
            "/backend/biddings/" + data->Trades()[0].guid + "/lots?offset=0&limit=50";
        for (int i = 0; i < c.requests; ++i) {
            const SimAnswer answer = reg.Handle(Get(target));
            EXPECT_EQ(answer.fault != FaultKind::None, static_cast<std::uint32_t>(i) < c.failFirst);
        }
        // the directory is never made to fail
        EXPECT_EQ(reg.Handle(Get("/backend/reference-book/regions")).fault, FaultKind::None);
        const json stats = Body(reg.Handle(Get("/sim/stats")));
        EXPECT_EQ(stats.at("failedTenTimes"), c.expected) << c.failFirst;
        EXPECT_EQ(stats.at("faultsTotal"), std::min<int>(c.failFirst, c.requests));
    }
}

TEST(SimAccess, StrictHeadersAndClientCertificate) {
    const auto data = std::make_shared<SimData>(SimData::Generate(SimDataOptions{20, 3}));
    SimRegisterOptions options;
    options.strictHeaders = true;
    options.requireClientCert = true;
    SimRegister reg(data, options);
    reg.SetBaseUrl(kBase);
    const std::string referer = std::string(kBase) + "/biddings";
    const std::string agent(kExpectedUserAgent);
    struct Case {
        SimHeaders headers;
        int status;
    };
    const Case cases[] = {
        {{{"Referer", referer}, {"User-Agent", agent}}, 200},
        {{{"referer", referer}, {"user-agent", agent}}, 200},
        {{{"User-Agent", agent}}, 403},
        {{{"Referer", referer}}, 403},
        {{{"Referer", referer + "/"}, {"User-Agent", agent}}, 403},
        {{{"Referer", referer}, {"User-Agent", "curl/7.88"}}, 403},
    };
    const std::string search = Search("77", "OpenAuction", "2026-01-01", "2026-06-30");
    for (const Case& c : cases) {
        EXPECT_EQ(reg.Handle(Get(search, c.headers)).status, c.status);
    }
    SimRequest directory = Get("/backend/reference-book/regions", cases[0].headers);
    EXPECT_EQ(reg.Handle(directory).status, 403);
    directory.clientCertificate = true;
    EXPECT_EQ(reg.Handle(directory).status, 200);
}

}  // namespace
}  // namespace korvalot::tools
