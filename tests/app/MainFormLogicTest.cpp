#include <atomic>
#include <stdexcept>

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/FakeMainView.h"
#include "app/MainFormLogic.h"

namespace korvalot::app {
namespace {

using testing::FakeMainView;
using testing::FakeRun;

const QString kStamp = QStringLiteral("25.06.2026 14:03:07");
const QString kRegionRefusal = QStringLiteral(
    "Ни один регион не выбран, старт невозможен. Кликните по нужному региону для его выбора.");
const QString kCategoryRefusal = QStringLiteral(
    "Ни одна категория не выбрана, старт невозможен. Кликните по нужной категории для её "
    "выбора.");

class MainFormLogicTest : public ::testing::Test {
protected:
    MainFormLogicTest() {
        services.exeDir = dir.path() + u'/';
        services.config = {"https://127.0.0.1:4443", "register.test"};
        services.regional = LocaleFormats(QLocale(QLocale::Russian, QLocale::Russia));
        services.tickCount = [this] { return tick; };
        services.now = [] { return QDateTime(QDate(2026, 6, 25), QTime(14, 3, 7)); };
        services.tlsReady = [this] { return tlsReady; };
        services.fetchDirectory = [this](const std::string& address, const std::string& referer,
                                         const std::function<void()>& whileWaiting) {
            requests.push_back(address + " | " + referer);
            whileWaiting();
            if (!directoryError.empty()) {
                throw std::runtime_error(directoryError);
            }
            return directoryBody;
        };
        services.startRun = [this]() -> std::shared_ptr<IRunHandle> {
            ++runsStarted;
            return run;
        };
        services.lastProgressUpdate = &lastProgress;
    }

    MainFormLogic& Logic() {
        if (!logic) {
            logic = std::make_unique<MainFormLogic>(view, services);
        }
        return *logic;
    }

