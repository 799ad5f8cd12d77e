#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crawl/CrawlError.h"
#include "crawl/TradeCard.h"

namespace korvalot::crawl {
namespace {

using Columns = std::vector<std::string>;  // columns 2 to 14

Columns ColumnsOf(const ResultRow& r) {
    return {r.region,       r.number,         r.datePublish, r.debtorName, r.debtorInn,
            r.propertyType, r.lotDescription, r.courtName,   r.startPrice, r.currentPrice,
            r.resultsDate,  r.winnerName,     r.winnerInn};
}

const std::string kCard =
    R"({"message":{"number":"11-ОТ","datePublish":"2023-05-10T14:30:00+03:00"},)"
    R"("debtor":{"name":"ООО \"Ромашка\"","inn":"7701000001"},)"
    R"("biddingPeriod":{"startDate":"2023-06-01T09:05:00"}})";
const std::string kAdditional = R"({"courtName":"АС города Москвы"})";

std::string LotsPage(const std::vector<std::string>& lots) {
    std::string page = R"({"total":)" + std::to_string(lots.size()) + R"(,"pageData":[)";
    for (std::size_t k = 0; k < lots.size(); ++k)
        page += (k ? "," : "") + lots[k];
    return page + "]}";
}

std::string Lot(const std::string& object, const std::string& extra = "") {
    return R"({"tradeObject":")" + object + R"(","startPrice":"100.50","currentPrice":null)" +
           extra + "}";
}

// The trade values every row of the standard card carries, then a lot's own values.
Columns TradeRow(const std::string& type, const std::string& object, const std::string& start,
                 const std::string& current, const std::string& winnerName = "",
                 const std::string& winnerInn = "") {
    return {"Москва",
            "11-ОТ",
            "10.05.2023 14:30",
            "ООО \"Ромашка\"",
            "7701000001",
            type,
            object,
            "АС города Москвы",
            start,
            current,
            "01.06.2023 09:05",
            winnerName,
            winnerInn};
}

struct CardCase {
    const char* what;
    std::string card;
    std::vector<std::string> lotPages;
    std::string additional;
    std::string separator;
    std::vector<Columns> rows;
    std::vector<std::string> dateErrors;
};

class CardExtractionTest : public testing::TestWithParam<CardCase> {};

TEST_P(CardExtractionTest, OneRowPerLotWithTheTradeValuesRepeated) {
    const auto& c = GetParam();
    const CardRows out =
        ExtractCard("guid-1", "Москва", CardAnswers{c.card, c.lotPages, c.additional}, c.separator);
    std::vector<Columns> rows;
    for (const auto& row : out.rows) {
        EXPECT_EQ(row.guid, "guid-1");
        rows.push_back(ColumnsOf(row));
    }
    EXPECT_EQ(rows, c.rows) << c.what;
    EXPECT_EQ(out.dateErrors, c.dateErrors) << c.what;
}

std::vector<std::string> ManyLots(int from, int count) {
    std::vector<std::string> lots;
    for (int k = from; k < from + count; ++k)
        lots.push_back(Lot("lot " + std::to_string(k)));
    return lots;
}

