#include "tools/register-sim/SimRegister.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "tools/register-sim/SimDate.h"
#include "tools/register-sim/SimJson.h"
#include "tools/register-sim/SimRandom.h"

namespace korvalot::tools {
namespace {

constexpr std::size_t kPagingCap = 1000;
constexpr std::size_t kMaxLimit = 100;

enum Endpoint { kRegions, kSearch, kCard, kLots, kAdditional, kOther };
constexpr std::string_view kEndpointNames[] = {"regions", "search",     "card",
                                               "lots",    "additional", "other"};

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::string_view> Header(const SimHeaders& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (SameText(key, name)) {
            return std::string_view(value);
        }
    }
    return std::nullopt;
}

SimAnswer JsonError(int status, std::string_view message) {
    SimAnswer answer;
    answer.status = status;
    JsonWriter json;
    json.BeginObject().Key("status").Int(status).Key("message").String(message).EndObject();
    answer.body = json.Take();
    return answer;
}

SimAnswer FaultAnswer(FaultKind kind) {
    SimAnswer answer;
    answer.fault = kind;
    switch (kind) {
        case FaultKind::Unavailable:
            answer.status = 503;
            answer.contentType = "text/html";
            answer.headers.emplace_back("Retry-After", "1");
            answer.body =
                "<html>\r\n<head><title>503 Service Temporarily Unavailable</title></head>\r\n"
                "<body>\r\n<center><h1>503 Service Temporarily Unavailable</h1></center>\r\n"
                "</body>\r\n</html>\r\n";
            break;
        case FaultKind::ServerError:
            answer.status = 500;
            answer.body = R"({"status":500,"message":"Internal Server Error"})";
            break;
        case FaultKind::Empty:
            break;
        case FaultKind::Html:
            answer.contentType = "text/html; charset=utf-8";
            answer.body =
                "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\">"
                "<title>Технические работы</title></head>\n<body><h1>Сервис временно "
                "недоступен</h1><p>Ведутся технические работы. Попробуйте повторить запрос "
                "позже.</p></body></html>\n";
            break;
        case FaultKind::Malformed:
            answer.body = R"({"found":"unknown","pageData":{"error":"index rebuilding"}})";
            break;
        default:
            break;
    }
    return answer;
}

std::string TradeTimestamp(const SimTrade& trade) {
    char text[48];
    std::snprintf(text, sizeof text, "%sT%02d:%02d:00+03:00", FormatDate(trade.day).c_str(),
                  trade.minute / 60, trade.minute % 60);
    return text;
}

std::string PublishTimestamp(const SimTrade& trade) {
    std::int32_t day = trade.publishDay;
    std::int32_t second = trade.publishSecond;
    std::string tail;
    if (trade.publishStyle < 6) {
        char ms[24];
        std::snprintf(ms, sizeof ms, ".%03d+03:00", static_cast<int>(trade.detailSeed % 1000));
        tail = ms;
    } else if (trade.publishStyle < 9) {
        tail = "+03:00";
    } else {
        // written in universal time, three hours behind Moscow
        second -= 3 * 3600;
        if (second < 0) {
            second += 24 * 3600;
            --day;
        }
        tail = "Z";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%sT%02d:%02d:%02d%s", FormatDate(day).c_str(), second / 3600,
                  second / 60 % 60, second % 60, tail.c_str());
    return text;
}

std::string EndTimestamp(const SimTrade& trade) {
    return FormatDate(trade.day + 1 + static_cast<std::int32_t>(trade.detailSeed % 20)) +
           "T18:00:00+03:00";
}

std::string_view Status(const SimTrade& trade, std::int32_t today) {
    return trade.day < today ? "Completed" : "Announced";
}

void WriteParty(JsonWriter& json, const SimParty& party) {
    json.BeginObject()
        .Key("type")
        .String(party.person ? "Person" : "Company")
        .Key("name")
        .String(party.name)
        .Key("inn")
        .String(party.inn)
        .EndObject();
}

void WriteRegionCode(JsonWriter& json, const SimRegion& region) {
    if (region.codeAsNumber) {
        json.Raw(NormalRegionCode(region.code));
    } else {
        json.String(region.code);
    }
}

std::optional<std::size_t> ParseCount(std::string_view text) {
    if (text.empty() || text.size() > 9) {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

// "2026-01-01T00:00:00" or "2026-01-01": the day alone counts, as the register asks for
// whole days.
std::optional<std::int32_t> ParseDay(std::string_view text) {
    return ParseDate(text.substr(0, std::min<std::size_t>(text.size(), text.find('T'))));
}

bool ParsePriceBounds(const std::map<std::string, std::string, std::less<>>& params,
                      SimFilter& filter, std::string& error) {
    for (const auto& [key, target] : {std::pair{"lotStartPrice", &filter.minKopecks},
                                      std::pair{"lotFinishPrice", &filter.maxKopecks}}) {
        const auto it = params.find(key);
        if (it == params.end()) {
            continue;
        }
        *target = ParseKopecks(it->second);
        if (!*target) {
            error = std::string(key) + " is not a price: " + it->second;
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> SplitCommaList(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            out.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

std::map<std::string, std::string, std::less<>> ParseQuery(std::string_view query) {
    auto decode = [](std::string_view text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '+') {
                out.push_back(' ');
            } else if (c == '%' && i + 2 < text.size() &&
                       std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                       std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                out.push_back(
                    static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
                i += 2;
            } else {
                out.push_back(c);
            }
        }
        return out;
    };
    std::map<std::string, std::string, std::less<>> params;
    std::size_t start = 0;
    while (start < query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string_view::npos) {
            end = query.size();
        }
        const std::string_view pair = query.substr(start, end - start);
        start = end + 1;
        if (pair.empty()) {
            continue;
        }
        const std::size_t eq = pair.find('=');
        std::string key = decode(pair.substr(0, eq));
        std::string value =
            eq == std::string_view::npos ? std::string() : decode(pair.substr(eq + 1));
        params[std::move(key)] = std::move(value);
    }
    return params;
}

std::optional<std::int64_t> ParseKopecks(std::string_view text) {
    if (text.empty() || text.size() > 16) {
        return std::nullopt;
    }
    std::int64_t rubles = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] != '.'; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        rubles = rubles * 10 + (text[i] - '0');
    }
    if (i == 0) {
        return std::nullopt;
    }
    std::int64_t kopecks = 0;
    if (i < text.size()) {
        const std::string_view fraction = text.substr(i + 1);
        if (fraction.empty() || fraction.size() > 2) {
            return std::nullopt;
        }
        for (char c : fraction) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
        }
        kopecks = (fraction[0] - '0') * 10 + (fraction.size() == 2 ? fraction[1] - '0' : 0);
    }
    return rubles * 100 + kopecks;
}

SearchQuery ParseSearchQuery(std::string_view query) {
    SearchQuery out;
    const auto params = ParseQuery(query);
    auto text = [&](std::string_view key) -> const std::string* {
        const auto it = params.find(key);
        return it == params.end() ? nullptr : &it->second;
    };
    if (const std::string* v = text("limit")) {
        const auto limit = ParseCount(*v);
        if (!limit || *limit == 0) {
            out.error = "limit is not a positive number: " + *v;
            return out;
        }
        out.limit = std::min(*limit, kMaxLimit);
    }
    if (const std::string* v = text("offset")) {
        const auto offset = ParseCount(*v);
        if (!offset) {
            out.error = "offset is not a number: " + *v;
            return out;
        }
        out.offset = *offset;
    }
    if (const std::string* v = text("tradeType")) {
        out.filter.tradeTypes = std::vector<std::string>{*v};
    }
    if (const std::string* v = text("regionCode")) {
        out.filter.regionCodes = std::vector<std::string>{*v};
    }
    for (const auto& [key, target] : {std::pair{"tradeStartDate", &out.filter.fromDay},
                                      std::pair{"tradeEndDate", &out.filter.toDay}}) {
        if (const std::string* v = text(key)) {
            *target = ParseDay(*v);
            if (!*target) {
                out.error = std::string(key) + " is not a date: " + *v;
                return out;
            }
        }
    }
    ParsePriceBounds(params, out.filter, out.error);
    return out;
}

std::optional<SimFilter> ParseTruthQuery(std::string_view query, std::string& error) {
    const auto params = ParseQuery(query);
    SimFilter filter;
    if (const auto it = params.find("regions"); it != params.end()) {
        filter.regionCodes = SplitCommaList(it->second);
    }
    if (const auto it = params.find("types"); it != params.end()) {
        filter.tradeTypes = SplitCommaList(it->second);
    }
    for (const auto& [key, target] :
         {std::pair{"from", &filter.fromDay}, std::pair{"to", &filter.toDay}}) {
        if (const auto it = params.find(key); it != params.end()) {
            *target = ParseDay(it->second);
            if (!*target) {
                error = std::string(key) + " is not a date: " + it->second;
                return std::nullopt;
            }
        }
    }
    if (!ParsePriceBounds(params, filter, error)) {
        return std::nullopt;
    }
    return filter;
}

SimRegister::SimRegister(std::shared_ptr<const SimData> data, SimRegisterOptions options)
    : data_(std::move(data)), options_(std::move(options)), plan_(options_.faults) {
    regionsJson_ = RegionsJson();
}

std::string SimRegister::RegionsJson() const {
    JsonWriter json;
    json.BeginArray();
    int id = 1;
    for (const SimRegion& region : data_->Regions()) {
        json.BeginObject().Key("id").Int(id++).Key("code");
        WriteRegionCode(json, region);
        json.Key("description").String(region.description).Key("isActive").Bool(true).EndObject();
    }
    return json.EndArray().Take();
}

void SimRegister::NoteConnection(bool clientCertificate) {
    connections_.fetch_add(1, std::memory_order_relaxed);
    if (clientCertificate) {
        certificateConnections_.fetch_add(1, std::memory_order_relaxed);
    }
}

void SimRegister::NoteHandshakeFailure() {
    handshakeFailures_.fetch_add(1, std::memory_order_relaxed);
}

void SimRegister::Count(const SimAnswer& answer) {
    std::size_t k = 0;
    while (kStatuses[k] != 0 && kStatuses[k] != answer.status) {
        ++k;
    }
    statuses_[k].fetch_add(1, std::memory_order_relaxed);
    faults_[static_cast<std::size_t>(answer.fault)].fetch_add(1, std::memory_order_relaxed);
}

SimAnswer SimRegister::Handle(const SimRequest& request) {
    const std::string_view target = request.target;
    const std::size_t mark = target.find('?');
    const std::string_view path = target.substr(0, mark);
    const std::string_view query =
        mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);

    if (path.rfind("/sim/", 0) == 0) {
        controlRequests_.fetch_add(1, std::memory_order_relaxed);
        SimAnswer answer = Control(path, query);
        answer.control = true;
        return answer;
    }
    requests_.fetch_add(1, std::memory_order_relaxed);

    Endpoint endpoint = kOther;
    std::string_view rest;
    static constexpr std::string_view kSearchPath = "/backend/biddings";
    if (path == "/backend/reference-book/regions") {
        endpoint = kRegions;
    } else if (path == kSearchPath) {
        endpoint = kSearch;
    } else if (path.rfind("/backend/biddings/", 0) == 0) {
        rest = path.substr(kSearchPath.size() + 1);
        const std::size_t slash = rest.find('/');
        const std::string_view tail =
            slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        endpoint = tail.empty()            ? kCard
                   : tail == "/lots"       ? kLots
                   : tail == "/additional" ? kAdditional
                                           : kOther;
    }
    endpoints_[endpoint].fetch_add(1, std::memory_order_relaxed);

    SimAnswer answer;
    const bool faulty =
        endpoint == kSearch || endpoint == kCard || endpoint == kLots || endpoint == kAdditional;
    const std::uint32_t attempt = faulty ? book_.Begin(target) : 0;
    const auto referer = Header(request.headers, "Referer");
    const auto agent = Header(request.headers, "User-Agent");
    if (request.method != "GET") {
        answer = JsonError(405, "Method Not Allowed");
    } else if (options_.strictHeaders && (!referer || *referer != baseUrl_ + "/biddings" ||
                                          !agent || *agent != kExpectedUserAgent)) {
        forbidden_.fetch_add(1, std::memory_order_relaxed);
        // answered by a firewall in front of the register, hence HTML
        answer.status = 403;
        answer.contentType = "text/html";
        answer.body =
            "<html><head><title>403 Forbidden</title></head><body><h1>403 Forbidden</h1>"
            "<p>Request blocked.</p></body></html>\n";
    } else if (endpoint == kRegions && options_.requireClientCert && !request.clientCertificate) {
        forbidden_.fetch_add(1, std::memory_order_relaxed);
        answer = JsonError(403, "A client certificate is required");
    } else if (const FaultKind fault = faulty ? plan_.Decide(target, attempt) : FaultKind::None;
               fault != FaultKind::None && fault != FaultKind::Truncated) {
        answer = FaultAnswer(fault);
    } else {
        switch (endpoint) {
            case kRegions:
                answer.body = regionsJson_;
                break;
            case kSearch:
                answer = Search(query);
                break;
            case kCard:
            case kLots:
            case kAdditional:
                answer = Card(rest, query);
                break;
            case kOther:
                answer = JsonError(404, "Not Found");
                break;
        }
        answer.fault = fault;
    }
    if (faulty) {
        book_.End(target, answer.fault != FaultKind::None || answer.status >= 400);
    }
    Count(answer);
    return answer;
}

SimAnswer SimRegister::Search(std::string_view query) {
    const SearchQuery search = ParseSearchQuery(query);
    if (!search.error.empty()) {
        return JsonError(400, search.error);
    }
    if (search.offset >= kPagingCap) {
        // the register pages through at most 1000 trades of one query
        pagingCapErrors_.fetch_add(1, std::memory_order_relaxed);
        return JsonError(400, "offset must be less than 1000");
    }
    const std::vector<std::uint32_t> found = data_->Select(search.filter);
    const auto& trades = data_->Trades();
    const auto& regions = data_->Regions();
    JsonWriter json;
    json.Reserve(400 * search.limit);
    json.BeginObject()
        .Key("found")
        .Int(static_cast<std::int64_t>(found.size()))
        .Key("pageData")
        .BeginArray();
    for (std::size_t i = search.offset; i < found.size() && i < search.offset + search.limit; ++i) {
        const SimTrade& trade = trades[found[i]];
        json.BeginObject()
            .Key("guid")
            .String(trade.guid)
            .Key("number")
            .String(trade.number)
            .Key("tradeType")
            .String(kTradeTypeCodes[trade.type])
            .Key("tradeDate")
            .String(TradeTimestamp(trade))
            .Key("regionCode");
        WriteRegionCode(json, regions[trade.region]);
        json.Key("debtorName")
            .String(trade.debtor.name)
            .Key("lotCount")
            .Int(static_cast<std::int64_t>(trade.lots.size()))
            .Key("status")
            .String(Status(trade, data_->Today()))
            .EndObject();
    }
    SimAnswer answer;
    answer.body = json.EndArray().EndObject().Take();
    return answer;
}

SimAnswer SimRegister::Card(std::string_view rest, std::string_view query) const {
    const std::size_t slash = rest.find('/');
    const std::string_view guid = rest.substr(0, slash);
    const SimTrade* trade = data_->FindTrade(guid);
    if (trade == nullptr) {
        return JsonError(404, "Not Found");
    }
    const std::string_view tail =
        slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    const SimRegion& region = data_->Regions()[trade->region];
    JsonWriter json;
    if (tail.empty()) {
        SimRng rng(Mix(trade->detailSeed, 0x6d7367));
        json.BeginObject()
            .Key("guid")
            .String(trade->guid)
            .Key("number")
            .String(trade->number)
            .Key("tradeType")
            .String(kTradeTypeCodes[trade->type])
            .Key("tradeDate")
            .String(TradeTimestamp(*trade))
            .Key("regionCode");
        WriteRegionCode(json, region);
        json.Key("status").String(Status(*trade, data_->Today())).Key("message").BeginObject();
        json.Key("guid").String(MakeGuid(rng.Next(), rng.Next()));
        json.Key("number").String(trade->messageNumber);
        json.Key("datePublish").String(PublishTimestamp(*trade));
        json.Key("type").String("BiddingDeclaration").EndObject();
        json.Key("debtor");
        WriteParty(json, trade->debtor);
        json.Key("arbitrManager");
        WriteParty(json, data_->Details(*trade).manager);
        json.Key("biddingPeriod")
            .BeginObject()
            .Key("startDate")
            .String(TradeTimestamp(*trade))
            .Key("endDate")
            .String(EndTimestamp(*trade))
            .EndObject();
        json.Key("lotCount").Int(static_cast<std::int64_t>(trade->lots.size())).EndObject();
    } else if (tail == "/lots") {
        const auto params = ParseQuery(query);
        std::size_t offset = 0;
        std::size_t limit = 50;
        if (const auto it = params.find("offset"); it != params.end()) {
            const auto v = ParseCount(it->second);
            if (!v) {
                return JsonError(400, "offset is not a number: " + it->second);
            }
            offset = *v;
        }
        if (const auto it = params.find("limit"); it != params.end()) {
            const auto v = ParseCount(it->second);
            if (!v || *v == 0) {
                return JsonError(400, "limit is not a positive number: " + it->second);
            }
            limit = std::min(*v, kMaxLimit);
        }
        json.BeginObject()
            .Key("found")
            .Int(static_cast<std::int64_t>(trade->lots.size()))
            .Key("pageData")
            .BeginArray();
        for (std::size_t i = offset; i < trade->lots.size() && i < offset + limit; ++i) {
            const SimLot lot = data_->Lot(*trade, i);
            json.BeginObject().Key("lotNumber").Int(lot.number);
            if (!lot.classifiersJson.empty()) {
                json.Key("classifiers").Raw(lot.classifiersJson);
            }
            json.Key("tradeObject")
                .String(lot.tradeObject)
                .Key("startPrice")
                .Raw(lot.startPrice.Json())
                .Key("currentPrice")
                .Raw(lot.currentPrice.Json());
            if (lot.winner) {
                json.Key("winner");
                WriteParty(json, *lot.winner);
            } else if (lot.winnerMember) {
                json.Key("winner").Null();
            }
            json.Key("status")
                .String(lot.winner ? "Sold" : Status(*trade, data_->Today()))
                .EndObject();
        }
        json.EndArray().EndObject();
    } else if (tail == "/additional") {
        const SimTradeDetails details = data_->Details(*trade);
        json.BeginObject()
            .Key("courtName")
            .String(details.courtName)
            .Key("caseNumber")
            .String(details.caseNumber)
            .Key("bankruptcyStage")
            .String(trade->debtor.person ? "Реализация имущества гражданина"
                                         : "Конкурсное производство")
            .EndObject();
    } else {
        return JsonError(404, "Not Found");
    }
    SimAnswer answer;
    answer.body = json.Take();
    return answer;
}

SimAnswer SimRegister::Control(std::string_view path, std::string_view query) const {
    SimAnswer answer;
    if (path == "/sim/stats") {
        answer.body = StatsJson();
    } else if (path == "/sim/truth") {
        std::string error;
        const auto filter = ParseTruthQuery(query, error);
        if (!filter) {
            return JsonError(400, error);
        }
        const auto params = ParseQuery(query);
        const auto outcomes = params.find("outcomes");
        answer.body = TruthJson(*filter, outcomes != params.end() && outcomes->second == "1");
    } else {
        return JsonError(404, "Not Found");
    }
    return answer;
}

std::string SimRegister::TruthJson(const SimFilter& filter, bool outcomes) const {
    const auto& trades = data_->Trades();
    JsonWriter json;
    json.BeginArray();
    for (std::uint32_t i : data_->Select(filter)) {
        const SimTrade& trade = trades[i];
        json.BeginObject()
            .Key("guid")
            .String(trade.guid)
            .Key("regionCode")
            .String(data_->Regions()[trade.region].code)
            .Key("tradeType")
            .String(kTradeTypeCodes[trade.type])
            .Key("tradeDate")
            .String(FormatDate(trade.day))
            .Key("lots")
            .Int(static_cast<std::int64_t>(trade.lots.size()))
            .Key("pricedLots")
            .Int(std::count_if(trade.lots.begin(), trade.lots.end(),
                               [](const SimPrice& p) { return !p.IsNull(); }));
        if (outcomes) {
            // What the card's lots show as their outcome, as the lots answer writes it.
            json.Key("lotOutcomes").BeginArray();
            for (std::size_t i = 0; i < trade.lots.size(); ++i) {
                const SimLot lot = data_->Lot(trade, i);
                json.BeginObject().Key("currentPrice").Raw(lot.currentPrice.Json());
                json.Key("winnerName");
                if (lot.winner) {
                    json.String(lot.winner->name).Key("winnerInn").String(lot.winner->inn);
                } else {
                    json.Null().Key("winnerInn").Null();
                }
                json.EndObject();
            }
            json.EndArray();
        }
        json.EndObject();
    }
    return json.EndArray().Take();
}

std::string SimRegister::StatsJson() const {
    auto load = [](const std::atomic<std::uint64_t>& v) {
        return static_cast<std::int64_t>(v.load(std::memory_order_relaxed));
    };
    JsonWriter json;
    json.BeginObject()
        .Key("trades")
        .Int(static_cast<std::int64_t>(data_->Trades().size()))
        .Key("requests")
        .Int(load(requests_))
        .Key("controlRequests")
        .Int(load(controlRequests_))
        .Key("connections")
        .Int(load(connections_))
        .Key("clientCertificateConnections")
        .Int(load(certificateConnections_))
        .Key("handshakeFailures")
        .Int(load(handshakeFailures_))
        .Key("endpoints")
        .BeginObject();
    for (std::size_t i = 0; i < endpoints_.size(); ++i) {
        json.Key(kEndpointNames[i]).Int(load(endpoints_[i]));
    }
    json.EndObject().Key("statuses").BeginObject();
    for (std::size_t i = 0; i < statuses_.size(); ++i) {
        json.Key(kStatuses[i] == 0 ? std::string("other") : std::to_string(kStatuses[i]))
            .Int(load(statuses_[i]));
    }
    json.EndObject().Key("faults").BeginObject();
    std::int64_t total = 0;
    for (FaultKind kind : kAllFaultKinds) {
        const std::int64_t n = load(faults_[static_cast<std::size_t>(kind)]);
        total += n;
        json.Key(FaultKindName(kind)).Int(n);
    }
    const std::int64_t malformed = load(faults_[static_cast<std::size_t>(FaultKind::Malformed)]);
    total += malformed;
    json.Key(FaultKindName(FaultKind::Malformed)).Int(malformed);
    json.EndObject()
        .Key("faultsTotal")
        .Int(total)
        .Key("pagingCapErrors")
        .Int(load(pagingCapErrors_))
        .Key("forbidden")
        .Int(load(forbidden_))
        .Key("addresses")
        .Int(static_cast<std::int64_t>(book_.Addresses()))
        .Key("failedTenTimes")
        .Int(static_cast<std::int64_t>(book_.FailedTenTimes()))
        .Key("runsOfTenFailures")
        .Int(static_cast<std::int64_t>(book_.RunsOfTen()))
        .EndObject();
    return json.Take();
}

}  // namespace korvalot::tools
