#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/ProgramServices.h"
#include "app/ScraperRun.h"
#include "app/WindowTestSupport.h"
#include "app/uMain.h"
#include "json/JsonValue.h"
#include "store/StoreExport.h"
#include "store/TradeStore.h"
#include "tools/register-sim/SimProcess.h"
#include "tools/register-sim/SimRegister.h"
#include "util/Platform.h"

using korvalot::app::TMainForm;
namespace json = korvalot::json;

namespace {

const QString kReady = QStringLiteral("Всё готово к работе, выделите нужные регионы и виды торгов");

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Rows of the results file: every field is quoted and holds no quote, so a line end outside
// quotes ends a row, while one inside a field belongs to it.
std::vector<QStringList> CsvRows(const QString& text) {
    std::vector<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'"') {
            quoted = !quoted;
        } else if (quoted) {
            field += c;
        } else if (c == u';') {
            row << field;
            field.clear();
        } else if (c == u'\n') {
            row << field;
            field.clear();
            rows.push_back(row);
            row.clear();
        } else if (c != u'\r') {
            field += c;
        }
    }
    return rows;
}

}  // namespace

class WindowHarvestTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString exeDir_;
    std::mutex openedMutex_;
    QStringList opened_;  // documents the run asked the desktop to open

    // The program as korvalot builds it, with its files in this test's folder and the register
    // at the simulator.
    std::unique_ptr<TMainForm> MakeForm(const korvalot::tools::SimProcess& sim,
                                        std::function<std::uint32_t()> tickCount = {}) {
        korvalot::app::MainFormServices services = korvalot::app::ProgramServices();
        if (tickCount)
            services.tickCount = std::move(tickCount);
        services.exeDir = exeDir_;
        services.dataDir = exeDir_;
        services.config.RegisterBaseUrl = sim.BaseUrl();
        services.config.RegisterDisplayHost = sim.BaseUrl().substr(8);
        services.regional =
            korvalot::app::LocaleFormats(QLocale(QLocale::Russian, QLocale::Russia));
        auto form = std::make_unique<TMainForm>(std::move(services));
        korvalot::crawl::ScraperEnvironment environment;
        environment.executableDir = exeDir_.toStdString();
        environment.guidsFile = (exeDir_ + QStringLiteral("guids.txt")).toStdString();
        environment.openDocument = [this](const std::filesystem::path& document) {
            std::lock_guard lock(openedMutex_);
            opened_ << QString::fromStdString(document.string());
        };
        korvalot::app::ConnectCrawl(*form, environment);
        return form;
    }

    // A GET that passes the simulator's checks of certificate and headers.
    static std::string Fetch(const korvalot::tools::SimProcess& sim, const std::string& target) {
        korvalot::tools::SimClientOptions options;
        options.certificateFile = "01cert.pem";
        options.keyFile = "01key.pem";
        options.passphrase = "lindorek";
        korvalot::tools::SimClient client(sim.BaseUrl(), options);
        return client
            .Get(target, {{"Referer", sim.BaseUrl() + "/biddings"},
                          {"User-Agent", std::string(korvalot::tools::kExpectedUserAgent)}})
            .body;
    }

    // The region items as the window shows them, by code.
    static std::map<std::string, QString> RegionItems(const korvalot::tools::SimProcess& sim) {
        std::map<std::string, QString> items;
        const json::JsonValue regions =
            json::Parse(Fetch(sim, "/backend/reference-book/regions")).AsArray();
        for (std::size_t i = 0; i < regions.Length(); ++i) {
            const json::JsonValue region = regions.Element(i);
            items[region.MemberText("code")] = QString::fromStdString(
                region.MemberText("description") + " (" + region.MemberText("code") + ")");
        }
        return items;
    }

    static bool WaitForReady(TMainForm& form) {
        return QTest::qWaitFor([&] { return form.LogLines().contains(kReady); }, 60000);
    }

    static int LogLinesContaining(TMainForm& form, const QString& part) {
        int count = 0;
        for (const QString& line : form.LogLines()) {
            count += line.contains(part) ? 1 : 0;
        }
        return count;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        // The directory client presents the certificate files of the working directory.
        QVERIFY(QDir::setCurrent(dir_.path()));
        QProcess writer;
        writer.start(QString::fromStdString(korvalot::tools::SimProcess::DefaultBinary()),
                     {QStringLiteral("--write-client-cert"), dir_.path()});
        QVERIFY(writer.waitForFinished(60000));
        QCOMPARE(writer.exitCode(), 0);
    }

    void init() {
        exeDir_ = dir_.path() + QStringLiteral("/exe-") +
                  QString::fromLatin1(QTest::currentTestFunction()) + u'/';
        QVERIFY(QDir().mkpath(exeDir_));
        opened_.clear();
    }

    void harvestThroughTheWindowEqualsTheGroundTruth() {
        korvalot::tools::SimProcess sim({"--port", "0", "--trades", "600", "--seed", "11",
                                         "--require-client-cert", "--strict-headers"});
        const auto items = RegionItems(sim);
        QVERIFY(items.count("77") == 1 && items.count("50") == 1);
        // The saved state of an earlier program run: two regions, two trade types (one line in
        // other letter case), a date range.
        WriteAll(exeDir_ + QStringLiteral("selection2.txt"),
                 (items.at("50") + QStringLiteral("\r\n") + items.at("77") + QStringLiteral("\r\n"))
                     .toUtf8());
        WriteAll(exeDir_ + QStringLiteral("selection1.txt"),
                 QStringLiteral("открытый аукцион\r\nПубличное предложение\r\n").toUtf8());
        WriteAll(exeDir_ + QStringLiteral("settings.ini"),
                 "; kept\r\n[General]\r\nFromDate=01.02.2026\r\nToDate=31.05.2026\r\n");

        auto form = MakeForm(sim);
        form->show();
        QVERIFY(WaitForReady(*form));
        QCOMPARE(form->DateFromPicker->date(), QDate(2026, 2, 1));
        QCOMPARE(form->DateToPicker->date(), QDate(2026, 5, 31));
        QCOMPARE(form->CitiesListBox->selectedItems().size(), 2);
        QCOMPARE(form->CatsListBox->selectedItems().size(), 2);

        const json::JsonValue truth =
            json::Parse(sim.Get("/sim/truth?regions=77,50&types=OpenAuction,PublicOffer"
                                "&from=2026-02-01&to=2026-05-31")
                            .body)
                .AsArray();
        QVERIFY(!truth.IsNothing());
        std::map<QString, int> expectedLots;
        int expectedRows = 0;
        std::size_t expectedTrades = 0;
        for (std::size_t i = 0; i < truth.Length(); ++i) {
            const int lots = std::stoi(truth.Element(i).MemberText("lots"));
            ++expectedTrades;
            expectedRows += lots;
            if (lots > 0) {  // a trade without lots has no line
                expectedLots[QString::fromStdString(truth.Element(i).MemberText("guid"))] = lots;
            }
        }
        QVERIFY2(expectedLots.size() >= 5, "the selection should hold a few trades");

        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(form->Logic().HasLiveRun());
        QTRY_VERIFY_WITH_TIMEOUT(!form->StartButton->isEnabled(), 30000);
        QVERIFY(!form->CitiesListBox->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return !form->Logic().HasLiveRun(); }, 600000));

        // The window after the run.
        QVERIFY(form->StartButton->isEnabled());
        QVERIFY(form->CitiesListBox->isEnabled() && form->DateToPicker->isEnabled());
        const QString count = QString::number(expectedTrades);
        QCOMPARE(form->Label4->text(), QStringLiteral("Найдено торгов: ") + count);
        const QStringList log = form->LogLines();
        const QRegularExpression stamp(
            QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d: "));
        QVERIFY(log.first().contains(stamp));
        QVERIFY(log.first().endsWith(
            QStringLiteral(": Начинаем работу по заданным регионам и категориям")));
        QCOMPARE(LogLinesContaining(*form, QStringLiteral(": Найдено торгов: ") + count), 1);
        QCOMPARE(LogLinesContaining(*form, QStringLiteral(": Сбор данных завершен")), 1);
        QCOMPARE(LogLinesContaining(*form, QStringLiteral("Ошибка")), 0);

        // The log file holds the pane's lines, its own line last.
        const QString logMarker = QStringLiteral(": Работа завершена, лог записан в ");
        QVERIFY(log.last().contains(logMarker));
        const QString logPath = log.last().mid(log.last().indexOf(logMarker) + logMarker.size());
        QVERIFY(logPath.startsWith(exeDir_ + QStringLiteral("log-")));
        QCOMPARE(ReadAll(logPath),
                 (log.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());

        // The results file: exactly the ground truth, one row per lot.
        QCOMPARE(opened_.size(), 1);
        const QByteArray bytes = ReadAll(opened_.first());
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF\"Ссылка на сообщение\";\"Регион\";"));
        const std::vector<QStringList> rows = CsvRows(QString::fromUtf8(bytes.mid(3)));
        QCOMPARE(int(rows.size()), expectedRows + 1);
        std::map<QString, int> rowsPerTrade;
        const QString cardPrefix =
            QString::fromStdString(sim.BaseUrl()) + QStringLiteral("/biddings/");
        for (std::size_t i = 1; i < rows.size(); ++i) {
            QCOMPARE(rows[i].size(), 14);
            QVERIFY(rows[i][0].startsWith(cardPrefix));
            ++rowsPerTrade[rows[i][0].mid(cardPrefix.size())];
        }
        for (const auto& [guid, lots] : expectedLots) {
            QVERIFY2(
                rowsPerTrade.count(guid) == 1 && rowsPerTrade.at(guid) == lots,
                qPrintable(guid + QStringLiteral(" rows ") +
                           QString::number(rowsPerTrade.count(guid) ? rowsPerTrade.at(guid) : 0) +
                           QStringLiteral(" lots ") + QString::number(lots)));
        }
        QCOMPARE(rowsPerTrade.size(), expectedLots.size());
        QCOMPARE(ReadAll(exeDir_ + QStringLiteral("guids.txt")).count("\r\n"),
                 qsizetype(expectedTrades));

        // Closing saves what the window holds.
        QVERIFY(form->close());
        QCOMPARE(ReadAll(exeDir_ + QStringLiteral("selection1.txt")),
                 QStringLiteral("Открытый аукцион\r\nПубличное предложение\r\n").toUtf8());
        QCOMPARE(ReadAll(exeDir_ + QStringLiteral("settings.ini")),
                 QByteArray("; kept\r\n[General]\r\nFromDate=01.02.2026\r\nToDate=31.05.2026\r\n"));
    }

    // Section "Harvest" of settings.ini: harvested trades go to skip.txt, so that the next
    // Start fetches nothing again, and the workbook is what the desktop opens.
    void harvestSettingsRecordTradesAndOpenTheWorkbook() {
        korvalot::tools::SimProcess sim(
            {"--port", "0", "--trades", "120", "--seed", "7", "--require-client-cert"});
        const auto items = RegionItems(sim);
        WriteAll(exeDir_ + QStringLiteral("selection2.txt"), (items.at("77") + "\r\n").toUtf8());
        WriteAll(exeDir_ + QStringLiteral("selection1.txt"),
                 QStringLiteral("Открытый аукцион\r\nПубличное предложение\r\n").toUtf8());
        const QByteArray ini =
            "[General]\r\nFromDate=\r\n; the operator's note\r\n[Harvest]\r\nIncremental=1\r\n"
            "Workbook=Yes\r\n";
        WriteAll(exeDir_ + QStringLiteral("settings.ini"), ini);
        const json::JsonValue truth =
            json::Parse(sim.Get("/sim/truth?regions=77&types=OpenAuction,PublicOffer").body)
                .AsArray();
        QVERIFY(truth.Length() >= 3);

        auto form = MakeForm(sim);
        form->show();
        QVERIFY(WaitForReady(*form));
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !form->Logic().HasLiveRun(); }, 120000));
        QVERIFY2(opened_.size() == 1, qPrintable(form->LogLines().join(u'\n')));
        QVERIFY2(opened_.first().endsWith(QStringLiteral(".xlsx")), qPrintable(opened_.first()));
        QString csv = opened_.first();
        csv.chop(5);
        csv += QStringLiteral(".csv");
        // Read back by an independent reader; prices carry the Russian decimal comma.
        QProcess compare;
        compare.start(QStringLiteral(PYTHON_PATH), {QStringLiteral(COMPARE_WORKBOOK_SCRIPT), csv,
                                                    opened_.first(), QStringLiteral(",")});
        QVERIFY(compare.waitForFinished(60000));
        QVERIFY2(compare.exitCode() == 0, compare.readAll().constData());
        const QByteArray skip = ReadAll(exeDir_ + QStringLiteral("skip.txt"));
        QCOMPARE(skip.count("\r\n"), qsizetype(truth.Length()));
        QCOMPARE(skip.count(QByteArray::fromStdString(sim.BaseUrl() + "/biddings/")),
                 qsizetype(truth.Length()));

        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !form->Logic().HasLiveRun(); }, 120000));
        QCOMPARE(LogLinesContaining(*form, QStringLiteral(": Карточка ")), 0);
        QCOMPARE(ReadAll(exeDir_ + QStringLiteral("skip.txt")), skip);

        QVERIFY(form->close());
        const QByteArray saved = ReadAll(exeDir_ + QStringLiteral("settings.ini"));
        QVERIFY2(saved.contains("; the operator's note\r\n") &&
                     saved.endsWith("\r\n[Harvest]\r\nIncremental=1\r\nWorkbook=Yes\r\n"),
                 saved.constData());
    }

    // "Store=1": the run's rows also go into the store beside settings.ini. A file there that is
    // not a store refuses the start in one log line, as an empty selection does, and is left as
    // it was: skip.txt never runs ahead of the store.
    void harvestSettingsStoreKeepsTheRowsOfTheRun() {
        korvalot::tools::SimProcess sim(
            {"--port", "0", "--trades", "60", "--seed", "7", "--require-client-cert"});
        const auto items = RegionItems(sim);
        WriteAll(exeDir_ + QStringLiteral("selection2.txt"), (items.at("77") + "\r\n").toUtf8());
        WriteAll(exeDir_ + QStringLiteral("selection1.txt"),
                 QStringLiteral("Открытый аукцион\r\nПубличное предложение\r\n").toUtf8());
        WriteAll(exeDir_ + QStringLiteral("settings.ini"), "[Harvest]\r\nStore=1\r\n");
        const QString store = exeDir_ + QStringLiteral("korvalot.sqlite");
        const QByteArray notAStore = "заметки, а не хранилище\n" + QByteArray(4096, '-');
        WriteAll(store, notAStore);

        auto form = MakeForm(sim);
        form->show();
        QVERIFY(WaitForReady(*form));
        const QStringList before = form->LogLines();
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(!form->Logic().HasLiveRun());
        QCOMPARE(form->LogLines().size(), before.size() + 1);
        QVERIFY2(form->LogLines().last().startsWith(
                     QStringLiteral("Хранилище недоступно, старт невозможен: хранилище ") + store +
                     QStringLiteral(": это не база данных SQLite")),
                 qPrintable(form->LogLines().last()));
        QVERIFY(form->StartButton->isEnabled());
        QVERIFY(opened_.isEmpty());
        QCOMPARE(ReadAll(store), notAStore);

        QVERIFY(QFile::remove(store));
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !form->Logic().HasLiveRun(); }, 120000));
        QVERIFY2(opened_.size() == 1, qPrintable(form->LogLines().join(u'\n')));
        QCOMPARE(LogLinesContaining(*form, QStringLiteral(": В хранилище ") + store), 1);
        // The store's export in the window's regional settings is the run's results file.
        const auto db =
            korvalot::store::OpenStoreForReading(store.toStdString(), std::chrono::seconds(1));
        korvalot::store::ExportRows(*db, {}, (exeDir_ + QStringLiteral("export.csv")).toStdString(),
                                    korvalot::store::ExportFormat::Csv, ",");
        QCOMPARE(ReadAll(exeDir_ + QStringLiteral("export.csv")), ReadAll(opened_.first()));
        QVERIFY(form->close());
    }

    void anErrorPauseEndsByItselfAfterThirtySeconds() {
        // No answer of the register fails a phase (one of the wrong shape is asked for again),
        // so the window's clock does, once, at the search phase's first progress report.
        korvalot::tools::SimProcess sim({"--port", "0", "--trades", "40", "--seed", "5"});
        const auto items = RegionItems(sim);
        // A region without trades, so that the card phase adds no pauses of its own.
        QString empty;
        for (const auto& [code, item] : items) {
            if (json::Parse(Fetch(sim, "/sim/truth?regions=" + code)).Length() == 0) {
                empty = item;
                break;
            }
        }
        QVERIFY(!empty.isEmpty());
        WriteAll(exeDir_ + QStringLiteral("selection2.txt"),
                 (empty + QStringLiteral("\r\n")).toUtf8());
        WriteAll(exeDir_ + QStringLiteral("selection1.txt"),
                 QStringLiteral("Открытый аукцион\r\n").toUtf8());

        auto clockFails = std::make_shared<std::atomic<bool>>(false);
        auto form = MakeForm(sim, [clockFails] {
            if (clockFails->exchange(false))
                throw std::runtime_error("часы системы недоступны");
            return static_cast<std::uint32_t>(korvalot::util::TickCount());
        });
        form->show();
        QVERIFY(WaitForReady(*form));
        clockFails->store(true);
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return LogLinesContaining(*form, QStringLiteral(": Включаем паузу на 30 секунд")) ==
                       1;
            },
            60000));
        QCOMPARE(LogLinesContaining(*form, QStringLiteral(": Ошибка: часы системы недоступны")), 1);
        QElapsedTimer paused;
        paused.start();
        // The run pauses itself once the result is handled, then tells the window.
        QTRY_VERIFY_WITH_TIMEOUT(form->ResumeTimer->isActive(), 60000);
        QVERIFY(form->Logic().ActiveRun()->IsPaused());
        QCOMPARE(LogLinesContaining(*form, QStringLiteral(": Ошибка: ")), 1);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return LogLinesContaining(
                           *form, QStringLiteral(": Отключаем паузу, продолжаем работу")) == 1;
            },
            90000));
        // Only a lower bound: a loaded machine may fire late, never early.
        QVERIFY2(paused.elapsed() >= 25000, qPrintable(QString::number(paused.elapsed())));
        QVERIFY(QTest::qWaitFor([&] { return !form->Logic().HasLiveRun(); }, 120000));
        QCOMPARE(LogLinesContaining(*form, QStringLiteral(": Найдено торгов: 0")), 1);
        // The failed phase names the query it did not ask and counts it as failed.
        QCOMPARE(LogLinesContaining(*form, QStringLiteral(": Запрос не выполнен: https://")), 1);
        QCOMPARE(
            LogLinesContaining(*form, QStringLiteral(": Поисковых запросов: 0, не удалось: 1;")),
            1);
        QVERIFY(form->StartButton->isEnabled());
        QVERIFY(opened_.isEmpty());
        form->close();
    }

    void pauseHaltsTheRunAndStopEndsItWithoutResult() {
        korvalot::tools::SimProcess sim(
            {"--port", "0", "--trades", "3000", "--seed", "3", "--latency-ms", "50"});
        auto form = MakeForm(sim);
        form->show();
        QVERIFY(WaitForReady(*form));
        QTest::mouseClick(form->SelectAllCitiesButton, Qt::LeftButton);
        QTest::mouseClick(form->Button1, Qt::LeftButton);
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return form->LogLines().size() > 20; }, 60000));

        QTest::mouseClick(form->PauseButton, Qt::LeftButton);
        QVERIFY(form->LogLines().last().endsWith(QStringLiteral(": Включаем паузу")));
        // A report that was already on its way may still land; once the crawl thread stands at
        // its pause point nothing more comes.
        const auto run = form->Logic().ActiveRun();
        QTRY_VERIFY_WITH_TIMEOUT(run->WaitUntilHalted(0), 60000);
        const int halted = form->LogLines().size();
        QCoreApplication::processEvents();
        QCOMPARE(form->LogLines().size(), halted);
        QVERIFY(run->WaitUntilHalted(0));

        QTest::mouseClick(form->PauseButton, Qt::LeftButton);
        QVERIFY(form->LogLines().last().endsWith(
            QStringLiteral(": Отключаем паузу, продолжаем работу")));
        QVERIFY(QTest::qWaitFor([&] { return form->LogLines().size() > halted + 5; }, 60000));

        QTest::mouseClick(form->PauseButton, Qt::LeftButton);  // a paused run is resumed by Stop
        QTest::mouseClick(form->StopButton, Qt::LeftButton);
        QVERIFY(form->LogLines().last().endsWith(QStringLiteral(": Останавливаем работу")));
        QCOMPARE(form->ProgressBar->value(), 0);
        QVERIFY(QTest::qWaitFor([&] { return !form->Logic().HasLiveRun(); }, 120000));
        QVERIFY(
            form->LogLines().last().contains(QStringLiteral(": Работа завершена, лог записан в ")));
        QCOMPARE(LogLinesContaining(*form, QStringLiteral("Сбор данных завершен")), 0);
        QVERIFY(form->StartButton->isEnabled());
        form->close();
    }

    // A register that takes the connection into the kernel's queue and never answers (the TLS
    // handshake waits), or whose queue is full (the connection itself waits).
    void closingWhileTheDirectoryConnectsEndsTheLoadAtOnce_data() {
        QTest::addColumn<bool>("queueFull");
        QTest::newRow("TLS handshake") << false;
        QTest::newRow("connecting") << true;
    }

    void closingWhileTheDirectoryConnectsEndsTheLoadAtOnce() {
        QFETCH(bool, queueFull);
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
        QCOMPARE(::listen(listener, queueFull ? 0 : 16), 0);
        QCOMPARE(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        std::vector<int> fillers;
        if (queueFull) {
            for (int i = 0; i < 4; ++i) {
                const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
                ::connect(filler, reinterpret_cast<sockaddr*>(&address), length);
                fillers.push_back(filler);
            }
        }
        auto closeAll = qScopeGuard([&] {
            for (int filler : fillers) {
                ::close(filler);
            }
            ::close(listener);
        });

        korvalot::app::MainFormServices services = korvalot::app::ProgramServices();
        services.exeDir = exeDir_;
        services.dataDir = exeDir_;
        services.config.RegisterBaseUrl =
            "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        TMainForm form(std::move(services));
        // The load runs inside the timer's handler: the window is closed from an event that the
        // load's own wait lets through, as the operator's click would be.
        bool loadingAtClose = false;
        QElapsedTimer closing;
        QTimer closer;
        closer.setInterval(20);
        connect(&closer, &QTimer::timeout, this, [&] {
            pollfd waiting{listener, POLLIN, 0};
            if (!form.LogLines().contains(QStringLiteral("Загружаем регионы с сайта...")) ||
                (!queueFull && ::poll(&waiting, 1, 0) != 1)) {
                return;
            }
            closer.stop();
            loadingAtClose = QApplication::overrideCursor() != nullptr;
            closing.start();
            form.close();
        });
        closer.start();
        form.show();
        QTRY_VERIFY_WITH_TIMEOUT(closing.isValid(), 60000);
        QVERIFY(loadingAtClose);
        // The load gives up at once instead of waiting out its 120 s time-out; the bound leaves
        // a slow machine room.
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::overrideCursor() == nullptr, 60000);
        QVERIFY2(closing.elapsed() < 60000, qPrintable(QString::number(closing.elapsed())));
        QVERIFY(!form.LogLines().contains(kReady));
        QCOMPARE(form.CitiesListBox->count(), 0);
    }

    void closingTheWindowDuringARunEndsItsThreadsAtOnce() {
        korvalot::tools::SimProcess sim(
            {"--port", "0", "--trades", "3000", "--seed", "3", "--latency-ms", "20"});
        auto form = MakeForm(sim);
        form->show();
        QVERIFY(WaitForReady(*form));
        QTest::mouseClick(form->SelectAllCitiesButton, Qt::LeftButton);
        QTest::mouseClick(form->Button1, Qt::LeftButton);
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return form->LogLines().size() > 10; }, 60000));
        const std::shared_ptr<korvalot::app::IRunHandle> run = form->Logic().ActiveRun();
        QVERIFY(form->close());
        form.reset();  // the crawl thread may be waiting in a hand-off right now
        QVERIFY(run->IsLive());
        // What the program does when its window has gone: the run and every worker it started
        // end and are joined, without waiting for the register.
        QElapsedTimer ending;
        ending.start();
        // Below the 30 s a worker would wait for an answer, with room for a slow machine.
        QVERIFY(korvalot::app::EndRuns(std::chrono::seconds(60)));
        QVERIFY2(ending.elapsed() < 20000, qPrintable(QString::number(ending.elapsed())));
        QVERIFY(!run->IsLive());
        QVERIFY(QDir(exeDir_).entryList({QStringLiteral("log-*.txt")}).isEmpty());
    }
};

KORVALOT_WINDOW_TEST_MAIN(WindowHarvestTest)

#include "WindowHarvestTest.moc"
