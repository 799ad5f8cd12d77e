// Test and demonstration helper: opens the program's window as korvalot does and carries out one
// harvest through the window's own controls, with no one at the keyboard. It is never
// installed; scripts/run.sh uses it where there is no display.
//
// Environment:
//   KORVALOT_DRIVE_REGIONS     region codes to select, comma separated, or "all" (default: the
//                              first 3)
//   KORVALOT_DRIVE_TYPES       trade-type positions 0-5, comma separated (default: all six)
//   KORVALOT_DRIVE_SCREENSHOT  where to save a PNG of the window after the harvest
//   KORVALOT_DRIVE_PAUSE_SCREENSHOT  where to save a PNG of the screen two seconds into the
//                              run's first error pause
//   KORVALOT_DRIVE_HINT        set: the screenshots show the progress bar's hint as well
//   KORVALOT_DRIVE_TIMEOUT     seconds to wait for the harvest (default 1800)
//   KORVALOT_DRIVE_SHOW_ONLY   set: print "shown" once the window has painted itself, and end
//   KORVALOT_DRIVE_CLOSE_DURING_RUN  set: close the window while the harvest runs, end the
//                              program's runs and print how long that took
//   KORVALOT_DRIVE_PACING_MS   the run's pause after starting a worker, for measurements that
//                              are about memory, not pace (default: the product's 200 ms)
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QListWidget>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QToolTip>

#include "app/ProgramServices.h"
#include "app/ScraperRun.h"
#include "app/uMain.h"

namespace {

using korvalot::app::TMainForm;

QStringList EnvironmentList(const char* name) {
    return qEnvironmentVariable(name).split(u',', Qt::SkipEmptyParts);
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
    QDeadlineTimer deadline(seconds * 1000LL);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(50);
    }
    return true;
}

// A click on the item, with Ctrl so that earlier picks stay selected.
void ClickItem(QListWidget* list, int row) {
    list->scrollToItem(list->item(row));
    const QRect rect = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, rect.center());
}

QString PathAfter(const QStringList& log, const QString& marker) {
    for (qsizetype i = log.size() - 1; i >= 0; --i) {
        const qsizetype at = log[i].indexOf(marker);
        if (at >= 0) {
            return log[i].mid(at + marker.size());
        }
    }
    return {};
}

// The process's peak resident memory in kB, from the kernel's accounting.
long PeakResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Reports the window's first paint.
class FirstPaint : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !painted) {
            painted = true;
        }
        return QObject::eventFilter(watched, event);
    }
    bool painted = false;
};

// The window, or with KORVALOT_DRIVE_HINT the screen with the progress bar's hint open on it.
bool SaveScreenshot(TMainForm& form, const QString& path) {
    if (!qEnvironmentVariableIsSet("KORVALOT_DRIVE_HINT")) {
        return form.grab().save(path, "PNG");
    }
    QProgressBar* bar = form.ProgressBar;
    QToolTip::showText(bar->mapToGlobal(QPoint(bar->width() / 3, 0)), bar->toolTip(), bar);
    QTest::qWait(400);
    const QRect frame = form.frameGeometry();
    return form.screen()
        ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height() + 60)
        .save(path, "PNG");
}

