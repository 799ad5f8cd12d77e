#include <algorithm>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/register-sim/SimContent.h"
#include "tools/register-sim/SimData.h"
#include "tools/register-sim/SimDate.h"
#include "tools/register-sim/SimRegister.h"

namespace korvalot::tools {
namespace {

using nlohmann::json;

SimRequest Get(std::string target) {
    SimRequest request;
    request.target = std::move(target);
    return request;
}

TEST(SimInn, CheckDigitsFollowTheTaxRules) {
    // check digits worked out by hand from the weights of the rules
    struct Case {
        const char* inn;
        bool valid;
    };
    const Case cases[] = {
        {"5001007329", true},    {"5001007328", false},   {"500100732964", true},
        {"500100732965", false}, {"500100732954", false}, {"50010073296", false},
        {"500100732", false},    {"50010O7329", false},   {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(InnIsValid(c.inn), c.valid) << c.inn;
    }
}

TEST(SimInn, MadeNumbersCarryTheRegionAndValidCheckDigits) {
    SimRng rng(42);
    for (int i = 0; i < 500; ++i) {
        const std::string company = MakeInn(rng, "16", false);
        const std::string person = MakeInn(rng, "16", true);
        ASSERT_EQ(company.size(), 10u);
        ASSERT_EQ(person.size(), 12u);
        EXPECT_TRUE(InnIsValid(company)) << company;
        EXPECT_TRUE(InnIsValid(person)) << person;
        EXPECT_EQ(company.substr(0, 2), "16");
    }
}

TEST(SimDates, CalendarRoundTripsAndRejectsImpossibleDays) {
    EXPECT_EQ(ParseDate("2026-01-01"), 20454);
    EXPECT_EQ(FormatDate(20634), "2026-06-30");
    EXPECT_EQ(WeekDay(20454), 4);  // a Thursday
    EXPECT_EQ(ParseDate("2028-02-29"), DaysFromCivil(2028, 2, 29));
    for (const char* bad :
         {"2026-02-29", "2026-13-01", "2026-1-01", "2026-01-01T", "", "abcd-ef-gh"}) {
        EXPECT_FALSE(ParseDate(bad)) << bad;
    }
}

TEST(SimCourts, CourtNamesUseTheGenitiveOfTheRegion) {
    struct Case {
        const char* code;
        const char* description;
        const char* court;
    };
    const Case cases[] = {
        {"77", "г. Москва", "Арбитражный суд города Москвы"},
        {"50", "Московская область", "Арбитражный суд Московской области"},
        {"23", "Краснодарский край", "Арбитражный суд Краснодарского края"},
        {"14", "Республика Саха (Якутия)", "Арбитражный суд Республики Саха (Якутия)"},
        {"18", "Удмуртская Республика", "Арбитражный суд Удмуртской Республики"},
        {"86", "Ханты-Мансийский автономный округ - Югра",
         "Арбитражный суд Ханты-Мансийского автономного округа"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CourtNameFor(c.code, c.description), c.court);
    }
}

// Everything a client can see of a data set, for comparing two of them.
std::string Fingerprint(const SimData& data) {
    SimRegister reg(std::make_shared<SimData>(data), {});
    std::string out = reg.TruthJson({});
    for (std::size_t i = 0; i < data.Trades().size(); i += 97) {
        const std::string& guid = data.Trades()[i].guid;
        for (const char* tail : {"", "/lots?offset=0&limit=50", "/additional"}) {
            out += reg.Handle(Get("/backend/biddings/" + guid + tail)).body;
        }
    }
    return out;
}

TEST(SimDataSet, SameSeedSameRegisterOtherSeedOtherRegister) {
    const SimDataOptions options{3000, 11};
    const std::string first = Fingerprint(SimData::Generate(options));
    EXPECT_EQ(first, Fingerprint(SimData::Generate(options)));
    SimDataOptions other = options;
    other.seed = 12;
    EXPECT_NE(first, Fingerprint(SimData::Generate(other)));
}

struct Coverage {
    std::size_t trades = 0;
    std::set<std::size_t> lotCounts;
    std::set<std::size_t> descriptionLengths;
    std::map<PriceForm, int> priceForms;
    int quotedDescriptions = 0, semicolons = 0, lineBreaks = 0;
    int classifierStrings = 0, classifierObjects = 0, classifierEmpty = 0, classifierMissing = 0;
    int winners = 0, nullWinners = 0, missingWinners = 0, nullCurrentPrices = 0;
    int personDebtors = 0, companyDebtors = 0;
    bool regionOutsideRange = false;
};

Coverage Survey(const SimData& data, std::int32_t from, std::int32_t to) {
    Coverage c;
    c.trades = data.Trades().size();
    for (const SimTrade& trade : data.Trades()) {
        c.lotCounts.insert(trade.lots.size());
        c.regionOutsideRange |= trade.day < from || trade.day > to;
        EXPECT_TRUE(InnIsValid(trade.debtor.inn)) << trade.debtor.inn;
        (trade.debtor.person ? c.personDebtors : c.companyDebtors)++;
        for (std::size_t i = 0; i < trade.lots.size(); ++i) {
            const SimLot lot = data.Lot(trade, i);
            c.priceForms[lot.startPrice.form]++;
            const std::size_t length = Utf8Length(lot.tradeObject);
            if (length >= 31999) {
                c.descriptionLengths.insert(length);
            }
            c.quotedDescriptions += lot.tradeObject.find('"') != std::string::npos;
            c.semicolons += lot.tradeObject.find(';') != std::string::npos;
            c.lineBreaks += lot.tradeObject.find('\n') != std::string::npos;
            if (lot.classifiersJson.empty()) {
                c.classifierMissing++;
            } else {
                const json classifiers = json::parse(lot.classifiersJson);
                EXPECT_TRUE(classifiers.is_array());
                if (classifiers.empty()) {
                    c.classifierEmpty++;
                } else if (classifiers[0].is_object()) {
                    c.classifierObjects++;
                } else {
                    c.classifierStrings++;
                }
            }
            if (lot.winner) {
                c.winners++;
                EXPECT_TRUE(InnIsValid(lot.winner->inn)) << lot.winner->inn;
            } else {
                (lot.winnerMember ? c.nullWinners : c.missingWinners)++;
            }
            c.nullCurrentPrices += lot.currentPrice.IsNull();
        }
    }
    return c;
}

class SimDataShapes : public ::testing::TestWithParam<SimDataOptions> {};

// Small data sets included, every shape a harvester has to cope with is served.
TEST_P(SimDataShapes, HoldEveryShapeTheHarvesterMeets) {
    const SimDataOptions options = GetParam();
    const Coverage c = Survey(SimData::Generate(options), options.fromDay, options.toDay);
    EXPECT_EQ(c.trades, options.trades);
    EXPECT_FALSE(c.regionOutsideRange);
    EXPECT_TRUE(c.lotCounts.count(0));
    EXPECT_TRUE(c.lotCounts.count(1));
    EXPECT_TRUE(std::any_of(c.lotCounts.begin(), c.lotCounts.end(),
                            [](auto n) { return n > 1 && n <= 50; }));
    EXPECT_TRUE(std::any_of(c.lotCounts.begin(), c.lotCounts.end(), [](auto n) { return n > 50; }));
    EXPECT_TRUE(c.descriptionLengths.count(32000));
    EXPECT_TRUE(c.descriptionLengths.count(32001));
    EXPECT_TRUE(std::any_of(c.descriptionLengths.begin(), c.descriptionLengths.end(),
                            [](auto n) { return n > 32001; }));
    for (PriceForm form :
         {PriceForm::Decimal, PriceForm::Integer, PriceForm::Text, PriceForm::Null}) {
        EXPECT_GT(c.priceForms.count(form), 0u) << static_cast<int>(form);
    }
    EXPECT_GT(c.quotedDescriptions, 0);
    EXPECT_GT(c.semicolons, 0);
    EXPECT_GT(c.lineBreaks, 0);
    EXPECT_GT(c.classifierStrings, 0);
    EXPECT_GT(c.classifierObjects, 0);
    EXPECT_GT(c.classifierEmpty, 0);
    EXPECT_GT(c.classifierMissing, 0);
    EXPECT_GT(c.winners, 0);
    EXPECT_GT(c.nullWinners, 0);
    EXPECT_GT(c.missingWinners, 0);
    EXPECT_GT(c.nullCurrentPrices, 0);
    EXPECT_GT(c.personDebtors, 0);
    EXPECT_GT(c.companyDebtors, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SimDataShapes,
                         ::testing::Values(SimDataOptions{200, 5}, SimDataOptions{20000, 1},
                                           SimDataOptions{2500, 9, 20500, 20510}),
                         [](const auto& info) {
                             return "Trades" + std::to_string(info.param.trades) + "Days" +
                                    std::to_string(info.param.toDay - info.param.fromDay + 1);
                         });

// A harvest-sized set crowds one region and type onto a few days with more trades than one
// query pages through, priced so that cutting by price gets each part below the limit.
TEST(SimDataSet, CrowdedDaysForceDateAndPriceSplits) {
    const SimData data = SimData::Generate(SimDataOptions{20000, 1});
    SimFilter filter;
    filter.regionCodes = std::vector<std::string>{"77"};
    filter.tradeTypes = std::vector<std::string>{"OpenAuction"};
    std::map<std::int32_t, std::size_t> perDay;
    for (std::uint32_t i : data.Select(filter)) {
        perDay[data.Trades()[i].day]++;
    }
    int crowded = 0;
    for (const auto& [day, count] : perDay) {
        if (count < 1000) {
            continue;
        }
        ++crowded;
        EXPECT_LE(count, 3000u) << FormatDate(day);
        SimFilter oneDay = filter;
        oneDay.fromDay = oneDay.toDay = day;
        int nearBounds = 0;
        for (std::uint32_t i : data.Select(oneDay)) {
            const SimTrade& trade = data.Trades()[i];
            // The crowded trades themselves are all reachable by price; an ordinary trade that
            // falls on the day may not be (the README says so).
            if (!trade.hot)
                continue;
            ASSERT_FALSE(trade.lots.empty());
            for (const SimPrice& p : trade.lots) {
                ASSERT_FALSE(p.IsNull());
                // between two whole rubles next to a multiple of 100000 rubles
                nearBounds += p.kopecks % 10000000 > 0 && p.kopecks % 10000000 < 100;
            }
        }
        EXPECT_GT(nearBounds, 5) << FormatDate(day);
        // cutting by price gets below the limit long before a part is too narrow to cut
        std::map<std::int64_t, std::set<std::uint32_t>> perBand;
        for (std::uint32_t i : data.Select(oneDay)) {
            for (const SimPrice& p : data.Trades()[i].lots) {
                perBand[p.kopecks / (100 * 100)].insert(i);
            }
        }
        for (const auto& [band, members] : perBand) {
            EXPECT_LT(members.size(), 1000u) << band;
        }
    }
    EXPECT_GE(crowded, 2);
}

// Trades without a priced lot, put on every crowded day on request: half on the day's first
// page, half past its thousandth trade.
TEST(SimDataSet, UnpricedTradesOnCrowdedDaysAsAsked) {
    SimDataOptions options{6000, 11};
    options.unpricedPerCrowdedDay = 4;
    const SimData data = SimData::Generate(options);
    std::map<std::int32_t, std::vector<const SimTrade*>> perDay;  // in the register's order
    for (const SimTrade& trade : data.Trades()) {
        if (trade.hot)
            perDay[trade.day].push_back(&trade);
    }
    ASSERT_FALSE(perDay.empty());
    for (const auto& [day, trades] : perDay) {
        std::vector<std::size_t> positions;
        int withoutLots = 0;
        for (std::size_t k = 0; k < trades.size(); ++k) {
            const auto& lots = trades[k]->lots;
            if (std::none_of(lots.begin(), lots.end(),
                             [](const SimPrice& p) { return !p.IsNull(); })) {
                positions.push_back(k);
                withoutLots += lots.empty();
            }
        }
        ASSERT_GT(trades.size(), 1002u) << FormatDate(day);
        EXPECT_EQ(positions, (std::vector<std::size_t>{0, 1, trades.size() - 2, trades.size() - 1}))
            << FormatDate(day);
        EXPECT_EQ(withoutLots, 2) << FormatDate(day);
    }
    // The option changes those trades only.
    const SimData plain = SimData::Generate(SimDataOptions{6000, 11});
    std::size_t changed = 0;
    for (const SimTrade& trade : plain.Trades()) {
        const SimTrade* same = data.FindTrade(trade.guid);
        ASSERT_NE(same, nullptr);
        changed += same->minute != trade.minute || same->lots.size() != trade.lots.size() ||
                   !std::equal(trade.lots.begin(), trade.lots.end(), same->lots.begin(),
                               [](const SimPrice& a, const SimPrice& b) {
                                   return a.kopecks == b.kopecks && a.form == b.form;
                               });
    }
    EXPECT_EQ(changed, 4 * perDay.size());
}

}  // namespace
}  // namespace korvalot::tools
