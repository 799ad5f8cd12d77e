// Shows the store browser over a store with a filter typed in and a changed lot chosen, and saves
// a picture of it: the README's screenshot (scripts/store-screenshot.sh). Not installed.
//   korvalot_browser_screenshot STORE PNG [WORDS]
#include <cstdio>

#include <QApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QPixmap>
#include <QTest>

#include "app/browser/LotTableModel.h"
#include "app/browser/PricePlot.h"
#include "app/browser/StoreBrowser.h"

namespace {

bool WaitFor(const std::function<bool()>& condition, int ms = 120000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QTest::qWait(50);
    }
    return true;
}

int Fail(const char* what) {
    std::fprintf(stderr, "korvalot_browser_screenshot: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace korvalot::app;
    QApplication application(argc, argv);
    if (argc < 3)
        return Fail("STORE PNG [WORDS]");
    browser::StoreBrowserOptions options;
    options.store = argv[1];
    options.regional = LocaleFormats(QLocale(QLocale::Russian, QLocale::Russia));
    options.openCard = [](const std::string&) {};
    browser::StoreBrowser window(std::move(options));
    window.resize(1500, 900);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return Fail("the window did not appear");
    const auto counted = [&] { return window.StatusLine->text().startsWith("Найдено"); };
    if (!WaitFor(counted))
        return Fail(qPrintable(window.StatusLine->text()));
    window.WordsEdit->setText(QString::fromUtf8(argc > 3 ? argv[3] : "квартира"));
    window.ChangedSinceEdit->setDate(QDate::currentDate());
    window.Model().sort(10, Qt::DescendingOrder);
    window.LotsView->horizontalHeader()->setSortIndicator(10, Qt::DescendingOrder);
    QTest::qWait(400);
    if (!WaitFor(counted) || window.Model().rowCount() == 0)
        return Fail("no lot changed that holds the words");
    // The first lot whose price moved: the plot has more than one point.
    for (int row = 0; row < std::min(window.Model().rowCount(), 40); ++row) {
        window.LotsView->setCurrentIndex(window.Model().index(row, 0));
        if (!WaitFor([&] { return window.HistoryList->count() > 0; }, 10000))
            continue;
        if (window.Plot->Points().size() > 1)
            break;
    }
    QTest::qWait(500);
    if (!window.grab().save(QString::fromLocal8Bit(argv[2])))
        return Fail("the picture could not be saved");
    std::printf("%s\n", qPrintable(window.StatusLine->text()));
    return 0;
}
