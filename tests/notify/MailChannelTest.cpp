#include <gtest/gtest.h>

#include "notify/MailChannel.h"
#include "notify/NotifyServers.h"
#include "notify/SampleNews.h"
#include "support/ScriptedServer.h"

namespace korvalot::notify {
namespace {

using testing::MailServer;

const char kUser[] = "korvalot";
const char kPassword[] = "s3cret-пароль";

// The settings of a channel that sends through the server, which it trusts.
MailSettings SettingsFor(const MailServer& server, const std::string& mode) {
    MailSettings s;
    s.server = "127.0.0.1";
    s.port = server.Port();
    s.security = mode == "tls" ? MailSettings::Security::Tls : MailSettings::Security::StartTls;
    s.from = "korvalot@example.ru";
    s.to = {"one@example.ru", "two@example.ru"};
    s.user = kUser;
    s.password = kPassword;
    s.certificates = server.Certificate();
    s.timeout = std::chrono::seconds(30);
    return s;
}

class MailOverTls : public ::testing::TestWithParam<std::string> {};

TEST_P(MailOverTls, TheNewsArriveAsAPlainAndAnHtmlPartWithTheSubjectDecodedBack) {
    MailServer server(GetParam(), kUser, kPassword);
    MailChannel channel(SettingsFor(server, GetParam()));
    const WatchNews news = testing::SampleNews(2);
    const DeliveryOutcome outcome = channel.Deliver(news);
    ASSERT_EQ(outcome.kind, DeliveryOutcome::Kind::Delivered) << outcome.message;
    ASSERT_TRUE(server.Took(0));
    const nlohmann::json mail = server.Received(0);

    EXPECT_TRUE(mail["tls"].get<bool>());
    EXPECT_EQ(mail["mail_from"], "korvalot@example.ru");
    EXPECT_EQ(mail["rcpt_tos"], (nlohmann::json{"one@example.ru", "two@example.ru"}));
    EXPECT_EQ(mail["subject"], "Наблюдение «Квартиры в Москве»: 2 новости");
    EXPECT_EQ(mail["subject_raw"].get<std::string>().rfind("=?UTF-8?B?", 0), 0u);
    for (const auto& length : mail["subject_lines"]) {
        EXPECT_LE(length.get<int>(), 76);  // an encoded-word of 75 and the folding space
    }
    EXPECT_TRUE(mail["date_parsed"].get<bool>()) << mail["date"];
    EXPECT_TRUE(mail["message_id"].get<std::string>().ends_with("@example.ru>"));
    EXPECT_EQ(mail["mime_version"], "1.0");
    EXPECT_EQ(mail["content_type"], "multipart/alternative");
    EXPECT_TRUE(mail["defects"].empty()) << mail["defects"];

    const auto& parts = mail["parts"];
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0]["type"], "text/plain");
    EXPECT_EQ(parts[1]["type"], "text/html");
    for (const auto& part : parts) {
        EXPECT_EQ(part["charset"], "utf-8");
        EXPECT_EQ(part["encoding"], "base64");
    }
    const std::string plain = parts[0]["text"];
    EXPECT_NE(plain.find("новый лот: ООО «Ромашка & Сыновья» №1, торги № 11001\r\n"),
              std::string::npos)
        << plain;
    EXPECT_NE(plain.find("Описание лота: Квартира <3 комнаты>, 74 м²"), std::string::npos);
    EXPECT_NE(plain.find("Изменение: было 1 500 000,00, стало 1 200 000,00"), std::string::npos);
    EXPECT_NE(plain.find("Карточка: https://register.example/biddings/guid-2"), std::string::npos);
    const std::string html = parts[1]["text"];
    EXPECT_NE(html.find("<a href=\"https://register.example/biddings/guid-1\">"), std::string::npos)
        << html;
    EXPECT_NE(html.find("Квартира &lt;3 комнаты&gt;, 74 м²"), std::string::npos);
    EXPECT_NE(html.find("ООО «Ромашка &amp; Сыновья» №2"), std::string::npos);
}

TEST_P(MailOverTls, ATestMailNamesTheWatchAndTheChannel) {
    MailServer server(GetParam(), kUser, kPassword);
    MailChannel channel(SettingsFor(server, GetParam()));
    const DeliveryOutcome outcome = channel.Test("Земля у реки");
    ASSERT_EQ(outcome.kind, DeliveryOutcome::Kind::Delivered) << outcome.message;
    const nlohmann::json mail = server.Received(0);
    EXPECT_EQ(mail["subject"], "Проверка: наблюдение «Земля у реки»");
    EXPECT_NE(mail["parts"][0]["text"].get<std::string>().find(
                  "Проверка канала «почта» наблюдения «Земля у реки»"),
              std::string::npos);
}