    void WriteFile(const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QByteArray ReadFile(const QString& name) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    void SelectAndStart() {
        view.cities = {{"Москва (77)", true}};
        view.cats[0].selected = true;
        Logic().StartButtonClick();
        ASSERT_EQ(runsStarted, 1);
    }
    // A started run reports an error and pauses itself for it, as a run does once the result is
    // handled.
    void StartAndEnterTheErrorPause() {
        SelectAndStart();
        Logic().HandleRunResult(crawl::RunResult::Failure("boom"));
        run->paused = true;
        Logic().StartResumeTimer(30000);
    }

    QTemporaryDir dir;
    MainFormServices services;
    FakeMainView view;
    std::unique_ptr<MainFormLogic> logic;
    std::uint32_t tick = 50000;
    std::atomic<std::uint32_t> lastProgress{0};
    bool tlsReady = true;
    std::string directoryBody = "[]";
    std::string directoryError;
    std::vector<std::string> requests;
    std::shared_ptr<FakeRun> run = std::make_shared<FakeRun>();
    int runsStarted = 0;
};

// ---- Start refusals ----

struct RefusalCase {
    const char* name;
    bool city;
    bool cat;
    const QString* expected;  // null: the run starts
};

class StartRefusalTest : public MainFormLogicTest,
                         public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(StartRefusalTest, RefusesWithoutRegionOrTypeAndNeverClearsTheLog) {
    const RefusalCase& c = GetParam();
    view.cities = {{"Москва (77)", c.city}, {"Тверская область (69)", false}};
    view.cats[2].selected = c.cat;
    view.log = {QStringLiteral("earlier line")};
    Logic().StartButtonClick();
    if (c.expected == nullptr) {
        EXPECT_EQ(runsStarted, 1);
        EXPECT_EQ(view.log, QStringList{QStringLiteral("earlier line")});  // Start logs nothing
        return;
    }
    EXPECT_EQ(runsStarted, 0);
    EXPECT_EQ(view.log, (QStringList{QStringLiteral("earlier line"), *c.expected}));
}

INSTANTIATE_TEST_SUITE_P(Cases, StartRefusalTest,
                         ::testing::Values(RefusalCase{"Neither", false, false, &kRegionRefusal},
                                           RefusalCase{"NoRegion", false, true, &kRegionRefusal},
                                           RefusalCase{"NoType", true, false, &kCategoryRefusal},
                                           RefusalCase{"Both", true, true, nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainFormLogicTest, StartWhileARunIsLiveIsIgnoredAndAnEndedRunAllowsANewOne) {
    SelectAndStart();
    Logic().StartButtonClick();
    EXPECT_EQ(runsStarted, 1);
    run->live = false;
    Logic().StartButtonClick();
    EXPECT_EQ(runsStarted, 2);
}

// ---- Pause, Stop, resume timer ----

TEST_F(MainFormLogicTest, PauseTogglesAndStopResumesAPausedRunBeforeTerminating) {
    SelectAndStart();
    Logic().ShowProgress(4, 10);
    Logic().PauseButtonClick();
    Logic().PauseButtonClick();
    Logic().PauseButtonClick();
    Logic().StopButtonClick();
    EXPECT_EQ(run->calls,
              (std::vector<std::string>{"pause", "resume", "pause", "resume", "terminate"}));
    EXPECT_EQ(
        view.log,
        (QStringList{kStamp + ": Включаем паузу", kStamp + ": Отключаем паузу, продолжаем работу",
                     kStamp + ": Включаем паузу", kStamp + ": Останавливаем работу"}));
    EXPECT_EQ(view.progressPos, 0);
    EXPECT_EQ(view.progressHint, QStringLiteral("40%: 4 из 10, осталось 6"));  // left as it was
}

// The run pauses itself after an error and ends that pause itself; the window only shows it.
TEST_F(MainFormLogicTest, TheErrorPauseIsTheRunsAndTheWindowOnlyCountsItDown) {
    StartAndEnterTheErrorPause();
    EXPECT_TRUE(view.resumeArmed);
    run->paused = false;         // the run's time is up: it resumes itself
    Logic().ResumeTimerTimer();  // and reports the end of its pause
    EXPECT_FALSE(view.resumeArmed);
    EXPECT_EQ(view.log.back(), kStamp + ": Отключаем паузу, продолжаем работу");
    EXPECT_TRUE(run->calls.empty()) << "the window paused or resumed the run itself";
}

TEST_F(MainFormLogicTest, StopDuringTheErrorPauseTerminatesTheRun) {
    StartAndEnterTheErrorPause();
    Logic().StopButtonClick();
    EXPECT_EQ(run->terminations, 1);
    EXPECT_FALSE(run->paused);
    EXPECT_EQ(view.log.back(), kStamp + ": Останавливаем работу");
}

TEST_F(MainFormLogicTest, PauseAndStopDoNothingWithoutALiveRun) {
    Logic().PauseButtonClick();
    Logic().StopButtonClick();
    EXPECT_TRUE(view.log.isEmpty());
    SelectAndStart();
    run->live = false;
    run->paused = true;
    Logic().PauseButtonClick();
    Logic().StopButtonClick();
    EXPECT_TRUE(view.log.isEmpty());
    EXPECT_TRUE(run->calls.empty());
}

// Pause during the error pause resumes the run at once, as any pause.
TEST_F(MainFormLogicTest, PauseDuringTheErrorPauseResumesTheRun) {
    StartAndEnterTheErrorPause();
    Logic().PauseButtonClick();
    EXPECT_FALSE(run->paused);
    EXPECT_EQ(run->calls, (std::vector<std::string>{"resume"}));
    EXPECT_EQ(view.log.back(), kStamp + ": Отключаем паузу, продолжаем работу");
}

// ---- HandleRunResult ----

TEST_F(MainFormLogicTest, ResultsAreLoggedAndTheWindowPausesNothing) {
    SelectAndStart();
    const std::string message = [] {
        std::string m;
        for (int i = 0; i < 250; ++i)
            m += "ж";
        return m;
    }();
    const QString wide = QString::fromStdString(message);
    struct Case {
        crawl::RunResult result;
        QStringList lines;
    } cases[] = {
        {crawl::RunResult::Success(), {kStamp + ": Сбор данных завершен"}},
        {crawl::RunResult::Failure(message),
         {kStamp + ": Ошибка: " + wide.left(200), kStamp + ": Включаем паузу на 30 секунд"}},
        {crawl::RunResult::Failure("Ryz"),
         {kStamp + ": Ошибка: Ryz", kStamp + ": Включаем паузу на 30 секунд"}},
    };
    for (const Case& c : cases) {
        view.log.clear();
        Logic().HandleRunResult(c.result);
        EXPECT_EQ(view.log, c.lines) << c.result.Text();
        EXPECT_FALSE(run->paused) << c.result.Text();
        EXPECT_FALSE(view.resumeArmed) << c.result.Text();
    }
    EXPECT_TRUE(run->calls.empty());
}

// ---- UpdateRunUi ----

TEST_F(MainFormLogicTest, RunStartClearsTheLogAndDisablesTheSelectionControlsInOrder) {
    view.log = {QStringLiteral("old")};
    lastProgress = 123;
    Logic().UpdateRunUi(true);
    EXPECT_EQ(view.log,
              QStringList{kStamp + ": Начинаем работу по заданным регионам и категориям"});
    const std::vector<std::pair<ControlId, bool>> expected = {{ControlId::CitiesListBox, false},
                                                              {ControlId::CatsListBox, false},
                                                              {ControlId::StartButton, false},
                                                              {ControlId::DateFromPicker, false},
                                                              {ControlId::DateToPicker, false}};
    EXPECT_EQ(view.enableCalls, expected);
    EXPECT_EQ(lastProgress.load(), 0u);
}

TEST_F(MainFormLogicTest, RunEndWritesTheWholeLogWithItsOwnLastLineNamedAfterSignedTicks) {
    tick = 0xFFFFFFFEu;  // after 49 days of uptime the name carries a minus sign
    view.log = {QStringLiteral("первая"), QString(), QStringLiteral("edited by hand")};
    Logic().UpdateRunUi(false);
    const QString path = dir.path() + QStringLiteral("/log--2.txt");
    const QString last = kStamp + ": Работа завершена, лог записан в " + path;
    EXPECT_EQ(view.log.back(), last);
    EXPECT_EQ(ReadFile(QStringLiteral("log--2.txt")),
              QStringLiteral("первая\r\n\r\nedited by hand\r\n").toUtf8() + last.toUtf8() + "\r\n");
    for (ControlId control :
         {ControlId::CitiesListBox, ControlId::CatsListBox, ControlId::StartButton,
          ControlId::DateFromPicker, ControlId::DateToPicker}) {
        EXPECT_TRUE(view.enabled[control]);
    }
}

// The tick count repeats after a reboot: an earlier run's log stays, this one takes the next
// free name and says so in its own last line.
TEST_F(MainFormLogicTest, RunEndNeverReplacesAnEarlierLog) {
    tick = 500;
    WriteFile(QStringLiteral("log-500.txt"), "earlier run\r\n");
    view.log = {QStringLiteral("этот запуск")};
    Logic().UpdateRunUi(false);
    const QString last = kStamp + ": Работа завершена, лог записан в " + dir.path() +
                         QStringLiteral("/log-500-2.txt");
    EXPECT_EQ(view.log.back(), last);
    EXPECT_EQ(ReadFile(QStringLiteral("log-500.txt")), QByteArray("earlier run\r\n"));
    EXPECT_EQ(ReadFile(QStringLiteral("log-500-2.txt")),
              QStringLiteral("этот запуск\r\n").toUtf8() + last.toUtf8() + "\r\n");
}

TEST_F(MainFormLogicTest, ALogFileThatCannotBeWrittenStillGivesTheControlsBack) {
    services.exeDir = dir.path() + QStringLiteral("/missing-directory/");
    Logic().UpdateRunUi(true);
    Logic().UpdateRunUi(false);
    EXPECT_TRUE(view.enabled[ControlId::StartButton]);
    // The closing line says where the log could not go, and names no file as written.
    EXPECT_TRUE(view.log.back().startsWith(kStamp + ": Работа завершена; лог записать в "))
        << view.log.back().toStdString();
    EXPECT_TRUE(view.log.back().contains(QStringLiteral("missing-directory/log-")));
    EXPECT_TRUE(view.log.back().contains(QStringLiteral(" не удалось: ")));
    EXPECT_TRUE(view.log.filter(QStringLiteral("лог записан в")).isEmpty());
}

// ---- ShowProgress, ShowFoundCount, ShowLogMessage ----

struct ProgressCase {
    int position;
    int maximum;
    int barPos;
    int barMax;
    const char* hint;
};

class ShowProgressTest : public MainFormLogicTest,
                         public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(ShowProgressTest, ClampsAndRoundsHalvesToEven) {
    const ProgressCase& c = GetParam();
    view.progressPos = 50;
    Logic().ShowProgress(c.position, c.maximum);
    EXPECT_EQ(view.progressMax, c.barMax);
    EXPECT_EQ(view.progressPos, c.barPos);
    EXPECT_EQ(view.progressHint, QString::fromUtf8(c.hint));
    EXPECT_EQ(view.processEventsCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShowProgressTest,
    ::testing::Values(ProgressCase{1, 8, 1, 8, "12%: 1 из 8, осталось 7"},  // 12.5
                      ProgressCase{3, 8, 3, 8, "38%: 3 из 8, осталось 5"},  // 37.5
                      ProgressCase{8, 8, 8, 8, "100%: 8 из 8, осталось 0"},
                      ProgressCase{1, 200, 1, 200, "0%: 1 из 200, осталось 199"},  // 0.5
                      ProgressCase{3, 200, 3, 200, "2%: 3 из 200, осталось 197"},  // 1.5
                      ProgressCase{2, 3, 2, 3, "67%: 2 из 3, осталось 1"},
                      ProgressCase{15, 9, 9, 9, "100%: 9 из 9, осталось 0"},  // the queue grew
                      ProgressCase{-4, 9, 0, 9, "0%: 0 из 9, осталось 9"},
                      ProgressCase{0, 1, 0, 1, "0%: 0 из 1, осталось 1"}));

TEST_F(MainFormLogicTest, ProgressShowsAtMostOncePerSecondAcrossTheTickWrap) {
    struct Step {
        std::uint32_t tick;
        int position;
        int shownPosition;
    } steps[] = {
        {0xFFFFFD00u, 1, 1},  // the first report after a run's start always shows
        {0xFFFFFE90u, 2, 1},  // 400 ms later: nothing
        {0x000000E8u, 3, 1},  // 1000 ms after the shown one, across the wrap: still nothing
        {0x000000E9u, 4, 4},  // 1001 ms: shows the latest values
    };
    Logic().UpdateRunUi(true);
    for (const Step& step : steps) {
        tick = step.tick;
        Logic().ShowProgress(step.position, 10);
        EXPECT_EQ(view.progressPos, step.shownPosition) << step.tick;
    }
    EXPECT_EQ(lastProgress.load(), 0x000000E9u);
}

TEST_F(MainFormLogicTest, TheLastUpdateIsTakenAfterThePendingEventsRan) {
    view.onProcessEvents = [this] { tick += 700; };
    Logic().ShowProgress(1, 2);
    EXPECT_EQ(lastProgress.load(), 50700u);
}

TEST_F(MainFormLogicTest, AHeldBackReportShowsOnceTheSecondIsOverAndAtTheRunsEnd) {
    SelectAndStart();
    Logic().UpdateRunUi(true);
    Logic().ShowProgress(49, 50);
    EXPECT_EQ(view.progressPos, 49);
    tick += 300;
    Logic().ShowProgress(0, 50);  // the reset at the phase's end, inside the second
    EXPECT_EQ(view.progressPos, 49);
    EXPECT_EQ(view.flushDelays, std::vector<int>{701});
    tick += 701;
    Logic().FlushProgress();
    EXPECT_EQ(view.progressPos, 0);
    EXPECT_EQ(view.progressHint, QStringLiteral("0%: 0 из 50, осталось 50"));
    EXPECT_EQ(lastProgress.load(), tick);
    Logic().FlushProgress();  // nothing held back: nothing changes
    EXPECT_EQ(view.progressPos, 0);

    // A report held back when the run ends shows with the end, without waiting.
    tick += 100;
    Logic().ShowProgress(7, 9);
    EXPECT_EQ(view.progressPos, 0);
    Logic().UpdateRunUi(false);
    EXPECT_EQ(view.progressPos, 7);
    EXPECT_EQ(view.progressMax, 9);
}

TEST_F(MainFormLogicTest, TheHintEstimatesTheTimeLeftFromThePaceOfTheLatestJobs) {
    SelectAndStart();
    Logic().UpdateRunUi(true);
    // 2 s a job for 100 jobs, then 0.1 s a job: the estimate follows the latest 20.
    for (int position = 1; position <= 130; ++position) {
        tick += position <= 100 ? 2000 : 100;
        Logic().ShowProgress(position, 1000);
    }
    // Shown last at 122 (every 11th report passes the limit); 878 left at 0.1 s = 87.8 s.
    EXPECT_EQ(view.progressHint, QStringLiteral("12%: 122 из 1000, осталось 878\n"
                                                "Этап закончится примерно через 1 мин 28 с"));
    tick += 2000;
    Logic().ShowProgress(1000, 1000);  // nothing left: no estimate
    EXPECT_EQ(view.progressHint, QStringLiteral("100%: 1000 из 1000, осталось 0"));
}

// The search phase's total grows as further pages come: the pace carries on, and the time left
// is told against the latest total.
TEST_F(MainFormLogicTest, TheEstimateFollowsATotalThatGrows) {
    SelectAndStart();
    Logic().UpdateRunUi(true);
    for (int position = 1; position <= 30; ++position) {
        tick += 1100;  // every report passes the once-a-second limit
        Logic().ShowProgress(position, 100 + position);
    }
    // 1.1 s a job, 100 left: 110 s.
    EXPECT_EQ(view.progressHint, QStringLiteral("23%: 30 из 130, осталось 100\n"
                                                "Этап закончится примерно через 1 мин 50 с"));
}

TEST_F(MainFormLogicTest, TheHintSaysWhileTheRunWaitsForTheRegister) {
    SelectAndStart();
    Logic().UpdateRunUi(true);
    Logic().ShowProgress(4, 10);
    const QString progress = QStringLiteral("40%: 4 из 10, осталось 6");
    Logic().ShowRegisterWait(true, 130, 45);
    EXPECT_EQ(view.progressHint,
              progress + QStringLiteral("\nРеестр не отвечает 2 мин 10 с, ждём его; проверим "
                                        "через 45 с"));
    Logic().ShowRegisterWait(true, 175, 0);
    EXPECT_EQ(view.progressHint,
              progress + QStringLiteral("\nРеестр не отвечает 2 мин 55 с, ждём его; проверяем"));
    // A pause while it waits says both.
    Logic().PauseButtonClick();
    EXPECT_EQ(view.progressHint,
              progress + QStringLiteral("\nРеестр не отвечает 2 мин 55 с, ждём его; проверяем\n"
                                        "Работа на паузе; чтобы продолжить, нажмите \"пауза\""));
    Logic().PauseButtonClick();
    Logic().ShowRegisterWait(false, 0, 0);
    EXPECT_EQ(view.progressHint, progress);
    // Stop ends the wait with the run.
    Logic().ShowRegisterWait(true, 5, 10);
    Logic().StopButtonClick();
    EXPECT_EQ(view.progressHint, progress);
}

TEST_F(MainFormLogicTest, APausedRunPressesThePauseButtonAndSaysSoInTheHint) {
    SelectAndStart();
    Logic().ShowProgress(4, 10);
    Logic().PauseButtonClick();
    EXPECT_TRUE(view.pauseShown);
    EXPECT_EQ(view.progressHint,
              QStringLiteral("40%: 4 из 10, осталось 6\n"
                             "Работа на паузе; чтобы продолжить, нажмите \"пауза\""));
    Logic().PauseButtonClick();
    EXPECT_FALSE(view.pauseShown);
    EXPECT_EQ(view.progressHint, QStringLiteral("40%: 4 из 10, осталось 6"));

    // The error pause counts the seconds down to the run's resumption.
    Logic().HandleRunResult(crawl::RunResult::Failure("boom"));
    run->paused = true;  // as the run pauses itself
    Logic().StartResumeTimer(29500);
    EXPECT_TRUE(view.pauseShown);
    EXPECT_EQ(view.resumeInterval, 29500);
    EXPECT_TRUE(
        view.progressHint.endsWith(QStringLiteral("\nПауза после ошибки, продолжаем через 30 с")));
    view.resumeRemainingMs = 12400;
    Logic().RefreshPauseHint();
    EXPECT_TRUE(
        view.progressHint.endsWith(QStringLiteral("\nПауза после ошибки, продолжаем через 13 с")));
    run->paused = false;  // the run ended its pause and says so
    Logic().ResumeTimerTimer();
    EXPECT_FALSE(view.pauseShown);
    EXPECT_EQ(view.progressHint, QStringLiteral("40%: 4 из 10, осталось 6"));
}

TEST_F(MainFormLogicTest, AStartDateAfterTheEndDateIsRefused) {
    struct Case {
        QDate from;
        QDate to;
        bool refused;
    } cases[] = {
        {QDate(2026, 6, 2), QDate(2026, 6, 1), true},
        {QDate(2026, 6, 1), QDate(2026, 6, 1), false},
        {QDate(2026, 6, 2), kNoDate, false},  // an open end
        {kNoDate, QDate(2026, 6, 1), false},
    };
    view.cities = {{"Москва (77)", true}};
    view.cats[0].selected = true;
    for (const Case& c : cases) {
        view.log.clear();
        view.fromDate = c.from;
        view.toDate = c.to;
        run->live = false;
        const int before = runsStarted;
        Logic().StartButtonClick();
        EXPECT_EQ(runsStarted - before, c.refused ? 0 : 1)
            << c.from.toString().toStdString() << " " << c.to.toString().toStdString();
        EXPECT_EQ(view.log, c.refused ? QStringList{QStringLiteral(
                                            "Начальная дата торгов позже конечной, старт "
                                            "невозможен. Исправьте даты торгов.")}
                                      : QStringList{});
    }
}

TEST_F(MainFormLogicTest, FoundCountAndLogMessages) {
    Logic().ShowFoundCount(1234);
    EXPECT_EQ(view.foundCaption, QStringLiteral("Найдено торгов: 1234"));
    EXPECT_EQ(view.processEventsCalls, 1);
    Logic().ShowLogMessage(QStringLiteral("Начинаем работу..."));
    EXPECT_EQ(view.log, QStringList{kStamp + ": Начинаем работу..."});
}

// The watches' news of a run: the log and the desktop tell a count above nothing, the log alone
// a count that could not be made, and a run without news tells nothing at all.
TEST_F(MainFormLogicTest, TheWatchesNewsOfARunAreToldOnTheDesktop) {
    struct Recorder : DesktopNotice {
        QStringList shown;
        void Show(const QString& title, const QString& text) override {
            shown << title + u'|' + text;
        }
    };
    const auto recorder = std::make_shared<Recorder>();
    services.desktopNotice = recorder;
    const struct {
        std::size_t items;
        QString error;
        QStringList log;
        QStringList shown;
    } cases[] = {
        {0, {}, {}, {}},
        {7,
         {},
         {kStamp + ": Новое в наблюдениях: 7"},
         {QStringLiteral("korvalot|Новое в наблюдениях: 7")}},
        {0,
         QStringLiteral("хранилище /x/korvalot.sqlite: это не база данных SQLite"),
         {kStamp +
          ": Наблюдения не проверены: хранилище /x/korvalot.sqlite: это не база данных SQLite"},
         {}},
    };
    for (const auto& c : cases) {
        view.log.clear();
        recorder->shown.clear();
        Logic().ShowWatchNews(c.items, c.error);
        EXPECT_EQ(view.log, c.log) << c.items;
        EXPECT_EQ(recorder->shown, c.shown) << c.items;
    }
}

// ---- Region directory ----

TEST_F(MainFormLogicTest, RegionItemsKeepTheAnswersOrderAndTextsThenSelectionsApply) {
    directoryBody = R"json([{"description":"Москва","code":"77","id":1},
                        {"description":"Республика Саха (Якутия)","code":14},
                        {"description":"Без кода"}])json";
    WriteFile(QStringLiteral("selection1.txt"), QStringLiteral("открытый аукцион\r\n").toUtf8());
    WriteFile(QStringLiteral("selection2.txt"),
              QStringLiteral("республика саха (якутия) (14)\nБез кода ()").toUtf8());
    Logic().Timer1Timer();
    EXPECT_FALSE(view.timer1Armed);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0],
              "https://127.0.0.1:4443/backend/reference-book/regions | "
              "https://127.0.0.1:4443/biddings");
    ASSERT_EQ(view.cities.size(), 3u);
    EXPECT_EQ(view.cities[0].text, QStringLiteral("Москва (77)"));
    EXPECT_EQ(view.cities[1].text, QStringLiteral("Республика Саха (Якутия) (14)"));
    EXPECT_EQ(view.cities[2].text, QStringLiteral("Без кода ()"));
    EXPECT_EQ(view.log, (QStringList{QStringLiteral("Загружаем регионы с сайта..."),
                                     QStringLiteral("Всё готово к работе, выделите нужные регионы "
                                                    "и виды торгов")}));
    EXPECT_EQ(view.SelectedTexts(ListId::Cats), QStringList{QStringLiteral("Открытый аукцион")});
    EXPECT_EQ(view.SelectedTexts(ListId::Cities),
              (QStringList{QStringLiteral("Республика Саха (Якутия) (14)"),
                           QStringLiteral("Без кода ()")}));
    EXPECT_EQ(view.hourGlassMaxDepth, 1);
    EXPECT_EQ(view.hourGlassDepth, 0);
    EXPECT_GE(view.processEventsCalls, 1);  // the window stays live while it waits
}

TEST_F(MainFormLogicTest, AnAnswerThatIsNoArrayGivesNoRegionsButTheRestRuns) {
    for (const char* body : {"[]", "{\"description\":\"x\"}", "<html>Service down</html>", ""}) {
        view = FakeMainView();
        logic.reset();
        WriteFile(QStringLiteral("selection1.txt"), "Закрытый конкурс\r\n");
        directoryBody = body;
        Logic().Timer1Timer();
        EXPECT_TRUE(view.cities.empty()) << body;
        EXPECT_EQ(view.log.size(), 2) << body;
        EXPECT_EQ(view.SelectedTexts(ListId::Cats), QStringList{QStringLiteral("Закрытый конкурс")})
            << body;
    }
}

TEST_F(MainFormLogicTest, AFailedLoadLogsTheErrorRestoresTheCursorAndKeepsTheSavedSelections) {
    for (const char* message : {"Not Found", "Request aborted on timeout"}) {
        view = FakeMainView();
        logic.reset();
        WriteFile(QStringLiteral("selection1.txt"), "Открытый конкурс\r\n");
        directoryError = message;
        Logic().Timer1Timer();
        EXPECT_EQ(view.log, (QStringList{QStringLiteral("Загружаем регионы с сайта..."),
                                         QStringLiteral("Ошибка ") + QString::fromUtf8(message)}));
        EXPECT_TRUE(view.SelectedTexts(ListId::Cats).isEmpty());
        EXPECT_EQ(view.hourGlassDepth, 0);
    }
    // The lists never received the saved selections, so closing leaves both files as they were;
    // the dates are saved all the same.
    WriteFile(QStringLiteral("selection2.txt"), "Москва (77)\r\n");
    view.cats[2].selected = true;
    EXPECT_TRUE(Logic().FormClose());
    EXPECT_EQ(ReadFile(QStringLiteral("selection2.txt")),
              QStringLiteral("Москва (77)\r\n").toUtf8());
    EXPECT_EQ(ReadFile(QStringLiteral("selection1.txt")),
              QStringLiteral("Открытый конкурс\r\n").toUtf8());
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("settings.ini"))));
}

