#pragma once

#include <memory>

#include <QDateEdit>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "app/MainFormLogic.h"
#include "app/MainView.h"

namespace korvalot::app {

class UiHandOff;
namespace browser {
class StoreBrowser;
}

// The program's one window. Its behaviour is MainFormLogic's; this class is the widgets, their
// layout and the wiring of their events.
class TMainForm : public QWidget, public IMainView {
    Q_OBJECT
public:
    // endProgram ends the program after a start-up refusal; by default it quits the event loop.
    explicit TMainForm(MainFormServices services, std::function<void()> endProgram = {},
                       QWidget* parent = nullptr);
    ~TMainForm() override;

    MainFormLogic& Logic() { return *logic_; }
    // Calls from other threads wait here until the UI thread has run them; see UiHandOff.
    const std::shared_ptr<UiHandOff>& HandOff() const { return handOff_; }
    // The store browser over the store beside settings.ini, a window of its own (Ctrl+B, and
    // the log's context menu); opened once and raised again after.
    void OpenStoreBrowser();
    browser::StoreBrowser* StoreBrowserWindow() const { return storeBrowser_.get(); }

    QProgressBar* ProgressBar;
    QLabel* Label2;
    QLabel* Label1;
    QLabel* Label4;
    QLabel* Label3;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label7;
    QPlainTextEdit* LogsMemo;
    QPushButton* StartButton;
    QPushButton* StopButton;
    QPushButton* PauseButton;
    QListWidget* CitiesListBox;
    QPushButton* SelectAllCitiesButton;
    QListWidget* CatsListBox;
    QPushButton* Button1;
    QDateEdit* DateFromPicker;
    QDateEdit* DateToPicker;
    QTimer* ResumeTimer;
    QTimer* Timer1;
    // Not controls of their own: they show a held-back progress report and count down the
    // seconds of an error pause in the progress hint.
    QTimer* ProgressFlushTimer;
    QTimer* PauseHintTimer;

    // IMainView
    void AddLogLine(const QString& line) override;
    void ClearLog() override;
    QStringList LogLines() const override;
    void SetControlEnabled(ControlId control, bool enabled) override;
    int ProgressPosition() const override;
    void SetProgress(int maximum, int position) override;
    void SetProgressPosition(int position) override;
    void SetProgressHint(const QString& hint) override;
    void ScheduleProgressFlush(int delayMs) override;
    void SetPauseShown(bool paused) override;
    void SetFoundCaption(const QString& caption) override;
    void ArmResumeTimer(int intervalMs) override;
    void DisarmResumeTimer() override;
    int ResumeTimerRemainingMs() const override;
    void DisarmTimer1() override;
    void ProcessPendingEvents() override;
    int ItemCount(ListId list) const override;
    QString ItemText(ListId list, int index) const override;
    bool IsItemSelected(ListId list, int index) const override;
    void SetItemSelected(ListId list, int index, bool selected) override;
    void AddItem(ListId list, const QString& text) override;
    QDate PickerDate(PickerId picker) const override;
    void SetPickerDate(PickerId picker, const QDate& date) override;
    void SetHourGlass(bool on) override;
    void ShowWarning(const QString& title, const QString& text) override;
    void EndProgram() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void LayOut();
    QListWidget* List(ListId list) const;
    QDateEdit* Picker(PickerId picker) const;
    void LogsMemoKeyDown(int key, Qt::KeyboardModifiers modifiers);
    bool PickerKeyDown(QDateEdit* picker, const QKeyEvent& key);
    bool ShowRegionToolTip(const QHelpEvent& event);

    std::unique_ptr<MainFormLogic> logic_;
    std::shared_ptr<UiHandOff> handOff_;
    std::unique_ptr<browser::StoreBrowser> storeBrowser_;
    std::function<void()> endProgram_;
    bool showHandled_ = false;
    int hourGlassDepth_ = 0;
};

}  // namespace korvalot::app