TEST_P(MailOverTls, AWrongPasswordIsRefusedAndItsMessageHoldsNoPassword) {
    MailServer server(GetParam(), kUser, kPassword);
    MailSettings settings = SettingsFor(server, GetParam());
    settings.password = "wrong-пароль-42";
    MailChannel channel(settings);
    const DeliveryOutcome outcome = channel.Deliver(testing::SampleNews(1));
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Refused) << outcome.message;
    EXPECT_EQ(outcome.message.rfind("почта: сервер 127.0.0.1:", 0), 0u) << outcome.message;
    EXPECT_NE(outcome.message.find("отказал во входе пользователю korvalot"), std::string::npos)
        << outcome.message;
    EXPECT_EQ(outcome.message.find("wrong-пароль-42"), std::string::npos);
    EXPECT_EQ(outcome.message.find('\n'), std::string::npos);
    EXPECT_FALSE(server.Took(0));
}

TEST_P(MailOverTls, AServerNotTrustedIsRefusedBeforeTheLogin) {
    MailServer server(GetParam(), kUser, kPassword);
    MailSettings settings = SettingsFor(server, GetParam());
    settings.certificates.clear();  // the system's certificates alone
    MailChannel channel(settings);
    const DeliveryOutcome outcome = channel.Deliver(testing::SampleNews(1));
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Refused) << outcome.message;
    EXPECT_EQ(outcome.message.find(kPassword), std::string::npos);
    EXPECT_FALSE(server.Took(0));
}

INSTANTIATE_TEST_SUITE_P(Security, MailOverTls, ::testing::Values("starttls", "tls"));

struct RecipientCase {
    const char* to;
    DeliveryOutcome::Kind kind;
    std::string expected;  // the message's end
};

void PrintTo(const RecipientCase& c, std::ostream* os) {
    *os << c.to;
}

class RecipientRefused : public ::testing::TestWithParam<RecipientCase> {};

// A mail server's 5xx is for good and its 4xx for later, unlike HTTP's 4xx.
TEST_P(RecipientRefused, AsTheMailServerMeantIt) {
    MailServer server("starttls", kUser, kPassword);
    MailSettings settings = SettingsFor(server, "starttls");
    settings.to = {"one@example.ru", GetParam().to};
    const DeliveryOutcome outcome = MailChannel(settings).Deliver(testing::SampleNews(1));
    EXPECT_EQ(outcome.kind, GetParam().kind) << outcome.message;
    EXPECT_TRUE(outcome.message.ends_with(GetParam().expected)) << outcome.message;
    EXPECT_EQ(outcome.message.find(kPassword), std::string::npos);
    EXPECT_FALSE(server.Took(0));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RecipientRefused,
    ::testing::Values(RecipientCase{"nobody@example.ru", DeliveryOutcome::Kind::Refused,
                                    " не принял письмо (550): RCPT failed: 550"},
                      RecipientCase{"later@example.ru", DeliveryOutcome::Kind::Failed,
                                    " не отправлено, повтор позже (451): RCPT failed: 451"}));

TEST(MailChannel, AServerWithoutStartTlsIsRefusedAndNeverOfferedThePassword) {
    MailServer server("plain", kUser, kPassword);
    const DeliveryOutcome outcome =
        MailChannel(SettingsFor(server, "starttls")).Deliver(testing::SampleNews(1));
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Refused) << outcome.message;
    EXPECT_EQ(outcome.message.find(kPassword), std::string::npos);
    EXPECT_FALSE(server.OfferedLogin());
    EXPECT_FALSE(server.Took(0));
}

TEST(MailChannel, AServerThatIsDownIsForLater) {
    testing::RefusingPort down;
    MailSettings settings;
    settings.server = "127.0.0.1";
    settings.port = down.Port();
    settings.from = "korvalot@example.ru";
    settings.to = {"one@example.ru"};
    settings.user = kUser;
    settings.password = kPassword;
    MailChannel channel(settings);
    const DeliveryOutcome outcome = channel.Deliver(testing::SampleNews(1));
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Failed) << outcome.message;
    EXPECT_EQ(outcome.message.rfind("почта: письмо через 127.0.0.1:", 0), 0u) << outcome.message;
    EXPECT_EQ(outcome.message.find(kPassword), std::string::npos);
}

TEST(MailChannel, NoNewsSendsNothing) {
    MailServer server("starttls", kUser, kPassword);
    MailChannel channel(SettingsFor(server, "starttls"));
    EXPECT_EQ(channel.Deliver(testing::SampleNews(0)).kind, DeliveryOutcome::Kind::Delivered);
    EXPECT_EQ(channel.Deliver(testing::SampleNews(1)).kind, DeliveryOutcome::Kind::Delivered);
    // The one mail the server took is the news with an item.
    EXPECT_EQ(server.Received(0)["subject"], "Наблюдение «Квартиры в Москве»: 1 новость");
    EXPECT_FALSE(server.Took(1));
}

}  // namespace
}  // namespace korvalot::notify
