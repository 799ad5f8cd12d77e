#include "watch/Watch.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "crawl/SearchQueries.h"
#include "watch/WatchError.h"

namespace korvalot::watch {
namespace {

using nlohmann::json;
using Day = std::chrono::year_month_day;

std::optional<Day> ParseDay(const std::string& text) {
    int y = 0;
    unsigned m = 0;
    unsigned d = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &y, &m, &d, &tail) != 3)
        return std::nullopt;
    const Day day{std::chrono::year(y), std::chrono::month(m), std::chrono::day(d)};
    if (!day.ok())
        return std::nullopt;
    return day;
}

void PutDay(json& object, const char* key, const std::optional<Day>& day) {
    if (day)
        object[key] = crawl::FormatIsoDate(*day);
}

void PutList(json& object, const char* key, const std::vector<std::string>& items) {
    if (!items.empty())
        object[key] = items;
}

void PutNumber(json& object, const char* key, const std::optional<double>& value) {
    if (value)
        object[key] = *value;
}

}  // namespace

std::string FilterJson(const store::TradeFilter& filter) {
    json object = json::object();
    PutList(object, "regions", filter.regionCodes);
    PutList(object, "types", filter.tradeTypes);
    PutDay(object, "from", filter.from);
    PutDay(object, "to", filter.to);
    PutDay(object, "announcedFrom", filter.announcedFrom);
    PutDay(object, "announcedTo", filter.announcedTo);
    PutNumber(object, "startPriceFrom", filter.startPriceFrom);
    PutNumber(object, "startPriceTo", filter.startPriceTo);
    PutNumber(object, "currentPriceFrom", filter.currentPriceFrom);
    PutNumber(object, "currentPriceTo", filter.currentPriceTo);
    PutList(object, "words", filter.words);
    PutDay(object, "changedSince", filter.changedSince);
    PutDay(object, "newSince", filter.newSince);
    // Open outcomes are judged on the day of each check, never on a day kept with the watch.
    if (filter.openOnly) {
        object["openOnly"] = true;
        object["openDays"] = filter.openDays;
    }
    return object.dump();
}

store::TradeFilter FilterFromJson(const std::string& text) {
    const auto fail = [&]() -> store::TradeFilter {
        throw WatchError("фильтр наблюдения не прочитан: " + text);
    };
    const json object = json::parse(text, nullptr, false);
    if (!object.is_object())
        return fail();
    store::TradeFilter filter;
    try {
        const auto list = [&](const char* key, std::vector<std::string>& items) {
            if (object.contains(key))
                items = object.at(key).get<std::vector<std::string>>();
        };
        const auto day = [&](const char* key, std::optional<Day>& out) {
            if (!object.contains(key))
                return;
            out = ParseDay(object.at(key).get<std::string>());
            if (!out)
                fail();
        };
        const auto number = [&](const char* key, std::optional<double>& out) {
            if (object.contains(key))
                out = object.at(key).get<double>();
        };
        list("regions", filter.regionCodes);
        list("types", filter.tradeTypes);
        day("from", filter.from);
        day("to", filter.to);
        day("announcedFrom", filter.announcedFrom);
        day("announcedTo", filter.announcedTo);
        number("startPriceFrom", filter.startPriceFrom);
        number("startPriceTo", filter.startPriceTo);
        number("currentPriceFrom", filter.currentPriceFrom);
        number("currentPriceTo", filter.currentPriceTo);
        list("words", filter.words);
        day("changedSince", filter.changedSince);
        day("newSince", filter.newSince);
        filter.openOnly = object.value("openOnly", false);
        filter.openDays = object.value("openDays", store::kOpenDays);
    } catch (const json::exception&) {
        return fail();
    }
    return filter;
}

std::string JoinedNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ",") + name;
    return text;
}

std::vector<std::string> SplitNames(const std::string& text) {
    std::vector<std::string> names;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find(',', begin), text.size());
        if (end > begin)
            names.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return names;
}

}  // namespace korvalot::watch
