#pragma once

#include <string>

#include "notify/News.h"

// News as a watch hands them to the channels, with Cyrillic values and markup characters.
namespace korvalot::testing {

inline notify::NewsItem SampleItem(int n, notify::NewsKind kind = notify::NewsKind::NewLot,
                                   std::string description = {}) {
    notify::NewsItem item;
    item.kind = kind;
    item.lotId = 100 + n;
    item.runId = 7;
    item.when = "2024-05-07T09:30:0" + std::to_string(n % 10);
    item.row.guid = "guid-" + std::to_string(n);
    item.cardLink = "https://register.example/biddings/guid-" + std::to_string(n);
    item.row.region = "Москва";
    item.row.number = "1" + std::to_string(1000 + n);
    item.row.debtorName = "ООО «Ромашка & Сыновья» №" + std::to_string(n);
    item.row.debtorInn = "7701234567";
    item.row.lotDescription = description.empty() ? "Квартира <3 комнаты>, 74 м²" : description;
    item.row.startPrice = "1 500 000,00";
    item.row.currentPrice = "1 200 000,00";
    if (kind == notify::NewsKind::PriceDrop) {
        item.oldValue = "1 500 000,00";
        item.newValue = "1 200 000,00";
    }
    return item;
}

inline notify::WatchNews SampleNews(int items, int first = 1) {
    notify::WatchNews news;
    news.watchId = 3;
    news.watchName = "Квартиры в Москве";
    for (int i = first; i < first + items; ++i) {
        news.items.push_back(
            SampleItem(i, i % 2 == 0 ? notify::NewsKind::PriceDrop : notify::NewsKind::NewLot));
    }
    news.upTo = 40 + first + items;
    return news;
}

}  // namespace korvalot::testing
