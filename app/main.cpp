#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QIcon>

#include "app/ProgramServices.h"
#include "app/ScraperRun.h"
#include "app/uMain.h"

int main(int argc, char** argv) {
    using namespace korvalot::app;
    // The program reads no command line; Qt is given only the program's name.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    (void)argc;
    QApplication application(qtArgc, qtArgv);
    application.setWindowIcon(QIcon(QStringLiteral(":/korvalot.png")));
    MainFormServices services = ProgramServices();
    auto* form = new TMainForm(std::move(services));
    ConnectCrawl(*form);
    form->show();
    const int code = application.exec();
    if (form->Logic().HasLiveRun() || DirectoryLoadUnderWay()) {
        // Closing the window neither stops nor awaits a run or a region request: the process
        // ends under them, before any exit handler could pull libraries away from their threads.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    delete form;
    return code;
}
