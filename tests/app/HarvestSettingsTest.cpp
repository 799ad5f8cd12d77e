// The Harvest section of settings.ini as a run takes it, and Start with the store it asks for.
#include "app/HarvestSettings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>

#include <QFile>
#include <QTemporaryDir>

#include "app/FakeMainView.h"
#include "app/MainFormLogic.h"
#include "store/Database.h"
#include "store/TradeStore.h"

namespace korvalot::app {
namespace {

struct LimitCase {
    const char* name;
    const char* value;  // nullptr: no key
    std::chrono::milliseconds limit;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}

class OutageLimitSettingTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(OutageLimitSettingTest, WholeMinutesOrTheRunsOwnLimit) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Harvest]\r\n");
    if (GetParam().value != nullptr)
        file.write(QByteArray("OutageLimitMinutes=") + GetParam().value + "\r\n");
    file.close();
    crawl::ScraperEnvironment environment;
    ApplyHarvestSettings(path, environment);
    EXPECT_EQ(environment.outageLimit, GetParam().limit);
}

using std::chrono::hours;
using std::chrono::minutes;

INSTANTIATE_TEST_SUITE_P(
    Values, OutageLimitSettingTest,
    ::testing::Values(LimitCase{"NoKey", nullptr, hours(2)},
                      LimitCase{"HalfAnHour", "30", minutes(30)},
                      LimitCase{"ZeroWithBlanks", " 0 ", minutes(0)},
                      LimitCase{"AYear", "525600", minutes(525600)},
                      LimitCase{"MoreThanAYear", "525601", hours(2)},
                      LimitCase{"Negative", "-5", hours(2)}, LimitCase{"Fraction", "1.5", hours(2)},
                      LimitCase{"Word", "zwei", hours(2)}, LimitCase{"Empty", "", hours(2)}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct StoreCase {
    const char* name;
    const char* says;  // the refusal's reason after the store's path; nullptr: the run starts
};

void PrintTo(const StoreCase& c, std::ostream* os) {
    *os << c.name;
}

class StartWithStoreTest : public ::testing::TestWithParam<StoreCase> {};

// With [Harvest] Store=1 the window opens the store at Start, before any run exists: a store
// that cannot be used refuses the start in one log line, as an empty selection does, and is left
// as it was; a usable one is the run's, with the run already recorded.
TEST_P(StartWithStoreTest, AStoreThatCannotBeUsedRefusesTheStartInOneLine) {
    const StoreCase& c = GetParam();
    const std::string name = c.name;
    QTemporaryDir dir;
    const QString settings = dir.filePath(QStringLiteral("settings.ini"));
    QFile ini(settings);
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Harvest]\r\nStore=1\r\n");
    ini.close();
    const std::filesystem::path store =
        std::filesystem::path(dir.path().toStdString()) / "korvalot.sqlite";
    std::optional<store::Database> holder;
    if (name == "NotADatabase") {
        std::ofstream(store, std::ios::binary) << "заметки, а не хранилище\n" << std::string(4096, '-');
    } else if (name == "HeldByAnotherWriter") {
        { store::TradeStore made(store); }
        holder.emplace(store, store::Database::Mode::ReadWrite);
        holder->Execute("BEGIN IMMEDIATE");
    } else if (name == "WrittenByALaterVersion") {
        store::Database db(store, store::Database::Mode::ReadWriteCreate);
        db.Execute("PRAGMA user_version = 99");
    }
    const bool existed = std::filesystem::exists(store);
    const std::string before = existed ? FileBytes(store) : "";

    testing::FakeMainView view;
    view.cities = {{QStringLiteral("Москва (77)"), true}};
    view.cats[0].selected = true;
    view.log = {QStringLiteral("earlier line")};
    MainFormServices services;
    services.exeDir = dir.path() + u'/';
    crawl::ScraperEnvironment environment;
    auto run = std::make_shared<testing::FakeRun>();
    int runsMade = 0;
    services.startRun = [&]() -> std::shared_ptr<IRunHandle> {
        ApplyHarvestSettings(settings, environment);
        ++runsMade;
        return run;
    };
    MainFormLogic logic(view, services);
    logic.StartButtonClick();
    if (holder)
        holder->Execute("ROLLBACK");

    if (c.says == nullptr) {
        EXPECT_EQ(runsMade, 1);
        EXPECT_EQ(view.log, QStringList{QStringLiteral("earlier line")});
        ASSERT_TRUE(environment.openTradeSink);
        EXPECT_NE(environment.openTradeSink(), nullptr);
        store::Database db(store, store::Database::Mode::ReadWrite);
        store::Statement runs(db, "SELECT program FROM runs");
        ASSERT_TRUE(runs.Step());
        EXPECT_EQ(runs.Text(0), "korvalot");
        return;
    }
    EXPECT_EQ(runsMade, 0);
    EXPECT_EQ(logic.ActiveRun(), nullptr);
    EXPECT_FALSE(environment.openTradeSink);
    ASSERT_EQ(view.log.size(), 2) << view.log.join(u'\n').toStdString();
    EXPECT_EQ(view.log[0], QStringLiteral("earlier line"));
    const QString expected = QStringLiteral("Хранилище недоступно, старт невозможен: хранилище ") +
                             QString::fromStdString(store.string()) + QStringLiteral(": ") +
                             QString::fromUtf8(c.says);
    EXPECT_TRUE(view.log[1].startsWith(expected)) << view.log[1].toStdString();
    EXPECT_TRUE(view.log[1].endsWith(
        QStringLiteral(". Освободите хранилище или отключите Store в settings.ini.")))
        << view.log[1].toStdString();
    // Nothing of a run began: no control was disabled, no hourglass shown.
    EXPECT_TRUE(view.enableCalls.empty());
    EXPECT_EQ(view.hourGlassMaxDepth, 0);
    EXPECT_EQ(std::filesystem::exists(store), existed);
    EXPECT_EQ(existed ? FileBytes(store) : "", before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartWithStoreTest,
    ::testing::Values(StoreCase{"NotADatabase", "это не база данных SQLite"},
                      StoreCase{"HeldByAnotherWriter", "занято другим процессом"},
                      StoreCase{"WrittenByALaterVersion", "записано более новой версией"},
                      StoreCase{"Usable", nullptr}),
    [](const ::testing::TestParamInfo<StoreCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::app
