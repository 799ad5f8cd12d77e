// Run with a display or QT_QPA_PLATFORM=offscreen:
//   app_bench                                        start and log pane (seconds)
//   app_bench --benchmark_filter=Harvest             also the 10,000-trade harvest (minutes)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTemporaryDir>

#include "app/uMain.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A child process whose standard output is read line by line.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<std::string> envStrings(extraEnv);
        for (char** e = environ; *e != nullptr; ++e) {
            envStrings.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (std::string& entry : envStrings) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            throw std::runtime_error("cannot start " + args[0]);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        out_ = fdopen(pipeFds[0], "r");
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr) {
            fclose(out_);
        }
    }
    // The next line, without its end; empty at the end of the output.
    std::string Line() {
        char buffer[4096];
        if (std::fgets(buffer, sizeof buffer, out_) == nullptr) {
            return {};
        }
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        return line;
    }
    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

// From exec to the window's first paint, the process's loading and Qt's start included.
void BM_StartToWindowShown(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = Clock::now();
        Child driver({HARVEST_DRIVER_PATH},
                     {"KORVALOT_DRIVE_SHOW_ONLY=1", "KORVALOT_REGISTER_URL=https://127.0.0.1:9"});
        const std::string line = driver.Line();
        const auto end = Clock::now();
        driver.Wait();
        if (line != "shown") {
            state.SkipWithError("the window did not show");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}
BENCHMARK(BM_StartToWindowShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// A window whose log pane holds lines like a long run's, made once for the log benchmarks.
struct LoadedWindow {
    static constexpr int kLines = 200000;
    QTemporaryDir dir;
    std::unique_ptr<korvalot::app::TMainForm> form;

    LoadedWindow() {
        korvalot::app::MainFormServices services;
        services.exeDir = dir.path() + u'/';
        services.regional = korvalot::app::LocaleFormats(QLocale(QLocale::Russian));
        services.tickCount = [] { return std::uint32_t{123456}; };
        services.now = [] { return QDateTime::currentDateTime(); };
        services.fetchDirectory = [](const std::string&, const std::string&,
                                     const std::function<void()>&) { return std::string("[]"); };
        form = std::make_unique<korvalot::app::TMainForm>(std::move(services));
        form->Timer1->stop();
        form->show();
        QCoreApplication::processEvents();
    }
    void Fill(int lines) {
        for (int i = 0; i < lines; ++i) {
            form->Logic().ShowLogMessage(
                QStringLiteral("Карточка %1-2a04-42a3-ba5e-c6644e822296: успешно").arg(i, 8, 16));
        }
        QCoreApplication::processEvents();
    }
};

// Made on first use; released in main, while the application object still exists.
std::unique_ptr<LoadedWindow> loadedWindow;

LoadedWindow& Window() {
    if (!loadedWindow) {
        loadedWindow = std::make_unique<LoadedWindow>();
    }
    return *loadedWindow;
}

// Appending a run's 200,000 log lines, each as ShowLogMessage does.
void BM_LogPaneAppend200k(benchmark::State& state) {
    for (auto _ : state) {
        Window().form->ClearLog();
        Window().Fill(LoadedWindow::kLines);
    }
    state.counters["per_line"] =
        benchmark::Counter(LoadedWindow::kLines, benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}
BENCHMARK(BM_LogPaneAppend200k)->Unit(benchmark::kMillisecond)->Iterations(1);

// With 200,000 lines in the pane: one more report with its repaint, as the operator sees it.
void BM_LogPaneOneMoreLineAt200k(benchmark::State& state) {
    LoadedWindow& window = Window();
    if (window.form->LogsMemo->blockCount() < LoadedWindow::kLines) {
        window.Fill(LoadedWindow::kLines);
    }
    for (auto _ : state) {
        window.form->Logic().ShowLogMessage(QStringLiteral("Карточка x: успешно"));
        window.form->LogsMemo->viewport()->repaint();
    }
}
BENCHMARK(BM_LogPaneOneMoreLineAt200k)->Unit(benchmark::kMicrosecond);

// With 200,000 lines: a key press in the pane (Ctrl+A selects them all) and the repaint.
void BM_LogPaneCtrlAAt200k(benchmark::State& state) {
    LoadedWindow& window = Window();
    if (window.form->LogsMemo->blockCount() < LoadedWindow::kLines) {
        window.Fill(LoadedWindow::kLines);
    }
    for (auto _ : state) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier, QStringLiteral("a"));
        QCoreApplication::sendEvent(window.form->LogsMemo, &press);
        window.form->LogsMemo->viewport()->repaint();
    }
}
BENCHMARK(BM_LogPaneCtrlAAt200k)->Unit(benchmark::kMillisecond);

// With 200,000 lines: scrolling from the end to the top and back, with repaints.
void BM_LogPaneScrollAt200k(benchmark::State& state) {
    LoadedWindow& window = Window();
    if (window.form->LogsMemo->blockCount() < LoadedWindow::kLines) {
        window.Fill(LoadedWindow::kLines);
    }
    QScrollBar* bar = window.form->LogsMemo->verticalScrollBar();
    for (auto _ : state) {
        bar->setValue(bar->minimum());
        window.form->LogsMemo->viewport()->repaint();
        bar->setValue(bar->maximum());
        window.form->LogsMemo->viewport()->repaint();
    }
}
BENCHMARK(BM_LogPaneScrollAt200k)->Unit(benchmark::kMillisecond);

// The end of a run with 200,000 lines: the pane's text as lines for the log file.
void BM_LogPaneLinesAt200k(benchmark::State& state) {
    LoadedWindow& window = Window();
    if (window.form->LogsMemo->blockCount() < LoadedWindow::kLines) {
        window.Fill(LoadedWindow::kLines);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(window.form->LogLines());
    }
}
BENCHMARK(BM_LogPaneLinesAt200k)->Unit(benchmark::kMillisecond);

// Peak memory of the program through a harvest of every region and trade type of a register of
// 10,000 trades, with the run's pacing off (memory does not depend on it; time does).
void BM_Harvest10kPeakMemory(benchmark::State& state) {
    for (auto _ : state) {
        QTemporaryDir dir;
        // The directory client presents the certificate files of the working directory.
        Child({REGISTER_SIM_PATH, "--write-client-cert", dir.path().toStdString()}, {}).Wait();
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        Child sim({REGISTER_SIM_PATH, "--port", "0", "--trades", "10000", "--seed", "7"}, {});
        const std::string url = sim.Line();
        if (url.rfind("https://", 0) != 0) {
            state.SkipWithError("the simulator did not start");
            return;
        }
        const std::string driverCopy = dir.path().toStdString() + "/korvalot_harvest_driver";
        QFile::copy(QStringLiteral(HARVEST_DRIVER_PATH), QString::fromStdString(driverCopy));
        const auto start = Clock::now();
        Child driver({driverCopy}, {"KORVALOT_REGISTER_URL=" + url, "KORVALOT_DRIVE_REGIONS=all",
                                    "KORVALOT_DRIVE_PACING_MS=0"});
        long peakKb = -1;
        std::string found;
        for (std::string line = driver.Line(); !line.empty(); line = driver.Line()) {
            if (line.rfind("peak memory: ", 0) == 0) {
                peakKb = std::stol(line.substr(13));
            } else if (line.rfind("found: ", 0) == 0) {
                found = line;
            }
        }
        driver.Wait();
        QDir::setCurrent(previous);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (peakKb < 0) {
            state.SkipWithError("the harvest did not finish");
            return;
        }
        state.counters["peak_MB"] = double(peakKb) / 1024.0;
        state.SetLabel(found);
    }
}
BENCHMARK(BM_Harvest10kPeakMemory)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The harvest takes minutes: only on request.
    bool filtered = false;
    for (int i = 1; i < argc; ++i) {
        filtered = filtered || std::string(argv[i]).rfind("--benchmark_filter", 0) == 0;
    }
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (!filtered) {
        benchmark::RunSpecifiedBenchmarks("^BM_(Start|LogPane)");
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    loadedWindow.reset();
    return 0;
}
