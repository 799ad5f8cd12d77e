#include "app/browser/StoreBrowser.h"

#include <QCalendarWidget>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QShortcut>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "app/AppError.h"
#include "app/IniFile.h"
#include "app/MainView.h"
#include "app/browser/BrowserWorker.h"
#include "app/browser/ExportJob.h"
#include "app/browser/LotTableModel.h"
#include "app/browser/PricePlot.h"
#include "crawl/SearchQueries.h"
#include "store/Schema.h"
#include "util/Platform.h"
#include "watch/WatchCheck.h"

namespace korvalot::app::browser {
namespace {

const QString kSection = QStringLiteral("StoreBrowser");
// Typing is given this long to pause before the store is asked.
constexpr int kTypingPauseMs = 250;

QString FromStd(const std::string& text) {
    return QString::fromStdString(text);
}

std::optional<std::chrono::year_month_day> DayOf(const QDateEdit* edit) {
    const QDate date = edit->date();
    if (date == kNoDate || !date.isValid())
        return std::nullopt;
    return std::chrono::year_month_day{std::chrono::year{date.year()},
                                       std::chrono::month{static_cast<unsigned>(date.month())},
                                       std::chrono::day{static_cast<unsigned>(date.day())}};
}

// "1 500 000,50", "1500000.5": the group separators of any locale go, either decimal sign
// counts. Nothing for an empty or unreadable text, which then does not restrict.
std::optional<double> PriceOf(const QLineEdit* edit) {
    QString text = edit->text();
    text.remove(u' ').remove(QChar(0x00A0)).remove(QChar(0x202F));
    text.replace(u',', u'.');
    if (text.isEmpty())
        return std::nullopt;
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

QString IsoOf(const QDateEdit* edit) {
    return edit->date() == kNoDate ? QString() : edit->date().toString(Qt::ISODate);
}

void SetIso(QDateEdit* edit, const QString& iso) {
    const QDate date = QDate::fromString(iso, Qt::ISODate);
    edit->setDate(date.isValid() ? date : kNoDate);
}

QString TradeTypeText(const std::string& code) {
    return FromStd(crawl::TradeTypeName(code));
}

void SetDay(QDateEdit* edit, const std::optional<std::chrono::year_month_day>& day) {
    edit->setDate(day ? QDate(static_cast<int>(day->year()),
                              static_cast<int>(unsigned(day->month())),
                              static_cast<int>(unsigned(day->day())))
                      : kNoDate);
}

void SetPrice(QLineEdit* edit, const std::optional<double>& price) {
    edit->setText(price ? QString::number(*price, 'g', 15) : QString());
}

// Region codes as the store's filter compares them: leading zeros do not count.
QString BareCode(QString code) {
    while (code.size() > 1 && code.front() == u'0')
        code.remove(0, 1);
    return code;
}

QString Quoted(const QString& name) {
    return QStringLiteral("\"") + name + QStringLiteral("\"");
}

}  // namespace

StoreBrowser::StoreBrowser(StoreBrowserOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
    if (!options_.openCard)
        options_.openCard = [](const std::string& address) { util::OpenWithDesktop(address); };
    setObjectName(QStringLiteral("StoreBrowser"));
    setWindowTitle(QStringLiteral("korvalot — хранилище торгов"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    worker_ = std::make_unique<BrowserWorker>([this](std::function<void()> answer) {
        // Dropped by Qt should the window be gone; the worker is joined before that anyway.
        QMetaObject::invokeMethod(this, std::move(answer), Qt::QueuedConnection);
    });
    model_ = new LotTableModel(
        options_.regional,
        [this](int firstRow, std::vector<std::int64_t> ids) {
            worker_->Rows(generation_, std::move(ids), [this, firstRow](RowsOutcome outcome) {
                if (outcome.generation != generation_)
                    return;
                if (!outcome.error.empty())
                    StatusLine->setText(FromStd(outcome.error));
                model_->SetRows(firstRow, outcome.lotIds, outcome.lots);
            });
        },
        [this](store::LotOrder order) {
            order_ = order;
            RunQuery();
        },
        this);
    BuildControls();
    RestoreState();
    OpenStore(options_.store);
}

StoreBrowser::~StoreBrowser() {
    if (!saved_)
        SaveState();
    // Both threads end before a widget they answer to goes.
    export_.reset();
    worker_.reset();
}

void StoreBrowser::BuildControls() {
    resize(1400, 860);
    const auto button = [this](const char* name, const QString& text) {
        auto* control = new QPushButton(text, this);
        control->setObjectName(QString::fromLatin1(name));
        control->setAutoDefault(false);
        return control;
    };
    StoreLabel = new QLabel(this);
    StoreLabel->setObjectName(QStringLiteral("StoreLabel"));
    StoreLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    OpenStoreButton = button("OpenStoreButton", QStringLiteral("Открыть хранилище…"));
    RefreshButton = button("RefreshButton", QStringLiteral("Обновить (F5)"));
    ExportButton = button("ExportButton", QStringLiteral("Выгрузить…"));
    ExportProgress = new QProgressBar(this);
    ExportProgress->setObjectName(QStringLiteral("ExportProgress"));
    ExportProgress->setMaximumWidth(200);
    ExportProgress->hide();
    CancelExportButton = button("CancelExportButton", QStringLiteral("Отменить выгрузку"));
    CancelExportButton->hide();
    ExportLine = new QLabel(this);
    ExportLine->setObjectName(QStringLiteral("ExportLine"));

    auto* top = new QHBoxLayout;
    top->addWidget(StoreLabel, 1);
    top->addWidget(ExportLine);
    top->addWidget(ExportProgress);
    top->addWidget(CancelExportButton);
    top->addWidget(ExportButton);
    top->addWidget(OpenStoreButton);
    top->addWidget(RefreshButton);

    StatusLine = new QLabel(this);
    StatusLine->setObjectName(QStringLiteral("StatusLine"));
    StatusLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    StatusLine->setWordWrap(true);

    LotsView = new QTableView(this);
    LotsView->setObjectName(QStringLiteral("LotsView"));
    LotsView->setModel(model_);
    LotsView->setSelectionBehavior(QAbstractItemView::SelectRows);
    LotsView->setSelectionMode(QAbstractItemView::SingleSelection);
    LotsView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab leaves the table for the next control instead of walking its cells.
    LotsView->setTabKeyNavigation(false);
    LotsView->setWordWrap(false);
    LotsView->verticalHeader()->setDefaultSectionSize(LotsView->fontMetrics().height() + 6);
    LotsView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    LotsView->horizontalHeader()->setSectionsMovable(true);
    LotsView->horizontalHeader()->setSortIndicatorClearable(true);
    LotsView->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    LotsView->horizontalHeader()->setDefaultSectionSize(140);
    LotsView->installEventFilter(this);

    auto* center = new QWidget(this);
    auto* centerLayout = new QVBoxLayout(center);
    centerLayout->setContentsMargins(0, 0, 0, 0);
    centerLayout->addWidget(StatusLine);
    centerLayout->addWidget(LotsView, 1);

    Splitter = new QSplitter(Qt::Horizontal, this);
    Splitter->setObjectName(QStringLiteral("Splitter"));
    Splitter->setChildrenCollapsible(false);
    Splitter->addWidget(BuildFilters());
    Splitter->addWidget(center);
    Splitter->addWidget(BuildDetails());
    Splitter->setStretchFactor(1, 1);
    Splitter->setSizes({300, 760, 340});

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(Splitter, 1);

    QueryTimer = new QTimer(this);
    QueryTimer->setObjectName(QStringLiteral("QueryTimer"));
    QueryTimer->setSingleShot(true);
    QueryTimer->setInterval(kTypingPauseMs);
    connect(QueryTimer, &QTimer::timeout, this, [this] { RunQuery(); });

    connect(OpenStoreButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("Хранилище торгов"), FromStd(options_.store.parent_path()),
            QStringLiteral("Хранилище торгов (*.sqlite);;Все файлы (*)"));
        if (!path.isEmpty())
            OpenStore(path.toStdString());
    });
    connect(RefreshButton, &QPushButton::clicked, this, [this] { Refresh(); });
    connect(ClearButton, &QPushButton::clicked, this, [this] { ClearFilter(); });
    connect(ExportButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Выгрузить лоты"), FromStd(options_.store.parent_path()),
            QStringLiteral("Файл результатов (*.csv);;Книга (*.xlsx)"));
        if (!path.isEmpty())
            ExportTo(path.toStdString());
    });
    connect(CancelExportButton, &QPushButton::clicked, this, [this] {
        if (export_)
            export_->Cancel();
    });
    connect(OpenCardButton, &QPushButton::clicked, this, [this] { OpenCard(); });
    connect(WatchesList, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { ShowWatch(item->data(Qt::UserRole).toString()); });
    connect(WatchesList, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* item) { ShowWatch(item->data(Qt::UserRole).toString()); });
    connect(WatchButton, &QPushButton::clicked, this, [this] { AskForWatch(); });
    // The table sorts on the worker: the model never holds every row.
    LotsView->setSortingEnabled(true);
    connect(LotsView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { SelectionChanged(); });

    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        WordsEdit->setFocus(Qt::ShortcutFocusReason);
        WordsEdit->selectAll();
    });
    auto* refresh = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(refresh, &QShortcut::activated, this, [this] { Refresh(); });
    auto* clear = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(clear, &QShortcut::activated, this, [this] { ClearFilter(); });

    ConnectFilters();
    SetTabOrder();
}

