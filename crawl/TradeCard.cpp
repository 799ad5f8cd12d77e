#include "crawl/TradeCard.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "crawl/CrawlError.h"
#include "crawl/SearchQueries.h"
#include "json/JsonValue.h"
#include "util/uLib.h"

namespace korvalot::crawl {

namespace {

constexpr std::size_t kDescriptionLimit = 32000;  // UTF-16 code units

std::size_t SequenceLength(unsigned char lead) {
    return lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// The byte offset `characters` characters after `from`, at most the end of the text.
std::size_t Utf8Advance(std::string_view text, std::size_t from, std::size_t characters) {
    std::size_t i = from;
    for (std::size_t k = 0; k < characters && i < text.size(); ++k) {
        i += SequenceLength(static_cast<unsigned char>(text[i]));
    }
    return std::min(i, text.size());
}

std::string ReplaceDots(std::string text, std::string_view separator) {
    if (separator == ".")
        return text;
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '.') {
            out += separator;
        } else {
            out += c;
        }
    }
    return out;
}

// Member text of a member of `parent`; empty when the parent is not an object.
std::string TextOf(const json::JsonValue& parent, std::string_view name) {
    return parent.MemberText(name);
}

// A member is present when the object has it, whatever its value (null included).
bool Present(const json::JsonValue& member) {
    return !member.IsNothing();
}

json::JsonValue ParseBody(const std::string& body) {
    if (body.empty())
        return {};
    return json::Parse(body);
}

}  // namespace

std::string ConvertRegisterDate(std::string_view text) {
    const auto t = text.find('T');
    const std::string_view d = t == std::string_view::npos ? std::string_view{} : text.substr(0, t);
    const auto date = ParseIsoDate(d);
    if (!date)
        throw CrawlError("''" + std::string(d) + "'' is not a valid date");
    char out[16];
    std::snprintf(out, sizeof out, "%02u.%02u.%04d", static_cast<unsigned>(date->day()),
                  static_cast<unsigned>(date->month()), static_cast<int>(date->year()));
    std::string value = out;
    value += ' ';
    // Characters 12 to 16 of the timestamp: its hours and minutes.
    const std::size_t from = Utf8Advance(text, 0, 11);
    value.append(text.substr(from, Utf8Advance(text, from, 5) - from));
    return value;
}

std::string CutLotDescription(std::string text) {
    const std::size_t kept = util::Utf16PrefixBytes(text, kDescriptionLimit);
    if (kept < text.size()) {
        text.resize(kept);
        text += "<cut>";
    }
    return text;
}

std::string IncompleteCardLine(const std::string& guid, const std::vector<std::string>& missing) {
    std::string names;
    for (const std::string& name : missing)
        names += (names.empty() ? "" : ", ") + name;
    return "Карточка " + guid + ": данные неполные (нет " + names +
           "), записана с пустыми полями; в skip.txt не отмечаем";
}

CardRows ExtractCard(const std::string& guid, const std::string& regionName,
                     const CardAnswers& answers, std::string_view decimalSeparator) {
    CardDocuments documents;
    documents.trade = ParseBody(answers.trade);
    documents.lotPages.reserve(answers.lotPages.size());
    for (const auto& page : answers.lotPages)
        documents.lotPages.push_back(ParseBody(page));
    documents.additional = ParseBody(answers.additional);
    return ExtractCard(guid, regionName, documents, decimalSeparator);
}

CardRows ExtractCard(const std::string& guid, const std::string& regionName,
                     const CardDocuments& documents, std::string_view decimalSeparator) {
    CardRows out;
    ResultRow trade;
    trade.guid = guid;
    trade.region = regionName;

    const json::JsonValue& card = documents.trade;
    const std::vector<json::JsonValue>& lotPages = documents.lotPages;
    const json::JsonValue& additional = documents.additional;

    const auto convert = [&](std::string_view text, std::string& column) {
        try {
            column = ConvertRegisterDate(text);
        } catch (const CrawlError& e) {
            out.dateErrors.push_back(e.what());
        }
    };

    const auto missing = [&](const json::JsonValue& from, const char* name) {
        if (!Present(from) || !Present(from.Member(name)))
            out.missing.emplace_back(name);
    };
    missing(card, "message");
    missing(card, "debtor");
    missing(card, "biddingPeriod");
    missing(additional, "courtName");
    if (Present(card)) {
        const json::JsonValue message = card.Member("message");
        if (Present(message)) {
            trade.number = TextOf(message, "number");
            convert(TextOf(message, "datePublish"), trade.datePublish);
        }
        const json::JsonValue debtor = card.Member("debtor");
        if (Present(debtor)) {
            trade.debtorName = TextOf(debtor, "name");
            trade.debtorInn = TextOf(debtor, "inn");
        }
        const json::JsonValue period = card.Member("biddingPeriod");
        if (Present(period))
            convert(TextOf(period, "startDate"), trade.resultsDate);
    }
    if (Present(additional))
        trade.courtName = TextOf(additional, "courtName");

    for (const auto& page : lotPages) {
        if (!Present(page))
            continue;
        const json::JsonValue lots = page.Member("pageData");
        if (!Present(lots))
            continue;
        const json::JsonValue array = lots.AsArray();
        if (!Present(array))
            continue;
        const std::size_t count = array.Length();
        for (std::size_t k = 0; k < count; ++k) {
            const json::JsonValue lot = array.Element(k);
            ResultRow row = trade;
            const json::JsonValue classifiers = lot.Member("classifiers");
            if (Present(classifiers) && Present(classifiers.AsArray())) {
                const std::size_t n = classifiers.Length();
                for (std::size_t c = 0; c < n; ++c) {
                    if (c > 0)
                        row.propertyType += '|';
                    row.propertyType += classifiers.Element(c).Text();
                }
            }
            row.lotDescription = CutLotDescription(TextOf(lot, "tradeObject"));
            row.startPrice = ReplaceDots(TextOf(lot, "startPrice"), decimalSeparator);
            row.currentPrice = ReplaceDots(TextOf(lot, "currentPrice"), decimalSeparator);
            const json::JsonValue winner = lot.Member("winner");
            if (Present(winner)) {
                row.winnerName = TextOf(winner, "name");
                row.winnerInn = TextOf(winner, "inn");
            }
            out.rows.push_back(std::move(row));
        }
    }
    return out;
}

}  // namespace korvalot::crawl
