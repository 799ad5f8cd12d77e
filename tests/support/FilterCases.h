#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "store/TradeFilter.h"

// Filters as korvalot-export's arguments and as the TradeFilter they mean, for the tests that
// check that the export and the store browser take the same lots. The values suit a store that a
// harvest of regions 77 and 23 of the register simulator (trades from 2026-06-01 to 2026-06-30)
// made: each case takes some of its lots and leaves others.
namespace korvalot::testing {

struct FilterCase {
    const char* name;
    std::vector<std::string> args;  // korvalot-export's, without --store and --output
    store::TradeFilter filter;
};

// `today`: the day the arguments are read on ("today", --open).
inline std::vector<FilterCase> FilterCases(std::chrono::year_month_day today) {
    using namespace std::chrono;
    const auto day = [](int d) {
        return year_month_day{year(2026), month(6), std::chrono::day(d)};
    };
    std::vector<FilterCase> cases;
    const auto add = [&](const char* name, std::vector<std::string> args, auto&& set) {
        store::TradeFilter filter;
        set(filter);
        cases.push_back({name, std::move(args), std::move(filter)});
    };
    add("region", {"-r", "23"}, [](auto& f) { f.regionCodes = {"23"}; });
    add("type", {"-T", "publicoffer,OpenAuction"}, [](auto& f) {
        f.tradeTypes = {"PublicOffer", "OpenAuction"};
    });
    add("trade dates", {"--from", "2026-06-05", "--to", "2026-06-15"}, [&](auto& f) {
        f.from = day(5);
        f.to = day(15);
    });
    add("words", {"--words", "квартира"}, [](auto& f) { f.words = {"квартира"}; });
    add("words, case and prefix", {"--words", "КВАРТ* кадастровый"}, [](auto& f) {
        f.words = {"КВАРТ*", "кадастровый"};
    });
    add("start price", {"--price-from", "100000", "--price-to", "5000000,5"}, [](auto& f) {
        f.startPriceFrom = 100000;
        f.startPriceTo = 5000000.5;
    });
    add("current price", {"--current-price-from", "1", "--current-price-to", "50000000"},
        [](auto& f) {
            f.currentPriceFrom = 1;
            f.currentPriceTo = 50000000;
        });
    // Long enough after June that every results date counts: the outcome alone decides.
    add("open", {"--open", "--open-days", "3650"}, [&](auto& f) {
        f.openOnly = true;
        f.openDays = 3650;
        f.today = today;
    });
    add("combined",
        {"-r", "77", "--words", "кв*", "--price-to", "900000000", "--open", "--open-days", "3650"},
        [&](auto& f) {
            f.regionCodes = {"77"};
            f.words = {"кв*"};
            f.startPriceTo = 900000000;
            f.openOnly = true;
            f.openDays = 3650;
            f.today = today;
        });
    return cases;
}

}  // namespace korvalot::testing
