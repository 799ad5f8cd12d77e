// korvalot-watch as a real process on a store that korvalot-harvest --store made against the
// register simulator: its commands, its usage errors, its summary file, and a channel that did
// not take its news, which the next check delivers once.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>

#include "crawl/fakes/TempDir.h"
#include "tools/register-sim/SimProcess.h"
#include "watch/WatchPrograms.h"

namespace korvalot {
namespace {

using crawl::testing_support::ReadBytes;
using crawl::testing_support::TempDir;
using crawl::testing_support::WriteBytes;
using testing::HeardNews;
using testing::ProgramOutcome;
using testing::WebhookReceiver;
namespace fs = std::filesystem;

constexpr const char* kToken = "hook-token-5f2a";

// A store of two regions harvested once for the whole suite; each test works on a copy.
class WatchProgramTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        made_ = new TempDir;
        const fs::path dir = made_->path();
        ASSERT_EQ(::system(("'" + tools::SimProcess::DefaultBinary() + "' --write-client-cert '" +
                            dir.string() + "'")
                               .c_str()),
                  0);
        tools::SimProcess sim({"--port", "0", "--trades", "150", "--seed", "7", "--from",
                               "2026-06-01", "--to", "2026-06-30", "--today", "2026-06-10",
                               "--require-client-cert"});
        const ProgramOutcome o =
            testing::RunProgram(HARVEST_PATH, dir, sim.BaseUrl(),
                                {"-r", "77,23", "-T", "OpenAuction,PublicOffer", "-o", "results",
                                 "--store", "korvalot.sqlite"});
        ASSERT_EQ(o.status, 0) << o.err;
    }
    static void TearDownTestSuite() {
        delete made_;
        made_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(fs::exists(made_->path() / "korvalot.sqlite"));
        fs::copy_file(made_->path() / "korvalot.sqlite", dir_ / "korvalot.sqlite");
    }

    ProgramOutcome Watch(std::vector<std::string> args) const {
        args.insert(args.end(), {"--store", "korvalot.sqlite", "--channels-file", "channels.ini"});
        return testing::RunProgram(WATCH_PATH, dir_.path(), "https://127.0.0.1:9", args);
    }

    static TempDir* made_;
    TempDir dir_;
};

TempDir* WatchProgramTest::made_ = nullptr;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// The news as a comparable list: kind, guid and description, sorted.
std::vector<std::string> Keys(const std::vector<HeardNews>& news) {
    std::vector<std::string> keys;
    for (const HeardNews& n : news)
        keys.push_back(n.watch + "|" + n.kind + "|" + n.guid + "|" + n.description + "|" +
                       n.change);
    std::sort(keys.begin(), keys.end());
    return keys;
}