TEST_F(MainFormLogicTest, ClosingWhileTheDirectoryIsAwaitedGivesUpTheWait) {
    services.fetchDirectory = [this](const std::string&, const std::string&,
                                     const std::function<void()>& whileWaiting) {
        for (int i = 0; i < 1000; ++i) {
            whileWaiting();
        }
        ADD_FAILURE() << "the wait went on after the window closed";
        return std::string("[]");
    };
    WriteFile(QStringLiteral("selection2.txt"), "Москва (77)\r\n");
    view.onProcessEvents = [this] { Logic().FormClose(); };
    Logic().Timer1Timer();
    EXPECT_EQ(view.processEventsCalls, 1);
    EXPECT_EQ(view.hourGlassDepth, 0);
    // The list was never filled: the operator's saved choice stays.
    EXPECT_EQ(ReadFile(QStringLiteral("selection2.txt")),
              QStringLiteral("Москва (77)\r\n").toUtf8());
}

// ---- Start-up checks and persistence ----

TEST_F(MainFormLogicTest, ARefusedStartShowsItsBoxEndsTheProgramAndSavesNothing) {
    services.exeDir = dir.path() + QStringLiteral("/Rar$DIa1.23/Temp/");
    ASSERT_TRUE(QDir().mkpath(services.exeDir));
    Logic().FormShow();
    ASSERT_EQ(view.warnings.size(), 1u);
    EXPECT_EQ(view.warnings[0].first, QStringLiteral("Внимание!"));
    EXPECT_TRUE(view.warnings[0].second.startsWith(
        QStringLiteral("Вы запустили программу изнутри архива!\r\n")));
    EXPECT_EQ(view.endProgramCalls, 1);
    Logic().Timer1Timer();  // a timer that fires behind the box loads nothing
    EXPECT_TRUE(Logic().FormClose());
    EXPECT_TRUE(requests.empty());
    EXPECT_TRUE(QDir(services.exeDir).entryList(QDir::Files).isEmpty());
}

