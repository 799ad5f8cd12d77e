#include "notify/WebhookChannel.h"

#include "notify/CurlTransfer.h"
#include "notify/NewsText.h"
#include "notify/Outcomes.h"

namespace korvalot::notify {
namespace {

std::string Member(const char* name, const std::string& value) {
    return JsonString(name) + ":" + JsonString(value);
}

std::string LotObject(const crawl::ResultRow& row) {
    const std::pair<const char*, const std::string*> all[] = {
        {"guid", &row.guid},
        {"region", &row.region},
        {"number", &row.number},
        {"datePublish", &row.datePublish},
        {"debtorName", &row.debtorName},
        {"debtorInn", &row.debtorInn},
        {"propertyType", &row.propertyType},
        {"lotDescription", &row.lotDescription},
        {"courtName", &row.courtName},
        {"startPrice", &row.startPrice},
        {"currentPrice", &row.currentPrice},
        {"resultsDate", &row.resultsDate},
        {"winnerName", &row.winnerName},
        {"winnerInn", &row.winnerInn},
    };
    std::string out = "{";
    for (const auto& [name, value] : all) {
        out += (out.size() > 1 ? "," : "") + Member(name, *value);
    }
    return out + "}";
}

}  // namespace

std::string WebhookDocument(const WatchNews& news) {
    std::string out = "{\"watch\":{\"id\":" + std::to_string(news.watchId) + "," +
                      Member("name", news.watchName) + "},\"upTo\":" + std::to_string(news.upTo) +
                      ",\"items\":[";
    bool first = true;
    for (const NewsItem& item : news.items) {
        out += first ? "{" : ",{";
        first = false;
        out += Member("kind", KindKey(item.kind)) + "," + Member("title", KindTitle(item.kind)) +
               ",\"lotId\":" + std::to_string(item.lotId) +
               ",\"runId\":" + std::to_string(item.runId) + "," + Member("when", item.when) + "," +
               Member("card", CardAddress(item));
        out += ",\"old\":" + (item.oldValue ? JsonString(*item.oldValue) : std::string("null"));
        out += ",\"new\":" + (item.newValue ? JsonString(*item.newValue) : std::string("null"));
        out += ",\"lot\":" + LotObject(item.row) + "}";
    }
    return out + "]}";
}

DeliveryOutcome WebhookChannel::Deliver(const WatchNews& news) {
    if (news.items.empty()) {
        return Delivered();
    }
    return Post(WebhookDocument(news));
}

DeliveryOutcome WebhookChannel::Test(const std::string& watchName) {
    return Post("{\"watch\":{" + Member("name", watchName) + "},\"test\":true," +
                Member("text", TestText(watchName, Name())) + "}");
}

DeliveryOutcome WebhookChannel::Post(const std::string& body) {
    HttpPost post;
    post.url = settings_.url;
    post.contentType = "application/json; charset=utf-8";
    post.body = body;
    if (!settings_.token.empty()) {
        post.headers.push_back("Authorization: Bearer " + settings_.token);
    }
    post.certificates = settings_.certificates;
    post.timeout = settings_.timeout;
    const TransferResult result = notify::Post(post);
    return HttpAnswer(Name(), result, result.body, settings_.token);
}

}  // namespace korvalot::notify
