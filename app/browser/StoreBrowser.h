#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QCheckBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include "app/LocaleFormats.h"
#include "store/LotBrowser.h"
#include "store/TradeFilter.h"

// The store browser: a window of its own over the trade store, opened from the main window
// (Ctrl+B) or by korvalot-store. It reads the store: the lots a filter takes as the user types,
// a trade's lots and history, its card on the register, an export of what is on screen, and the
// watches with the news the window has not shown yet. It writes only watches: a new one made of
// the filter shown, and how far it has shown each watch's news.
namespace korvalot::app::browser {

class BrowserWorker;
struct DetailsOutcome;
struct SeenOutcome;
struct WatchesOutcome;
class ExportJob;
struct ExportOutcome;
class LotTableModel;
class PricePlot;

struct StoreBrowserOptions {
    std::filesystem::path store;  // opened at once
    // settings.ini: the window keeps its columns and last filter in section StoreBrowser.
    QString settingsIni;
    LocaleFormats regional;
    // Opens a trade's card on the register; empty: the desktop's browser.
    std::function<void(const std::string& address)> openCard;
};

class StoreBrowser : public QWidget {
    Q_OBJECT
public:
    explicit StoreBrowser(StoreBrowserOptions options, QWidget* parent = nullptr);
    ~StoreBrowser() override;

    // Reads another store (the file dialog of OpenStoreButton ends here).
    void OpenStore(const std::filesystem::path& path);
    // Reads the store again: what a harvest added since shows.
    void Refresh();
    // Every filter back to nothing.
    void ClearFilter();
    // Writes the lots of the shown filter, .csv or .xlsx by the name (ExportButton's dialog
    // ends here).
    void ExportTo(const std::filesystem::path& output);
    // The filter as the controls hold it now.
    store::TradeFilter CurrentFilter() const;
    const std::filesystem::path& StorePath() const { return options_.store; }
    // The watch's filter in the controls and its news not yet shown in WatchNewsList; they then
    // count as seen (a click on the watch in WatchesList ends here).
    void ShowWatch(const QString& name);
    // A watch of the current filter that starts now, kept in the store (WatchButton's dialog
    // ends here); WatchLine tells how that went.
    void AddWatch(const QString& name, std::optional<double> priceBelow,
                  std::optional<double> dropPercent);
    LotTableModel& Model() const { return *model_; }

    QLabel* StoreLabel;
    QPushButton* OpenStoreButton;
    QPushButton* RefreshButton;
    QPushButton* ClearButton;
    QPushButton* ExportButton;
    QProgressBar* ExportProgress;
    QPushButton* CancelExportButton;
    QLabel* ExportLine;
    QLineEdit* WordsEdit;
    QListWidget* RegionsList;
    QListWidget* TypesList;
    QDateEdit* TradeFromEdit;
    QDateEdit* TradeToEdit;
    QDateEdit* AnnouncedFromEdit;
    QDateEdit* AnnouncedToEdit;
    QDateEdit* NewSinceEdit;
    QDateEdit* ChangedSinceEdit;
    QLineEdit* StartPriceFromEdit;
    QLineEdit* StartPriceToEdit;
    QLineEdit* CurrentPriceFromEdit;
    QLineEdit* CurrentPriceToEdit;
    QCheckBox* OpenOnlyBox;
    // The watches, each with its unseen news ("Дешёвые авто (3)"), the name as Qt::UserRole.
    QListWidget* WatchesList;
    QPushButton* WatchButton;
    QListWidget* WatchNewsList;  // the news of the watch last opened that were unseen
    QLabel* WatchLine;
    QLabel* StatusLine;
    QSplitter* Splitter;
    QTableView* LotsView;
    QLabel* TradeSummary;
    QTreeWidget* TradeLotsList;
    QLabel* HistoryCaption;
    QListWidget* HistoryList;
    PricePlot* Plot;
    QPushButton* OpenCardButton;
    QTimer* QueryTimer;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    QWidget* BuildFilters();
    QWidget* BuildDetails();
    void ConnectFilters();
    void SetTabOrder();
    void FilterChanged();
    void RunQuery();
    void SelectionChanged();
    void ShowDetails(const DetailsOutcome& outcome);
    void ClearDetails();
    void OpenCard();
    void ExportFinished(const ExportOutcome& outcome);
    void ReloadWatches();
    void ShowWatches(const WatchesOutcome& outcome);
    void ShowSeen(const SeenOutcome& outcome);
    void ApplyFilter(const store::TradeFilter& filter);
    void AskForWatch();
    void RestoreState();
    void SaveState();

    StoreBrowserOptions options_;
    std::unique_ptr<BrowserWorker> worker_;
    std::unique_ptr<ExportJob> export_;
    LotTableModel* model_;
    store::LotOrder order_;
    std::uint64_t generation_ = 0;  // of the query the table shows, or awaits
    store::TradeFilter shown_;      // the filter the table shows
    bool storeOpen_ = false;
    std::string cardLink_;        // of the trade in the details
    QStringList checkedRegions_;  // codes, kept while the regions list is refilled
    bool restoring_ = false;
    bool saved_ = false;
};

}  // namespace korvalot::app::browser