TEST_F(MainFormLogicTest, SelectionsAndDatesSurviveAProgramRun) {
    Logic().Timer1Timer();  // an empty directory: the saved selections are applied (there are none)
    view.cities = {{"Москва (77)", true},
                   {"Тверская область (69)", false},
                   {"Республика Саха (Якутия) (14)", true}};
    view.cats[1].selected = true;
    view.cats[5].selected = true;
    view.fromDate = QDate(2026, 6, 25);
    view.toDate = kNoDate;
    WriteFile(QStringLiteral("settings.ini"),
              "; operator's notes\r\n[Window]\r\nLeft=10\r\n\r\n[general]\r\nfromdate = 01.01.2020"
              "\r\nTheme=dark\r\n\r\n[Other]\r\nToDate=kept\r\n");
    ASSERT_TRUE(Logic().FormClose());
    EXPECT_EQ(ReadFile(QStringLiteral("selection2.txt")),
              QStringLiteral("Москва (77)\r\nРеспублика Саха (Якутия) (14)\r\n").toUtf8());
    EXPECT_EQ(ReadFile(QStringLiteral("selection1.txt")),
              QStringLiteral("Открытый конкурс\r\nЗакрытое публичное предложение\r\n").toUtf8());
    EXPECT_EQ(ReadFile(QStringLiteral("settings.ini")),
              QByteArray("; operator's notes\r\n[Window]\r\nLeft=10\r\n\r\n[general]\r\n"
                         "FromDate=25.06.2026\r\nTheme=dark\r\nToDate=30.12.1899\r\n\r\n[Other]\r\n"
                         "ToDate=kept\r\n"));

    FakeMainView next;
    next.cities = {{"Москва (77)", false},
                   {"Тверская область (69)", true},
                   {"Республика Саха (Якутия) (14)", false}};
    MainFormLogic again(next, services);
    again.FormShow();
    EXPECT_EQ(next.fromDate, QDate(2026, 6, 25));
    EXPECT_EQ(next.toDate, kNoDate);
    again.ApplySavedSelection(ListId::Cats, QStringLiteral("selection1.txt"));
    again.ApplySavedSelection(ListId::Cities, QStringLiteral("selection2.txt"));
    EXPECT_EQ(next.SelectedTexts(ListId::Cities),
              (QStringList{QStringLiteral("Москва (77)"),
                           QStringLiteral("Республика Саха (Якутия) (14)")}));
    EXPECT_EQ(next.SelectedTexts(ListId::Cats),
              (QStringList{QStringLiteral("Открытый конкурс"),
                           QStringLiteral("Закрытое публичное предложение")}));
}

