#include <QApplication>
#include <QIcon>

#include "app/LocaleFormats.h"
#include "app/browser/StoreBrowser.h"
#include "store/TradeStore.h"
#include "util/Platform.h"

// korvalot-store: the store browser on its own, for the desktop entry "korvalot — хранилище
// торгов". The main window reads no command line and so cannot be asked for it; this program
// reads none either.
int main(int argc, char** argv) {
    using namespace korvalot;
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    (void)argc;
    QApplication application(qtArgc, qtArgv);
    application.setWindowIcon(QIcon(QStringLiteral(":/korvalot.png")));
    app::browser::StoreBrowserOptions options;
    // The store and settings.ini the window uses: both in the program's data folder.
    options.store = store::TradeStore::DefaultPath();
    options.settingsIni = QString::fromStdString((util::DataDirectory() / "settings.ini").string());
    options.regional = app::LocaleFormats(QLocale::system());
    app::browser::StoreBrowser browser(std::move(options));
    browser.show();
    return application.exec();
}