TEST_F(WatchProgramTest, AddListChangeShowAndRemoveKeepTheWatchesOfTheStore) {
    ProgramOutcome o = Watch({"add", "Квартиры", "--regions", "77", "--words", "квартира",
                              "--below", "5000000", "--drop", "10", "--channels", "webhook,вывод"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "korvalot-watch: наблюдение \"Квартиры\" добавлено\n");
    o = Watch({"add", "Всё", "--report-existing", "-q"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");

    o = Watch({"list"});
    ASSERT_EQ(o.status, 0) << o.err;
    // By name.
    std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 2u) << o.out;
    EXPECT_EQ(lines[0], "Всё\tканалы: вывод\tфильтр: {}");
    EXPECT_EQ(lines[1],
              "Квартиры\tканалы: webhook,вывод\tниже: 5000000\tснижение: 10 %\tфильтр: "
              "{\"regions\":[\"77\"],\"words\":[\"квартира\"]}");

    // Options given replace their own; the rest stays.
    o = Watch({"change", "Квартиры", "--no-below", "--drop", "25", "--channels", "вывод",
               "--rename", "Квартиры Москвы"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "korvalot-watch: наблюдение \"Квартиры\" изменено\n");
    o = Watch({"list"});
    lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 2u) << o.out;
    EXPECT_EQ(lines[1],
              "Квартиры Москвы\tканалы: вывод\tснижение: 25 %\tфильтр: "
              "{\"regions\":[\"77\"],\"words\":[\"квартира\"]}");

    // A watch from now on has nothing to show; one that reports what exists shows every lot.
    o = Watch({"show", "Квартиры Москвы"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "korvalot-watch: наблюдение \"Квартиры Москвы\": новостей нет\n");
    o = Watch({"show", "Всё"});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<HeardNews> shown = testing::StandardOutputNews(o.out);
    ASSERT_GT(shown.size(), 15u);
    for (const HeardNews& n : shown)
        EXPECT_EQ(n.kind, "новый лот") << n.guid;
    // Showing sends nothing, so a second look shows the same.
    EXPECT_EQ(Keys(testing::StandardOutputNews(Watch({"show", "Всё"}).out)), Keys(shown));

    o = Watch({"remove", "Всё"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "korvalot-watch: наблюдение \"Всё\" удалено\n");
    EXPECT_EQ(Lines(Watch({"list"}).out).size(), 1u);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"remove", "Всё"}, {"show", "Всё"}, {"change", "Всё", "--drop", "5"}}) {
        o = Watch(args);
        EXPECT_EQ(o.status, 2) << args[0];
        EXPECT_EQ(o.err, "korvalot-watch: наблюдения \"Всё\" нет\n") << args[0];
    }
}

// Every usage error is one line on the standard error and status 2, before the store is opened.
TEST_F(WatchProgramTest, UsageErrorsAreOneLineAndStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const Case cases[] = {
        {{}, "не указана команда"},
        {{"watch"}, "неизвестная команда: watch"},
        {{"add"}, "add: нужно одно имя наблюдения"},
        {{"remove", "a", "b"}, "remove: нужно одно имя наблюдения"},
        {{"list", "a"}, "list: имена не указывают"},
        {{"add", "a,b"}, "имя наблюдения без запятых"},
        {{"check", "--below", "100"}, "параметры наблюдения указывают только с add и change"},
        {{"change", "a"}, "change: не указано, что изменить"},
        {{"change", "a", "--report-existing"}, "--report-existing указывают только с add"},
        {{"add", "a", "--rename", "b"}, "--rename указывают только с change"},
        {{"change", "a", "--below", "5", "--no-below"}, "--below с --no-below"},
        {{"add", "a", "--drop", "100"}, "--drop: нужен процент больше 0 и меньше 100: 100"},
        {{"add", "a", "--below", "дёшево"}, "--below: нужна цена в рублях"},
        {{"add", "a", "--channels", "вывод,голубь"}, "--channels: нет канала \"голубь\""},
        {{"add", "a", "--price-from", "10", "--price-to", "5"}, "--price-from больше --price-to"},
        {{"add", "a", "--from", "2026-06-10", "--to", "2026-06-01"}, "--from"},
        {{"add", "a", "--regions", "all,77"}, "--regions"},
        {{"add", "a", "--types", "Barter"}, "--types"},
        {{"add", "a", "--store"}, "--store"},
        {{"list", "--nonsense"}, "--nonsense"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        const ProgramOutcome o = testing::RunProgram(WATCH_PATH, dir_.path(), "", c.args);
        EXPECT_EQ(o.status, 2) << shown;
        EXPECT_EQ(o.out, "") << shown;
        ASSERT_EQ(Lines(o.err).size(), 1u) << shown << "\n" << o.err;
        EXPECT_TRUE(o.err.starts_with("korvalot-watch: ")) << o.err;
        EXPECT_TRUE(o.err.ends_with(" (--help: справка)\n")) << o.err;
        EXPECT_NE(o.err.find(c.said), std::string::npos) << shown << "\n" << o.err;
    }
    // Nothing was added meanwhile.
    EXPECT_EQ(Watch({"list"}).out, "");

    // A store that is no store: status 3, one line.
    WriteBytes(dir_ / "nostore.sqlite", "not a database, not at all, just text\n");
    fs::create_directory(dir_ / "folder.sqlite");
    for (const char* store : {"nostore.sqlite", "folder.sqlite", "absent.sqlite"}) {
        const ProgramOutcome o =
            testing::RunProgram(WATCH_PATH, dir_.path(), "", {"list", "--store", store});
        EXPECT_EQ(o.status, 3) << store;
        EXPECT_EQ(Lines(o.err).size(), 1u) << o.err;
        EXPECT_NE(o.err.find(store), std::string::npos) << o.err;
    }
    EXPECT_FALSE(fs::exists(dir_ / "absent.sqlite"));
}

// A check through a webhook nothing listens on: the standard output takes its news, the webhook
// does not, the status is 1 and the summary says which. Once the receiver listens, the next check
// delivers the webhook exactly what it missed, and a third sends nothing.
TEST_F(WatchProgramTest, AChannelThatFailedTakesItsNewsOnceAtTheNextCheck) {
    std::optional<WebhookReceiver> receiver(std::in_place);
    const std::string deadUrl = receiver->Url();
    testing::WriteChannelSettings(dir_.path(), deadUrl, receiver->Certificate(), kToken);
    receiver.reset();  // nothing listens on its port any more

    ASSERT_EQ(Watch({"add", "Краснодар", "--regions", "23", "--report-existing", "--channels",
                     "вывод,webhook"})
                  .status,
              0);
    ASSERT_EQ(Watch({"add", "Тихое", "--regions", "77", "--channels", "webhook"}).status, 0);

    ProgramOutcome o = Watch({"check", "--summary-json", "summary.json"});
    EXPECT_EQ(o.status, 1) << o.err;
    const std::vector<HeardNews> first = testing::StandardOutputNews(o.out);
    ASSERT_GT(first.size(), 3u);
    EXPECT_NE(o.err.find("korvalot-watch: Наблюдение \"Краснодар\", канал webhook: не доставлено "
                         "(новостей: " +
                         std::to_string(first.size()) + "), повтор при следующей проверке: "),
              std::string::npos)
        << o.err;
    EXPECT_TRUE(o.err.ends_with("korvalot-watch: не доставлено: \"Краснодар\" webhook\n")) << o.err;
    EXPECT_EQ(o.err.find(kToken), std::string::npos) << o.err;
    nlohmann::json summary = nlohmann::json::parse(ReadBytes(dir_ / "summary.json"));
    EXPECT_EQ(summary["command"], "check");
    EXPECT_EQ(summary["exitStatus"], 1);
    EXPECT_EQ(summary["error"], "не доставлено: \"Краснодар\" webhook");
    std::map<std::string, nlohmann::json> deliveries;
    for (const nlohmann::json& d : summary["deliveries"])
        deliveries[d["watch"].get<std::string>() + " " + d["channel"].get<std::string>()] = d;
    ASSERT_EQ(deliveries.size(), 3u) << summary.dump();
    EXPECT_EQ(deliveries["Краснодар вывод"]["delivered"], true);
    EXPECT_EQ(deliveries["Краснодар вывод"]["items"], first.size());
    EXPECT_EQ(deliveries["Краснодар webhook"]["delivered"], false);
    EXPECT_EQ(deliveries["Краснодар webhook"]["items"], first.size());
    EXPECT_NE(deliveries["Краснодар webhook"]["message"].get<std::string>().find("webhook"),
              std::string::npos);
    // A watch without news sends nothing, so the dead webhook did not fail it.
    EXPECT_EQ(deliveries["Тихое webhook"]["delivered"], true);
    EXPECT_EQ(deliveries["Тихое webhook"]["items"], 0);

    // What the webhook missed, once, and nothing again for the standard output.
    receiver.emplace();
    testing::WriteChannelSettings(dir_.path(), receiver->Url(), receiver->Certificate(), kToken);
    o = Watch({"check", "-q", "--summary-json", "summary.json"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    ASSERT_EQ(receiver->Count(), 1);
    const nlohmann::json request = receiver->Request(0);
    EXPECT_EQ(request["path"], "/korvalot");
    EXPECT_EQ(request["headers"]["authorization"], std::string("Bearer ") + kToken);
    EXPECT_EQ(Keys(testing::WebhookNews(request)), Keys(first));
    summary = nlohmann::json::parse(ReadBytes(dir_ / "summary.json"));
    EXPECT_EQ(summary["exitStatus"], 0);
    EXPECT_EQ(summary["error"], "");

    o = Watch({"check"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(receiver->Count(), 1);

    // A test message goes through every channel of the watch, whatever its news.
    o = Watch({"test", "Краснодар"});
    ASSERT_EQ(o.status, 0) << o.err;
    ASSERT_EQ(receiver->Count(), 2);
    const nlohmann::json test =
        nlohmann::json::parse(receiver->Request(1)["body"].get<std::string>());
    EXPECT_EQ(test["test"], true);
    EXPECT_EQ(test["watch"]["name"], "Краснодар");
    EXPECT_NE(o.out.find("Краснодар"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("канал webhook: пробное сообщение доставлено"), std::string::npos)
        << o.err;
}

// A secrets file that others may read is refused: the channel is not set up, the check says so
// and fails with status 1, and the news wait for a file that is right.
TEST_F(WatchProgramTest, ASecretsFileOthersMayReadKeepsTheNewsForLater) {
    WebhookReceiver receiver;
    testing::WriteChannelSettings(dir_.path(), receiver.Url(), receiver.Certificate(), kToken);
    fs::permissions(dir_ / "secrets.ini", fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::add);
    ASSERT_EQ(
        Watch({"add", "Краснодар", "--regions", "23", "--report-existing", "--channels", "webhook"})
            .status,
        0);
    ProgramOutcome o = Watch({"check"});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find("korvalot-watch: Наблюдение \"Краснодар\": файл секретов "),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("доступен другим пользователям (права 0644); нужны права 0600"),
              std::string::npos)
        << o.err;
    EXPECT_TRUE(o.err.ends_with("korvalot-watch: не доставлено: \"Краснодар\" webhook\n")) << o.err;
    EXPECT_EQ(receiver.Count(), 0);

    fs::permissions(dir_ / "secrets.ini", fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::remove);
    o = Watch({"check", "-q"});
    ASSERT_EQ(o.status, 0) << o.err;
    ASSERT_EQ(receiver.Count(), 1);
    EXPECT_GT(testing::WebhookNews(receiver.Request(0)).size(), 3u);
}

}  // namespace
}  // namespace korvalot