TEST_F(MainFormLogicTest, SavedDatesReadUnderTheReadersFormatOrGiveNoDate) {
    struct Case {
        const char* value;
        QLocale locale;
        QDate expected;
    } cases[] = {
        {"25.06.2026", QLocale(QLocale::Russian, QLocale::Russia), QDate(2026, 6, 25)},
        {"6/25/2026", QLocale(QLocale::English, QLocale::UnitedStates), QDate(2026, 6, 25)},
        {"25.06.2026", QLocale(QLocale::English, QLocale::UnitedStates), kNoDate},
        {"6/25/26", QLocale(QLocale::English, QLocale::UnitedStates), kNoDate},
        {"30.12.1899", QLocale(QLocale::Russian, QLocale::Russia), kNoDate},
        {"", QLocale(QLocale::Russian, QLocale::Russia), kNoDate},
        {"31.02.2026", QLocale(QLocale::Russian, QLocale::Russia), kNoDate},
    };
    for (const Case& c : cases) {
        WriteFile(QStringLiteral("settings.ini"),
                  QByteArray("[General]\nFromDate=") + c.value + "\nToDate=garbage\n");
        services.regional = LocaleFormats(c.locale);
        FakeMainView fresh;
        fresh.fromDate = fresh.toDate = QDate(2000, 1, 1);
        MainFormLogic reader(fresh, services);
        reader.FormShow();
        EXPECT_EQ(fresh.fromDate, c.expected) << c.value;
        EXPECT_EQ(fresh.toDate, kNoDate) << c.value;
    }
}