QWidget* StoreBrowser::BuildFilters() {
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("FiltersPanel"));
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 4, 0);
    int row = 0;
    const auto caption = [&](const QString& text) {
        grid->addWidget(new QLabel(text, panel), row++, 0, 1, 3);
    };
    const auto dateEdit = [this, panel](const char* name) {
        auto* edit = new QDateEdit(panel);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setCalendarPopup(true);
        edit->setMinimumDate(kNoDate);
        edit->setSpecialValueText(QStringLiteral("не задана"));
        edit->setDisplayFormat(options_.regional.ShortDateFormat());
        edit->setDate(kNoDate);
        edit->installEventFilter(this);
        return edit;
    };
    const auto lineEdit = [panel](const char* name, const QString& placeholder) {
        auto* edit = new QLineEdit(panel);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setPlaceholderText(placeholder);
        edit->setClearButtonEnabled(true);
        return edit;
    };
    const auto range = [&](QWidget* from, QWidget* to) {
        grid->addWidget(from, row, 0);
        grid->addWidget(new QLabel(QStringLiteral("—"), panel), row, 1);
        grid->addWidget(to, row++, 2);
    };

    caption(QStringLiteral("Слова (Ctrl+F)"));
    WordsEdit = lineEdit("WordsEdit", QStringLiteral("описание лота или должник"));
    grid->addWidget(WordsEdit, row++, 0, 1, 3);

    caption(QStringLiteral("Регионы"));
    RegionsList = new QListWidget(panel);
    RegionsList->setObjectName(QStringLiteral("RegionsList"));
    RegionsList->setUniformItemSizes(true);
    RegionsList->setMinimumHeight(120);
    grid->addWidget(RegionsList, row++, 0, 1, 3);
    grid->setRowStretch(row - 1, 1);

    caption(QStringLiteral("Вид торгов"));
    TypesList = new QListWidget(panel);
    TypesList->setObjectName(QStringLiteral("TypesList"));
    for (const std::string_view name : crawl::kTradeTypeNames) {
        auto* item = new QListWidgetItem(
            QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())), TypesList);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    TypesList->setFixedHeight(TypesList->sizeHintForRow(0) * 6 + 2 * TypesList->frameWidth() + 2);
    grid->addWidget(TypesList, row++, 0, 1, 3);

    caption(QStringLiteral("Дата торгов"));
    TradeFromEdit = dateEdit("TradeFromEdit");
    TradeToEdit = dateEdit("TradeToEdit");
    range(TradeFromEdit, TradeToEdit);
    caption(QStringLiteral("Дата объявления о торгах"));
    AnnouncedFromEdit = dateEdit("AnnouncedFromEdit");
    AnnouncedToEdit = dateEdit("AnnouncedToEdit");
    range(AnnouncedFromEdit, AnnouncedToEdit);
    caption(QStringLiteral("Впервые найдено с / изменилось с"));
    NewSinceEdit = dateEdit("NewSinceEdit");
    ChangedSinceEdit = dateEdit("ChangedSinceEdit");
    range(NewSinceEdit, ChangedSinceEdit);

    caption(QStringLiteral("Начальная цена"));
    StartPriceFromEdit = lineEdit("StartPriceFromEdit", QStringLiteral("от"));
    StartPriceToEdit = lineEdit("StartPriceToEdit", QStringLiteral("до"));
    range(StartPriceFromEdit, StartPriceToEdit);
    caption(QStringLiteral("Итоговая цена"));
    CurrentPriceFromEdit = lineEdit("CurrentPriceFromEdit", QStringLiteral("от"));
    CurrentPriceToEdit = lineEdit("CurrentPriceToEdit", QStringLiteral("до"));
    range(CurrentPriceFromEdit, CurrentPriceToEdit);

    OpenOnlyBox = new QCheckBox(QStringLiteral("Только торги без итога"), panel);
    OpenOnlyBox->setObjectName(QStringLiteral("OpenOnlyBox"));
    grid->addWidget(OpenOnlyBox, row++, 0, 1, 3);
    ClearButton = new QPushButton(QStringLiteral("Сбросить фильтр (Esc)"), panel);
    ClearButton->setObjectName(QStringLiteral("ClearButton"));
    ClearButton->setAutoDefault(false);
    grid->addWidget(ClearButton, row++, 0, 1, 3);

    caption(QStringLiteral("Наблюдения (новое не просмотрено)"));
    WatchesList = new QListWidget(panel);
    WatchesList->setObjectName(QStringLiteral("WatchesList"));
    WatchesList->setUniformItemSizes(true);
    WatchesList->setFixedHeight(WatchesList->fontMetrics().height() * 5 + 12);
    grid->addWidget(WatchesList, row++, 0, 1, 3);
    WatchButton = new QPushButton(QStringLiteral("Наблюдать…"), panel);
    WatchButton->setObjectName(QStringLiteral("WatchButton"));
    WatchButton->setAutoDefault(false);
    WatchButton->setToolTip(QStringLiteral("Сохранить текущий фильтр как наблюдение"));
    grid->addWidget(WatchButton, row++, 0, 1, 3);
    WatchNewsList = new QListWidget(panel);
    WatchNewsList->setObjectName(QStringLiteral("WatchNewsList"));
    WatchNewsList->setFixedHeight(WatchNewsList->fontMetrics().height() * 5 + 12);
    WatchNewsList->hide();
    grid->addWidget(WatchNewsList, row++, 0, 1, 3);
    WatchLine = new QLabel(panel);
    WatchLine->setObjectName(QStringLiteral("WatchLine"));
    WatchLine->setWordWrap(true);
    WatchLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(WatchLine, row++, 0, 1, 3);
    return panel;
}

