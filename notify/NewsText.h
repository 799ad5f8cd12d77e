#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "notify/News.h"

// The words every channel makes its message from, so that mail, Telegram, the feed and the
// standard output tell the same news the same way.
namespace korvalot::notify {

// "новый лот", "цена ниже порога", ...
std::string KindTitle(NewsKind kind);
// "new_lot", "price_below", ...: the webhook's names, stable for the receiver's programs.
std::string KindKey(NewsKind kind);

// The trade's card on the register: the item's link, else one made from the lot's guid.
std::string CardAddress(const NewsItem& item);

// The lot's values that are not empty, with the results file's column names.
std::vector<std::pair<std::string, std::string>> LotFields(const crawl::ResultRow& row);

// One line that names the news: its kind, the debtor and the trade's number.
std::string EntryTitle(const NewsItem& item);
// "было 100 000,00, стало 90 000,00" for a change; empty for a new lot.
std::string ChangeText(const NewsItem& item);

// "Наблюдение «Квартиры»: 3 новости".
std::string Headline(const WatchNews& news);
// One item as plain text: its title, its values a line each, the change and the card. No
// final line end.
std::string PlainEntry(const NewsItem& item);
// The headline, then every item, with an empty line between them. Ends with a line end.
std::string PlainText(const WatchNews& news);
// What a channel's test message says.
std::string TestText(const std::string& watchName, const std::string& channelName);

std::string HtmlEscape(std::string_view text);
// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);
// The text with every occurrence of the secret replaced, for a message that quotes a library or a
// server; nothing to hide when the secret is empty.
std::string Redact(std::string text, std::string_view secret);
// The first line of a text, for a one-line message that quotes a server's answer.
std::string FirstLine(std::string_view text, std::size_t limit = 200);

}  // namespace korvalot::notify
