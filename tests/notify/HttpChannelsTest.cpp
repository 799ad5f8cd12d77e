#include <gtest/gtest.h>

#include "notify/NotifyServers.h"
#include "notify/SampleNews.h"
#include "notify/TelegramChannel.h"
#include "notify/WebhookChannel.h"
#include "support/ScriptedServer.h"

namespace korvalot::notify {
namespace {

using testing::ChildServer;
using testing::ScratchFolder;

const char kToken[] = "123456:AAE-bot-token";

// Python's http.server over TLS on 127.0.0.1, answering in turn as told; each request it took
// is a JSON file.
class Receiver {
public:
    explicit Receiver(std::vector<std::string> answers = {})
        : certificate_(testing::WriteLoopbackCertificate(folder_.Path())),
          server_(Arguments(answers)) {}

    std::string Base() const { return "https://127.0.0.1:" + std::to_string(server_.Port()); }
    const std::filesystem::path& Certificate() const { return certificate_.certificate; }
    int Count() const {
        int n = 0;
        while (std::filesystem::exists(folder_ / (std::to_string(n) + ".json"))) {
            ++n;
        }
        return n;
    }
    nlohmann::json Request(int n) const {
        return testing::ReadJsonFile(folder_ / (std::to_string(n) + ".json"));
    }

private:
    std::vector<std::string> Arguments(const std::vector<std::string>& answers) const {
        std::vector<std::string> argv{
            PYTHON_PATH, HTTPS_RECEIVER_SCRIPT,     "--cert", certificate_.certificate.string(),
            "--key",     certificate_.key.string(), "--out",  folder_.Path().string()};
        for (const std::string& a : answers) {
            argv.push_back("--answer");
            argv.push_back(a);
        }
        return argv;
    }
    ScratchFolder folder_;
    testing::CertificateFiles certificate_;
    ChildServer server_;
};

TelegramSettings Telegram(const Receiver& receiver) {
    TelegramSettings s;
    s.chat = "-1001234567890";
    s.token = kToken;
    s.apiBase = receiver.Base();
    s.certificates = receiver.Certificate();
    s.timeout = std::chrono::seconds(30);
    return s;
}

// Characters as Telegram counts them, for text without characters beyond the first plane.
std::size_t Characters(const std::string& text) {
    std::size_t n = 0;
    for (const char c : text) {
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }
    return n;
}

TEST(TelegramChannel, LongNewsAreSplitBetweenEntriesIntoMessagesWithinTheLimit) {
    Receiver receiver;
    TelegramChannel channel(Telegram(receiver));
    WatchNews news = testing::SampleNews(0);
    for (int i = 1; i <= 30; ++i) {
        news.items.push_back(testing::SampleItem(i, NewsKind::NewLot,
                                                 "Лот " + std::to_string(i) + ": " +
                                                     std::string(120, 'x') + " помещение, " +
                                                     std::string(150, 'y')));
    }
    const DeliveryOutcome outcome = channel.Deliver(news);
    ASSERT_EQ(outcome.kind, DeliveryOutcome::Kind::Delivered) << outcome.message;

    const int count = receiver.Count();
    ASSERT_GE(count, 3);
    std::string all;
    for (int n = 0; n < count; ++n) {
        const nlohmann::json request = receiver.Request(n);
        EXPECT_EQ(request["method"], "POST");
        EXPECT_EQ(request["path"], std::string("/bot") + kToken + "/sendMessage");
        EXPECT_EQ(request["headers"]["content-type"], "application/json");
        const nlohmann::json body = nlohmann::json::parse(request["body"].get<std::string>());
        EXPECT_EQ(body["chat_id"], "-1001234567890");
        const std::string text = body["text"];
        EXPECT_LE(Characters(text), 4096u);
        EXPECT_EQ(text.rfind(n == 0 ? "Наблюдение «Квартиры в Москве»: 30 новостей\n\n"
                                    : "Наблюдение «Квартиры в Москве», продолжение\n\n",
                             0),
                  0u)
            << text.substr(0, 200);
        // Every lot's entry whole in the message that has its title.
        for (int i = 1; i <= 30; ++i) {
            const std::string title =
                "№" + std::to_string(i) + ", торги № " + std::to_string(11000 + i);
            if (text.find(title) != std::string::npos) {
                EXPECT_NE(text.find("Карточка: https://register.example/biddings/guid-" +
                                    std::to_string(i)),
                          std::string::npos)
                    << "entry " << i << " cut";
            }
        }
        all += text + "\n";
    }
    std::size_t at = 0;
    for (int i = 1; i <= 30; ++i) {  // each entry once, in order
        const std::string card = "/biddings/guid-" + std::to_string(i) + "\n";
        const std::size_t found = all.find(card, at);
        ASSERT_NE(found, std::string::npos) << "entry " << i;
        at = found;
    }
}

TEST(TelegramChannel, AnEntryLongerThanAMessageIsCutAtLineEnds) {
    std::string entry;
    for (int i = 0; i < 40; ++i) {
        entry += "строка " + std::to_string(i) + " " + std::string(20, 'z') + "\n";
    }
    entry += "конец";
    const auto messages = SplitMessages("Заголовок", {"первая", entry, "последняя"}, "Дальше", 300);
    ASSERT_GE(messages.size(), 4u);
    std::string joined;
    for (const std::string& m : messages) {
        EXPECT_LE(TelegramLength(m), 300u);
        EXPECT_TRUE(m.ends_with("z") || m.ends_with("первая") || m.ends_with("конец") ||
                    m.ends_with("последняя"))
            << m;
        std::string content = m.substr(m.find("\n\n") + 2);
        for (std::size_t at; (at = content.find("\n\n")) != std::string::npos;) {
            content.replace(at, 2, "\n");
        }
        joined += content + "\n";
    }
    EXPECT_EQ(messages.front(), "Заголовок\n\nпервая");
    EXPECT_EQ(joined, "первая\n" + entry + "\nпоследняя\n");
}

struct AnswerCase {
    const char* name;
    std::string answer;
    DeliveryOutcome::Kind kind;
    std::string expected;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class TelegramAnswer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(TelegramAnswer, GivesItsOutcomeWithoutTheToken) {
    Receiver receiver({GetParam().answer});
    TelegramChannel channel(Telegram(receiver));
    const DeliveryOutcome outcome = channel.Deliver(testing::SampleNews(1));
    EXPECT_EQ(outcome.kind, GetParam().kind) << outcome.message;
    EXPECT_EQ(outcome.message, GetParam().expected);
    EXPECT_EQ(receiver.Count(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TelegramAnswer,
    ::testing::Values(
        AnswerCase{"Unauthorized",
                   "401:{\"ok\":false,\"error_code\":401,\"description\":\"Unauthorized\"}",
                   DeliveryOutcome::Kind::Refused, "telegram: сервер ответил 401: Unauthorized"},
        AnswerCase{"ChatNotFound",
                   "400:{\"ok\":false,\"description\":\"Bad Request: chat not found\"}",
                   DeliveryOutcome::Kind::Refused,
                   "telegram: сервер ответил 400: Bad Request: chat not found"},
        AnswerCase{"TooManyRequests",
                   "429:{\"ok\":false,\"description\":\"Too Many Requests: retry after 5\"}",
                   DeliveryOutcome::Kind::Failed,
                   "telegram: сервер ответил 429: Too Many Requests: retry after 5; повтор позже"},
        AnswerCase{"ServerError", "502:", DeliveryOutcome::Kind::Failed,
                   "telegram: сервер ответил 502; повтор позже"},
        AnswerCase{"EchoesTheToken",
                   std::string("404:{\"ok\":false,\"description\":\"no bot ") + kToken + "\"}",
                   DeliveryOutcome::Kind::Refused, "telegram: сервер ответил 404: no bot ***"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TelegramChannel, AServerDownIsForLaterAndAnUntrustedOneIsRefused) {
    testing::RefusingPort down;
    TelegramSettings settings;
    settings.chat = "1";
    settings.token = kToken;
    settings.apiBase = "https://127.0.0.1:" + std::to_string(down.Port());
    DeliveryOutcome outcome = TelegramChannel(settings).Test("Дома");
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Failed) << outcome.message;
    EXPECT_EQ(outcome.message.rfind("telegram: не отправлено, повтор позже: ", 0), 0u);
    EXPECT_EQ(outcome.message.find(kToken), std::string::npos);

    Receiver receiver;
    settings = Telegram(receiver);
    settings.certificates.clear();
    outcome = TelegramChannel(settings).Test("Дома");
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Refused) << outcome.message;
    EXPECT_EQ(receiver.Count(), 0);
}

WebhookSettings Webhook(const Receiver& receiver) {
    WebhookSettings s;
    s.url = receiver.Base() + "/hooks/korvalot";
    s.token = "hook-secret";
    s.certificates = receiver.Certificate();
    s.timeout = std::chrono::seconds(30);
    return s;
}

TEST(WebhookChannel, PostsTheWatchAndEachItemWithItsKindAndValues) {
    Receiver receiver;
    WebhookChannel channel(Webhook(receiver));
    const WatchNews news = testing::SampleNews(2);
    const DeliveryOutcome outcome = channel.Deliver(news);
    ASSERT_EQ(outcome.kind, DeliveryOutcome::Kind::Delivered) << outcome.message;
    ASSERT_EQ(receiver.Count(), 1);
    const nlohmann::json request = receiver.Request(0);
    EXPECT_EQ(request["path"], "/hooks/korvalot");
    EXPECT_EQ(request["headers"]["authorization"], "Bearer hook-secret");
    EXPECT_EQ(request["headers"]["content-type"], "application/json; charset=utf-8");
    const nlohmann::json body = nlohmann::json::parse(request["body"].get<std::string>());
    EXPECT_EQ(body["watch"], (nlohmann::json{{"id", 3}, {"name", "Квартиры в Москве"}}));
    EXPECT_EQ(body["upTo"], news.upTo);
    ASSERT_EQ(body["items"].size(), 2u);
    const nlohmann::json& first = body["items"][0];
    EXPECT_EQ(first["kind"], "new_lot");
    EXPECT_EQ(first["lotId"], 101);
    EXPECT_EQ(first["runId"], 7);
    EXPECT_EQ(first["card"], "https://register.example/biddings/guid-1");
    EXPECT_TRUE(first["old"].is_null());
    EXPECT_EQ(first["lot"]["debtorName"], "ООО «Ромашка & Сыновья» №1");
    EXPECT_EQ(first["lot"]["lotDescription"], "Квартира <3 комнаты>, 74 м²");
    const nlohmann::json& second = body["items"][1];
    EXPECT_EQ(second["kind"], "price_drop");
    EXPECT_EQ(second["title"], "цена снизилась");
    EXPECT_EQ(second["old"], "1 500 000,00");
    EXPECT_EQ(second["new"], "1 200 000,00");

    EXPECT_EQ(channel.Test("Квартиры в Москве").kind, DeliveryOutcome::Kind::Delivered);
    const nlohmann::json test =
        nlohmann::json::parse(receiver.Request(1)["body"].get<std::string>());
    EXPECT_EQ(test["test"], true);
    EXPECT_EQ(test["text"],
              "Проверка канала «webhook» наблюдения «Квартиры в Москве»: сообщения korvalot "
              "доходят сюда.");
}

TEST(WebhookChannel, AClientErrorIsRefusedAndAServerErrorIsForLater) {
    Receiver receiver({"404:not here", "503:busy"});
    WebhookChannel channel(Webhook(receiver));
    DeliveryOutcome outcome = channel.Deliver(testing::SampleNews(1));
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Refused);
    EXPECT_EQ(outcome.message, "webhook: сервер ответил 404: not here");
    outcome = channel.Deliver(testing::SampleNews(1));
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Failed);
    EXPECT_EQ(outcome.message, "webhook: сервер ответил 503: busy; повтор позже");
}

}  // namespace
}  // namespace korvalot::notify
