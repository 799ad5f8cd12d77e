#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "app/MainView.h"
#include "app/RunHandle.h"

namespace korvalot::app::testing {

// A window without widgets that remembers what the logic did to it.
class FakeMainView : public IMainView {
public:
    FakeMainView() {
        cats = {{"Открытый аукцион", false},      {"Открытый конкурс", false},
                {"Публичное предложение", false}, {"Закрытый аукцион", false},
                {"Закрытый конкурс", false},      {"Закрытое публичное предложение", false}};
    }

    struct Item {
        QString text;
        bool selected;
    };

    QStringList log;
    std::vector<Item> cities;
    std::vector<Item> cats;
    std::vector<std::pair<ControlId, bool>> enableCalls;
    std::map<ControlId, bool> enabled;
    int progressMax = 100;
    int progressPos = 0;
    QString progressHint;
    std::vector<int> flushDelays;  // requests for a deferred progress update
    bool pauseShown = false;
    int resumeRemainingMs = 30000;
    QString foundCaption = QStringLiteral("Найдено торгов: 0");
    bool resumeArmed = false;
    int resumeArmings = 0;
    int resumeInterval = 0;
    bool timer1Armed = true;
    int processEventsCalls = 0;
    std::function<void()> onProcessEvents;
    QDate fromDate{1899, 12, 30};
    QDate toDate{1899, 12, 30};
    int hourGlassDepth = 0;
    int hourGlassMaxDepth = 0;
    std::vector<std::pair<QString, QString>> warnings;
    int endProgramCalls = 0;

    void AddLogLine(const QString& line) override { log.append(line); }
    void ClearLog() override { log.clear(); }
    QStringList LogLines() const override { return log; }
    void SetControlEnabled(ControlId control, bool on) override {
        enableCalls.emplace_back(control, on);
        enabled[control] = on;
    }
    int ProgressPosition() const override { return progressPos; }
    void SetProgress(int maximum, int position) override {
        progressMax = maximum;
        progressPos = position;
    }
    void SetProgressPosition(int position) override { progressPos = position; }
    void SetProgressHint(const QString& hint) override { progressHint = hint; }
    void ScheduleProgressFlush(int delayMs) override { flushDelays.push_back(delayMs); }
    void SetPauseShown(bool paused) override { pauseShown = paused; }
    void SetFoundCaption(const QString& caption) override { foundCaption = caption; }
    void ArmResumeTimer(int intervalMs) override {
        resumeArmed = true;
        resumeInterval = intervalMs;
        resumeRemainingMs = intervalMs;
        ++resumeArmings;
    }
    void DisarmResumeTimer() override { resumeArmed = false; }
    int ResumeTimerRemainingMs() const override { return resumeArmed ? resumeRemainingMs : -1; }
    void DisarmTimer1() override { timer1Armed = false; }
    void ProcessPendingEvents() override {
        ++processEventsCalls;
        if (onProcessEvents) {
            onProcessEvents();
        }
    }
    std::vector<Item>& Items(ListId list) { return list == ListId::Cities ? cities : cats; }
    const std::vector<Item>& Items(ListId list) const {
        return list == ListId::Cities ? cities : cats;
    }
    int ItemCount(ListId list) const override { return static_cast<int>(Items(list).size()); }
    QString ItemText(ListId list, int index) const override { return Items(list)[index].text; }
    bool IsItemSelected(ListId list, int index) const override {
        return Items(list)[index].selected;
    }
    void SetItemSelected(ListId list, int index, bool selected) override {
        Items(list)[index].selected = selected;
    }
    void AddItem(ListId list, const QString& text) override {
        Items(list).push_back({text, false});
    }
    QDate PickerDate(PickerId picker) const override {
        return picker == PickerId::From ? fromDate : toDate;
    }
    void SetPickerDate(PickerId picker, const QDate& date) override {
        (picker == PickerId::From ? fromDate : toDate) = date;
    }
    void SetHourGlass(bool on) override {
        hourGlassDepth += on ? 1 : -1;
        hourGlassMaxDepth = std::max(hourGlassMaxDepth, hourGlassDepth);
    }
    void ShowWarning(const QString& title, const QString& text) override {
        warnings.emplace_back(title, text);
    }
    void EndProgram() override { ++endProgramCalls; }

    QStringList SelectedTexts(ListId list) const {
        QStringList out;
        for (const Item& item : Items(list)) {
            if (item.selected) {
                out.append(item.text);
            }
        }
        return out;
    }
};

// A run as the window sees it.
class FakeRun : public IRunHandle {
public:
    bool live = true;
    bool paused = false;
    int pauses = 0;
    int resumes = 0;
    int terminations = 0;
    std::vector<std::string> calls;  // "pause", "resume", "terminate" in order

    bool IsLive() const override { return live; }
    bool IsPaused() const override { return paused; }
    bool WaitUntilHalted(int) const override { return paused; }
    void Pause() override {
        paused = true;
        ++pauses;
        calls.push_back("pause");
    }
    void Resume() override {
        paused = false;
        ++resumes;
        calls.push_back("resume");
    }
    void Terminate() override {
        ++terminations;
        calls.push_back("terminate");
    }
};

}  // namespace korvalot::app::testing
