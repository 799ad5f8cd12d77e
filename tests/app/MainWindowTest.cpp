#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include <QCalendarWidget>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

#include "app/FakeMainView.h"
#include "app/StartupChecks.h"
#include "app/UiHandOff.h"
#include "app/WindowTestSupport.h"
#include "app/uMain.h"

using korvalot::app::IRunHandle;
using korvalot::app::kNoDate;
using korvalot::app::LocaleFormats;
using korvalot::app::MainFormServices;
using korvalot::app::TMainForm;
using korvalot::app::testing::FakeRun;

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::shared_ptr<FakeRun> run_;
    int runsStarted_ = 0;
    int endings_ = 0;
    bool tlsReady_ = true;
    std::string directoryBody_ = "[]";
    std::uint32_t tick_ = 100000;
    bool failDirectory_ = false;

    MainFormServices Services(const QString& exeDir) {
        MainFormServices services;
        services.exeDir = exeDir;
        services.config = {"https://127.0.0.1:1", "register.test"};
        services.regional = LocaleFormats(QLocale(QLocale::Russian, QLocale::Russia));
        services.tickCount = [this] { return tick_; };
        services.now = [] { return QDateTime(QDate(2026, 6, 25), QTime(9, 5, 1)); };
        services.tlsReady = [this] { return tlsReady_; };
        services.fetchDirectory = [this](const std::string&, const std::string&,
                                         const std::function<void()>&) {
            if (failDirectory_) {
                throw std::runtime_error("Not Found");
            }
            return directoryBody_;
        };
        services.startRun = [this]() -> std::shared_ptr<IRunHandle> {
            ++runsStarted_;
            run_ = std::make_shared<FakeRun>();
            return run_;
        };
        return services;
    }

    // The window loads the regions a second after it is made. Tests about something else stop
    // that timer, since a slow machine may take a second to show the window and the load would
    // then add its lines and regions in the middle of the test.
    enum class Startup { LoadsRegions, Quiet };
    std::unique_ptr<TMainForm> MakeForm(const QString& exeDir, Startup startup = Startup::Quiet) {
        auto form = std::make_unique<TMainForm>(Services(exeDir), [this] { ++endings_; });
        if (startup == Startup::Quiet) {
            form->Timer1->stop();
        }
        return form;
    }

    QString ExeDir() const { return dir_.path() + u'/'; }