QWidget* StoreBrowser::BuildDetails() {
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("DetailsPanel"));
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(4, 0, 0, 0);
    TradeSummary = new QLabel(QStringLiteral("Выберите лот в таблице"), panel);
    TradeSummary->setObjectName(QStringLiteral("TradeSummary"));
    TradeSummary->setWordWrap(true);
    TradeSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    TradeSummary->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    OpenCardButton = new QPushButton(QStringLiteral("Открыть карточку торгов (Enter)"), panel);
    OpenCardButton->setObjectName(QStringLiteral("OpenCardButton"));
    OpenCardButton->setAutoDefault(false);
    OpenCardButton->setEnabled(false);
    TradeLotsList = new QTreeWidget(panel);
    TradeLotsList->setObjectName(QStringLiteral("TradeLotsList"));
    TradeLotsList->setRootIsDecorated(false);
    TradeLotsList->setHeaderLabels({QStringLiteral("№"), QStringLiteral("Описание лота"),
                                    QStringLiteral("Начальная цена"),
                                    QStringLiteral("Итоговая цена"), QStringLiteral("Победитель")});
    HistoryCaption = new QLabel(QStringLiteral("История изменений"), panel);
    HistoryCaption->setObjectName(QStringLiteral("HistoryCaption"));
    HistoryList = new QListWidget(panel);
    HistoryList->setObjectName(QStringLiteral("HistoryList"));
    HistoryList->setWordWrap(true);
    Plot = new PricePlot(options_.regional, panel);
    Plot->setObjectName(QStringLiteral("Plot"));
    layout->addWidget(TradeSummary);
    layout->addWidget(OpenCardButton);
    layout->addWidget(new QLabel(QStringLiteral("Лоты торгов"), panel));
    layout->addWidget(TradeLotsList, 1);
    layout->addWidget(HistoryCaption);
    layout->addWidget(HistoryList, 1);
    layout->addWidget(new QLabel(QStringLiteral("Итоговая цена лота по запускам"), panel));
    layout->addWidget(Plot, 1);
    TradeLotsList->installEventFilter(this);
    HistoryList->installEventFilter(this);
    return panel;
}

