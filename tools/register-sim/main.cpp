#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tools/register-sim/SimDate.h"
#include "tools/register-sim/SimOptions.h"
#include "tools/register-sim/SimTls.h"

using namespace korvalot::tools;

int main(int argc, char** argv) {
    SimCommandLine cl;
    try {
        cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const SimUsageError& e) {
        std::fprintf(stderr, "register-sim: %s\n%s", e.what(), Usage());
        return 2;
    }
    if (cl.help) {
        std::fputs(Usage(), stdout);
        return 0;
    }
    try {
        if (!cl.clientCertDirectory.empty()) {
            WriteClientCertificate(cl.clientCertDirectory);
            return 0;
        }
        // the serving threads inherit this mask, so the signals reach sigwait below only
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGTERM);
        sigaddset(&stopSignals, SIGINT);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        std::signal(SIGPIPE, SIG_IGN);

        auto data = std::make_shared<const SimData>(SimData::Generate(cl.data));
        auto reg = std::make_shared<SimRegister>(data, cl.reg);
        if (!cl.truthFile.empty()) {
            std::ofstream out(cl.truthFile, std::ios::binary | std::ios::trunc);
            out << reg->TruthJson(cl.truthFilter) << '\n';
            if (!out.flush()) {
                throw std::runtime_error("cannot write " + cl.truthFile);
            }
        }
        SimServer server(reg, cl.server);
        server.Start();
        std::printf("%s\n", server.BaseUrl().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "register-sim: %zu trades from %s to %s, seed %llu, on %s\n",
                     data->Trades().size(), FormatDate(cl.data.fromDay).c_str(),
                     FormatDate(cl.data.toDay).c_str(),
                     static_cast<unsigned long long>(cl.data.seed), server.BaseUrl().c_str());

        int signal = 0;
        while (signal <= 0) {
            const timespec second{1, 0};
            signal = sigtimedwait(&stopSignals, nullptr, &second);
            if (signal <= 0 && cl.parentPid != 0 && getppid() != cl.parentPid) {
                break;
            }
        }
        server.Stop();
        if (signal > 0) {
            std::fprintf(stderr, "register-sim: stopped by signal %d\n", signal);
        } else {
            std::fprintf(stderr, "register-sim: stopped, its parent has ended\n");
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "register-sim: %s\n", e.what());
        return 1;
    }
}