TEST_F(MainFormLogicTest, AppliedSelectionsIgnoreCaseButNotBlanks) {
    view.cities = {{"Москва (77)", false}, {"Тверская область (69)", true}};
    WriteFile(QStringLiteral("selection2.txt"),
              QByteArray("\xEF\xBB\xBF") +
                  QStringLiteral("МОСКВА (77)\r\nТверская область (69) \r\n").toUtf8());
    WriteFile(QStringLiteral("selection1.txt"),
              QByteArray("\xFF\xFE") +
                  QByteArray(reinterpret_cast<const char*>(u"открытый аукцион\r"), 34));
    Logic().ApplySavedSelection(ListId::Cities, QStringLiteral("selection2.txt"));
    Logic().ApplySavedSelection(ListId::Cats, QStringLiteral("selection1.txt"));
    EXPECT_EQ(view.SelectedTexts(ListId::Cities), QStringList{QStringLiteral("Москва (77)")});
    EXPECT_EQ(view.SelectedTexts(ListId::Cats), QStringList{QStringLiteral("Открытый аукцион")});
    // Without a file the list keeps its state.
    view.cats[3].selected = true;
    ASSERT_TRUE(QFile::remove(dir.filePath(QStringLiteral("selection1.txt"))));
    Logic().ApplySavedSelection(ListId::Cats, QStringLiteral("selection1.txt"));
    EXPECT_EQ(view.SelectedTexts(ListId::Cats).size(), 2);
}