std::vector<Columns> ManyRows(int count) {
    std::vector<Columns> rows;
    for (int k = 0; k < count; ++k)
        rows.push_back(TradeRow("", "lot " + std::to_string(k), "100,50", "null"));
    return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Cards, CardExtractionTest,
    testing::Values(
        CardCase{
            "three lots in page order",
            kCard,
            {LotsPage({Lot("a", R"(,"classifiers":["s1","s2","s3"])"),
                       Lot("b", R"(,"classifiers":["один"],"winner":{"name":"ИП","inn":"5001"})"),
                       Lot("c", R"(,"classifiers":[{"code":"1"},2],"winner":null)")})},
            kAdditional,
            ",",
            {TradeRow("s1|s2|s3", "a", "100,50", "null"),
             TradeRow("один", "b", "100,50", "null", "ИП", "5001"),
             TradeRow(R"({"code":"1"}|2)", "c", "100,50", "null")},
            {}},
        CardCase{
            "every lot over several pages",
            kCard,
            {LotsPage(ManyLots(0, 50)), LotsPage(ManyLots(50, 50)), LotsPage(ManyLots(100, 20))},
            kAdditional,
            ",",
            ManyRows(120),
            {}},
        CardCase{"empty lots page", kCard, {LotsPage({})}, kAdditional, ",", {}, {}},
        CardCase{
            "lots answer without pageData", kCard, {R"({"total":0})"}, kAdditional, ",", {}, {}},
        CardCase{"lots answer not JSON", kCard, {"<html>busy</html>"}, kAdditional, ",", {}, {}},
        CardCase{
            "pageData not an array", kCard, {R"({"pageData":{"a":1}})"}, kAdditional, ",", {}, {}},
        CardCase{"no lots answer", kCard, {""}, kAdditional, ",", {}, {}},
        CardCase{
            "empty classifiers, a dot separator keeps prices",
            kCard,
            {LotsPage(
                {R"({"classifiers":[],"tradeObject":"x","startPrice":"1234.56","currentPrice":"7.5"})"})},
            kAdditional,
            ".",
            {TradeRow("", "x", "1234.56", "7.5")},
            {}},
        CardCase{"card and additional answers not JSON: trade columns stay empty",
                 "<html>",
                 {LotsPage({Lot("x")})},
                 "",
                 ",",
                 {{"Москва", "", "", "", "", "", "x", "", "100,50", "null", "", "", ""}},
                 {}},
        // A date that cannot be read empties its column only and is reported.
        CardCase{
            "publication date without a time part",
            R"({"message":{"number":"7","datePublish":"2023-05-10"},"biddingPeriod":{"startDate":"2023-06-01T"}})",
            {LotsPage({Lot("x")})},
            "",
            ",",
            {{"Москва", "7", "", "", "", "", "x", "", "100,50", "null", "01.06.2023 ", "", ""}},
            {"'''' is not a valid date"}},
        CardCase{"message without a date, null period date",
                 R"({"message":{"number":"7"},"biddingPeriod":{"startDate":null}})",
                 {LotsPage({Lot("x")})},
                 "",
                 ",",
                 {{"Москва", "7", "", "", "", "", "x", "", "100,50", "null", "", "", ""}},
                 {"'''' is not a valid date", "'''' is not a valid date"}},
        CardCase{"a null message is present: its date is tried",
                 R"({"message":null,"debtor":null})",
                 {LotsPage({Lot("x")})},
                 "",
                 ",",
                 {{"Москва", "", "", "", "", "", "x", "", "100,50", "null", "", "", ""}},
                 {"'''' is not a valid date"}},
        CardCase{"an impossible calendar date",
                 R"({"message":{"datePublish":"2023-02-30T10:00:00"}})",
                 {LotsPage({Lot("x")})},
                 "",
                 ",",
                 {{"Москва", "", "", "", "", "", "x", "", "100,50", "null", "", "", ""}},
                 {"''2023-02-30'' is not a valid date"}}));

struct CutCase {
    const char* what;
    std::string text;
    std::string expected;
};

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int k = 0; k < times; ++k)
        out += piece;
    return out;
}

const std::string kSmile = "\xF0\x9F\x98\x80";  // two UTF-16 code units

class DescriptionCutTest : public testing::TestWithParam<CutCase> {};

TEST_P(DescriptionCutTest, CutsAt32000Utf16UnitsNeverInsideACharacter) {
    EXPECT_EQ(CutLotDescription(GetParam().text), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DescriptionCutTest,
    testing::Values(CutCase{"exactly 32000", Repeat("a", 32000), Repeat("a", 32000)},
                    CutCase{"one more", Repeat("a", 32001), Repeat("a", 32000) + "<cut>"},
                    CutCase{"Cyrillic counts one unit each", Repeat("ж", 32001),
                            Repeat("ж", 32000) + "<cut>"},
                    CutCase{"a pair that fits ends the text", Repeat("a", 31998) + kSmile,
                            Repeat("a", 31998) + kSmile},
                    CutCase{"a pair across the limit is left out whole",
                            Repeat("a", 31999) + kSmile, Repeat("a", 31999) + "<cut>"},
                    CutCase{"pairs only", Repeat(kSmile, 16001), Repeat(kSmile, 16000) + "<cut>"}));

TEST(RegisterDate, DayMonthYearThenHoursAndMinutes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"2023-05-10T14:30:00+03:00", "10.05.2023 14:30"},
        {"2023-05-10T", "10.05.2023 "},
        {"2023-05-10T1", "10.05.2023 1"},
        {"2023-5-1T08:15:00", "01.05.2023 :15:0"}};
    for (const auto& [text, value] : cases)
        EXPECT_EQ(ConvertRegisterDate(text), value) << text;
    for (const std::string bad : {"", "null", "2023-05-10", "T10:00", "abc T"}) {
        EXPECT_THROW(ConvertRegisterDate(bad), CrawlError) << bad;
    }
}

}  // namespace
}  // namespace korvalot::crawl
