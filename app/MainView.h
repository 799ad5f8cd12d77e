#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

namespace korvalot::app {

// What a date picker holds when it holds no date ("не задана"): day zero of the date scale.
inline const QDate kNoDate(1899, 12, 30);

enum class ListId { Cities, Cats };
enum class PickerId { From, To };
// The controls a run disables while it is live.
enum class ControlId { CitiesListBox, CatsListBox, StartButton, DateFromPicker, DateToPicker };

// What the window's logic needs from the window. The real one is TMainForm; tests use a fake.
// Every call comes from the UI thread.
class IMainView {
public:
    virtual ~IMainView() = default;

    virtual void AddLogLine(const QString& line) = 0;
    virtual void ClearLog() = 0;
    virtual QStringList LogLines() const = 0;

    virtual void SetControlEnabled(ControlId control, bool enabled) = 0;

    virtual int ProgressPosition() const = 0;
    // Values already clamped: 0 <= position <= maximum.
    virtual void SetProgress(int maximum, int position) = 0;
    virtual void SetProgressPosition(int position) = 0;
    // Sets the hint and switches hint display on.
    virtual void SetProgressHint(const QString& hint) = 0;
    // Calls MainFormLogic::FlushProgress once, after the delay; an earlier request still
    // pending is replaced.
    virtual void ScheduleProgressFlush(int delayMs) = 0;
    // The pause button stays pressed while the run is paused.
    virtual void SetPauseShown(bool paused) = 0;

    virtual void SetFoundCaption(const QString& caption) = 0;

    // Sets the interval and arms the timer, afresh when it was armed.
    virtual void ArmResumeTimer(int intervalMs) = 0;
    virtual void DisarmResumeTimer() = 0;
    // Time until an armed ResumeTimer fires. While it is armed, the window calls
    // MainFormLogic::RefreshPauseHint about once a second.
    virtual int ResumeTimerRemainingMs() const = 0;
    virtual void DisarmTimer1() = 0;

    // Lets the window handle its pending events (repaint, clicks, timers) and returns.
    virtual void ProcessPendingEvents() = 0;

    virtual int ItemCount(ListId list) const = 0;
    virtual QString ItemText(ListId list, int index) const = 0;
    virtual bool IsItemSelected(ListId list, int index) const = 0;
    virtual void SetItemSelected(ListId list, int index, bool selected) = 0;
    virtual void AddItem(ListId list, const QString& text) = 0;

    // kNoDate stands for no date.
    virtual QDate PickerDate(PickerId picker) const = 0;
    virtual void SetPickerDate(PickerId picker, const QDate& date) = 0;

    virtual void SetHourGlass(bool on) = 0;
    // A modal box with the title, the text, a single OK button and no icon.
    virtual void ShowWarning(const QString& title, const QString& text) = 0;
    // Ends the program without the close handler's saving.
    virtual void EndProgram() = 0;
};

}  // namespace korvalot::app
