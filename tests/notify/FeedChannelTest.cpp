#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "notify/FeedChannel.h"
#include "notify/NotifyServers.h"
#include "notify/SampleNews.h"

namespace korvalot::notify {
namespace {

using testing::ScratchFolder;

nlohmann::json ReadFeed(const std::filesystem::path& file) {
    return nlohmann::json::parse(testing::RunForOutput({PYTHON_PATH, READ_FEED_SCRIPT, file}));
}

std::vector<std::string> EntryIds(const nlohmann::json& feed) {
    std::vector<std::string> ids;
    for (const auto& e : feed["entries"]) {
        ids.push_back(e["id"]);
    }
    return ids;
}

std::string Id(int n, const char* kind) {
    return "urn:korvalot:watch:3:lot:" + std::to_string(100 + n) + ":" + kind + ":run:7";
}

TEST(FeedChannel, AFeedReaderReadsAValidAtomFeedOfTheNewsWithLinksToTheCards) {
    ScratchFolder dir;
    FeedChannel channel(FeedSettings{dir / "feeds", 50});
    const DeliveryOutcome outcome = channel.Deliver(testing::SampleNews(2));
    ASSERT_EQ(outcome.kind, DeliveryOutcome::Kind::Delivered) << outcome.message;
    const std::filesystem::path file = dir / "feeds" / "watch-3.atom";
    ASSERT_EQ(channel.FeedFile(3), file);

    const nlohmann::json feed = ReadFeed(file);
    EXPECT_FALSE(feed["bozo"].get<bool>()) << feed["bozo_exception"];
    EXPECT_EQ(feed["version"], "atom10");
    EXPECT_EQ(feed["id"], "urn:korvalot:watch:3");
    EXPECT_EQ(feed["title"], "Наблюдение «Квартиры в Москве»");
    EXPECT_TRUE(feed["updated_parsed"].get<bool>()) << feed["updated"];
    // The newest first: the news's last item leads.
    EXPECT_EQ(EntryIds(feed), (std::vector<std::string>{Id(2, "price_drop"), Id(1, "new_lot")}));
    const auto& entry = feed["entries"][1];
    EXPECT_EQ(entry["title"], "новый лот: ООО «Ромашка & Сыновья» №1, торги № 11001");
    EXPECT_TRUE(entry["updated_parsed"].get<bool>()) << entry["updated"];
    EXPECT_TRUE(entry["updated"].get<std::string>().starts_with("2024-05-07T09:30:01"))
        << entry["updated"];
    EXPECT_EQ(entry["links"], (nlohmann::json{"https://register.example/biddings/guid-1"}));
    EXPECT_NE(entry["content"].get<std::string>().find("Квартира <3 комнаты>, 74 м²"),
              std::string::npos);
}

TEST(FeedChannel, KeepsTheLastEntriesAcrossWritesWithoutRepeatingAny) {
    ScratchFolder dir;
    FeedChannel channel(FeedSettings{dir.Path(), 4});
    ASSERT_EQ(channel.Deliver(testing::SampleNews(3, 1)).kind, DeliveryOutcome::Kind::Delivered);
    ::chmod(channel.FeedFile(3).c_str(), 0644);
    // Items 3 and 4 new, 3 delivered again (a channel that failed elsewhere sends it twice).
    ASSERT_EQ(channel.Deliver(testing::SampleNews(2, 3)).kind, DeliveryOutcome::Kind::Delivered);
    nlohmann::json feed = ReadFeed(channel.FeedFile(3));
    EXPECT_FALSE(feed["bozo"].get<bool>()) << feed["bozo_exception"];
    EXPECT_EQ(EntryIds(feed), (std::vector<std::string>{Id(4, "price_drop"), Id(3, "new_lot"),
                                                        Id(2, "price_drop"), Id(1, "new_lot")}));

    ASSERT_EQ(channel.Deliver(testing::SampleNews(2, 5)).kind, DeliveryOutcome::Kind::Delivered);
    feed = ReadFeed(channel.FeedFile(3));
    EXPECT_EQ(EntryIds(feed), (std::vector<std::string>{Id(6, "price_drop"), Id(5, "new_lot"),
                                                        Id(4, "price_drop"), Id(3, "new_lot")}));
    EXPECT_EQ(feed["entries"][3]["links"],
              (nlohmann::json{"https://register.example/biddings/guid-3"}));
    struct stat st {};
    ASSERT_EQ(::stat(channel.FeedFile(3).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // the replaced file's mode kept
    // Nothing left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(FeedChannel, AFileThatIsNoFeedIsRefusedAndLeftAsItIs) {
    ScratchFolder dir;
    FeedChannel channel(FeedSettings{dir.Path(), 50});
    std::ofstream(channel.FeedFile(3)) << "мои заметки\n";
    const DeliveryOutcome outcome = channel.Deliver(testing::SampleNews(1));
    EXPECT_EQ(outcome.kind, DeliveryOutcome::Kind::Refused);
    EXPECT_EQ(outcome.message,
              "лента: файл " + channel.FeedFile(3).string() + " не лента Atom, он не заменяется");
    std::ifstream in(channel.FeedFile(3));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "мои заметки\n");
}

TEST(FeedChannel, AtomTimesCarryTheLocalZone) {
    const std::time_t now = 1715063400;  // 2024-05-07 06:30:00 UTC
    const std::string local = AtomTime("2024-05-07 09:30:00", now);
    EXPECT_EQ(local.size(), 25u) << local;
    EXPECT_TRUE(local.starts_with("2024-05-07T09:30:00")) << local;
    EXPECT_EQ(AtomTime("2024-05-07T09:30:00.123Z", now), "2024-05-07T09:30:00Z");
    EXPECT_EQ(AtomTime("2024-05-07T09:30:00+03:00", now), "2024-05-07T09:30:00+03:00");
    EXPECT_EQ(AtomTime("вчера", now).size(), 25u);
}

}  // namespace
}  // namespace korvalot::notify
