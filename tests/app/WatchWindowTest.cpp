// Watches in the windows: the store browser's list of watches with the news it has not shown,
// a watch made of its filter, and the main window's notice of a run's news.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/DesktopNotice.h"
#include "app/ProgramServices.h"
#include "app/ScraperRun.h"
#include "app/WindowTestSupport.h"
#include "app/browser/BrowserWorker.h"
#include "app/browser/StoreBrowser.h"
#include "app/uMain.h"
#include "json/JsonValue.h"
#include "store/Database.h"
#include "store/TradeStore.h"
#include "support/ReachableCopy.h"
#include "tools/register-sim/SimProcess.h"
#include "tools/register-sim/SimRegister.h"
#include "watch/WatchBook.h"

namespace fs = std::filesystem;
using korvalot::app::browser::StoreBrowser;
namespace store = korvalot::store;
namespace watch = korvalot::watch;

namespace {

// Set in the copy of this test that runs as another user: the store it may only read.
constexpr const char* kReaderStoreVariable = "KORVALOT_TEST_READER_STORE";

std::chrono::system_clock::time_point At(const std::string& iso) {
    std::tm tm{};
    strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

// One harvest into the store at `now`: each trade with the descriptions of its lots.
void Harvest(const fs::path& path, const std::string& now,
             const std::vector<std::pair<std::string, std::vector<std::string>>>& trades) {
    store::StoreOptions options;
    options.clock = [when = At(now)] { return when; };
    store::TradeStore sink(path, options);
    sink.Begin({path.parent_path() / "data1.csv", "https://127.0.0.1:9", ".", {"г. Москва (77)"}});
    for (const auto& [guid, descriptions] : trades) {
        std::vector<korvalot::crawl::ResultRow> rows;
        for (const std::string& description : descriptions) {
            korvalot::crawl::ResultRow row;
            row.guid = guid;
            row.region = "г. Москва";
            row.number = "24636000";
            row.datePublish = "24.04.2026 06:48";
            row.debtorName = "ООО \"Ромашка\"";
            row.debtorInn = "7701234567";
            row.lotDescription = description;
            row.startPrice = "1500000";
            row.currentPrice = "null";
            rows.push_back(row);
        }
        sink.TradeWritten(guid, "г. Москва",
                          korvalot::json::Parse(R"({"tradeType":"OpenAuction"})"), rows);
    }
    korvalot::crawl::RunSummary summary;
    sink.Finish(summary);
}

struct Recorder : korvalot::app::DesktopNotice {
    QStringList shown;
    void Show(const QString& title, const QString& text) override { shown << title + u'|' + text; }
};

}  // namespace

class WatchWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

    fs::path Dir() const { return dir_.path().toStdString(); }

    std::unique_ptr<StoreBrowser> MakeBrowser(const fs::path& path) {
        korvalot::app::browser::StoreBrowserOptions options;
        options.store = path;
        options.settingsIni = QString::fromStdString((Dir() / "browser.ini").string());
        options.regional = korvalot::app::LocaleFormats(QLocale(QLocale::Russian, QLocale::Russia));
        options.openCard = [](const std::string&) {};
        auto browser = std::make_unique<StoreBrowser>(options);
        browser->show();
        return browser;
    }

    // Watch name → its unseen news as the list shows them.
    static std::map<QString, qulonglong> Listed(const StoreBrowser& browser) {
        std::map<QString, qulonglong> listed;
        for (int k = 0; k < browser.WatchesList->count(); ++k) {
            const QListWidgetItem* item = browser.WatchesList->item(k);
            listed[item->data(Qt::UserRole).toString()] =
                item->data(Qt::UserRole + 1).toULongLong();
            if (item->text() != QStringLiteral("%1 (%2)")
                                    .arg(item->data(Qt::UserRole).toString())
                                    .arg(item->data(Qt::UserRole + 1).toULongLong()))
                listed[QStringLiteral("текст не тот: ") + item->text()] = 0;
        }
        return listed;
    }

    static void Click(StoreBrowser& browser, const QString& name) {
        for (int k = 0; k < browser.WatchesList->count(); ++k) {
            QListWidgetItem* item = browser.WatchesList->item(k);
            if (item->data(Qt::UserRole).toString() == name) {
                browser.WatchesList->scrollToItem(item);
                QTest::mouseClick(browser.WatchesList->viewport(), Qt::LeftButton, {},
                                  browser.WatchesList->visualItemRect(item).center());
                return;
            }
        }
        QFAIL(qPrintable(QStringLiteral("нет наблюдения ") + name));
    }

