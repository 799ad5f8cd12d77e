#include "app/uMain.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QCloseEvent>
#include <QFont>
#include <QKeyEvent>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QShortcut>
#include <QSignalBlocker>
#include <QToolTip>

#include "app/UiHandOff.h"
#include "app/browser/StoreBrowser.h"
#include "crawl/SearchQueries.h"

namespace korvalot::app {
namespace {

constexpr int kDesignWidth = 1097;
constexpr int kDesignHeight = 786;
// The smallest window in which every control is whole and reachable: the stop button ends at
// 774, and the region list and the log keep a few lines.
constexpr int kMinimumWidth = 800;
constexpr int kMinimumHeight = 500;
// Where the calendar of a picker without a date opens.
const QDate kCalendarStart(2026, 6, 25);

QFont TahomaPixels(int pixels) {
    // Where Tahoma is missing, the font matcher takes the closest family the system has.
    QFont::insertSubstitutions(QStringLiteral("Tahoma"),
                               {QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans")});
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixels);
    return font;
}

}  // namespace

TMainForm::TMainForm(MainFormServices services, std::function<void()> endProgram, QWidget* parent)
    : QWidget(parent), endProgram_(std::move(endProgram)) {
    logic_ = std::make_unique<MainFormLogic>(*this, std::move(services));
    handOff_ = std::make_shared<UiHandOff>(this);
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(logic_->WindowCaption());
    // The application's title is the caption; the same text keeps the desktop from appending
    // it to the caption.
    QGuiApplication::setApplicationDisplayName(windowTitle());
    setFont(TahomaPixels(11));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kDesignWidth, kDesignHeight);
    BuildControls();
    LayOut();
    Timer1->start();
}

TMainForm::~TMainForm() {
    storeBrowser_.reset();
    handOff_->Detach();
    Timer1->stop();
    ResumeTimer->stop();
    ProgressFlushTimer->stop();
    PauseHintTimer->stop();
    while (hourGlassDepth_ > 0) {
        SetHourGlass(false);
    }
}

void TMainForm::BuildControls() {
    const auto label = [this](const char* name, const QString& text, int x, int y) {
        auto* control = new QLabel(text, this);
        control->setObjectName(QString::fromLatin1(name));
        control->adjustSize();
        control->move(x, y);
        return control;
    };
    const auto button = [this](const char* name, const QString& text) {
        auto* control = new QPushButton(text, this);
        control->setObjectName(QString::fromLatin1(name));
        control->setAutoDefault(false);
        return control;
    };

    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    ProgressBar->setStyleSheet(
        QStringLiteral("QProgressBar { border: 1px solid #a0a0a0; background: #f0f0f0; }"
                       "QProgressBar::chunk { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, "
                       "stop:0 #00a000, stop:1 #90ee90); }"));

    Label2 = label("Label2", QStringLiteral("Логи"), 271, 51);
    Label1 = label("Label1", QStringLiteral("Регионы"), 12, 171);
    Label4 = label("Label4", QStringLiteral("Найдено торгов: 0"), 618, 8);
    Label3 = label("Label3", QStringLiteral("Вид торгов"), 12, 8);
    Label5 = label("Label5", QStringLiteral("до:"), 131, 148);
    Label6 = label("Label6", QStringLiteral("Дата торгов"), 12, 123);
    Label7 = label("Label7", QStringLiteral("от:"), 12, 148);

    LogsMemo = new QPlainTextEdit(this);
    LogsMemo->setObjectName(QStringLiteral("LogsMemo"));
    LogsMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    LogsMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogsMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A long run writes hundreds of thousands of lines; an undo history of them is only weight.
    LogsMemo->setUndoRedoEnabled(false);
    // Tab moves on to the next control instead of typing into the log (and its file).
    LogsMemo->setTabChangesFocus(true);
    LogsMemo->installEventFilter(this);

    StartButton = button("StartButton", QStringLiteral("СТАРТ"));
    StartButton->setFont(TahomaPixels(19));
    StopButton = button("StopButton", QStringLiteral("стоп"));
    PauseButton = button("PauseButton", QStringLiteral("пауза"));
    // Stays pressed while the run is paused; the logic sets the state after every click.
    PauseButton->setCheckable(true);

    CitiesListBox = new QListWidget(this);
    CitiesListBox->setObjectName(QStringLiteral("CitiesListBox"));
    CitiesListBox->setSelectionMode(QAbstractItemView::ExtendedSelection);
    CitiesListBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    CitiesListBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    CitiesListBox->setUniformItemSizes(true);
    CitiesListBox->viewport()->installEventFilter(this);

    SelectAllCitiesButton = button("SelectAllCitiesButton", QStringLiteral("все"));

    CatsListBox = new QListWidget(this);
    CatsListBox->setObjectName(QStringLiteral("CatsListBox"));
    CatsListBox->setSelectionMode(QAbstractItemView::ExtendedSelection);
    CatsListBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    CatsListBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The engine's table, so that a position the window hands a run names the same trade type.
    for (const std::string_view name : crawl::kTradeTypeNames)
        CatsListBox->addItem(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));

