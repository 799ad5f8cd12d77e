#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "notify/ChannelSettings.h"
#include "notify/Channels.h"
#include "notify/NotifyError.h"
#include "notify/NotifyServers.h"
#include "notify/SampleNews.h"
#include "notify/StandardOutputChannel.h"

namespace korvalot::notify {
namespace {

using testing::ScratchFolder;

const char kPassword[] = "Pa55-word-секрет";
const char kToken[] = "123456:ABC-token-zz";

void Write(const std::filesystem::path& file, const std::string& text, mode_t mode = 0600) {
    std::ofstream(file) << text;
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
}

std::string Secrets() {
    return std::string("[mail]\npassword = ") + kPassword + "\n[telegram]\ntoken = " + kToken +
           "\n[webhook]\ntoken = hook-token\n";
}

TEST(ChannelSettings, ReadsEveryChannelAndTakesSecretsFromTheOwnersFile) {
    ScratchFolder dir;
    Write(dir / "secrets.ini", Secrets());
    Write(dir / "channels.ini",
          "; channels of the watches\n"
          "secrets = secrets.ini\n"
          "[mail]\nserver = smtp.example.ru\nsecurity = tls\nfrom = k@example.ru\n"
          "to = a@example.ru, b@example.ru\nuser = korvalot\ncertificates = ca.pem\n"
          "[telegram]\nchat = -100123\n"
          "[webhook]\nurl = https://hooks.example.ru/k\n"
          "[feed]\nfolder = feeds\n"
          "[stdout]\n",
          0644);
    const ChannelSettings s = ReadChannelSettings(dir / "channels.ini");
    ASSERT_TRUE(s.mail && s.telegram && s.webhook && s.feed);
    EXPECT_EQ(s.mail->server, "smtp.example.ru");
    EXPECT_EQ(s.mail->security, MailSettings::Security::Tls);
    EXPECT_EQ(s.mail->port, 465);
    EXPECT_EQ(s.mail->to, (std::vector<std::string>{"a@example.ru", "b@example.ru"}));
    EXPECT_EQ(s.mail->password, kPassword);
    EXPECT_EQ(s.mail->certificates, dir.Path() / "ca.pem");
    EXPECT_EQ(s.telegram->token, kToken);
    EXPECT_EQ(s.telegram->apiBase, "https://api.telegram.org");
    EXPECT_EQ(s.webhook->token, "hook-token");
    EXPECT_EQ(s.feed->folder, dir.Path() / "feeds");
    EXPECT_EQ(s.feed->entries, 50);
    EXPECT_TRUE(s.standardOutput);

    std::ostringstream out;
    const auto channels = MakeChannels(s, out);
    std::vector<std::string> names;
    for (const auto& c : channels) {
        names.push_back(c->Name());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"почта", "telegram", "webhook", "лента", "вывод"}));
}

struct ModeCase {
    mode_t mode;
    bool accepted;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << std::oct << c.mode;
}

class SecretsMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(SecretsMode, OnlyAFileNobodyElseMayReadIsAccepted) {
    ScratchFolder dir;
    Write(dir / "secrets.ini", Secrets(), GetParam().mode);
    Write(dir / "channels.ini", "secrets = secrets.ini\n[telegram]\nchat = 1\n");
    if (GetParam().accepted) {
        EXPECT_EQ(ReadChannelSettings(dir / "channels.ini").telegram->token, kToken);
        return;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(GetParam().mode));
    try {
        ReadChannelSettings(dir / "channels.ini");
        FAIL() << "accepted mode " << mode;
    } catch (const NotifyError& e) {
        EXPECT_EQ(std::string(e.what()), "файл секретов " + (dir / "secrets.ini").string() +
                                             " доступен другим пользователям (права " + mode +
                                             "); нужны права 0600");
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SecretsMode,
                         ::testing::Values(ModeCase{0600, true}, ModeCase{0400, true},
                                           ModeCase{0640, false}, ModeCase{0644, false},
                                           ModeCase{0604, false}, ModeCase{0620, false}));

TEST(ChannelSettings, RefusesASecretsFileOfAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    ScratchFolder dir;
    Write(dir / "secrets.ini", Secrets());
    ASSERT_EQ(::chown((dir / "secrets.ini").c_str(), 65534, 65534), 0);
    Write(dir / "channels.ini", "secrets = secrets.ini\n[telegram]\nchat = 1\n");
    try {
        ReadChannelSettings(dir / "channels.ini");
        FAIL() << "accepted another user's secrets";
    } catch (const NotifyError& e) {
        EXPECT_NE(std::string(e.what()).find("принадлежит другому пользователю"), std::string::npos)
            << e.what();
    }
}

struct BadCase {
    const char* name;
    std::string settings;
    std::string expected;  // a part of the message
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class BadSettings : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadSettings, AreRefusedInOneLineWithoutTheSecrets) {
    ScratchFolder dir;
    Write(dir / "secrets.ini", Secrets());
    Write(dir / "channels.ini", GetParam().settings);
    try {
        ReadChannelSettings(dir / "channels.ini");
        FAIL() << "accepted";
    } catch (const NotifyError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(GetParam().expected), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        EXPECT_EQ(message.find(kPassword), std::string::npos) << message;
        EXPECT_EQ(message.find(kToken), std::string::npos) << message;
    }
}

const std::string kMail =
    "secrets = secrets.ini\n[mail]\nserver = s\nfrom = k@e.ru\nto = a@e.ru\nuser = u\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadSettings,
    ::testing::Values(
        BadCase{"UnknownSection", "[irc]\n", "строка 1: неизвестный раздел [irc]"},
        BadCase{"UnknownKey", kMail + "passwort = x\n",
                "строка 7: неизвестный параметр «passwort» в разделе [mail]"},
        BadCase{"PasswordInSettings", kMail + "password = " + kPassword + "\n",
                "неизвестный параметр «password»"},
        BadCase{"PortNotANumber", kMail + "port = 58x\n", "«port» должно быть числом"},
        BadCase{"Security", kMail + "security = ssl\n", "«security» бывает starttls или tls"},
        BadCase{"NoRecipient", "[mail]\nserver = s\nfrom = k@e.ru\n", "нет адресов «to»"},
        BadCase{"AngleInAddress", "[mail]\nserver = s\nfrom = k@e.ru\nto = a@e.ru>, b@e.ru\n",
                "«a@e.ru>» не похоже на адрес"},
        BadCase{"NotAKeyLine", "[mail]\nserver\n", "строка 2: нужна строка вида"},
        BadCase{"NoPasswordFile", "[mail]\nserver = s\nfrom = k@e.ru\nto = a@e.ru\nuser = u\n",
                "нет файла секретов"},
        BadCase{"PlainTelegram", "secrets = secrets.ini\n[telegram]\nchat = 1\napi = http://x\n",
                "«api» должен начинаться с https://"},
        BadCase{"NoToken", "secrets = other.ini\n[telegram]\nchat = 1\n",
                "other.ini: не открывается"},
        BadCase{"TwiceTheSection", "[stdout]\n[stdout]\n", "раздел [stdout] уже был"},
        BadCase{"FeedWithoutFolder", "[feed]\nentries = 5\n", "нет «folder»"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChannelSettings, AFeedFolderThatIsAFileIsRefusedByTheFactory) {
    ScratchFolder dir;
    Write(dir / "feeds", "");
    ChannelSettings settings;
    settings.feed = FeedSettings{dir / "feeds", 50};
    std::ostringstream out;
    EXPECT_THROW(MakeChannels(settings, out), NotifyError);
}

TEST(StandardOutputChannel, WritesTheNewsAsPlainTextAndNothingForNoNews) {
    ChannelSettings settings;
    settings.standardOutput = true;
    std::ostringstream out;
    auto channels = MakeChannels(settings, out);
    ASSERT_EQ(channels.size(), 1u);
    Channel& channel = *channels[0];

    WatchNews empty = testing::SampleNews(0);
    EXPECT_EQ(channel.Deliver(empty).kind, DeliveryOutcome::Kind::Delivered);
    EXPECT_EQ(out.str(), "");

    const WatchNews news = testing::SampleNews(2);
    EXPECT_EQ(channel.Deliver(news).kind, DeliveryOutcome::Kind::Delivered);
    const std::string text = out.str();
    EXPECT_EQ(text.rfind("Наблюдение «Квартиры в Москве»: 2 новости\n\nновый лот: ООО «Ромашка "
                         "& Сыновья» №1, торги № 11001\nРегион: Москва\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("цена снизилась: ООО «Ромашка & Сыновья» №2"), std::string::npos);
    EXPECT_NE(text.find("Изменение: было 1 500 000,00, стало 1 200 000,00\n"), std::string::npos);
    EXPECT_NE(text.find("Карточка: https://register.example/biddings/guid-2\n"), std::string::npos);

    std::ostringstream broken;
    broken.setstate(std::ios::badbit);
    StandardOutputChannel closed(broken);
    const DeliveryOutcome outcome = closed.Deliver(news);
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Failed);
    EXPECT_EQ(outcome.message.rfind("вывод: ", 0), 0u);
}

}  // namespace
}  // namespace korvalot::notify