    static watch::Watch Words(const std::string& name, std::vector<std::string> words,
                              std::vector<std::string> channels = {}) {
        watch::Watch w;
        w.name = name;
        w.filter.words = std::move(words);
        w.channels = std::move(channels);
        return w;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    // The list counts each watch's news the window has not shown; a click shows the watch's
    // lots and its news, and they are seen from then on, also in a browser opened later. A new
    // trade counts again after F5. Only the window's own position moves, never a channel's.
    void theListCountsUnseenNewsUntilAClickShowsThem() {
        const fs::path path = Dir() / "seen" / "korvalot.sqlite";
        fs::create_directories(path.parent_path());
        Harvest(path, "2026-06-20T10:00:00",
                {{"guid-a", {"Квартира, 54 кв.м.", "Квартира, 38 кв.м."}},
                 {"guid-b", {"Автомобиль легковой"}}});
        watch::Watch flats;
        {
            store::Database db(path, store::Database::Mode::ReadWrite);
            watch::WatchBook book(db);
            // From the beginning: what matches already is news; from now: nothing yet.
            flats = book.Add(Words("квартиры", {"квартира"}, {"вывод"}), true);
            book.Add(Words("всё", {}), true);
            book.Add(Words("машины", {"автомобиль"}), false);
        }
        const std::map<QString, qulonglong> first = {{QStringLiteral("квартиры"), 2},
                                                     {QStringLiteral("всё"), 3},
                                                     {QStringLiteral("машины"), 0}};
        {
            auto browser = MakeBrowser(path);
            QTRY_COMPARE(Listed(*browser), first);
            Click(*browser, QStringLiteral("квартиры"));
            QTRY_COMPARE(browser->StatusLine->text(),
                         QStringLiteral("Найдено лотов: 2, торгов: 1"));
            QCOMPARE(browser->WordsEdit->text(), QStringLiteral("квартира"));
            QTRY_COMPARE(browser->WatchNewsList->count(), 2);
            QCOMPARE(browser->WatchNewsList->item(0)->text(),
                     QStringLiteral("новый лот: Квартира, 54 кв.м."));
            QCOMPARE(browser->WatchLine->text(),
                     QStringLiteral("Наблюдение \"квартиры\": новое — 2"));
            auto seen = first;
            seen[QStringLiteral("квартиры")] = 0;
            QTRY_COMPARE(Listed(*browser), seen);
            // A second click: nothing new any more.
            Click(*browser, QStringLiteral("квартиры"));
            QTRY_COMPARE(browser->WatchLine->text(),
                         QStringLiteral("Наблюдение \"квартиры\": нового нет"));
            QCOMPARE(browser->WatchNewsList->count(), 0);
        }
        {
            store::Database db(path, store::Database::Mode::ReadWrite);
            // The channel still has every news to deliver.
            QCOMPARE(watch::WatchBook(db).Delivered(flats, "вывод"), flats.start);
        }
        auto browser = MakeBrowser(path);
        auto expected = first;
        expected[QStringLiteral("квартиры")] = 0;
        QTRY_COMPARE(Listed(*browser), expected);

        Harvest(path, "2026-06-21T10:00:00", {{"guid-c", {"Квартира, 70 кв.м."}}});
        QVERIFY(QTest::qWaitForWindowExposed(browser.get()));
        browser->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(browser.get()));
        QTest::keyClick(browser.get(), Qt::Key_F5);
        expected[QStringLiteral("квартиры")] = 1;
        expected[QStringLiteral("всё")] = 4;
        QTRY_COMPARE(Listed(*browser), expected);
        Click(*browser, QStringLiteral("квартиры"));
        QTRY_COMPARE(browser->WatchNewsList->count(), 1);
        QCOMPARE(browser->WatchNewsList->item(0)->text(),
                 QStringLiteral("новый лот: Квартира, 70 кв.м."));
        QTRY_COMPARE(browser->StatusLine->text(), QStringLiteral("Найдено лотов: 3, торгов: 2"));
        expected[QStringLiteral("квартиры")] = 0;
        QTRY_COMPARE(Listed(*browser), expected);
    }

