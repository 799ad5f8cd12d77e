#include "notify/FeedChannel.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

#include "notify/NewsText.h"
#include "notify/Outcomes.h"
#include "util/Platform.h"
#include "util/TempFile.h"

namespace korvalot::notify {
namespace {

// Text for XML 1.0: the markup characters escaped, the control characters it cannot hold left
// out.
std::string Xml(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 || c == '\n' || c == '\t' || c == '\r') {
            clean += c;
        }
    }
    return HtmlEscape(clean);
}

std::string Rfc3339(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char zoneless[32];
    std::strftime(zoneless, sizeof zoneless, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+',
                  static_cast<int>(magnitude / 60 % 100), static_cast<int>(magnitude % 60));
    return std::string(zoneless) + zone;
}

std::string EntryId(std::int64_t watchId, const NewsItem& item) {
    return "urn:korvalot:watch:" + std::to_string(watchId) + ":lot:" + std::to_string(item.lotId) +
           ":" + KindKey(item.kind) + ":run:" + std::to_string(item.runId);
}

std::string Entry(std::int64_t watchId, const NewsItem& item, std::time_t now) {
    std::string e = "  <entry>\n";
    e += "    <id>" + Xml(EntryId(watchId, item)) + "</id>\n";
    e += "    <title>" + Xml(EntryTitle(item)) + "</title>\n";
    e += "    <updated>" + AtomTime(item.when, now) + "</updated>\n";
    const std::string card = CardAddress(item);
    if (!card.empty()) {
        e += "    <link rel=\"alternate\" type=\"text/html\" href=\"" + Xml(card) + "\"/>\n";
    }
    e += "    <content type=\"text\">" + Xml(PlainEntry(item)) + "</content>\n";
    e += "  </entry>\n";
    return e;
}

struct KeptEntry {
    std::string id;
    std::string text;  // from "  <entry>" to "</entry>\n"
};

// The entries of a feed this channel wrote, as they stand; they are never parsed further, only
// carried over.
std::vector<KeptEntry> EntriesOf(const std::string& feed) {
    std::vector<KeptEntry> entries;
    std::size_t at = 0;
    for (;;) {
        const std::size_t begin = feed.find("<entry>", at);
        if (begin == std::string::npos) {
            break;
        }
        const std::size_t end = feed.find("</entry>", begin);
        if (end == std::string::npos) {
            break;
        }
        const std::string text = "  " + feed.substr(begin, end + 8 - begin) + "\n";
        const std::size_t idBegin = text.find("<id>");
        const std::size_t idEnd = text.find("</id>");
        if (idBegin != std::string::npos && idEnd != std::string::npos && idEnd > idBegin) {
            entries.push_back({text.substr(idBegin + 4, idEnd - idBegin - 4), text});
        }
        at = end + 8;
    }
    return entries;
}

}  // namespace

std::string AtomTime(const std::string& localTime, std::time_t now) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 0;
    int used = 0;
    if (std::sscanf(localTime.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &year, &month, &day,
                    &separator, &hour, &minute, &second, &used) != 7 ||
        (separator != 'T' && separator != ' ')) {
        return Rfc3339(now);
    }
    std::string rest = localTime.substr(static_cast<std::size_t>(used));
    if (!rest.empty() && rest[0] == '.') {
        rest.erase(0, rest.find_first_not_of("0123456789", 1));
    }
    if (rest == "Z" || (rest.size() == 6 && (rest[0] == '+' || rest[0] == '-') && rest[3] == ':')) {
        char buffer[48];
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%s", year, month, day,
                      hour, minute, second, rest.c_str());
        return buffer;
    }
    if (!rest.empty()) {
        return Rfc3339(now);
    }
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    return when == static_cast<std::time_t>(-1) ? Rfc3339(now) : Rfc3339(when);
}

std::filesystem::path FeedChannel::FeedFile(std::int64_t watchId) const {
    return settings_.folder / ("watch-" + std::to_string(watchId) + ".atom");
}

DeliveryOutcome FeedChannel::Deliver(const WatchNews& news) {
    if (news.items.empty()) {
        return Delivered();
    }
    const std::filesystem::path file = FeedFile(news.watchId);
    const std::time_t now = std::time(nullptr);
    std::error_code error;
    std::filesystem::create_directories(settings_.folder, error);
    if (error) {
        return {DeliveryOutcome::Kind::Failed, Name() + ": папка " + settings_.folder.string() +
                                                   " не создаётся: " + error.message()};
    }
    std::string old;
    if (std::filesystem::exists(file, error)) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in || in.bad()) {
            return {DeliveryOutcome::Kind::Failed,
                    Name() + ": файл " + file.string() + " не читается"};
        }
        old = text.str();
        if (!old.empty() && old.find("<feed") == std::string::npos) {
            return {DeliveryOutcome::Kind::Refused,
                    Name() + ": файл " + file.string() + " не лента Atom, он не заменяется"};
        }
    }

    // The newest first: the news in reverse of the order found, then what the file held.
    std::vector<std::string> entries;
    std::set<std::string> ids;
    for (auto item = news.items.rbegin(); item != news.items.rend(); ++item) {
        const std::string id = Xml(EntryId(news.watchId, *item));
        if (ids.insert(id).second) {
            entries.push_back(Entry(news.watchId, *item, now));
        }
    }
    for (KeptEntry& kept : EntriesOf(old)) {
        if (ids.insert(kept.id).second) {
            entries.push_back(std::move(kept.text));
        }
    }
    if (entries.size() > static_cast<std::size_t>(settings_.entries)) {
        entries.resize(static_cast<std::size_t>(settings_.entries));
    }

    std::string feed = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    feed += "<feed xmlns=\"http://www.w3.org/2005/Atom\" xml:lang=\"ru\">\n";
    feed += "  <id>urn:korvalot:watch:" + std::to_string(news.watchId) + "</id>\n";
    feed += "  <title>" + Xml("Наблюдение «" + news.watchName + "»") + "</title>\n";
    feed += "  <updated>" + Rfc3339(now) + "</updated>\n";
    feed += "  <author><name>korvalot</name></author>\n";
    feed += "  <generator>korvalot</generator>\n";
    for (const std::string& entry : entries) {
        feed += entry;
    }
    feed += "</feed>\n";
    try {
        util::TempFile out(file);
        out.Write(feed);
        out.Keep();
    } catch (const util::PlatformError& e) {
        return {DeliveryOutcome::Kind::Failed, Name() + ": " + e.what()};
    }
    return Delivered();
}

DeliveryOutcome FeedChannel::Test(const std::string&) {
    std::error_code error;
    std::filesystem::create_directories(settings_.folder, error);
    if (error) {
        return {DeliveryOutcome::Kind::Refused, Name() + ": папка " + settings_.folder.string() +
                                                    " не создаётся: " + error.message()};
    }
    try {
        util::TempFile probe(settings_.folder / "watch-test.atom");
        probe.Discard();
    } catch (const util::PlatformError& e) {
        return {DeliveryOutcome::Kind::Refused, Name() + ": " + e.what()};
    }
    return Delivered();
}

}  // namespace korvalot::notify