    Button1 = button("Button1", QStringLiteral("все"));

    const auto picker = [this](const char* name) {
        auto* control = new QDateEdit(this);
        control->setObjectName(QString::fromLatin1(name));
        control->setCalendarPopup(true);
        control->setMinimumDate(kNoDate);
        control->setSpecialValueText(QStringLiteral("не задана"));
        control->setDisplayFormat(logic_->Services().regional.ShortDateFormat());
        control->setDate(kNoDate);
        control->calendarWidget()->installEventFilter(this);
        control->installEventFilter(this);
        return control;
    };
    DateFromPicker = picker("DateFromPicker");
    DateToPicker = picker("DateToPicker");

    ResumeTimer = new QTimer(this);
    ResumeTimer->setObjectName(QStringLiteral("ResumeTimer"));
    ResumeTimer->setSingleShot(true);
    ResumeTimer->setTimerType(Qt::PreciseTimer);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    ProgressFlushTimer = new QTimer(this);
    ProgressFlushTimer->setSingleShot(true);
    PauseHintTimer = new QTimer(this);
    PauseHintTimer->setInterval(1000);

    // The "все" buttons lie over the lower right corners of their lists.
    SelectAllCitiesButton->raise();
    Button1->raise();

    QWidget::setTabOrder(CitiesListBox, StartButton);
    QWidget::setTabOrder(StartButton, PauseButton);
    QWidget::setTabOrder(PauseButton, StopButton);
    QWidget::setTabOrder(StopButton, LogsMemo);
    QWidget::setTabOrder(LogsMemo, SelectAllCitiesButton);
    QWidget::setTabOrder(SelectAllCitiesButton, CatsListBox);
    QWidget::setTabOrder(CatsListBox, Button1);
    QWidget::setTabOrder(Button1, DateFromPicker);
    QWidget::setTabOrder(DateFromPicker, DateToPicker);

    MainFormLogic& logic = *logic_;
    connect(StartButton, &QPushButton::clicked, this, [&logic] { logic.StartButtonClick(); });
    connect(PauseButton, &QPushButton::clicked, this, [&logic] { logic.PauseButtonClick(); });
    connect(StopButton, &QPushButton::clicked, this, [&logic] { logic.StopButtonClick(); });
    connect(SelectAllCitiesButton, &QPushButton::clicked, this,
            [&logic] { logic.SelectAllCitiesButtonClick(); });
    connect(Button1, &QPushButton::clicked, this, [&logic] { logic.Button1Click(); });
    // ResumeTimer only counts the error pause down for the hint: the run ends the pause itself.
    connect(ResumeTimer, &QTimer::timeout, this, [&logic] { logic.RefreshPauseHint(); });
    connect(Timer1, &QTimer::timeout, this, [&logic] { logic.Timer1Timer(); });
    connect(ProgressFlushTimer, &QTimer::timeout, this, [&logic] { logic.FlushProgress(); });
    connect(PauseHintTimer, &QTimer::timeout, this, [&logic] { logic.RefreshPauseHint(); });

    // The store browser: no control of its own, so that the window's controls stay as they are.
    auto* storeShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_B), this);
    connect(storeShortcut, &QShortcut::activated, this, [this] { OpenStoreBrowser(); });
    LogsMemo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(LogsMemo, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        std::unique_ptr<QMenu> menu(LogsMemo->createStandardContextMenu(at));
        menu->addSeparator();
        QAction* store = menu->addAction(QStringLiteral("Хранилище торгов…"));
        store->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
        if (menu->exec(LogsMemo->viewport()->mapToGlobal(at)) == store)
            OpenStoreBrowser();
    });
}

