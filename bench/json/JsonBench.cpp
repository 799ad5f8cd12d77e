// Reading register answers: korvalot's reader against nlohmann::json and RapidJSON, each
// building its document from the same bytes and reading the members the crawl reads.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <nlohmann/json.hpp>

#include "json/JsonValue.h"

namespace {

const char* const kWords[] = {"земельный",
                              "участок",
                              "кадастровый",
                              "номер",
                              "площадь",
                              "кв.",
                              "м,",
                              "категория",
                              "земель",
                              "населённых",
                              "пунктов",
                              "жилой",
                              "дом",
                              "адрес:",
                              "Московская",
                              "обл.,",
                              "ул.",
                              "Полевая,",
                              "д.",
                              "7;",
                              "автомобиль",
                              "2005",
                              "г.в.,",
                              "VIN",
                              "право",
                              "требования",
                              "к",
                              "ООО",
                              "\\\"Ромашка\\\"",
                              "на",
                              "сумму",
                              "1 500 000",
                              "руб.",
                              "(залог)",
                              "обременение:",
                              "\\r\\n",
                              "договор",
                              "№12\\/2019",
                              "от",
                              "10.05.2023",
                              "и",
                              "нежилое",
                              "помещение",
                              "этаж",
                              "1,",
                              "оборудование",
                              "станок",
                              "токарный",
                              "16К20,"};

class Writer {
public:
    explicit Writer(unsigned seed) : random_(seed) {}