    // "Наблюдать…" keeps the filter shown as a watch that starts now; the same name again is
    // refused in one line and changes nothing.
    void aWatchKeepsTheCurrentFilter() {
        const fs::path path = Dir() / "add" / "korvalot.sqlite";
        fs::create_directories(path.parent_path());
        Harvest(path, "2026-06-20T10:00:00", {{"guid-a", {"Квартира, 54 кв.м."}}});
        auto browser = MakeBrowser(path);
        QTRY_COMPARE(browser->StatusLine->text(), QStringLiteral("Найдено лотов: 1, торгов: 1"));
        browser->WordsEdit->setText(QStringLiteral("квартира"));
        browser->TypesList->item(0)->setCheckState(Qt::Checked);
        browser->TradeFromEdit->setDate(QDate(2026, 5, 1));
        browser->StartPriceFromEdit->setText(QStringLiteral("1 000 000,5"));
        browser->OpenOnlyBox->setChecked(true);
        const store::TradeFilter filter = browser->CurrentFilter();

        // Through the dialog, as the user fills it in.
        QTimer::singleShot(0, [] {
            QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
            QWidget* dialog = QApplication::activeModalWidget();
            dialog->findChild<QLineEdit*>(QStringLiteral("WatchNameEdit"))
                ->setText(QStringLiteral("  квартиры в Москве "));
            dialog->findChild<QLineEdit*>(QStringLiteral("WatchBelowEdit"))
                ->setText(QStringLiteral("900 000"));
            dialog->findChild<QLineEdit*>(QStringLiteral("WatchDropEdit"))
                ->setText(QStringLiteral("12,5"));
            qobject_cast<QDialog*>(dialog)->accept();
        });
        QTest::mouseClick(browser->WatchButton, Qt::LeftButton);
        QTRY_COMPARE(browser->WatchLine->text(),
                     QStringLiteral("Наблюдение \"квартиры в Москве\" сохранено"));
        QTRY_COMPARE(Listed(*browser),
                     (std::map<QString, qulonglong>{{QStringLiteral("квартиры в Москве"), 0}}));
        {
            store::Database db(path, store::Database::Mode::ReadWrite);
            const std::optional<watch::Watch> saved =
                watch::WatchBook(db).Find("квартиры в Москве");
            QVERIFY(saved.has_value());
            QVERIFY(saved->filter == filter);
            QCOMPARE(saved->priceBelow, std::optional(900000.0));
            QCOMPARE(saved->dropPercent, std::optional(12.5));
            QVERIFY(saved->channels.empty());
        }

        browser->ClearFilter();
        browser->AddWatch(QStringLiteral("квартиры в Москве"), std::nullopt, std::nullopt);
        QTRY_VERIFY(
            browser->WatchLine->text().startsWith(QStringLiteral("Наблюдение не сохранено: ")));
        QVERIFY(!browser->WatchLine->text().contains(u'\n'));
        store::Database db(path, store::Database::Mode::ReadWrite);
        const std::vector<watch::Watch> all = watch::WatchBook(db).List();
        QCOMPARE(all.size(), std::size_t{1});
        QVERIFY(all.front().filter == filter);
    }

