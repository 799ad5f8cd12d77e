#include "store/TradeFilter.h"

#include "crawl/SearchQueries.h"
#include "store/Schema.h"
#include "store/Words.h"
#include "util/Platform.h"

namespace korvalot::store {
namespace {

std::string DayAfter(std::chrono::year_month_day date) {
    return crawl::FormatIsoDate(
        std::chrono::year_month_day{std::chrono::sys_days(date) + std::chrono::days(1)});
}

void And(SqlCondition& condition, std::string_view sql) {
    if (!condition.sql.empty())
        condition.sql += " AND ";
    condition.sql += sql;
}

void InList(SqlCondition& condition, std::string_view column,
            const std::vector<std::string>& values) {
    std::string sql = std::string(column) + " IN (";
    for (std::size_t k = 0; k < values.size(); ++k) {
        sql += k == 0 ? "?" : ", ?";
        condition.parameters.emplace_back(values[k]);
    }
    And(condition, sql + ")");
}

void Finish(SqlCondition& condition) {
    // Appended, not assigned: GCC 12 under -fsanitize=thread warns falsely (-Wrestrict) about
    // assigning a literal to the empty text.
    if (condition.sql.empty())
        condition.sql.push_back('1');
}

bool HoldsWordCharacter(std::string_view word) {
    for (const char c : word) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            return true;
    }
    return false;
}

}  // namespace

TradeFilter SelectionFilter(const std::vector<std::string>& regionCodes,
                            const std::vector<int>& tradeTypePositions,
                            std::optional<std::chrono::year_month_day> from,
                            std::optional<std::chrono::year_month_day> to) {
    TradeFilter filter;
    filter.regionCodes = regionCodes;
    for (const int position : tradeTypePositions) {
        if (position >= 0 && position < static_cast<int>(crawl::kTradeTypeCodes.size()))
            filter.tradeTypes.emplace_back(crawl::kTradeTypeCodes[position]);
    }
    // All six types is no restriction: a trade whose card named no type is taken too.
    if (filter.tradeTypes.size() == crawl::kTradeTypeCodes.size())
        filter.tradeTypes.clear();
    filter.from = from;
    filter.to = to;
    return filter;
}

SqlCondition TradeConditions(const TradeFilter& filter) {
    SqlCondition condition;
    if (!filter.regionCodes.empty()) {
        std::vector<std::string> codes;
        for (const std::string& code : filter.regionCodes)
            codes.push_back(crawl::NormalRegionCode(code));
        InList(condition, "t.region_code", codes);
    }
    if (!filter.tradeTypes.empty())
        InList(condition, "t.trade_type", filter.tradeTypes);
    const auto between = [&](std::string_view column,
                             const std::optional<std::chrono::year_month_day>& from,
                             const std::optional<std::chrono::year_month_day>& to) {
        if (from) {
            And(condition, std::string(column) + " >= ?");
            condition.parameters.emplace_back(crawl::FormatIsoDate(*from));
        }
        if (to) {
            And(condition, std::string(column) + " < ?");
            condition.parameters.emplace_back(DayAfter(*to));
        }
    };
    between("t.trade_date_iso", filter.from, filter.to);
    between("t.date_publish_iso", filter.announcedFrom, filter.announcedTo);
    Finish(condition);
    return condition;
}

SqlCondition RowConditions(const TradeFilter& filter) {
    SqlCondition condition = TradeConditions(filter);
    if (condition.sql == "1")
        condition.sql.clear();
    if (filter.startPriceFrom) {
        And(condition, "l.start_price_value >= ?");
        condition.parameters.emplace_back(*filter.startPriceFrom);
    }
    if (filter.startPriceTo) {
        And(condition, "l.start_price_value <= ?");
        condition.parameters.emplace_back(*filter.startPriceTo);
    }
    if (filter.currentPriceFrom) {
        And(condition, "l.final_price_value >= ?");
        condition.parameters.emplace_back(*filter.currentPriceFrom);
    }
    if (filter.currentPriceTo) {
        And(condition, "l.final_price_value <= ?");
        condition.parameters.emplace_back(*filter.currentPriceTo);
    }
    if (filter.openOnly) {
        // The rule TradeStore::OpenTrades chooses a refresh's trades by, for each lot.
        And(condition,
            "(l.final_price_value IS NULL OR (l.winner_name = '' AND l.winner_inn = '')) AND "
            "(t.results_date_iso IS NULL OR t.results_date_iso >= ?)");
        const std::chrono::year_month_day today = filter.today ? *filter.today : util::LocalToday();
        condition.parameters.emplace_back(crawl::FormatIsoDate(std::chrono::year_month_day{
            std::chrono::sys_days(today) - std::chrono::days(filter.openDays)}));
    }
    if (!filter.words.empty()) {
        if (const auto query = FullTextQuery(filter.words)) {
            // The index holds the trades up to words_indexed.up_to; the later ones (stored by a
            // harvest that has not ended yet) are matched one by one, as the index would.
            // One list of lot ids, so that the lots are looked up by id rather than all read.
            And(condition,
                "l.id IN (SELECT rowid FROM lot_words WHERE lot_words MATCH ? UNION ALL "
                "SELECT w.id FROM lots w JOIN trades wt ON wt.id = w.trade_id WHERE w.id >= "
                "(SELECT (up_to + 1) * " +
                    std::to_string(kLotsPerTrade) +
                    " FROM words_indexed) AND korvalot_words(?, w.description, wt.debtor_name))");
            condition.parameters.emplace_back(*query);
            condition.parameters.emplace_back(*query);
        } else {
            // Words without a letter or a digit are in no text.
            And(condition, "0");
        }
    }
    if (filter.newSince) {
        And(condition, "l.first_seen >= ?");
        condition.parameters.emplace_back(crawl::FormatIsoDate(*filter.newSince));
    }
    if (filter.changedSince) {
        And(condition, "(t.last_changed >= ? OR l.last_changed >= ?)");
        const std::string since = crawl::FormatIsoDate(*filter.changedSince);
        condition.parameters.emplace_back(since);
        condition.parameters.emplace_back(since);
    }
    Finish(condition);
    return condition;
}

std::optional<std::string> FullTextQuery(const std::vector<std::string>& words) {
    std::string query;
    for (const std::string& given : words) {
        // The index holds ё as е; letter case it folds itself.
        std::string word = FoldYo(given);
        bool prefix = false;
        while (!word.empty() && word.back() == '*') {
            prefix = true;
            word.pop_back();
        }
        if (!HoldsWordCharacter(word))
            continue;
        if (!query.empty())
            query += ' ';
        // A double quote inside a term is written twice.
        query += '"';
        for (const char c : word) {
            query += c;
            if (c == '"')
                query += '"';
        }
        query += '"';
        if (prefix)
            query += " *";
    }
    if (query.empty())
        return std::nullopt;
    return query;
}

}  // namespace korvalot::store
