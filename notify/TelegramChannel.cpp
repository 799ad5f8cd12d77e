#include "notify/TelegramChannel.h"

#include "json/JsonValue.h"
#include "notify/CurlTransfer.h"
#include "notify/NewsText.h"
#include "notify/Outcomes.h"

namespace korvalot::notify {
namespace {

// The longest start of text, at most `limit` long, that ends at a character's end.
std::size_t CutAt(std::string_view text, std::size_t limit) {
    std::size_t units = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t next = at + 1;
        while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) {
            ++next;
        }
        const std::size_t width = static_cast<unsigned char>(text[at]) >= 0xF0 ? 2 : 1;
        if (units + width > limit) {
            break;
        }
        units += width;
        at = next;
    }
    return at;
}

// An entry too long for one message, in pieces that each fit: at line ends where it can be.
std::vector<std::string> Pieces(std::string_view text, std::size_t limit) {
    std::vector<std::string> pieces;
    while (TelegramLength(text) > limit) {
        std::size_t cut = CutAt(text, limit);
        const std::size_t lineEnd = text.rfind('\n', cut);
        if (lineEnd != std::string_view::npos && lineEnd > 0) {
            cut = lineEnd;
        }
        pieces.emplace_back(text.substr(0, cut));
        text.remove_prefix(cut);
        if (!text.empty() && text.front() == '\n') {
            text.remove_prefix(1);
        }
    }
    if (!text.empty()) {
        pieces.emplace_back(text);
    }
    return pieces;
}

}  // namespace

std::size_t TelegramLength(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u & 0xC0) != 0x80) {
            units += u >= 0xF0 ? 2 : 1;
        }
    }
    return units;
}

std::vector<std::string> SplitMessages(const std::string& headline,
                                       const std::vector<std::string>& entries,
                                       const std::string& continued, std::size_t limit) {
    std::vector<std::string> messages;
    std::string current = headline;
    bool holdsEntry = false;
    // A piece of an entry goes after either beginning.
    const std::size_t longerStart = std::max(TelegramLength(headline), TelegramLength(continued));
    const std::size_t pieceRoom = limit - std::min(limit - 1, longerStart + 2);
    for (const std::string& entry : entries) {
        if (TelegramLength(current) + 2 + TelegramLength(entry) <= limit) {
            current += "\n\n" + entry;
            holdsEntry = true;
            continue;
        }
        if (holdsEntry || current != headline) {
            messages.push_back(current);
            current = continued;
            holdsEntry = false;
        }
        if (TelegramLength(current) + 2 + TelegramLength(entry) <= limit) {
            current += "\n\n" + entry;
            holdsEntry = true;
            continue;
        }
        // Not even a message of its own holds it: its pieces each in a message.
        const std::vector<std::string> pieces = Pieces(entry, pieceRoom);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0 || holdsEntry) {
                messages.push_back(current);
                current = continued;
            }
            current += "\n\n" + pieces[i];
            holdsEntry = true;
        }
    }
    messages.push_back(current);
    return messages;
}

DeliveryOutcome TelegramChannel::Deliver(const WatchNews& news) {
    if (news.items.empty()) {
        return Delivered();
    }
    std::vector<std::string> entries;
    for (const NewsItem& item : news.items) {
        entries.push_back(PlainEntry(item));
    }
    const std::vector<std::string> messages =
        SplitMessages(Headline(news), entries, "Наблюдение «" + news.watchName + "», продолжение");
    for (const std::string& message : messages) {
        // A message that fails leaves the news to be sent again whole: the ones before it
        // arrive twice rather than any not at all.
        const DeliveryOutcome outcome = SendOne(message);
        if (outcome.kind != DeliveryOutcome::Kind::Delivered) {
            return outcome;
        }
    }
    return Delivered();
}

DeliveryOutcome TelegramChannel::Test(const std::string& watchName) {
    return SendOne(TestText(watchName, Name()));
}

DeliveryOutcome TelegramChannel::SendOne(const std::string& text) {
    HttpPost post;
    post.url = settings_.apiBase + "/bot" + settings_.token + "/sendMessage";
    post.contentType = "application/json";
    post.body = "{\"chat_id\":" + JsonString(settings_.chat) + ",\"text\":" + JsonString(text) +
                ",\"disable_web_page_preview\":true}";
    post.certificates = settings_.certificates;
    post.timeout = settings_.timeout;
    const TransferResult result = Post(post);
    std::string detail;
    if (result.kind == TransferResult::Kind::Answered) {
        const json::JsonValue answer = json::Parse(result.body);
        if (answer && answer.Kind() == json::JsonKind::Object) {
            detail = answer.MemberText("description");
        }
    }
    return HttpAnswer(Name(), result, detail, settings_.token);
}

}  // namespace korvalot::notify
