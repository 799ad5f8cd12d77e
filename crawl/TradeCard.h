#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "json/JsonValue.h"

// A trade's card answers turned into the rows of the results file, one per lot.
namespace korvalot::crawl {

// The values of one line of the results file. Column 1, the trade card address, is made from
// the guid when the line is written.
struct ResultRow {
    std::string guid;
    std::string region;          // 2  "Регион"
    std::string number;          // 3  "Номер объявления о торгах"
    std::string datePublish;     // 4  "Дата объявления о торгах"
    std::string debtorName;      // 5  "Наименование должника"
    std::string debtorInn;       // 6  "ИНН должника"
    std::string propertyType;    // 7  "Тип имущества"
    std::string lotDescription;  // 8  "Описание лота"
    std::string courtName;       // 9  "Наименование суда"
    std::string startPrice;      // 10 "Начальная цена"
    std::string currentPrice;    // 11 "Итоговая цена"
    std::string resultsDate;     // 12 "Дата объявления результатов"
    std::string winnerName;      // 13 "Победитель наименование"
    std::string winnerInn;       // 14 "Победитель ИНН"

    bool operator==(const ResultRow&) const = default;

    // Columns 2 to 14, in their order.
    std::array<const std::string*, 13> Columns() const {
        return {&region,       &number,         &datePublish, &debtorName, &debtorInn,
                &propertyType, &lotDescription, &courtName,   &startPrice, &currentPrice,
                &resultsDate,  &winnerName,     &winnerInn};
    }
};

// The decoded answers of one trade job.
struct CardAnswers {
    std::string trade;                  // the card
    std::vector<std::string> lotPages;  // the lots, page after page
    std::string additional;             // the additional data
};

// The same answers parsed; nothing where an answer is empty or not JSON.
struct CardDocuments {
    json::JsonValue trade;
    std::vector<json::JsonValue> lotPages;
    json::JsonValue additional;
};

struct CardRows {
    std::vector<ResultRow> rows;          // in lot order
    std::vector<std::string> dateErrors;  // one message per date that could not be read
    // Members the card or its additional data lacked: their columns are blank, and the trade is
    // worth trying again in a later run.
    std::vector<std::string> missing;
};

// The log line of a card written with members missing.
std::string IncompleteCardLine(const std::string& guid, const std::vector<std::string>& missing);

// A date that cannot be read leaves its column empty and is reported in dateErrors; the rows
// are made all the same.
CardRows ExtractCard(const std::string& guid, const std::string& regionName,
                     const CardAnswers& answers, std::string_view decimalSeparator);
CardRows ExtractCard(const std::string& guid, const std::string& regionName,
                     const CardDocuments& documents, std::string_view decimalSeparator);

// "2023-05-10T14:30:00+03:00" -> "10.05.2023 14:30". Raises CrawlError with the message
// "''D'' is not a valid date" when the part before the first "T" is not a date.
std::string ConvertRegisterDate(std::string_view text);

// A description longer than 32000 UTF-16 code units is cut there and gets "<cut>"; a character
// that would be split in two is left out whole.
std::string CutLotDescription(std::string text);

}  // namespace korvalot::crawl