void StoreBrowser::ConnectFilters() {
    connect(WordsEdit, &QLineEdit::textChanged, this, [this] { FilterChanged(); });
    for (QLineEdit* edit :
         {StartPriceFromEdit, StartPriceToEdit, CurrentPriceFromEdit, CurrentPriceToEdit})
        connect(edit, &QLineEdit::textChanged, this, [this] { FilterChanged(); });
    for (QDateEdit* edit : {TradeFromEdit, TradeToEdit, AnnouncedFromEdit, AnnouncedToEdit,
                            NewSinceEdit, ChangedSinceEdit})
        connect(edit, &QDateEdit::dateChanged, this, [this] { FilterChanged(); });
    connect(TypesList, &QListWidget::itemChanged, this, [this] { FilterChanged(); });
    connect(RegionsList, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        const QString code = item->data(Qt::UserRole).toString();
        checkedRegions_.removeAll(code);
        if (item->checkState() == Qt::Checked)
            checkedRegions_ << code;
        FilterChanged();
    });
    connect(OpenOnlyBox, &QCheckBox::toggled, this, [this] { FilterChanged(); });
}

void StoreBrowser::SetTabOrder() {
    const std::vector<QWidget*> order = {
        WordsEdit,          RegionsList,        TypesList,          TradeFromEdit,
        TradeToEdit,        AnnouncedFromEdit,  AnnouncedToEdit,    NewSinceEdit,
        ChangedSinceEdit,   StartPriceFromEdit, StartPriceToEdit,   CurrentPriceFromEdit,
        CurrentPriceToEdit, OpenOnlyBox,        ClearButton,        WatchesList,
        WatchButton,        WatchNewsList,      LotsView,           OpenCardButton,
        TradeLotsList,      HistoryList,        CancelExportButton, ExportButton,
        OpenStoreButton,    RefreshButton};
    for (std::size_t k = 1; k < order.size(); ++k)
        QWidget::setTabOrder(order[k - 1], order[k]);
}

void StoreBrowser::FilterChanged() {
    if (!restoring_)
        QueryTimer->start();
}

store::TradeFilter StoreBrowser::CurrentFilter() const {
    store::TradeFilter filter;
    for (const QString& word : WordsEdit->text().split(u' ', Qt::SkipEmptyParts))
        filter.words.push_back(word.toStdString());
    for (int k = 0; k < RegionsList->count(); ++k) {
        if (RegionsList->item(k)->checkState() == Qt::Checked)
            filter.regionCodes.push_back(
                RegionsList->item(k)->data(Qt::UserRole).toString().toStdString());
    }
    for (int k = 0; k < TypesList->count(); ++k) {
        if (TypesList->item(k)->checkState() == Qt::Checked)
            filter.tradeTypes.emplace_back(crawl::kTradeTypeCodes[static_cast<std::size_t>(k)]);
    }
    filter.from = DayOf(TradeFromEdit);
    filter.to = DayOf(TradeToEdit);
    filter.announcedFrom = DayOf(AnnouncedFromEdit);
    filter.announcedTo = DayOf(AnnouncedToEdit);
    filter.newSince = DayOf(NewSinceEdit);
    filter.changedSince = DayOf(ChangedSinceEdit);
    filter.startPriceFrom = PriceOf(StartPriceFromEdit);
    filter.startPriceTo = PriceOf(StartPriceToEdit);
    filter.currentPriceFrom = PriceOf(CurrentPriceFromEdit);
    filter.currentPriceTo = PriceOf(CurrentPriceToEdit);
    filter.openOnly = OpenOnlyBox->isChecked();
    return filter;
}

void StoreBrowser::RunQuery() {
    QueryTimer->stop();
    if (!storeOpen_)
        return;
    store::TradeFilter filter = CurrentFilter();
    StatusLine->setText(QStringLiteral("Поиск…"));
    generation_ = worker_->Query(filter, order_, [this, filter](QueryOutcome outcome) {
        if (outcome.generation != generation_)
            return;
        shown_ = filter;
        ClearDetails();
        if (!outcome.error.empty()) {
            // A store that fails a query (damaged, gone) is read no further until it is opened
            // again: nothing is exported from it meanwhile.
            storeOpen_ = false;
            model_->SetLotIds({});
            StatusLine->setText(FromStd(outcome.error));
            return;
        }
        const auto lots = static_cast<qlonglong>(outcome.lotIds.size());
        model_->SetLotIds(std::move(outcome.lotIds));
        StatusLine->setText(QStringLiteral("Найдено лотов: %1, торгов: %2")
                                .arg(lots)
                                .arg(static_cast<qlonglong>(outcome.trades)));
    });
}

void StoreBrowser::OpenStore(const std::filesystem::path& path) {
    options_.store = path;
    storeOpen_ = false;
    ++generation_;  // nothing of the store read before is shown any more
    model_->SetLotIds({});
    ClearDetails();
    StoreLabel->setText(QStringLiteral("Хранилище: ") + FromStd(path.string()));
    StatusLine->setText(QStringLiteral("Открываем хранилище…"));
    worker_->Open(path, [this, path](OpenOutcome outcome) {
        if (path != options_.store)
            return;  // another store was asked for meanwhile
        {
            const QSignalBlocker blocker(RegionsList);
            RegionsList->clear();
            for (const auto& [code, name] : outcome.regions) {
                auto* item =
                    new QListWidgetItem(FromStd(name) + " (" + FromStd(code) + ")", RegionsList);
                item->setData(Qt::UserRole, FromStd(code));
                item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                item->setCheckState(checkedRegions_.contains(FromStd(code)) ? Qt::Checked
                                                                            : Qt::Unchecked);
            }
        }
        if (!outcome.error.empty()) {
            StatusLine->setText(FromStd(outcome.error));
            WatchesList->clear();
            return;
        }
        storeOpen_ = true;
        RunQuery();
        ReloadWatches();
    });
}