void TMainForm::OpenStoreBrowser() {
    if (!storeBrowser_) {
        browser::StoreBrowserOptions options;
        // The store a harvest of this window writes with [Harvest] Store=1: beside settings.ini.
        const QString settings = logic_->SettingsFile();
        options.store = QFileInfo(settings).dir().filesystemAbsolutePath() / "korvalot.sqlite";
        options.settingsIni = settings;
        options.regional = logic_->Services().regional;
        storeBrowser_ = std::make_unique<browser::StoreBrowser>(std::move(options));
    }
    storeBrowser_->show();
    storeBrowser_->raise();
    storeBrowser_->activateWindow();
}

void TMainForm::LayOut() {
    const int dx = width() - kDesignWidth;
    const int dy = height() - kDesignHeight;
    ProgressBar->setGeometry(0, height() - 17, width(), 17);
    LogsMemo->setGeometry(271, 70, 818 + dx, 693 + dy);
    StartButton->setGeometry(313, 8, 265, 37);
    StopButton->setGeometry(699, 24, 75, 18);
    PauseButton->setGeometry(618, 24, 75, 18);
    CitiesListBox->setGeometry(8, 190, 257, 573 + dy);
    SelectAllCitiesButton->setGeometry(206, 736 + dy, 41, 25);
    CatsListBox->setGeometry(8, 27, 257, 90);
    Button1->setGeometry(206, 90, 41, 25);
    DateFromPicker->setGeometry(32, 144, 93, 21);
    DateToPicker->setGeometry(154, 144, 93, 21);
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayOut();
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!showHandled_) {
        showHandled_ = true;
        // After the window has appeared, so that a refusal's box stands in front of it.
        QMetaObject::invokeMethod(
            this, [this] { logic_->FormShow(); }, Qt::QueuedConnection);
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (logic_->FormClose()) {
        event->accept();
    } else {
        event->ignore();
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == LogsMemo && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        LogsMemoKeyDown(key->key(), key->modifiers());
        // The text box gets every key, Ctrl+A included, except Ctrl+Alt+A: Qt takes Ctrl+Alt
        // for AltGr and would type the letter over the log that was just selected.
        return key->key() == Qt::Key_A && (key->modifiers() & Qt::ControlModifier) &&
               (key->modifiers() & Qt::AltModifier);
    }
    if (event->type() == QEvent::KeyPress) {
        for (QDateEdit* picker : {DateFromPicker, DateToPicker}) {
            if (watched == picker) {
                return PickerKeyDown(picker, *static_cast<QKeyEvent*>(event));
            }
        }
    }
    if (watched == CitiesListBox->viewport() && event->type() == QEvent::ToolTip) {
        return ShowRegionToolTip(*static_cast<QHelpEvent*>(event));
    }
    if (event->type() == QEvent::Show) {
        for (QDateEdit* picker : {DateFromPicker, DateToPicker}) {
            if (watched == picker->calendarWidget() && picker->date() == kNoDate) {
                // Without the blocker the calendar would write its selection into the picker.
                const QSignalBlocker blocker(picker->calendarWidget());
                picker->calendarWidget()->setSelectedDate(kCalendarStart);
                picker->calendarWidget()->setCurrentPage(kCalendarStart.year(),
                                                         kCalendarStart.month());
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::LogsMemoKeyDown(int key, Qt::KeyboardModifiers modifiers) {
    if (key == Qt::Key_A && (modifiers & Qt::ControlModifier)) {
        LogsMemo->selectAll();
    }
}

bool TMainForm::PickerKeyDown(QDateEdit* picker, const QKeyEvent& key) {
    if ((key.key() == Qt::Key_Delete || key.key() == Qt::Key_Backspace) &&
        key.modifiers() == Qt::NoModifier) {
        picker->setDate(kNoDate);
        return true;
    }
    if (picker->date() == kNoDate && key.text().size() == 1 && key.text()[0].isDigit()) {
        // "не задана" takes no digits: the typing starts on the day of the date the calendar
        // would open at, and the key goes on into it.
        picker->setDate(kCalendarStart);
        picker->setCurrentSection(QDateTimeEdit::DaySection);
        picker->setSelectedSection(QDateTimeEdit::DaySection);
    }
    return false;
}

bool TMainForm::ShowRegionToolTip(const QHelpEvent& event) {
    const QModelIndex index = CitiesListBox->indexAt(event.pos());
    // Only a name that the list's width cuts needs its whole text shown.
    if (index.isValid() &&
        CitiesListBox->sizeHintForIndex(index).width() > CitiesListBox->viewport()->width()) {
        QToolTip::showText(event.globalPos(), index.data().toString(), CitiesListBox->viewport(),
                           CitiesListBox->visualRect(index));
    } else {
        QToolTip::hideText();
    }
    return true;
}

// ---- IMainView ----

void TMainForm::AddLogLine(const QString& line) {
    LogsMemo->appendPlainText(line);
}

void TMainForm::ClearLog() {
    LogsMemo->clear();
}

QStringList TMainForm::LogLines() const {
    const QString text = LogsMemo->toPlainText();
    if (text.isEmpty()) {
        return {};
    }
    return text.split(u'\n');
}

void TMainForm::SetControlEnabled(ControlId control, bool enabled) {
    QWidget* widget = nullptr;
    switch (control) {
        case ControlId::CitiesListBox:
            widget = CitiesListBox;
            break;
        case ControlId::CatsListBox:
            widget = CatsListBox;
            break;
        case ControlId::StartButton:
            widget = StartButton;
            break;
        case ControlId::DateFromPicker:
            widget = DateFromPicker;
            break;
        case ControlId::DateToPicker:
            widget = DateToPicker;
            break;
    }
    widget->setEnabled(enabled);
}

int TMainForm::ProgressPosition() const {
    return ProgressBar->value();
}

void TMainForm::SetProgress(int maximum, int position) {
    // Qt resets a bar whose value falls outside a new range; the value goes first.
    ProgressBar->setValue(0);
    ProgressBar->setMaximum(maximum);
    ProgressBar->setValue(position);
}

void TMainForm::SetProgressPosition(int position) {
    ProgressBar->setValue(position);
}

void TMainForm::SetProgressHint(const QString& hint) {
    ProgressBar->setToolTip(hint);
}

void TMainForm::ScheduleProgressFlush(int delayMs) {
    ProgressFlushTimer->start(delayMs);
}

void TMainForm::SetPauseShown(bool paused) {
    PauseButton->setChecked(paused);
}

void TMainForm::SetFoundCaption(const QString& caption) {
    Label4->setText(caption);
    Label4->adjustSize();
}

void TMainForm::ArmResumeTimer(int intervalMs) {
    ResumeTimer->setInterval(intervalMs);
    ResumeTimer->start();
    PauseHintTimer->start();
}

void TMainForm::DisarmResumeTimer() {
    ResumeTimer->stop();
    PauseHintTimer->stop();
}

int TMainForm::ResumeTimerRemainingMs() const {
    return ResumeTimer->isActive() ? ResumeTimer->remainingTime() : -1;
}

void TMainForm::DisarmTimer1() {
    Timer1->stop();
}

void TMainForm::ProcessPendingEvents() {
    QCoreApplication::processEvents();
}

QListWidget* TMainForm::List(ListId list) const {
    return list == ListId::Cities ? CitiesListBox : CatsListBox;
}

QDateEdit* TMainForm::Picker(PickerId picker) const {
    return picker == PickerId::From ? DateFromPicker : DateToPicker;
}

int TMainForm::ItemCount(ListId list) const {
    return List(list)->count();
}

QString TMainForm::ItemText(ListId list, int index) const {
    return List(list)->item(index)->text();
}

bool TMainForm::IsItemSelected(ListId list, int index) const {
    return List(list)->item(index)->isSelected();
}

void TMainForm::SetItemSelected(ListId list, int index, bool selected) {
    List(list)->item(index)->setSelected(selected);
}

void TMainForm::AddItem(ListId list, const QString& text) {
    List(list)->addItem(text);
}

QDate TMainForm::PickerDate(PickerId picker) const {
    return Picker(picker)->date();
}

void TMainForm::SetPickerDate(PickerId picker, const QDate& date) {
    Picker(picker)->setDate(date);
}

void TMainForm::SetHourGlass(bool on) {
    if (on) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ++hourGlassDepth_;
    } else if (hourGlassDepth_ > 0) {
        QApplication::restoreOverrideCursor();
        --hourGlassDepth_;
    }
}

void TMainForm::ShowWarning(const QString& title, const QString& text) {
    // The platform appends the application's title to every other window's title; the box's
    // title must be its own alone.
    const QString applicationTitle = QGuiApplication::applicationDisplayName();
    QGuiApplication::setApplicationDisplayName(QStringLiteral(""));
    struct TitleBack {
        const QString& title;
        ~TitleBack() { QGuiApplication::setApplicationDisplayName(title); }
    } titleBack{applicationTitle};
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("StartupRefusal"));
    box.exec();
}

void TMainForm::EndProgram() {
    Timer1->stop();
    ResumeTimer->stop();
    PauseHintTimer->stop();
    hide();
    if (endProgram_) {
        endProgram_();
    } else {
        QCoreApplication::exit(0);
    }
}

}  // namespace korvalot::app