    // A store the user may only read: the watches and their news show, a new watch is refused
    // in one line, and the file stays as it was. Run as another user (root writes any file).
    void aStoreTheUserMayOnlyReadKeepsNoWatch() {
        if (const QByteArray reader = qgetenv(kReaderStoreVariable); !reader.isEmpty()) {
            ReadOnlyStoreAsReader(fs::path(reader.toStdString()));
            return;
        }
        if (::geteuid() != 0)
            QSKIP("needs root to run the test as another user");
        const korvalot::testing::ReachableCopy program(
            QCoreApplication::applicationFilePath().toStdString());
        if (const std::string why = program.WhyNotRunnableBy(65534, 65534); !why.empty())
            QSKIP(why.c_str());
        const fs::path shared = program.path().parent_path() / "store";
        fs::create_directory(shared);
        const fs::path path = shared / "korvalot.sqlite";
        Harvest(path, "2026-06-20T10:00:00", {{"guid-a", {"Квартира, 54 кв.м."}}});
        {
            store::Database db(path, store::Database::Mode::ReadWrite);
            watch::WatchBook(db).Add(Words("квартиры", {"квартира"}), true);
        }
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::others_read);
        QFile before(QString::fromStdString(path.string()));
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray bytes = before.readAll();
        before.close();

        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(124);
            ::setenv(kReaderStoreVariable, path.c_str(), 1);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("HOME", shared.c_str(), 1);
            ::unsetenv("XDG_RUNTIME_DIR");
            const std::string self = program.path().string();
            ::execl(self.c_str(), self.c_str(), "aStoreTheUserMayOnlyReadKeepsNoWatch", nullptr);
            ::_exit(125);
        }
        QVERIFY(pid > 0);
        int status = 0;
        QVERIFY(QTest::qWaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 120000));
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        QFile after(QString::fromStdString(path.string()));
        QVERIFY(after.open(QIODevice::ReadOnly));
        QVERIFY(after.readAll() == bytes);
        for (const auto& entry : fs::directory_iterator(shared))
            QCOMPARE(entry.path().filename().string(), std::string("korvalot.sqlite"));
    }

    // The main window after a run into the store: the run that brought the watches news tells
    // the desktop how many, the next one, which finds nothing new, tells nothing.
    void aRunWithNewsTellsTheDesktop() {
        const QString exeDir = dir_.path() + QStringLiteral("/run/");
        QVERIFY(QDir().mkpath(exeDir));
        QVERIFY(QDir::setCurrent(exeDir));
        QProcess writer;
        writer.start(QString::fromStdString(korvalot::tools::SimProcess::DefaultBinary()),
                     {QStringLiteral("--write-client-cert"), exeDir});
        QVERIFY(writer.waitForFinished(60000));
        QCOMPARE(writer.exitCode(), 0);
        korvalot::tools::SimProcess sim(
            {"--port", "0", "--trades", "40", "--seed", "11", "--require-client-cert"});

        const fs::path path = (exeDir + QStringLiteral("korvalot.sqlite")).toStdString();
        { store::TradeStore created(path); }
        {
            store::Database db(path, store::Database::Mode::ReadWrite);
            watch::WatchBook(db).Add(Words("всё", {}), false);
        }
        QFile settings(exeDir + QStringLiteral("settings.ini"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("[Harvest]\r\nStore=1\r\n");
        settings.close();
        QFile cats(exeDir + QStringLiteral("selection1.txt"));
        QVERIFY(cats.open(QIODevice::WriteOnly));
        cats.write(QStringLiteral("Открытый аукцион\r\nПубличное предложение\r\n").toUtf8());
        cats.close();

        auto recorder = std::make_shared<Recorder>();
        korvalot::app::MainFormServices services = korvalot::app::ProgramServices();
        services.exeDir = exeDir;
        services.dataDir = exeDir;
        services.config.RegisterBaseUrl = sim.BaseUrl();
        services.config.RegisterDisplayHost = sim.BaseUrl().substr(8);
        services.regional =
            korvalot::app::LocaleFormats(QLocale(QLocale::Russian, QLocale::Russia));
        services.desktopNotice = recorder;
        auto form = std::make_unique<korvalot::app::TMainForm>(std::move(services));
        korvalot::crawl::ScraperEnvironment environment;
        environment.executableDir = exeDir.toStdString();
        environment.guidsFile = (exeDir + QStringLiteral("guids.txt")).toStdString();
        environment.openDocument = [](const std::filesystem::path&) {};
        korvalot::app::ConnectCrawl(*form, environment);
        form->show();
        QVERIFY(QTest::qWaitFor([&] { return form->CitiesListBox->count() > 0; }, 60000));
        form->CitiesListBox->selectAll();

        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(form->Logic().HasLiveRun());
        QVERIFY(QTest::qWaitFor([&] { return !form->Logic().HasLiveRun(); }, 300000));
        std::int64_t lots = 0;
        {
            store::Database db(path, store::Database::Mode::ReadWrite);
            lots = db.QueryInt("SELECT count(*) FROM lots");
        }
        QVERIFY(lots > 0);
        const QString told = QStringLiteral("Новое в наблюдениях: ") + QString::number(lots);
        QTRY_COMPARE(recorder->shown, QStringList{QStringLiteral("korvalot|") + told});
        QVERIFY(form->LogLines().filter(told).size() == 1);

        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(form->Logic().HasLiveRun());
        QVERIFY(QTest::qWaitFor([&] { return !form->Logic().HasLiveRun(); }, 300000));
        QTRY_VERIFY(form->StartButton->isEnabled());
        QCOMPARE(recorder->shown.size(), 1);
        QVERIFY(form->LogLines().filter(QStringLiteral("Новое в наблюдениях")).isEmpty());
        QVERIFY(form->close());
    }

private:
    // The other user's side: exits through QTest's verdict.
    void ReadOnlyStoreAsReader(const fs::path& path) {
        auto browser = MakeBrowser(path);
        QTRY_COMPARE(Listed(*browser),
                     (std::map<QString, qulonglong>{{QStringLiteral("квартиры"), 1}}));
        browser->AddWatch(QStringLiteral("новое"), std::nullopt, std::nullopt);
        QTRY_VERIFY(!browser->WatchLine->text().isEmpty());
        QVERIFY2(browser->WatchLine->text().startsWith(QStringLiteral("Наблюдение не сохранено: ")),
                 qPrintable(browser->WatchLine->text()));
        QVERIFY(!browser->WatchLine->text().contains(u'\n'));
        // The news show, but stay unseen: the window cannot keep its position.
        Click(*browser, QStringLiteral("квартиры"));
        QTRY_COMPARE(browser->WatchNewsList->count(), 1);
        QTRY_VERIFY2(browser->WatchLine->text().contains(QStringLiteral("просмотр не отмечен")),
                     qPrintable(browser->WatchLine->text()));
        QTRY_COMPARE(Listed(*browser),
                     (std::map<QString, qulonglong>{{QStringLiteral("квартиры"), 1}}));
    }
};

KORVALOT_WINDOW_TEST_MAIN(WatchWindowTest)

#include "WatchWindowTest.moc"