TEST_F(MainFormLogicTest, AFailedSaveKeepsTheWindowOpenOnceWithTheReasonInTheLog) {
    services.exeDir = dir.path() + QStringLiteral("/gone/");
    EXPECT_FALSE(Logic().FormClose());
    ASSERT_EQ(view.log.size(), 1);
    EXPECT_TRUE(view.log[0].startsWith(QStringLiteral("Ошибка ")));
    EXPECT_TRUE(Logic().FormClose());
}

TEST_F(MainFormLogicTest, SelectAllButtonsAddToTheSelection) {
    view.cities = {{"a (1)", true}, {"b (2)", false}, {"c (3)", false}};
    Logic().SelectAllCitiesButtonClick();
    Logic().Button1Click();
    EXPECT_EQ(view.SelectedTexts(ListId::Cities).size(), 3);
    EXPECT_EQ(view.SelectedTexts(ListId::Cats).size(), 6);
}

TEST_F(MainFormLogicTest, WindowSelectionIsInListOrderWithDatesOrNothing) {
    view.cities = {{"b (2)", false}, {"Республика Саха (Якутия) (14)", true}, {"a (1)", true}};
    view.cats[4].selected = true;
    view.cats[0].selected = true;
    view.fromDate = kNoDate;
    view.toDate = QDate(2026, 1, 31);
    const WindowSelection selection = Logic().CollectWindowSelection();
    EXPECT_EQ(selection.regionItems, (QStringList{QStringLiteral("Республика Саха (Якутия) (14)"),
                                                  QStringLiteral("a (1)")}));
    EXPECT_EQ(selection.tradeTypes, (std::vector<int>{0, 4}));
    EXPECT_FALSE(selection.from.has_value());
    EXPECT_EQ(selection.to, QDate(2026, 1, 31));
}

