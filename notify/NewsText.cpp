#include "notify/NewsText.h"

#include <cstdio>

#include "crawl/RegisterAddresses.h"

namespace korvalot::notify {
namespace {

// 1 новость, 2 новости, 5 новостей.
std::string CountOfNews(std::size_t n) {
    const std::size_t lastTwo = n % 100;
    const std::size_t last = n % 10;
    const char* word = "новостей";
    if (lastTwo < 11 || lastTwo > 14) {
        if (last == 1) {
            word = "новость";
        } else if (last >= 2 && last <= 4) {
            word = "новости";
        }
    }
    return std::to_string(n) + " " + word;
}

}  // namespace

std::string KindTitle(NewsKind kind) {
    switch (kind) {
        case NewsKind::NewLot:
            return "новый лот";
        case NewsKind::PriceBelow:
            return "цена ниже порога";
        case NewsKind::PriceDrop:
            return "цена снизилась";
        case NewsKind::OutcomeKnown:
            return "известен итог";
        case NewsKind::ResultsDateChanged:
            return "изменилась дата результатов";
    }
    return "новость";
}

std::string KindKey(NewsKind kind) {
    switch (kind) {
        case NewsKind::NewLot:
            return "new_lot";
        case NewsKind::PriceBelow:
            return "price_below";
        case NewsKind::PriceDrop:
            return "price_drop";
        case NewsKind::OutcomeKnown:
            return "outcome_known";
        case NewsKind::ResultsDateChanged:
            return "results_date_changed";
    }
    return "news";
}

std::string CardAddress(const NewsItem& item) {
    if (!item.cardLink.empty() || item.row.guid.empty()) {
        return item.cardLink;
    }
    return crawl::RegisterAddresses(crawl::ConfiguredRegisterBaseUrl()).CardLink(item.row.guid);
}

std::vector<std::pair<std::string, std::string>> LotFields(const crawl::ResultRow& row) {
    const std::pair<const char*, const std::string*> all[] = {
        {"Регион", &row.region},
        {"Номер объявления о торгах", &row.number},
        {"Дата объявления о торгах", &row.datePublish},
        {"Наименование должника", &row.debtorName},
        {"ИНН должника", &row.debtorInn},
        {"Тип имущества", &row.propertyType},
        {"Описание лота", &row.lotDescription},
        {"Наименование суда", &row.courtName},
        {"Начальная цена", &row.startPrice},
        {"Итоговая цена", &row.currentPrice},
        {"Дата объявления результатов", &row.resultsDate},
        {"Победитель наименование", &row.winnerName},
        {"Победитель ИНН", &row.winnerInn},
    };
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [label, value] : all) {
        if (!value->empty()) {
            fields.emplace_back(label, *value);
        }
    }
    return fields;
}

std::string EntryTitle(const NewsItem& item) {
    std::string title = KindTitle(item.kind);
    if (!item.row.debtorName.empty()) {
        title += ": " + item.row.debtorName;
    }
    if (!item.row.number.empty()) {
        title += ", торги № " + item.row.number;
    }
    return title;
}

std::string ChangeText(const NewsItem& item) {
    if (!item.oldValue && !item.newValue) {
        return {};
    }
    std::string text =
        "было " + (item.oldValue && !item.oldValue->empty() ? *item.oldValue : std::string("—"));
    text +=
        ", стало " + (item.newValue && !item.newValue->empty() ? *item.newValue : std::string("—"));
    return text;
}

std::string Headline(const WatchNews& news) {
    return "Наблюдение «" + news.watchName + "»: " + CountOfNews(news.items.size());
}

std::string PlainEntry(const NewsItem& item) {
    std::string text = EntryTitle(item);
    for (const auto& [label, value] : LotFields(item.row)) {
        text += "\n" + label + ": " + value;
    }
    const std::string change = ChangeText(item);
    if (!change.empty()) {
        text += "\nИзменение: " + change;
    }
    const std::string card = CardAddress(item);
    if (!card.empty()) {
        text += "\nКарточка: " + card;
    }
    return text;
}

std::string PlainText(const WatchNews& news) {
    std::string text = Headline(news) + "\n";
    for (const NewsItem& item : news.items) {
        text += "\n" + PlainEntry(item) + "\n";
    }
    return text;
}

std::string TestText(const std::string& watchName, const std::string& channelName) {
    return "Проверка канала «" + channelName + "» наблюдения «" + watchName +
           "»: сообщения korvalot доходят сюда.";
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
                    out += buffer;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string Redact(std::string text, std::string_view secret) {
    if (secret.empty()) {
        return text;
    }
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + 3)) {
        text.replace(at, secret.size(), "***");
    }
    return text;
}

std::string FirstLine(std::string_view text, std::size_t limit) {
    std::string line(text.substr(0, text.find_first_of("\r\n")));
    if (line.size() > limit) {
        std::size_t cut = limit;
        // Never in the middle of a UTF-8 character.
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        line = line.substr(0, cut) + "…";
    }
    return line;
}

}  // namespace korvalot::notify
