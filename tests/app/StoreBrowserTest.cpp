// The store browser as the user meets it, over a store two real harvests made against the
// register simulator (the second after the register moved on, so that values changed): typing
// finds what korvalot-export finds, a header click sorts, a lot shows its trade and history and
// opens its card, an export equals korvalot-export's file, bad stores say so in one line, a
// harvest writing meanwhile never holds the browser up, and the keyboard reaches everything.
#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <utility>

#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "app/ProgramServices.h"
#include "app/WindowTestSupport.h"
#include "app/browser/ExportJob.h"
#include "app/browser/LotTableModel.h"
#include "app/browser/PricePlot.h"
#include "app/browser/StoreBrowser.h"
#include "app/uMain.h"
#include "json/JsonValue.h"
#include "store/Database.h"
#include "store/LotBrowser.h"
#include "store/TradeStore.h"
#include "tools/register-sim/SimProcess.h"

using korvalot::app::browser::StoreBrowser;
namespace fs = std::filesystem;
namespace store = korvalot::store;

namespace {

struct Outcome {
    int status = -1;
    QString err;
};

Outcome RunProgram(const QString& program, const QStringList& args, const QString& dir,
                   const QString& locale, const QString& registerUrl = {}) {
    QProcess process;
    process.setWorkingDirectory(dir);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), locale);
    if (!registerUrl.isEmpty())
        environment.insert(QStringLiteral("KORVALOT_REGISTER_URL"), registerUrl);
    process.setProcessEnvironment(environment);
    process.start(program, args);
    if (!process.waitForFinished(600000))
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardError())};
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "Найдено лотов: N, торгов: M" as numbers; nothing for any other line.
std::optional<std::pair<qint64, qint64>> Counts(const QString& line) {
    static const QRegularExpression pattern(
        QStringLiteral("^Найдено лотов: (\\d+), торгов: (\\d+)$"));
    const QRegularExpressionMatch match = pattern.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    return std::pair{match.captured(1).toLongLong(), match.captured(2).toLongLong()};
}

// Typed key by key, as a user types; QTest::keyClicks takes Latin-1 only.
void Type(QWidget* widget, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

// As a Russian reader types and the words index finds: letter case ignored, ё as е.
QString Folded(const QString& text) {
    QString folded = text.toLower();
    folded.replace(QChar(0x0451), QChar(0x0435));
    return folded;
}

std::int64_t QueryInt(const QString& path, const std::string& sql) {
    store::Database db(path.toStdString(), store::Database::Mode::ReadWrite);
    return db.QueryInt(sql);
}

}  // namespace

class StoreBrowserTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString store_;  // made by the harvests
    QStringList opened_;
    std::pair<qint64, qint64> all_;  // lots and trades of the whole store

    QString Dir() const { return dir_.path() + u'/'; }

    std::unique_ptr<StoreBrowser> MakeBrowser(const QString& storePath, QString ini = {}) {
        korvalot::app::browser::StoreBrowserOptions options;
        options.store = storePath.toStdString();
        options.settingsIni = ini.isEmpty() ? Dir() + QStringLiteral("browser.ini") : ini;
        options.regional = korvalot::app::LocaleFormats(QLocale(QLocale::Russian, QLocale::Russia));
        options.openCard = [this](const std::string& address) {
            opened_ << QString::fromStdString(address);
        };
        auto browser = std::make_unique<StoreBrowser>(std::move(options));
        browser->show();
        return browser;
    }

    // korvalot-export's counts for the same filter, with prices in a decimal comma as the
    // browser's regional settings have them.
    std::pair<qint64, qint64> ExportCounts(const QStringList& filter, const QString& output) {
        const Outcome o = RunProgram(
            QStringLiteral(EXPORT_PATH),
            QStringList{QStringLiteral("--store"), store_, QStringLiteral("-o"), output} + filter,
            Dir(), QStringLiteral("ru_RU.UTF-8"));
        [&] { QCOMPARE(o.status, 0); }();
        static const QRegularExpression pattern(
            QStringLiteral("записано строк: (\\d+), торгов: (\\d+)"));
        const QRegularExpressionMatch match = pattern.match(o.err);
        [&] { QVERIFY2(match.hasMatch(), qPrintable(o.err)); }();
        return {match.captured(1).toLongLong(), match.captured(2).toLongLong()};
    }

    // Shortcuts act in the active window only.
    static void Activate(QWidget* window) {
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
    }

    // Waits until the rows from `first` on are fetched.
    static bool RowsArrive(const StoreBrowser& browser, int first, int count) {
        for (int row = first; row < first + count && row < browser.Model().rowCount(); ++row) {
            if (browser.Model().LotAt(row) == nullptr) {
                browser.LotsView->scrollTo(browser.Model().index(row, 0));
                return false;
            }
        }
        return true;
    }

    void CheckRegion(StoreBrowser& browser, const QString& code) {
        QTRY_VERIFY(browser.RegionsList->count() > 0);
        for (int k = 0; k < browser.RegionsList->count(); ++k) {
            if (browser.RegionsList->item(k)->data(Qt::UserRole).toString() == code)
                browser.RegionsList->item(k)->setCheckState(Qt::Checked);
        }
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        const QString sim = QString::fromStdString(korvalot::tools::SimProcess::DefaultBinary());
        QCOMPARE(QProcess::execute(sim, {QStringLiteral("--write-client-cert"), dir_.path()}), 0);
        QVERIFY(QDir(Dir()).mkpath(QStringLiteral("first")));
        QVERIFY(QDir(Dir()).mkpath(QStringLiteral("second")));
        store_ = Dir() + QStringLiteral("korvalot.sqlite");
        // The same port both times, so that the stored card links still name their trades.
        std::string port = "0";
        for (const auto& [today, output] :
             {std::pair{"2026-06-10", "first"}, std::pair{"2026-06-20", "second"}}) {
            korvalot::tools::SimProcess register_({"--port", port, "--trades", "300", "--seed", "7",
                                                   "--from", "2026-06-01", "--to", "2026-06-30",
                                                   "--today", today, "--require-client-cert"});
            port = std::to_string(register_.Port());
            const Outcome o = RunProgram(
                QStringLiteral(HARVEST_PATH),
                {QStringLiteral("-r"), QStringLiteral("77,23"), QStringLiteral("-o"),
                 QString::fromLatin1(output), QStringLiteral("--store"), store_},
                Dir(), QStringLiteral("C.UTF-8"), QString::fromStdString(register_.BaseUrl()));
            QVERIFY2(o.status == 0, qPrintable(o.err));
        }
        QVERIFY(QueryInt(store_, "SELECT count(*) FROM changes") > 0);
        all_ = ExportCounts({}, Dir() + QStringLiteral("all.csv"));
        // An export to cancel needs more than one progress report's rows.
        QVERIFY2(all_.first > 2 * korvalot::app::browser::ExportJob::kProgressRows,
                 qPrintable(QString::number(all_.first)));
    }

    void init() {
        opened_.clear();
        QFile::remove(Dir() + QStringLiteral("browser.ini"));
    }

    void typingFindsWhatTheExportFinds_data() {
        QTest::addColumn<QString>("words");
        QTest::addColumn<QString>("region");
        QTest::newRow("a word") << QStringLiteral("квартира") << QString();
        QTest::newRow("a prefix") << QStringLiteral("автомоб*") << QString();
        QTest::newRow("two words") << QStringLiteral("Земельный участок") << QString();
        QTest::newRow("ё typed as е") << QStringLiteral("артем") << QString();
        QTest::newRow("a region") << QString() << QStringLiteral("23");
        QTest::newRow("a word in a region") << QStringLiteral("квартира") << QStringLiteral("77");
        QTest::newRow("nothing") << QStringLiteral("зебра") << QString();
    }

    void typingFindsWhatTheExportFinds() {
        QFETCH(QString, words);
        QFETCH(QString, region);
        QStringList filter;
        if (!words.isEmpty())
            filter << QStringLiteral("--words") << words;
        if (!region.isEmpty())
            filter << QStringLiteral("--regions") << region;
        const auto expected = ExportCounts(filter, Dir() + QStringLiteral("expected.csv"));

        auto browser = MakeBrowser(store_);
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(all_));
        if (!region.isEmpty())
            CheckRegion(*browser, region);
        Type(browser->WordsEdit, words);
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(expected));
        QCOMPARE(browser->Model().rowCount(), static_cast<int>(expected.first));
        // The rows in view hold every word.
        const int shown = std::min(20, browser->Model().rowCount());
        QTRY_VERIFY(RowsArrive(*browser, 0, shown));
        for (int row = 0; row < shown; ++row) {
            const store::BrowsedLot& lot = *browser->Model().LotAt(row);
            const QString texts = Folded(QString::fromStdString(lot.row.lotDescription) + u' ' +
                                         QString::fromStdString(lot.row.debtorName));
            for (QString word : words.split(u' ', Qt::SkipEmptyParts)) {
                word.remove(u'*');
                QVERIFY2(texts.contains(Folded(word)), qPrintable(texts));
            }
        }
    }

    void aHeaderClickSortsThenReversesThenRestoresTheStoreOrder() {
        auto browser = MakeBrowser(store_);
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(all_));
        QHeaderView* header = browser->LotsView->horizontalHeader();
        const int startPrice = 9;
        const auto click = [&] {
            browser->LotsView->scrollTo(browser->Model().index(0, startPrice));
            const QPoint at(header->sectionViewportPosition(startPrice) + 10, header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
        };
        const auto firstPrices = [&] {
            std::vector<std::optional<double>> prices;
            for (int row = 0; row < 50; ++row)
                prices.push_back(browser->Model().LotAt(row)->startPrice);
            return prices;
        };
        const QLocale russian(QLocale::Russian, QLocale::Russia);

        click();
        QTRY_COMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(all_));
        QTRY_VERIFY(RowsArrive(*browser, 0, 50));
        auto prices = firstPrices();
        QVERIFY(prices.front().has_value());
        for (std::size_t k = 1; k < prices.size(); ++k)
            QVERIFY(!prices[k] || *prices[k - 1] <= *prices[k]);
        // Shown as numbers in the regional format.
        QCOMPARE(browser->Model().data(browser->Model().index(0, startPrice), Qt::DisplayRole),
                 QVariant(russian.toString(*prices.front(), 'f', 2)));
        const QString date =
            browser->Model().data(browser->Model().index(0, 3), Qt::DisplayRole).toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4}( \\d\\d:\\d\\d)?$"))
                     .match(date)
                     .hasMatch(),
                 qPrintable(date));

        click();
        QTRY_COMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
        QTRY_VERIFY(RowsArrive(*browser, 0, 50) && firstPrices() != prices);
        prices = firstPrices();
        for (std::size_t k = 1; k < prices.size(); ++k)
            QVERIFY(!prices[k] || (prices[k - 1] && *prices[k - 1] >= *prices[k]));

        click();  // no order: the store's own
        QTRY_COMPARE(header->sortIndicatorSection(), -1);
        QTRY_VERIFY(RowsArrive(*browser, 0, 50) && firstPrices() != prices);
        const std::vector<std::int64_t>& ids = browser->Model().LotIds();
        QVERIFY(std::is_sorted(ids.begin(), ids.end()));
    }

    void aLotShowsItsTradeHistoryPricesAndOpensItsCard() {
        auto browser = MakeBrowser(store_);
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(all_));
        // The lots the second harvest changed.
        browser->ChangedSinceEdit->setDate(QDate::currentDate());
        const auto changed =
            ExportCounts({QStringLiteral("--changed-since"), QStringLiteral("today")},
                         Dir() + QStringLiteral("changed.csv"));
        QVERIFY(changed.first > 0);
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(changed));
        QTRY_VERIFY(RowsArrive(*browser, 0, 1));
        const store::BrowsedLot lot = *browser->Model().LotAt(0);
        browser->LotsView->setFocus();
        browser->LotsView->setCurrentIndex(browser->Model().index(0, 0));

        const std::int64_t changes = QueryInt(
            store_, "SELECT count(*) FROM changes WHERE trade_id = " + std::to_string(lot.tradeId));
        QVERIFY(changes > 0);
        QTRY_COMPARE(browser->HistoryList->count(), static_cast<int>(changes));
        QVERIFY(browser->HistoryList->item(0)->text().contains(QStringLiteral(" → ")));
        QVERIFY(browser->HistoryList->item(0)->text().contains(QStringLiteral("korvalot-harvest")));
        QCOMPARE(browser->TradeLotsList->topLevelItemCount(),
                 static_cast<int>(QueryInt(store_, "SELECT count(*) FROM lots WHERE trade_id = " +
                                                       std::to_string(lot.tradeId))));
        QVERIFY(browser->TradeSummary->text().contains(QString::fromStdString(lot.row.number)));
        // The plot ends at the price the store holds now.
        if (lot.currentPrice) {
            QVERIFY(!browser->Plot->Points().empty());
            QCOMPARE(browser->Plot->Points().back().value, *lot.currentPrice);
        }

        QTest::keyClick(browser->LotsView, Qt::Key_Return);
        QCOMPARE(opened_, QStringList{QString::fromStdString(lot.cardLink)});
        QVERIFY(opened_.front().endsWith(QStringLiteral("/biddings/") +
                                         QString::fromStdString(lot.row.guid)));
        QVERIFY(browser->OpenCardButton->isEnabled());
        QTest::mouseClick(browser->OpenCardButton, Qt::LeftButton);
        QCOMPARE(opened_.size(), 2);
    }

    void anExportIsKorvalotExportsFile() {
        auto browser = MakeBrowser(store_);
        CheckRegion(*browser, QStringLiteral("23"));
        Type(browser->WordsEdit, QStringLiteral("квартира"));
        const QStringList filter = {QStringLiteral("--regions"), QStringLiteral("23"),
                                    QStringLiteral("--words"), QStringLiteral("квартира")};
        const auto expected = ExportCounts(filter, Dir() + QStringLiteral("cli-23.csv"));
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(expected));

        browser->ExportTo((Dir() + QStringLiteral("browser-23.csv")).toStdString());
        QTRY_COMPARE(browser->ExportLine->text(),
                     QStringLiteral("Выгружено строк: %1, торгов: %2, в файл %3")
                         .arg(expected.first)
                         .arg(expected.second)
                         .arg(Dir() + QStringLiteral("browser-23.csv")));
        QCOMPARE(ReadAll(Dir() + QStringLiteral("browser-23.csv")),
                 ReadAll(Dir() + QStringLiteral("cli-23.csv")));
        QVERIFY(ReadAll(Dir() + QStringLiteral("cli-23.csv")).contains(','));

        browser->ExportTo((Dir() + QStringLiteral("browser-23.xlsx")).toStdString());
        QTRY_VERIFY(browser->ExportLine->text().endsWith(QStringLiteral("browser-23.xlsx")));
        QVERIFY(ReadAll(Dir() + QStringLiteral("browser-23.xlsx")).startsWith("PK"));

        browser->ExportTo((Dir() + QStringLiteral("browser-23.txt")).toStdString());
        QCOMPARE(browser->ExportLine->text(),
                 QStringLiteral("Выгрузка: имя файла должно оканчиваться на .csv или .xlsx"));
        QVERIFY(!QFile::exists(Dir() + QStringLiteral("browser-23.txt")));
    }

    void aCancelledExportLeavesNoFile() {
        using korvalot::app::browser::ExportJob;
        using korvalot::app::browser::ExportOutcome;
        const QString folder = Dir() + QStringLiteral("cancelled/");
        QVERIFY(QDir().mkpath(folder));
        std::atomic<ExportJob*> job{nullptr};
        std::promise<ExportOutcome> done;
        std::atomic<std::int64_t> reported{0};
        ExportJob::Request request;
        request.store = store_.toStdString();
        request.output = (folder + QStringLiteral("all.csv")).toStdString();
        request.decimalSeparator = ",";
        // The first progress report cancels, from the export's own thread: the next row ends it.
        const auto post = [&](std::function<void()> answer) {
            while (job.load() == nullptr)
                std::this_thread::yield();
            job.load()->Cancel();
            answer();
        };
        auto started = std::make_unique<ExportJob>(
            request, post, [&](std::int64_t rows) { reported = rows; },
            [&](ExportOutcome outcome) { done.set_value(outcome); });
        job = started.get();
        const ExportOutcome outcome = done.get_future().get();
        QVERIFY(outcome.cancelled);
        QCOMPARE(outcome.error, std::string());
        QCOMPARE(reported.load(), ExportJob::kProgressRows);
        QVERIFY(QDir(folder)
                    .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                    .isEmpty());
    }

    void aBadStoreGivesOneLineAndStaysAsItWas_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "missing"
                                 << "файла нет";
        QTest::newRow("empty") << "empty"
                               << "файл пуст, это не хранилище торгов";
        QTest::newRow("not a database") << "text"
                                        << "не";
        QTest::newRow("newer schema") << "newer"
                                      << "записано более новой версией программы";
        QTest::newRow("being migrated") << "migrating"
                                        << "занято другим процессом";
        QTest::newRow("damaged") << "damaged"
                                 << "база данных повреждена";
    }

    void aBadStoreGivesOneLineAndStaysAsItWas() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QString path = Dir() + QStringLiteral("bad-") + kind + QStringLiteral(".sqlite");
        QFile::remove(path);
        std::unique_ptr<store::Database> holder;
        std::unique_ptr<store::Transaction> holding;
        if (kind == QStringLiteral("empty")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (kind == QStringLiteral("text")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray("Ссылка на сообщение;Регион\r\n").repeated(400));
        } else if (kind != QStringLiteral("missing")) {
            QVERIFY(QFile::copy(store_, path));
            store::Database db(path.toStdString(), store::Database::Mode::ReadWrite);
            if (kind == QStringLiteral("newer")) {
                db.Execute("PRAGMA user_version = 99");
            } else if (kind == QStringLiteral("migrating")) {
                // An older version's store that another process brings up to date: it holds
                // the write lock while it migrates.
                db.Execute("PRAGMA user_version = 3");
            } else if (kind == QStringLiteral("damaged")) {
                const std::int64_t pageSize = db.QueryInt("PRAGMA page_size");
                const std::int64_t root =
                    db.QueryInt("SELECT rootpage FROM sqlite_schema WHERE name = 'lots'");
                QFile file(path);
                QVERIFY(file.open(QIODevice::ReadWrite));
                QVERIFY(file.seek((root - 1) * pageSize + 16));
                QByteArray noise(static_cast<int>(pageSize - 16), '\0');
                std::uint32_t seed = 12345;
                for (char& c : noise) {
                    seed = seed * 1103515245u + 12345u;
                    c = static_cast<char>(seed >> 24);
                }
                file.write(noise);
            }
        }
        if (kind == QStringLiteral("migrating")) {
            holder = std::make_unique<store::Database>(path.toStdString(),
                                                       store::Database::Mode::ReadWrite);
            holding = std::make_unique<store::Transaction>(*holder);
        }
        const QByteArray before = ReadAll(path);

        auto browser = MakeBrowser(path);
        QTRY_VERIFY2(browser->StatusLine->text().startsWith(QStringLiteral("хранилище ") + path +
                                                            QStringLiteral(": ")),
                     qPrintable(browser->StatusLine->text()));
        QVERIFY2(browser->StatusLine->text().contains(reason),
                 qPrintable(browser->StatusLine->text()));
        QVERIFY(!browser->StatusLine->text().contains(u'\n'));
        QCOMPARE(browser->Model().rowCount(), 0);
        // The other controls work on: an export says the store is not open.
        browser->ExportTo((Dir() + QStringLiteral("from-bad.csv")).toStdString());
        QCOMPARE(browser->ExportLine->text(), QStringLiteral("Выгрузка: хранилище не открыто"));
        browser.reset();
        holding.reset();
        holder.reset();
        QCOMPARE(ReadAll(path), before);
        QCOMPARE(QFile::exists(path), kind != QStringLiteral("missing"));
    }

    void aHarvestWritingMeanwhileNeverHoldsTheBrowserUpAndRefreshShowsItsRows() {
        const QString path = Dir() + QStringLiteral("live.sqlite");
        QFile::remove(path);
        QVERIFY(QFile::copy(store_, path));
        auto browser = MakeBrowser(path);
        Type(browser->WordsEdit, QStringLiteral("вертолет"));
        QTRY_COMPARE(Counts(browser->StatusLine->text()),
                     std::optional(std::pair<qint64, qint64>(0, 0)));

        store::TradeStore harvest(path.toStdString());
        harvest.Begin({(Dir() + QStringLiteral("live.csv")).toStdString(),
                       "https://register.test",
                       ".",
                       {"г. Москва (77)"}});
        std::vector<korvalot::crawl::ResultRow> rows(2);
        for (std::size_t k = 0; k < rows.size(); ++k) {
            rows[k].guid = "live-trade";
            rows[k].region = "г. Москва";
            rows[k].number = "99000001";
            rows[k].datePublish = "24.06.2026 06:48";
            rows[k].debtorName = "ООО \"Небо\"";
            rows[k].lotDescription = "Вертолёт Ми-8, лот " + std::to_string(k + 1);
            rows[k].startPrice = "1500000.5";
            rows[k].currentPrice = "null";
            rows[k].resultsDate = "15.07.2026 09:15";
        }
        harvest.TradeWritten("live-trade", "г. Москва",
                             korvalot::json::Parse(R"({"tradeType":"OpenAuction"})"), rows);
        // The harvest holds the store's write lock while the browser reads it again.
        store::Database writer(path.toStdString(), store::Database::Mode::ReadWrite);
        store::Transaction holding(writer);
        Activate(browser.get());
        QTest::keyClick(browser.get(), Qt::Key_F5);
        QTRY_COMPARE(Counts(browser->StatusLine->text()),
                     std::optional(std::pair<qint64, qint64>(2, 1)));
        QTRY_VERIFY(RowsArrive(*browser, 0, 2));
        QCOMPARE(browser->Model().LotAt(1)->row.lotDescription, rows[1].lotDescription);
    }

    void theKeyboardReachesEveryControl() {
        auto browser = MakeBrowser(store_);
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(all_));
        Activate(browser.get());
        browser->WordsEdit->setFocus();
        QTRY_VERIFY(browser->WordsEdit->hasFocus());
        const std::vector<QWidget*> controls = {
            browser->WordsEdit,          browser->RegionsList,      browser->TypesList,
            browser->TradeFromEdit,      browser->TradeToEdit,      browser->AnnouncedFromEdit,
            browser->AnnouncedToEdit,    browser->NewSinceEdit,     browser->ChangedSinceEdit,
            browser->StartPriceFromEdit, browser->StartPriceToEdit, browser->CurrentPriceFromEdit,
            browser->CurrentPriceToEdit, browser->OpenOnlyBox,      browser->ClearButton,
            browser->LotsView,           browser->TradeLotsList,    browser->HistoryList,
            browser->ExportButton,       browser->OpenStoreButton,  browser->RefreshButton};
        std::vector<QWidget*> reached;
        for (int k = 0; k < 40; ++k) {
            reached.push_back(QApplication::focusWidget());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        for (QWidget* control : controls) {
            const bool found = std::any_of(reached.begin(), reached.end(), [control](QWidget* w) {
                return w == control || (w != nullptr && control->isAncestorOf(w));
            });
            QStringList names;
            for (QWidget* w : reached)
                names << (w != nullptr ? w->objectName() : QStringLiteral("-"));
            QVERIFY2(found, qPrintable(control->objectName() + u' ' + names.join(u',')));
        }

        // Ctrl+F from the table goes to the words; Escape clears every filter.
        browser->LotsView->setFocus();
        QTRY_VERIFY(browser->LotsView->hasFocus());
        QTest::keyClick(browser->LotsView, Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(browser->WordsEdit->hasFocus());
        Type(browser->WordsEdit, QStringLiteral("квартира"));
        CheckRegion(*browser, QStringLiteral("77"));
        browser->OpenOnlyBox->setChecked(true);
        QTRY_VERIFY(Counts(browser->StatusLine->text()) &&
                    Counts(browser->StatusLine->text())->first < all_.first);
        QTest::keyClick(browser->WordsEdit, Qt::Key_Escape);
        QCOMPARE(browser->WordsEdit->text(), QString());
        QVERIFY(!browser->OpenOnlyBox->isChecked());
        for (int k = 0; k < browser->RegionsList->count(); ++k)
            QCOMPARE(browser->RegionsList->item(k)->checkState(), Qt::Unchecked);
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(all_));
    }

    void theColumnsAndTheLastFilterAreRemembered() {
        const QString ini = Dir() + QStringLiteral("remembered.ini");
        QFile::remove(ini);
        {
            QFile file(ini);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[Harvest]\r\nStore=1\r\n");
        }
        {
            auto browser = MakeBrowser(store_, ini);
            Type(browser->WordsEdit, QStringLiteral("квартира"));
            CheckRegion(*browser, QStringLiteral("23"));
            browser->LotsView->horizontalHeader()->resizeSection(7, 333);
            browser->LotsView->horizontalHeader()->moveSection(7, 0);
            browser->close();
        }
        const QByteArray saved = ReadAll(ini);
        QVERIFY(saved.startsWith("[Harvest]\r\nStore=1\r\n"));
        QVERIFY(saved.contains("[StoreBrowser]"));
        auto browser = MakeBrowser(store_, ini);
        QCOMPARE(browser->WordsEdit->text(), QStringLiteral("квартира"));
        QCOMPARE(browser->LotsView->horizontalHeader()->sectionSize(7), 333);
        QCOMPARE(browser->LotsView->horizontalHeader()->visualIndex(7), 0);
        const auto expected = ExportCounts({QStringLiteral("--regions"), QStringLiteral("23"),
                                            QStringLiteral("--words"), QStringLiteral("квартира")},
                                           Dir() + QStringLiteral("remembered.csv"));
        QTRY_COMPARE(Counts(browser->StatusLine->text()), std::optional(expected));
    }

    void theMainWindowOpensTheBrowserOverItsStoreWithCtrlB() {
        korvalot::app::MainFormServices services = korvalot::app::ProgramServices();
        services.exeDir = Dir();
        services.dataDir = Dir();
        services.regional =
            korvalot::app::LocaleFormats(QLocale(QLocale::Russian, QLocale::Russia));
        services.fetchDirectory = [](const std::string&, const std::string&,
                                     const std::function<void()>&) { return std::string("[]"); };
        korvalot::app::TMainForm form(std::move(services), [] {});
        form.Timer1->stop();
        form.show();
        Activate(&form);
        QTest::keyClick(&form, Qt::Key_B, Qt::ControlModifier);
        QTRY_VERIFY(form.StoreBrowserWindow() != nullptr && form.StoreBrowserWindow()->isVisible());
        QCOMPARE(QString::fromStdString(form.StoreBrowserWindow()->StorePath().string()), store_);
        QTRY_COMPARE(Counts(form.StoreBrowserWindow()->StatusLine->text()), std::optional(all_));
        // The main window's own controls are as they were: the browser is no child of it.
        QVERIFY(!form.isAncestorOf(form.StoreBrowserWindow()));
    }
};

KORVALOT_WINDOW_TEST_MAIN(StoreBrowserTest)
#include "StoreBrowserTest.moc"
