#include <chrono>
#include <cstdio>

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
    // The window goes first: a run still going then reports to nobody and cannot be paused.
    delete form;
    // Its requests are cut off, so the threads end at once; should one hang all the same, the
    // process must not end under it.
    while (!EndRuns(std::chrono::seconds(10))) {
        std::fprintf(stderr, "korvalot: ждём окончания потоков запуска\n");
    }
    return code;
}