void StoreBrowser::Refresh() {
    OpenStore(options_.store);
}

void StoreBrowser::ClearFilter() {
    restoring_ = true;
    WordsEdit->clear();
    for (QLineEdit* edit :
         {StartPriceFromEdit, StartPriceToEdit, CurrentPriceFromEdit, CurrentPriceToEdit})
        edit->clear();
    for (QDateEdit* edit : {TradeFromEdit, TradeToEdit, AnnouncedFromEdit, AnnouncedToEdit,
                            NewSinceEdit, ChangedSinceEdit})
        edit->setDate(kNoDate);
    for (QListWidget* list : {RegionsList, TypesList}) {
        for (int k = 0; k < list->count(); ++k)
            list->item(k)->setCheckState(Qt::Unchecked);
    }
    checkedRegions_.clear();
    OpenOnlyBox->setChecked(false);
    restoring_ = false;
    RunQuery();
}

void StoreBrowser::SelectionChanged() {
    const QModelIndex current = LotsView->currentIndex();
    const std::int64_t lotId = current.isValid() ? model_->LotIdAt(current.row()) : 0;
    if (lotId == 0) {
        ClearDetails();
        return;
    }
    worker_->Details(lotId, [this](DetailsOutcome outcome) {
        const QModelIndex now = LotsView->currentIndex();
        if (!now.isValid() || model_->LotIdAt(now.row()) != outcome.lotId)
            return;  // another lot was chosen meanwhile
        ShowDetails(outcome);
    });
}

void StoreBrowser::ClearDetails() {
    cardLink_.clear();
    OpenCardButton->setEnabled(false);
    TradeSummary->setText(QStringLiteral("Выберите лот в таблице"));
    TradeLotsList->clear();
    HistoryList->clear();
    HistoryCaption->setText(QStringLiteral("История изменений"));
    Plot->SetPoints({});
}

void StoreBrowser::ShowDetails(const DetailsOutcome& outcome) {
    ClearDetails();
    if (!outcome.error.empty()) {
        TradeSummary->setText(FromStd(outcome.error));
        return;
    }
    if (!outcome.trade) {
        TradeSummary->setText(QStringLiteral("Этого торга в хранилище больше нет"));
        return;
    }
    const store::TradeDetails& trade = *outcome.trade;
    LotTableModel& model = *model_;
    const auto date = [&model](const store::BrowsedLot& lot, int column) {
        return model.Text(lot, column);
    };
    const std::string& firstSeen = trade.firstSeen;
    QStringList lines;
    if (!trade.lots.empty()) {
        const store::BrowsedLot& first = trade.lots.front();
        const crawl::ResultRow& row = first.row;
        lines << QStringLiteral("<b>Торги № %1</b> — %2")
                     .arg(FromStd(row.number).toHtmlEscaped(),
                          TradeTypeText(trade.tradeType).toHtmlEscaped());
        lines << FromStd(row.region).toHtmlEscaped();
        lines << QStringLiteral("Должник: %1, ИНН %2")
                     .arg(FromStd(row.debtorName).toHtmlEscaped(),
                          FromStd(row.debtorInn).toHtmlEscaped());
        lines << QStringLiteral("Суд: %1").arg(FromStd(row.courtName).toHtmlEscaped());
        lines << QStringLiteral("Дата объявления: %1; дата торгов: %2")
                     .arg(date(first, 3), date(first, 11));
    } else {
        lines << QStringLiteral("<b>Торги %1</b> — без лотов").arg(FromStd(trade.guid));
    }
    store::BrowsedLot times;
    times.firstSeen = firstSeen;
    times.lastChanged = trade.lastChanged;
    lines << QStringLiteral("Впервые найдено: %1; последнее изменение: %2")
                 .arg(date(times, 14),
                      trade.lastChanged.empty() ? QStringLiteral("не было") : date(times, 15));
    TradeSummary->setText(lines.join(QStringLiteral("<br>")));
    cardLink_ = trade.cardLink;
    OpenCardButton->setEnabled(!cardLink_.empty());

    for (const store::BrowsedLot& lot : trade.lots) {
        auto* item = new QTreeWidgetItem(TradeLotsList);
        const std::int64_t position = lot.lotId % store::kLotsPerTrade;
        item->setText(0, QString::number(position + 1));
        item->setText(1, FromStd(lot.row.lotDescription));
        item->setToolTip(1, FromStd(lot.row.lotDescription));
        item->setText(2, model.Text(lot, 9));
        item->setText(3, model.Text(lot, 10));
        item->setText(4, FromStd(lot.row.winnerName));
        if (lot.lotId == outcome.lotId)
            TradeLotsList->setCurrentItem(item);
    }

    const auto stamp = [this](const std::string& iso) {
        const QDateTime moment = QDateTime::fromString(FromStd(iso).left(19), Qt::ISODate);
        return moment.isValid()
                   ? moment.toString(options_.regional.ShortDateFormat() + QStringLiteral(" hh:mm"))
                   : FromStd(iso);
    };
    const auto value = [](const std::optional<std::string>& text) {
        return !text || text->empty() ? QStringLiteral("(пусто)") : FromStd(*text);
    };
    for (const store::ValueChange& change : trade.history) {
        const QString where = change.lotPosition
                                  ? QStringLiteral("лот %1, ").arg(*change.lotPosition + 1)
                                  : QString();
        HistoryList->addItem(QStringLiteral("%1: %2%3: %4 → %5 (запуск %6, %7, начат %8)")
                                 .arg(stamp(change.changedAt), where, FromStd(change.field),
                                      value(change.oldValue), value(change.newValue))
                                 .arg(change.runId)
                                 .arg(FromStd(change.runProgram), stamp(change.runStarted)));
    }
    HistoryCaption->setText(trade.history.empty()
                                ? QStringLiteral("История изменений: изменений не было")
                                : QStringLiteral("История изменений: %1")
                                      .arg(static_cast<qlonglong>(trade.history.size())));

    std::vector<PricePlot::Point> points;
    for (const store::PricePoint& point : outcome.prices) {
        const QDateTime time = QDateTime::fromString(FromStd(point.time).left(19), Qt::ISODate);
        if (point.value && time.isValid())
            points.push_back({time, *point.value});
    }
    Plot->SetPoints(std::move(points));
}

