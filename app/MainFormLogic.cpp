#include "app/MainFormLogic.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include <QFileInfo>

#include "app/AppError.h"
#include "app/IniFile.h"
#include "app/ListFile.h"
#include "app/StartupChecks.h"
#include "crawl/RegionDirectory.h"
#include "crawl/RegisterAddresses.h"
#include "util/NewFile.h"

namespace korvalot::app {
namespace {

const QString kSettingsFile = QStringLiteral("settings.ini");
const QString kCatsSelectionFile = QStringLiteral("selection1.txt");
const QString kCitiesSelectionFile = QStringLiteral("selection2.txt");

// Raised from the directory wait when the window closes meanwhile, so that the program need not
// wait for the register's answer before it ends.
class DirectoryLoadAbandoned : public std::runtime_error {
public:
    DirectoryLoadAbandoned() : std::runtime_error("Загрузка прервана: окно закрыто") {}
};

// position * 100 / maximum rounded to the nearest whole number, halves to the even one.
std::int64_t PercentHalfEven(std::int64_t position, std::int64_t maximum) {
    if (maximum <= 0) {
        return 0;
    }
    const std::int64_t numerator = position * 100;
    std::int64_t quotient = numerator / maximum;
    const std::int64_t twiceRemainder = 2 * (numerator % maximum);
    if (twiceRemainder > maximum || (twiceRemainder == maximum && quotient % 2 != 0)) {
        ++quotient;
    }
    return quotient;
}

// The pace of a phase is taken from this many of its latest jobs.
constexpr std::size_t kPaceJobs = 20;

// "2 мин 5 с": a duration as the progress hint shows it.
QString DurationText(std::int64_t seconds) {
    if (seconds < 60) {
        return QStringLiteral("%1 с").arg(seconds);
    }
    if (seconds < 3600) {
        return QStringLiteral("%1 мин %2 с").arg(seconds / 60).arg(seconds % 60);
    }
    return QStringLiteral("%1 ч %2 мин").arg(seconds / 3600).arg(seconds % 3600 / 60);
}

QString FirstCharacters(const QString& text, qsizetype from, qsizetype count) {
    QString part = text.mid(from, count);
    // A surrogate pair cut in half would write an invalid character into the log file.
    if (!part.isEmpty() && part.back().isHighSurrogate() && from + count < text.size()) {
        part.chop(1);
    }
    return part;
}

}  // namespace

std::atomic<std::uint32_t>& LastProgressUpdate() {
    static std::atomic<std::uint32_t> lastUpdate{0};
    return lastUpdate;
}

MainFormLogic::MainFormLogic(IMainView& view, MainFormServices services)
    : view_(view), services_(std::move(services)) {
    if (services_.lastProgressUpdate == nullptr) {
        services_.lastProgressUpdate = &LastProgressUpdate();
    }
}

QString MainFormLogic::WindowCaption() const {
    return QStringLiteral("Парсер торгов с ") +
           QString::fromStdString(services_.config.RegisterDisplayHost) +
           QStringLiteral("/biddings");
}

void MainFormLogic::Log(const QString& afterStamp) {
    view_.AddLogLine(services_.regional.FormatStamp(services_.now()) + afterStamp);
}

QString MainFormLogic::DataFile(const QString& name) const {
    return (services_.dataDir.isEmpty() ? services_.exeDir : services_.dataDir) + name;
}

QString MainFormLogic::SettingsFile() const {
    return DataFile(kSettingsFile);
}

// ---- start-up, persistence, region directory ----

void MainFormLogic::FormShow() {
    if (shown_) {
        return;
    }
    shown_ = true;
    const StartupRefusal refusal =
        CheckStartupLocation(services_.exeDir, services_.tlsReady ? services_.tlsReady() : true);
    if (refusal != StartupRefusal::None) {
        ended_ = true;
        view_.ShowWarning(QString::fromUtf16(kStartupRefusalTitle), StartupRefusalText(refusal));
        view_.EndProgram();
        return;
    }
    if (!services_.dataDir.isEmpty() && services_.dataDir != services_.exeDir) {
        Log(QStringLiteral(": Папка программы недоступна для записи, настройки, логи и "
                           "результаты сохраняются в ") +
            services_.dataDir);
    }
    const QString settings = SettingsFile();
    const auto readDate = [&](const QString& key) {
        const QDate date = services_.regional.ParseDate(
            ReadIniValue(settings, QStringLiteral("General"), key, QString()));
        return date.isValid() && date >= kNoDate ? date : kNoDate;
    };
    view_.SetPickerDate(PickerId::From, readDate(QStringLiteral("FromDate")));
    view_.SetPickerDate(PickerId::To, readDate(QStringLiteral("ToDate")));
}

bool MainFormLogic::FormClose() {
    if (ended_) {
        return true;
    }
    closing_ = true;
    try {
        // Lists that never received the saved selections (the region load failed or is still
        // under way) would only write the operator's choice away.
        if (selectionsApplied_) {
            SaveSelection(ListId::Cities, kCitiesSelectionFile);
            SaveSelection(ListId::Cats, kCatsSelectionFile);
        }
        const QString settings = SettingsFile();
        const auto dateText = [&](PickerId picker) {
            const QDate date = view_.PickerDate(picker);
            return services_.regional.FormatDate(date.isValid() ? date : kNoDate);
        };
        WriteIniValue(settings, QStringLiteral("General"), QStringLiteral("FromDate"),
                      dateText(PickerId::From));
        WriteIniValue(settings, QStringLiteral("General"), QStringLiteral("ToDate"),
                      dateText(PickerId::To));
    } catch (const std::exception& error) {
        if (!closeFailed_) {
            // Once: the operator sees why, and a second close leaves all the same.
            closeFailed_ = true;
            closing_ = false;
            view_.AddLogLine(QStringLiteral("Ошибка ") + QString::fromStdString(error.what()));
            return false;
        }
    }
    return true;
}

void MainFormLogic::SaveSelection(ListId list, const QString& fileName) {
    QStringList lines;
    const int count = view_.ItemCount(list);
    for (int i = 0; i < count; ++i) {
        if (view_.IsItemSelected(list, i)) {
            lines.append(view_.ItemText(list, i));
        }
    }
    WriteListFile(DataFile(fileName), lines);
}

void MainFormLogic::ApplySavedSelection(ListId list, const QString& fileName) {
    const QString path = DataFile(fileName);
    if (!QFileInfo::exists(path)) {
        return;
    }
    const QStringList lines = ReadListFile(path);
    const int count = view_.ItemCount(list);
    for (int i = 0; i < count; ++i) {
        const QString item = view_.ItemText(list, i);
        bool selected = false;
        for (const QString& line : lines) {
            if (SameTextIgnoringCase(item, line)) {
                selected = true;
                break;
            }
        }
        view_.SetItemSelected(list, i, selected);
    }
}

void MainFormLogic::Timer1Timer() {
    view_.DisarmTimer1();
    if (ended_) {
        return;
    }
    try {
        view_.SetHourGlass(true);
        struct CursorGuard {
            IMainView& view;
            ~CursorGuard() { view.SetHourGlass(false); }
        } cursorGuard{view_};
        view_.AddLogLine(QStringLiteral("Загружаем регионы с сайта..."));
        {
            const crawl::RegisterAddresses addresses(services_.config.RegisterBaseUrl);
            const std::string body =
                services_.fetchDirectory(addresses.Regions(), addresses.Referer(), [this] {
                    view_.ProcessPendingEvents();
                    if (closing_) {
                        throw DirectoryLoadAbandoned();
                    }
                });
            crawl::ForEachRegionItem(body, [this](const std::string& item) {
                view_.AddItem(ListId::Cities, QString::fromStdString(item));
            });
        }
    } catch (const std::exception& error) {
        view_.AddLogLine(QStringLiteral("Ошибка ") + QString::fromStdString(error.what()));
        return;
    }
    try {
        view_.AddLogLine(
            QStringLiteral("Всё готово к работе, выделите нужные регионы и виды торгов"));
        ApplySavedSelection(ListId::Cats, kCatsSelectionFile);
        ApplySavedSelection(ListId::Cities, kCitiesSelectionFile);
        selectionsApplied_ = true;
    } catch (const std::exception& error) {
        view_.AddLogLine(QStringLiteral("Ошибка ") + QString::fromStdString(error.what()));
    }
}

void MainFormLogic::SelectAll(ListId list) {
    const int count = view_.ItemCount(list);
    for (int i = 0; i < count; ++i) {
        view_.SetItemSelected(list, i, true);
    }
}

void MainFormLogic::SelectAllCitiesButtonClick() {
    SelectAll(ListId::Cities);
}

void MainFormLogic::Button1Click() {
    SelectAll(ListId::Cats);
}

// ---- run control ----

void MainFormLogic::StartButtonClick() {
    if (HasLiveRun()) {
        return;
    }
    const auto anySelected = [this](ListId list) {
        const int count = view_.ItemCount(list);
        for (int i = 0; i < count; ++i) {
            if (view_.IsItemSelected(list, i)) {
                return true;
            }
        }
        return false;
    };
    if (!anySelected(ListId::Cities)) {
        view_.AddLogLine(QStringLiteral(
            "Ни один регион не выбран, старт невозможен. Кликните по нужному региону для его "
            "выбора."));
        return;
    }
    if (!anySelected(ListId::Cats)) {
        view_.AddLogLine(QStringLiteral(
            "Ни одна категория не выбрана, старт невозможен. Кликните по нужной категории для "
            "её выбора."));
        return;
    }
    const QDate from = view_.PickerDate(PickerId::From);
    const QDate to = view_.PickerDate(PickerId::To);
    if (from.isValid() && to.isValid() && from > kNoDate && to > kNoDate && from > to) {
        view_.AddLogLine(QStringLiteral(
            "Начальная дата торгов позже конечной, старт невозможен. Исправьте даты торгов."));
        return;
    }
    if (services_.startRun) {
        try {
            activeRun_ = services_.startRun();
        } catch (const AppError& e) {
            // Nothing has begun: the log and the controls stay as they are.
            view_.AddLogLine(QStringLiteral("Хранилище недоступно, старт невозможен: ") +
                             QString::fromStdString(e.what()) +
                             QStringLiteral(". Освободите хранилище или отключите Store в "
                                            "settings.ini."));
        }
    }
}

void MainFormLogic::PauseButtonClick() {
    if (!HasLiveRun()) {
        RefreshPauseHint();  // the button springs back up: there is nothing to pause
        return;
    }
    if (activeRun_->IsPaused()) {
        activeRun_->Resume();
        Log(QStringLiteral(": Отключаем паузу, продолжаем работу"));
    } else {
        activeRun_->Pause();
        Log(QStringLiteral(": Включаем паузу"));
    }
    RefreshPauseHint();
}

void MainFormLogic::StopButtonClick() {
    if (!HasLiveRun()) {
        return;
    }
    if (activeRun_->IsPaused()) {
        activeRun_->Resume();
    }
    activeRun_->Terminate();
    Log(QStringLiteral(": Останавливаем работу"));
    view_.SetProgressPosition(0);
    // A report held back now would put the stopped run's position back on the bar.
    pendingProgress_.reset();
    if (!registerLine_.isEmpty()) {
        registerLine_.clear();
        ShowHint();
    }
    RefreshPauseHint();
}

void MainFormLogic::ResumeTimerTimer() {
    view_.DisarmResumeTimer();
    Log(QStringLiteral(": Отключаем паузу, продолжаем работу"));
    RefreshPauseHint();
}

// ---- report operations ----

// The run pauses itself after an error, once this has returned (StartResumeTimer follows).
void MainFormLogic::HandleRunResult(const crawl::RunResult& result) {
    if (result.IsError()) {
        Log(QStringLiteral(": Ошибка: ") +
            FirstCharacters(QString::fromStdString(result.message), 0, 200));
        Log(QStringLiteral(": Включаем паузу на 30 секунд"));
        return;
    }
    Log(QStringLiteral(": Сбор данных завершен"));
}

void MainFormLogic::ShowWatchNews(std::size_t items, const QString& error) {
    if (!error.isEmpty()) {
        Log(QStringLiteral(": Наблюдения не проверены: ") + error);
        return;
    }
    if (items == 0)
        return;
    const QString text =
        QStringLiteral("Новое в наблюдениях: ") + QString::number(static_cast<qulonglong>(items));
    Log(QStringLiteral(": ") + text);
    if (services_.desktopNotice)
        services_.desktopNotice->Show(QStringLiteral("korvalot"), text);
}

void MainFormLogic::SetRunControlsEnabled(bool enabled) {
    for (ControlId control :
         {ControlId::CitiesListBox, ControlId::CatsListBox, ControlId::StartButton,
          ControlId::DateFromPicker, ControlId::DateToPicker}) {
        view_.SetControlEnabled(control, enabled);
    }
}

void MainFormLogic::UpdateRunUi(bool cursorHourGlass) {
    if (cursorHourGlass) {
        // The run's first progress report always shows.
        services_.lastProgressUpdate->store(0);
        pendingProgress_.reset();
        pace_.clear();
        timeLeftLine_.clear();
        registerLine_.clear();
        view_.ClearLog();
        Log(QStringLiteral(": Начинаем работу по заданным регионам и категориям"));
        SetRunControlsEnabled(false);
        return;
    }
    const auto ticks = static_cast<std::int32_t>(services_.tickCount());
    QString path =
        DataFile(QStringLiteral("log-") + QString::number(ticks) + QStringLiteral(".txt"));
    // Never over an earlier run's log (the tick count repeats after a reboot): the name is taken
    // now, before the line that names it, and the log replaces only this empty file.
    bool reserved = false;
    try {
        path = QString::fromStdString(util::ReserveNewFile(path.toStdString()).string());
        reserved = true;
    } catch (const std::exception&) {
        // The write below fails as well and says why.
    }
    // The run's last report shows, whatever the once-a-second limit held back.
    FlushProgress();
    if (!timeLeftLine_.isEmpty() || !registerLine_.isEmpty()) {
        timeLeftLine_.clear();
        registerLine_.clear();
        ShowHint();
    }
    // The file ends with the line that names it; the pane shows that line only once the file is
    // written, and otherwise where the log could not go.
    const QString closing = services_.regional.FormatStamp(services_.now()) +
                            QStringLiteral(": Работа завершена, лог записан в ") + path;
    QStringList lines = view_.LogLines();
    lines << closing;
    try {
        WriteListFile(path, lines);
    } catch (const std::exception& error) {
        if (reserved) {
            std::error_code ignored;
            std::filesystem::remove(path.toStdString(), ignored);
        }
        // The run's end must still give the controls back; the pane keeps the whole log.
        SetRunControlsEnabled(true);
        Log(QStringLiteral(": Работа завершена; лог записать в ") + path +
            QStringLiteral(" не удалось: ") + QString::fromStdString(error.what()));
        return;
    }
    view_.AddLogLine(closing);
    SetRunControlsEnabled(true);
}

void MainFormLogic::ShowLogMessage(const QString& text) {
    Log(QStringLiteral(": ") + text);
}

void MainFormLogic::ShowProgress(std::int32_t position, std::int32_t maximum) {
    const std::uint32_t now = services_.tickCount();
    NotePace(now, position, maximum);
    const auto sinceShown = static_cast<std::uint32_t>(now - services_.lastProgressUpdate->load());
    if (sinceShown <= 1000) {
        // Held back, not dropped: the last report of a phase would otherwise stay unseen.
        pendingProgress_.emplace(position, maximum);
        if (!flushScheduled_) {
            flushScheduled_ = true;
            view_.ScheduleProgressFlush(static_cast<int>(1001 - sinceShown));
        }
        return;
    }
    pendingProgress_.reset();
    ApplyProgress(position, maximum);
    view_.ProcessPendingEvents();
    services_.lastProgressUpdate->store(services_.tickCount());
}

void MainFormLogic::FlushProgress() {
    flushScheduled_ = false;
    if (!pendingProgress_) {
        return;
    }
    const auto [position, maximum] = *pendingProgress_;
    pendingProgress_.reset();
    ApplyProgress(position, maximum);
    services_.lastProgressUpdate->store(services_.tickCount());
}

void MainFormLogic::ApplyProgress(std::int32_t position, std::int32_t maximum) {
    const std::int32_t barMax = maximum < 0 ? 0 : maximum;
    const std::int32_t barPos = position < 0 ? 0 : (position > barMax ? barMax : position);
    view_.SetProgress(barMax, barPos);
    progressLine_ = QStringLiteral("%1%: %2 из %3, осталось %4")
                        .arg(PercentHalfEven(barPos, barMax))
                        .arg(barPos)
                        .arg(barMax)
                        .arg(barMax - barPos);
    timeLeftLine_ = TimeLeftLine();
    ShowHint();
}

void MainFormLogic::NotePace(std::uint32_t now, std::int32_t position, std::int32_t maximum) {
    // The total grows as the phase learns of more jobs; a position that went back (the reset at
    // a phase's end) starts afresh.
    if (!pace_.empty() && position < pace_.back().second) {
        pace_.clear();
    }
    paceMaximum_ = maximum;
    if (!pace_.empty() && position == pace_.back().second) {
        return;
    }
    pace_.emplace_back(now, position);
    if (pace_.size() > kPaceJobs + 1) {
        pace_.pop_front();
    }
}

QString MainFormLogic::TimeLeftLine() const {
    if (pace_.size() < 3 || (HasLiveRun() && activeRun_->IsPaused())) {
        return {};
    }
    const auto [firstTick, firstPosition] = pace_.front();
    const auto [lastTick, lastPosition] = pace_.back();
    const std::int64_t jobs = lastPosition - firstPosition;
    const std::int64_t left = std::int64_t{paceMaximum_} - lastPosition;
    const auto elapsed = static_cast<std::uint32_t>(lastTick - firstTick);
    if (jobs <= 0 || left <= 0 || elapsed == 0) {
        return {};
    }
    const std::int64_t seconds = (left * std::int64_t{elapsed} / jobs + 999) / 1000;
    return QStringLiteral("Этап закончится примерно через ") + DurationText(seconds);
}

void MainFormLogic::ShowHint() {
    QStringList lines;
    for (const QString* line : {&progressLine_, &timeLeftLine_, &registerLine_, &pauseLine_}) {
        if (!line->isEmpty()) {
            lines.append(*line);
        }
    }
    // Before the first report the bar has no hint; once it has one, it follows these lines.
    if (!lines.isEmpty() || hintShown_) {
        hintShown_ = true;
        view_.SetProgressHint(lines.join(u'\n'));
    }
}

void MainFormLogic::ShowRegisterWait(bool waiting, std::int64_t downSeconds,
                                     std::int64_t nextProbeSeconds) {
    QString line;
    if (waiting) {
        // The pace of the jobs before the outage says nothing about those after it.
        pace_.clear();
        timeLeftLine_.clear();
        line = QStringLiteral("Реестр не отвечает %1, ждём его; ").arg(DurationText(downSeconds)) +
               (nextProbeSeconds > 0
                    ? QStringLiteral("проверим через %1").arg(DurationText(nextProbeSeconds))
                    : QStringLiteral("проверяем"));
    }
    if (line != registerLine_) {
        registerLine_ = line;
        ShowHint();
    }
}

void MainFormLogic::RefreshPauseHint() {
    const bool paused = HasLiveRun() && activeRun_->IsPaused();
    view_.SetPauseShown(paused);
    QString line;
    if (paused) {
        // The pace of the jobs before a pause says nothing about those after it.
        pace_.clear();
        timeLeftLine_.clear();
        const int remaining = view_.ResumeTimerRemainingMs();
        if (remaining >= 0) {
            line = QStringLiteral("Пауза после ошибки, продолжаем через %1 с")
                       .arg((remaining + 999) / 1000);
        } else {
            line = QStringLiteral("Работа на паузе; чтобы продолжить, нажмите \"пауза\"");
        }
    }
    if (line != pauseLine_ || paused) {
        pauseLine_ = line;
        ShowHint();
    }
}

void MainFormLogic::ShowFoundCount(std::int32_t count) {
    view_.SetFoundCaption(QStringLiteral("Найдено торгов: ") + QString::number(count));
    view_.ProcessPendingEvents();
}

void MainFormLogic::StartResumeTimer(int remainingMs) {
    // The timer only counts down for the hint; the run keeps the first error's end itself and
    // ends its pause without the window.
    view_.ArmResumeTimer(std::max(remainingMs, 0));
    RefreshPauseHint();
}

WindowSelection MainFormLogic::CollectWindowSelection() const {
    WindowSelection selection;
    const int cities = view_.ItemCount(ListId::Cities);
    for (int i = 0; i < cities; ++i) {
        if (view_.IsItemSelected(ListId::Cities, i)) {
            selection.regionItems.append(view_.ItemText(ListId::Cities, i));
        }
    }
    const int cats = view_.ItemCount(ListId::Cats);
    for (int i = 0; i < cats; ++i) {
        if (view_.IsItemSelected(ListId::Cats, i)) {
            selection.tradeTypes.push_back(i);
        }
    }
    const auto date = [this](PickerId picker) -> std::optional<QDate> {
        const QDate value = view_.PickerDate(picker);
        if (!value.isValid() || value <= kNoDate) {
            return std::nullopt;
        }
        return value;
    };
    selection.from = date(PickerId::From);
    selection.to = date(PickerId::To);
    return selection;
}

}  // namespace korvalot::app
