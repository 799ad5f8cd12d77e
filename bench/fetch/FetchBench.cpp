// Requests per second and CPU per request of the worker client against the scripted loopback
// server, over one kept-alive connection and over a fresh TLS connection per request.
// The CPU column is the CPU time of the client's thread per request; the in-process server's
// threads are not counted.
#include <chrono>
#include <string>

#include <benchmark/benchmark.h>

#include "fetch/ClientProfiles.h"
#include "support/ScriptedServer.h"

namespace {

using namespace std::chrono_literals;
using korvalot::fetch::ClientLimits;
using korvalot::fetch::WorkerClient;
using korvalot::testing::OkAnswer;
using korvalot::testing::ReceivedRequest;
using korvalot::testing::Reply;
using korvalot::testing::ScriptedServer;

const std::string kReferer = "https://register.example/biddings";

void Run(benchmark::State& state, bool freshConnection) {
    const Reply reply =
        Reply().Send(OkAnswer(std::string(static_cast<std::size_t>(state.range(0)), 'x')));
    ScriptedServer server([&reply](const ReceivedRequest&) { return reply; });
    WorkerClient client(ClientLimits{10s, 10s, 10s});
    const std::string address = server.Address("/backend/biddings/0b5c/lots?offset=0&limit=50");
    client.Get(address, kReferer);  // the TLS library's first set-up is not measured

    for (auto _ : state) {
        if (freshConnection) {
            client.Close();
        }
        std::string body = client.Get(address, kReferer);
        benchmark::DoNotOptimize(body);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.counters["connections"] = server.Connections();
}

void BM_KeptAliveConnection(benchmark::State& state) {
    Run(state, false);
}
void BM_FreshTlsConnection(benchmark::State& state) {
    Run(state, true);
}

BENCHMARK(BM_KeptAliveConnection)
    ->Arg(2 << 10)
    ->Arg(64 << 10)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FreshTlsConnection)->Arg(2 << 10)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
