#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Which stored rows a refresh or an export takes. A member left empty does not restrict.
namespace korvalot::store {

// How long after its results date a trade's outcome counts as open, as korvalot-harvest's
// --refresh-days has it: the register may publish a winner for weeks after the results date.
inline constexpr int kOpenDays = 60;

struct TradeFilter {
    std::vector<std::string> regionCodes;  // leading zeros do not count
    std::vector<std::string> tradeTypes;   // "OpenAuction", ...
    // The trade date the register searches by (the card's "tradeDate"), both ends included:
    // the same trades a harvest of these days asks for.
    std::optional<std::chrono::year_month_day> from;
    std::optional<std::chrono::year_month_day> to;
    // The announcement date ("Дата объявления о торгах"), both ends included.
    std::optional<std::chrono::year_month_day> announcedFrom;
    std::optional<std::chrono::year_month_day> announcedTo;
    // The lot's start price, both ends included.
    std::optional<double> startPriceFrom;
    std::optional<double> startPriceTo;
    // The lot's current price (the results file's "Итоговая цена"), both ends included; a lot
    // without one is not taken.
    std::optional<double> currentPriceFrom;
    std::optional<double> currentPriceTo;
    // Every one of these words stands in the lot's description or the debtor's name, letter
    // case ignored; a word ending in "*" stands for every word it begins.
    std::vector<std::string> words;
    // A value of the row (its trade's or its lot's) changed on this day or later.
    std::optional<std::chrono::year_month_day> changedSince;
    // The lot was first stored on this day or later.
    std::optional<std::chrono::year_month_day> newSince;
    // Only lots whose outcome is still open, by the rule a refresh chooses its trades with: the
    // lot has no current price or no winner, and its trade's results date is missing, in the
    // future, or no more than openDays days before `today` (empty: the local date when the
    // query is made).
    bool openOnly = false;
    int openDays = kOpenDays;
    std::optional<std::chrono::year_month_day> today;

    bool operator==(const TradeFilter&) const = default;
};

// A harvest's selection as a filter: region codes (none: every region), positions of trade
// types in the list, trade dates.
TradeFilter SelectionFilter(const std::vector<std::string>& regionCodes,
                            const std::vector<int>& tradeTypePositions,
                            std::optional<std::chrono::year_month_day> from,
                            std::optional<std::chrono::year_month_day> to);

// A condition in SQL over trades (alias t) and, for the row conditions, lots (alias l), with its
// parameters in order.
struct SqlCondition {
    std::string sql;  // "1" when nothing restricts
    std::vector<std::variant<std::string, double>> parameters;
};

// Regions, trade types, trade dates and announcement dates.
SqlCondition TradeConditions(const TradeFilter& filter);
// All of the filter.
SqlCondition RowConditions(const TradeFilter& filter);

// The full-text query for the words: each one a quoted term, all of them required. Nothing when
// no word holds a letter or a digit.
std::optional<std::string> FullTextQuery(const std::vector<std::string>& words);

}  // namespace korvalot::store