private Q_SLOTS:
    void init() {
        runsStarted_ = 0;
        endings_ = 0;
        tlsReady_ = true;
        tick_ = 100000;
        failDirectory_ = false;
        directoryBody_ =
            R"([{"description":"Москва","code":"77"},{"description":"Тверская область","code":"69"}])";
        QDir(dir_.path()).removeRecursively();
        QDir().mkpath(dir_.path());
    }

    void layout_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::newRow("Label2") << "Label2" << QRect(271, 51, -1, -1) << "Логи";
        QTest::newRow("Label1") << "Label1" << QRect(12, 171, -1, -1) << "Регионы";
        QTest::newRow("Label4") << "Label4" << QRect(618, 8, -1, -1) << "Найдено торгов: 0";
        QTest::newRow("Label3") << "Label3" << QRect(12, 8, -1, -1) << "Вид торгов";
        QTest::newRow("Label5") << "Label5" << QRect(131, 148, -1, -1) << "до:";
        QTest::newRow("Label6") << "Label6" << QRect(12, 123, -1, -1) << "Дата торгов";
        QTest::newRow("Label7") << "Label7" << QRect(12, 148, -1, -1) << "от:";
        QTest::newRow("LogsMemo") << "LogsMemo" << QRect(271, 70, 818, 693) << "";
        QTest::newRow("StartButton") << "StartButton" << QRect(313, 8, 265, 37) << "СТАРТ";
        QTest::newRow("StopButton") << "StopButton" << QRect(699, 24, 75, 18) << "стоп";
        QTest::newRow("PauseButton") << "PauseButton" << QRect(618, 24, 75, 18) << "пауза";
        QTest::newRow("CitiesListBox") << "CitiesListBox" << QRect(8, 190, 257, 573) << "";
        QTest::newRow("SelectAllCitiesButton")
            << "SelectAllCitiesButton" << QRect(206, 736, 41, 25) << "все";
        QTest::newRow("CatsListBox") << "CatsListBox" << QRect(8, 27, 257, 90) << "";
        QTest::newRow("Button1") << "Button1" << QRect(206, 90, 41, 25) << "все";
        QTest::newRow("DateFromPicker")
            << "DateFromPicker" << QRect(32, 144, 93, 21) << "не задана";
        QTest::newRow("DateToPicker") << "DateToPicker" << QRect(154, 144, 93, 21) << "не задана";
        QTest::newRow("ProgressBar") << "ProgressBar" << QRect(0, 769, 1097, 17) << "";
    }

    void layout() {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        auto form = MakeForm(ExeDir());
        auto* widget = form->findChild<QWidget*>(name);
        QVERIFY(widget != nullptr);
        QCOMPARE(widget->pos(), geometry.topLeft());
        if (geometry.width() > 0) {
            QCOMPARE(widget->size(), geometry.size());
        }
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            QCOMPARE(label->text(), text);
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            QCOMPARE(button->text(), text);
        } else if (auto* picker = qobject_cast<QDateEdit*>(widget)) {
            QCOMPARE(picker->date(), kNoDate);
            QCOMPARE(picker->findChild<QLineEdit*>()->text(), text);
        }
    }

    void windowAndControls() {
        auto form = MakeForm(ExeDir(), Startup::LoadsRegions);
        QCOMPARE(form->size(), QSize(1097, 786));
        QCOMPARE(form->windowTitle(), QStringLiteral("Парсер торгов с register.test/biddings"));
        QCOMPARE(form->font().pixelSize(), 11);
        QCOMPARE(form->StartButton->font().pixelSize(), 19);
        QStringList cats;
        for (int i = 0; i < form->CatsListBox->count(); ++i) {
            cats << form->CatsListBox->item(i)->text();
        }
        QCOMPARE(cats, (QStringList{"Открытый аукцион", "Открытый конкурс", "Публичное предложение",
                                    "Закрытый аукцион", "Закрытый конкурс",
                                    "Закрытое публичное предложение"}));
        QCOMPARE(form->CitiesListBox->count(), 0);
        for (QListWidget* list : {form->CitiesListBox, form->CatsListBox}) {
            QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
        }
        QCOMPARE(form->CatsListBox->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(form->ProgressBar->minimum(), 0);
        QCOMPARE(form->ProgressBar->maximum(), 100);
        QCOMPARE(form->ProgressBar->value(), 0);
        QVERIFY(form->ProgressBar->toolTip().isEmpty());
        QVERIFY(!form->LogsMemo->isReadOnly());
        QCOMPARE(form->LogsMemo->lineWrapMode(), QPlainTextEdit::NoWrap);
        QVERIFY(form->Timer1->isActive());
        QCOMPARE(form->Timer1->interval(), 1000);
        QVERIFY(!form->ResumeTimer->isActive());

        // Tab order: each control's successor among the focusable ones.
        const QList<QWidget*> order = {
            form->CitiesListBox,  form->StartButton,           form->PauseButton, form->StopButton,
            form->LogsMemo,       form->SelectAllCitiesButton, form->CatsListBox, form->Button1,
            form->DateFromPicker, form->DateToPicker};
        for (int i = 0; i + 1 < order.size(); ++i) {
            QWidget* next = order[i]->nextInFocusChain();
            while (!order.contains(next)) {
                next = next->nextInFocusChain();
            }
            QCOMPARE(next->objectName(), order[i + 1]->objectName());
        }

        // Anchors: the log to all sides, the region list and its button to the bottom.
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->resize(1197, 836);
        QTRY_COMPARE(form->LogsMemo->geometry(), QRect(271, 70, 918, 743));
        QCOMPARE(form->CitiesListBox->geometry(), QRect(8, 190, 257, 623));
        QCOMPARE(form->SelectAllCitiesButton->pos(), QPoint(206, 786));
        QCOMPARE(form->ProgressBar->geometry(), QRect(0, 819, 1197, 17));
        QCOMPARE(form->StartButton->pos(), QPoint(313, 8));
    }

    void calendarOfAPickerWithoutDateOpensAtJune2026() {
        auto form = MakeForm(ExeDir());
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QDateEdit* picker = form->DateFromPicker;
        const auto openCalendar = [](QDateEdit* edit) {
            // A click on the drop-down arrow at the right edge.
            QTest::mouseClick(edit, Qt::LeftButton, {},
                              QPoint(edit->width() - 6, edit->height() / 2));
        };
        openCalendar(picker);
        QCalendarWidget* calendar = picker->calendarWidget();
        QTRY_VERIFY(calendar->isVisible());
        QCOMPARE(calendar->yearShown(), 2026);
        QCOMPARE(calendar->monthShown(), 6);
        QCOMPARE(calendar->selectedDate(), QDate(2026, 6, 25));
        QCOMPARE(picker->date(), kNoDate);  // opening writes nothing into the picker
        QTest::keyClick(calendar, Qt::Key_Escape);
        QTRY_VERIFY(!calendar->isVisible());
        QCOMPARE(picker->date(), kNoDate);
        // A picker with a date opens at it.
        form->DateToPicker->setDate(QDate(2024, 3, 9));
        openCalendar(form->DateToPicker);
        QTRY_VERIFY(form->DateToPicker->calendarWidget()->isVisible());
        QCOMPARE(form->DateToPicker->calendarWidget()->monthShown(), 3);
        QTest::keyClick(form->DateToPicker->calendarWidget(), Qt::Key_Escape);
    }

    void ctrlASelectsTheWholeLog_data() {
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("selectsAll");
        QTest::newRow("Ctrl+A") << int(Qt::ControlModifier) << true;
        QTest::newRow("Ctrl+Shift+A") << int(Qt::ControlModifier | Qt::ShiftModifier) << true;
        QTest::newRow("Ctrl+Alt+A") << int(Qt::ControlModifier | Qt::AltModifier) << true;
        QTest::newRow("A") << int(Qt::NoModifier) << false;
    }

    void ctrlASelectsTheWholeLog() {
        QFETCH(int, modifiers);
        QFETCH(bool, selectsAll);
        auto form = MakeForm(ExeDir());
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->AddLogLine(QStringLiteral("первая строка"));
        form->AddLogLine(QStringLiteral("вторая строка"));
        form->LogsMemo->setFocus();
        QTest::keyClick(form->LogsMemo, Qt::Key_A, Qt::KeyboardModifiers(modifiers));
        if (selectsAll) {
            QCOMPARE(form->LogsMemo->textCursor().selectedText(),
                     QStringLiteral("первая строка\u2029вторая строка"));
        } else {
            QVERIFY(form->LogsMemo->textCursor().selectedText().isEmpty());
            QVERIFY(form->LogsMemo->toPlainText().contains(u'a'));
        }
    }

    void selectAllButtonsStayUsableDuringARun() {
        auto form = MakeForm(ExeDir());
        form->AddItem(korvalot::app::ListId::Cities, QStringLiteral("Москва (77)"));
        form->AddItem(korvalot::app::ListId::Cities, QStringLiteral("Тверская область (69)"));
        form->CatsListBox->item(1)->setSelected(true);
        form->Logic().UpdateRunUi(true);
        QVERIFY(!form->CitiesListBox->isEnabled());
        QVERIFY(!form->StartButton->isEnabled());
        QVERIFY(form->SelectAllCitiesButton->isEnabled());
        QTest::mouseClick(form->SelectAllCitiesButton, Qt::LeftButton);
        QTest::mouseClick(form->Button1, Qt::LeftButton);
        QCOMPARE(form->CitiesListBox->selectedItems().size(), 2);
        QCOMPARE(form->CatsListBox->selectedItems().size(), 6);
    }

    void startupRefusals_data() {
        QTest::addColumn<QString>("subdirectory");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("firstLine");
        QTest::newRow("archive") << "Rar$EXa1.2/Temp/" << true
                                 << "Вы запустили программу изнутри архива!";
        QTest::newRow("temporary") << "TEMP/" << true << "Программа запущена из временной папки!";
        QTest::newRow("tls") << "plain/" << false
                             << "Программа не обнаружила необходимые для работы файлы!";
    }

    void startupRefusals() {
        QFETCH(QString, subdirectory);
        QFETCH(bool, tls);
        QFETCH(QString, firstLine);
        const QString exeDir = ExeDir() + subdirectory;
        QVERIFY(QDir().mkpath(exeDir));
        tlsReady_ = tls;
        QString title;
        QString nativeTitle;
        QString text;
        int buttons = -1;
        QMessageBox::Icon icon = QMessageBox::Warning;
        // The box is modal: inspect and close it from inside its own event loop.
        QTimer closer;
        closer.setInterval(20);
        connect(&closer, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            title = box->windowTitle();
            if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
                QProcess xprop;
                xprop.start(QStringLiteral("xprop"),
                            {QStringLiteral("-id"), QString::number(box->winId()),
                             QStringLiteral("_NET_WM_NAME")});
                xprop.waitForFinished(10000);
                nativeTitle = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
            }
            text = box->text();
            buttons = box->buttons().size();
            icon = box->icon();
            box->button(QMessageBox::Ok)->click();
        });
        closer.start();
        auto form = MakeForm(exeDir, Startup::LoadsRegions);
        form->show();
        QTRY_COMPARE(endings_, 1);
        closer.stop();
        QCOMPARE(title, QStringLiteral("Внимание!"));
        QVERIFY(text.startsWith(firstLine + QStringLiteral("\r\n")));
        QVERIFY(text.endsWith(QStringLiteral("пункт меню \"Извлечь все\"")));
        QCOMPARE(buttons, 1);
        QCOMPARE(icon, QMessageBox::NoIcon);
        if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
            // The title the window system shows, with nothing appended to it.
            QCOMPARE(nativeTitle, QStringLiteral("_NET_WM_NAME(UTF8_STRING) = \"Внимание!\""));
        }
        QVERIFY(!form->isVisible());
        QVERIFY(!form->Timer1->isActive());
        form->close();
        QVERIFY(QDir(exeDir).entryList(QDir::Files).isEmpty());
    }

    void startupRestoresDatesAndLoadsRegionsAfterASecond() {
        QFile ini(dir_.filePath(QStringLiteral("settings.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[General]\r\nFromDate=01.03.2026\r\nToDate=30.12.1899\r\n");
        ini.close();
        QFile cats(dir_.filePath(QStringLiteral("selection1.txt")));
        QVERIFY(cats.open(QIODevice::WriteOnly));
        cats.write(QStringLiteral("публичное предложение\r\n").toUtf8());
        cats.close();
        auto form = MakeForm(ExeDir(), Startup::LoadsRegions);
        form->show();
        QTRY_COMPARE(form->DateFromPicker->date(), QDate(2026, 3, 1));
        QCOMPARE(form->DateFromPicker->findChild<QLineEdit*>()->text(),
                 QStringLiteral("01.03.2026"));
        QCOMPARE(form->DateToPicker->date(), kNoDate);
        // No region before the timer's second is up, however long the window took to show.
        QCOMPARE(form->CitiesListBox->count() == 0, form->Timer1->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(form->CitiesListBox->count(), 2, 10000);
        QVERIFY(!form->Timer1->isActive());
        QCOMPARE(form->CitiesListBox->item(0)->text(), QStringLiteral("Москва (77)"));
        QCOMPARE(form->CatsListBox->selectedItems().size(), 1);
        QCOMPARE(form->CatsListBox->selectedItems()[0]->text(),
                 QStringLiteral("Публичное предложение"));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QCOMPARE(form->LogLines(),
                 (QStringList{"Загружаем регионы с сайта...",
                              "Всё готово к работе, выделите нужные регионы и виды торгов"}));
        form->CitiesListBox->item(1)->setSelected(true);
        form->DateToPicker->setDate(QDate(2026, 6, 30));
        QVERIFY(form->close());
        QFile saved(dir_.filePath(QStringLiteral("selection2.txt")));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QStringLiteral("Тверская область (69)\r\n").toUtf8());
        QFile settings(dir_.filePath(QStringLiteral("settings.ini")));
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QCOMPARE(settings.readAll(),
                 QByteArray("[General]\r\nFromDate=01.03.2026\r\nToDate=30.06.2026\r\n"));
    }

    void closingAfterAFailedRegionLoadKeepsTheSavedSelections() {
        QFile cities(dir_.filePath(QStringLiteral("selection2.txt")));
        QVERIFY(cities.open(QIODevice::WriteOnly));
        cities.write(QStringLiteral("Москва (77)\r\n").toUtf8());
        cities.close();
        failDirectory_ = true;
        auto form = MakeForm(ExeDir(), Startup::LoadsRegions);
        form->show();
        QTRY_COMPARE_WITH_TIMEOUT(form->LogLines().size(), 2, 10000);
        QCOMPARE(form->LogLines().last(), QStringLiteral("Ошибка Not Found"));
        form->CatsListBox->item(2)->setSelected(true);
        QVERIFY(form->close());
        QFile saved(dir_.filePath(QStringLiteral("selection2.txt")));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QStringLiteral("Москва (77)\r\n").toUtf8());
        QVERIFY(!QFile::exists(dir_.filePath(QStringLiteral("selection1.txt"))));
        QVERIFY(QFile::exists(dir_.filePath(QStringLiteral("settings.ini"))));
    }

    void startPauseStopThroughTheButtons() {
        auto form = MakeForm(ExeDir());
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QCOMPARE(form->LogLines(),
                 QStringList{"Ни один регион не выбран, старт невозможен. Кликните по нужному "
                             "региону для его выбора."});
        form->AddItem(korvalot::app::ListId::Cities, QStringLiteral("Москва (77)"));
        form->CitiesListBox->item(0)->setSelected(true);
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QCOMPARE(form->LogLines().size(), 2);
        QVERIFY(form->LogLines()[1].startsWith(QStringLiteral("Ни одна категория не выбрана")));
        QCOMPARE(runsStarted_, 0);
        form->CatsListBox->item(0)->setSelected(true);
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QCOMPARE(runsStarted_, 1);
        QTest::mouseClick(form->StartButton, Qt::LeftButton);  // before the run disabled it
        QCOMPARE(runsStarted_, 1);

        form->Logic().UpdateRunUi(true);
        QTest::mouseClick(form->PauseButton, Qt::LeftButton);
        QVERIFY(run_->paused);
        QCOMPARE(form->LogLines().last(), QStringLiteral("25.06.2026 09:05:01: Включаем паузу"));
        form->SetProgress(10, 4);
        QTest::mouseClick(form->StopButton, Qt::LeftButton);
        QCOMPARE(run_->calls, (std::vector<std::string>{"pause", "resume", "terminate"}));
        QCOMPARE(form->ProgressBar->value(), 0);
        QCOMPARE(form->LogLines().last(),
                 QStringLiteral("25.06.2026 09:05:01: Останавливаем работу"));
    }

    // The run keeps the error pause's end and ends the pause; ResumeTimer only counts it down,
    // and its firing resumes nothing.
    void theResumeTimerCountsTheRunsErrorPauseDownAndResumesNothing() {
        auto form = MakeForm(ExeDir());
        form->AddItem(korvalot::app::ListId::Cities, QStringLiteral("Москва (77)"));
        form->CitiesListBox->item(0)->setSelected(true);
        form->CatsListBox->item(0)->setSelected(true);
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        form->Logic().HandleRunResult(korvalot::crawl::RunResult::Failure("first"));
        QVERIFY(!form->ResumeTimer->isActive());
        run_->paused = true;  // as the run pauses itself
        form->Logic().StartResumeTimer(30000);
        QVERIFY(form->ResumeTimer->isActive());
        QCOMPARE(form->ResumeTimer->interval(), 30000);
        form->Logic().StartResumeTimer(10);  // the countdown reaches the run's end
        QTRY_VERIFY(!form->ResumeTimer->isActive());
        QVERIFY(run_->paused);
        QVERIFY(run_->calls.empty());
        QVERIFY(!form->LogLines().last().endsWith(
            QStringLiteral("Отключаем паузу, продолжаем работу")));
    }

    void progressBarClampsAndShowsItsHint() {
        auto form = MakeForm(ExeDir());
        form->SetProgress(10, 7);
        form->Logic().ShowProgress(9, 3);  // the queue shrank below the shown position
        QCOMPARE(form->ProgressBar->maximum(), 3);
        QCOMPARE(form->ProgressBar->value(), 3);
        QCOMPARE(form->ProgressBar->toolTip(), QStringLiteral("100%: 3 из 3, осталось 0"));
    }

    void tabLeavesTheLogForTheNextControl() {
        auto form = MakeForm(ExeDir());
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        form->AddLogLine(QStringLiteral("строка"));
        form->LogsMemo->setFocus();
        QTRY_VERIFY(form->LogsMemo->hasFocus());
        QTest::keyClick(form->LogsMemo, Qt::Key_Tab);
        QTRY_VERIFY(form->SelectAllCitiesButton->hasFocus());
        QCOMPARE(form->LogsMemo->toPlainText(), QStringLiteral("строка"));
        form->LogsMemo->setFocus();
        QTest::keyClick(form->LogsMemo, Qt::Key_Backtab, Qt::ShiftModifier);
        QTRY_VERIFY(form->StopButton->hasFocus());
        QCOMPARE(form->LogsMemo->toPlainText(), QStringLiteral("строка"));
    }

    void aHeldBackProgressReportStillShows() {
        auto form = MakeForm(ExeDir());
        form->Logic().UpdateRunUi(true);
        form->Logic().ShowProgress(49, 50);
        QCOMPARE(form->ProgressBar->value(), 49);
        form->Logic().ShowProgress(0, 50);  // the reset at the phase's end, within the second
        QCOMPARE(form->ProgressBar->value(), 49);
        tick_ += 1001;
        QTRY_COMPARE(form->ProgressBar->value(), 0);
        QCOMPARE(form->ProgressBar->toolTip(), QStringLiteral("0%: 0 из 50, осталось 50"));
        // At the run's end the last report shows at once.
        form->Logic().ShowProgress(49, 50);
        QCOMPARE(form->ProgressBar->value(), 0);
        form->Logic().UpdateRunUi(false);
        QCOMPARE(form->ProgressBar->value(), 49);
        QCOMPARE(form->ProgressBar->toolTip(), QStringLiteral("98%: 49 из 50, осталось 1"));
    }

    void pauseStaysPressedAndTheHintCountsDownTheErrorPause() {
        auto form = MakeForm(ExeDir());
        form->AddItem(korvalot::app::ListId::Cities, QStringLiteral("Москва (77)"));
        form->CitiesListBox->item(0)->setSelected(true);
        form->CatsListBox->item(0)->setSelected(true);
        QTest::mouseClick(form->PauseButton, Qt::LeftButton);  // no run: nothing stays pressed
        QVERIFY(!form->PauseButton->isChecked());
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        form->Logic().UpdateRunUi(true);
        // Jobs at one a second give an estimate of the time left in the phase.
        for (int position = 1; position <= 4; ++position) {
            tick_ += 1001;
            form->Logic().ShowProgress(position, 10);
        }
        QCOMPARE(form->ProgressBar->toolTip(),
                 QStringLiteral("40%: 4 из 10, осталось 6\nЭтап закончится примерно через 7 с"));
        QTest::mouseClick(form->PauseButton, Qt::LeftButton);
        QVERIFY(form->PauseButton->isChecked());
        QCOMPARE(form->PauseButton->text(), QStringLiteral("пауза"));
        QCOMPARE(form->ProgressBar->toolTip(),
                 QStringLiteral("40%: 4 из 10, осталось 6\n"
                                "Работа на паузе; чтобы продолжить, нажмите \"пауза\""));
        QTest::mouseClick(form->PauseButton, Qt::LeftButton);
        QVERIFY(!form->PauseButton->isChecked());
        QCOMPARE(form->ProgressBar->toolTip(), QStringLiteral("40%: 4 из 10, осталось 6"));

        form->Logic().HandleRunResult(korvalot::crawl::RunResult::Failure("boom"));
        run_->paused = true;  // as the run pauses itself
        form->Logic().StartResumeTimer(30000);
        QVERIFY(form->PauseButton->isChecked());
        QVERIFY(form->ProgressBar->toolTip().endsWith(
            QStringLiteral("Пауза после ошибки, продолжаем через 30 с")));
        // The hint counts down; a busy machine may skip a second of it.
        const auto secondsShown = [&] {
            static const QRegularExpression shown(
                QStringLiteral("Пауза после ошибки, продолжаем через (\\d+) с$"));
            const auto match = shown.match(form->ProgressBar->toolTip());
            return match.hasMatch() ? match.captured(1).toInt() : -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(secondsShown() >= 1 && secondsShown() <= 28, 20000);
        run_->paused = false;  // the run's time is up: it resumes itself and says so
        form->Logic().ResumeTimerTimer();
        QVERIFY(!form->PauseButton->isChecked());
        QCOMPARE(form->ProgressBar->toolTip(), QStringLiteral("40%: 4 из 10, осталось 6"));
        QCOMPARE(form->LogLines().last().mid(19),
                 QStringLiteral(": Отключаем паузу, продолжаем работу"));
    }

    void aStartDateAfterTheEndDateIsRefusedAtStart() {
        auto form = MakeForm(ExeDir());
        form->AddItem(korvalot::app::ListId::Cities, QStringLiteral("Москва (77)"));
        form->CitiesListBox->item(0)->setSelected(true);
        form->CatsListBox->item(0)->setSelected(true);
        form->DateFromPicker->setDate(QDate(2026, 6, 10));
        form->DateToPicker->setDate(QDate(2026, 6, 1));
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QCOMPARE(runsStarted_, 0);
        QCOMPARE(form->LogLines(), QStringList{"Начальная дата торгов позже конечной, старт "
                                               "невозможен. Исправьте даты торгов."});
        form->DateToPicker->setDate(QDate(2026, 6, 10));
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QCOMPARE(runsStarted_, 1);
    }

    void aDateCanBeTypedAndTakenAway_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("Delete") << int(Qt::Key_Delete);
        QTest::newRow("Backspace") << int(Qt::Key_Backspace);
    }

    void aDateCanBeTypedAndTakenAway() {
        QFETCH(int, key);
        auto form = MakeForm(ExeDir());
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QDateEdit* picker = form->DateFromPicker;
        picker->setFocus();
        QTRY_VERIFY(picker->hasFocus());
        QTest::keyClicks(picker, QStringLiteral("03022026"));
        QCOMPARE(picker->date(), QDate(2026, 2, 3));
        QCOMPARE(picker->findChild<QLineEdit*>()->text(), QStringLiteral("03.02.2026"));
        QTest::keyClick(picker, Qt::Key(key));
        QCOMPARE(picker->date(), kNoDate);
        QCOMPARE(picker->findChild<QLineEdit*>()->text(), QStringLiteral("не задана"));
    }

    void everyControlStaysReachableInTheSmallestWindow_data() {
        QTest::addColumn<QSize>("asked");
        QTest::newRow("700 x 450") << QSize(700, 450);
        QTest::newRow("300 x 200") << QSize(300, 200);
        QTest::newRow("800 x 900") << QSize(800, 900);
    }

    void everyControlStaysReachableInTheSmallestWindow() {
        QFETCH(QSize, asked);
        auto form = MakeForm(ExeDir());
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->resize(asked);
        QTRY_VERIFY(form->width() >= std::max(asked.width(), 800) &&
                    form->height() >= std::max(asked.height(), 500));
        for (QWidget* control : form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!control->isVisible()) {
                continue;
            }
            QVERIFY2(form->rect().contains(control->geometry()), qPrintable(control->objectName()));
            QVERIFY2(control->width() > 0 && control->height() > 0,
                     qPrintable(control->objectName()));
        }
        // The log and the region list keep room for a few lines.
        QVERIFY(form->LogsMemo->height() >= 300);
        QVERIFY(form->CitiesListBox->height() >= 200);
    }

    void aCutRegionNameShowsWholeInItsToolTip() {
        auto form = MakeForm(ExeDir());
        const QString longName =
            QStringLiteral("Ханты-Мансийский автономный округ - Югра (Тюменская область) (86)");
        form->AddItem(korvalot::app::ListId::Cities, QStringLiteral("Москва (77)"));
        form->AddItem(korvalot::app::ListId::Cities, longName);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QWidget* viewport = form->CitiesListBox->viewport();
        const auto hover = [&](int row) {
            const QPoint at =
                form->CitiesListBox->visualRect(form->CitiesListBox->model()->index(row, 0))
                    .center();
            QHelpEvent help(QEvent::ToolTip, at, viewport->mapToGlobal(at));
            QApplication::sendEvent(viewport, &help);
        };
        hover(1);
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), longName);
        hover(0);  // a name that fits needs no tool tip
        QTRY_VERIFY(!QToolTip::isVisible());
    }

    // The check of the TLS library runs once per process: a child process with a TLS library
    // configured to offer no algorithms at all shows the refusal box and ends.
    void theTlsCheckRefusesALibraryThatCannotMakeAConnection() {
        QFile config(dir_.filePath(QStringLiteral("openssl.cnf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            "openssl_conf = init\n[init]\nproviders = providers\n"
            "[providers]\nnull = null\n[null]\nactivate = 1\n");
        config.close();
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("OPENSSL_CONF"), config.fileName());
        environment.insert(QStringLiteral("KORVALOT_TEST_TLS_CHILD"), ExeDir());
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(60000));
        const QString output = QString::fromUtf8(child.readAllStandardOutput());
        QCOMPARE(child.exitCode(), 3);
        QVERIFY2(output.startsWith(QStringLiteral("Внимание!\nПрограмма не обнаружила "
                                                  "необходимые для работы файлы!\r\n")),
                 qPrintable(output));
        QVERIFY(korvalot::app::TlsLibraryReady());  // this process's library is usable
    }

    void handOffRunsOnTheUiThreadAndCarriesExceptionsBack() {
        auto form = MakeForm(ExeDir());
        const std::thread::id uiThread = std::this_thread::get_id();
        std::atomic<bool> ranOnUi{false};
        std::atomic<bool> done{false};
        std::string caught;
        std::thread crawl([&] {
            form->HandOff()->Call([&] {
                ranOnUi = std::this_thread::get_id() == uiThread;
                form->AddLogLine(QStringLiteral("from the crawl"));
            });
            try {
                form->HandOff()->Call([] { throw std::runtime_error("log file not writable"); });
            } catch (const std::runtime_error& error) {
                caught = error.what();
            }
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 20000);
        crawl.join();
        QVERIFY(ranOnUi.load());
        QCOMPARE(form->LogLines(), QStringList{"from the crawl"});
        QCOMPARE(caught, std::string("log file not writable"));

        // On the UI thread itself the call runs at once instead of waiting for itself.
        bool direct = false;
        form->HandOff()->Call([&] { direct = true; });
        QVERIFY(direct);
    }

    void aCallPendingWhenTheWindowGoesAwayReturnsWithoutRunning() {
        auto form = MakeForm(ExeDir());
        auto handOff = form->HandOff();
        std::atomic<bool> ran{false};
        std::thread crawl([&] { handOff->Call([&] { ran = true; }); });
        // No event is handled here, so the call stays queued until the window is destroyed.
        while (handOff->CallsWaiting() == 0)
            std::this_thread::yield();
        form.reset();
        crawl.join();  // would hang for ever if the dropped call kept the thread waiting
        QVERIFY(!ran.load());
        handOff->Call([&] { ran = true; });  // later calls, from any thread, do nothing
        QVERIFY(!ran.load());
    }
};

