#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "tools/register-sim/SimProcess.h"
#include "tools/register-sim/SimRegister.h"

// The simulator must never be what limits a harvest: these measure how many requests a second
// it answers over keep-alive HTTPS connections, and what its parts cost without the network.
namespace korvalot::tools {
namespace {

constexpr std::size_t kTrades = 20000;

std::shared_ptr<SimData> Data() {
    static const auto data =
        std::make_shared<SimData>(SimData::Generate(SimDataOptions{kTrades, 1}));
    return data;
}

// The program itself, in its own process, with the same data as Data(): the generation
// depends on the seed alone.
const std::string& BaseUrl() {
    static SimProcess process({"--port", "0", "--trades", std::to_string(kTrades), "--seed", "1"});
    return process.BaseUrl();
}

// What a harvest asks: a search page now and then, mostly the three requests of trade cards.
std::vector<std::string> HarvestMix() {
    std::vector<std::string> targets;
    const auto& trades = Data()->Trades();
    const auto& regions = Data()->Regions();
    for (std::size_t i = 0; i < 400; ++i) {
        const SimTrade& t = trades[(i * 7919) % trades.size()];
        targets.push_back(
            "/backend/biddings?limit=50&offset=" + std::to_string((i % 4) * 50) + "&tradeType=" +
            std::string(kTradeTypeCodes[t.type]) + "&regionCode=" + regions[t.region].code +
            "&tradeStartDate=2026-01-01T00%3A00%3A00&tradeEndDate=2026-06-30T23%3A59%3A59");
        for (const char* tail : {"", "/lots?offset=0&limit=50", "/additional"}) {
            targets.push_back("/backend/biddings/" + t.guid + tail);
        }
    }
    return targets;
}

void BM_KeepAliveRequests(benchmark::State& state) {
    static const std::vector<std::string> mix = HarvestMix();
    const SimHeaderList headers = {{"Accept-Encoding", "gzip, deflate"},
                                   {"User-Agent", std::string(kExpectedUserAgent)}};
    SimClient client(BaseUrl());
    std::size_t next = static_cast<std::size_t>(state.thread_index()) * 101;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const SimResponse r = client.Get(mix[next++ % mix.size()], headers);
        if (r.status != 200) {
            state.SkipWithError("not answered with 200");
            break;
        }
        bytes += r.body.size();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["connections"] = client.Connections();
}
BENCHMARK(BM_KeepAliveRequests)->Threads(1)->Threads(4)->Threads(8)->UseRealTime()->MinTime(3.0);

// A new connection per trade card, as each fetch worker opens its own.
void BM_ConnectionPerCard(benchmark::State& state) {
    const auto& trades = Data()->Trades();
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 997;
    for (auto _ : state) {
        SimClient client(BaseUrl());
        const std::string card = "/backend/biddings/" + trades[i++ % trades.size()].guid;
        for (const char* tail : {"", "/lots?offset=0&limit=50", "/additional"}) {
            benchmark::DoNotOptimize(client.Get(card + tail));
        }
    }
    state.SetItemsProcessed(state.iterations() * 3);
}
BENCHMARK(BM_ConnectionPerCard)->Threads(4)->UseRealTime()->MinTime(3.0);

void BM_HandleWithoutNetwork(benchmark::State& state) {
    static const std::vector<std::string> mix = HarvestMix();
    SimRegister reg(Data(), {});
    std::size_t next = 0;
    for (auto _ : state) {
        SimRequest request;
        request.target = mix[next++ % mix.size()];
        benchmark::DoNotOptimize(reg.Handle(request));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleWithoutNetwork);

void BM_CrowdedDaySearch(benchmark::State& state) {
    SimRegister reg(Data(), {});
    SimRequest request;
    request.target =
        "/backend/biddings?limit=50&offset=0&tradeType=OpenAuction&regionCode=77"
        "&tradeStartDate=2026-01-01T00%3A00%3A00&tradeEndDate=2026-06-30T23%3A59%3A59"
        "&lotStartPrice=0&lotFinishPrice=1000000";
    for (auto _ : state) {
        benchmark::DoNotOptimize(reg.Handle(request));
    }
}
BENCHMARK(BM_CrowdedDaySearch);

void BM_Generate(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            SimData::Generate(SimDataOptions{static_cast<std::size_t>(state.range(0)), 1}));
    }
}
BENCHMARK(BM_Generate)->Arg(kTrades)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvalot::tools

BENCHMARK_MAIN();