int Fail(const char* message) {
    std::fprintf(stderr, "korvalot harvest driver: %s\n", message);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    (void)argc;
    QApplication application(qtArgc, qtArgv);
    auto* form = new TMainForm(korvalot::app::ProgramServices());
    korvalot::crawl::ScraperEnvironment environment;
    if (qEnvironmentVariableIsSet("KORVALOT_DRIVE_PACING_MS")) {
        environment.timings.pacing =
            std::chrono::milliseconds(qEnvironmentVariableIntValue("KORVALOT_DRIVE_PACING_MS"));
    }
    korvalot::app::ConnectCrawl(*form, environment);
    FirstPaint firstPaint;
    form->installEventFilter(&firstPaint);
    form->show();
    if (qEnvironmentVariableIsSet("KORVALOT_DRIVE_SHOW_ONLY")) {
        while (!firstPaint.painted) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        std::printf("shown\n");
        std::fflush(stdout);
        // Not closed: closing would save the selections and dates over the operator's.
        delete form;
        return 0;
    }

    const bool ready = WaitFor(
        [&] {
            const QStringList log = form->LogLines();
            return log.contains(QStringLiteral(
                       "Всё готово к работе, выделите нужные регионы и виды торгов")) ||
                   (!log.isEmpty() && log.last().startsWith(QStringLiteral("Ошибка ")));
        },
        180);
    if (!ready || form->CitiesListBox->count() == 0) {
        std::fprintf(stderr, "%s\n", qPrintable(form->LogLines().join(u'\n')));
        return Fail("the region list did not load");
    }

    form->CitiesListBox->clearSelection();
    form->CatsListBox->clearSelection();
    const QStringList codes = EnvironmentList("KORVALOT_DRIVE_REGIONS");
    if (codes == QStringList{QStringLiteral("all")}) {
        QTest::mouseClick(form->SelectAllCitiesButton, Qt::LeftButton);
    }
    for (int row = 0; row < form->CitiesListBox->count() && codes != QStringList{"all"}; ++row) {
        const QString item = form->CitiesListBox->item(row)->text();
        const bool wanted =
            codes.isEmpty() ? row < 3 : codes.contains(item.section(u'(', -1).chopped(1));
        if (wanted) {
            ClickItem(form->CitiesListBox, row);
        }
    }
    QStringList types = EnvironmentList("KORVALOT_DRIVE_TYPES");
    if (types.isEmpty()) {
        types = {"0", "1", "2", "3", "4", "5"};
    }
    for (const QString& type : types) {
        ClickItem(form->CatsListBox, type.toInt());
    }

    QTest::mouseClick(form->StartButton, Qt::LeftButton);
    if (!WaitFor([&] { return form->Logic().HasLiveRun(); }, 10)) {
        return Fail("Start did not begin a run");
    }
    if (qEnvironmentVariableIsSet("KORVALOT_DRIVE_CLOSE_DURING_RUN")) {
        // As the operator closing the window in the middle of a harvest, and the program's end.
        if (!WaitFor([&] { return form->LogLines().size() > 20; }, 60)) {
            return Fail("the run logged nothing");
        }
        QElapsedTimer ending;
        ending.start();
        form->close();
        delete form;
        const bool ended = korvalot::app::EndRuns(std::chrono::seconds(60));
        std::printf("closed during the run, threads ended: %s, %lld ms\n", ended ? "yes" : "no",
                    static_cast<long long>(ending.elapsed()));
        return ended ? 0 : 1;
    }
    const QString pauseShot = qEnvironmentVariable("KORVALOT_DRIVE_PAUSE_SCREENSHOT");
    if (!pauseShot.isEmpty()) {
        if (!WaitFor(
                [&] {
                    return !form->Logic().HasLiveRun() ||
                           form->LogLines().join(u'\n').contains(
                               QStringLiteral(": Включаем паузу на 30 секунд"));
                },
                600)) {
            return Fail("the run made no error pause");
        }
        QTest::qWait(2200);
        if (!SaveScreenshot(*form, pauseShot)) {
            return Fail("the screenshot could not be saved");
        }
        std::printf("pause screenshot: %s\n", qPrintable(pauseShot));
    }
    const int timeout = qEnvironmentVariableIntValue("KORVALOT_DRIVE_TIMEOUT");
    if (!WaitFor([&] { return !form->Logic().HasLiveRun(); }, timeout > 0 ? timeout : 1800)) {
        return Fail("the harvest did not end in time");
    }
    QTest::qWait(300);  // the last repaint

    const QStringList log = form->LogLines();
    const QString results = PathAfter(log, QStringLiteral(": Данные будут записываться в файл "));
    const QString logFile = PathAfter(log, QStringLiteral(": Работа завершена, лог записан в "));
    const QString screenshot = qEnvironmentVariable("KORVALOT_DRIVE_SCREENSHOT");
    if (!screenshot.isEmpty() && !SaveScreenshot(*form, screenshot)) {
        return Fail("the screenshot could not be saved");
    }
    std::printf("found: %s\n", qPrintable(form->Label4->text()));
    std::printf("peak memory: %ld kB\n", PeakResidentKb());
    std::printf("results file: %s\n",
                results.isEmpty() ? "(none: no new trades)" : qPrintable(results));
    std::printf("log file: %s\n", qPrintable(logFile));
    if (!screenshot.isEmpty()) {
        std::printf("screenshot: %s\n", qPrintable(screenshot));
    }
    std::fflush(stdout);
    form->close();
    delete form;
    korvalot::app::EndRuns(std::chrono::seconds(60));
    return 0;
}