namespace {

// The child of theTlsCheckRefusesALibraryThatCannotMakeAConnection: the window with the real TLS
// check; prints the refusal's title and text, and ends with 3 when the program was ended.
int TlsCheckChild(const QString& exeDir) {
    MainFormServices services;
    services.exeDir = exeDir;
    services.config = {"https://127.0.0.1:1", "register.test"};
    services.regional = LocaleFormats(QLocale(QLocale::Russian, QLocale::Russia));
    services.tickCount = [] { return std::uint32_t{1}; };
    services.now = [] { return QDateTime::currentDateTime(); };
    services.tlsReady = [] { return korvalot::app::TlsLibraryReady(); };
    services.fetchDirectory = [](const std::string&, const std::string&,
                                 const std::function<void()>&) { return std::string("[]"); };
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("%s\n%s", box->windowTitle().toUtf8().constData(),
                        box->text().toUtf8().constData());
            box->button(QMessageBox::Ok)->click();
        }
    });
    closer.start();
    bool ended = false;
    TMainForm form(std::move(services), [&ended] {
        ended = true;
        QCoreApplication::exit(0);
    });
    form.show();
    QTimer::singleShot(30000, [] { QCoreApplication::exit(1); });
    QApplication::exec();
    std::fflush(stdout);
    return ended ? 3 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    korvalot::app::testing::ChooseWindowPlatform();
    QApplication application(argc, argv);
    if (qEnvironmentVariableIsSet("KORVALOT_TEST_TLS_CHILD")) {
        return TlsCheckChild(qEnvironmentVariable("KORVALOT_TEST_TLS_CHILD"));
    }
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "MainWindowTest.moc"