TEST_F(MainFormLogicTest, TheCaptionNamesTheDisplayHost) {
    EXPECT_EQ(Logic().WindowCaption(), QStringLiteral("Парсер торгов с register.test/biddings"));
}

// An installed copy whose own folder cannot be written keeps every file in the user's folder,
// says so once at start-up, and leaves the program's folder alone.
TEST_F(MainFormLogicTest, FilesLiveInTheDataFolderWhenItIsNotTheProgramsFolder) {
    QTemporaryDir data;
    services.dataDir = data.path() + u'/';
    QFile settings(data.filePath(QStringLiteral("settings.ini")));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[General]\r\nFromDate=01.02.2024\r\n");
    settings.close();
    Logic().FormShow();
    EXPECT_EQ(view.fromDate, QDate(2024, 2, 1));
    EXPECT_EQ(view.log, QStringList{kStamp +
                                    ": Папка программы недоступна для записи, настройки, логи и "
                                    "результаты сохраняются в " +
                                    services.dataDir});

    // Selections are saved only once the saved ones were applied, after the region load.
    Logic().Timer1Timer();
    view.cats[2].selected = true;
    Logic().UpdateRunUi(false);
    ASSERT_TRUE(Logic().FormClose());
    EXPECT_TRUE(QFile::exists(data.filePath(QStringLiteral("log-50000.txt"))));
    QFile cats(data.filePath(QStringLiteral("selection1.txt")));
    ASSERT_TRUE(cats.open(QIODevice::ReadOnly));
    EXPECT_EQ(cats.readAll(), QStringLiteral("Публичное предложение\r\n").toUtf8());
    EXPECT_TRUE(QFile::exists(data.filePath(QStringLiteral("selection2.txt"))));
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
}

TEST_F(MainFormLogicTest, APortableCopySaysNothingAboutWhereItsFilesAre) {
    services.dataDir = services.exeDir;
    Logic().FormShow();
    EXPECT_TRUE(view.log.isEmpty());
    ASSERT_TRUE(Logic().FormClose());
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("settings.ini"))));
}

}  // namespace
}  // namespace korvalot::app
