#pragma once

#include <array>
#include <string>
#include <utility>

#include "crawl/TradeCard.h"
#include "store/Database.h"

// The results file's fourteen columns of a stored lot (trades t joined with lots l), selected
// under the store's names and read back by them: one list for every reader of rows.
namespace korvalot::store {

// The select list of the fourteen texts, "t.guid AS guid, ..., l.winner_inn AS winner_inn".
inline constexpr const char* kRowTextColumns =
    "t.guid AS guid, t.region AS region, t.number AS number, t.date_publish AS date_publish, "
    "t.debtor_name AS debtor_name, t.debtor_inn AS debtor_inn, "
    "l.property_type AS property_type, l.description AS description, "
    "t.court_name AS court_name, l.start_price AS start_price, l.final_price AS final_price, "
    "t.results_date AS results_date, l.winner_name AS winner_name, l.winner_inn AS winner_inn";

// Finds the fourteen columns of a statement that selects kRowTextColumns once, then reads each
// row's texts into a crawl::ResultRow.
class RowTextColumns {
public:
    explicit RowTextColumns(const Statement& statement) {
        for (std::size_t k = 0; k < kColumns.size(); ++k)
            indexes_[k] = statement.ColumnIndex(kColumns[k].first);
    }

    void Read(const Statement& statement, crawl::ResultRow& row) const {
        for (std::size_t k = 0; k < kColumns.size(); ++k)
            row.*kColumns[k].second = statement.Text(indexes_[k]);
    }

private:
    using Text = std::string crawl::ResultRow::*;
    static constexpr std::array<std::pair<const char*, Text>, 14> kColumns = {{
        {"guid", &crawl::ResultRow::guid},
        {"region", &crawl::ResultRow::region},
        {"number", &crawl::ResultRow::number},
        {"date_publish", &crawl::ResultRow::datePublish},
        {"debtor_name", &crawl::ResultRow::debtorName},
        {"debtor_inn", &crawl::ResultRow::debtorInn},
        {"property_type", &crawl::ResultRow::propertyType},
        {"description", &crawl::ResultRow::lotDescription},
        {"court_name", &crawl::ResultRow::courtName},
        {"start_price", &crawl::ResultRow::startPrice},
        {"final_price", &crawl::ResultRow::currentPrice},
        {"results_date", &crawl::ResultRow::resultsDate},
        {"winner_name", &crawl::ResultRow::winnerName},
        {"winner_inn", &crawl::ResultRow::winnerInn},
    }};
    std::array<int, kColumns.size()> indexes_{};
};

}  // namespace korvalot::store