void StoreBrowser::OpenCard() {
    // The row's own link, so that Enter opens the card of the row in view even before its
    // details have arrived.
    const QModelIndex current = LotsView->currentIndex();
    const store::BrowsedLot* lot = current.isValid() ? model_->LotAt(current.row()) : nullptr;
    const std::string address = lot != nullptr ? lot->cardLink : cardLink_;
    if (!address.empty())
        options_.openCard(address);
}

void StoreBrowser::ExportTo(const std::filesystem::path& output) {
    if (export_)
        return;
    const std::optional<store::ExportFormat> format = store::ExportFormatOf(output);
    if (!format) {
        ExportLine->setText(
            QStringLiteral("Выгрузка: имя файла должно оканчиваться на .csv или .xlsx"));
        return;
    }
    if (!storeOpen_) {
        ExportLine->setText(QStringLiteral("Выгрузка: хранилище не открыто"));
        return;
    }
    ExportJob::Request request;
    request.store = options_.store;
    request.filter = shown_;
    request.output = output;
    request.format = *format;
    request.decimalSeparator = QString(options_.regional.DecimalSeparator()).toStdString();
    ExportProgress->setRange(0, std::max(1, model_->rowCount()));
    ExportProgress->setValue(0);
    ExportProgress->show();
    CancelExportButton->show();
    ExportButton->setEnabled(false);
    ExportLine->setText(QStringLiteral("Выгрузка в %1…").arg(FromStd(output.filename().string())));
    export_ = std::make_unique<ExportJob>(
        std::move(request),
        [this](std::function<void()> answer) {
            QMetaObject::invokeMethod(this, std::move(answer), Qt::QueuedConnection);
        },
        [this](std::int64_t rows) {
            ExportProgress->setValue(
                static_cast<int>(std::min<std::int64_t>(rows, ExportProgress->maximum())));
        },
        [this, output](ExportOutcome outcome) {
            export_.reset();
            ExportProgress->hide();
            CancelExportButton->hide();
            ExportButton->setEnabled(true);
            if (outcome.cancelled) {
                ExportLine->setText(QStringLiteral("Выгрузка отменена, файл не записан"));
            } else if (!outcome.error.empty()) {
                ExportLine->setText(FromStd(outcome.error));
            } else {
                ExportLine->setText(QStringLiteral("Выгружено строк: %1, торгов: %2, в файл %3")
                                        .arg(static_cast<qlonglong>(outcome.counts.rows))
                                        .arg(static_cast<qlonglong>(outcome.counts.trades))
                                        .arg(FromStd(output.string())));
            }
        });
}