    std::string Words(int count) {
        std::string s;
        for (int i = 0; i < count; ++i) {
            if (i > 0)
                s += ' ';
            s += kWords[random_() % (sizeof kWords / sizeof kWords[0])];
        }
        return s;
    }
    std::string Digits(int count) {
        std::string s;
        for (int i = 0; i < count; ++i)
            s += static_cast<char>('0' + random_() % 10);
        return s;
    }
    std::string Guid() {
        static const char kHex[] = "0123456789abcdef";
        std::string s;
        for (int i = 0; i < 32; ++i) {
            if (i == 8 || i == 12 || i == 16 || i == 20)
                s += '-';
            s += kHex[random_() % 16];
        }
        return s;
    }
    std::string Price() { return std::to_string(1000 + random_() % 10000000) + "." + Digits(2); }
    unsigned Next(unsigned n) { return random_() % n; }

private:
    std::mt19937 random_;
};

// A first search page: the total and 50 trades as the register lists them.
std::string SearchAnswer() {
    Writer w(1);
    std::string s = "{\"found\":937,\"pageData\":[";
    for (int i = 0; i < 50; ++i) {
        if (i > 0)
            s += ',';
        s += "{\"guid\":\"" + w.Guid() + "\",\"number\":\"" + w.Digits(5) +
             "-ОАОФ\",\"tradeType\":\"PublicOffer\",\"status\":\"Active\",\"datePublish\":"
             "\"2023-05-10T14:30:00+03:00\",\"tradePlace\":{\"name\":\"ООО \\\"Электронная "
             "площадка\\\"\",\"site\":\"https:\\/\\/etp.example\\/\"},\"debtor\":{\"name\":\"" +
             w.Words(3) + "\",\"inn\":\"" + w.Digits(10) +
             "\",\"type\":\"Company\",\"region\":{\"code\":\"77\",\"name\":\"г. Москва\"}},"
             "\"arbitrManager\":{\"name\":\"" +
             w.Words(3) + "\",\"inn\":\"" + w.Digits(12) +
             "\"},\"lotCount\":" + std::to_string(1 + w.Next(9)) + ",\"startPrice\":" + w.Price() +
             ",\"isAnnulled\":false,\"annulmentDate\":null}";
    }
    return s + "]}";
}

// A trade's lots: 50 lots whose descriptions run to a few kilobytes.
std::string LotsAnswer() {
    Writer w(2);
    std::string s = "{\"found\":50,\"pageData\":[";
    for (int i = 0; i < 50; ++i) {
        if (i > 0)
            s += ',';
        s += "{\"lotNumber\":" + std::to_string(i + 1) +
             ",\"classifiers\":[\"Недвижимость\",\"Земельные участки\"],\"tradeObject\":\"" +
             w.Words(150 + static_cast<int>(w.Next(300))) + "\",\"startPrice\":" + w.Price() +
             ",\"currentPrice\":" + (w.Next(3) == 0 ? std::string("null") : w.Price()) +
             ",\"stepValue\":5.0,\"deposit\":" + w.Price() + ",\"winner\":" +
             (w.Next(3) == 0
                  ? std::string("null")
                  : "{\"name\":\"" + w.Words(3) + "\",\"inn\":\"" + w.Digits(10) + "\"}") +
             ",\"status\":\"Finished\"}";
    }
    return s + "]}";
}

const std::string& Search() {
    static const std::string text = SearchAnswer();
    return text;
}
const std::string& Lots() {
    static const std::string text = LotsAnswer();
    return text;
}
// A hostile body: a megabyte of empty elements, a value per byte, which the reader takes in
// two passes to keep its memory bounded.
const std::string& BareCommas() {
    static const std::string text = "[" + std::string(1 << 20, ',') + "]";
    return text;
}

// ---- korvalot ----

namespace kj = korvalot::json;

std::size_t ReadSearch(const kj::JsonValue& doc) {
    std::size_t sum = doc.MemberText("found").size();
    const kj::JsonValue trades = doc.Member("pageData").AsArray();
    for (std::size_t i = 0; i < trades.Length(); ++i) {
        sum += trades.Element(i).MemberText("guid").size();
    }
    return sum;
}

std::size_t ReadLots(const kj::JsonValue& doc) {
    std::size_t sum = 0;
    const kj::JsonValue lots = doc.Member("pageData").AsArray();
    for (std::size_t i = 0; i < lots.Length(); ++i) {
        const kj::JsonValue lot = lots.Element(i);
        const kj::JsonValue classifiers = lot.Member("classifiers").AsArray();
        std::string joined;
        for (std::size_t k = 0; k < classifiers.Length(); ++k) {
            if (k > 0)
                joined += '|';
            joined += classifiers.Element(k).Text();
        }
        sum += joined.size() + lot.MemberText("tradeObject").size() +
               lot.MemberText("startPrice").size() + lot.MemberText("currentPrice").size();
        const kj::JsonValue winner = lot.Member("winner");
        if (!winner.IsNothing()) {
            sum += winner.MemberText("name").size() + winner.MemberText("inn").size();
        }
    }
    return sum;
}

// ---- nlohmann::json ----

std::string NlohmannText(const nlohmann::json& v) {
    return v.is_string() ? v.get<std::string>() : v.dump();
}
std::string NlohmannMemberText(const nlohmann::json& v, const char* name) {
    if (!v.is_object())
        return {};
    const auto it = v.find(name);
    return it == v.end() ? std::string() : NlohmannText(*it);
}

std::size_t ReadSearch(const nlohmann::json& doc) {
    std::size_t sum = NlohmannMemberText(doc, "found").size();
    for (const auto& trade : doc.at("pageData"))
        sum += NlohmannMemberText(trade, "guid").size();
    return sum;
}

std::size_t ReadLots(const nlohmann::json& doc) {
    std::size_t sum = 0;
    for (const auto& lot : doc.at("pageData")) {
        std::string joined;
        const auto classifiers = lot.find("classifiers");
        if (classifiers != lot.end() && classifiers->is_array()) {
            for (const auto& c : *classifiers) {
                if (!joined.empty())
                    joined += '|';
                joined += NlohmannText(c);
            }
        }
        sum += joined.size() + NlohmannMemberText(lot, "tradeObject").size() +
               NlohmannMemberText(lot, "startPrice").size() +
               NlohmannMemberText(lot, "currentPrice").size();
        const auto winner = lot.find("winner");
        if (winner != lot.end()) {
            sum += NlohmannMemberText(*winner, "name").size() +
                   NlohmannMemberText(*winner, "inn").size();
        }
    }
    return sum;
}

// ---- RapidJSON ----

std::string RapidText(const rapidjson::Value& v) {
    if (v.IsString())
        return std::string(v.GetString(), v.GetStringLength());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    v.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}
std::string RapidMemberText(const rapidjson::Value& v, const char* name) {
    if (!v.IsObject())
        return {};
    const auto it = v.FindMember(name);
    return it == v.MemberEnd() ? std::string() : RapidText(it->value);
}

std::size_t ReadSearch(const rapidjson::Document& doc) {
    std::size_t sum = RapidMemberText(doc, "found").size();
    for (const auto& trade : doc["pageData"].GetArray()) {
        sum += RapidMemberText(trade, "guid").size();
    }
    return sum;
}

std::size_t ReadLots(const rapidjson::Document& doc) {
    std::size_t sum = 0;
    for (const auto& lot : doc["pageData"].GetArray()) {
        std::string joined;
        const auto classifiers = lot.FindMember("classifiers");
        if (classifiers != lot.MemberEnd() && classifiers->value.IsArray()) {
            for (const auto& c : classifiers->value.GetArray()) {
                if (!joined.empty())
                    joined += '|';
                joined += RapidText(c);
            }
        }
        sum += joined.size() + RapidMemberText(lot, "tradeObject").size() +
               RapidMemberText(lot, "startPrice").size() +
               RapidMemberText(lot, "currentPrice").size();
        const auto winner = lot.FindMember("winner");
        if (winner != lot.MemberEnd()) {
            sum += RapidMemberText(winner->value, "name").size() +
                   RapidMemberText(winner->value, "inn").size();
        }
    }
    return sum;
}

// ---- Benchmarks ----

template <const std::string& (*Answer)(), std::size_t (*Read)(const kj::JsonValue&)>
void Korvalot(benchmark::State& state) {
    const std::string& text = Answer();
    for (auto _ : state) {
        const kj::JsonValue doc = kj::Parse(text);
        benchmark::DoNotOptimize(Read(doc));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

template <const std::string& (*Answer)(), std::size_t (*Read)(const nlohmann::json&)>
void Nlohmann(benchmark::State& state) {
    const std::string& text = Answer();
    for (auto _ : state) {
        const nlohmann::json doc = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(Read(doc));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

template <const std::string& (*Answer)(), std::size_t (*Read)(const rapidjson::Document&)>
void RapidJson(benchmark::State& state) {
    const std::string& text = Answer();
    for (auto _ : state) {
        rapidjson::Document doc;
        doc.Parse(text.data(), text.size());
        benchmark::DoNotOptimize(Read(doc));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Parsing alone, for the share that reading takes.
template <const std::string& (*Answer)()>
void KorvalotParseOnly(benchmark::State& state) {
    const std::string& text = Answer();
    for (auto _ : state)
        benchmark::DoNotOptimize(kj::Parse(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

}  // namespace

BENCHMARK(Korvalot<Search, ReadSearch>)->Name("Search/korvalot");
BENCHMARK(Nlohmann<Search, ReadSearch>)->Name("Search/nlohmann");
BENCHMARK(RapidJson<Search, ReadSearch>)->Name("Search/rapidjson");
BENCHMARK(Korvalot<Lots, ReadLots>)->Name("Lots/korvalot");
BENCHMARK(Nlohmann<Lots, ReadLots>)->Name("Lots/nlohmann");
BENCHMARK(RapidJson<Lots, ReadLots>)->Name("Lots/rapidjson");
BENCHMARK(KorvalotParseOnly<Search>)->Name("Search/korvalot-parse-only");
BENCHMARK(KorvalotParseOnly<Lots>)->Name("Lots/korvalot-parse-only");
BENCHMARK(KorvalotParseOnly<BareCommas>)->Name("BareCommas/korvalot-parse-only");

BENCHMARK_MAIN();
