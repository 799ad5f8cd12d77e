#include "notify/MailChannel.h"

#include <cstdio>
#include <ctime>
#include <random>

#include "notify/CurlTransfer.h"
#include "notify/MailMessage.h"
#include "notify/NewsText.h"
#include "notify/Outcomes.h"

namespace korvalot::notify {
namespace {

std::string Unique(std::time_t now) {
    std::random_device random;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%lld.%08x%08x", static_cast<long long>(now), random(),
                  random());
    return buffer;
}

std::string HtmlPage(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html lang=\"ru\">\n<head><meta charset=\"utf-8\"><title>" +
           HtmlEscape(title) + "</title></head>\n<body>\n" + body + "</body>\n</html>\n";
}

std::string HtmlNews(const WatchNews& news) {
    std::string body = "<h1>" + HtmlEscape(Headline(news)) + "</h1>\n";
    for (const NewsItem& item : news.items) {
        const std::string card = CardAddress(item);
        body += "<h2>" + HtmlEscape(EntryTitle(item)) + "</h2>\n<table>\n";
        for (const auto& [label, value] : LotFields(item.row)) {
            body += "<tr><th align=\"left\">" + HtmlEscape(label) + "</th><td>" +
                    HtmlEscape(value) + "</td></tr>\n";
        }
        body += "</table>\n";
        const std::string change = ChangeText(item);
        if (!change.empty()) {
            body += "<p>Изменение: " + HtmlEscape(change) + "</p>\n";
        }
        if (!card.empty()) {
            body += "<p><a href=\"" + HtmlEscape(card) + "\">Карточка торгов</a></p>\n";
        }
    }
    return HtmlPage(Headline(news), body);
}

}  // namespace

DeliveryOutcome MailChannel::Deliver(const WatchNews& news) {
    if (news.items.empty()) {
        return Delivered();
    }
    return Send(Headline(news), PlainText(news), HtmlNews(news));
}

DeliveryOutcome MailChannel::Test(const std::string& watchName) {
    const std::string text = TestText(watchName, Name());
    return Send("Проверка: наблюдение «" + watchName + "»", text + "\n",
                HtmlPage(text, "<p>" + HtmlEscape(text) + "</p>\n"));
}

DeliveryOutcome MailChannel::Send(const std::string& subject, const std::string& plain,
                                  const std::string& html) {
    const std::time_t now = std::time(nullptr);
    SmtpSend mail;
    const bool tls = settings_.security == MailSettings::Security::Tls;
    const std::string place = settings_.server + ":" + std::to_string(settings_.port);
    mail.url = (tls ? "smtps://" : "smtp://") + place;
    mail.startTls = !tls;
    mail.user = settings_.user;
    mail.password = settings_.password;
    mail.from = settings_.from;
    mail.to = settings_.to;
    mail.message =
        ComposeMail({settings_.from, settings_.to, subject, plain, html}, now, Unique(now));
    mail.certificates = settings_.certificates;
    mail.timeout = settings_.timeout;
    const TransferResult result = notify::Send(mail);
    if (result.kind == TransferResult::Kind::Answered) {
        return Delivered();
    }
    const std::string why = Redact(FirstLine(result.error), settings_.password);
    const std::string code = result.status > 0 ? " (" + std::to_string(result.status) + ")" : "";
    if (result.loginRefused) {
        return {DeliveryOutcome::Kind::Refused, Name() + ": сервер " + place +
                                                    " отказал во входе пользователю " +
                                                    settings_.user + code + ": " + why};
    }
    if (result.kind == TransferResult::Kind::Permanent) {
        return {DeliveryOutcome::Kind::Refused,
                Name() + ": сервер " + place + " не принял письмо" + code + ": " + why};
    }
    return {DeliveryOutcome::Kind::Failed, Name() + ": письмо через " + place +
                                               " не отправлено, повтор позже" + code + ": " + why};
}

}  // namespace korvalot::notify