bool StoreBrowser::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (enter && (watched == LotsView || watched == TradeLotsList || watched == HistoryList)) {
            OpenCard();
            return true;
        }
        if (auto* edit = qobject_cast<QDateEdit*>(watched)) {
            // A date edit showing "не задана" keeps Tab for its sections and never lets go.
            if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
                edit->date() == kNoDate) {
                focusNextPrevChild(key->key() == Qt::Key_Tab &&
                                   !(key->modifiers() & Qt::ShiftModifier));
                return true;
            }
            if ((key->key() == Qt::Key_Delete || key->key() == Qt::Key_Backspace) &&
                key->modifiers() == Qt::NoModifier) {
                edit->setDate(kNoDate);
                return true;
            }
            if (edit->date() == kNoDate && key->text().size() == 1 && key->text()[0].isDigit()) {
                // "не задана" takes no digits: the typing starts on today's day.
                edit->setDate(QDate::currentDate());
                edit->setCurrentSection(QDateTimeEdit::DaySection);
                edit->setSelectedSection(QDateTimeEdit::DaySection);
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void StoreBrowser::closeEvent(QCloseEvent* event) {
    SaveState();
    if (export_)
        export_->Cancel();
    QWidget::closeEvent(event);
}

void StoreBrowser::RestoreState() {
    const QString& ini = options_.settingsIni;
    if (ini.isEmpty())
        return;
    const auto value = [&ini](const char* key) {
        return ReadIniValue(ini, kSection, QString::fromLatin1(key), {});
    };
    restoring_ = true;
    WordsEdit->setText(value("Words"));
    checkedRegions_ = value("Regions").split(u',', Qt::SkipEmptyParts);
    const QStringList types = value("Types").split(u',', Qt::SkipEmptyParts);
    for (int k = 0; k < TypesList->count(); ++k) {
        const std::string_view code = crawl::kTradeTypeCodes[static_cast<std::size_t>(k)];
        TypesList->item(k)->setCheckState(
            types.contains(QString::fromUtf8(code.data(), static_cast<qsizetype>(code.size())))
                ? Qt::Checked
                : Qt::Unchecked);
    }
    SetIso(TradeFromEdit, value("TradeFrom"));
    SetIso(TradeToEdit, value("TradeTo"));
    SetIso(AnnouncedFromEdit, value("AnnouncedFrom"));
    SetIso(AnnouncedToEdit, value("AnnouncedTo"));
    SetIso(NewSinceEdit, value("NewSince"));
    SetIso(ChangedSinceEdit, value("ChangedSince"));
    StartPriceFromEdit->setText(value("StartPriceFrom"));
    StartPriceToEdit->setText(value("StartPriceTo"));
    CurrentPriceFromEdit->setText(value("CurrentPriceFrom"));
    CurrentPriceToEdit->setText(value("CurrentPriceTo"));
    OpenOnlyBox->setChecked(value("OpenOnly") == QStringLiteral("1"));
    // Widths, order and sort of the columns as the header keeps them.
    const QByteArray header = QByteArray::fromBase64(value("Columns").toLatin1());
    QHeaderView* columns = LotsView->horizontalHeader();
    if (!header.isEmpty() && columns->restoreState(header)) {
        const int section = columns->sortIndicatorSection();
        order_ = {};
        if (section >= 0 && section < model_->columnCount()) {
            order_.column = LotTableModel::ColumnOf(section);
            order_.descending = columns->sortIndicatorOrder() == Qt::DescendingOrder;
        }
    }
    const QByteArray sizes = QByteArray::fromBase64(value("Splitter").toLatin1());
    if (!sizes.isEmpty())
        Splitter->restoreState(sizes);
    restoring_ = false;
}

void StoreBrowser::SaveState() {
    saved_ = true;
    const QString& ini = options_.settingsIni;
    if (ini.isEmpty())
        return;
    QStringList types;
    for (int k = 0; k < TypesList->count(); ++k) {
        const std::string_view code = crawl::kTradeTypeCodes[static_cast<std::size_t>(k)];
        if (TypesList->item(k)->checkState() == Qt::Checked)
            types << QString::fromUtf8(code.data(), static_cast<qsizetype>(code.size()));
    }
    const std::vector<std::pair<const char*, QString>> values = {
        {"Words", WordsEdit->text()},
        {"Regions", checkedRegions_.join(u',')},
        {"Types", types.join(u',')},
        {"TradeFrom", IsoOf(TradeFromEdit)},
        {"TradeTo", IsoOf(TradeToEdit)},
        {"AnnouncedFrom", IsoOf(AnnouncedFromEdit)},
        {"AnnouncedTo", IsoOf(AnnouncedToEdit)},
        {"NewSince", IsoOf(NewSinceEdit)},
        {"ChangedSince", IsoOf(ChangedSinceEdit)},
        {"StartPriceFrom", StartPriceFromEdit->text()},
        {"StartPriceTo", StartPriceToEdit->text()},
        {"CurrentPriceFrom", CurrentPriceFromEdit->text()},
        {"CurrentPriceTo", CurrentPriceToEdit->text()},
        {"OpenOnly", OpenOnlyBox->isChecked() ? QStringLiteral("1") : QStringLiteral("0")},
        {"Columns", QString::fromLatin1(LotsView->horizontalHeader()->saveState().toBase64())},
        {"Splitter", QString::fromLatin1(Splitter->saveState().toBase64())},
    };
    try {
        for (const auto& [key, text] : values)
            WriteIniValue(ini, kSection, QString::fromLatin1(key), text);
    } catch (const AppError&) {
        // A settings file the user may not write keeps its old state; the browser works on.
    }
}

void StoreBrowser::ReloadWatches() {
    const std::filesystem::path path = options_.store;
    worker_->Watches([this, path](WatchesOutcome outcome) {
        if (path == options_.store)
            ShowWatches(outcome);
    });
}

void StoreBrowser::ShowWatches(const WatchesOutcome& outcome) {
    const QListWidgetItem* current = WatchesList->currentItem();
    const QString chosen = current != nullptr ? current->data(Qt::UserRole).toString() : QString();
    const QSignalBlocker blocker(WatchesList);
    WatchesList->clear();
    if (!outcome.error.empty()) {
        WatchLine->setText(QStringLiteral("Наблюдения не прочитаны: ") + FromStd(outcome.error));
        return;
    }
    for (const WatchEntry& entry : outcome.watches) {
        const QString name = FromStd(entry.watch.name);
        auto* item = new QListWidgetItem(
            QStringLiteral("%1 (%2)").arg(name).arg(static_cast<qulonglong>(entry.unseen)),
            WatchesList);
        item->setData(Qt::UserRole, name);
        item->setData(Qt::UserRole + 1, static_cast<qulonglong>(entry.unseen));
        QFont font = item->font();
        font.setBold(entry.unseen > 0);
        item->setFont(font);
        if (name == chosen)
            WatchesList->setCurrentItem(item);
    }
}

void StoreBrowser::ShowWatch(const QString& name) {
    if (!storeOpen_) {
        WatchLine->setText(QStringLiteral("Наблюдение: хранилище не открыто"));
        return;
    }
    const std::filesystem::path path = options_.store;
    worker_->SeeWatch(name.toStdString(), [this, path](SeenOutcome outcome) {
        if (path == options_.store)
            ShowSeen(outcome);
    });
    ReloadWatches();
}

void StoreBrowser::ShowSeen(const SeenOutcome& outcome) {
    const QString name = FromStd(outcome.name);
    WatchNewsList->clear();
    if (!outcome.watch) {
        WatchNewsList->hide();
        WatchLine->setText(
            outcome.error.empty()
                ? QStringLiteral("Наблюдения %1 больше нет").arg(Quoted(name))
                : QStringLiteral("Наблюдение %1: %2").arg(Quoted(name), FromStd(outcome.error)));
        return;
    }
    ApplyFilter(outcome.watch->filter);
    for (const notify::NewsItem& item : outcome.news) {
        QString line = FromStd(watch::KindName(item.kind)) + QStringLiteral(": ") +
                       FromStd(item.row.lotDescription);
        if (item.newValue)
            line += QStringLiteral(" — ") + FromStd(*item.newValue);
        auto* entry = new QListWidgetItem(line, WatchNewsList);
        entry->setToolTip(line);
        entry->setData(Qt::UserRole, static_cast<qlonglong>(item.lotId));
    }
    WatchNewsList->setVisible(!outcome.news.empty());
    const QString told = outcome.news.empty()
                             ? QStringLiteral("Наблюдение %1: нового нет").arg(Quoted(name))
                             : QStringLiteral("Наблюдение %1: новое — %2")
                                   .arg(Quoted(name))
                                   .arg(static_cast<qulonglong>(outcome.news.size()));
    // A store the user may only read shows the news, but cannot keep them as seen.
    WatchLine->setText(outcome.error.empty() ? told
                                             : told + QStringLiteral("; просмотр не отмечен: ") +
                                                   FromStd(outcome.error));
}

void StoreBrowser::ApplyFilter(const store::TradeFilter& filter) {
    restoring_ = true;
    QStringList words;
    for (const std::string& word : filter.words)
        words << FromStd(word);
    WordsEdit->setText(words.join(u' '));
    QStringList regions;
    for (const std::string& code : filter.regionCodes)
        regions << BareCode(FromStd(code));
    checkedRegions_.clear();
    for (int k = 0; k < RegionsList->count(); ++k) {
        QListWidgetItem* item = RegionsList->item(k);
        const QString code = item->data(Qt::UserRole).toString();
        const bool taken = regions.contains(BareCode(code));
        item->setCheckState(taken ? Qt::Checked : Qt::Unchecked);
        if (taken)
            checkedRegions_ << code;
    }
    for (int k = 0; k < TypesList->count(); ++k) {
        const std::string_view code = crawl::kTradeTypeCodes[static_cast<std::size_t>(k)];
        const bool taken = std::find(filter.tradeTypes.begin(), filter.tradeTypes.end(), code) !=
                           filter.tradeTypes.end();
        TypesList->item(k)->setCheckState(taken ? Qt::Checked : Qt::Unchecked);
    }
    SetDay(TradeFromEdit, filter.from);
    SetDay(TradeToEdit, filter.to);
    SetDay(AnnouncedFromEdit, filter.announcedFrom);
    SetDay(AnnouncedToEdit, filter.announcedTo);
    SetDay(NewSinceEdit, filter.newSince);
    SetDay(ChangedSinceEdit, filter.changedSince);
    SetPrice(StartPriceFromEdit, filter.startPriceFrom);
    SetPrice(StartPriceToEdit, filter.startPriceTo);
    SetPrice(CurrentPriceFromEdit, filter.currentPriceFrom);
    SetPrice(CurrentPriceToEdit, filter.currentPriceTo);
    OpenOnlyBox->setChecked(filter.openOnly);
    restoring_ = false;
    RunQuery();
}

void StoreBrowser::AskForWatch() {
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("WatchDialog"));
    dialog.setWindowTitle(QStringLiteral("Наблюдать за текущим фильтром"));
    auto* name = new QLineEdit(&dialog);
    name->setObjectName(QStringLiteral("WatchNameEdit"));
    auto* below = new QLineEdit(&dialog);
    below->setObjectName(QStringLiteral("WatchBelowEdit"));
    below->setPlaceholderText(QStringLiteral("не задан"));
    auto* drop = new QLineEdit(&dialog);
    drop->setObjectName(QStringLiteral("WatchDropEdit"));
    drop->setPlaceholderText(QStringLiteral("не задано"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* form = new QFormLayout(&dialog);
    form->addRow(QStringLiteral("Имя наблюдения:"), name);
    form->addRow(QStringLiteral("Цена ниже (необязательно):"), below);
    form->addRow(QStringLiteral("Снижение цены на %, не меньше (необязательно):"), drop);
    form->addRow(buttons);
    if (dialog.exec() == QDialog::Accepted)
        AddWatch(name->text().trimmed(), PriceOf(below), PriceOf(drop));
}

void StoreBrowser::AddWatch(const QString& name, std::optional<double> priceBelow,
                            std::optional<double> dropPercent) {
    if (name.trimmed().isEmpty()) {
        WatchLine->setText(QStringLiteral("Наблюдение не сохранено: укажите его имя"));
        return;
    }
    if (!storeOpen_) {
        WatchLine->setText(QStringLiteral("Наблюдение не сохранено: хранилище не открыто"));
        return;
    }
    watch::Watch w;
    w.name = name.trimmed().toStdString();
    w.filter = CurrentFilter();
    w.priceBelow = priceBelow;
    w.dropPercent = dropPercent;
    const std::filesystem::path path = options_.store;
    worker_->AddWatch(std::move(w), [this, path](WatchSaved outcome) {
        if (path != options_.store)
            return;
        if (!outcome.error.empty()) {
            WatchLine->setText(QStringLiteral("Наблюдение не сохранено: ") +
                               FromStd(outcome.error));
            return;
        }
        WatchLine->setText(
            QStringLiteral("Наблюдение %1 сохранено").arg(Quoted(FromStd(outcome.name))));
        ReloadWatches();
    });
}

}  // namespace korvalot::app::browser
